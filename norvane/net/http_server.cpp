// The HTTP service: lifecycle, routes, access log and the reply forms. The
// inference route's handler is in http_server_infer.cpp.

#include "norvane/net/http_server.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <limits>
#include <utility>

#include "norvane/edge_predictor_impl.h"
#include "norvane/error_codes.h"
#include "norvane/log.h"
#include "norvane/net/demo_page.h"
#include "norvane/net/http_content_coding.h"
#include "norvane/utils.h"

namespace norvane {

namespace {

// Connections waiting for their accept: more than the clients a small site
// sends at once, and room for those that wait while a handler runs or while the
// connection bound admits no other, so that none is dropped in the handshake
// (a dropped handshake costs the client a second before it tries again).
constexpr int kListenBacklog = 1024;

// Descriptors left, beyond those open when serving starts, for what the process
// opens later: the usage upload's socket, the statistics cache file, the log.
constexpr uint64_t kDescriptorReserve = 16;

extern "C" void on_stop_signal(int) { detail::signal_stop(); }

// Descriptors open in this process, or 0 when that cannot be known.
uint64_t open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  uint64_t count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count > 0 ? count - 1 : 0;  // the directory's own
}

// The soft limit on open files raised to the hard one, and the connections it
// leaves room for: at most `wanted`, at least one.
size_t connection_bound(size_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return wanted;
  const uint64_t reserved = open_descriptors() + kDescriptorReserve;
  const uint64_t left = limit.rlim_cur > reserved ? limit.rlim_cur - reserved : 0;
  const size_t bound = static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(wanted, left)));
  if (bound < wanted)
    NV_LOG(WARNING) << "Open files are limited to " << limit.rlim_cur << ": serving at most " << bound
                    << " connections at once";
  return bound;
}

// SIGTERM (what service managers send) and SIGINT end serving in order, so that
// start_service() returns and the program ends normally. Only where the process
// leaves them at their default; a second signal has the default effect.
class StopSignals {
 public:
  StopSignals() {
    detail::clear_stop_signal();
    for (size_t i = 0; i < kCount; ++i) {
      struct sigaction current {};
      if (sigaction(kSignals[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_handler = on_stop_signal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESETHAND;
      _installed[i] = sigaction(kSignals[i], &action, nullptr) == 0;
    }
  }
  ~StopSignals() {
    for (size_t i = 0; i < kCount; ++i) {
      if (!_installed[i]) continue;
      struct sigaction current {};
      if (sigaction(kSignals[i], nullptr, &current) == 0 && current.sa_handler == on_stop_signal)
        signal(kSignals[i], SIG_DFL);
    }
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr size_t kCount = 2;
  static constexpr int kSignals[kCount] = {SIGTERM, SIGINT};
  bool _installed[kCount] = {false, false};
};

// A cap from the environment, or the default. The serving program refuses a
// bad value before the service starts; an embedding program is told here.
uint64_t env_limit(const char* name, uint64_t default_value) {
  const std::string text = utils::env(name, "");
  uint64_t value = 0;
  if (text.empty()) return default_value;
  if (detail::parse_limit(text, value)) return value;
  NV_LOG(WARNING) << "Ignoring " << name << "=" << detail::escape_controls(text)
                  << " (not a whole number from 1 to 9223372036854775807), using " << default_value;
  return default_value;
}

// Every string of a reply value made valid UTF-8 (labels come from the model's
// files, which nothing checks).
void make_valid_utf8(picojson::value& value) {
  if (value.is<std::string>()) {
    std::string& text = value.get<std::string>();
    if (!detail::is_valid_utf8(text)) text = detail::valid_utf8(text);
  } else if (value.is<picojson::array>()) {
    for (auto& item : value.get<picojson::array>()) make_valid_utf8(item);
  } else if (value.is<picojson::object>()) {
    for (auto& member : value.get<picojson::object>()) make_valid_utf8(member.second);
  }
}

// Address reuse only. The library's default also sets SO_REUSEPORT, under which a
// second service binds a port that is already served and silently shares it
// instead of failing to start.
void reuse_address_only(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

void access_log(const httplib::Request& req, const httplib::Response& res) {
  std::string line = "[access_log] \"" + req.method + " " + detail::escape_controls(req.path) + "\" " +
                     std::to_string(res.status);
  // Header names compare without regard to case in the library's header map.
  if (req.has_header("User-Agent")) {
    line += " \"" + detail::escape_controls(req.get_header_value("User-Agent")) + "\" ";
  }
  NV_LOG(INFO) << line;
}

}  // namespace

namespace detail {

std::string escape_controls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

bool parse_limit(const std::string& text, uint64_t& value) {
  // 19 digits hold every value up to 2^63 - 1 and some above it.
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const uint64_t parsed = std::stoull(text);
  if (parsed < 1 || parsed > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  value = parsed;
  return true;
}

// Length of the well-formed UTF-8 sequence at d[i], 0 when there is none.
static size_t utf8_sequence(const unsigned char* d, size_t i, size_t n) {
  const unsigned char b = d[i];
  size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b < 0x80) {
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) lo = 0xA0;  // no overlong forms
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > n || d[i + 1] < lo || d[i + 1] > hi) return 0;
  for (size_t k = 2; k < length; ++k)
    if (d[i + k] < 0x80 || d[i + k] > 0xBF) return 0;
  return length;
}

bool is_valid_utf8(const std::string& text) {
  const auto* d = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, length; i < text.size(); i += length)
    if ((length = utf8_sequence(d, i, text.size())) == 0) return false;
  return true;
}

std::string valid_utf8(const std::string& text) {
  if (is_valid_utf8(text)) return text;
  std::string out;
  out.reserve(text.size() + 8);
  const auto* d = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    const size_t length = utf8_sequence(d, i, text.size());
    if (length > 0) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD for the one byte
      ++i;
    }
  }
  return out;
}

}  // namespace detail

