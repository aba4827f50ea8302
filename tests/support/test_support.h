// Small helpers shared by the tests: a private temporary folder removed at
// the end of the test, waiting on a condition with a deadline (never a bare
// sleep), whole-file reads, the path of a built program, and the agent's
// signal set-up.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zeltest {

// A fresh folder under $TMPDIR (or /tmp), removed with its content on destruction.
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

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

// Path of a program built by this project (from the ZEL_BUILD_DIR the tests
// run with), e.g. built_program("src/control/zelagent_control").
std::string built_program(const std::string& relative);

// Installs a handler that only returns, without SA_RESTART, so that the
// signal ends a blocked call with EINTR (the agent stops its broker thread
// with SIGUSR1 this way).
void install_interrupting_handler(int signal_number);
// What the agent installs before its broker thread starts: that SIGUSR1
// handler, and SIGPIPE ignored.
void install_agent_signal_handlers();

}  // namespace zeltest
