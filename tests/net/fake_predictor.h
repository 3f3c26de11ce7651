#pragma once

// A predictor whose answers a test chooses, and a service running it on a
// loopback port of the system's choice in a thread of the test.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <opencv2/core.hpp>

#include "norvane/edge_predictor_impl.h"
#include "norvane/error_codes.h"
#include "norvane/net/http_server.h"

namespace norvane_test {

struct FakeBehaviour {
  // What model_info() reports after init().
  int64_t id = 1234567890123;
  std::string name = "fake/model";
  int kind = norvane::MODEL_KIND_DETECTION;
  float threshold_rec = 0.25f;

  // What the full infer does.
  int code = norvane::NV_OK;
  std::vector<norvane::EdgeResultData> records;
  std::atomic<bool> throw_cv{false};
  std::atomic<bool> throw_info{false};  // model_info() throws
  std::atomic<int> infer_ms{0};  // how long the full infer takes

  // What the full infer saw; written on the serving thread.
  std::mutex mutex;
  std::vector<float> thresholds;
  std::vector<std::string>* destroyed = nullptr;  // receives name when destroyed

  std::vector<float> seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return thresholds;
  }
};

class FakePredictor : public norvane::EdgePredictorImpl {
 public:
  explicit FakePredictor(std::shared_ptr<FakeBehaviour> behaviour)
      : EdgePredictorImpl(norvane::EdgePredictorConfig()), _behaviour(std::move(behaviour)) {}
  ~FakePredictor() override {
    if (_behaviour->destroyed) _behaviour->destroyed->push_back(_behaviour->name);
  }

  int init() override {
    _model_config.bizModelId = _behaviour->id;
    _model_config.modelName = _behaviour->name;
    _model_config.modelType = _behaviour->kind;
    _model_config.thresholdRec = _behaviour->threshold_rec;
    _initialized = true;
    return norvane::NV_OK;
  }

  norvane::ModelInfo model_info() override {
    if (_behaviour->throw_info) throw std::runtime_error("no information");
    return EdgePredictorImpl::model_info();
  }

  using EdgePredictorImpl::infer;
  int infer(cv::Mat& /*image*/, norvane::EdgeColorFormat /*format*/, std::vector<norvane::EdgeResultData>& results,
            float threshold) override {
    {
      std::lock_guard<std::mutex> lock(_behaviour->mutex);
      _behaviour->thresholds.push_back(threshold);
    }
    if (_behaviour->throw_cv) CV_Error(cv::Error::StsBadArg, "fake preprocessing failure");
    std::this_thread::sleep_for(std::chrono::milliseconds(_behaviour->infer_ms.load()));
    results.insert(results.end(), _behaviour->records.begin(), _behaviour->records.end());
    return _behaviour->code;
  }

 private:
  std::shared_ptr<FakeBehaviour> _behaviour;
};

inline std::unique_ptr<norvane::EdgePredictor> make_fake(std::shared_ptr<FakeBehaviour> behaviour, bool init = true) {
  std::unique_ptr<norvane::EdgePredictor> predictor = std::make_unique<FakePredictor>(std::move(behaviour));
  if (init) predictor->init();
  return predictor;
}

// An HttpServer serving fakes on 127.0.0.1 (port of the system's choice) until
// destroyed.
class RunningServer {
 public:
  explicit RunningServer(const std::vector<std::shared_ptr<FakeBehaviour>>& fakes,
                         const std::string& service_id = "svc-42",
                         const std::function<void(norvane::HttpServer&)>& setup = nullptr) {
    _server.init("127.0.0.1", 0, service_id);
    if (setup) setup(_server);
    for (const auto& fake : fakes) {
      auto predictor = make_fake(fake);
      _server.add_predictor(predictor);
    }
    _thread = std::thread([this] {
      _result = _server.start_service();
      _done = true;
    });
    while (_server.bound_port() == 0 && !_done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~RunningServer() { stop(); }

  // Stops serving; the result of start_service().
  int stop() {
    if (_thread.joinable()) {
      _server.stop();
      _thread.join();
    }
    return _result;
  }
  // True once start_service() has returned by itself within timeout_ms.
  bool ended_within(int timeout_ms) {
    for (int i = 0; i < timeout_ms && !_done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return _done;
  }
  int port() const { return _server.bound_port(); }
  httplib::Client client() const { return httplib::Client("127.0.0.1", port()); }

 private:
  norvane::HttpServer _server;
  std::thread _thread;
  std::atomic<int> _result{-1};
  std::atomic<bool> _done{false};
};

}  // namespace norvane_test
