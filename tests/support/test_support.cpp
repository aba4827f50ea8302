#include "support/test_support.h"

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zeltest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zeltest.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

std::string built_program(const std::string& relative) {
  const char* dir = std::getenv("ZEL_BUILD_DIR");
  if (dir == nullptr) throw std::runtime_error("ZEL_BUILD_DIR is not set");
  return std::string(dir) + "/" + relative;
}

namespace {
void on_interrupting_signal(int) {}
}  // namespace

void install_interrupting_handler(int signal_number) {
  struct sigaction action {};
  action.sa_handler = on_interrupting_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART
  ::sigaction(signal_number, &action, nullptr);
}

void install_agent_signal_handlers() {
  install_interrupting_handler(SIGUSR1);
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace zeltest
