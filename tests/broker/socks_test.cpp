// SOCKS4 and SOCKS5 exchanges against scripted proxies that expect exact
// bytes and send exact replies.
#include "broker/socks.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <string>

#include "broker/ssl_routine.h"
#include "broker_test_util.h"
#include "config/config.h"

namespace {

using namespace brokertest;
using namespace std::string_literals;

// 127.0.0.1 port 443 as they appear in requests.
const std::string kTargetAddress = "\x7f\x00\x00\x01"s;
const std::string kTargetPort = "\x01\xbb"s;
const std::string kSocks4Request = "\x04\x01"s + kTargetPort + kTargetAddress + "\x00"s;
const std::string kSocks5Greeting = "\x05\x02\x00\x02"s;
const std::string kSocks5Connect = "\x05\x01\x00\x01"s + kTargetAddress + kTargetPort;
const std::string kSocks5Granted = "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00"s;

class SocksTest : public ::testing::Test {
 protected:
  // Runs `exchange` over a connection to `peer`, then closes the connection
  // and waits for the peer's script to end.
  int run(ScriptedPeer& peer, int (*exchange)(connection*, const char*, std::uint16_t),
          const char* host = "127.0.0.1") {
    const int finished_before = peer.finished();
    connection conn;
    conn.sock = connect_loopback(peer.port());
    int result = exchange(&conn, host, 443);
    connection_close(&conn);
    EXPECT_TRUE(peer.wait_finished(finished_before + 1));
    return result;
  }

  zeltest::TempDir dir_;
  LogCapture log_{dir_.file("broker_test.log")};
  ConfigStore store_{dir_.path()};
  BrokerRunning running_;
};

TEST_F(SocksTest, Socks4GrantedOpensTheTunnel) {
  ScriptedPeer proxy([](int fd, std::string* got) {
    *got = recv_exactly(fd, kSocks4Request.size());
    send_bytes(fd, "\x00\x5a\x01\x02\x03\x04\x05\x06"s);
    *got += recv_until_closed(fd);
  });
  EXPECT_EQ(run(proxy, socks4_connect), 0);
  EXPECT_EQ(proxy.received(), kSocks4Request);
  EXPECT_TRUE(log_.contains("Connected to SOCKS4 proxy.\n"));
}

TEST_F(SocksTest, Socks4RefusalsAndShortReplies) {
  struct Case {
    std::string reply;
    std::string message;
  } cases[] = {
      {"\x00\x5b\x00\x00\x00\x00\x00\x00"s, "Could not connect to server using sock4 91.\n"},
      {"\x00\x5a\x00\x00"s, "Readed 4 bytes in SOCK4 request answer instead of 8.\n"},
      {""s, "Readed 0 bytes in SOCK4 request answer instead of 8.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ScriptedPeer proxy([&](int fd, std::string* got) {
      *got = recv_exactly(fd, kSocks4Request.size());
      send_bytes(fd, c.reply);  // and close
    });
    EXPECT_EQ(run(proxy, socks4_connect), -1);
    EXPECT_TRUE(log_.contains(c.message));
  }
}

TEST_F(SocksTest, Socks5WithoutAuthenticationSendsExactlyGreetingAndConnect) {
  ScriptedPeer proxy([](int fd, std::string* got) {
    *got = recv_exactly(fd, kSocks5Greeting.size());
    send_bytes(fd, "\x05\x00"s);
    *got += recv_exactly(fd, kSocks5Connect.size());
    send_bytes(fd, kSocks5Granted);
    *got += recv_until_closed(fd);
  });
  EXPECT_EQ(run(proxy, socks5_connect), 0);
  EXPECT_EQ(proxy.received(), kSocks5Greeting + kSocks5Connect);
}

// Sends `reply` in two segments: the second only once the first has had
// time to be read alone, unless the client gave up on the first already.
void send_split(int fd, const std::string& reply, std::size_t first) {
  send_bytes(fd, reply.substr(0, first));
  pollfd gave_up{fd, POLLIN, 0};
  if (::poll(&gave_up, 1, 200) == 0) send_bytes(fd, reply.substr(first));
}

