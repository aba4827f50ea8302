// The agent's memory under hostile peers: for each case a fresh zelagent
// (foreground, debug log, private store, log and pid file, link forced up,
// retries after 1 s) runs against the simulator, and its peak resident size
// (VmHWM) during the case is set beside the idle agent's. Cases: idle; an
// advisor answering 100 MB; 100 control clients that say nothing while
// zelagent_control runs; a handler program that never exits; a UNIX handler
// that never accepts; a flood of 1,000,000 empty packets from the broker;
// three plain messages of 16.7 MB from the broker. Prints one Markdown table
// (an argument runs the idle case and only the cases whose short name holds
// it: advisor, control clients, handler program, UNIX handler, empty
// packets, plain messages). It binds 127.0.0.1:14369: run it alone or
// through scripts/private-net.sh (takes about a minute and a half; this
// process holds some 200 MB while it serves each huge answer).
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>

#include "broker_server.h"
#include "https_server.h"
#include "config/config.h"
#include "support/test_support.h"
#include "support/control_peer.h"
#include "zelcloud_sim.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBuildDir = ZEL_BENCH_BUILD_DIR;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A field of /proc/<pid>/status in KiB, or -1.
long status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// Reads VmHWM every 10 ms until the process is gone (a zombie has none).
class PeakWatch {
 public:
  explicit PeakWatch(pid_t pid) : pid_(pid), thread_([this] { run(); }) {}
  ~PeakWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  long peak() const { return peak_.load(); }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      const long hwm = status_kib(pid_, "VmHWM");
      if (hwm < 0 && peak_.load() >= 0) return;  // ended: its pid may be reused
      peak_.store(std::max(peak_.load(), hwm));
      changed_.wait_for(lock, 10ms, [this] { return stop_; });
    }
  }
  pid_t pid_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::atomic<long> peak_{-1};
  std::thread thread_;
};

// Bytes received on the loopback TCP socket with local port `port` that its
// owner has not read yet, or -1 when there is no such socket.
long unread_bytes(std::uint16_t port) {
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // the heading
    for (std::string slot, local, remote, state, queues; lines >> slot >> local >> remote >> state >> queues;) {
      std::getline(lines, line);
      if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
        return std::strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
      }
    }
  }
  return -1;
}

// The pids of the "sleep 600" processes whose environment holds `mark`.
std::vector<pid_t> sleepers(const std::string& mark) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  while (const dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
    const std::string base = std::string("/proc/") + entry->d_name;
    if (zeltest::read_file(base + "/cmdline") != std::string("sleep\0" "600\0", 10)) continue;
    if (zeltest::read_file(base + "/environ").find(mark) == std::string::npos) continue;
    found.push_back(static_cast<pid_t>(std::atol(entry->d_name)));
  }
  if (proc != nullptr) ::closedir(proc);
  return found;
}

// One agent against its own simulator, with a UNIX "sample" handler.
struct Run {
  zeltest::TempDir dir;
  std::unique_ptr<zelsim::Simulator> sim;
  std::unique_ptr<zeltest::HandlerSink> sample;
  std::unique_ptr<zeltest::Process> agent;
  std::unique_ptr<PeakWatch> watch;

  Run() {
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    ::mkdir(dir.file("sim").c_str(), 0700);
    zelsim::SimulatorOptions options;
    options.cert_dir = dir.file("sim");
    options.agent_heartbeat = 1;
    sim = std::make_unique<zelsim::Simulator>(options);
    sample = std::make_unique<zeltest::HandlerSink>(dir.file("sample.sock"));
    for (const auto& [key, value] : sim->store_settings()) set(key, value);
    set("zel_handler_sample", sample->endpoint());
    set("zel_force_connection", "1");
    for (const char* key : {"zel_register_aggressive_delay", "zel_advisor_delay", "zel_zelbroker_delay",
                            "zel_claim_delay"}) {
      set(key, "1");
    }
  }
  ~Run() {
    if (agent && agent->running()) agent->signal(SIGKILL);
    if (agent) agent->wait_exit(30s);
    watch.reset();
    agent.reset();
    sim.reset();
    ::unsetenv("PVO_STORE");
  }
  void set(const std::string& key, const std::string& value) { config_set(key.c_str(), value.c_str()); }
  std::string log() const { return zeltest::read_file(dir.file("agent.log")); }
  bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