HttpServer::HttpServer() {
  signal(SIGPIPE, SIG_IGN);
  _server.set_socket_options(reuse_address_only);
}

HttpServer::~HttpServer() {
  for (auto& predictor : _predictors) predictor.reset();
}

int HttpServer::init(const std::string& host, int port, const std::string& service_id) {
  _host = host;
  _port = port;
  _service_id = service_id;
  set_limits(env_limit("EDGE_MAX_IMAGE_PIXELS", kDefaultMaxImagePixels),
             static_cast<size_t>(env_limit("EDGE_MAX_BODY_BYTES", kDefaultMaxBodyBytes)));
  init_router();
  _initialized = true;
  return NV_OK;
}

int HttpServer::init_router() {
  _server.set_access_log(access_log);

  _server.Get("/get/service_id", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(_service_id, "text/plain");
  });
  _server.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) { handle_info(res); });
  _server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(g_res_demo, "text/html"); });
  // The body is taken here rather than by the library's default, so that no
  // Content-Type changes it: a form-encoded body (what curl sends by default)
  // would otherwise be capped at 8 KB and parsed into query parameters.
  _server.Post("/", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    std::string body;
    // A body that could not be decoded whole is never decoded, inferred or counted.
    if (read_body(req, res, reader, body)) handle_infer(req, body, res);
  });
  _server.Options("/", [](const httplib::Request&, httplib::Response& res) { write_response(res, NV_OK, ""); });

  // For the routes that do not contain their own failures (a predictor's
  // model_info() that throws, memory exhausted): the client still gets a JSON
  // reply, as for a failed inference, and the service goes on.
  _server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown exception";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    NV_LOG(ERROR) << "Request failed: " << what;
    res.headers.clear();
    write_response(res, NV_ERR_RUNTIME, "Request failed: " + what);
  });
  return NV_OK;
}

void HttpServer::handle_info(httplib::Response& res) {
  if (_predictors.empty()) {
    write_response(res, NV_ERR_SERVICE, "Empty instance list");
    return;
  }
  const unsigned long index = utils::rand<unsigned long>(0, _predictors.size() - 1);
  const ModelInfo info = _predictors[index]->model_info();

  picojson::object obj;
  obj["id"] = picojson::value(static_cast<int64_t>(info.id));
  obj["name"] = picojson::value(detail::valid_utf8(info.name));
  obj["kind"] = picojson::value(static_cast<int64_t>(static_cast<uint32_t>(info.kind)));
  // JSON has no NaN or infinity: such a threshold is written as null, which the
  // demo page treats like 0 (it then starts at its own default).
  const double threshold = info.thresholdRec;
  obj["thresholdRec"] = std::isfinite(threshold) ? picojson::value(threshold) : picojson::value();

  write_response_common(res);
  res.set_content(picojson::value(obj).serialize(true), "application/json; charset=utf-8");
}

void HttpServer::set_limits(uint64_t max_image_pixels, size_t max_body_bytes) {
  _max_image_pixels = max_image_pixels;
  // The decoder takes the body's length as an int.
  const size_t ceiling = static_cast<size_t>(std::numeric_limits<int>::max());
  if (max_body_bytes > ceiling)
    NV_LOG(WARNING) << "Largest request body of " << max_body_bytes << " bytes is above what the picture decoder takes: "
                    << "using " << ceiling;
  _max_body_bytes = std::min(max_body_bytes, ceiling);
  _server.set_payload_max_length(_max_body_bytes);
}

void HttpServer::refuse(httplib::Response& res, int status) {
  res.status = status;
  res.set_header("Connection", "close");
  _server.close_after_reply();
}

