#pragma once

// Clients of the load benchmark that stay for the whole run beside those that
// send requests: sockets opened that say nothing, sockets that send one byte
// of a request, sockets that trickle header bytes, a client that keeps sending
// header lines, one that sends bodies at 75 KB/s and one that declares a body
// of the cap and sends it at 70 KB/s. A connection the server ends is opened
// again 100 ms later, so that the pressure lasts to the end. Each runs on its
// own thread and fills its own tally, read once the thread has been joined.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace load {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kReopenDelay{100};

inline sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A loopback connection whose connect, sends and receives each give up after
// timeout_s; -1 when it cannot connect.
inline int connect_to(int port, int timeout_s) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval timeout{timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  const sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool send_all(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

inline std::string read_until_close(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

// The status code at the start of a reply, "no reply" without one.
inline std::string status_of(const std::string& reply) {
  return reply.rfind("HTTP/1.", 0) == 0 && reply.size() >= 12 ? reply.substr(9, 3) : "no reply";
}

// How the server ended the connections of a group of clients.
struct HeldTally {
  long ended = 0;
  std::map<std::string, long> endings;  // the server's status, "closed" or "reset"
};

// Keeps `count` connections open until `until`; each sends `first` (none when
// empty) once connected, then the next byte of `trickle` (when not empty) every
// `every`. Tallies how the server ended them, by a reply or by closing.
// Connects without waiting, so that a full accept queue holds up none of the
// others.
inline HeldTally hold_sockets(int port, size_t count, const std::string& first, Clock::time_point until,
                              const std::string& trickle = "", std::chrono::milliseconds every = kReopenDelay) {
  struct Held {
    int fd = -1;
    bool connected = false;
    size_t at = 0;
    Clock::time_point reopen{};
    Clock::time_point next{};
  };
  std::vector<Held> held(count);
  std::vector<pollfd> polled(count);
  HeldTally tally;
  const sockaddr_in addr = loopback(port);
  while (Clock::now() < until) {
    const auto now = Clock::now();
    for (size_t i = 0; i < count; ++i) {
      Held& h = held[i];
      if (h.fd < 0 && now >= h.reopen) {
        h.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        h.connected = false;
        h.at = 0;
        connect(h.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
      }
      polled[i] = {h.fd, static_cast<short>(h.connected ? POLLIN : POLLOUT), 0};  // poll skips fd -1
    }
    poll(polled.data(), polled.size(), 100);
    for (size_t i = 0; i < count; ++i) {
      Held& h = held[i];
      const short events = polled[i].revents;
      if (h.fd < 0) continue;
      std::string ending;
      if (events & (POLLERR | POLLHUP | POLLIN)) {
        char reply[64];
        const ssize_t got = recv(h.fd, reply, sizeof(reply), MSG_DONTWAIT);
        ending = got > 0 ? status_of(std::string(reply, static_cast<size_t>(got))) : got == 0 ? "closed" : "reset";
      } else if (!h.connected && (events & POLLOUT)) {
        h.connected = true;
        h.next = Clock::now() + every;
        if (!first.empty() && send(h.fd, first.data(), first.size(), MSG_NOSIGNAL) != ssize_t(first.size()))
          ending = "reset";
      } else if (h.connected && !trickle.empty() && Clock::now() >= h.next) {
        h.next += every;
        if (send(h.fd, &trickle[h.at++ % trickle.size()], 1, MSG_NOSIGNAL) != 1) ending = "reset";
      }
      if (!ending.empty()) {
        close(h.fd);
        h.fd = -1;
        h.reopen = Clock::now() + kReopenDelay;
        ++tally.ended;
        ++tally.endings[ending];
      }
    }
  }
  for (const Held& h : held)
    if (h.fd >= 0) close(h.fd);
  return tally;
}

struct FloodTally {
  long connections = 0;
  uint64_t bytes = 0;
  std::map<std::string, long> endings;  // the server's status, or how it ended the connection
};

// GET /api/info, then header lines "a:b" for as long as the server takes them;
// a connection ends when the server answers or closes it.
inline void header_flood(int port, Clock::time_point until, FloodTally& tally) {
  std::string lines;
  for (int i = 0; i < 8192; ++i) lines += "a:b\r\n";
  while (Clock::now() < until) {
    const int fd = connect_to(port, 1);
    if (fd < 0 || !send_all(fd, "GET /api/info HTTP/1.1\r\nHost: load\r\n")) {
      if (fd >= 0) close(fd);
      std::this_thread::sleep_for(kReopenDelay);
      continue;
    }
    ++tally.connections;
    std::string ending = "open at the end";
    size_t at = 0;  // a whole number of lines is always sent before a wrap
    while (Clock::now() < until) {
      char reply[64];
      const ssize_t got = recv(fd, reply, sizeof(reply), MSG_DONTWAIT);
      if (got > 0) {
        ending = status_of(std::string(reply, static_cast<size_t>(got)));
        break;
      }
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        ending = got == 0 ? "closed" : "reset";
        break;
      }
      // Blocks for at most the send time-out while the server reads nothing.
      const ssize_t n = send(fd, lines.data() + at, lines.size() - at, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        ending = "reset";
        break;
      }
      if (n > 0) {
        tally.bytes += static_cast<uint64_t>(n);
        at = (at + static_cast<size_t>(n)) % lines.size();
      }
    }
    close(fd);
    ++tally.endings[ending];
    std::this_thread::sleep_for(kReopenDelay);
  }
}

struct SlowTally {
  long bodies = 0, answered_as_expected = 0, cut_off = 0;
  uint64_t bytes = 0;
};

// Bodies of `length` bytes (`noise` repeated), each sent at `rate` bytes a second
// (a tenth every 100 ms); once whole, the reply must contain `expect`. A body
// the server cuts off counts apart; the one under way when the run ends is
// given up.
inline void paced_bodies(int port, Clock::time_point until, uint64_t length, size_t rate, const std::string& noise,
                         const std::string& expect, SlowTally& tally) {
  const size_t piece = rate / 10;
  std::string cycle;  // noise repeated past one piece, so that any piece is a substring
  while (cycle.size() < noise.size() + piece) cycle += noise;
  while (Clock::now() < until) {
    const int fd = connect_to(port, 1);
    if (fd < 0) {
      std::this_thread::sleep_for(kReopenDelay);
      continue;
    }
    ++tally.bodies;
    bool sent = send_all(fd, "POST / HTTP/1.1\r\nHost: load\r\nConnection: close\r\nContent-Length: " +
                                 std::to_string(length) + "\r\n\r\n");
    uint64_t at = 0;
    auto next = Clock::now();
    while (sent && at < length && Clock::now() < until) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, length - at));
      // A send that times out while the server reads nothing is tried again;
      // the pace is kept from then on, never made up in a burst.
      const ssize_t done = send(fd, cycle.data() + at % noise.size(), n, MSG_NOSIGNAL);
      if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK) sent = false;
      if (done > 0) {
        at += static_cast<uint64_t>(done);
        tally.bytes += static_cast<uint64_t>(done);
      }
      next = std::max(next + std::chrono::milliseconds(100), Clock::now());
      std::this_thread::sleep_until(next);
    }
    if (at == length) {
      timeval timeout{120, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
      if (read_until_close(fd).find(expect) != std::string::npos) ++tally.answered_as_expected;
    } else if (!sent) {
      ++tally.cut_off;
    }
    close(fd);
  }
}

}  // namespace load
