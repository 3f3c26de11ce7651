// The serving thread's loop: accept, read, parse until whole, serve, write,
// close what is idle or late. Every socket is non-blocking; the thread waits only
// in poll(), never for one client.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>

#include "norvane/net/http_server_conn.h"

namespace norvane {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kReadPiece = 16384;
// How long a refused client may still send (read and dropped) after its reply, so
// that closing does not reset the connection before it has read the reply.
constexpr milliseconds kLinger{1000};
// The longest wait in poll(): a stop is noticed within it.
constexpr milliseconds kTick{100};
// Out of descriptors: accepting pauses this long instead of spinning.
constexpr milliseconds kAcceptPause{10};
constexpr int kAcceptsPerTurn = 64;
const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

void address_of(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
    port = ntohs(in.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
    port = ntohs(in6.sin6_port);
  }
  ip = text;
}

struct Connection {
  enum class Phase {
    kIdle,  // waiting for the first byte of a request
    kHead,
    kAwaitBudget,  // head accepted, its body waits unread for room
    kBody,
    kQueued,  // whole, waiting for its turn
    kWriting,
    kLinger,  // refused: reply sent, what still comes is dropped
    kClosed,
  };

  Connection(socket_t sock, size_t max_body, const HeadLimits& head) : fd(sock), reader(max_body, head) {}

  socket_t fd;
  Peer peer;
  RequestReader reader;
  Phase phase = Phase::kIdle;
  std::string in;  // received and not yet fed to the reader
  ParsedRequest request;  // whole, while queued
  std::string out;
  size_t out_at = 0;
  Clock::time_point since;  // start of the phase
  Clock::time_point last_move;  // last byte in or out
  uint64_t moved = 0;  // bytes moved in the phase
  uint64_t held = 0;  // body bytes counted against the budget
  uint64_t counted = 0;  // of a chunked body's bytes read, those in `held`
  size_t served = 0;
  bool close_after_write = false;
  bool linger_after_write = false;
};
using Phase = Connection::Phase;

class Loop {
 public:
  Loop(BoundedServer& server, socket_t listening, const RequestDeadlines& deadlines, const ConnectionLimits& limits,
       size_t max_body, const std::function<bool()>& stop)
      : _server(server), _listening(listening), _deadlines(deadlines), _limits(limits), _max_body(max_body),
        _stop(stop) {}
  ~Loop() {
    for (auto& c : _conns)
      if (c->phase != Phase::kClosed) ::close(c->fd);
  }

  bool run() {
    std::vector<pollfd> fds;
    while (!_stop()) {
      fds.clear();
      const bool accepting = Clock::now() >= _accept_paused_until;
      fds.push_back({_listening, static_cast<short>(accepting ? POLLIN : 0), 0});
      for (auto& c : _conns) fds.push_back({c->fd, events(*c), 0});
      int ready;
      do {
        ready = poll(fds.data(), fds.size(), wait_ms());
      } while (ready < 0 && errno == EINTR && !_stop());
      if (ready < 0 && errno != EINTR) return false;
      _now = Clock::now();
      if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
      // Connections accepted now are not in fds: only those polled are handled.
      const size_t polled = _conns.size();
      if ((fds[0].revents & POLLIN) && !accept_new()) return false;
      for (size_t i = 0; i < polled; ++i) {
        Connection& c = *_conns[i];
        const short revents = fds[i + 1].revents;
        if (c.phase == Phase::kClosed || revents == 0) continue;
        if (revents & (POLLERR | POLLNVAL)) {
          close(c);
          continue;
        }
        if (revents & POLLOUT) flush(c);
        if (c.phase == Phase::kClosed) continue;
        // Bytes are taken only in a phase that reads: those of a request sent
        // behind one not yet answered stay in the socket until its turn.
        if ((revents & (POLLIN | POLLHUP)) && (events(c) & POLLIN)) {
          on_readable(c);
        } else if (revents & POLLHUP) {
          close(c);
        }
      }
      _now = Clock::now();
      expire();
      serve_next();
      resume_blocked();
      sweep();
    }
    return true;
  }

 private:
  short events(const Connection& c) const {
    short e = 0;
    if (c.out_at < c.out.size()) e |= POLLOUT;
    if (c.phase == Phase::kIdle || c.phase == Phase::kHead || c.phase == Phase::kLinger ||
        (c.phase == Phase::kBody && may_read_body(c)))
      e |= POLLIN;
    return e;
  }

  int wait_ms() const {
    if (!_ready.empty()) return 0;
    Clock::time_point next = Clock::now() + kTick;
    for (const auto& c : _conns) next = std::min(next, deadline(*c));
    const auto left = std::chrono::duration_cast<milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<milliseconds::rep>(0, left) + 1);
  }

