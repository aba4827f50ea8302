// The HTTPS client over libcurl's easy interface. One easy handle per
// request, thrown away after it; one share object for the whole process so
// that consecutive requests reuse DNS answers and TLS sessions.
//
// Locks: the request mutex is taken first and held for the whole request; the
// pause mutex is taken inside it while a request waits out the pause; the
// share mutexes are taken by libcurl inside a transfer. The Logger's mutex is
// innermost.
#include "cloud/http_helper.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

#include "cloud/logic.h"
#include "config/config.h"
#include "daemon/daemon.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "http_helper";

// Proxy modes of zel_zelcloud_use_proxy.
constexpr uint32_t kProxyNone = 0;
constexpr uint32_t kProxyHttp = 1;
constexpr uint32_t kProxyHttps = 2;
constexpr uint32_t kProxySocks4 = 3;
constexpr uint32_t kProxySocks5 = 4;
// Mode 2 always goes through the device's local HTTPS-capable proxy.
constexpr const char* kLocalHttpsProxy = "127.0.0.1:3128";

constexpr const char* kJsonContentType = "Content-Type: application/json";
constexpr const char* kAuthorizationPrefix = "Authorization: ";

// Slots of the share mutexes, by the kind of data libcurl asks to lock.
constexpr std::size_t kShareSlotDefault = 0;  // cookies and any kind not named
constexpr std::size_t kShareSlotDns = 1;
constexpr std::size_t kShareSlotSslSession = 2;
constexpr std::size_t kShareSlotShare = 3;
constexpr std::size_t kShareSlots = 4;

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// The share object: null until init_shared_curl succeeds, null again after
// clean_shared_curl. Read by every request and by the lock callbacks.
std::atomic<CURLSH*> share_handle{nullptr};
std::array<std::mutex, kShareSlots> share_mutexes;

// The request slot serialises all requests, for their whole duration (the
// pause wait included), and the pause switch holds them. Both are guarded by
// pause_mutex and waited for on pause_resumed, so that a resume can never slip
// in between a test of the flag and the wait, and so that a request whose
// thread is being stopped can leave either wait (see abandon_flag).
std::mutex pause_mutex;
std::condition_variable pause_resumed;
bool request_busy = false;          // guarded by pause_mutex
std::atomic<int32_t> pause_flag{0};  // written under pause_mutex, read with or without it

// Set by a thread whose requests give up waiting once the flag reads 0 (the
// broker thread: its stop must not wait for a resume that only the stopping
// thread could have served).
thread_local const std::atomic<int>* abandon_flag = nullptr;

bool request_abandoned() { return abandon_flag != nullptr && abandon_flag->load() == 0; }

// Set by a thread whose requests must not wait for a resume (the control
// worker: a control client waits for its answer).
thread_local bool refuse_while_paused = false;

// Why a request gave up before or during its transfer.
enum class GiveUp { kNone, kPaused, kStopping };

// What makes a waiting or transferring request give up: the agent's stop,
// its thread's abandon flag, and the pause (which ends transfers under way;
// a waiting request gives up on it only when its thread refuses to wait).
GiveUp give_up_reason(bool waiting) {
  if (agent_stop_requested() || request_abandoned()) return GiveUp::kStopping;
  if (http_requests_paused() == 1 && (!waiting || refuse_while_paused)) return GiveUp::kPaused;
  return GiveUp::kNone;
}

// Test observation only.
std::atomic<int> in_progress{0};
std::atomic<int> held_by_pause{0};

struct InProgress {
  InProgress() { ++in_progress; }
  ~InProgress() { --in_progress; }
  InProgress(const InProgress&) = delete;
  InProgress& operator=(const InProgress&) = delete;
};

std::size_t share_slot(curl_lock_data data) {
  switch (data) {
    case CURL_LOCK_DATA_DNS: return kShareSlotDns;
    case CURL_LOCK_DATA_SSL_SESSION: return kShareSlotSslSession;
    case CURL_LOCK_DATA_SHARE: return kShareSlotShare;
    default: return kShareSlotDefault;
  }
}