TEST_F(SocksTest, RepliesSplitAcrossSegmentsAreReadWhole) {
  ScriptedPeer socks4([](int fd, std::string* got) {
    *got = recv_exactly(fd, kSocks4Request.size());
    send_split(fd, "\x00\x5a\x01\x02\x03\x04\x05\x06"s, 3);
    *got += recv_until_closed(fd);
  });
  EXPECT_EQ(run(socks4, socks4_connect), 0);

  ScriptedPeer socks5([](int fd, std::string* got) {
    *got = recv_exactly(fd, kSocks5Greeting.size());
    send_split(fd, "\x05\x00"s, 1);
    *got += recv_exactly(fd, kSocks5Connect.size());
    send_split(fd, kSocks5Granted, 4);
    *got += recv_until_closed(fd);
  });
  EXPECT_EQ(run(socks5, socks5_connect), 0);
  EXPECT_EQ(socks5.received(), kSocks5Greeting + kSocks5Connect);
}

TEST_F(SocksTest, Socks5UserNameAndPassword) {
  store_.set(kKeyZelcloudProxyUsername, "user");
  store_.set(kKeyZelcloudProxyPassword, "secret");
  const std::string auth = "\x01\x04user\x06secret"s;
  for (char status : {'\x00', '\x01'}) {
    SCOPED_TRACE(static_cast<int>(status));
    ScriptedPeer proxy([&](int fd, std::string* got) {
      *got = recv_exactly(fd, kSocks5Greeting.size());
      send_bytes(fd, "\x05\x02"s);
      *got += recv_exactly(fd, auth.size());
      send_bytes(fd, "\x01"s + status);
      if (status == 0) {
        *got += recv_exactly(fd, kSocks5Connect.size());
        send_bytes(fd, kSocks5Granted);
      }
      *got += recv_until_closed(fd);
    });
    int result = run(proxy, socks5_connect);
    if (status == 0) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(proxy.received(), kSocks5Greeting + auth + kSocks5Connect);
      EXPECT_TRUE(log_.contains("Registered on SOCKS5 server.\n"));
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(proxy.received(), kSocks5Greeting + auth);
      EXPECT_TRUE(log_.contains("Error during autorization : 1.\n"));
    }
  }
}

TEST_F(SocksTest, Socks5AuthenticationWithoutPasswordSendsNothingMore) {
  store_.set(kKeyZelcloudProxyUsername, "user");
  ScriptedPeer proxy([](int fd, std::string* got) {
    *got = recv_exactly(fd, kSocks5Greeting.size());
    send_bytes(fd, "\x05\x02"s);
    *got += recv_until_closed(fd);
  });
  EXPECT_EQ(run(proxy, socks5_connect), -1);
  EXPECT_EQ(proxy.received(), kSocks5Greeting);
  EXPECT_TRUE(log_.contains(
      "Authentification is required. Username and/or password is not present.\n"));
}

TEST_F(SocksTest, Socks5MethodRepliesOtherThanTheOffered) {
  struct Case {
    std::string reply;
    std::string message;
    bool connects;
  } cases[] = {
      {"\x04\x00"s, "SOCKS5 is not supported on the other side.\n", false},
      {"\x05\xff"s, "Autorization method is not present.\n", false},
      {"\x05\x03"s, "Autorization method is not present.\n", false},
      // GSSAPI was never offered; a proxy that picks it gets the CONNECT anyway.
      {"\x05\x01"s, "GSSAPI autorization is not supported yet.\n", true},
      {"\x05"s, "Readed 1 bytes in SOCK5 hello request answer instead of 2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ScriptedPeer proxy([&](int fd, std::string* got) {
      *got = recv_exactly(fd, kSocks5Greeting.size());
      send_bytes(fd, c.reply);
      if (c.connects) {
        *got += recv_exactly(fd, kSocks5Connect.size());
        send_bytes(fd, kSocks5Granted);
      }
    });
    EXPECT_EQ(run(proxy, socks5_connect), c.connects ? 0 : -1);
    EXPECT_TRUE(log_.contains(c.message));
    EXPECT_EQ(proxy.received(), c.connects ? kSocks5Greeting + kSocks5Connect : kSocks5Greeting);
  }
}