  // Accepts what waits; false when the listening socket has failed.
  bool accept_new() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
      sockaddr_storage addr{};
      socklen_t len = sizeof(addr);
      const int fd = accept4(_listening, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO || errno == EPERM) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          _accept_paused_until = _now + kAcceptPause;
          return true;
        }
        return false;
      }
      if (_conns.size() >= _limits.connections && !close_idlest()) {
        ::close(fd);
        continue;
      }
      int yes = 1;
      // Replies go out in pieces; without this a small one waits for the client's
      // delayed acknowledgement.
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
      auto c = std::make_unique<Connection>(fd, _max_body, _limits.head);
      address_of(addr, c->peer.ip, c->peer.port);
      sockaddr_storage local{};
      socklen_t local_len = sizeof(local);
      if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) == 0)
        address_of(local, c->peer.local_ip, c->peer.local_port);
      c->since = c->last_move = _now;
      _conns.push_back(std::move(c));
    }
    return true;
  }

  // Makes room for a new connection: the one longest without a byte moved, of
  // those not waiting for their turn to be served.
  bool close_idlest() {
    Connection* idlest = nullptr;
    for (auto& c : _conns) {
      if (c->phase == Phase::kClosed) return true;
      if (c->phase == Phase::kQueued) continue;
      if (idlest == nullptr || c->last_move < idlest->last_move) idlest = c.get();
    }
    if (idlest == nullptr) return false;
    close(*idlest);
    return true;
  }

  bool may_read_body(const Connection& c) const {
    // A body of declared length has its room already; a chunked one grows while
    // the bodies held in all leave room.
    return !c.reader.chunked() || _held < _max_body;
  }

  void on_readable(Connection& c) {
    char buf[kReadPiece];
    const size_t want = c.phase == Phase::kBody ? std::min(kReadPiece, c.reader.wanted()) : kReadPiece;
    ssize_t n;
    do {
      n = recv(c.fd, buf, want, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) return close(c);  // gone, or done sending: a partial request is dropped
    c.last_move = _now;
    if (c.phase == Phase::kLinger) return;
    if (c.phase == Phase::kBody) c.moved += static_cast<uint64_t>(n);
    if (c.in.empty()) return absorb(c, buf, static_cast<size_t>(n));
    c.in.append(buf, static_cast<size_t>(n));
    absorb_pending(c);
  }

  bool reading(const Connection& c) const {
    return c.phase == Phase::kIdle || c.phase == Phase::kHead || (c.phase == Phase::kBody && may_read_body(c));
  }

  // Feeds bytes to the reader as far as the connection's phase allows; the rest
  // waits in c.in.
  void absorb(Connection& c, const char* data, size_t size) {
    size_t at = 0;
    while (at < size && reading(c)) {
      const size_t used = c.reader.feed(data + at, size - at);
      at += used;
      advance(c);
      if (used == 0 && c.reader.state() != RequestReader::State::kComplete) break;
    }
    if (c.phase != Phase::kClosed && c.phase != Phase::kWriting && c.phase != Phase::kLinger)
      c.in.append(data + at, size - at);
  }

  void absorb_pending(Connection& c) {
    if (c.in.empty()) return;
    std::string pending;
    pending.swap(c.in);
    absorb(c, pending.data(), pending.size());
  }

  // Moves the connection on by what the reader has seen.
  void advance(Connection& c) {
    using State = RequestReader::State;
    const State state = c.reader.state();
    if (c.phase == Phase::kIdle && state != State::kIdle) {
      c.phase = Phase::kHead;
      c.since = _now;
    }
    if (state == State::kFailed) return refuse(c, c.reader.failure_status());
    if (c.phase == Phase::kHead && state == State::kBody) begin_body(c);
    if (c.reader.chunked()) {
      const uint64_t read = c.reader.body_bytes_read();
      _held += read - c.counted;
      c.held += read - c.counted;
      c.counted = read;
    }
    if (state == State::kComplete) {
      c.request = c.reader.take();
      c.counted = 0;
      c.phase = Phase::kQueued;
      _ready.push_back(&c);
    }
  }

  void begin_body(Connection& c) {
    if (!c.reader.chunked()) {
      c.phase = Phase::kAwaitBudget;
      _waiting.push_back(&c);
      grant_waiting();
      return;
    }
    start_body(c);
  }

  void start_body(Connection& c) {
    c.phase = Phase::kBody;
    c.since = c.last_move = _now;
    c.moved = 0;
    c.reader.reserve_body();
    // The client waits for this before it sends a body.
    if (c.reader.partial().expects_continue) {
      c.out += kContinue;
      flush(c);
    }
  }

  // Bodies of declared length get their room in the order their heads came.
  void grant_waiting() {
    while (!_waiting.empty()) {
      Connection& c = *_waiting.front();
      const uint64_t length = c.reader.content_length();
      if (_held > 0 && length > _max_body - std::min(_held, static_cast<uint64_t>(_max_body))) return;
      _waiting.pop_front();
      c.held = length;
      _held += length;
      start_body(c);
      absorb_pending(c);
    }
  }

  void release(Connection& c) {
    _held -= std::min(_held, c.held);
    c.held = 0;
    c.counted = 0;
  }

  void refuse(Connection& c, int status) {
    _server.log_refusal(c.reader.partial(), status);
    forget(c);
    release(c);
    c.in.clear();
    c.out += refusal_reply(status);
    begin_write(c, true, true);
  }

  void begin_write(Connection& c, bool close_after, bool linger_after) {
    c.phase = Phase::kWriting;
    c.since = c.last_move = _now;
    c.moved = 0;
    c.close_after_write = close_after;
    c.linger_after_write = linger_after;
    flush(c);
  }

  void flush(Connection& c) {
    while (c.out_at < c.out.size()) {
      const ssize_t n = send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) return close(c);
      c.out_at += static_cast<size_t>(n);
      c.last_move = _now;
      if (c.phase == Phase::kWriting) c.moved += static_cast<uint64_t>(n);
    }
    c.out.clear();
    c.out_at = 0;
    if (c.phase == Phase::kWriting) written(c);
  }

  void written(Connection& c) {
    if (c.linger_after_write) {
      ::shutdown(c.fd, SHUT_WR);
      c.phase = Phase::kLinger;
      c.since = _now;
      return;
    }
    if (c.close_after_write) return close(c);
    c.phase = Phase::kIdle;
    c.since = c.last_move = _now;
    absorb_pending(c);  // a request sent behind the last one
  }

  void serve_next() {
    while (!_ready.empty()) {
      Connection& c = *_ready.front();
      _ready.pop_front();
      if (c.phase != Phase::kQueued) continue;
      const bool last = ++c.served >= _limits.requests_per_connection || _stop();
      std::string reply;
      const bool keep = _server.answer(c.request, last, c.peer, reply);
      c.request = ParsedRequest();
      release(c);
      grant_waiting();
      c.out += reply;
      begin_write(c, !keep, false);
      return;  // one request per turn: new bytes and connections are seen between
    }
  }

  // Chunked bodies that waited for room read on as soon as there is some.
  void resume_blocked() {
    for (auto& c : _conns)
      if (c->phase == Phase::kBody && !c->in.empty() && may_read_body(*c)) absorb_pending(*c);
  }

  Clock::time_point rate_deadline(const Connection& c) const {
    const auto rate = std::max<uint64_t>(_deadlines.min_rate, 1);
    const auto earned = milliseconds(static_cast<milliseconds::rep>(c.moved * 1000 / rate));
    return std::min(c.since + _deadlines.grace + earned, c.last_move + _deadlines.stall);
  }

  Clock::time_point deadline(const Connection& c) const {
    switch (c.phase) {
      case Phase::kIdle:
        return c.last_move + _deadlines.idle;
      case Phase::kHead:
        return std::min(c.since + _deadlines.head, c.last_move + _deadlines.stall);
      case Phase::kBody:
      case Phase::kWriting:
        return rate_deadline(c);
      case Phase::kLinger:
        return c.since + kLinger;
      default:
        return Clock::time_point::max();
    }
  }

  void expire() {
    for (auto& c : _conns) {
      if (_now < deadline(*c)) continue;
      // A client still sending its request learns why it is cut off.
      if (c->phase == Phase::kHead || c->phase == Phase::kBody) {
        refuse(*c, 400);
      } else {
        close(*c);
      }
    }
  }

  void forget(Connection& c) {
    _waiting.erase(std::remove(_waiting.begin(), _waiting.end(), &c), _waiting.end());
    _ready.erase(std::remove(_ready.begin(), _ready.end(), &c), _ready.end());
  }

  void close(Connection& c) {
    if (c.phase == Phase::kClosed) return;
    forget(c);
    release(c);
    ::close(c.fd);
    c.phase = Phase::kClosed;
    grant_waiting();
  }

  void sweep() {
    _conns.erase(std::remove_if(_conns.begin(), _conns.end(),
                                [](const std::unique_ptr<Connection>& c) { return c->phase == Phase::kClosed; }),
                 _conns.end());
  }

  BoundedServer& _server;
  socket_t _listening;
  RequestDeadlines _deadlines;
  ConnectionLimits _limits;
  uint64_t _max_body;
  std::function<bool()> _stop;
  std::vector<std::unique_ptr<Connection>> _conns;
  std::deque<Connection*> _ready;  // whole requests, in the order they completed
  std::deque<Connection*> _waiting;  // bodies of declared length waiting for room
  uint64_t _held = 0;  // body bytes held for requests not yet served
  Clock::time_point _now = Clock::now();
  Clock::time_point _accept_paused_until;
};

}  // namespace

bool run_connection_loop(BoundedServer& server, socket_t listening, const RequestDeadlines& deadlines,
                         const ConnectionLimits& limits, size_t max_body_bytes, const std::function<bool()>& stop) {
  const int flags = fcntl(listening, F_GETFL, 0);
  if (flags < 0 || fcntl(listening, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  Loop loop(server, listening, deadlines, limits, max_body_bytes, stop);
  return loop.run();
}

}  // namespace detail
}  // namespace norvane