bool HttpServer::read_body(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                           std::string& body) {
  // The connection has read the whole body already, within the cap, and framed
  // it by its length; without a length or the chunked coding a request has no
  // body (RFC 9112, 6.3).
  if (!req.has_header("Content-Length")) return true;
  // Content codings are undone here rather than by the library, which matched
  // their names by case and substring and passed unknown ones through.
  std::vector<std::string> fields;
  for (size_t i = 0, n = req.get_header_value_count("Content-Encoding"); i < n; ++i)
    fields.push_back(req.get_header_value("Content-Encoding", i));
  std::vector<detail::ContentCoding> codings;
  if (detail::parse_content_codings(fields, codings) != detail::kCodingOk) {
    res.set_header("Accept-Encoding", detail::kAcceptedCodings);
    refuse(res, detail::kCodingUnsupported);
    return false;
  }
  // A form upload is no encoded image; its parts are drained and the empty body
  // fails to decode.
  const bool form = req.is_multipart_form_data();
  if (form && codings.empty()) {
    const bool whole = reader([](const httplib::MultipartFormData&) { return true; },
                              [](const char*, size_t) { return true; });
    if (!whole) refuse(res, res.status > 0 ? res.status : 400);
    return whole;
  }
  std::string received;
  _server.take_body(received);
  if (codings.empty()) {
    body.swap(received);
    return true;
  }
  // What a coding decodes to is capped too, so that a small body cannot unpack
  // into an unbounded one.
  const int decoded = detail::decode_content(received, codings, _max_body_bytes, body);
  if (decoded != detail::kCodingOk) {
    refuse(res, decoded);
    return false;
  }
  if (form) body.clear();
  return true;
}

int HttpServer::add_predictor(std::unique_ptr<EdgePredictor>& predictor) {
  if (!predictor) {
    NV_LOG(ERROR) << "Null predictor";
    return NV_ERR_SERVICE;
  }
  auto* impl = static_cast<EdgePredictorImpl*>(predictor.get());
  if (!impl->initialized()) {
    NV_LOG(ERROR) << "Predictor has not been initialized yet( forgotten calling init()? )";
    return NV_ERR_SERVICE;
  }
  _predictors.push_back(std::move(predictor));
  return NV_OK;
}

int HttpServer::start_service() {
  if (!_initialized) {
    NV_LOG(ERROR) << "Service hasn't been initialized";
    return NV_ERR_SERVICE;
  }
  if (_predictors.empty()) {
    NV_LOG(ERROR) << "Empty instance list";
    return NV_ERR_SERVICE;
  }
  const std::string where = _host + ":" + std::to_string(_port);
  NV_LOG(INFO) << "HTTP is now serving at " << where << ", holding " << _predictors.size() << " instances";

  // A port outside 0..65535 would be cut to 16 bits by the socket address.
  const bool in_range = _port >= 0 && _port <= 65535;
  const int bound = !in_range   ? -1
                    : _port == 0 ? _server.bind_to_any_port(_host)
                                 : (_server.bind_to_port(_host, _port) ? _port : -1);
  if (bound < 0) {
    NV_LOG(ERROR) << "Failed to bind " << where;
    return NV_ERR_SERVICE;
  }
  const socket_t listening = _server.listening_socket(kListenBacklog);
  detail::ConnectionLimits limits = _connection_limits;
  limits.connections = connection_bound(limits.connections);
  StopSignals signals;
  _bound_port = bound;
  const bool served = detail::run_connection_loop(
      _server, listening, _deadlines, limits, _max_body_bytes,
      [this] { return _stop_requested.load() || detail::stop_signalled(); });
  _server.close_listening();
  if (!served) {
    // The listening socket failed while accepting.
    NV_LOG(ERROR) << "Failed to bind " << where;
    return NV_ERR_SERVICE;
  }
  NV_LOG(INFO) << "HTTP serving has shutdown";
  return NV_OK;
}

void HttpServer::stop() { _stop_requested = true; }

void HttpServer::write_response_common(httplib::Response& res) {
  res.set_header("Access-Control-Allow-Methods", "POST, GET, OPTIONS");
  res.set_header("Access-Control-Allow-Headers", "content-type,x-requested-with,cache-control");
  res.set_header("Access-Control-Allow-Origin", "*");
}

void HttpServer::write_response(httplib::Response& res, int code, const std::string& message) {
  picojson::object obj;
  obj["error_code"] = picojson::value(static_cast<int64_t>(code));
  obj["message"] = picojson::value(detail::valid_utf8(message));
  write_response_common(res);
  res.set_content(picojson::value(obj).serialize(), "text/json");
}

void HttpServer::write_response(httplib::Response& res, picojson::value& results, long cost_ms) {
  picojson::object obj;
  obj["cost_ms"] = picojson::value(static_cast<int64_t>(cost_ms));
  obj["error_code"] = picojson::value(static_cast<int64_t>(NV_OK));
  obj["results"] = results;
  make_valid_utf8(obj["results"]);
  write_response_common(res);
  res.set_content(picojson::value(obj).serialize(), "text/json");
}

}  // namespace norvane
