// The service's socket stream: buffered reads and plain writes on a connection,
// each wait bounded by the library's time-out and by the request's deadline.

#include "norvane/net/http_server_conn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

namespace norvane {
namespace detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

// How long a refused body is still read and dropped after the reply, so that
// the client reads the reply before the connection is reset.
constexpr milliseconds kLingerTime{1000};
// Slice of the wait for the next request in which a stop is noticed.
constexpr milliseconds kStopCheck{100};

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

int poll_for(socket_t sock, short events, milliseconds timeout) {
  pollfd p{sock, events, 0};
  const int ms = static_cast<int>(std::max<milliseconds::rep>(0, timeout.count()));
  int r;
  do {
    r = poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

void signal_stop() { g_stop.store(true, std::memory_order_relaxed); }
bool stop_signalled() { return g_stop.load(std::memory_order_relaxed); }
void clear_stop_signal() { g_stop.store(false, std::memory_order_relaxed); }

class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(socket_t sock, const RequestDeadlines& deadlines, milliseconds read_timeout,
                   milliseconds write_timeout)
      : _sock(sock), _deadlines(deadlines), _read_timeout(read_timeout), _write_timeout(write_timeout) {}

  // Waits up to keep_alive for the first byte of the next request, which starts
  // its head deadline. False when none comes, the peer is gone or a stop is
  // asked for.
  bool await_request(milliseconds keep_alive, const std::atomic<socket_t>& listening) {
    const Clock::time_point until = Clock::now() + keep_alive;
    for (;;) {
      // Empty lines before a request line are ignored (RFC 9112, 2.2), such as
      // the one a client sends after a body.
      while (_off < _len && (_buf[_off] == '\r' || _buf[_off] == '\n')) ++_off;
      if (_off < _len) break;
      if (stop_signalled() || listening == INVALID_SOCKET) return false;
      const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
      if (left.count() <= 0) return false;
      const int r = poll_for(_sock, POLLIN, std::min(left, kStopCheck));
      if (r < 0) return false;
      if (r > 0 && !fill()) return false;
    }
    begin(Phase::Head);
    return true;
  }

  void begin_body() { begin(Phase::Body); }
  void close_after_reply() { _refused = true; }
  bool must_close() const { return _refused || _failed; }
  bool refused() const { return _refused; }

  // Reads and drops what a client still sends after a refused body, for a
  // moment, so that closing does not reset the connection before the client
  // has read the reply.
  void linger() {
    ::shutdown(_sock, SHUT_WR);
    const Clock::time_point until = Clock::now() + kLingerTime;
    char scratch[16384];
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
      if (left.count() <= 0 || poll_for(_sock, POLLIN, left) <= 0) return;
      if (recv(_sock, scratch, sizeof(scratch), 0) <= 0) return;
    }
  }

  bool is_readable() const override { return _off < _len || poll_for(_sock, POLLIN, milliseconds(0)) > 0; }
  bool is_writable() const override { return poll_for(_sock, POLLOUT, milliseconds(0)) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    // A read after writing is the body after "100 Continue".
    if (_phase == Phase::Reply) begin(Phase::Body);
    if (_off == _len) {
      if (!wait(POLLIN, _read_timeout)) return -1;
      if (!fill()) return _failed_read;
      _moved += static_cast<uint64_t>(_len);
    }
    const size_t n = std::min(size, _len - _off);
    std::memcpy(ptr, _buf + _off, n);
    _off += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (_phase != Phase::Reply) begin(Phase::Reply);
    if (!wait(POLLOUT, _write_timeout)) return -1;
    ssize_t n;
    do {
      n = send(_sock, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      _failed = true;
      return -1;
    }
    _moved += static_cast<uint64_t>(n);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (getpeername(_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0) address_of(addr, ip, port);
  }
  socket_t socket() const override { return _sock; }

 private:
  enum class Phase { Head, Body, Reply };

  // One receive into the empty buffer; false, the connection spent, at the end
  // of the stream or on an error (_failed_read tells which for read()).
  bool fill() {
    ssize_t n;
    do {
      n = recv(_sock, _buf, sizeof(_buf), 0);
    } while (n < 0 && errno == EINTR);
    _off = 0;
    _len = n > 0 ? static_cast<size_t>(n) : 0;
    if (n > 0) return true;
    _failed = true;
    _failed_read = n;
    return false;
  }

  void begin(Phase phase) {
    _phase = phase;
    _since = Clock::now();
    // Bytes already buffered arrived before this phase began.
    _moved = 0;
  }

  // When the next byte must have moved in the current phase.
  Clock::time_point deadline() const {
    if (_phase == Phase::Head) return _since + _deadlines.head;
    const auto rate = std::max<uint64_t>(_deadlines.min_rate, 1);
    const auto earned = milliseconds(static_cast<milliseconds::rep>(_moved * 1000 / rate));
    return _since + _deadlines.grace + earned;
  }

  // False, and the connection spent, when neither the operation's time-out nor
  // the request's deadline leave time for the socket to get ready.
  bool wait(short events, milliseconds timeout) {
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline() - Clock::now());
      if (left.count() <= 0) break;
      const milliseconds slice = std::min(left, timeout);
      const int r = poll_for(_sock, events, slice);
      if (r > 0) return true;
      if (r < 0 || slice == timeout) break;
    }
    _failed = true;
    return false;
  }

  socket_t _sock;
  RequestDeadlines _deadlines;
  milliseconds _read_timeout;
  milliseconds _write_timeout;
  Phase _phase = Phase::Head;
  Clock::time_point _since = Clock::now();
  uint64_t _moved = 0;
  bool _failed = false;
  ssize_t _failed_read = 0;
  bool _refused = false;
  // Received and not yet handed to the library; kept across the requests of
  // the connection.
  char _buf[4096];
  size_t _off = 0;
  size_t _len = 0;
};

bool BoundedServer::widen_backlog(int backlog) {
  const socket_t sock = svr_sock_;
  return sock != INVALID_SOCKET && ::listen(sock, backlog) == 0;
}

void BoundedServer::body_begins() {
  if (_current) _current->begin_body();
}

void BoundedServer::close_after_reply() {
  if (_current) _current->close_after_reply();
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
  using std::chrono::seconds;
  using std::chrono::microseconds;
  const auto read_timeout =
      std::chrono::duration_cast<milliseconds>(seconds(read_timeout_sec_) + microseconds(read_timeout_usec_));
  const auto write_timeout =
      std::chrono::duration_cast<milliseconds>(seconds(write_timeout_sec_) + microseconds(write_timeout_usec_));
  ConnectionStream stream(sock, _deadlines, read_timeout, write_timeout);
  _current = &stream;
  bool ok = true;
  if (stop_signalled()) {
    // Serves no new connection once a stop is asked for.
    stop();
  } else {
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
      if (!stream.await_request(seconds(keep_alive_timeout_sec_), svr_sock_)) break;
      bool connection_closed = false;
      ok = process_request(stream, left == 1 || stop_signalled(), connection_closed, nullptr);
      if (!ok || connection_closed || stream.must_close()) break;
    }
  }
  _current = nullptr;
  if (stream.refused()) stream.linger();
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace detail
}  // namespace norvane
