#pragma once

// A loopback HTTP server for the upload tests: it records every request it gets
// and answers with a status chosen by the test, optionally after a delay. It
// listens on a port picked at run time and matches every path, so it also serves
// as a forward proxy (which sees absolute request targets).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "support/raw_client.h"
#include <vector>

#include <httplib.h>

namespace norvane_test {

struct SeenRequest {
  std::string target;
  std::string path;
  std::vector<std::string> content_types;
  std::string body;
};

class UsageServer {
 public:
  UsageServer() {
    _server.Post(R"(.*)", [this](const httplib::Request& req, httplib::Response& res) {
      SeenRequest seen;
      seen.target = req.target;
      seen.path = req.path;
      auto range = req.headers.equal_range("Content-Type");
      for (auto it = range.first; it != range.second; ++it) seen.content_types.push_back(it->second);
      seen.body = req.body;
      {
        std::lock_guard<std::mutex> lock(_mtx);
        _requests.push_back(seen);
      }
      _cv.notify_all();
      int delay = _delay_ms.load();
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      res.status = _status.load();
      res.set_content(_reply_body, "text/plain");
      _answered.fetch_add(1);
    });
    _port = _server.bind_to_any_port("127.0.0.1");
    _thread = std::thread([this]() { _server.listen_after_bind(); });
    while (!_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~UsageServer() {
    _server.stop();
    _thread.join();
  }
  UsageServer(const UsageServer&) = delete;
  UsageServer& operator=(const UsageServer&) = delete;

  int port() const { return _port; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(_port); }
  void set_status(int status) { _status = status; }
  void set_delay_ms(int ms) { _delay_ms = ms; }
  void set_reply_body(const std::string& body) { _reply_body = body; }  // before requests arrive

  std::vector<SeenRequest> requests() {
    std::lock_guard<std::mutex> lock(_mtx);
    return _requests;
  }
  // Waits until at least n requests have arrived (not necessarily been answered).
  bool wait_for_requests(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(_mtx);
    return _cv.wait_for(lock, limit, [&]() { return _requests.size() >= n; });
  }
  int answered() const { return _answered.load(); }

 private:
  httplib::Server _server;
  std::thread _thread;
  int _port = -1;
  std::atomic<int> _status{200};
  std::atomic<int> _delay_ms{0};
  std::atomic<int> _answered{0};
  std::string _reply_body = "ok";
  std::mutex _mtx;
  std::condition_variable _cv;
  std::vector<SeenRequest> _requests;
};

// A loopback usage server (or proxy) that answers every connection with a 200
// header and then one body byte every interval, for as long as it lives; it
// never finishes a reply of the length it announced.
class TricklingServer {
 public:
  explicit TricklingServer(std::chrono::milliseconds interval = std::chrono::milliseconds(200))
      : _interval(interval) {
    _fd = listen_on_loopback(8, _port);
    _thread = std::thread([this]() { serve(); });
  }
  ~TricklingServer() {
    _stop = true;
    ::shutdown(_fd, SHUT_RDWR);
    _thread.join();
    ::close(_fd);
  }
  TricklingServer(const TricklingServer&) = delete;
  TricklingServer& operator=(const TricklingServer&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(_port); }
  int connections() const { return _connections.load(); }

 private:
  void serve() {
    std::vector<std::thread> peers;
    for (;;) {
      int peer = ::accept(_fd, nullptr, nullptr);
      if (peer < 0) break;
      _connections.fetch_add(1);
      peers.emplace_back([this, peer]() {
        char buffer[4096];
        (void)::recv(peer, buffer, sizeof(buffer), 0);
        const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
        bool ok = ::send(peer, header.data(), header.size(), MSG_NOSIGNAL) > 0;
        while (ok && !_stop) {
          std::this_thread::sleep_for(_interval);
          ok = ::send(peer, "x", 1, MSG_NOSIGNAL) == 1;
        }
        ::close(peer);
      });
    }
    for (std::thread& t : peers) t.join();
  }

  std::chrono::milliseconds _interval;
  int _fd = -1;
  int _port = -1;
  std::atomic<bool> _stop{false};
  std::atomic<int> _connections{0};
  std::thread _thread;
};

// A loopback port on which nothing listens: bound to learn a free number, then closed.
inline int closed_loopback_port() { return free_port(); }

}  // namespace norvane_test
