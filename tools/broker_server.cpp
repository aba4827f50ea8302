// The simulated zelbroker. Each link has one thread that owns its socket and TLS
// session: it reads (recording packets through the agent's own packet
// reader) and carries out the writes and the close that other threads queue
// for it. A stop pipe, readable once stop() has written to it, wakes every
// thread; each link also has a wake pipe for new work.
#include "broker_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "broker/messages/packet.h"
#include "broker/messages/packet_reader.h"
#include "common/unique_fd.h"

namespace zelsim {
namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kHeartbeatBodySize = 16;
constexpr int kListenBacklog = 16;

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

void make_pipe(UniqueFd* read_end, UniqueFd* write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  *read_end = UniqueFd(fds[0]);
  *write_end = UniqueFd(fds[1]);
}

std::string heartbeat_response(std::uint64_t sequence) {
  std::uint8_t body[kHeartbeatBodySize] = {};
  put_be64(body, sequence);
  const std::vector<std::uint8_t> packet = encode_packet(PACKET_HEARTBEAT_RESPONSE, body);
  return std::string(packet.begin(), packet.end());
}

// Empty when the parts do not fit a packet.
std::string frame(std::uint8_t type, const std::vector<std::string>& parts) {
  std::vector<std::span<const std::uint8_t>> spans;
  spans.reserve(parts.size());
  for (const std::string& part : parts) {
    spans.emplace_back(reinterpret_cast<const std::uint8_t*>(part.data()), part.size());
  }
  const std::vector<std::uint8_t> packet = encode_packet(type, spans);
  return std::string(packet.begin(), packet.end());
}

}  // namespace

struct BrokerServer::Impl {
  struct Action {
    bool close = false;
    std::string bytes;
  };

  struct Link {
    std::size_t index = 0;
    UniqueFd sock;                       // link thread only
    std::unique_ptr<SSL, SslFree> ssl;   // link thread only
    packet_reader reader;                // link thread only
    BrokerPacket current;                // link thread only: the packet being read
    std::thread thread;
    // Guarded by Impl::mutex:
    std::deque<Action> outgoing;
    bool busy = false;       // an action taken from `outgoing` is being carried out
    bool closed = false;
    bool closed_by_agent = false;
    std::uint16_t agent_port = 0;
    UniqueFd wake_read;      // closed by the link thread when it ends
    UniqueFd wake_write;     // written (under the mutex) while !closed
    Impl* owner = nullptr;
  };

  Options options;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  UniqueFd listen_sock;
  std::uint16_t port = 0;
  UniqueFd stop_read;
  UniqueFd stop_write;
  std::thread accept_thread;
  std::atomic<bool> stopped{false};

  mutable std::mutex mutex;               // guards everything below and Link's shared fields
  mutable std::condition_variable changed;  // any of it changed
  std::vector<std::unique_ptr<Link>> links;
  std::vector<BrokerPacket> packets;
  bool answer_heartbeats = true;
  std::size_t answered = 0;

  explicit Impl(const Options& opts) : options(opts) {
    if (options.tls) {
      ctx.reset(SSL_CTX_new(TLS_server_method()));
      if (!ctx) throw std::runtime_error("SSL_CTX_new failed");
      SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
      if (SSL_CTX_use_certificate_chain_file(ctx.get(), options.cert_file.c_str()) != 1 ||
          SSL_CTX_use_PrivateKey_file(ctx.get(), options.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("cannot load the zelbroker's certificate or key");
      }
      SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    }
    listen_sock = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listen_sock.get() < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listen_sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_sock.get(), kListenBacklog) != 0) {
      throw std::runtime_error("bind/listen failed");
    }
    socklen_t length = sizeof addr;
    ::getsockname(listen_sock.get(), reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
    make_pipe(&stop_read, &stop_write);
    accept_thread = std::thread([this] { accept_loop(); });
  }

  ~Impl() { stop(); }

