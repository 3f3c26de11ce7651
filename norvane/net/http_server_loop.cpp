// The serving thread's loop: read, accept, parse until whole, serve, write,
// close what is idle or late. Every socket is non-blocking; the thread waits only
// in poll(), never for one client.
//
// Two rules keep one client from turning the service's bounds against the
// others. Room for bodies is counted by the bytes received, never by a declared
// length: a body is read as its bytes come while the bodies held in all are under
// the budget, and when bodies still being received fill it, the slowest of them
// is refused. And a client is timed only while the service is ready to read it:
// the time a handler runs, and the time a body waits for room, are not counted
// against any connection's deadlines.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>

#include "norvane/net/http_server_conn.h"

namespace norvane {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kReadPiece = 16384;
// Most bytes taken from one socket in one pass: enough to read what a socket
// holds between two requests, small enough that one fast sender cannot keep the
// loop from the others.
constexpr size_t kDrainPerPass = size_t(4) << 20;
// How long a refused client may still send (read and dropped) after its reply, so
// that closing does not reset the connection before it has read the reply.
constexpr milliseconds kLinger{1000};
// The longest wait in poll(): a stop is noticed within it.
constexpr milliseconds kTick{100};
// Out of descriptors with nothing to close: accepting pauses this long instead
// of spinning.
constexpr milliseconds kAcceptPause{10};
constexpr int kAcceptsPerTurn = 64;
// Time for a client to send its request once connected: a connection with no
// request begun for less than this is closed to make room for a new one only
// when no client slow in its head can go instead.
constexpr milliseconds kIdleAllowance{1000};
// The reply to a request refused to make room for others, or cut short by the
// service's stop.
constexpr int kNoRoomStatus = 503;
// A body's progress is its bytes over the last two windows of this much time
// the service was ready to read it: one that has stopped sending is soon the
// slowest, whatever it sent before.
constexpr milliseconds kRateWindow{1000};
const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Body bytes held in all: two body caps, so that a body at the cap can be read
// while another as large waits for its turn.
uint64_t body_budget(size_t max_body) {
  const uint64_t cap = max_body;
  return cap > UINT64_MAX / 2 ? UINT64_MAX : 2 * cap;
}

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
    kIdle,  // waiting for the first byte of a request (blank lines are no byte of one)
    kHead,
    kBody,  // read as its bytes come while there is room; paused otherwise
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
  // Start of the phase and the last byte in or out. Both move on by the time
  // the service was not ready for this connection, which never counts against it.
  Clock::time_point since;
  Clock::time_point last_move;
  uint64_t moved = 0;  // bytes moved in the phase
  uint64_t held = 0;  // body bytes counted against the budget
  bool paused = false;  // a body waiting for room, since paused_at
  Clock::time_point paused_at;
  // Body bytes in the current window of readable time (from window_at) and in
  // the one before it.
  Clock::time_point window_at;
  uint64_t window_bytes = 0;
  uint64_t last_window_bytes = 0;
  bool continue_owed = false;  // "100 Continue" goes out once its body is read
  uint64_t accepted_in = 0;  // the loop's pass that accepted it
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
        _budget(body_budget(max_body)), _stop(stop) {}
  ~Loop() {
    for (auto& c : _conns)
      if (c->phase != Phase::kClosed) ::close(c->fd);
  }

  bool run() {
    std::vector<pollfd> fds;
    while (!_stop()) {
      fds.clear();
      fds.push_back({_listening, static_cast<short>(may_accept() ? POLLIN : 0), 0});
      for (auto& c : _conns) fds.push_back({c->fd, events(*c), 0});
      int ready;
      do {
        ready = poll(fds.data(), fds.size(), wait_ms());
      } while (ready < 0 && errno == EINTR && !_stop());
      if (ready < 0 && errno != EINTR) return false;
      _now = Clock::now();
      ++_pass;
      if (fds[0].revents & (POLLERR | POLLNVAL)) return false;
      // Ready connections are read before new ones are accepted: a connection
      // about to be closed for room has had its chance to show a request.
      const size_t polled = _conns.size();
      for (size_t i = 0; i < polled; ++i) on_events(*_conns[i], fds[i + 1].revents);
      if ((fds[0].revents & POLLIN) && !accept_new()) return false;
      _now = Clock::now();
      expire();
      serve_next();
      make_body_room();
      sweep();
    }
    refuse_held_at_stop();
    return true;
  }

 private:
  short events(const Connection& c) const {
    short e = 0;
    if (c.out_at < c.out.size()) e |= POLLOUT;
    if (reads(c)) e |= POLLIN;
    return e;
  }

  // A phase that takes bytes from the socket. Those of a request sent behind
  // one not yet answered stay in the socket until its turn.
  bool reads(const Connection& c) const {
    return c.phase == Phase::kIdle || c.phase == Phase::kHead || c.phase == Phase::kLinger ||
           (c.phase == Phase::kBody && room() > 0);
  }