  // A hello on the newest link, which is still open.
  bool link_up() const {
    zelsim::BrokerServer& broker = sim->broker();
    const std::size_t links = broker.links();
    if (links == 0 || broker.wait_for_link_closed(links - 1, 0ms)) return false;
    for (const zelsim::BrokerPacket& packet : broker.packets()) {
      if (packet.type == 0 && packet.link == links - 1) return true;
    }
    return false;
  }

  // Starts the agent and waits for its first link.
  bool start() {
    if (!zeltest::wait_until([] { return !zeltest::control_port_listening(); }, 30s)) return false;
    agent = std::make_unique<zeltest::Process>(
        std::vector<std::string>{kBuildDir + "/src/agent/zelagent", "--foreground", "--pid-file",
                                 dir.file("agent.pid"), "--log-file", dir.file("agent.log"), "--log-level", "debug",
                                 "--hardware-id", "HOSTILE-1", "--model", "bench", "--ca-file", sim->ca_file()},
        dir.file("agent.out"), dir.file("agent.err"));
    if (agent->pid() <= 0) return false;
    watch = std::make_unique<PeakWatch>(agent->pid());
    return zeltest::wait_until([&] { return link_up(); }, 30s) &&
           zeltest::wait_until([&] { return watch->peak() > 0; }, 5s);
  }

  // SIGTERM; the exit status, nullopt when it still runs after `limit`.
  std::optional<int> stop(std::chrono::milliseconds limit = 60s) {
    agent->signal(SIGTERM);
    return agent->wait_exit(limit);
  }
};

struct Row {
  std::string name;
  long peak = -1;
  std::string note;
};

Row idle_case(long* rss) {
  Row row{"idle, connected, 2 s", -1, "the agent did not connect"};
  Run run;
  if (!run.start()) return row;
  std::this_thread::sleep_for(2s);  // the measured condition: two seconds of nothing
  *rss = status_kib(run.agent->pid(), "VmRSS");
  row.peak = run.watch->peak();
  row.note = "VmRSS " + std::to_string(*rss) + " KiB, VmHWM " + std::to_string(row.peak) + " KiB";
  run.stop();
  return row;
}

Row huge_advisor_case() {
  Row row{"advisor answers 200 with 100 MB", -1, "the agent did not connect"};
  Run run;
  if (!run.start()) return row;
  auto huge = std::make_shared<const std::string>(100u << 20, 'x');
  // In place of the simulator's answers from now on: the advisor's is huge, the rest 404.
  run.sim->cloud().set_handler([huge](const zelsim::RecordedRequest& request) {
    zelsim::CloudAnswer answer;
    answer.status = request.path().rfind("/advisor", 0) == 0 ? 200 : 404;
    if (answer.status == 200) answer.body = *huge;
    return answer;
  });
  auto advisor_requests = [&] {
    const auto requests = run.sim->cloud().requests();
    return std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.path() == "/advisor/v2"; });
  };
  const auto before = advisor_requests();
  const Clock::time_point start = Clock::now();
  run.sim->drop_link();
  const bool twenty = zeltest::wait_until([&] { return advisor_requests() >= before + 20; }, 180s);
  row.peak = run.watch->peak();
  std::ostringstream note;
  note << advisor_requests() - before << " answers in " << static_cast<int>(seconds_since(start))
       << " s; log names the 65536-byte cap: " << (run.logged("longer than 65536 bytes") ? "yes" : "NO")
       << (twenty ? "" : " (fewer than 20 attempts)");
  row.note = note.str();
  run.stop();
  return row;
}

Row idle_control_clients_case() {
  Row row{"100 silent control clients, 6 s", -1, "the agent did not connect"};
  Run run;
  if (!run.start()) return row;
  std::vector<UniqueFd> idle;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 100; ++i) idle.push_back(zeltest::connect_loopback(14369));
  const long connected = std::count_if(idle.begin(), idle.end(), [](const UniqueFd& fd) { return fd.valid(); });
  const Clock::time_point control_start = Clock::now();
  const zeltest::ProgramResult control = zeltest::run_program(
      {kBuildDir + "/src/control/zelagent_control", "--log_file", run.dir.file("control.log"), "-c",
       "pause_connections"});
  const double control_ms = seconds_since(control_start) * 1000;
  std::this_thread::sleep_for(6s - (Clock::now() - start));  // the measured condition: 6 s of silence
  int ended = 0;  // answered or closed by the agent
  for (const UniqueFd& fd : idle) {
    pollfd ready{fd.get(), POLLIN, 0};
    ended += fd.valid() && ::poll(&ready, 1, 0) > 0 ? 1 : 0;
  }
  idle.clear();
  row.peak = run.watch->peak();
  std::ostringstream note;
  note << "pause_connections: status " << control.status << " in " << static_cast<long>(control_ms) << " ms; "
       << ended << " of " << connected << " clients ended by the agent within 6 s";
  row.note = note.str();
  run.stop();
  return row;
}

