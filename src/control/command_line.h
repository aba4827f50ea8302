// The control tool's command line, read without side effects: which Logger
// settings it asks for and what the tool is to do (print the usage or the
// version, end with a result code, or send a request). zelagent_control's
// main applies the outcome; keeping the reading pure lets it be tested and
// fuzzed without starting the tool.
//
//   zelagent_control [global options] -c <command> [command options]
//
// Global options are read up to "-c"; the command's options are searched in
// the whole argument list, so "-s svc -c on_claim -r true" is complete.
//
// Usage:
//
//   command_line_outcome outcome = read_command_line(argc, argv, defaults);
//   ... apply outcome.settings, log outcome.error, then act on outcome.action ...
//
// Any thread; nothing global is read or written.
#pragma once

#include <cstdint>
#include <string>

// The Logger settings the command line may change.
struct control_log_settings {
  int level = 0;
  int to_console = 0;
  int to_file = 0;
  std::string file_path;
};

enum class command_line_action {
  usage,      // print the usage text, end with status 1
  version,    // print the version line, end with status 0
  result,     // end through exit_with_result(code)
  request,    // send `request` to the agent
};

struct command_line_outcome {
  command_line_action action = command_line_action::usage;
  control_log_settings settings;  // the defaults with the options applied
  std::int32_t code = 0;          // for `result`: a control result code (-6)
  std::string request;            // for `request`: the request text, never empty
  std::string error;              // an ERROR line to log first ("" for none)
};

// Reads the arguments (argv[0] is the program and is not read as an option).
// `defaults` are the tool's own Logger settings, which the global options
// met before "-c" change. Command-line errors give action `result` with
// kResultBadRequest and the ERROR line naming the fault. Running out of
// memory throws std::bad_alloc.
command_line_outcome read_command_line(int argc, const char* const* argv,
                                       const control_log_settings& defaults);