// The access mode libcurl passes (shared or single) is ignored: every lock
// takes the whole mutex.
void share_lock(CURL*, curl_lock_data data, curl_lock_access, void*) {
  if (share_handle.load() == nullptr) return;
  share_mutexes[share_slot(data)].lock();
}

void share_unlock(CURL*, curl_lock_data data, void*) {
  if (share_handle.load() == nullptr) return;
  share_mutexes[share_slot(data)].unlock();
}

// Where one of a reply's two parts goes, and what the log calls it.
struct ReplySink {
  http_buffer* buffer;
  const std::string* url;
  const char* what;  // "headers" or "body"
};

// libcurl's write callback for both parts: no header function is set, so
// header lines reach it too, with the headers' sink as its data. Returning
// less than it got makes libcurl abort the transfer.
std::size_t accumulate_response(char* piece, std::size_t size, std::size_t count, void* data) {
  const ReplySink& sink = *static_cast<const ReplySink*>(data);
  const std::size_t bytes = size * count;
  if (bytes > kCloudReplyMaxBytes - std::min(sink.buffer->size(), kCloudReplyMaxBytes)) {
    ZLOG(kLogError, "Reply %s from '%s' longer than %zu bytes: transfer aborted.\n", sink.what,
         log_escape(*sink.url).c_str(), kCloudReplyMaxBytes);
    return 0;
  }
  try {
    sink.buffer->append(piece, bytes);
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "not enough memory (realloc returned NULL).\n");
    return 0;
  }
  return bytes;
}

[[noreturn]] void out_of_memory() {
  ZLOG(kLogError, "malloc().\n");
  std::exit(1);
}

// Appends one header line. A line with a line break is not sent: it would let
// its value (an identity from the store or the cloud, a carrier id from a
// control request) add header lines of its own to the request.
void append_header(SlistPtr& list, const std::string& line) {
  if (line.find_first_of("\r\n") != std::string::npos) {
    ZLOG(kLogError, "Header line with a line break is not sent.\n");
    return;
  }
  curl_slist* head = curl_slist_append(list.get(), line.c_str());
  if (head == nullptr) out_of_memory();  // the old list is still owned by `list`
  (void)list.release();
  list.reset(head);
}

// libcurl takes its time-outs as long, which has 32 bits on the target.
long seconds_option(uint32_t seconds) {
  return seconds > static_cast<uint32_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(seconds);
}

void set_proxy(CURL* handle) {
  uint32_t mode = config_get_uint32_default(kKeyZelcloudUseProxy, kDefaultZelcloudUseProxy);
  if (mode == kProxyNone) return;
  std::optional<std::string> host = config_get_string(kKeyZelcloudProxyHostname);
  std::optional<std::string> port = config_get_string(kKeyZelcloudProxyPort);
  if (host && port) {
    std::string address = *host + ":" + *port;
    curl_easy_setopt(handle, CURLOPT_PROXY, address.c_str());  // libcurl copies it
    switch (mode) {
      case kProxyHttp:
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
        break;
      case kProxyHttps:
        curl_easy_setopt(handle, CURLOPT_PROXY, kLocalHttpsProxy);
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        break;
      case kProxySocks4:
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS4));
        break;
      case kProxySocks5:
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5));
        break;
      default:
        break;  // libcurl's default type, HTTP
    }
  } else {
    ZLOG(kLogError, "Could not get proxy address/proxy port values from config");
  }
  std::optional<std::string> user = config_get_string(kKeyZelcloudProxyUsername);
  std::optional<std::string> password = config_get_string(kKeyZelcloudProxyPassword);
  if (user && password) {
    // Set apart rather than as "user:password", so that a colon in the user
    // name cannot move the split.
    curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, user->c_str());
    curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, password->c_str());
  }
}

// The caller's turn among the requests: taken when no other request runs,
// then held through the pause, so every later request queues behind a paused
// one. Both waits look at give_up_reason at least every kGiveUpCheckMs (the
// agent's stop only sets a flag). When the request gave up before it could
// run, reason() tells why; nothing is sent then.
class RequestSlot {
 public:
  RequestSlot() : reason_(acquire()) {}
  ~RequestSlot() {
    if (reason_ == GiveUp::kNone) release();
  }
  RequestSlot(const RequestSlot&) = delete;
  RequestSlot& operator=(const RequestSlot&) = delete;
  GiveUp reason() const { return reason_; }

