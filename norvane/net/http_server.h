#pragma once

// The HTTP service: the predictor instances of one process behind five routes.
// Requests are served one at a time on the thread that calls start_service(),
// which also reads every open connection side by side (http_server_loop.cpp);
// nothing else of the service runs on other threads.
//
// Limits against careless or hostile clients: a request body of at most
// max_body_bytes (environment "EDGE_MAX_BODY_BYTES", default 256 MiB; also the
// bodies held in all for requests not yet served), a picture of at most
// max_image_pixels (environment "EDGE_MAX_IMAGE_PIXELS", default 64000000) by its
// header, the head limits and open connections of ConnectionLimits, and the time
// bounds of RequestDeadlines.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>
#include <picojson.h>

#include "norvane/net/http_server_conn.h"
#include "norvane/norvane.h"

namespace norvane {

namespace detail {
// Text for one log line: control bytes, '"' and '\\' written as \xNN, so that a
// request can neither start a record of its own nor end a quoted field early.
std::string escape_controls(const std::string& text);
// A cap's text: all digits, 1 to 2^63 - 1.
bool parse_limit(const std::string& text, uint64_t& value);
// The text with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD: replies are JSON, which must be UTF-8.
std::string valid_utf8(const std::string& text);
bool is_valid_utf8(const std::string& text);
}  // namespace detail

class HttpServer {
 public:
  // Makes the whole process ignore SIGPIPE from here on: a client that hangs up
  // while its reply is written must not kill the service.
  HttpServer();
  // Destroys the instances in the order they were added.
  virtual ~HttpServer();

  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Stores where to listen and the service id, registers the routes; always 0.
  int init(const std::string& host, int port, const std::string& service_id);
  int init_router();
  // Takes the instance over (predictor is left empty) when it is an initialised
  // EdgePredictorImpl; otherwise 8000002 and the caller keeps it.
  int add_predictor(std::unique_ptr<EdgePredictor>& predictor);
  // Binds and serves on the calling thread until stop(), or until SIGTERM or
  // SIGINT when the process has no handler of its own for them: 0, or 8000002
  // when the service cannot start or the listening socket fails.
  int start_service();

  // Caps in force from now on (init() reads them from the environment).
  void set_limits(uint64_t max_image_pixels, size_t max_body_bytes);
  void set_deadlines(const detail::RequestDeadlines& deadlines) { _deadlines = deadlines; }
  void set_connection_limits(const detail::ConnectionLimits& limits) { _connection_limits = limits; }
  // The bytes of one connection as they might arrive, served as a socket's
  // would be, after init(): the replies' bytes. No socket is involved.
  std::string serve_pieces(const std::vector<std::string>& pieces) {
    return detail::serve_pieces(_server, pieces, _max_body_bytes, _connection_limits);
  }
  uint64_t max_image_pixels() const { return _max_image_pixels; }
  size_t max_body_bytes() const { return _max_body_bytes; }

  static constexpr uint64_t kDefaultMaxImagePixels = 64000000;
  static constexpr size_t kDefaultMaxBodyBytes = size_t(256) << 20;

  // Ends a running start_service() from another thread, which then returns 0;
  // a stop asked before serving starts makes start_service() return at once.
  // The serving program never calls it.
  void stop();
  // The port actually bound (the system's choice when init() was given 0); 0
  // until bound.
  int bound_port() const { return _bound_port.load(); }

  // Code reply: {"error_code","message"}, compact, "text/json", cross-origin headers.
  static void write_response(httplib::Response& res, int code, const std::string& message);
  // Result reply: {"cost_ms","error_code":0,"results"}, compact, "text/json",
  // cross-origin headers.
  static void write_response(httplib::Response& res, picojson::value& results, long cost_ms);
  static void write_response_common(httplib::Response& res);

 private:
  void handle_info(httplib::Response& res);
  // POST "/": takes the inference lock; contains every exception (http_server_infer.cpp).
  void handle_infer(const httplib::Request& req, const std::string& body, httplib::Response& res);
  void infer_locked(const httplib::Request& req, const std::string& body, httplib::Response& res);
  // The whole body of POST "/" into body, its content codings undone; false,
  // with the refusal's status (415 for a coding not undone here, 413 when what it
  // decodes to is over the cap, 400 when it cannot be decoded).
  bool read_body(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                 std::string& body);
  // The library's status for a refused request, and the connection closed after it.
  void refuse(httplib::Response& res, int status);

  detail::BoundedServer _server;
  detail::RequestDeadlines _deadlines;
  detail::ConnectionLimits _connection_limits;
  std::string _host;
  int _port = 0;
  std::string _service_id;
  std::vector<std::unique_ptr<EdgePredictor>> _predictors;
  std::mutex _infer_mutex;  // held by POST "/" only
  bool _initialized = false;
  uint64_t _max_image_pixels = kDefaultMaxImagePixels;
  size_t _max_body_bytes = kDefaultMaxBodyBytes;

  // Written by the serving thread, read by stop() and tests on other threads.
  std::atomic<int> _bound_port{0};
  std::atomic<bool> _stop_requested{false};
};

}  // namespace norvane
