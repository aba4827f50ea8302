// The pure parts of the agent's entry point: the command line, where the
// hardware id and model come from, the registration retry schedule, the
// heartbeat timer's decisions, and the start-up checks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "agent/agent.h"
#include "agent/agent_options.h"
#include "agent/device_info.h"
#include "agent/heartbeat_timer.h"
#include "agent/registration.h"
#include "config/config.h"
#include "support/test_support.h"

namespace {

agent_options parse(std::vector<std::string> args, int* result = nullptr, std::string* error = nullptr) {
  args.insert(args.begin(), "zelagent");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  agent_options options;
  std::string message;
  const int rc = parse_agent_options(static_cast<int>(argv.size()), argv.data(), &options, &message);
  if (result != nullptr) *result = rc;
  if (error != nullptr) *error = message;
  return options;
}

void write_tree_file(const std::string& root, const std::string& relative, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(root + relative).parent_path());
  zeltest::write_file(root + relative, content);
}

TEST(AgentOptions, DefaultsSuitAnEmbeddedDevice) {
  int rc = -1;
  const agent_options options = parse({}, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(options.foreground);
  EXPECT_FALSE(options.console);
  EXPECT_EQ(options.pid_file, "/var/run/zelagent.pid");
  EXPECT_EQ(options.log_file, "/var/log/zelagent.log");
  EXPECT_EQ(options.event_file, "");
  EXPECT_EQ(options.log_level, 2);
  EXPECT_FALSE(options.hardware_id.has_value());
  EXPECT_FALSE(options.model.has_value());
  EXPECT_TRUE(options.ca_file.empty());
  EXPECT_TRUE(options.ca_path.empty());
}

TEST(AgentOptions, EveryOptionInBothForms) {
  for (const bool joined : {false, true}) {
    SCOPED_TRACE(joined ? "--name=value" : "--name value");
    std::vector<std::string> args = {"--foreground", "--console"};
    const std::vector<std::pair<std::string, std::string>> values = {
        {"--pid-file", "/run/a.pid"}, {"--log-file", "/tmp/a.log"}, {"--event-file", "/tmp/e.log"},
        {"--log-level", "warning"},   {"--hardware-id", "HW 1"},   {"--model", "box=2"},
        {"--ca-file", "ca.pem"},      {"--ca-path", "/etc/certs"}};
    for (const auto& [name, value] : values) {
      if (joined) {
        args.push_back(name + "=" + value);
      } else {
        args.push_back(name);
        args.push_back(value);
      }
    }
    int rc = -1;
    const agent_options options = parse(args, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(options.foreground);
    EXPECT_TRUE(options.console);
    EXPECT_EQ(options.pid_file, "/run/a.pid");
    EXPECT_EQ(options.log_file, "/tmp/a.log");
    EXPECT_EQ(options.event_file, "/tmp/e.log");
    EXPECT_EQ(options.log_level, 3);
    EXPECT_EQ(options.hardware_id, "HW 1");
    EXPECT_EQ(options.model, "box=2");
    EXPECT_EQ(options.ca_file, "ca.pem");
    EXPECT_EQ(options.ca_path, "/etc/certs");
  }
}

TEST(AgentOptions, RefusedCommandLines) {
  const struct {
    std::vector<std::string> args;
    const char* error_part;
  } cases[] = {
      {{"--daemon"}, "unknown option '--daemon'"},
      {{"foreground"}, "unknown option"},
      {{"--pid-file"}, "needs a value"},
      {{"--pid-file="}, "non-empty"},
      {{"--log-level", "loud"}, "unknown log level 'loud'"},
      {{"--log-level", "6"}, "unknown log level"},
      {{"--log-level", "0"}, "unknown log level"},
      {{"--foreground=yes"}, "unknown option"},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.args[0]);
    int rc = 0;
    std::string error;
    parse(entry.args, &rc, &error);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(error.find(entry.error_part), std::string::npos) << error;
  }
}

TEST(AgentOptions, LogLevelsByNameAndNumber) {
  const struct {
    const char* text;
    std::optional<int> level;
  } cases[] = {{"debug", 1}, {"info", 2},  {"warning", 3},         {"error", 4},
               {"silent", 5}, {"1", 1},    {"5", 5},               {"DEBUG", std::nullopt},
               {"", std::nullopt}, {"12", std::nullopt}, {"event", std::nullopt}};
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.text);
    EXPECT_EQ(parse_log_level(entry.text), entry.level);
  }
}

