#include "norvane/net/http_client2.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "norvane/error_codes.h"
#include "norvane/log.h"
#include "norvane/utils.h"

namespace norvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxPort = 65535;

// A proxy port: decimal digits only, 1 to 65535. Anything looser would guess at
// where the operator meant the requests to go.
bool parse_port(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxPort) return false;
  port = value;
  return true;
}

// What makes a proxy address unusable, or nullptr with port set.
const char* proxy_fault(const Uri& proxy, int& port) {
  if (proxy.host.empty()) return "no host";
  if (proxy.port.empty()) return "no port";
  if (!parse_port(proxy.port, port)) return "a port that is not a number from 1 to 65535";
  return nullptr;
}

// How often the watchdog repeats its stop once the deadline has passed, in case
// the first came while the connection was not yet the library's to shut down.
constexpr auto kStopRepeat = std::chrono::milliseconds(50);

bool is_numeric_address(const std::string& host) {
  unsigned char buffer[sizeof(struct in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// An address of host as text, "" when it has none: the first IPv4 one when there
// is one (a name with both kinds, such as localhost, is mostly served on IPv4),
// else the first. Blocks as long as the system resolver takes.
std::string lookup(const std::string& host) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::string();
  const struct addrinfo* chosen = found;
  for (const struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  char text[INET6_ADDRSTRLEN] = {};
  const void* addr = nullptr;
  if (chosen->ai_family == AF_INET)
    addr = &reinterpret_cast<const struct sockaddr_in*>(chosen->ai_addr)->sin_addr;
  else if (chosen->ai_family == AF_INET6)
    addr = &reinterpret_cast<const struct sockaddr_in6*>(chosen->ai_addr)->sin6_addr;
  std::string result;
  if (addr != nullptr && ::inet_ntop(chosen->ai_family, addr, text, sizeof(text)) != nullptr) result = text;
  ::freeaddrinfo(found);
  return result;
}

// The address of host, or "" when it cannot be had before the deadline. The
// lookup runs on a detached thread that shares only this record, so a resolver
// that hangs is left behind instead of holding up the caller.
std::string resolve_before(const std::string& host, Clock::time_point deadline) {
  if (is_numeric_address(host)) return host;
  struct Lookup {
    std::mutex mtx;
    std::condition_variable cv;
    bool done = false;
    std::string address;
  };
  auto shared = std::make_shared<Lookup>();
  std::thread([shared, host]() {
    std::string address = lookup(host);
    std::lock_guard<std::mutex> lock(shared->mtx);
    shared->address = std::move(address);
    shared->done = true;
    shared->cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(shared->mtx);
  if (!shared->cv.wait_until(lock, deadline, [&]() { return shared->done; })) return std::string();
  return shared->address;
}

}  // namespace

Uri Uri::parse(const std::string& url) {
  Uri u;
  if (url.empty()) return u;
  const size_t end = url.size();
  const size_t npos = std::string::npos;

  const size_t q_found = url.find('?');
  const size_t q = q_found == npos ? end : q_found;

  size_t host_start = 0;
  const size_t c = url.find(':');
  if (c != npos && end - c > 3 && url.compare(c, 3, "://") == 0) {
    u.protocol = url.substr(0, c);
    host_start = c + 3;
  }

  // A "/" inside the query is not a path separator, so only look before the "?".
  size_t p = url.find('/', host_start);
  if (p != npos && p > q) p = npos;
  const bool has_path = p != npos;
  // A "?" before the host start (inside what looked like a scheme) leaves no host.
  const size_t limit = std::max(has_path ? p : q, host_start);

  size_t h = url.find(':', host_start);
  if (h == npos || h > limit) h = limit;
  u.host = url.substr(host_start, h - host_start);
  if (h != end && url[h] == ':') u.port = url.substr(h + 1, limit - (h + 1));
  if (has_path) u.path = url.substr(p, q - p);
  if (q_found != npos) u.query = url.substr(q);
  return u;
}

HttpClient2::HttpClient2(const std::string& url, const std::string& path) : _path(path) {
  Uri u = Uri::parse(url);
  NV_VLOG(2) << url << ", " << path << ": " << u.protocol << ", " << u.host << ", " << u.port << ", " << u.path
             << ", " << u.query << ", ";
  // std::stoi: leading blanks, a sign, digits up to the first other character.
  int port = u.port.empty() ? 80 : std::stoi(u.port);
  _client = std::make_unique<httplib::Client>(u.host, port, "", "");
  _host = u.host;

  // A proxy that is set must be used: a network that wants one may forbid the
  // direct way, so a setting that names no usable host and port stops the
  // request instead of sending it around the proxy.
  const char* variable = "HTTP_PROXY";
  std::string proxy = utils::env(variable, "");
  if (proxy.empty()) {
    variable = "http_proxy";
    proxy = utils::env(variable, "");
  }
  if (!proxy.empty()) {
    const Uri pu = Uri::parse(proxy);
    NV_LOG(INFO) << "Proxy was set to " << pu.host << ":" << pu.port;
    int proxy_port = 0;
    const char* fault = proxy_fault(pu, proxy_port);
    if (fault != nullptr) {
      NV_LOG(ERROR) << "Failed to set proxy: " << variable << " names " << fault
                    << " (http://HOST:PORT expected); the request is not sent";
      _proxy_unusable = true;
    } else {
      _client->set_proxy(pu.host, proxy_port);
      _proxy_host = pu.host;
      _proxy_port = proxy_port;
    }
  }
}

HttpClient2::~HttpClient2() = default;

int HttpClient2::set_post_data_aes_b64(const std::string& data, const std::string& key) {
  _headers.emplace("Content-Type", "text/plain");
  _content_type = "text/plain";
  std::string key_copy = key;  // the cipher call takes a mutable C string
  Utils::aes_b64_encode(data, _body, key_copy.data());
  return NV_OK;
}

int HttpClient2::set_post_data(const std::string& data) {
  _headers.emplace("Content-Type", "application/json");
  _content_type = "application/json";
  _body = data;
  return NV_OK;
}

bool HttpClient2::_resolve_before(Clock::time_point deadline) {
  if (!_proxy_host.empty()) {
    const std::string address = resolve_before(_proxy_host, deadline);
    if (address.empty()) return false;
    _client->set_proxy(address, _proxy_port);
    return true;
  }
  const std::string address = resolve_before(_host, deadline);
  if (address.empty()) return false;
  _client->set_hostname_addr_map({{_host, address}});
  return true;
}

int HttpClient2::perform(std::string& response, int timeout_sec) {
  // The library's time-outs bound each connect, read and write, not the whole
  // exchange: a peer sending a byte now and then would hold it for ever. So the
  // exchange gets one deadline, which a watchdog enforces by shutting the
  // connection down.
  if (_proxy_unusable) return NV_ERR_HTTP;  // said once, when the proxy was read
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(timeout_sec, 0));
  if (!_resolve_before(deadline)) {
    NV_LOG(ERROR) << "Http perform failed: " << "null respond";
    return NV_ERR_HTTP;
  }
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  const auto left_us = std::max<int64_t>(left.count(), 1);
  _client->set_connection_timeout(static_cast<time_t>(left_us / 1000000), static_cast<time_t>(left_us % 1000000));
  _client->set_read_timeout(timeout_sec);
  _client->set_write_timeout(timeout_sec);

  httplib::Request req;
  req.method = "POST";
  req.path = _path;
  req.headers = _headers;
  req.headers.emplace("Content-Type", _content_type);
  req.body = _body;

  std::mutex watch_mtx;
  std::condition_variable watch_cv;
  bool finished = false;
  std::thread watchdog([&]() {
    std::unique_lock<std::mutex> lock(watch_mtx);
    if (watch_cv.wait_until(lock, deadline, [&]() { return finished; })) return;
    while (!finished) {
      _client->stop();
      watch_cv.wait_for(lock, kStopRepeat, [&]() { return finished; });
    }
  });

  httplib::Response res;
  httplib::Error error = httplib::Error::Success;
  bool sent = _client->send(req, res, error);
  {
    std::lock_guard<std::mutex> lock(watch_mtx);
    finished = true;
  }
  watch_cv.notify_all();
  watchdog.join();

  if (sent && res.status == 200) {
    response = res.body;
    return NV_OK;
  }
  if (sent) {
    NV_LOG(ERROR) << "Http perform failed: " << " http code: " << res.status << ", body: " << res.body;
  } else {
    NV_LOG(ERROR) << "Http perform failed: " << "null respond";
  }
  return NV_ERR_HTTP;
}

}  // namespace norvane
