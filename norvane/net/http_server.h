#pragma once

// The HTTP service: the predictor instances of one process behind five routes.
// Requests are served one connection at a time on the thread that calls
// start_service(); nothing else of the service runs on other threads.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>
#include <picojson.h>

#include "norvane/norvane.h"

namespace norvane {

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
  // Binds and serves on the calling thread until stop(): 0, or 8000002 when the
  // service cannot start or the listening socket fails.
  int start_service();

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

  httplib::Server _server;
  std::string _host;
  int _port = 0;
  std::string _service_id;
  std::vector<std::unique_ptr<EdgePredictor>> _predictors;
  std::mutex _infer_mutex;  // held by POST "/" only
  bool _initialized = false;

  // Written by the serving thread, read by stop() and tests on other threads.
  std::atomic<int> _bound_port{0};
  std::atomic<bool> _serving{false};
  std::atomic<bool> _stop_requested{false};
};

}  // namespace norvane
