// The simulator's faulty certificates (--cloud-cert, --broker-cert): the
// agent's own HTTPS client and zelbroker TLS refuse each one, and take the
// good ones.
#include <gtest/gtest.h>

#include <cstdlib>

#include "broker/net_helper.h"
#include "broker/ssl_routine.h"
#include "broker/zelbroker_connection.h"
#include "broker_server.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "support/test_support.h"
#include "zelcloud_sim.h"

namespace {

TEST(Simulator, TheAgentRefusesEachFaultyCertificate) {
  using zelsim::CertFault;
  zeltest::TempDir dir;
  zeltest::LogCapture log(dir.file("agent.log"));
  zeltest::install_agent_signal_handlers();
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  keep_connection.store(1);
  net_testing::set_broker_step_timeout_ms(3000 * ZEL_TEST_TIME_SCALE);
  agent_context context;
  context.request_timeout = context.connect_timeout = 30 * ZEL_TEST_TIME_SCALE;
  for (CertFault fault : {CertFault::kNone, CertFault::kExpired, CertFault::kWrongName, CertFault::kUnknownIssuer,
                          CertFault::kSelfSigned}) {
    SCOPED_TRACE(static_cast<int>(fault));
    zelsim::SimulatorOptions options;
    options.cert_dir = dir.file("sim" + std::to_string(static_cast<int>(fault)));
    options.cloud_cert = options.broker_cert = fault;
    zelsim::Simulator sim(options);
    ca_file = sim.ca_file();
    long status = 0;
    http_buffer header, body;
    EXPECT_EQ(http_get(sim.base_url() + "/advisor/v2", context, status, header, body) == 0, fault == CertFault::kNone);
    connection conn;
    conn.sock = zeltest::connect_loopback(sim.broker().port());
    EXPECT_EQ(ssl_connect(&conn, "localhost") == 0, fault == CertFault::kNone);
    connection_close(&conn);
  }
  ca_file.clear();
  keep_connection.store(0);
  net_testing::set_broker_step_timeout_ms(0);
  ::unsetenv("PVO_STORE");
}

}  // namespace
