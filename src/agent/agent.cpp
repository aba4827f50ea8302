// The agent daemon's start-up, main loop and shut-down. The order of the
// start-up is what the modules need of it (see agent.h); everything that can
// refuse a start does so before any thread exists, so a refused start leaves
// nothing behind but its log lines.
#include "agent/agent.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "agent/device_info.h"
#include "agent/heartbeat_timer.h"
#include "agent/registration.h"
#include "agent/service_notify.h"
#include "broker/net_helper.h"
#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "cloud/json_helper.h"
#include "cloud/logic.h"
#include "config/config.h"
#include "control_listener/control_listener.h"
#include "control_listener/control_worker.h"
#include "control_listener/discovery.h"
#include "daemon/daemon.h"
#include "daemon/liveness.h"
#include "delivery/message_sender.h"
#include "log/log.h"
#include "pvo/pvo.h"

#ifndef ZELAGENT_VERSION
#define ZELAGENT_VERSION "unknown"
#endif

namespace {

constexpr const char* kLogModule = "zelagent";

constexpr int kInitPid = 1;
constexpr std::int32_t kDaemonFlag = 1;
constexpr std::int32_t kForegroundFlag = 0;
// The main loop looks at the advisor's heartbeat period at least this often,
// so a period learnt from the advisor applies from the next second on.
constexpr std::int64_t kLoopRecheckMs = 1000;
constexpr long long kNanosPerSecond = 1000000000;
// How long a daemon may take to listen for control requests before its
// start counts as failed, and how often it looks.
constexpr int kStartReportSeconds = 10;
constexpr auto kListenerPoll = std::chrono::milliseconds(10);

const char* const kCloudUrlKeys[] = {kKeyRegisterUrl, kKeyClaimedUrl, kKeyDiscoveryUrl, kKeyAdvisorUrl};

// The broker thread is stopped with SIGUSR1: the handler only returns, so
// that the signal ends a blocked wait instead of the process.
void on_sigusr1(int) {}

// A failure that refuses the start: logged, shown on standard error unless
// the log already goes there, and reported to the process that started a
// daemon (whose own standard error is /dev/null), which prints it.
void start_failure(const agent_options& options, const std::string& text) {
  ZLOG(kLogError, "%s\n", text.c_str());
  if (!options.console) std::fprintf(stderr, "zelagent: %s\n", text.c_str());
  daemon_start_failed(text);
}

std::string store_folder() {
  const char* store = std::getenv(PVO_STORE_ENV);
  return store != nullptr && store[0] != '\0' ? store : PVO_DEFAULT_STORE;
}

// A store that cannot be read would look like one without settings.
std::optional<std::string> broken_store_message() {
  const char* problem = config_check_store();
  if (problem == nullptr) return std::nullopt;
  return "the settings store in " + store_folder() + " cannot be read: " + problem +
         " (it is never replaced; repair it, or move it away and set the settings again with `pvo set`)";
}

sigset_t shutdown_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// Blocks the signals the main loop takes, in this thread and so in every
// thread made from now on (handler programs get a clean mask from the
// delivery). Must run while the process has its only thread.
void block_main_loop_signals() {
  // daemonize leaves SIGHUP ignored, and an ignored signal is discarded even
  // while blocked: back to the default so that sigtimedwait receives it.
  std::signal(SIGHUP, SIG_DFL);
  const sigset_t set = shutdown_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int install_broker_signals() {
  struct sigaction action {};
  action.sa_handler = on_sigusr1;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the signal must end the broker thread's waits
  if (::sigaction(SIGUSR1, &action, nullptr) != 0) {
    ZLOG(kLogError, "sigaction(SIGUSR1): %s.\n", std::strerror(errno));
    return -1;
  }
  // Writes to handlers and peers that went away report EPIPE instead.
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    ZLOG(kLogError, "signal(SIGPIPE): %s.\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

void apply_logger_settings(const agent_options& options) {
  log_file_path = absolute_path(options.log_file);
  event_file_path = absolute_path(options.event_file);
  log_level = options.log_level;
  log_to_console = options.console ? 1 : 0;
  log_to_file = 1;
}

// The daemon changes directory to "/": a relative store folder would then
// name another store.
void make_store_path_absolute() {
  const char* store = std::getenv(PVO_STORE_ENV);
  if (store != nullptr && store[0] != '\0' && store[0] != '/') {
    ::setenv(PVO_STORE_ENV, absolute_path(store).c_str(), 1);
  }
}

bool readable_path(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// 0 when `path` can be created or written (its folder for a new file), else
// the errno that says why not.
int writable_file_error(const std::string& path) {
  if (::access(path.c_str(), F_OK) == 0) return ::access(path.c_str(), W_OK) == 0 ? 0 : errno;
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return ::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

// Everything the main loop and the shut-down work on.
struct running_agent {
  std::unique_ptr<agent_context> context = std::make_unique<agent_context>();
  std::string pid_file;
  int pid_fd = -1;
  UniqueFd exit_read;
  UniqueFd exit_write;
  std::thread listener;
  registration_thread registration;
};

// Waits for signals, ticking the heartbeat timer and keeping the service
// manager's watchdog alive meanwhile. Returns when a shut-down signal arrives.
void main_loop(running_agent& agent) {
  using Clock = std::chrono::steady_clock;
  const sigset_t waited = shutdown_signals();
  heartbeat_timer timer;
  service_watchdog watchdog(service_watchdog_period_ms(), liveness_now_ms());
  auto last_tick = Clock::now();
  for (;;) {
    message_sender_reap_programs();
    if (watchdog.due(liveness_now_ms())) service_notify("WATCHDOG=1");
    // A source that flooded and then went quiet gets its count written.
    log_flush_quiet_suppressed();
    const auto period = std::chrono::seconds(heartbeat_period_seconds(agent.context->agent_heartbeat.load()));
    const auto now = Clock::now();
    if (now - last_tick >= period) {
      last_tick = now;
      timer.tick();
      continue;
    }
    const auto recheck = std::chrono::milliseconds(
        std::min<std::int64_t>(watchdog.ms_until_due(liveness_now_ms()), kLoopRecheckMs));
    const auto wait = std::min<Clock::duration>(last_tick + period - now, recheck);
    const auto wait_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(wait_ns / kNanosPerSecond);
    timeout.tv_nsec = static_cast<long>(wait_ns % kNanosPerSecond);
    siginfo_t info{};
    const int signal_number = ::sigtimedwait(&waited, &info, &timeout);
    if (signal_number < 0) continue;  // EAGAIN: time to look again; EINTR: likewise
    if (signal_number == SIGHUP) {
      ZLOG(kLogInfo, "SIGHUP: sending a refresh report.\n");
      refresh_agent_state();
      continue;
    }
    ZLOG(kLogInfo, "Received %s, shutting down.\n", signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
    request_agent_stop();
    return;
  }
}

// Ends the process after an orderly shut-down. Static destructors are not
// run: a discovery thread or a registration that did not end in time (they
// give up their requests on the stop, but a thread may be left behind) may
// be alive, and tearing down the objects they use under them would be the
// one unsafe step of the shut-down. Everything that must outlive the agent (store,
// log, handler deliveries, pid file) is complete by now.
[[noreturn]] void end_process(int status) {
  log_wait_for_compression();
  std::fflush(nullptr);
  std::_Exit(status);
}

[[noreturn]] void shut_down(running_agent& agent, int status = kAgentExitOk) {
  service_notify("STOPPING=1");
  // From here on every cloud request and every wait on a peer gives up
  // within about a second (a failed start gets here without a signal).
  request_agent_stop();
  // One drain deadline from the stop request on, whatever the steps before
  // the message sender's stop took.
  const auto drain_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kShutdownDrainSeconds);
  // No new local requests: the listener thread ends (the byte is not the
  // exit command, which would end the process before the queue is drained).
  if (agent.listener.joinable()) {
    const char byte = kListenerStopByte;
    if (::write(agent.exit_write.get(), &byte, 1) != 1) {
      ZLOG(kLogError, "write() to the control listener's exit pipe: %s.\n", std::strerror(errno));
    } else {
      agent.listener.join();
    }
  }
  // The listener stops it on its way out, unless it never listened.
  stop_control_worker();
  const auto request_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kShutdownRequestWaitSeconds);
  agent.registration.stop();
  const bool registration_ended = agent.registration.wait_finished(request_deadline);
  if (!registration_ended) {
    ZLOG(kLogWarning, "Registration still inside a cloud request; leaving it behind.\n");
  }
  const bool discovery_ended = join_discovery_thread(request_deadline);
  if (!discovery_ended) {
    ZLOG(kLogWarning, "Discovery thread still inside a cloud request; leaving it behind.\n");
  }
  // The link (a stop that was already done leaves keep_connection 0).
  if (keep_connection.load() != 0) stop_broker_thread();
  // Delivers what is still queued, within the drain deadline; control
  // requests from the zelbroker among them are executed as usual.
  const auto drain_left = std::chrono::duration_cast<std::chrono::milliseconds>(
      drain_deadline - std::chrono::steady_clock::now());
  message_sender_stop(static_cast<int>(std::max<std::int64_t>(drain_left.count(), 1)));
  message_sender_stop_programs();
  // One of those requests may have started the link again.
  if (keep_connection.load() != 0) stop_broker_thread();
  // Only with both threads ended is no cloud request possibly under way, so
  // that the HTTP state can be released safely (the control worker is
  // joined, and the broker thread ended with the link).
  if (registration_ended && discovery_ended) {
    clean_shared_curl();
  } else {
    ZLOG(kLogDebug, "Cloud requests may still be under way; the HTTP state ends with the process.\n");
  }
  if (unlock_pid_file(agent.pid_file.c_str(), agent.pid_fd) != 0) {
    ZLOG(kLogError, "Cannot remove the pid file %s.\n", agent.pid_file.c_str());
  }
  log_flush_suppressed();
  ZLOG(kLogInfo, "zelagent stopped.\n");
  end_process(status);
}

}  // namespace

std::optional<std::string> missing_cloud_url_key() {
  char buffer[kConfigUrlBufferSize];
  for (const char* key : kCloudUrlKeys) {
    if (config_get(key, buffer, sizeof buffer) != 0) return std::string(key);
  }
  return std::nullopt;
}

std::string missing_url_message(const std::string& key) {
  return "the cloud URL " + key + " is not set in the store; set it with `pvo set " + key +
         " https://<zelCloud host>/...` (the store is the folder named by " + PVO_STORE_ENV + ", default " +
         PVO_DEFAULT_STORE + ")";
}

std::string absolute_path(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

int run_agent(const agent_options& options) {
  // 1. The service manager's variables (before any thread), logger, device
  // strings, trust anchors.
  service_notify_init();
  apply_logger_settings(options);
  const std::optional<std::string> hardware_id =
      options.hardware_id ? options.hardware_id : find_hardware_id();
  if (!hardware_id) {
    start_failure(options,
                  "no hardware id: none given with --hardware-id and none found on the device "
                  "(Serial in /proc/cpuinfo, /etc/machine-id, a network interface's address)");
    return kAgentExitFailure;
  }
  device_hardware_id = *hardware_id;
  device_model = options.model ? *options.model : find_model();
  ca_file = absolute_path(options.ca_file);
  ca_path = absolute_path(options.ca_path);
  for (const std::string* trust : {&ca_file, &ca_path}) {
    if (!trust->empty() && !readable_path(*trust)) {
      start_failure(options, "cannot read the trust anchors " + *trust);
      return kAgentExitFailure;
    }
  }
  make_store_path_absolute();

  running_agent agent;
  agent.pid_file = absolute_path(options.pid_file);
  // Said here, while standard error still reaches someone: a daemon that
  // cannot take its pid file or write its log would end or run unseen.
  if (const int error = writable_file_error(agent.pid_file); error != 0) {
    start_failure(options, "cannot create the pid file " + agent.pid_file + ": " + std::strerror(error) +
                               " (choose another with --pid-file)");
    return kAgentExitFailure;
  }
  if (const int error = writable_file_error(log_file_path); error != 0) {
    std::fprintf(stderr, "zelagent: cannot write the log file %s: %s; the agent runs without a log (choose "
                 "another with --log-file)\n", log_file_path.c_str(), std::strerror(error));
  }

  // 2. A daemon refuses visibly, while its parent still has a terminal.
  bool daemon = false;
  if (!options.foreground) {
    if (std::optional<int> other = pid_file_holder(agent.pid_file.c_str())) {
      start_failure(options, "another agent is running (pid " + std::to_string(*other) + ", pid file " +
                                 agent.pid_file + ")");
      return kAgentExitFailure;
    }
    if (std::optional<std::string> broken = broken_store_message()) {
      start_failure(options, *broken);
      return kAgentExitFailure;
    }
    if (std::optional<std::string> key = missing_cloud_url_key()) {
      start_failure(options, missing_url_message(*key));
      return kAgentExitFailure;
    }
    daemon = true;
    // A line logged so far may have rotated the log: its compression thread
    // would not survive the fork and would leave the rotation lock taken.
    log_wait_for_compression();
    if (::getppid() == kInitPid) {
      ZLOG(kLogInfo, "Started by init: running as a daemon without detaching.\n");
    } else if (daemonize() != 0) {
      start_failure(options, "cannot run as a daemon");
      return kAgentExitFailure;
    }
  }
  block_main_loop_signals();

  // 3. The pid file, before the store, the network or a handler is touched.
  std::string refusal;
  agent.pid_fd = lock_pid_file(agent.pid_file.c_str(), &refusal);
  if (agent.pid_fd < 0) {
    start_failure(options, "cannot take the pid file " + agent.pid_file + ": " + refusal);
    return kAgentExitFailure;
  }
  ZLOG(kLogInfo, "zelagent %s starting (pid %d): hardware id '%s', model '%s'.\n", ZELAGENT_VERSION,
       static_cast<int>(::getpid()), log_escape(device_hardware_id).c_str(),
       log_escape(device_model).c_str());

  // 4. Signals of the broker link and the handlers; whatever a handler
  // program leaves behind is re-parented to the agent, which stops it.
  handler_programs_become_subreaper();
  if (install_broker_signals() != 0) {
    unlock_pid_file(agent.pid_file.c_str(), agent.pid_fd);
    return kAgentExitFailure;
  }

  // 5. The agent context.
  if (std::optional<std::string> broken = broken_store_message()) {
    start_failure(options, *broken);
    unlock_pid_file(agent.pid_file.c_str(), agent.pid_fd);
    return kAgentExitFailure;
  }
  if (load_agent_context(*agent.context) != 0) {
    const std::optional<std::string> key = missing_cloud_url_key();
    start_failure(options, key ? missing_url_message(*key)
                               : std::string("cannot load the cloud URLs (a URL is longer than its key allows)"));
    unlock_pid_file(agent.pid_file.c_str(), agent.pid_fd);
    return kAgentExitFailure;
  }

  // 6. Message sender, agent state (first report), shared HTTP state.
  message_sender_init();
  init_agent_state(daemon ? kDaemonFlag : kForegroundFlag);
  if (init_shared_curl() != 0) {
    ZLOG(kLogWarning, "Cloud requests run without the shared DNS and TLS session caches.\n");
  }

  // 7. The control listener.
  int exit_pipe[2];
  if (::pipe2(exit_pipe, O_CLOEXEC) != 0) {
    ZLOG(kLogError, "pipe() for the control listener: %s.\n", std::strerror(errno));
  } else {
    agent.exit_read.reset(exit_pipe[0]);
    agent.exit_write.reset(exit_pipe[1]);
    agent.listener = start_control_listener(agent.context.get(), agent.exit_read.get());
  }
  if (daemon || service_manager_present()) {
    // The starting process ends (or the service manager hears that the agent
    // is ready) once the control port is held, so that a script that starts
    // the agent can talk to it at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartReportSeconds);
    while (control_listener_listening() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kListenerPoll);
    }
    if (control_listener_listening() != 1) {
      start_failure(options, "cannot listen for control requests on 127.0.0.1:14369 (another program holds "
                             "the port?)");
      shut_down(agent, kAgentExitFailure);
    }
    daemon_start_succeeded();
    service_notify("READY=1");
  }

  // 8. Registration, then the broker link under its run rules.
  agent.registration.start(agent.context.get());

  // 9. Heartbeats and signals until told to stop.
  main_loop(agent);
  shut_down(agent);
}
