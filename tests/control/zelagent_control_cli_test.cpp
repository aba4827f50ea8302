// The control tool's command line, run as a black box: everything here ends
// before the tool connects, so no listener is needed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include "control/control_tool_test.h"
#include "control/fake_control_listener.h"
#include "support/test_support.h"

namespace {

std::string usage_for(const std::string& program) {
  return program +
         ":\t[--enable_console] [--disable_log_file]\n"
         "\t\t[--log_debug|--log_info|--log_warning|--log_error|--log_silent]\n"
         "\t\t[-v|--version] [--log_file <filename>]\n"
         "\t\t[-\xD1\x81 send_discovery -s <service_name> [-t <discovery_time>]\n"
         "\t\t\t[-id <id>] [-carrier_id <id>] [-discovery_data <data>]]\n"
         "\t\t[-c on_claim   -s <service name> -r <claimed>]\n"
         "\t\t[-c on_moravault -s <service name> -r <registered>]\n"
         "\t\t[-c on_carrier_changed -id <id>]\n"
         "\t\t[-c pause_connections  ]\n"
         "\t\t[-c resume_connections [-carrier_id <id>]]\n";
}

constexpr const char* kVersionLine = "Version release-3.5.9_rbe871_2725daa_pvo\n";
constexpr const char* kBadRequestLine = "{\"result\":-6}\n";

using ControlToolCli = zeltest::ControlToolTest;

TEST_F(ControlToolCli, UsageWithStatusOne) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"no arguments", {}},
      {"only logging options", {"--log_debug", "--enable_console", "--disable_log_file", "--log_silent"}},
      {"unknown arguments only", {"pause_connections", "-s", "svc"}},
      {"--log_file without its value", {"--log_info", "--log_file"}},
      {"--log_file swallows -c", {"--log_file", "-c", "pause_connections"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {zeltest::control_tool()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    zeltest::ProgramResult result = zeltest::run_program(argv);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, usage_for(zeltest::control_tool()));
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(ControlToolCli, VersionBeforeTheCommand) {
  for (const char* option : {"-v", "--version"}) {
    SCOPED_TRACE(option);
    zeltest::ProgramResult result = run({"--log_info", option, "-c", "pause_connections"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, kVersionLine);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(ControlToolCli, MissingCommandNameIsABadRequest) {
  zeltest::ProgramResult result = run({"-c"});
  EXPECT_EQ(result.exit_status, 250);
  EXPECT_EQ(result.out, kBadRequestLine);
}

TEST_F(ControlToolCli, CommandLineErrorsAreLoggedAndExitWithMinusSix) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string logged;
  };
  const std::string long_value(1100, 'x');
  const Case cases[] = {
      {"unknown command", {"-c", "on_carrier_changed", "-id", "x"}, "unknown command on_carrier_changed.\n"},
      {"send_discovery without -s", {"-c", "send_discovery", "-t", "30"}, "Send discovery command is not full.\n"},
      {"-s as the last argument", {"-c", "send_discovery", "-s"}, "Send discovery command is not full.\n"},
      {"on_claim without -r", {"-c", "on_claim", "-s", "svc"}, "Send claimed command is not full.\n"},
      {"on_release without -s", {"-c", "on_release", "-r", "true"}, "Send claimed command is not full.\n"},
      {"-r without its value", {"-c", "on_claim", "-s", "svc", "-r"}, "Send claimed command is not full.\n"},
      {"on_moravault without -r", {"-c", "on_moravault", "-s", "svc"}, "Send moravault command is not full.\n"},
      {"-r not a boolean", {"-c", "on_claim", "-s", "svc", "-r", "yes"},
       "Invalid value 'yes' of option -r: true or false expected.\n"},
      {"-r with a JSON injection", {"-c", "on_moravault", "-s", "svc", "-r", "true,\"x\":1"},
       "Invalid value 'true,\"x\":1' of option -r: true or false expected.\n"},
      {"-t not a number", {"-c", "send_discovery", "-s", "svc", "-t", "30s"},
       "Invalid value '30s' of option -t: a decimal number expected.\n"},
      {"-t empty", {"-c", "send_discovery", "-s", "svc", "-t", ""},
       "Invalid value '' of option -t: a decimal number expected.\n"},
      {"discovery data over its fragment", {"-c", "send_discovery", "-s", "svc", "-discovery_data", long_value},
       "Request send_discovery is too long, not sent.\n"},
      {"service over the short limit", {"-c", "on_claim", "-s", std::string(250, 's'), "-r", "true"},
       "Request on_claim is too long, not sent.\n"},
      {"carrier over the short limit", {"-c", "resume_connections", "-carrier_id", std::string(250, 'c')},
       "Request resume_connections is too long, not sent.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(log_path().c_str());
    zeltest::ProgramResult result = run(c.args);
    EXPECT_EQ(result.exit_status, 250);
    EXPECT_EQ(result.out, kBadRequestLine);
    EXPECT_EQ(result.err, "");
    std::string text = log();
    EXPECT_NE(text.find(":zelagent_control:"), std::string::npos) << text;
    EXPECT_NE(text.find("\t  ERROR: " + c.logged), std::string::npos) << text;
  }
}

TEST_F(ControlToolCli, LoggingOptions) {
  // --enable_console echoes the ERROR line on standard error in the console format.
  zeltest::ProgramResult result = run({"--enable_console", "-c", "nope"});
  EXPECT_EQ(result.exit_status, 250);
  EXPECT_EQ(result.out, kBadRequestLine);
  EXPECT_NE(result.err.find("zelagent_control: "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(":   ERROR: unknown command nope.\n"), std::string::npos) << result.err;
  EXPECT_NE(log().find("unknown command nope."), std::string::npos);

  // --disable_log_file: no file at all.
  std::remove(log_path().c_str());
  result = run({"--disable_log_file", "-c", "nope"});
  EXPECT_EQ(result.exit_status, 250);
  EXPECT_FALSE(zeltest::file_exists(log_path()));

  // --log_silent filters the ERROR line out.
  result = run({"--log_silent", "-c", "nope"});
  EXPECT_EQ(result.exit_status, 250);
  EXPECT_FALSE(zeltest::file_exists(log_path()));

  // A second --log_file wins.
  std::string other = dir_.file("other.log");
  result = run({"--log_file", other, "-c", "nope"});
  EXPECT_EQ(result.exit_status, 250);
  EXPECT_NE(zeltest::read_file(other).find("unknown command nope."), std::string::npos);
  EXPECT_FALSE(zeltest::file_exists(log_path()));
}

// The tool ends right after the line that rotated its log: the compression
// of the rotated generation still finishes.
TEST_F(ControlToolCli, RotatedLogIsCompressedBeforeTheToolEnds) {
  constexpr std::uintmax_t kLogLimit = 4194304;
  zeltest::write_file(log_path(), "old lines\n");
  std::filesystem::resize_file(log_path(), kLogLimit - 1);
  zeltest::ProgramResult result = run({"-c", "nope"});
  EXPECT_EQ(result.exit_status, 250);
  EXPECT_TRUE(zeltest::file_exists(log_path() + ".1.gz"));
  EXPECT_FALSE(zeltest::file_exists(log_path() + ".1"));
  EXPECT_NE(log().find("unknown command nope."), std::string::npos);
}

// The tool is installed on devices with a minimal runtime: nothing but libc,
// libstdc++ (with its libgcc_s and libm), pthreads and zlib may be needed
// (the plain build links the C++ runtime and zlib in and needs libc alone).
TEST(ControlToolLinkage, NeedsOnlyTheCRuntimeAndZlib) {
  std::string command = "readelf -d '" + zeltest::control_tool() + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  ASSERT_TRUE(pipe);
  std::set<std::string> needed;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string text = line;
    if (text.find("(NEEDED)") == std::string::npos) continue;
    auto open = text.find('[');
    auto close = text.find(']');
    ASSERT_NE(open, std::string::npos);
    needed.insert(text.substr(open + 1, close - open - 1));
  }
  if (needed.empty()) GTEST_SKIP() << "readelf is not available";
  const std::set<std::string> allowed = {"libc.so.6",     "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6",
                                         "libpthread.so.0", "libz.so.1",    "ld-linux-x86-64.so.2"};
  for (const std::string& library : needed) {
    // Sanitizer builds add their runtimes; the dynamic loader is named after
    // the processor (ld-linux-armhf.so.3 on the device).
    if (library.starts_with("libasan") || library.starts_with("libubsan") || library.starts_with("libtsan")) continue;
    if (library.starts_with("ld-linux")) continue;
    EXPECT_TRUE(allowed.contains(library)) << library;
  }
  EXPECT_TRUE(needed.contains("libc.so.6"));
}

}  // namespace