 private:
  static GiveUp acquire() {
    constexpr auto kCheck = std::chrono::milliseconds(kGiveUpCheckMs);
    std::unique_lock<std::mutex> lock(pause_mutex);
    while (request_busy) {
      if (const GiveUp reason = give_up_reason(true); reason != GiveUp::kNone) return reason;
      pause_resumed.wait_for(lock, kCheck);
    }
    request_busy = true;  // held through the pause: later requests queue behind
    GiveUp reason = give_up_reason(true);
    if (reason == GiveUp::kNone && http_requests_paused() == 1) {
      ++held_by_pause;
      ZLOG(kLogDebug, "Pause http request until we allow to do it\n");
      while (http_requests_paused() == 1 && (reason = give_up_reason(true)) == GiveUp::kNone) {
        pause_resumed.wait_for(lock, kCheck);
      }
      --held_by_pause;
    }
    if (reason != GiveUp::kNone) {
      request_busy = false;
      lock.unlock();
      pause_resumed.notify_all();
    }
    return reason;
  }

  static void release() {
    {
      std::lock_guard<std::mutex> lock(pause_mutex);
      request_busy = false;
    }
    pause_resumed.notify_all();
  }

  GiveUp reason_;
};

// libcurl's progress callback, called during every transfer (at least about
// once a second while nothing arrives): a non-zero return aborts the
// transfer with CURLE_ABORTED_BY_CALLBACK. `data` records why.
int watch_transfer(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  GiveUp& reason = *static_cast<GiveUp*>(data);
  reason = give_up_reason(false);
  return reason == GiveUp::kNone ? 0 : 1;
}

const char* give_up_text(GiveUp reason) {
  return reason == GiveUp::kPaused ? "cloud requests are paused" : "its thread is stopping";
}

// One easy handle with every option of a cloud request; null when libcurl
// cannot make it or refuses the TLS floor. Made once the pause is over, so
// the time-outs count only from the transfer.
EasyPtr create_curl_handle(uint32_t request_timeout, uint32_t connect_timeout, const ReplySink& header,
                           const ReplySink& body, GiveUp& aborted) {
  EasyPtr handle(curl_easy_init());
  if (handle) {
    CURL* h = handle.get();
    // The progress callback is the transfer's only way to hear of a pause or
    // a stop: a peer that never answers would otherwise hold the request for
    // the whole request time-out.
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watch_transfer);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &aborted);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, seconds_option(request_timeout));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, seconds_option(connect_timeout));
    curl_easy_setopt(h, CURLOPT_SHARE, share_handle.load());
    set_proxy(h);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, accumulate_response);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &header);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    if (!ca_path.empty()) curl_easy_setopt(h, CURLOPT_CAPATH, ca_path.c_str());
    if (!ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, ca_file.c_str());
    // The peer is always verified (the default trust store when no anchor is
    // configured): the requests carry the device's credentials.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    if (curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) != CURLE_OK) {
      ZLOG(kLogError, "Can not enforce curl to TLS v1.2 or later\n");
      handle.reset();
    }
  }
  return handle;
}

// Logs a request that gave up, before sending anything or `transferring`.
void log_given_up(const std::string& url, GiveUp reason, bool transferring) {
  ZLOG(kLogWarning, "Cloud request %s: %s. url='%s'\n", transferring ? "aborted" : "not sent", give_up_text(reason),
       log_escape(url).c_str());
}

// Appends "Authorization: <agent id>:<claim code>" when the identity has both.
void append_authorization(SlistPtr& headers, const agent_context& context) {
  identity id = context.current_identity();
  if (id.agent_id && id.claim_code) append_header(headers, kAuthorizationPrefix + *id.agent_id + ":" + *id.claim_code);
}

