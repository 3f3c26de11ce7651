// A whole request handed to the library's routes, and the replies made before a
// request reaches them.

#include "norvane/net/http_server_conn.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace norvane {
namespace detail {

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

// More ranges than this in one request, or ranges that overlap, are no honest
// client's: they multiply the reply. Such a Range header is ignored and the whole
// body is sent, which RFC 9110 (14.2) allows.
constexpr size_t kMaxRanges = 8;

// The request as the library reads it: head, then the body.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(const std::string& head, const std::string& body, const Peer& peer, std::string& reply)
      : _head(head), _body(body), _peer(peer), _reply(reply) {}

  bool is_readable() const override { return _pos < _head.size() + _body.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const std::string& part = _pos < _head.size() ? _head : _body;
    const size_t at = _pos < _head.size() ? _pos : _pos - _head.size();
    if (at >= part.size()) return 0;
    const size_t n = std::min(size, part.size() - at);
    std::memcpy(ptr, part.data() + at, n);
    _pos += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    _reply.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = _peer.ip;
    port = _peer.port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = _peer.local_ip;
    port = _peer.local_port;
  }
  socket_t socket() const override { return INVALID_SOCKET; }

 private:
  const std::string& _head;
  const std::string& _body;
  const Peer& _peer;
  std::string& _reply;
  size_t _pos = 0;
};

