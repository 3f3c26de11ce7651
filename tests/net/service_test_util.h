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

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline std::string raw_exchange(int port, const std::string& request) {
  return RawClient(port).exchange(request);
}

inline std::string post_head(size_t length, const std::string& extra = "") {
  return "POST / HTTP/1.1\r\nHost: x\r\n" + extra + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

// Connections a server in this process holds on port.
inline size_t server_side_sockets(int port) { return sockets_on_port("/proc/self", port); }

// A plain listening socket (no port sharing) holding a loopback port.
class RawListener {
 public:
  RawListener() : _fd(listen_on_loopback(1, _port)) {}
  ~RawListener() { close(_fd); }
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;
  int port() const { return _port; }

 private:
  int _port = 0;
  int _fd;
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