  uint64_t room() const { return _held < _budget ? _budget - _held : 0; }

  int wait_ms() const {
    if (!_ready.empty()) return 0;
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + kTick;
    if (_accept_paused_until > now) next = std::min(next, _accept_paused_until);
    for (const auto& c : _conns) next = std::min(next, deadline(*c));
    const auto left = std::chrono::duration_cast<milliseconds>(next - now).count();
    return static_cast<int>(std::max<milliseconds::rep>(0, left) + 1);
  }

  void on_events(Connection& c, short revents) {
    if (c.phase == Phase::kClosed || revents == 0) return;
    if (revents & (POLLERR | POLLNVAL)) return close(c);
    if (revents & POLLOUT) flush(c);
    if (c.phase == Phase::kClosed) return;
    if ((revents & (POLLIN | POLLHUP)) && reads(c)) {
      read_socket(c);
    } else if (revents & POLLHUP) {
      close(c);
    }
  }

  // ---- the connection bound ----

  size_t bound() const { return std::max<size_t>(_limits.connections, 1); }

  // Something could be closed to make room for a new connection. When nothing
  // can, new connections wait in the listening socket's backlog.
  bool may_accept() const {
    if (Clock::now() < _accept_paused_until) return false;
    if (_open < bound()) return true;
    for (const auto& c : _conns)
      if (c->phase == Phase::kLinger || c->phase == Phase::kHead || c->phase == Phase::kIdle) return true;
    return false;
  }