  void stop() {
    if (stopped.exchange(true)) return;
    const char byte = 's';
    (void)!::write(stop_write.get(), &byte, 1);
    if (accept_thread.joinable()) accept_thread.join();
    std::vector<std::thread*> threads;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& link : links) threads.push_back(&link->thread);
    }
    for (std::thread* thread : threads) {
      if (thread->joinable()) thread->join();
    }
  }

  bool stop_requested() const {
    pollfd entry{stop_read.get(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
  }

  void accept_loop() {
    for (;;) {
      pollfd entries[2] = {{listen_sock.get(), POLLIN, 0}, {stop_read.get(), POLLIN, 0}};
      if (::poll(entries, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (entries[1].revents != 0) return;
      if (entries[0].revents == 0) continue;
      sockaddr_in peer{};
      socklen_t length = sizeof peer;
      const int fd = ::accept4(listen_sock.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) continue;
      auto link = std::make_unique<Link>();
      link->sock = UniqueFd(fd);
      link->owner = this;
      link->agent_port = ntohs(peer.sin_port);
      make_pipe(&link->wake_read, &link->wake_write);
      Link* raw = link.get();
      std::lock_guard<std::mutex> lock(mutex);
      raw->index = links.size();
      links.push_back(std::move(link));
      raw->thread = std::thread([this, raw] { run_link(raw); });
      changed.notify_all();
    }
  }

  // Waits for `events` on the link's socket, or for the stop. False on stop
  // or a poll failure.
  bool wait_socket(Link* link, short events) {
    for (;;) {
      pollfd entries[2] = {{link->sock.get(), events, 0}, {stop_read.get(), POLLIN, 0}};
      if (::poll(entries, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (entries[1].revents != 0) return false;
      if (entries[0].revents != 0) return true;
    }
  }

  bool handshake(Link* link) {
    link->ssl.reset(SSL_new(ctx.get()));
    if (!link->ssl || SSL_set_fd(link->ssl.get(), link->sock.get()) != 1) return false;
    for (;;) {
      ERR_clear_error();
      const int result = SSL_accept(link->ssl.get());
      if (result == 1) return true;
      const int code = SSL_get_error(link->ssl.get(), result);
      if (code == SSL_ERROR_WANT_READ) {
        if (!wait_socket(link, POLLIN)) return false;
      } else if (code == SSL_ERROR_WANT_WRITE) {
        if (!wait_socket(link, POLLOUT)) return false;
      } else {
        ERR_clear_error();
        return false;
      }
    }
  }

  // One write, whole. False when the agent is gone or the server stops.
  bool write_all(Link* link, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const char* at = bytes.data() + done;
      const std::size_t left = bytes.size() - done;
      if (link->ssl) {
        ERR_clear_error();
        const int result = SSL_write(link->ssl.get(), at, static_cast<int>(left));
        if (result > 0) {
          done += static_cast<std::size_t>(result);
          continue;
        }
        const int code = SSL_get_error(link->ssl.get(), result);
        if (code == SSL_ERROR_WANT_WRITE) {
          if (!wait_socket(link, POLLOUT)) return false;
        } else if (code == SSL_ERROR_WANT_READ) {
          if (!wait_socket(link, POLLIN)) return false;
        } else {
          ERR_clear_error();
          return false;
        }
      } else {
        const ssize_t result = ::send(link->sock.get(), at, left, MSG_NOSIGNAL);
        if (result > 0) {
          done += static_cast<std::size_t>(result);
        } else if (result < 0 && (errno == EAGAIN || errno == EINTR)) {
          if (!wait_socket(link, POLLOUT)) return false;
        } else {
          return false;
        }
      }
    }
    return true;
  }

  static int on_type(packet_reader* reader) {
    Link* link = static_cast<Link*>(reader->user);
    link->current = BrokerPacket{};
    link->current.link = link->index;
    link->current.type = packet_reader_type(reader);
    return 0;
  }

  static int on_part(packet_reader* reader, const std::uint8_t* part, std::uint16_t length) {
    Link* link = static_cast<Link*>(reader->user);
    link->current.parts.emplace_back(reinterpret_cast<const char*>(part), length);
    return 0;
  }

  static int on_end(packet_reader* reader) {
    Link* link = static_cast<Link*>(reader->user);
    Impl* self = link->owner;
    bool answer = false;
    std::uint64_t sequence = 0;
    if (link->current.type == PACKET_HEARTBEAT && link->current.parts.size() == 1 &&
        link->current.parts[0].size() == kHeartbeatBodySize) {
      sequence = get_be64(reinterpret_cast<const std::uint8_t*>(link->current.parts[0].data()));
      std::lock_guard<std::mutex> lock(self->mutex);
      answer = self->answer_heartbeats;
    }
    // Answer before the packet is visible, so that whoever saw the heartbeat
    // recorded finds its answer already written.
    if (answer && self->write_all(link, heartbeat_response(sequence))) {
      std::lock_guard<std::mutex> lock(self->mutex);
      ++self->answered;
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    self->packets.push_back(std::move(link->current));
    link->current = BrokerPacket{};
    self->changed.notify_all();
    return 0;
  }

  // Reads what the socket has. False when the agent closed the link or it failed.
  bool read_available(Link* link) {
    static constexpr packet_callbacks kRecord{nullptr, on_type, nullptr, on_part, on_end};
    char buffer[kReadChunk];
    for (;;) {
      int got = 0;
      if (link->ssl) {
        ERR_clear_error();
        got = SSL_read(link->ssl.get(), buffer, sizeof buffer);
        if (got <= 0) {
          const int code = SSL_get_error(link->ssl.get(), got);
          if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return true;
          ERR_clear_error();
          return false;
        }
      } else {
        const ssize_t result = ::recv(link->sock.get(), buffer, sizeof buffer, 0);
        if (result < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (result <= 0) return false;
        got = static_cast<int>(result);
      }
      packet_reader_feed(&link->reader, &kRecord, reinterpret_cast<const std::uint8_t*>(buffer),
                         static_cast<std::size_t>(got));
    }
  }

  // Carries out the queued actions. False once a close was done or a write failed.
  bool run_actions(Link* link, bool* agent_gone) {
    char drain[64];
    while (::read(link->wake_read.get(), drain, sizeof drain) > 0) {
    }
    for (;;) {
      Action action;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (link->outgoing.empty()) return true;
        action = std::move(link->outgoing.front());
        link->outgoing.pop_front();
        link->busy = true;
      }
      bool ok = true;
      if (action.close) {
        ok = false;
      } else if (!write_all(link, action.bytes)) {
        ok = false;
        *agent_gone = !stop_requested();
      }
      std::lock_guard<std::mutex> lock(mutex);
      link->busy = false;
      changed.notify_all();
      if (!ok) return false;
    }
  }

  void run_link(Link* link) {
    link->reader.user = link;
    packet_reader_init(&link->reader);
    bool agent_gone = false;
    if (!options.tls || handshake(link)) {
      for (;;) {
        pollfd entries[3] = {{link->sock.get(), POLLIN, 0},
                             {link->wake_read.get(), POLLIN, 0},
                             {stop_read.get(), POLLIN, 0}};
        if (::poll(entries, 3, -1) < 0) {
          if (errno == EINTR) continue;
          break;
        }
        if (entries[2].revents != 0) break;
        if (entries[0].revents != 0 && !read_available(link)) {
          agent_gone = true;
          break;
        }
        if (entries[1].revents != 0 && !run_actions(link, &agent_gone)) break;
      }
    } else {
      agent_gone = !stop_requested();
    }
    if (link->ssl && !agent_gone) SSL_shutdown(link->ssl.get());
    link->ssl.reset();
    packet_reader_release(&link->reader);
    std::lock_guard<std::mutex> lock(mutex);
    link->sock.reset();
    link->closed = true;
    link->closed_by_agent = link->closed_by_agent || agent_gone;
    link->outgoing.clear();
    link->busy = false;
    link->wake_read.reset();
    link->wake_write.reset();
    changed.notify_all();
  }

  // Queues an action on the newest open link. Caller holds no lock.
  bool enqueue(Action action) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = links.rbegin(); it != links.rend(); ++it) {
      Link* link = it->get();
      if (link->closed) continue;
      link->outgoing.push_back(std::move(action));
      const char byte = 'w';
      (void)!::write(link->wake_write.get(), &byte, 1);
      return true;
    }
    return false;
  }

  template <typename Predicate>
  bool wait(std::chrono::milliseconds timeout, Predicate predicate) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, predicate);
  }
};

BrokerServer::BrokerServer(const std::string& cert_file, const std::string& key_file)
    : BrokerServer(Options{true, cert_file, key_file}) {}

BrokerServer::BrokerServer(const Options& options) : impl_(std::make_unique<Impl>(options)) {}

BrokerServer::~BrokerServer() = default;

std::uint16_t BrokerServer::port() const { return impl_->port; }

void BrokerServer::set_answer_heartbeats(bool answer) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->answer_heartbeats = answer;
}

