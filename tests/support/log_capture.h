// Sends this process's log to a file of the test's own, every level let
// through and nothing on the console, for the life of the object; the
// Logger's previous settings come back on destruction. Declare it after the
// temporary folder that holds the file, so that it is restored first.
#pragma once

#include <string>

namespace zeltest {

class LogCapture {
 public:
  explicit LogCapture(std::string path);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::string& path() const { return path_; }
  std::string text() const;
  bool contains(const std::string& fragment) const;
  // How many times `fragment` stands in the log, without overlaps.
  int count(const std::string& fragment) const;

 private:
  std::string path_;
  int saved_level_;
  int saved_console_;
  int saved_file_;
  std::string saved_path_;
};

}  // namespace zeltest
