// The HTTPS client against the fake zelCloud on loopback: what goes on the
// wire, how results map, the pause, trust and the share object.
#include "cloud/http_helper.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "cloud_fixture.h"

namespace {

using cloudtest::behaviour;
using cloudtest::reply;
using zeltest::FakeBehaviour;

// A loopback port bound but not listening: connecting to it is refused, and
// no other test can take it while this object lives.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

class HttpHelperTest : public cloudtest::CloudTest {
 protected:
  void TearDown() override {
    resume_http_requests();
    clean_shared_curl();
    CloudTest::TearDown();
  }
};

TEST_F(HttpHelperTest, PostCarriesJsonAndAuthorizationAndReturnsTheStatus) {
  set_identity("AB-12", "secret");
  cloud_->answer("POST", "/register", reply(201, R"({"ok":true})"));
  long status = 0;
  http_buffer header, body;
  ASSERT_EQ(http_post_json(cloud_->url("/register"), context_, R"({"a":1})", status, header, body), kHttpOk);
  EXPECT_EQ(status, 201);
  EXPECT_EQ(header.rfind("HTTP/1.1 201 Created\r\n", 0), 0u);
  EXPECT_NE(header.find("Content-Length: 11\r\n"), std::string::npos);
  EXPECT_EQ(body, R"({"ok":true})");

  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/register");
  EXPECT_EQ(seen[0].body, R"({"a":1})");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("Authorization"), "AB-12:secret");
  EXPECT_FALSE(seen[0].header("User-Agent"));
  auto names = seen[0].header_names();
  auto content_type = std::find(names.begin(), names.end(), "Content-Type");
  auto authorization = std::find(names.begin(), names.end(), "Authorization");
  EXPECT_LT(content_type - names.begin(), authorization - names.begin());
}

TEST_F(HttpHelperTest, AuthorizationOnlyWithACompleteIdentity) {
  cloud_->set_default_answer(reply(200));
  struct Case {
    const char* agent_id;
    const char* claim_code;
    bool sent;
  };
  const Case cases[] = {{"AB-12", "c", true}, {"AB-12", nullptr, false}, {nullptr, "c", false}, {nullptr, nullptr, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.agent_id ? c.agent_id : "-") + "/" + (c.claim_code ? c.claim_code : "-"));
    set_identity(c.agent_id, c.claim_code);
    cloud_->clear_requests();
    long status = 0;
    http_buffer h1, b1, h2, b2;
    ASSERT_EQ(http_post_json(cloud_->url("/p"), context_, "{}", status, h1, b1), kHttpOk);
    ASSERT_EQ(http_get(cloud_->url("/g"), context_, status, h2, b2), 0);
    auto seen = cloud_->requests();
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& request : seen) EXPECT_EQ(request.header("Authorization").has_value(), c.sent);
  }
}

TEST_F(HttpHelperTest, GetSendsNoContentTypeAndTheExtraHeaderAfterAuthorization) {
  set_identity("AB-12", "secret");
  cloud_->answer("GET", "/advisor/v2", reply(200, "{}"));
  long status = 0;
  http_buffer header, body;
  ASSERT_EQ(http_get_with_header(cloud_->url("/advisor/v2"), context_, std::string("X-Carrier-ID: 42"), status,
                                 header, body),
            0);
  EXPECT_EQ(status, 200);
  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_FALSE(seen[0].header("Content-Type"));
  EXPECT_EQ(seen[0].header("X-Carrier-ID"), "42");
  auto names = seen[0].header_names();
  auto authorization = std::find(names.begin(), names.end(), "Authorization");
  auto carrier = std::find(names.begin(), names.end(), "X-Carrier-ID");
  ASSERT_NE(authorization, names.end());
  EXPECT_LT(authorization - names.begin(), carrier - names.begin());
}

TEST_F(HttpHelperTest, HeaderLinesWithLineBreaksAreNotSent) {
  set_identity("AB-12", "secret\r\nX-Injected: 1");
  cloud_->set_default_answer(reply(200));
  long status = 0;
  http_buffer header, body;
  ASSERT_EQ(http_get_with_header(cloud_->url("/g"), context_, std::string("X-Carrier-ID: 1\r\nX-Evil: 2"), status,
                                 header, body),
            0);
  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].header("X-Injected"));
  EXPECT_FALSE(seen[0].header("X-Evil"));
  EXPECT_FALSE(seen[0].header("Authorization"));
  EXPECT_TRUE(logged("Header line with a line break is not sent.\n"));
}

