// The HTTP service: lifecycle, routes, access log and the reply forms. The
// inference route's handler is in http_server_infer.cpp.

#include "norvane/net/http_server.h"

#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>

#include "norvane/edge_predictor_impl.h"
#include "norvane/error_codes.h"
#include "norvane/log.h"
#include "norvane/net/demo_page.h"
#include "norvane/utils.h"

namespace norvane {

namespace {

// Runs each accepted connection to its end on the listening thread before the
// next accept: one request at a time, no worker threads, no second inference.
class InlineTaskQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// Address reuse only. The library's default also sets SO_REUSEPORT, under which a
// second service binds a port that is already served and silently shares it
// instead of failing to start.
void reuse_address_only(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

void access_log(const httplib::Request& req, const httplib::Response& res) {
  std::string line = "[access_log] \"" + req.method + " " + req.path + "\" " + std::to_string(res.status);
  // Header names compare without regard to case in the library's header map.
  if (req.has_header("User-Agent")) {
    line += " \"" + req.get_header_value("User-Agent") + "\" ";
  }
  NV_LOG(INFO) << line;
}

}  // namespace

HttpServer::HttpServer() {
  signal(SIGPIPE, SIG_IGN);
  _server.new_task_queue = [] { return new InlineTaskQueue(); };
  _server.set_socket_options(reuse_address_only);
  // Replies go out as header and body writes; without this a small body waits
  // for the client's delayed acknowledgement.
  _server.set_tcp_nodelay(true);
}

HttpServer::~HttpServer() {
  for (auto& predictor : _predictors) predictor.reset();
}

int HttpServer::init(const std::string& host, int port, const std::string& service_id) {
  _host = host;
  _port = port;
  _service_id = service_id;
  init_router();
  _initialized = true;
  return NV_OK;
}

int HttpServer::init_router() {
  _server.set_logger(access_log);

  _server.Get("/get/service_id", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(_service_id, "text/plain");
  });
  _server.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) { handle_info(res); });
  _server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(g_res_demo, "text/html"); });
  // The body is read here rather than by the library's default, so that no
  // Content-Type changes it: a form-encoded body (what curl sends by default)
  // would otherwise be capped at 8 KB and parsed into query parameters.
  _server.Post("/", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    std::string body;
    if (req.is_multipart_form_data()) {
      // A form upload is no encoded image; its parts are drained and the empty
      // body fails to decode.
      reader([](const httplib::MultipartFormData&) { return true; }, [](const char*, size_t) { return true; });
    } else {
      reader([&body](const char* data, size_t length) {
        body.append(data, length);
        return true;
      });
    }
    handle_infer(req, body, res);
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
  obj["name"] = picojson::value(info.name);
  obj["kind"] = picojson::value(static_cast<int64_t>(static_cast<uint32_t>(info.kind)));
  // JSON has no NaN or infinity: such a threshold is written as null, which the
  // demo page treats like 0 (it then starts at its own default).
  const double threshold = info.thresholdRec;
  obj["thresholdRec"] = std::isfinite(threshold) ? picojson::value(threshold) : picojson::value();

  write_response_common(res);
  res.set_content(picojson::value(obj).serialize(true), "application/json; charset=utf-8");
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

  _serving = true;
  struct ServingMark {
    std::atomic<bool>& serving;
    ~ServingMark() { serving = false; }
  } mark{_serving};

  const int bound = _port == 0 ? _server.bind_to_any_port(_host) : (_server.bind_to_port(_host, _port) ? _port : -1);
  if (bound < 0) {
    NV_LOG(ERROR) << "Failed to bind " << where;
    return NV_ERR_SERVICE;
  }
  _bound_port = bound;
  if (!_stop_requested && !_server.listen_after_bind()) {
    // The listening socket failed while accepting.
    NV_LOG(ERROR) << "Failed to bind " << where;
    return NV_ERR_SERVICE;
  }
  NV_LOG(INFO) << "HTTP serving has shutdown";
  return NV_OK;
}

void HttpServer::stop() {
  _stop_requested = true;
  // The library ignores a stop that comes before its loop runs: wait for the
  // loop, or for start_service() to give up.
  while (_serving && !_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  _server.stop();
}

void HttpServer::write_response_common(httplib::Response& res) {
  res.set_header("Access-Control-Allow-Methods", "POST, GET, OPTIONS");
  res.set_header("Access-Control-Allow-Headers", "content-type,x-requested-with,cache-control");
  res.set_header("Access-Control-Allow-Origin", "*");
}

void HttpServer::write_response(httplib::Response& res, int code, const std::string& message) {
  picojson::object obj;
  obj["error_code"] = picojson::value(static_cast<int64_t>(code));
  obj["message"] = picojson::value(message);
  write_response_common(res);
  res.set_content(picojson::value(obj).serialize(), "text/json");
}

void HttpServer::write_response(httplib::Response& res, picojson::value& results, long cost_ms) {
  picojson::object obj;
  obj["cost_ms"] = picojson::value(static_cast<int64_t>(cost_ms));
  obj["error_code"] = picojson::value(static_cast<int64_t>(NV_OK));
  obj["results"] = results;
  write_response_common(res);
  res.set_content(picojson::value(obj).serialize(), "text/json");
}

}  // namespace norvane
