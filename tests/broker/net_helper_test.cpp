#include "broker/net_helper.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "broker/ssl_routine.h"
#include "broker/zelbroker_connection.h"
#include "broker_test_util.h"

namespace {

using namespace brokertest;

using zeltest::install_interrupting_handler;

// A connected pair of loopback TCP sockets.
struct TcpPair {
  UniqueFd client;
  UniqueFd server;
};

TcpPair make_pair() {
  TcpPair pair;
  UniqueFd accepted;
  {
    LoopbackServer server([&](UniqueFd fd) { accepted = std::move(fd); });
    pair.client = connect_loopback(server.port());
    EXPECT_TRUE(zeltest::wait_until([&] { return server.accepted() == 1; }));
  }
  pair.server = std::move(accepted);
  return pair;
}

class NetHelperTest : public ::testing::Test {
 protected:
  zeltest::TempDir dir_;
  LogCapture log_{dir_.file("broker_test.log")};
};

TEST_F(NetHelperTest, SendAllDeliversEverythingAcrossPiecesAndSignals) {
  install_interrupting_handler(SIGUSR2);
  TcpPair pair = make_pair();
  int small = 4096;
  setsockopt(pair.client.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string payload(4 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);

  std::string received;
  std::thread reader([&] { received = recv_exactly(pair.server.get(), payload.size()); });
  std::atomic<bool> sending{true};
  const pthread_t sender = pthread_self();
  std::thread interrupter([&] {
    while (sending.load()) {
      pthread_kill(sender, SIGUSR2);
      std::this_thread::yield();
    }
  });
  int result = send_all(pair.client.get(), payload.data(), payload.size());
  sending.store(false);
  interrupter.join();
  reader.join();
  EXPECT_EQ(result, static_cast<int>(payload.size()));
  EXPECT_TRUE(received == payload);
}

TEST_F(NetHelperTest, SendAllToAVanishedPeerFailsWithoutSigpipe) {
  // SIGPIPE keeps its default action here: without MSG_NOSIGNAL the test dies.
  signal(SIGPIPE, SIG_DFL);
  TcpPair pair = make_pair();
  pair.server.reset();
  std::string payload(1024 * 1024, 'x');
  int result = 0;
  for (int i = 0; i < 10 && result >= 0; ++i) {
    result = send_all(pair.client.get(), payload.data(), payload.size());
  }
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(log_.contains("Send data to socket error. errno = "));
}

TEST_F(NetHelperTest, ReadExactGathersPieces) {
  TcpPair pair = make_pair();
  connection conn;
  conn.sock = std::move(pair.client);
  std::thread writer([&] {
    for (const char* piece : {"ab", "cde", "fghij"}) {
      send_bytes(pair.server.get(), piece);
    }
  });
  char buffer[10] = {};
  EXPECT_EQ(read_exact(&conn, buffer, sizeof buffer), 10);
  EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
  writer.join();
}

TEST_F(NetHelperTest, ReadExactReportsAPeerThatClosesHalfWay) {
  TcpPair pair = make_pair();
  connection conn;
  conn.sock = std::move(pair.client);
  send_bytes(pair.server.get(), "12345");
  pair.server.reset();
  char buffer[10] = {};
  EXPECT_EQ(read_exact(&conn, buffer, sizeof buffer), 0);
  EXPECT_TRUE(log_.contains("Connection was closed.\n"));
  EXPECT_EQ(read_exact(nullptr, buffer, sizeof buffer), -1);
}

TEST_F(NetHelperTest, ReadExactInterruptedGivesUpOnlyWhenTheLinkStops) {
  install_interrupting_handler(SIGUSR2);
  TcpPair pair = make_pair();
  connection conn;
  conn.sock = std::move(pair.client);

  for (int keep : {1, 0}) {
    SCOPED_TRACE(keep);
    keep_connection.store(keep);
    std::atomic<int> result{-2};
    pthread_t reader_handle{};
    std::atomic<bool> started{false};
    std::thread reader([&] {
      reader_handle = pthread_self();
      started.store(true);
      char buffer[4];
      result.store(read_exact(&conn, buffer, sizeof buffer));
    });
    ASSERT_TRUE(zeltest::wait_until([&] { return started.load(); }));
    // Interrupt until the log shows the read was cut short at least once.
    ASSERT_TRUE(zeltest::wait_until([&] {
      pthread_kill(reader_handle, SIGUSR2);
      return log_.contains("recv was interrupted by signal.\n");
    }));
    if (keep == 1) {
      send_bytes(pair.server.get(), "data");
      reader.join();
      EXPECT_EQ(result.load(), 4);
    } else {
      EXPECT_TRUE(zeltest::wait_until([&] {
        if (result.load() == -2) pthread_kill(reader_handle, SIGUSR2);
        return result.load() != -2;
      }));
      reader.join();
      EXPECT_EQ(result.load(), -1);
    }
  }
  keep_connection.store(0);
}

TEST_F(NetHelperTest, SetKeepaliveSetsTheThreeTimings) {
  TcpPair pair = make_pair();
  ASSERT_EQ(set_keepalive(pair.client.get(), 30, 5, 10), 0);
  int value = 0;
  socklen_t size = sizeof value;
  getsockopt(pair.client.get(), SOL_SOCKET, SO_KEEPALIVE, &value, &size);
  EXPECT_EQ(value, 1);
  getsockopt(pair.client.get(), IPPROTO_TCP, TCP_KEEPIDLE, &value, &size);
  EXPECT_EQ(value, 30);
  getsockopt(pair.client.get(), IPPROTO_TCP, TCP_KEEPCNT, &value, &size);
  EXPECT_EQ(value, 5);
  getsockopt(pair.client.get(), IPPROTO_TCP, TCP_KEEPINTVL, &value, &size);
  EXPECT_EQ(value, 10);
}

TEST_F(NetHelperTest, SetKeepaliveOnANonSocketFailsWithOneMessage) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  EXPECT_EQ(set_keepalive(read_end.get(), 30, 5, 10), -1);
  EXPECT_EQ(log_.count("setsockopt(): "), 1);
  EXPECT_FALSE(log_.contains("TCP_KEEPIDLE"));
}

TEST_F(NetHelperTest, WaitForSocketTimesOutWithTheStepNamed) {
  BrokerRunning running;
  TcpPair pair = make_pair();
  net_testing::set_broker_step_timeout_ms(100);
  EXPECT_EQ(wait_for_socket(pair.client.get(), POLLIN, broker_step_deadline(), "silent peer"), 0);
  net_testing::set_broker_step_timeout_ms(0);
  EXPECT_EQ(broker_step_timeout_ms(), kBrokerStepTimeoutSeconds * 1000);
  EXPECT_TRUE(log_.contains("Timed out after 100 ms waiting for silent peer.\n"));

  send_bytes(pair.server.get(), "x");
  EXPECT_EQ(wait_for_socket(pair.client.get(), POLLIN, broker_step_deadline(), "data"), 1);
}

TEST_F(NetHelperTest, WaitForSocketEndsAtOnceWhenTheLinkStops) {
  install_interrupting_handler(SIGUSR1);
  TcpPair pair = make_pair();
  // Stopped before the wait begins.
  keep_connection.store(0);
  EXPECT_EQ(wait_for_socket(pair.client.get(), POLLIN, broker_step_deadline(), "early"), -1);
  EXPECT_TRUE(log_.contains("Broker link is stopping, early abandoned.\n"));

  // Stopped during a wait with the full 30 s limit: flag, then the signal.
  keep_connection.store(1);
  std::atomic<int> result{-2};
  std::atomic<bool> started{false};
  pthread_t waiter_handle{};
  std::thread waiter([&] {
    waiter_handle = pthread_self();
    started.store(true);
    result.store(wait_for_socket(pair.client.get(), POLLIN, broker_step_deadline(), "late"));
  });
  ASSERT_TRUE(zeltest::wait_until([&] { return started.load(); }));
  keep_connection.store(0);
  pthread_kill(waiter_handle, SIGUSR1);
  waiter.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_TRUE(log_.contains("Broker link is stopping, late abandoned.\n"));
}

TEST_F(NetHelperTest, ScopedSigpipeBlockSwallowsTheSignalOfABrokenPipe) {
  signal(SIGPIPE, SIG_DFL);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd read_end(fds[0]), write_end(fds[1]);
  read_end.reset();
  {
    ScopedSigpipeBlock block;
    EXPECT_EQ(write(write_end.get(), "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
  }
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(UniqueFdTest, ResetAndMoveCloseExactlyOnce) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd a(fds[0]);
  UniqueFd b(fds[1]);
  UniqueFd c(std::move(a));
  EXPECT_EQ(a.get(), -1);
  EXPECT_EQ(c.get(), fds[0]);
  c = std::move(b);  // closes fds[0]
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(c.release(), fds[1]);
  EXPECT_FALSE(c);
  close(fds[1]);
}

}  // namespace