// A Range header worth serving as asked: "bytes=" and at most kMaxRanges ranges,
// no two of which overlap. Ranges whose end is open or counted from the end
// overlap others for some lengths, so only one such range may stand alone.
bool ordinary_ranges(const std::string& value) {
  if (value.compare(0, 6, "bytes=") != 0) return false;
  std::vector<std::pair<uint64_t, uint64_t>> closed;
  size_t count = 0;
  bool open = false;
  size_t start = 6;
  for (;;) {
    const size_t comma = value.find(',', start);
    std::string range = value.substr(start, comma == std::string::npos ? comma : comma - start);
    range.erase(std::remove(range.begin(), range.end(), ' '), range.end());
    const size_t dash = range.find('-');
    if (++count > kMaxRanges || dash == std::string::npos) return false;
    const std::string first = range.substr(0, dash), last = range.substr(dash + 1);
    const auto digits = [](const std::string& s) {
      return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (digits(first) && digits(last)) {
      const uint64_t a = std::stoull(first), b = std::stoull(last);
      if (a > b) return false;
      closed.emplace_back(a, b);
    } else if ((digits(first) && last.empty()) || (first.empty() && digits(last))) {
      open = true;
    } else {
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (open) return count == 1;
  std::sort(closed.begin(), closed.end());
  for (size_t i = 1; i < closed.size(); ++i)
    if (closed[i].first <= closed[i - 1].second) return false;
  return true;
}

// A 416 reply says which length no range fitted: "Content-Range: bytes */LENGTH"
// (RFC 9110, 14.4); the library writes the first range's numbers before it.
void fix_unsatisfiable_range(std::string& reply) {
  if (reply.compare(0, 13, "HTTP/1.1 416 ") != 0) return;
  const size_t head_end = reply.find("\r\n\r\n");
  const std::string key = "\r\nContent-Range: bytes ";
  const size_t at = reply.find(key);
  if (at == std::string::npos || at > head_end) return;
  const size_t value = at + key.size();
  const size_t line_end = reply.find("\r\n", value);
  const size_t slash = reply.rfind('/', line_end);
  if (slash == std::string::npos || slash < value) return;
  reply.replace(value, slash - value, "*");
}

bool carries_body(const std::string& method) { return method == "POST"; }

// The request's connection option as the library must see it: it compares
// "close" and "Keep-Alive" as written, where RFC 9110 (7.6.1) compares options
// without regard to case. "" leaves the default of HTTP/1.1 (persistent).
std::string connection_option(const ParsedRequest& request) {
  bool close = false, keep_alive = false;
  for (const auto& h : request.headers) {
    if (strcasecmp(h.first.c_str(), "Connection") != 0) continue;
    for (const std::string& option : list_elements(h.second)) {
      close = close || strcasecmp(option.c_str(), "close") == 0;
      keep_alive = keep_alive || strcasecmp(option.c_str(), "keep-alive") == 0;
    }
  }
  // HTTP/1.0 closes unless the client asks to keep the connection.
  if (close || (request.version == "HTTP/1.0" && !keep_alive)) return "close";
  return keep_alive ? "Keep-Alive" : "";
}

}  // namespace

void signal_stop() { g_stop.store(true, std::memory_order_relaxed); }
bool stop_signalled() { return g_stop.load(std::memory_order_relaxed); }
void clear_stop_signal() { g_stop.store(false, std::memory_order_relaxed); }

std::string refusal_reply(int status) {
  const char* reason = status == 413   ? "Payload Too Large"
                       : status == 414 ? "URI Too Long"
                       : status == 431 ? "Request Header Fields Too Large"
                       : status == 503 ? "Service Unavailable"
                                       : "Bad Request";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
}

bool BoundedServer::answer(ParsedRequest& request, bool last, const Peer& peer, std::string& reply) {
  // The request is written again for the library, framed by a Content-Length
  // alone: it reads exactly what was read here. Only POST has a body for the
  // routes; any other method's body has been read and is dropped. A field is
  // written "name:value", never longer than the client's line, which the
  // library reads again within the same line limit.
  const bool with_body = carries_body(request.method);
  const bool framed = request.header("Content-Length") || request.header("Transfer-Encoding");
  const std::string connection = connection_option(request);
  std::string head = request.method + " " + request.target + " " + request.version + "\r\n";
  for (const auto& h : request.headers) {
    const char* name = h.first.c_str();
    if (strcasecmp(name, "Content-Length") == 0 || strcasecmp(name, "Transfer-Encoding") == 0 ||
        strcasecmp(name, "Expect") == 0 || strcasecmp(name, "Connection") == 0 ||
        (strcasecmp(name, "Range") == 0 && !ordinary_ranges(h.second)))
      continue;
    head += h.first + ":" + h.second + "\r\n";
  }
  if (!connection.empty()) head += "Connection:" + connection + "\r\n";
  if (with_body && framed) head += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
  head += "\r\n";
  static const std::string kNoBody;

  RequestStream stream(head, with_body ? request.body : kNoBody, peer, reply);
  _current = &request;
  _close_current = false;
  bool connection_closed = false;
  const bool ok = process_request(stream, last, connection_closed, nullptr);
  _current = nullptr;
  fix_unsatisfiable_range(reply);
  // The library closes after some of its own replies (a request line it cannot
  // read) without saying so but in the reply.
  const size_t head_end = reply.find("\r\n\r\n");
  const size_t close_at = reply.find("\r\nConnection: close\r\n");
  const bool says_close = close_at != std::string::npos && close_at < head_end;
  const bool keep = ok && !connection_closed && !_close_current && !last && !says_close;
  // An HTTP/1.0 client keeps its connection only when the reply says so.
  if (keep && request.version == "HTTP/1.0") {
    const size_t line_end = reply.find("\r\n");
    if (line_end != std::string::npos) reply.insert(line_end + 2, "Connection: keep-alive\r\n");
  }
  return keep;
}

bool BoundedServer::take_body(std::string& body) {
  if (_current == nullptr) return false;
  body.swap(_current->body);
  return true;
}

void BoundedServer::set_access_log(httplib::Logger logger) {
  _access_log = logger;
  set_logger(std::move(logger));
}

void BoundedServer::log_refusal(const ParsedRequest& partial, int status) const {
  if (!_access_log) return;
  httplib::Request req;
  // "-" stands for a request line not read whole.
  req.method = partial.method.empty() ? "-" : partial.method;
  req.path = partial.method.empty() ? "-"
                                    : httplib::detail::decode_url(partial.target.substr(0, partial.target.find('?')), false);
  for (const auto& h : partial.headers) req.headers.emplace(h.first, h.second);
  httplib::Response res;
  res.status = status;
  _access_log(req, res);
}

socket_t BoundedServer::listening_socket(int backlog) {
  const socket_t sock = svr_sock_;
  if (sock != INVALID_SOCKET) ::listen(sock, backlog);
  return sock;
}

void BoundedServer::close_listening() {
  const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
  if (sock != INVALID_SOCKET) ::close(sock);
}

std::string serve_pieces(BoundedServer& server, const std::vector<std::string>& pieces, size_t max_body_bytes,
                         const ConnectionLimits& limits) {
  RequestReader reader(max_body_bytes, limits.head);
  const Peer peer{"127.0.0.1", 40000, "127.0.0.1", 24401};
  std::string pending, out;
  size_t served = 0;
  bool body_begun = false;
  for (const std::string& piece : pieces) {
    pending += piece;
    size_t pos = 0;
    for (;;) {
      const size_t used = reader.feed(pending.data() + pos, pending.size() - pos);
      pos += used;
      const auto state = reader.state();
      if (state == RequestReader::State::kBody && !body_begun) {
        body_begun = true;
        if (reader.partial().expects_continue) out += "HTTP/1.1 100 Continue\r\n\r\n";
      } else if (state == RequestReader::State::kFailed) {
        server.log_refusal(reader.partial(), reader.failure_status());
        return out + refusal_reply(reader.failure_status());
      } else if (state == RequestReader::State::kComplete) {
        ParsedRequest request = reader.take();
        body_begun = false;
        const bool last = ++served >= limits.requests_per_connection;
        std::string reply;
        const bool keep = server.answer(request, last, peer, reply);
        out += reply;
        if (!keep) return out;
      } else if (used == 0) {
        break;
      }
    }
    pending.erase(0, pos);
  }
  return out;
}

}  // namespace detail
}  // namespace norvane
