// Plain messages per second through the whole broker link: the simulated
// zelbroker writes them over TLS, the broker thread reads and assembles them
// and queues them, the message thread delivers each over a new UNIX-socket
// connection to a handler that reads it to its end.
//
//   BM_PlainMessagesEndToEnd/<body>   each iteration sends a batch of 200
//                                     messages (below the queue's 1000) and
//                                     waits until the handler has all of them
//
// The advisor (simulated zelCloud) and the zelbroker (simulated zelbroker)
// run in this process on loopback ports with a generated certificate, as in
// the tests.
#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include "broker/ssl_routine.h"
#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "broker_server.h"
#include "cert_authority.h"
#include "support/cloud_server.h"
#include "config/config.h"
#include "delivery/message_sender.h"
#include "support/counting_sink.h"
#include "support/test_support.h"

namespace {

constexpr int kBatch = 200;
constexpr const char* kHandler = "bench";

// Everything the link needs, set up once for the whole run.
struct Link {
  zeltest::TempDir dir;
  std::unique_ptr<zelsim::CertAuthority> ca;
  zelsim::CertFiles cert;
  std::unique_ptr<zelsim::CloudServer> cloud;
  std::unique_ptr<zelsim::BrokerServer> broker;
  std::unique_ptr<zelbench::CountingSink> sink;
  agent_context context;
  std::size_t delivered = 0;
  bool ready = false;

  Link() {
    zeltest::install_agent_signal_handlers();
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);

    ca = std::make_unique<zelsim::CertAuthority>(dir.path());
    zelsim::CertOptions options;
    options.dns_names = {"localhost"};
    cert = ca->issue(options);
    ca_file = ca->ca_cert_path();
    cloud = std::make_unique<zelsim::CloudServer>(cert.chain_path, cert.key_path);
    broker = std::make_unique<zelsim::BrokerServer>(cert.chain_path, cert.key_path);
    sink = zelbench::CountingSink::unix_socket(dir.file("handler.sock"));

    zelsim::CloudAnswer advisor;
    advisor.body = R"({"_type":"ActionConnect","broker":"localhost","port":")" +
                   std::to_string(broker->port()) + "\"}";
    cloud->answer("GET", "/advisor/v2", advisor);
    config_set("zel_register_url", cloud->url("/register").c_str());
    config_set("zel_claimed_url", cloud->url("/claimed").c_str());
    config_set("zel_discovery_url", cloud->url("/discovery").c_str());
    config_set("zel_advisor_url", cloud->url("/advisor").c_str());
    config_set("zel_agent_id", "BENCH-AGENT");
    config_set("zel_agent_claim_code", "CLAIM");
    config_set(handler_key(kHandler).c_str(), sink->endpoint().c_str());

    init_shared_curl();
    message_sender_init();
    if (load_agent_context(context) != 0) return;
    start_broker_thread(&context);
    ready = broker->wait_for_packets(1);  // the hello: the link is up
  }

  ~Link() {
    stop_broker_thread();
    message_sender_stop();
    release_agent_context(context);
    clean_shared_curl();
  }
};

Link* link_state = nullptr;

void BM_PlainMessagesEndToEnd(benchmark::State& state) {
  Link& link = *link_state;
  if (!link.ready) {
    state.SkipWithError("the broker link did not come up");
    return;
  }
  const std::string body(static_cast<std::size_t>(state.range(0)), 'b');
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) link.broker->send_plain_message(kHandler, {body});
    link.delivered += kBatch;
    if (!link.sink->wait_for(link.delivered)) {
      state.SkipWithError("messages were lost");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * state.range(0));
}

BENCHMARK(BM_PlainMessagesEndToEnd)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    Link link;
    link_state = &link;
    benchmark::RunSpecifiedBenchmarks();
    link_state = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}
