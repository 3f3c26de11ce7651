#pragma once

// Helpers shared by the service tests: quiet logging with DEBUG on, raw
// exchanges for requests the HTTP client cannot send, and log waits.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <easylogging++.h>
#include <opencv2/imgcodecs.hpp>

#include "support/raw_client.h"
#include "support/log_capture.h"

namespace norvane_test {

// Records reach LogCapture at every level, standard output stays quiet.
inline void quiet_logger() {
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Enabled, "true");
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
  conf.setGlobally(el::ConfigurationType::ToFile, "false");
  el::Loggers::reconfigureLogger("Norvane", conf);
}

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

// A client connection that sends requests as they are and reads whole replies.
class RawConnection {
 public:
  explicit RawConnection(int port) : _fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{10, 0};
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    _connected = connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~RawConnection() { close(_fd); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // One reply, "" when the server closed first or 10 s passed. (A client that
  // half-closes gets no reply from the library, so the sending side stays open.)
  std::string exchange(const std::string& request) {
    std::string reply;
    if (!_connected || send(_fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      return reply;
    char buf[4096];
    ssize_t n;
    while (complete_replies(reply) < 1 && (n = recv(_fd, buf, sizeof(buf), 0)) > 0)
      reply.append(buf, static_cast<size_t>(n));
    return complete_replies(reply) == 1 ? reply : "";
  }

 private:
  int _fd;
  bool _connected = false;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline std::string raw_exchange(int port, const std::string& request) {
  return RawConnection(port).exchange(request);
}

// A plain listening socket (no port sharing) holding a loopback port.
class RawListener {
 public:
  RawListener() : _fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(_fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(_fd, 1) == 0 &&
        getsockname(_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      _port = ntohs(addr.sin_port);
  }
  ~RawListener() { close(_fd); }
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;
  int port() const { return _port; }

 private:
  int _fd;
  int _port = 0;
};

// The access log is written after the reply has gone out: wait for it.
inline bool wait_for_record(const LogCapture& capture, el::Level level, const std::string& text) {
  for (int i = 0; i < 2000; ++i) {
    for (const auto& r : capture.records())
      if (r.level == level && r.message == text) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

inline std::string encode(const cv::Mat& image, const std::string& ext) {
  std::vector<uchar> bytes;
  cv::imencode(ext, image, bytes);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace norvane_test
