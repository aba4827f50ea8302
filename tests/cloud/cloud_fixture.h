// Shared set-up of the cloud client tests: a private store and log file in a
// temporary folder, a private CA with a "localhost" certificate, a fake
// zelCloud serving it, and the client trusting that CA.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "config/config.h"
#include "fakes/fake_zelcloud.h"
#include "fakes/test_certs.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace cloudtest {

// An answer with a status and a body.
inline zeltest::FakeAnswer reply(int status, std::string body = "",
                                 std::vector<std::pair<std::string, std::string>> headers = {}) {
  zeltest::FakeAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.headers = std::move(headers);
  return answer;
}

inline zeltest::FakeAnswer behaviour(zeltest::FakeBehaviour what) {
  zeltest::FakeAnswer answer;
  answer.behaviour = what;
  return answer;
}

class CloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("PVO_STORE", dir_.file("store").c_str(), 1);
    // A proxy of the environment would otherwise carry the direct requests.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                             "NO_PROXY"}) {
      ::unsetenv(name);
    }
    ca_ = std::make_unique<zeltest::TestCa>(dir_.path());
    zeltest::CertOptions options;
    options.common_name = "localhost";
    options.dns_names = {"localhost"};
    leaf_ = ca_->issue(options);
    cloud_ = std::make_unique<zeltest::FakeZelCloud>(leaf_.chain_path, leaf_.key_path);
    ca_file = ca_->ca_cert_path();
    ca_path.clear();

    context_.request_timeout = kRequestTimeout;
    context_.connect_timeout = kRequestTimeout;
  }

  void TearDown() override {
    cloud_.reset();
    ca_file.clear();
    ca_path.clear();
  }

  std::string log_text() const { return log_.text(); }
  bool logged(const std::string& text) const { return log_.contains(text); }
  std::size_t times_logged(const std::string& text) const { return static_cast<std::size_t>(log_.count(text)); }

  void set_identity(const char* agent_id, const char* claim_code) {
    identity id;
    if (agent_id) id.agent_id = agent_id;
    id.hardware_id = "HW-0001";
    if (claim_code) id.claim_code = claim_code;
    context_.set_identity(id);
  }

  // Points the four cloud URLs of the store at the fake and loads the context.
  void load_context_for_fake() {
    config_set(kKeyRegisterUrl, cloud_->url("/register").c_str());
    config_set(kKeyClaimedUrl, cloud_->url("/claimed").c_str());
    config_set(kKeyDiscoveryUrl, cloud_->url("/discovery").c_str());
    config_set(kKeyAdvisorUrl, cloud_->url("/advisor").c_str());
    ASSERT_EQ(load_agent_context(context_), 0);
    context_.request_timeout = kRequestTimeout;
    context_.connect_timeout = kRequestTimeout;
  }

  static constexpr uint32_t kRequestTimeout = 20;

  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("agent.log")};
  std::unique_ptr<zeltest::TestCa> ca_;
  zeltest::CertFiles leaf_;
  std::unique_ptr<zeltest::FakeZelCloud> cloud_;
  agent_context context_;
};

}  // namespace cloudtest
