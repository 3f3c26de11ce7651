// The usage server's reply bytes through a whole upload: the client's reading of
// the answer and what the statistics then do. A loopback listener of this
// process reads each upload request and answers it with the input, then closes.
// Checked beyond the sanitizers: the counts are either kept whole or, only after
// a status line of 200, cleared; never changed otherwise.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz/fuzz_support.h"
#include "norvane/globals.h"
#include "norvane/stat/stat.h"
#include "support/raw_client.h"

namespace {

class ReplyServer {
 public:
  ReplyServer() {
    _fd = norvane_test::listen_on_loopback(8, _port);
    if (_fd < 0) std::abort();
    std::thread([this]() { serve(); }).detach();  // lives as long as the process
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(_port); }
  void set_reply(std::string reply) {
    std::lock_guard<std::mutex> lock(_mtx);
    _reply = std::move(reply);
  }

 private:
  void serve() {
    for (;;) {
      const int peer = ::accept(_fd, nullptr, nullptr);
      if (peer < 0) continue;
      read_request(peer);
      std::string reply;
      {
        std::lock_guard<std::mutex> lock(_mtx);
        reply = _reply;
      }
      for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = ::send(peer, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::shutdown(peer, SHUT_WR);
      ::close(peer);
    }
  }
  // The head and its Content-Length body, so that closing resets nothing unread.
  static void read_request(int peer) {
    std::string in;
    char buffer[4096];
    size_t want = std::string::npos;
    while (want == std::string::npos || in.size() < want) {
      const ssize_t n = ::recv(peer, buffer, sizeof(buffer), 0);
      if (n <= 0) return;
      in.append(buffer, static_cast<size_t>(n));
      const size_t head_end = in.find("\r\n\r\n");
      if (want == std::string::npos && head_end != std::string::npos) {
        const size_t at = in.find("Content-Length: ");
        const size_t length = at != std::string::npos && at < head_end ? std::strtoul(&in[at + 16], nullptr, 10) : 0;
        want = head_end + 4 + length;
      }
    }
  }

  int _fd = -1;
  int _port = -1;
  std::mutex _mtx;
  std::string _reply;
};

ReplyServer* g_server = nullptr;  // never freed: its thread runs until exit
const std::string* g_empty = nullptr;  // the statistics JSON of no counts

bool starts_with_status_200(const std::string& reply) {
  return reply.size() >= 12 && reply.compare(0, 7, "HTTP/1.") == 0 && reply.compare(8, 4, " 200") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvane_fuzz::quiet_logger();
  norvane_fuzz::use_scratch_home();
  unsetenv("HTTP_PROXY");
  unsetenv("http_proxy");
  g_server = new ReplyServer();
  norvane::set_url_server_host(g_server->url());
  g_empty = new std::string(norvane::Stat().stat_data_to_json());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  g_server->set_reply(reply);
  norvane::Stat stat;
  stat.do_sdk_launch();
  stat.do_model_invoke(7, 8);
  const std::string before = stat.stat_data_to_json();
  stat.upload_stat_data();
  const std::string after = stat.stat_data_to_json();
  if (after != before && (after != *g_empty || !starts_with_status_200(reply))) std::abort();
  return 0;
}