TEST_F(HttpHelperTest, ErrorStatusIsNoFailureAndAnEmptyBodyStaysEmpty) {
  cloud_->answer("POST", "/p", reply(503));
  cloud_->answer("GET", "/g", reply(404));
  long status = 0;
  http_buffer header, body;
  ASSERT_EQ(http_post_json(cloud_->url("/p"), context_, "{}", status, header, body), kHttpOk);
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body, "");
  EXPECT_EQ(body.size(), 0u);
  status = 0;
  ASSERT_EQ(http_get(cloud_->url("/g"), context_, status, header, body), 0);
  EXPECT_EQ(status, 404);
}

TEST_F(HttpHelperTest, LargeBodiesArriveWhole) {
  std::string big(300000, 'x');
  cloud_->answer("POST", "/p", reply(200, big));
  long status = 0;
  http_buffer header, body;
  ASSERT_EQ(http_post_json(cloud_->url("/p"), context_, "{\"d\":\"" + big + "\"}", status, header, body), kHttpOk);
  EXPECT_EQ(body, big);
  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body.size(), big.size() + 8);
}

// Each transport failure: the POST's own code, -1 for the GET, status untouched.
TEST_F(HttpHelperTest, TransportFailuresMapToTheirCodes) {
  RefusingPort refusing;
  struct Case {
    const char* name;
    std::function<std::string()> prepare;  // returns the URL
    int post_result;
  };
  const Case cases[] = {
      {"name does not resolve", [] { return std::string("https://zel-no-such-host.invalid/x"); }, kHttpUnresolved},
      {"connection refused",
       [&] { return "https://localhost:" + std::to_string(refusing.port()) + "/x"; }, kHttpRefused},
      {"server slower than the request time-out",
       [&] {
         context_.request_timeout = 1;
         cloud_->set_default_answer(behaviour(FakeBehaviour::kStall));
         return cloud_->url("/slow");
       },
       kHttpTimeout},
      {"certificate not trusted (default trust store)",
       [&] {
         ca_file.clear();
         cloud_->set_default_answer(reply(200));
         return cloud_->url("/x");
       },
       kHttpOtherFailure},
      {"certificate for another name",
       [&] {
         cloud_->set_default_answer(reply(200));
         return cloud_->url_with_host("127.0.0.1", "/x");
       },
       kHttpOtherFailure},
      {"connection closed without an answer",
       [&] {
         cloud_->set_default_answer(behaviour(FakeBehaviour::kCloseWithoutAnswer));
         return cloud_->url("/x");
       },
       kHttpOtherFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    context_.request_timeout = kRequestTimeout;
    ca_file = ca_->ca_cert_path();
    std::string url = c.prepare();
    long status = 777;
    http_buffer header, body;
    EXPECT_EQ(http_post_json(url, context_, "{}", status, header, body), c.post_result);
    EXPECT_EQ(status, 777);
    EXPECT_EQ(http_get(url, context_, status, header, body), kHttpGetFailure);
    EXPECT_EQ(status, 777);
    cloud_->release_stalled();
  }
  EXPECT_TRUE(logged("curl_easy_perform(url='https://zel-no-such-host.invalid/x') failed with error code 6: "));
  EXPECT_TRUE(logged("curl_easy_perform(url='https://zel-no-such-host.invalid/x') failed with code 6: "));
}

TEST_F(HttpHelperTest, TrustDirectoryIsHonoured) {
  ca_file.clear();
  ca_path = ca_->write_hashed_ca_dir();
  cloud_->set_default_answer(reply(200));
  long status = 0;
  http_buffer header, body;
  EXPECT_EQ(http_post_json(cloud_->url("/x"), context_, "{}", status, header, body), kHttpOk);
  EXPECT_EQ(status, 200);
}

TEST_F(HttpHelperTest, PausedRequestSendsNothingUntilResumeAndLaterRequestsQueueBehind) {
  cloud_->set_default_answer(reply(200));
  pause_http_requests();
  EXPECT_EQ(http_requests_paused(), 1);

  auto post = [&](const std::string& path) {
    long status = 0;
    http_buffer header, body;
    int rc = http_post_json(cloud_->url(path), context_, "{}", status, header, body);
    return rc == kHttpOk ? status : -1000L + rc;
  };
  auto first = std::async(std::launch::async, post, "/first");
  ASSERT_TRUE(zeltest::wait_until([] { return http_testing::requests_held_by_pause() == 1; }));
  auto second = std::async(std::launch::async, post, "/second");
  ASSERT_TRUE(zeltest::wait_until([] { return http_testing::requests_in_progress() == 2; }));
  // The first is held by the pause, the second by the request mutex.
  EXPECT_EQ(http_testing::requests_held_by_pause(), 1);
  EXPECT_EQ(cloud_->connections(), 0u);
  // The held request counts itself before it writes this line.
  EXPECT_TRUE(zeltest::wait_until([&] { return logged("Pause http request until we allow to do it\n"); }));

  resume_http_requests();
  EXPECT_EQ(http_requests_paused(), 0);
  EXPECT_EQ(first.get(), 200);
  EXPECT_EQ(second.get(), 200);
  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].target, "/first");
  EXPECT_EQ(seen[1].target, "/second");
}

