#pragma once

// Loopback helpers for tests that talk to a server they started: a free port,
// and a client that sends what it is given, when it is told (requests cut
// short, trickled or never finished).

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace norvane_test {

// Number of complete replies at the start of text (each ends after its
// Content-Length body).
inline int complete_replies(const std::string& text) {
  int n = 0;
  size_t pos = 0;
  for (;;) {
    size_t head_end = text.find("\r\n\r\n", pos);
    if (head_end == std::string::npos) return n;
    size_t length = 0;
    size_t at = text.find("Content-Length: ", pos);
    if (at != std::string::npos && at < head_end) length = std::stoul(text.substr(at + 16));
    if (text.size() < head_end + 4 + length) return n;
    pos = head_end + 4 + length;
    ++n;
  }
}

// Connections a process ("/proc/self" or "/proc/PID") holds on port: its
// sockets bound to the port that are not listening, found by their inodes in the
// kernel's tables (touching no descriptor of the process).
inline size_t sockets_on_port(const std::string& proc, int port) {
  std::set<std::string> inodes, held;
  const std::string fds = proc + "/fd";
  if (DIR* dir = opendir(fds.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      char link[64] = "";
      const ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), link, sizeof(link) - 1);
      const std::string text(link, n > 0 ? static_cast<size_t>(n) : 0);
      if (text.rfind("socket:[", 0) == 0) inodes.insert(text.substr(8, text.size() - 9));
    }
    closedir(dir);
  }
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      const int local_port = static_cast<int>(std::stoul(local.substr(local.rfind(':') + 1), nullptr, 16));
      // "0A" is a listening socket. A table read in pieces may list a socket twice.
      if (local_port == port && state != "0A" && inodes.count(inode)) held.insert(inode);
    }
  }
  return held.size();
}

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

// A socket listening on a loopback port of the system's choice (port set), or -1.
inline int listen_on_loopback(int backlog, int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

class RawClient {
 public:
  explicit RawClient(int port) : _fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) drop();
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
  // One reply, "" when the server closed first or 10 s passed. (A client that
  // half-closes gets no reply from the library, so the sending side stays open.)
  std::string exchange(const std::string& request) {
    std::string reply;
    if (!send_text(request)) return reply;
    timeval timeout{10, 0};
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    char buf[4096];
    ssize_t n;
    while (complete_replies(reply) < 1 && (n = recv(_fd, buf, sizeof(buf), 0)) > 0)
      reply.append(buf, static_cast<size_t>(n));
    return complete_replies(reply) == 1 ? reply : "";
  }
  void drop() {
    if (_fd >= 0) close(_fd);
    _fd = -1;
  }

 private:
  int _fd;
};

}  // namespace norvane_test