Row endless_program_case() {
  Row row{"handler program never exits, 300 messages", -1, "the agent did not connect"};
  Run run;
  const std::string mark = "ZEL_HOSTILE_MARK=" + run.dir.path();
  zeltest::write_file(run.dir.file("endless.sh"), "#!/bin/sh\nexport " + mark + "\nexec sleep 600\n", 0755);
  run.set("zel_handler_endless", run.dir.file("endless.sh"));
  if (!run.start()) return row;
  for (int i = 0; i < 300; ++i) run.sim->send_message("endless", "message " + std::to_string(i));
  std::size_t most = 0;
  auto count = [&] {
    most = std::max(most, sleepers(mark).size());
    return most;
  };
  // Sampled until the first message finds no free slot (10 s after they are all taken).
  zeltest::wait_until([&] { return count() > 0 && run.logged("message dropped"); }, 60s);
  const Clock::time_point term = Clock::now();
  run.agent->signal(SIGTERM);
  double shutdown = -1;  // seconds from SIGTERM to the agent's exit
  zeltest::wait_until(
      [&] {
        if (shutdown < 0 && !run.agent->running()) shutdown = seconds_since(term);
        return count() > 0 && Clock::now() - term >= 10s;  // the measured condition: 10 s after SIGTERM
      },
      11s);
  const std::size_t after_10s = sleepers(mark).size();
  const bool exited = run.agent->wait_exit(60s).has_value();
  if (shutdown < 0) shutdown = seconds_since(term);
  const std::vector<pid_t> left = sleepers(mark);
  for (pid_t pid : left) ::kill(pid, SIGKILL);  // ours: none may stay behind
  row.peak = run.watch->peak();
  std::ostringstream note;
  note << std::fixed << std::setprecision(2) << "at most " << most << " at once; agent " << (exited ? "" : "NOT ")
       << "ended " << shutdown << " s after SIGTERM; " << after_10s << " left 10 s after SIGTERM, " << left.size()
       << " after the agent's exit";
  row.note = note.str();
  return row;
}

Row stalled_socket_case() {
  Row row{"UNIX handler never accepts, 1,000 messages, SIGTERM", -1, "the agent did not connect"};
  Run run;
  const UniqueFd stalled = zeltest::listen_unix(run.dir.file("stalled.sock"), 1);
  run.set("zel_handler_stalled", run.dir.file("stalled.sock"));
  if (!stalled.valid() || !run.start()) return row;
  for (int i = 0; i < 1000; ++i) run.sim->send_message("stalled", "message " + std::to_string(i));
  zelsim::BrokerServer& broker = run.sim->broker();
  const std::uint16_t agent_port = broker.agent_port(broker.links() - 1);
  // On the wire, then read by the agent.
  const bool read = broker.flush(30s) && zeltest::wait_until([&] { return unread_bytes(agent_port) == 0; }, 30s);
  const Clock::time_point term = Clock::now();
  const bool exited = run.stop(60s).has_value();
  const double shutdown = seconds_since(term);
  row.peak = run.watch->peak();
  std::ostringstream note;
  note << std::fixed << std::setprecision(2) << (read ? "" : "(not all read) ") << "shut down in "
       << (exited ? "" : "more than ") << shutdown << " s";
  std::istringstream lines(run.log());
  for (std::string line; std::getline(lines, line);) {
    if (line.find("dropped") == std::string::npos) continue;
    line.erase(0, line.find('\t') + 1);  // the time and source
    std::replace(line.begin(), line.end(), '|', '/');  // a table cell
    note << "; log: \"" << line << "\"";
  }
  row.note = note.str();
  return row;
}

