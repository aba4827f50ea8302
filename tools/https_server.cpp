// The simulated zelCloud's transport: a small HTTP/1.1 server over OpenSSL on
// 127.0.0.1 with an ephemeral port. One accept thread; one thread per
// connection that reads requests (Content-Length bodies, "Expect:
// 100-continue" honoured), records them, and answers what the handler says.
//
// Stopping: the accept thread waits in poll on the listening socket and a
// wake pipe; connection threads blocked in a read are ended by shutting their
// socket down; delays and stalls wait on a condition variable that stop()
// signals.
#include "https_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "common/unique_fd.h"

namespace zelsim {

namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kMaxHeaderBytes = 1 << 20;  // a request head larger than this is dropped
constexpr int kListenBacklog = 64;
constexpr unsigned char kSessionIdContext[] = "zelcloud_sim";

struct SslCtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

const char* reason_phrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

// One accepted TLS connection (blocking socket).
class Connection {
 public:
  Connection(UniqueFd fd, SSL* ssl) : fd_(std::move(fd)), ssl_(ssl) {}

  // Bytes read (0 at end of stream or on any error).
  std::size_t read_some(char* buffer, std::size_t size) {
    int n = SSL_read(ssl_.get(), buffer, static_cast<int>(size));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  bool write_all(const std::string& data) {
    for (std::size_t sent = 0; sent < data.size();) {
      int n = SSL_write(ssl_.get(), data.data() + sent, static_cast<int>(data.size() - sent));
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  void close_tls() {
    if (ssl_) SSL_shutdown(ssl_.get());
  }

 private:
  UniqueFd fd_;
  std::unique_ptr<SSL, SslDeleter> ssl_;
};

}  // namespace

// --- RecordedRequest ---

std::string RecordedRequest::path() const { return target.substr(0, target.find('?')); }

std::string RecordedRequest::query() const {
  std::size_t mark = target.find('?');
  return mark == std::string::npos ? "" : target.substr(mark + 1);
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  std::string wanted = lower(name);
  for (const auto& [key, value] : headers) {
    if (lower(key) == wanted) return value;
  }
  return std::nullopt;
}

// --- HttpsServer::Impl ---

struct HttpsServer::Impl {
  UniqueFd listen_fd;
  UniqueFd wake_read;
  UniqueFd wake_write;
  std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx;
  std::thread accept_thread;

  mutable std::mutex mutex;                 // guards everything below
  mutable std::condition_variable changed;  // stop, release
  bool stopping = false;
  uint64_t release_generation = 0;
  std::size_t stalled = 0;  // requests held by a stall now
  std::vector<RecordedRequest> recorded;
  Handler handler;
  std::size_t full_handshakes = 0;
  std::size_t resumed_handshakes = 0;
  std::set<int> open_fds;  // sockets of live connections, shut down by stop()
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Worker> workers;

  void start(const std::string& cert_file, const std::string& key_file);
  void accept_loop();
  void serve(UniqueFd fd);
  bool read_request(Connection& connection, std::string& pending, RecordedRequest& request);
  CloudAnswer choose_answer(const RecordedRequest& request);
  bool wait_delay(std::chrono::milliseconds delay);
  void wait_stall();
  void reap_finished();
  void stop();
};

void HttpsServer::Impl::start(const std::string& cert_file, const std::string& key_file) {
  // A peer that leaves while the server writes must not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  ctx.reset(SSL_CTX_new(TLS_server_method()));
  if (!ctx) throw std::runtime_error("zelCloud server: SSL_CTX_new failed");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    throw std::runtime_error("zelCloud server: cannot load " + cert_file + " / " + key_file);
  }
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_session_id_context(ctx.get(), kSessionIdContext, sizeof(kSessionIdContext) - 1);
  listen_fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listen_fd.get() < 0) throw std::runtime_error("zelCloud server: socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(listen_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listen_fd.get(), kListenBacklog) != 0) {
    throw std::runtime_error("zelCloud server: bind/listen failed");
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("zelCloud server: pipe failed");
  wake_read = UniqueFd(pipe_fds[0]);
  wake_write = UniqueFd(pipe_fds[1]);
  accept_thread = std::thread([this] { accept_loop(); });
}

void HttpsServer::Impl::accept_loop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd.get(), POLLIN, 0}, {wake_read.get(), POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int fd = ::accept4(listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Answers leave at once: the TLS layer writes session tickets and the
    // answer in separate small writes, which Nagle would hold back.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) {
      ::close(fd);
      return;
    }
    open_fds.insert(fd);
    reap_finished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers.push_back(Worker{std::thread([this, fd, done] {
                               serve(UniqueFd(fd));
                               done->store(true);
                             }),
                             done});
  }
}

// With `mutex` held.
void HttpsServer::Impl::reap_finished() {
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
}