// A thread that marks its requests abandonable (the broker thread) leaves
// the pause, and its wait for another request's turn, once its flag is
// cleared: its stop must not wait for a resume. Nothing reaches the cloud.
TEST_F(HttpHelperTest, ClearedFlagAbandonsRequestsHeldByThePauseOrQueuedBehindIt) {
  cloud_->set_default_answer(reply(200));
  pause_http_requests();
  std::atomic<int> keep_first{1};
  std::atomic<int> keep_second{1};
  auto post = [&](const std::string& path, std::atomic<int>* flag) {
    http_abandon_requests_when_cleared(flag);
    long status = 0;
    http_buffer header, body;
    int rc = http_post_json(cloud_->url(path), context_, "{}", status, header, body);
    http_abandon_requests_when_cleared(nullptr);
    return rc;
  };
  auto first = std::async(std::launch::async, post, "/first", &keep_first);
  ASSERT_TRUE(zeltest::wait_until([] { return http_testing::requests_held_by_pause() == 1; }));
  auto second = std::async(std::launch::async, post, "/second", &keep_second);
  ASSERT_TRUE(zeltest::wait_until([] { return http_testing::requests_in_progress() == 2; }));

  // The queued one goes first: it waits for the turn, not for the pause.
  keep_second.store(0);
  http_wake_waiting_requests();
  EXPECT_EQ(second.get(), kHttpOtherFailure);
  keep_first.store(0);
  http_wake_waiting_requests();
  EXPECT_EQ(first.get(), kHttpOtherFailure);
  EXPECT_EQ(http_testing::requests_held_by_pause(), 0);
  EXPECT_EQ(cloud_->connections(), 0u);

  // The slot was given back: a request after the resume runs.
  resume_http_requests();
  long status = 0;
  http_buffer header, body;
  EXPECT_EQ(http_post_json(cloud_->url("/after"), context_, "{}", status, header, body), kHttpOk);
  EXPECT_EQ(status, 200);
}

TEST_F(HttpHelperTest, PauseAndResumeWithNothingWaiting) {
  pause_http_requests();
  resume_http_requests();
  cloud_->set_default_answer(reply(200));
  long status = 0;
  http_buffer header, body;
  EXPECT_EQ(http_post_json(cloud_->url("/x"), context_, "{}", status, header, body), kHttpOk);
}

TEST_F(HttpHelperTest, ShareObjectResumesTlsSessionsAcrossRequests) {
  ASSERT_EQ(init_shared_curl(), 0);
  EXPECT_TRUE(http_testing::share_in_place());
  cloud_->set_default_answer(reply(200, "{}"));
  constexpr int kRequests = 4;
  for (int i = 0; i < kRequests; ++i) {
    long status = 0;
    http_buffer header, body;
    ASSERT_EQ(http_get(cloud_->url("/x"), context_, status, header, body), 0);
  }
  EXPECT_EQ(cloud_->full_handshakes(), 1u);
  EXPECT_EQ(cloud_->resumed_handshakes(), static_cast<std::size_t>(kRequests - 1));
  clean_shared_curl();
  EXPECT_FALSE(http_testing::share_in_place());
}

TEST_F(HttpHelperTest, WithoutTheShareObjectEveryRequestHandshakesInFull) {
  cloud_->set_default_answer(reply(200, "{}"));
  constexpr int kRequests = 3;
  for (int i = 0; i < kRequests; ++i) {
    long status = 0;
    http_buffer header, body;
    ASSERT_EQ(http_get(cloud_->url("/x"), context_, status, header, body), 0);
  }
  EXPECT_EQ(cloud_->full_handshakes(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(cloud_->resumed_handshakes(), 0u);
}

}  // namespace
