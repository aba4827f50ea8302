#include "agent/agent_harness.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "config/config.h"
#include "control/fake_control_listener.h"
#include "fakes/fake_zelbroker.h"
#include "fakes/fake_zelcloud.h"

extern char** environ;

namespace agenttest {
namespace {

constexpr const char* kControlPortHex = "0100007F:3821";  // 127.0.0.1:14369 in /proc/net/tcp
constexpr const char* kListenState = "0A";
constexpr std::size_t kLogTailLines = 80;

struct CjsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};

bool json_flag(const cJSON* root, const char* name) {
  return cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root, name));
}

std::string tail(const std::string& text, std::size_t lines) {
  std::size_t at = text.size();
  for (std::size_t seen = 0; at > 0 && seen <= lines; ) {
    at = text.rfind('\n', at - 1);
    if (at == std::string::npos) return text;
    ++seen;
  }
  return text.substr(at);
}

}  // namespace

std::optional<Report> parse_report(const std::string& json) {
  std::unique_ptr<cJSON, CjsonDeleter> root(cJSON_Parse(json.c_str()));
  if (!root) return std::nullopt;
  const cJSON* event = cJSON_GetObjectItemCaseSensitive(root.get(), "event");
  const cJSON* pid = cJSON_GetObjectItemCaseSensitive(root.get(), "pid");
  if (!cJSON_IsNumber(event) || !cJSON_IsNumber(pid)) return std::nullopt;
  Report report;
  report.event = event->valueint;
  report.pid = pid->valueint;
  report.daemon = json_flag(root.get(), "daemon");
  report.registered = json_flag(root.get(), "registered");
  report.claimed = json_flag(root.get(), "claimed");
  report.connected = json_flag(root.get(), "connected");
  return report;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
                 const std::string& cwd, const std::string& out_path, const std::string& err_path) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : env) variables[name] = value;
  std::vector<std::string> env_text;
  for (const auto& [name, value] : variables) env_text.push_back(name + "=" + value);
  std::vector<char*> env_pointers;
  for (std::string& text : env_text) env_pointers.push_back(text.data());
  env_pointers.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> arg_pointers;
  for (std::string& arg : args) arg_pointers.push_back(arg.data());
  arg_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  // The program starts with default signal handling and an empty mask,
  // whatever this test process has set up.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (::posix_spawn(&pid_, arg_pointers[0], &actions, &attributes, arg_pointers.data(), env_pointers.data()) != 0) {
    pid_ = -1;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  zeltest::wait_until(
      [this] {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
      },
      timeout);
  return status_;
}

bool Process::running() { return pid_ > 0 && !wait_exit(0ms).has_value(); }

void Process::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

bool process_ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t paren = content.rfind(')');
  return paren != std::string::npos && paren + 2 < content.size() && content[paren + 2] == 'Z';
}

int control_port_listeners() {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  int count = 0;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == kControlPortHex && state == kListenState) ++count;
  }
  return count;
}

bool control_port_listening() { return control_port_listeners() > 0; }

void AgentEndToEnd::SetUp() {
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy"}) {
    ::unsetenv(name);
  }
  ::mkdir(dir.file("sim").c_str(), 0700);
  zelsim::SimulatorOptions options;
  options.cert_dir = dir.file("sim");
  options.agent_heartbeat = 1;
  sim = std::make_unique<zelsim::Simulator>(options);
  sim->set_printer([this](const std::string& line) {
    std::lock_guard<std::mutex> lock(sim_lines_mutex);
    sim_lines.push_back(line);
  });
  event_sink = zeltest::HandlerSink::unix_socket(dir.file("event_sink.sock"));
  sample_sink = zeltest::HandlerSink::unix_socket(dir.file("sample.sock"));
  service_sink = zeltest::HandlerSink::unix_socket(dir.file("service.sock"));

  for (const auto& [key, value] : sim->store_settings()) set(key, value);
  set("zel_handler_event_sink", event_sink->endpoint());
  set("zel_handler_sample", sample_sink->endpoint());
  set(std::string("zel_handler_event_sink_") + kService, service_sink->endpoint());
  set("zel_agent_handler_name", kAgentHandler);
  // Short retry delays: a test waits seconds, not minutes.
  for (const char* key : {"zel_register_aggressive_delay", "zel_register_delay", "zel_advisor_delay",
                          "zel_zelbroker_delay", "zel_claim_delay"}) {
    set(key, "1");
  }
}

