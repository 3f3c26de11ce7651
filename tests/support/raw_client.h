#pragma once

// Loopback helpers for tests that talk to a server they started: a free port,
// and a client that sends what it is given, when it is told (requests cut
// short, trickled or never finished).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace norvane_test {

// A loopback port nobody listened on a moment ago.
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

class RawClient {
 public:
  explicit RawClient(int port) : _fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  ~RawClient() { drop(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool send_text(const std::string& text) {
    return _fd >= 0 && send(_fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // Everything the server sends until it closes, or until timeout_s passes.
  std::string read_all(int timeout_s = 30) {
    timeval timeout{timeout_s, 0};
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = recv(_fd, buf, sizeof(buf), 0)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }
  void drop() {
    if (_fd >= 0) close(_fd);
    _fd = -1;
  }

 private:
  int _fd;
};

}  // namespace norvane_test