TEST(AgentOptions, HelpAndVersionAreFlagsForTheCaller) {
  const agent_options options = parse({"--help", "-v"});
  EXPECT_TRUE(options.help);
  EXPECT_TRUE(options.version);
  const std::string usage = agent_usage_text("zelagent");
  for (const char* option : {"--foreground", "--pid-file", "--log-file", "--event-file", "--log-level", "--console",
                             "--hardware-id", "--model", "--ca-file", "--ca-path", "--help", "--version"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(agent_version_text().rfind("zelagent ", 0), 0u);
}

TEST(DeviceInfo, CpuinfoSerial) {
  const struct {
    const char* text;
    std::optional<std::string> serial;
  } cases[] = {
      {"processor\t: 0\nSerial\t\t: 00000000a1b2c3d4\nModel\t: Pi\n", "00000000a1b2c3d4"},
      {"Serial: 0000000000000000\n", std::nullopt},
      {"Serial\t:\n", std::nullopt},
      {"SerialNumber : 42\n", std::nullopt},
      {"model name : ARMv7\n", std::nullopt},
      {"Serial : ab12", "ab12"},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.text);
    EXPECT_EQ(cpuinfo_serial(entry.text), entry.serial);
  }
}

TEST(DeviceInfo, MacAddressAsHardwareId) {
  const struct {
    const char* mac;
    std::optional<std::string> id;
  } cases[] = {
      {"b8:27:eb:01:ab:Cd", "B827EB01ABCD"}, {"00:00:00:00:00:00", std::nullopt},
      {"b8:27:eb:01:ab", std::nullopt},      {"b8-27-eb-01-ab-cd", std::nullopt},
      {"g8:27:eb:01:ab:cd", std::nullopt},   {"", std::nullopt},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.mac);
    EXPECT_EQ(mac_to_hardware_id(entry.mac), entry.id);
  }
  EXPECT_EQ(trim_device_text(std::string(" Board X\n\0", 10)), "Board X");
}

TEST(DeviceInfo, HardwareIdFallsBackThroughItsSources) {
  zeltest::TempDir root;
  const std::string r = root.path();
  EXPECT_EQ(find_hardware_id(r), std::nullopt);

  write_tree_file(r, "/sys/class/net/lo/address", "00:00:00:00:00:00\n");
  write_tree_file(r, "/sys/class/net/wlan0/address", "aa:bb:cc:dd:ee:02\n");
  write_tree_file(r, "/sys/class/net/eth0/address", "aa:bb:cc:dd:ee:01\n");
  write_tree_file(r, "/sys/class/net/dummy/address", "00:00:00:00:00:00\n");
  EXPECT_EQ(find_hardware_id(r), "AABBCCDDEE01");  // first by name with a real address

  write_tree_file(r, "/etc/machine-id", "\n");
  EXPECT_EQ(find_hardware_id(r), "AABBCCDDEE01");  // an empty machine id is no id
  write_tree_file(r, "/etc/machine-id", "0123456789abcdef\n");
  EXPECT_EQ(find_hardware_id(r), "0123456789abcdef");

  write_tree_file(r, "/proc/cpuinfo", "Serial : 0000000000000000\n");
  EXPECT_EQ(find_hardware_id(r), "0123456789abcdef");
  write_tree_file(r, "/proc/cpuinfo", "Hardware : BCM2835\nSerial : 10000000deadbeef\n");
  EXPECT_EQ(find_hardware_id(r), "10000000deadbeef");
}

TEST(DeviceInfo, ModelFromTheDeviceTreeOrTheMachine) {
  zeltest::TempDir root;
  struct utsname names {};
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_EQ(find_model(root.path()), std::string("generic-") + names.machine);
  write_tree_file(root.path(), "/proc/device-tree/model", std::string("Raspberry Pi 3 Model B\0", 23));
  EXPECT_EQ(find_model(root.path()), "Raspberry Pi 3 Model B");
}