Row empty_packet_flood_case() {
  Row row{"1,000,000 empty packets from the broker", -1, "the agent did not connect"};
  Run run;
  if (!run.start()) return row;
  const std::size_t log_before = run.log().size();
  std::string piece;
  for (int i = 0; i < 500000; ++i) piece.append("\x02\x01\x00\x00", 4);  // 2 MB
  const Clock::time_point start = Clock::now();
  const bool sent = run.sim->broker().send_raw(piece) && run.sim->broker().send_raw(piece);
  // A message after the flood arrives once the flood has been read.
  const bool after = sent && run.sim->send_message("sample", "after the flood") && run.sample->wait_for(1);
  const double took = seconds_since(start);
  const bool same_link = run.sim->broker().links() == 1 && run.link_up();
  const std::size_t log_bytes = run.log().size() - log_before;
  const bool rotated =
      zeltest::file_exists(run.dir.file("agent.log.1")) || zeltest::file_exists(run.dir.file("agent.log.1.gz"));
  row.peak = run.watch->peak();
  std::ostringstream note;
  note << std::fixed << std::setprecision(2) << "log +" << log_bytes << " bytes" << (rotated ? ", ROTATED" : ", not rotated") << "; message after it "
       << (after ? "delivered" : "NOT delivered") << " " << took << " s after the flood began" << (same_link ? ", same link" : ", link made again");
  row.note = note.str();
  run.stop();
  return row;
}

Row huge_messages_case() {
  Row row{"3 plain messages of 256 x 65,535 bytes from the broker", -1, "the agent did not connect"};
  Run run;
  if (!run.start()) return row;
  const long before = status_kib(run.agent->pid(), "VmHWM");
  std::vector<std::string> parts(256, std::string(65535, 'm'));
  parts[0] = "sample";  // the handler id, then 255 body parts: 16,711,425 bytes
  const Clock::time_point start = Clock::now();
  bool sent = true;
  // The packet on the wire: type 2, a part count of 0 (256), each part
  // behind its big-endian 16-bit length.
  std::string packet{'\x02', '\x00'};
  for (const std::string& part : parts) {
    packet += static_cast<char>(part.size() >> 8);
    packet += static_cast<char>(part.size() & 0xff);
    packet += part;
  }
  for (int i = 0; i < 3; ++i) sent = run.sim->broker().send_raw(packet) && sent;
  // A message after them arrives once they have been read.
  const bool after = sent && run.sim->send_message("sample", "after the huge ones") && run.sample->wait_for(1);
  const double took = seconds_since(start);
  const bool same_link = run.sim->broker().links() == 1 && run.link_up();
  const std::string log = run.log();
  const int refused = zeltest::count_of(log, "is larger than the queue's limit");
  row.peak = run.watch->peak();
  std::ostringstream note;
  note << std::fixed << std::setprecision(2) << "VmHWM " << before << " KiB before them; " << refused
       << " refusals logged; message after them " << (after ? "delivered" : "NOT delivered") << " " << took
       << " s after the first was sent" << (same_link ? ", same link" : ", link made again");
  row.note = note.str();
  run.stop();
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string only = argc > 1 ? argv[1] : "";  // run only the cases whose name holds this
  long idle_rss = -1;
  std::vector<Row> rows;
  rows.push_back(idle_case(&idle_rss));
  for (const auto& [name, run_case] : std::vector<std::pair<std::string, Row (*)()>>{
           {"advisor", huge_advisor_case}, {"control clients", idle_control_clients_case},
           {"handler program", endless_program_case}, {"UNIX handler", stalled_socket_case},
           {"empty packets", empty_packet_flood_case}, {"plain messages", huge_messages_case}}) {
    if (name.find(only) == std::string::npos) continue;
    rows.push_back(run_case());
    std::fprintf(stderr, "done: %s\n", rows.back().name.c_str());
  }
  const long idle_peak = rows.front().peak;
  std::printf("| case | peak KiB | growth over idle KiB | note |\n|---|---:|---:|---|\n");
  for (const Row& row : rows) {
    const std::string growth = row.peak >= 0 && idle_peak >= 0 ? std::to_string(row.peak - idle_peak) : "-";
    const std::string peak = row.peak >= 0 ? std::to_string(row.peak) : "-";
    std::printf("| %s | %s | %s | %s |\n", row.name.c_str(), peak.c_str(), growth.c_str(), row.note.c_str());
  }
  return idle_peak >= 0 ? 0 : 1;
}