TEST_F(SocksTest, Socks5EveryReplyCodeHasItsMessage) {
  const char* messages[] = {
      nullptr,
      "General SOCKS server failure.\n",
      "Connection not allowed by ruleset.\n",
      "Network unreachable.\n",
      "Host unreachable.\n",
      "Connection refused.\n",
      "TTL expired.\n",
      "Command not supported.\n",
      "Address type not supported.\n",
      "SOCKS Error unassigned.\n",
  };
  for (int code = 1; code <= 9; ++code) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(socks5_reply_message(code), messages[code]);
    ScriptedPeer proxy([&](int fd, std::string* got) {
      *got = recv_exactly(fd, kSocks5Greeting.size());
      send_bytes(fd, "\x05\x00"s);
      *got += recv_exactly(fd, kSocks5Connect.size());
      std::string reply = kSocks5Granted;
      reply[1] = static_cast<char>(code);
      send_bytes(fd, reply);
    });
    int denied_before = log_.count("Access denied answer=" + std::to_string(code) + ".\n");
    int message_before = log_.count(messages[code]);
    EXPECT_EQ(run(proxy, socks5_connect), -1);
    EXPECT_EQ(log_.count("Access denied answer=" + std::to_string(code) + ".\n"),
              denied_before + 1);
    EXPECT_EQ(log_.count(messages[code]), message_before + 1);
  }
  EXPECT_STREQ(socks5_reply_message(200), "SOCKS Error unassigned.\n");
  const std::string log = log_.text();
  // The message follows the code line.
  EXPECT_LT(log.find("Access denied answer=5.\n"), log.find("Connection refused.\n"));
}

TEST_F(SocksTest, UnresolvableNameSendsNothing) {
  for (auto exchange : {socks4_connect, socks5_connect}) {
    ScriptedPeer proxy([](int fd, std::string* got) { *got = recv_until_closed(fd); });
    // Blanks make the name invalid before any resolver traffic.
    EXPECT_EQ(run(proxy, exchange, "no such host"), -1);
    EXPECT_EQ(proxy.received(), "");
  }
  EXPECT_EQ(log_.count("Can't resolve host 'no such host'. h_errno=1 - "), 2);
}

TEST_F(SocksTest, SilentProxyTimesOut) {
  net_testing::set_broker_step_timeout_ms(200);
  ScriptedPeer proxy([](int fd, std::string* got) { *got = recv_until_closed(fd); });
  EXPECT_EQ(run(proxy, socks5_connect), -1);
  EXPECT_EQ(run(proxy, socks4_connect), -1);
  net_testing::set_broker_step_timeout_ms(0);
  EXPECT_TRUE(log_.contains("Timed out after 200 ms waiting for SOCKS5 method reply.\n"));
  EXPECT_TRUE(log_.contains("Timed out after 200 ms waiting for SOCKS4 reply.\n"));
}

TEST(Socks5AuthRequest, CredentialsUpTo255Bytes) {
  std::string request;
  ASSERT_EQ(socks5_auth_request(std::string(255, 'u'), "p", &request), 0);
  EXPECT_EQ(request.size(), 3u + 255u + 1u);
  EXPECT_EQ(static_cast<unsigned char>(request[1]), 255u);
  EXPECT_EQ(request[257], '\x01');

  std::string untouched = "keep";
  EXPECT_EQ(socks5_auth_request(std::string(256, 'u'), "p", &untouched), -1);
  EXPECT_EQ(socks5_auth_request("u", std::string(256, 'p'), &untouched), -1);
  EXPECT_EQ(untouched, "keep");
}

}  // namespace
