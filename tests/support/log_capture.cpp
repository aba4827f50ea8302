#include "support/log_capture.h"

#include <utility>

#include "log/log.h"
#include "support/test_support.h"

namespace zeltest {

LogCapture::LogCapture(std::string path)
    : path_(std::move(path)),
      saved_level_(log_level),
      saved_console_(log_to_console),
      saved_file_(log_to_file),
      saved_path_(log_file_path) {
  log_file_path = path_;
  log_level = kLogDebug;
  log_to_console = 0;
  log_to_file = 1;
}

LogCapture::~LogCapture() {
  log_level = saved_level_;
  log_to_console = saved_console_;
  log_to_file = saved_file_;
  log_file_path = saved_path_;
}

std::string LogCapture::text() const { return read_file(path_); }

bool LogCapture::contains(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }

int LogCapture::count(const std::string& fragment) const {
  const std::string all = text();
  int found = 0;
  for (std::size_t at = all.find(fragment); at != std::string::npos; at = all.find(fragment, at + fragment.size())) {
    ++found;
  }
  return found;
}

}  // namespace zeltest