bool HttpsServer::Impl::read_request(Connection& connection, std::string& pending, RecordedRequest& request) {
  char buffer[kReadChunk];
  std::size_t head_end;
  while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (pending.size() > kMaxHeaderBytes) return false;
    std::size_t n = connection.read_some(buffer, sizeof(buffer));
    if (n == 0) return false;
    pending.append(buffer, n);
  }
  std::string head = pending.substr(0, head_end);
  pending.erase(0, head_end + 4);

  std::size_t line_end = head.find("\r\n");
  std::string request_line = head.substr(0, line_end);
  std::size_t first_space = request_line.find(' ');
  std::size_t second_space = request_line.find(' ', first_space + 1);
  if (first_space == std::string::npos || second_space == std::string::npos) return false;
  request.method = request_line.substr(0, first_space);
  request.target = request_line.substr(first_space + 1, second_space - first_space - 1);
  std::size_t position = line_end == std::string::npos ? head.size() : line_end + 2;
  while (position < head.size()) {
    std::size_t end = head.find("\r\n", position);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(position, end - position);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    position = end + 2;
  }

  std::size_t length = 0;
  if (auto content_length = request.header("Content-Length")) {
    length = static_cast<std::size_t>(std::strtoull(content_length->c_str(), nullptr, 10));
  }
  if (auto expect = request.header("Expect"); expect && lower(*expect) == "100-continue" && pending.size() < length) {
    if (!connection.write_all("HTTP/1.1 100 Continue\r\n\r\n")) return false;
  }
  while (pending.size() < length) {
    std::size_t n = connection.read_some(buffer, sizeof(buffer));
    if (n == 0) return false;
    pending.append(buffer, n);
  }
  request.body = pending.substr(0, length);
  pending.erase(0, length);
  return true;
}

CloudAnswer HttpsServer::Impl::choose_answer(const RecordedRequest& request) {
  Handler chosen;
  {
    std::lock_guard<std::mutex> lock(mutex);
    chosen = handler;
  }
  if (chosen) return chosen(request);
  CloudAnswer not_found;
  not_found.status = 404;
  return not_found;
}

// False when stopped during the delay.
bool HttpsServer::Impl::wait_delay(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(mutex);
  return !changed.wait_for(lock, delay, [this] { return stopping; });
}

void HttpsServer::Impl::wait_stall() {
  std::unique_lock<std::mutex> lock(mutex);
  uint64_t generation = release_generation;
  ++stalled;
  changed.wait(lock, [&] { return stopping || release_generation != generation; });
  --stalled;
}

void HttpsServer::Impl::serve(UniqueFd fd) {
  int raw_fd = fd.get();
  SSL* ssl = SSL_new(ctx.get());
  bool ok = ssl != nullptr && SSL_set_fd(ssl, raw_fd) == 1;
  Connection connection(std::move(fd), ssl);
  ok = ok && SSL_accept(ssl) == 1;
  if (ok) {
    std::lock_guard<std::mutex> lock(mutex);
    ++(SSL_session_reused(ssl) == 1 ? resumed_handshakes : full_handshakes);
  }
  ERR_clear_error();

  std::string pending;
  while (ok) {
    RecordedRequest request;
    if (!read_request(connection, pending, request)) break;
    {
      std::lock_guard<std::mutex> lock(mutex);
      recorded.push_back(request);
    }

    CloudAnswer answer = choose_answer(request);
    const bool drip = answer.behaviour == CloudBehaviour::kDrip;
    if (!drip && answer.delay.count() > 0 && !wait_delay(answer.delay)) break;
    if (answer.behaviour == CloudBehaviour::kCloseWithoutAnswer) break;
    if (answer.behaviour == CloudBehaviour::kStall) {
      wait_stall();
      break;
    }
    if (answer.behaviour == CloudBehaviour::kRaw) {
      connection.write_all(answer.raw);
      break;
    }
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + reason_phrase(answer.status) + "\r\n";
    head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    if (!answer.body.empty()) head += "Content-Type: application/json\r\n";
    for (const auto& [name, value] : answer.headers) head += name + ": " + value + "\r\n";
    head += "\r\n";
    if (answer.behaviour == CloudBehaviour::kCloseAfterHeaders) {
      connection.write_all(head);
      break;
    }
    if (drip) {
      const std::string whole = head + answer.body;
      std::size_t sent = 0;
      while (sent < whole.size() && wait_delay(answer.delay) && connection.write_all(whole.substr(sent, 1))) ++sent;
      if (sent < whole.size()) break;
      continue;
    }
    if (!connection.write_all(head + answer.body)) break;
  }
  connection.close_tls();
  std::lock_guard<std::mutex> lock(mutex);
  open_fds.erase(raw_fd);
  // `connection` closes the socket after this scope; the set no longer names it.
}

void HttpsServer::Impl::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) return;
    stopping = true;
    for (int fd : open_fds) ::shutdown(fd, SHUT_RDWR);
  }
  changed.notify_all();
  char byte = 's';
  if (::write(wake_write.get(), &byte, 1) < 0) { /* the accept thread also ends on close */ }
  if (accept_thread.joinable()) accept_thread.join();
  // Later clients are refused at once rather than left waiting in the backlog.
  listen_fd.reset();
  std::list<Worker> remaining;
  {
    std::lock_guard<std::mutex> lock(mutex);
    remaining.swap(workers);
  }
  for (Worker& worker : remaining) worker.thread.join();
}

// --- HttpsServer ---

HttpsServer::HttpsServer(const std::string& cert_file, const std::string& key_file)
    : impl_(std::make_unique<Impl>()) {
  impl_->start(cert_file, key_file);
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  ::getsockname(impl_->listen_fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

HttpsServer::~HttpsServer() { stop(); }

std::string HttpsServer::url(const std::string& path) const {
  return "https://localhost:" + std::to_string(port_) + path;
}

void HttpsServer::set_handler(Handler handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

void HttpsServer::release_stalled() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->release_generation;
  }
  impl_->changed.notify_all();
}

std::size_t HttpsServer::stalled_requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->stalled;
}

std::vector<RecordedRequest> HttpsServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->recorded;
}

std::size_t HttpsServer::request_count() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->recorded.size();
}

void HttpsServer::clear_requests() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->recorded.clear();
}

std::size_t HttpsServer::full_handshakes() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->full_handshakes;
}

std::size_t HttpsServer::resumed_handshakes() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->resumed_handshakes;
}

void HttpsServer::stop() { impl_->stop(); }

}  // namespace zelsim