// How one request ended (every end but kRan is logged by perform_request).
enum class RequestEnd {
  kRan,       // transferred; the status is read
  kFailed,    // the transfer failed (the libcurl code is kept)
  kAborted,   // given up during the transfer (pause or stop)
  kNotSent,   // given up while waiting for its turn
  kNoHandle,  // no easy handle could be made
};

struct RequestResult {
  RequestEnd end;
  CURLcode code = CURLE_OK;
  GiveUp reason = GiveUp::kNone;
};

// Adds the request's own header lines and options to the handle: the URL,
// the header list built here and the reply sinks are set by perform_request.
using PrepareRequest = std::function<void(CURL* handle, SlistPtr& headers)>;

// The one path of every cloud request: waits for its turn (and out the
// pause), makes the handle, lets `prepare` add its part, performs the
// transfer and reads the status on success. A failed transfer is logged
// with the request's own wording of the line (`failed`: "failed with code").
RequestResult perform_request(const std::string& url, const agent_context& context, long& status,
                              http_buffer& header, http_buffer& response_body, const char* failed,
                              const PrepareRequest& prepare) {
  InProgress counted;
  RequestSlot slot;
  if (slot.reason() != GiveUp::kNone) {
    log_given_up(url, slot.reason(), false);
    return {RequestEnd::kNotSent, CURLE_OK, slot.reason()};
  }
  const ReplySink header_sink{&header, &url, "headers"};
  const ReplySink body_sink{&response_body, &url, "body"};
  GiveUp aborted = GiveUp::kNone;
  EasyPtr handle =
      create_curl_handle(context.request_timeout, context.connect_timeout, header_sink, body_sink, aborted);
  if (!handle) {
    ZLOG(kLogError, "curl initialization error.\n");
    ZLOG(kLogEvent, "curl initialization error. url='%s'\n", log_escape(url).c_str());
    return {RequestEnd::kNoHandle};
  }
  CURL* h = handle.get();
  SlistPtr headers;
  prepare(h, headers);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  const CURLcode rc = curl_easy_perform(h);
  if (rc == CURLE_OK) {
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return {RequestEnd::kRan};
  }
  if (rc == CURLE_ABORTED_BY_CALLBACK && aborted != GiveUp::kNone) {
    log_given_up(url, aborted, true);
    return {RequestEnd::kAborted, rc, aborted};
  }
  ZLOG(kLogError, "curl_easy_perform(url='%s') %s %d: '%s'.\n", log_escape(url).c_str(), failed,
       static_cast<int>(rc), curl_easy_strerror(rc));
  ZLOG(kLogEvent, "curl_easy_perform(url='%s') %s %d: '%s'.\n", log_escape(url).c_str(), failed,
       static_cast<int>(rc), curl_easy_strerror(rc));
  return {RequestEnd::kFailed, rc};
}

}  // namespace

int init_shared_curl() {
  constexpr const char* kOperation = "init_shared_curl";
  ZLOG(kLogDebug, "curl_share_init...\n");
  CURLSH* share = curl_share_init();
  if (share == nullptr) {
    ZLOG(kLogError, "%s: error initializing the share structure\n", kOperation);
    return -1;
  }
  share_handle.store(share);
  ZLOG(kLogDebug, "curl_share_setopt...\n");
  CURLSHcode rc = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, share_lock);
  if (rc != CURLSHE_OK) {
    ZLOG(kLogError, "%s: error setting the curl share lock function %d(%s)\n", kOperation,
         static_cast<int>(rc), curl_share_strerror(rc));
    return -1;
  }
  ZLOG(kLogDebug, "curl_share_setopt...\n");
  rc = curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, share_unlock);
  if (rc != CURLSHE_OK) {
    ZLOG(kLogError, "%s: error setting the curl share unlock function %d(%s)\n", kOperation,
         static_cast<int>(rc), curl_share_strerror(rc));
    return -1;
  }
  ZLOG(kLogDebug, "curl_share_setopt...\n");
  rc = curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  if (rc != CURLSHE_OK) {
    ZLOG(kLogError, "%s: error enabling curl dns sharing %d(%s)\n", kOperation, static_cast<int>(rc),
         curl_share_strerror(rc));
    return -1;
  }
  ZLOG(kLogDebug, "curl_share_setopt...\n");
  rc = curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  if (rc != CURLSHE_OK) {
    std::printf("%s: error enabling curl ssl session sharing %d(%s)\n", kOperation, static_cast<int>(rc),
                curl_share_strerror(rc));
    return -1;
  }
  ZLOG(kLogDebug, "init_shared_curl END\n");
  return 0;
}