void AgentEndToEnd::TearDown() {
  if (agent && agent->running()) {
    agent->signal(SIGKILL);
    agent->wait_exit();
  }
  if (HasFailure()) {
    std::string lines;
    {
      std::lock_guard<std::mutex> lock(sim_lines_mutex);
      for (const std::string& line : sim_lines) lines += line + "\n";
    }
    std::printf("--- simulator\n%s--- agent log (tail)\n%s\n--- agent stderr\n%s\n", lines.c_str(),
                tail(log_text(), kLogTailLines).c_str(), zeltest::read_file(dir.file("agent.err")).c_str());
  }
  agent.reset();
  sim.reset();
  event_sink.reset();
  sample_sink.reset();
  service_sink.reset();
  ::unsetenv("PVO_STORE");
}

void AgentEndToEnd::set(const std::string& key, const std::string& value) { config_set(key.c_str(), value.c_str()); }

std::optional<std::string> AgentEndToEnd::get(const std::string& key) const { return config_get_string(key.c_str()); }

std::vector<std::string> AgentEndToEnd::agent_argv(bool foreground) const {
  std::vector<std::string> argv = {zeltest::built_program("src/agent/zelagent")};
  if (foreground) argv.push_back("--foreground");
  for (const std::string& arg : {std::string("--pid-file"), pid_file(), std::string("--log-file"), agent_log(),
                                 std::string("--log-level"), std::string("debug"), std::string("--hardware-id"),
                                 std::string(kHardwareId), std::string("--model"), std::string(kModel),
                                 std::string("--ca-file"), sim->ca_file()}) {
    argv.push_back(arg);
  }
  return argv;
}

void AgentEndToEnd::start_agent(const std::vector<std::string>& extra) {
  std::vector<std::string> argv = agent_argv();
  argv.insert(argv.end(), extra.begin(), extra.end());
  const std::size_t reports_before = reports().size();
  // The control listener allows a second listener on its port (SO_REUSEPORT):
  // an agent of another test run would share the port and take some of this
  // test's requests. Wait for the port to be free.
  ASSERT_TRUE(zeltest::wait_until([] { return control_port_listeners() == 0; }, 120s))
      << "another program listens on 127.0.0.1:14369";
  agent = std::make_unique<Process>(argv, std::vector<std::pair<std::string, std::string>>{}, "",
                                    dir.file("agent.out"), dir.file("agent.err"));
  ASSERT_TRUE(agent->started());
  ASSERT_TRUE(zeltest::wait_until([] { return control_port_listening(); }, 20s)) << "no control listener";
  ASSERT_TRUE(wait_reports(reports_before + 1)) << "no first report";
}

int AgentEndToEnd::stop_agent(int signal_number) {
  if (!agent) return -2;
  agent->signal(signal_number);
  return agent->wait_exit(30s).value_or(-2);
}

std::vector<Report> AgentEndToEnd::reports() const {
  std::vector<Report> parsed;
  for (const std::string& payload : event_sink->payloads()) {
    if (std::optional<Report> report = parse_report(payload)) parsed.push_back(*report);
  }
  return parsed;
}

bool AgentEndToEnd::wait_report(const std::function<bool(const Report&)>& matches,
                                std::chrono::milliseconds timeout) const {
  return zeltest::wait_until(
      [&] {
        for (const Report& report : reports()) {
          if (matches(report)) return true;
        }
        return false;
      },
      timeout);
}

bool AgentEndToEnd::wait_reports(std::size_t count, std::chrono::milliseconds timeout) const {
  return zeltest::wait_until([&] { return reports().size() >= count; }, timeout);
}

AgentEndToEnd::ToolRun AgentEndToEnd::control(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {zeltest::built_program("src/control/zelagent_control"), "--log_file",
                                   dir.file("control.log"), "-c"};
  argv.insert(argv.end(), args.begin(), args.end());
  const zeltest::ProgramResult result = zeltest::run_program(argv);
  return {result.exit_status, result.out};
}

std::string AgentEndToEnd::log_text() const { return zeltest::read_file(agent_log()); }

bool AgentEndToEnd::wait_logged(const std::string& text, std::chrono::milliseconds timeout) const {
  return zeltest::wait_until([&] { return logged(text); }, timeout);
}

int AgentEndToEnd::times_logged(const std::string& text) const {
  const std::string log = log_text();
  int count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

std::size_t AgentEndToEnd::requests_to(const std::string& method, const std::string& path) const {
  std::size_t count = 0;
  for (const zeltest::RecordedRequest& request : sim->cloud().requests()) {
    if (request.method == method && request.path() == path) ++count;
  }
  return count;
}

std::string AgentEndToEnd::agent_id() const {
  for (const zelsim::SimDevice& device : sim->devices()) {
    if (device.hardware_id == kHardwareId) return device.agent_id;
  }
  return "";
}

bool AgentEndToEnd::link_open() const {
  zeltest::FakeZelbroker& broker = sim->broker();
  for (const zeltest::BrokerPacket& packet : broker.packets()) {
    if (packet.type == 0 && !broker.wait_for_link_closed(packet.link, 0ms)) return true;
  }
  return false;
}

}  // namespace agenttest