std::size_t BrokerServer::links() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->links.size();
}

std::size_t BrokerServer::open_links() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::size_t open = 0;
  for (const auto& link : impl_->links) open += link->closed ? 0 : 1;
  return open;
}

bool BrokerServer::wait_for_link_closed(std::size_t link, std::chrono::milliseconds timeout) const {
  return impl_->wait(timeout, [&] {
    return link < impl_->links.size() && impl_->links[link]->closed;
  });
}

bool BrokerServer::closed_by_agent(std::size_t link) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return link < impl_->links.size() && impl_->links[link]->closed_by_agent;
}

std::uint16_t BrokerServer::agent_port(std::size_t link) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return link < impl_->links.size() ? impl_->links[link]->agent_port : 0;
}

std::vector<BrokerPacket> BrokerServer::packets() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->packets;
}

std::size_t BrokerServer::packet_count() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->packets.size();
}

bool BrokerServer::wait_for_packets(std::size_t count, std::chrono::milliseconds timeout) const {
  return impl_->wait(timeout, [&] { return impl_->packets.size() >= count; });
}

std::size_t BrokerServer::heartbeats_answered() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->answered;
}

bool BrokerServer::send_plain_message(const std::string& handler_id,
                                       const std::vector<std::string>& body_parts) {
  std::vector<std::string> parts;
  parts.reserve(body_parts.size() + 1);
  parts.push_back(handler_id);
  parts.insert(parts.end(), body_parts.begin(), body_parts.end());
  const std::string bytes = frame(PACKET_PLAIN_MESSAGE, parts);
  return !bytes.empty() && send_raw(bytes);
}

bool BrokerServer::send_raw(const std::string& bytes) {
  return impl_->enqueue(Impl::Action{false, bytes});
}

bool BrokerServer::close_link() { return impl_->enqueue(Impl::Action{true, {}}); }

bool BrokerServer::flush(std::chrono::milliseconds timeout) const {
  return impl_->wait(timeout, [&] {
    for (const auto& link : impl_->links) {
      if (!link->closed && (link->busy || !link->outgoing.empty())) return false;
    }
    return true;
  });
}

void BrokerServer::stop() { impl_->stop(); }

}  // namespace zelsim