  // Accepts what waits; false when the listening socket has failed.
  bool accept_new() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
      // Chosen before the accept and closed only once a connection has come.
      Connection* victim = nullptr;
      if (_open >= bound()) {
        victim = pick_victim(true);
        if (_open < bound()) victim = nullptr;  // a candidate had gone meanwhile
        else if (victim == nullptr) return true;  // the rest wait in the backlog
      }
      sockaddr_storage addr{};
      socklen_t len = sizeof(addr);
      const int fd = accept4(_listening, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO || errno == EPERM) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors below the bound: an idle connection gives way,
          // when a client waits (accept fails so whether one does or not).
          if (victim == nullptr && (errno == EMFILE || errno == ENFILE) && client_waiting())
            victim = pick_victim(false);
          if (victim != nullptr) {
            evict(*victim);
            continue;
          }
          _accept_paused_until = _now + kAcceptPause;
          return true;
        }
        return false;
      }
      if (victim != nullptr) evict(*victim);
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
      c->accepted_in = _pass;
      _conns.push_back(std::move(c));
      ++_open;
    }
    return true;
  }

  bool client_waiting() const {
    pollfd listening{_listening, POLLIN, 0};
    return poll(&listening, 1, 0) == 1 && (listening.revents & POLLIN);
  }

  // The connection to close to make room for a new one, or null when none may
  // go. In this order: one already answered and lingering; the longest idle of
  // those with no request begun, once idle for kIdleAllowance; when
  // `mid_request`, the one longest in its head, slow by its own doing; the
  // longest idle however briefly, but never one accepted in this pass, which
  // has not been read. A request the service holds (queued, its body being read
  // or waiting for room, its reply being written) is never chosen.
  Connection* pick_victim(bool mid_request) {
    for (;;) {
      Connection* linger = nullptr;
      Connection* idle = nullptr;
      Connection* head = nullptr;
      for (auto& p : _conns) {
        Connection* c = p.get();
        if (c->phase == Phase::kLinger && (linger == nullptr || c->since < linger->since)) linger = c;
        if (c->phase == Phase::kIdle && c->accepted_in != _pass && (idle == nullptr || c->since < idle->since))
          idle = c;
        if (c->phase == Phase::kHead && (head == nullptr || c->since < head->since)) head = c;
      }
      if (linger != nullptr) return linger;
      const bool idle_long = idle != nullptr && idle->since + kIdleAllowance <= _now;
      Connection* choice = !idle_long && mid_request && head != nullptr ? head : idle;
      if (choice == nullptr || choice->phase == Phase::kHead) return choice;
      // Bytes may have come since the poll: they are read first, and the
      // connection stays a candidate only while it still has no request begun.
      read_socket(*choice);
      if (choice->phase == Phase::kIdle) return choice;
    }
  }

  // Closes a connection for room. A client in the middle of its head is told so
  // and logged; one with no request begun, or already answered, just closes.
  void evict(Connection& c) {
    if (c.phase == Phase::kHead) {
      tell_refused(c, c.reader.partial());
      ::shutdown(c.fd, SHUT_WR);
    }
    // What the client sent and nobody read would turn the close into a reset,
    // which can destroy the reply before the client reads it.
    char buf[kReadPiece];
    for (size_t n = 0; n < kDrainPerPass;) {
      const ssize_t got = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
      if (got <= 0) break;
      n += static_cast<size_t>(got);
    }
    close(c);
  }

  // ---- reading ----

  // Takes what the socket holds, up to kDrainPerPass, for as long as the
  // connection's phase reads.
  void read_socket(Connection& c) {
    char buf[kReadPiece];
    for (size_t taken = 0; taken < kDrainPerPass && reads(c);) {
      size_t want = kReadPiece;
      // A body of known length is never read past its end, nor past the room.
      if (c.phase == Phase::kBody) want = static_cast<size_t>(std::min<uint64_t>({want, c.reader.wanted(), room()}));
      ssize_t n;
      do {
        n = recv(c.fd, buf, want, 0);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) return close(c);  // gone, or done sending: a partial request is dropped
      taken += static_cast<size_t>(n);
      if (c.phase == Phase::kLinger) continue;
      absorb(c, buf, static_cast<size_t>(n));
      // Blank lines before a request are idle time.
      if (c.phase != Phase::kIdle) c.last_move = _now;
    }
  }

  bool feeding(const Connection& c) const { return reads(c) && c.phase != Phase::kLinger; }

  // Feeds bytes to the reader as far as the connection's phase and the room
  // allow; the rest waits in c.in.
  void absorb(Connection& c, const char* data, size_t size) {
    size_t at = 0;
    while (at < size && feeding(c)) {
      size_t n = size - at;
      if (c.phase == Phase::kBody) n = static_cast<size_t>(std::min<uint64_t>(n, room()));
      const size_t used = c.reader.feed(data + at, n);
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
    // Wire bytes, chunk framing included, as the body cap counts them.
    const uint64_t read = c.reader.body_bytes_read();
    if (read > c.held) {
      if (c.phase == Phase::kBody) note_body_bytes(c, read - c.held);
      _held += read - c.held;
      c.held = read;
    }
    if (c.phase == Phase::kBody) c.moved = read;
    if (state == State::kComplete) {
      c.request = c.reader.take();
      c.phase = Phase::kQueued;
      c.continue_owed = false;
      _ready.push_back(&c);
    }
  }

  void begin_body(Connection& c) {
    c.phase = Phase::kBody;
    c.since = c.last_move = c.window_at = _now;
    c.moved = 0;
    c.window_bytes = c.last_window_bytes = 0;
    c.paused = false;
    // The client waits for this before it sends the body: it is sent only when
    // the body will be read at once (the reader asks for it from HTTP/1.1 only).
    c.continue_owed = c.reader.partial().expects_continue;
    if (room() > 0) send_continue(c);
  }

  void send_continue(Connection& c) {
    if (!c.continue_owed) return;
    c.continue_owed = false;
    c.out += kContinue;
    flush(c);
  }

  // ---- room for bodies ----

  // When bodies still being received fill the budget on their own, no body can
  // be read on and serving frees nothing: the slowest of them (fewest bytes a
  // second while it could be read) is refused. Room held by whole requests is
  // freed as they are served; bodies wait for it, their wait not counted. Bytes
  // read before the room ran out are fed as soon as there is some.
  void make_body_room() {
    for (bool fed = true; fed;) {
      while (refuse_slowest_body()) {
      }
      fed = false;
      for (auto& p : _conns) {
        Connection& c = *p;
        if (c.phase != Phase::kBody) continue;
        if (room() == 0) {
          if (!c.paused) {
            c.paused = true;
            c.paused_at = _now;
          }
          continue;
        }
        if (c.paused) {
          c.paused = false;
          excuse(c, _now - c.paused_at);
          send_continue(c);
        }
        if (!c.in.empty()) {
          absorb_pending(c);
          fed = true;
        }
      }
    }
  }

  bool refuse_slowest_body() {
    uint64_t receiving = 0;
    Connection* slowest = nullptr;
    double slowest_rate = 0;
    for (auto& p : _conns) {
      Connection& c = *p;
      if (c.phase != Phase::kBody || c.held == 0) continue;
      receiving += c.held;
      const double rate = body_rate(c, c.paused ? c.paused_at : _now);
      if (slowest == nullptr || rate < slowest_rate) {
        slowest = &c;
        slowest_rate = rate;
      }
    }
    if (slowest == nullptr || receiving < _budget) return false;
    refuse(*slowest, kNoRoomStatus);
    return true;
  }

  // Moves the body's rate windows on to the one that holds `t`.
  static void roll_windows(Connection& c, Clock::time_point t) {
    const auto passed = (t - c.window_at) / kRateWindow;
    if (passed <= 0) return;
    c.last_window_bytes = passed == 1 ? c.window_bytes : 0;
    c.window_bytes = 0;
    c.window_at += passed * kRateWindow;
  }

  void note_body_bytes(Connection& c, uint64_t bytes) {
    roll_windows(c, _now);
    c.window_bytes += bytes;
  }

  // Bytes a second over the last window of readable time: the window before
  // the current one counts for the part of it still within a window of t. A
  // body younger than a window is measured over its age.
  static double body_rate(const Connection& c, Clock::time_point t) {
    using Seconds = std::chrono::duration<double>;
    const auto passed = std::max<Clock::rep>((t - c.window_at) / kRateWindow, 0);
    const uint64_t current = passed == 0 ? c.window_bytes : 0;
    const uint64_t before = passed == 0 ? c.last_window_bytes : passed == 1 ? c.window_bytes : 0;
    const double window = Seconds(kRateWindow).count();
    const double age = Seconds(t - c.since).count();
    if (age < window) return static_cast<double>(current + before) / std::max(age, 0.001);
    const double into = std::clamp(Seconds(t - c.window_at - passed * kRateWindow).count() / window, 0.0, 1.0);
    return (static_cast<double>(before) * (1 - into) + static_cast<double>(current)) / window;
  }

  // The service was not ready for this connection for `span`: its clocks move on.
  static void excuse(Connection& c, Clock::duration span) {
    c.since += span;
    c.last_move += span;
    c.window_at += span;
  }

  void release(Connection& c) {
    _held -= std::min(_held, c.held);
    c.held = 0;
  }

  // ---- replies ----

  void refuse(Connection& c, int status) {
    _server.log_refusal(c.reader.partial(), status);
    forget(c);
    release(c);
    c.in.clear();
    c.continue_owed = false;
    c.out += refusal_reply(status);
    begin_write(c, true, true);
  }

  void begin_write(Connection& c, bool close_after, bool linger_after) {
    c.phase = Phase::kWriting;
    c.since = c.last_move = _now;
    c.moved = 0;
    c.paused = false;
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
      const Clock::time_point start = Clock::now();
      const bool keep = _server.answer(c.request, last, c.peer, reply);
      c.request = ParsedRequest();
      release(c);
      // No other connection was read while the handler ran.
      const Clock::time_point end = Clock::now();
      for (auto& other : _conns)
        if (other->phase != Phase::kLinger && !other->paused) excuse(*other, end - start);
      _now = end;
      c.out += reply;
      begin_write(c, !keep, false);
      return;  // one request per turn: new bytes and connections are seen between
    }
  }

  // ---- deadlines ----

  Clock::time_point rate_deadline(const Connection& c) const {
    const auto rate = std::max<uint64_t>(_deadlines.min_rate, 1);
    const auto earned = milliseconds(static_cast<milliseconds::rep>(c.moved * 1000 / rate));
    return std::min(c.since + _deadlines.grace + earned, c.last_move + _deadlines.stall);
  }

  Clock::time_point deadline(const Connection& c) const {
    switch (c.phase) {
      case Phase::kIdle:
        return c.since + _deadlines.idle;
      case Phase::kHead:
        return std::min(c.since + _deadlines.head, c.last_move + _deadlines.stall);
      case Phase::kBody:
        return c.paused ? Clock::time_point::max() : rate_deadline(c);
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

  // ---- closing ----

  // Serving has stopped: a request begun or waiting for its turn is told so
  // (best effort, without waiting for the client) rather than cut off in silence.
  void refuse_held_at_stop() {
    for (auto& p : _conns) {
      Connection& c = *p;
      if (c.phase != Phase::kHead && c.phase != Phase::kBody && c.phase != Phase::kQueued) continue;
      tell_refused(c, c.phase == Phase::kQueued ? c.request : c.reader.partial());
    }
  }

  // A 503 sent as far as the socket takes it at once, and logged: for a client
  // the loop will not wait for.
  void tell_refused(Connection& c, const ParsedRequest& request) {
    _server.log_refusal(request, kNoRoomStatus);
    const std::string reply = refusal_reply(kNoRoomStatus);
    send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  void forget(Connection& c) { _ready.erase(std::remove(_ready.begin(), _ready.end(), &c), _ready.end()); }

  void close(Connection& c) {
    if (c.phase == Phase::kClosed) return;
    forget(c);
    release(c);
    ::close(c.fd);
    c.phase = Phase::kClosed;
    --_open;
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
  uint64_t _budget;  // body bytes held in all
  std::function<bool()> _stop;
  std::vector<std::unique_ptr<Connection>> _conns;
  size_t _open = 0;  // connections not closed, lingering ones included
  std::deque<Connection*> _ready;  // whole requests, in the order they completed
  uint64_t _held = 0;  // body bytes held for requests not yet served
  uint64_t _pass = 0;  // turns of the loop
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
