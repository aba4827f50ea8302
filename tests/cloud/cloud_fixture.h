// Shared set-up of the cloud client tests: a private store and log, a private
// CA with a "localhost" certificate, a fake zelCloud serving it over HTTPS on
// loopback, the client trusting that CA, and a context with a whole identity.
#pragma once

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "cert_authority.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "support/cloud_server.h"
#include "config/config.h"
#include "delivery/message_sender.h"
#include "support/test_support.h"

using S = std::optional<std::string>;

class CloudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("PVO_STORE", dir_.file("store").c_str(), 1);
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
    const zelsim::CertFiles leaf = ca_.issue({});  // for "localhost"
    cloud_ = std::make_unique<zelsim::CloudServer>(leaf.chain_path, leaf.key_path);
    ca_file = ca_.ca_cert_path();
    device_hardware_id = "HW-1";
    device_model = "M-1";
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(zeltest::kWaitLimit).count();
    context_.request_timeout = context_.connect_timeout = static_cast<uint32_t>(seconds);
    context_.set_identity(identity{"AB-12", "HW-1", "secret"});
  }

  void TearDown() override {
    message_sender_stop();  // delivers what a test queued: nothing outlives the test
    resume_http_requests();
    ca_file.clear();
    ca_path.clear();
  }

  // Points the four cloud URLs at the fake (<url>/register, /claimed, ...) and loads the context from the store.
  void load_context() {
    for (std::string n : {"register", "claimed", "discovery", "advisor"}) {
      config_set(("zel_" + n + "_url").c_str(), cloud_->url("/" + n).c_str());
    }
    config_set(kKeyHttpRequestTimeout, std::to_string(context_.request_timeout).c_str());
    ASSERT_EQ(load_agent_context(context_), 0);
  }

  static zelsim::CloudAnswer reply(int status, std::string body = "",
                                   zelsim::CloudBehaviour behaviour = zelsim::CloudBehaviour::kAnswer) {
    return {status, {}, std::move(body), std::chrono::milliseconds(0), behaviour, ""};
  }

  // The document printed without layout, so members, order and types compare as one text.
  static std::string compact(const std::string& json) {
    std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(json.c_str()), cJSON_Delete);
    if (!root) return "not JSON: " + json;
    std::unique_ptr<char, void (*)(void*)> text(cJSON_PrintUnformatted(root.get()), std::free);
    return text.get();
  }

  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("agent.log")};
  zelsim::CertAuthority ca_{dir_.path()};
  std::unique_ptr<zelsim::CloudServer> cloud_;
  agent_context context_;
};