TEST(Registration, RetryDelayFollowsTheAggressivePhase) {
  const struct {
    std::uint64_t elapsed;
    std::uint32_t time, aggressive, normal, expected;
  } cases[] = {
      {0, 120, 20, 60, 20},   {119, 120, 20, 60, 20}, {120, 120, 20, 60, 60}, {5000, 120, 20, 60, 60},
      {0, 0, 20, 60, 60},     {0, 120, 0, 60, 1},     {500, 120, 20, 0, 1},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(testing::Message() << "elapsed " << entry.elapsed << " time " << entry.time);
    EXPECT_EQ(registration_retry_delay(entry.elapsed, entry.time, entry.aggressive, entry.normal), entry.expected);
  }
}

TEST(HeartbeatTimer, PeriodFromTheAdvisor) {
  EXPECT_EQ(heartbeat_period_seconds(0), kDefaultHeartbeatSeconds);
  EXPECT_EQ(heartbeat_period_seconds(-1), kDefaultHeartbeatSeconds);
  EXPECT_EQ(heartbeat_period_seconds(15), 15);
}

TEST(HeartbeatTimer, ChecksEachSentHeartbeatOnce) {
  const struct {
    const char* what;
    bool link_wanted, requested;
    std::uint64_t sent_before, sent_now, answered_now;
    bool check, send;
  } cases[] = {
      {"link not wanted", false, true, 3, 4, 3, false, false},
      {"first tick", true, false, 0, 0, 0, false, true},
      {"answered", true, true, 3, 4, 4, true, true},
      {"unanswered: the check drops the link, no request", true, true, 3, 4, 3, true, false},
      {"request found no link: nothing to check", true, false, 4, 4, 3, false, true},
      {"request discarded by a closing link", true, true, 4, 4, 3, false, true},
      {"answered late, after the next one went out", true, true, 3, 5, 4, true, false},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.what);
    const heartbeat_step step =
        decide_heartbeat_step(entry.link_wanted, entry.requested, entry.sent_before, entry.sent_now, entry.answered_now);
    EXPECT_EQ(step.check, entry.check);
    EXPECT_EQ(step.send, entry.send);
  }
}

TEST(StartChecks, RunningAgentPidFromThePidFile) {
  zeltest::TempDir dir;
  const std::string path = dir.file("agent.pid");
  EXPECT_EQ(running_agent_pid(path), std::nullopt);  // no file
  zeltest::write_file(path, "garbage\n");
  EXPECT_EQ(running_agent_pid(path), std::nullopt);
  zeltest::write_file(path, std::to_string(::getpid()) + "\n");
  EXPECT_EQ(running_agent_pid(path), std::nullopt);  // this very process
  zeltest::write_file(path, std::to_string(::getppid()) + "\n");
  EXPECT_EQ(running_agent_pid(path), std::optional<int>(::getppid()));

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  zeltest::write_file(path, std::to_string(child) + "\n");
  EXPECT_EQ(running_agent_pid(path), std::nullopt);  // stale
}

TEST(StartChecks, AbsolutePaths) {
  EXPECT_EQ(absolute_path(""), "");
  EXPECT_EQ(absolute_path("/var/run/a.pid"), "/var/run/a.pid");
  EXPECT_EQ(absolute_path("a/../b.log"), (std::filesystem::current_path() / "b.log").string());
}

TEST(StartChecks, MissingCloudUrlIsNamed) {
  zeltest::TempDir dir;
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  EXPECT_EQ(missing_cloud_url_key(), "zel_register_url");
  config_set("zel_register_url", "https://cloud/register");
  config_set("zel_claimed_url", "https://cloud/claimed");
  EXPECT_EQ(missing_cloud_url_key(), "zel_discovery_url");
  config_set("zel_discovery_url", "https://cloud/discovery");
  config_set("zel_advisor_url", "");
  EXPECT_EQ(missing_cloud_url_key(), "zel_advisor_url");
  config_set("zel_advisor_url", "https://cloud/advisor");
  EXPECT_EQ(missing_cloud_url_key(), std::nullopt);
  const std::string message = missing_url_message("zel_advisor_url");
  EXPECT_NE(message.find("pvo set zel_advisor_url"), std::string::npos) << message;
  ::unsetenv("PVO_STORE");
}

}  // namespace
