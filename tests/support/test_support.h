// What every test shares: a private folder removed afterwards, waiting on a
// condition with one bounded deadline (never a bare sleep), whole-file reads,
// the programs of this build run as child processes, the log sent to a file
// of the test's own, and a local handler that records what it receives.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

namespace zeltest {

using namespace std::chrono_literals;

// The longest any test waits for something to happen. Sanitizer and emulated
// builds run several times slower: the build sets ZEL_TEST_TIME_SCALE.
inline constexpr std::chrono::milliseconds kWaitLimit = 15s * ZEL_TEST_TIME_SCALE;

// Polls `condition` until it holds or `limit` passes; true when it held.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWaitLimit);

// A fresh folder under $TMPDIR (or /tmp), removed with its content afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);  // "" when it cannot be read
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
bool file_exists(const std::string& path);
// How often `fragment` stands in `text`, without overlaps.
int count_of(const std::string& text, const std::string& fragment);

// A program of this build, e.g. built_program("src/agent/zelagent").
std::string built_program(const std::string& relative);

// A child process with its standard output and error in files (/dev/null
// for an empty path), default signal handling and an empty signal mask.
// `env` entries are added to this process's environment. The destructor
// kills and reaps it when it still runs (waiting at most kWaitLimit).
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path,
          const std::vector<std::pair<std::string, std::string>>& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  // The exit status, -1 after a signal, nullopt while it still runs at `limit`.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = kWaitLimit);
  bool running() { return pid_ > 0 && !wait_exit(0ms); }
  void signal(int number) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs a program to its end, at most `limit`: its exit status (-1 after a
// signal) and output. A program still running (or holding its output open)
// at the limit is killed: status -1, timed_out set, a note at the end of err.
struct ProgramResult {
  int status = -1;
  bool timed_out = false;
  std::string out, err;
};
ProgramResult run_program(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env = {},
                          std::chrono::milliseconds limit = kWaitLimit);

// What the agent sets up before its threads run: SIGUSR1 with a handler that
// only returns (no SA_RESTART: it ends a blocked call), SIGPIPE ignored.
void install_agent_signal_handlers();

// Sends this process's log, every level, to `path` for the object's life.
class LogCapture {
 public:
  explicit LogCapture(std::string path);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const { return read_file(path_); }
  bool has(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }
  bool wait_for(const std::string& fragment) const { return wait_until([&] { return has(fragment); }); }

 private:
  std::string path_;
  int saved_level_, saved_console_;
  std::string saved_path_;
};

// A listening socket on 127.0.0.1 (ephemeral port, stored in *port) or on a
// UNIX path; invalid on failure.
UniqueFd listen_loopback(std::uint16_t* port, int backlog = 128);
UniqueFd listen_unix(const std::string& path, int backlog = 128);
// A blocking TCP connection to 127.0.0.1:port; invalid on failure.
UniqueFd connect_loopback(std::uint16_t port);

// A raw client of the control port: send_control sends `text` and
// half-closes (invalid when it cannot connect), control_reply reads the reply
// to the end of the stream (at most kWaitLimit between reads), ask_control
// does both ("not sent" when it cannot connect).
UniqueFd send_control(const std::string& text);
std::string control_reply(int fd);
std::string ask_control(const std::string& text);

// A local handler: accepts one connection at a time, reads it to its end and
// records the bytes. endpoint() is the text of a handler line.
class HandlerSink {
 public:
  HandlerSink();                                 // TCP on 127.0.0.1
  explicit HandlerSink(const std::string& path);  // UNIX socket, removed afterwards
  ~HandlerSink();
  const std::string& endpoint() const { return endpoint_; }
  bool wait_for(std::size_t count) const;
  std::vector<std::string> payloads() const;
  // Misbehaviour on command: stop accepting (connections wait in the
  // backlog) or take them again; read `chunk` bytes per `pause` (0: at once);
  // remove the socket file so that new connections fail (UNIX only).
  void hold(bool holding) { holding_.store(holding); }
  void pace(std::size_t chunk, std::chrono::milliseconds pause) {
    chunk_.store(chunk);
    pause_ms_.store(static_cast<int>(pause.count()));
  }
  void vanish() const { ::unlink(path_.c_str()); }

 private:
  void start();
  void run();
  UniqueFd listener_, stop_read_, stop_write_;
  std::string endpoint_, path_;
  mutable std::mutex mutex_;  // guards payloads_
  mutable std::condition_variable changed_;
  std::vector<std::string> payloads_;
  std::atomic<bool> holding_{false};
  std::atomic<std::size_t> chunk_{16384};
  std::atomic<int> pause_ms_{0};
  std::thread thread_;
};

// Number of processes whose command line contains `marker`.
int processes_with(const std::string& marker);

// Whether something listens on 127.0.0.1:kControlPort (read from
// /proc/net/tcp, so that asking does not itself connect).
bool control_port_listening();

// Whether a process may become a child subreaper here (qemu-user refuses
// it): tests that count what a handler program leaves behind need it.
bool child_subreaper_supported();

}  // namespace zeltest