void clean_shared_curl() {
  CURLSH* share = share_handle.exchange(nullptr);
  if (share != nullptr && curl_share_cleanup(share) != CURLSHE_OK) {
    ZLOG(kLogError, "%s: error cleaning up the share structure\n", "clean_shared_curl");
  }
  curl_global_cleanup();
}

int http_post_json(const std::string& url, const agent_context& context, const std::string& body,
                   long& status, http_buffer& header, http_buffer& response_body) {
  const RequestResult result = perform_request(
      url, context, status, header, response_body, "failed with error code", [&](CURL* h, SlistPtr& headers) {
        append_header(headers, kJsonContentType);
        append_authorization(headers, context);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());  // `body` outlives the transfer
      });
  switch (result.end) {
    case RequestEnd::kRan: return kHttpOk;
    case RequestEnd::kAborted:
    case RequestEnd::kNotSent: return result.reason == GiveUp::kPaused ? kHttpPaused : kHttpOtherFailure;
    case RequestEnd::kNoHandle: return kHttpOtherFailure;
    case RequestEnd::kFailed: break;
  }
  switch (result.code) {
    case CURLE_COULDNT_RESOLVE_HOST: return kHttpUnresolved;
    case CURLE_COULDNT_CONNECT: return kHttpRefused;
    case CURLE_OPERATION_TIMEDOUT: return kHttpTimeout;
    default: return kHttpOtherFailure;
  }
}

int http_get_with_header(const std::string& url, const agent_context& context,
                         const std::optional<std::string>& extra_header, long& status,
                         http_buffer& header, http_buffer& response_body) {
  const RequestResult result = perform_request(
      url, context, status, header, response_body, "failed with code", [&](CURL*, SlistPtr& headers) {
        ZLOG(kLogDebug, "Setup URL for CURL handle.\n");
        append_authorization(headers, context);
        if (extra_header) {
          ZLOG(kLogDebug, "appending additional header %s.\n", log_escape(*extra_header).c_str());
          append_header(headers, *extra_header);
        }
        ZLOG(kLogDebug, "Performing CURL request.\n");
      });
  if (result.end == RequestEnd::kRan) ZLOG(kLogDebug, "CURL request was successfully performed.\n");
  if (result.end == RequestEnd::kRan || result.end == RequestEnd::kFailed || result.end == RequestEnd::kAborted) {
    ZLOG(kLogDebug, "Deleting CURL handle.\n");
  }
  return result.end == RequestEnd::kRan ? 0 : kHttpGetFailure;
}

int http_get(const std::string& url, const agent_context& context, long& status, http_buffer& header,
             http_buffer& response_body) {
  return http_get_with_header(url, context, std::nullopt, status, header, response_body);
}

void pause_http_requests() {
  {
    std::lock_guard<std::mutex> lock(pause_mutex);
    pause_flag.store(1);
  }
  // Requests of threads that do not wait for a resume give up at once.
  pause_resumed.notify_all();
}

void resume_http_requests() {
  {
    std::lock_guard<std::mutex> lock(pause_mutex);
    pause_flag.store(0);
  }
  pause_resumed.notify_all();
  wake_sleepers();
}

int32_t http_requests_paused() { return pause_flag.load(); }

void http_abandon_requests_when_cleared(const std::atomic<int>* flag) { abandon_flag = flag; }

void http_refuse_requests_while_paused(bool refuse) { refuse_while_paused = refuse; }

void http_wake_waiting_requests() {
  { std::lock_guard<std::mutex> lock(pause_mutex); }
  pause_resumed.notify_all();
}

namespace http_testing {
int requests_in_progress() { return in_progress.load(); }
int requests_held_by_pause() { return held_by_pause.load(); }
}  // namespace http_testing
