// Latency of one inference request over loopback: an in-process service holding
// the FPGA engine on models/color_classifier, logging as the serving program does
// (DEBUG on; to a file here instead of standard output), fed a 640x480 JPEG.
//
// Reports, over the requests: the round trip seen by the client, the part spent
// in the instance's infer (timed around the call, and as the reply's "cost_ms"),
// and the part outside it (receiving, decoding, JSON, replying). The outside
// median is compared with cv::imdecode alone on the same picture, measured in
// this run: the service should add little beyond the decoding it must do. A
// request of the same size that fails to decode shows the HTTP part alone.
//
//   bench_serving [requests]     (default 500)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <picojson.h>

#include "norvane/edge_controller.h"
#include "norvane/edge_predictor_impl.h"
#include "norvane/net/http_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Forwards to the real engine and times the JSON infer the service calls.
class TimedPredictor : public norvane::EdgePredictorImpl {
 public:
  explicit TimedPredictor(std::unique_ptr<norvane::EdgePredictor> inner)
      : EdgePredictorImpl(norvane::EdgePredictorConfig()), _inner(std::move(inner)) {}

  int init() override {
    int ret = _inner->init();
    _initialized = ret == norvane::NV_OK;
    return ret;
  }
  int model_kind() override { return _inner->model_kind(); }
  norvane::ModelInfo model_info() override { return _inner->model_info(); }
  using EdgePredictorImpl::infer;
  int infer(cv::Mat& image, std::string& json) override {
    auto start = Clock::now();
    int ret = _inner->infer(image, json);
    last_infer_us = micros_since(start);
    return ret;
  }
  int infer(cv::Mat& image, std::string& json, float threshold) override {
    auto start = Clock::now();
    int ret = _inner->infer(image, json, threshold);
    last_infer_us = micros_since(start);
    return ret;
  }

  double last_infer_us = 0;  // written on the serving thread before the reply goes out

 private:
  std::unique_ptr<norvane::EdgePredictor> _inner;
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

cv::Mat make_picture() {
  cv::Mat picture(480, 640, CV_8UC3);
  for (int r = 0; r < picture.rows; ++r)
    for (int c = 0; c < picture.cols; ++c)
      picture.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>(c * 255 / 639), static_cast<uchar>(r * 255 / 479), 96);
  cv::rectangle(picture, cv::Rect(200, 140, 240, 200), cv::Scalar(0, 0, 230), cv::FILLED);
  cv::circle(picture, cv::Point(120, 360), 70, cv::Scalar(40, 200, 40), cv::FILLED);
  cv::Mat noise(picture.size(), CV_8UC3);
  cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
  picture += noise;
  return picture;
}

}  // namespace

int main(int argc, char* argv[]) {
  const int requests = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;

  // Statistics cache and log file in a home of the build tree (the cache is
  // written again at exit, so it stays); usage uploads to a closed loopback port.
  const std::string home = std::string(NORVANE_BINARY_DIR) + "/bench-serving-home";
  std::filesystem::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  auto* controller = norvane::global_controller();
  norvane::EdgeLogConfig log_config;
  log_config.enable_debug = true;
  log_config.log_to_stdout = false;
  log_config.log_to_file = true;
  log_config.max_log_file_size = 1 << 30;
  log_config.log_file_name = home + "/bench.log";
  std::filesystem::remove(log_config.log_file_name);
  controller->set_log_config(log_config);
  controller->set_server_addr("http://127.0.0.1:9");

  norvane::TamrinFluidConfig config;
  config.res_dir = std::string(NORVANE_SOURCE_DIR) + "/models/color_classifier";
  auto timed = std::make_unique<TimedPredictor>(controller->CreateEdgePredictor(config));
  TimedPredictor* probe = timed.get();
  if (timed->init() != norvane::NV_OK) {
    std::fprintf(stderr, "cannot load %s\n", config.res_dir.c_str());
    return 1;
  }

  norvane::HttpServer server;
  server.init("127.0.0.1", 0, "bench");
  std::unique_ptr<norvane::EdgePredictor> predictor = std::move(timed);
  server.add_predictor(predictor);
  std::thread serving([&server] { server.start_service(); });
  while (server.bound_port() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::vector<uchar> jpeg;
  cv::imencode(".jpg", make_picture(), jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
  const std::string body(jpeg.begin(), jpeg.end());

  httplib::Client client("127.0.0.1", server.bound_port());
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  // Decoding alone is timed beside each request, so that both see the same load
  // of the machine.
  const std::string filler(body.size(), 'A');
  std::vector<double> decode_us, http_us, total_us, infer_us, outside_us, cost_ms;
  for (int i = 0; i < requests + 20; ++i) {
    auto decode_start = Clock::now();
    cv::Mat decoded = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    const double decode = micros_since(decode_start);
    if (decoded.empty()) return 1;

    auto start = Clock::now();
    auto reply = client.Post("/", body, "image/jpeg");
    const double total = micros_since(start);
    picojson::value v;
    if (!reply || !picojson::parse(v, reply->body).empty() || v.get("error_code").get<int64_t>() != 0) {
      std::fprintf(stderr, "request %d failed\n", i);
      return 1;
    }
    // The same number of bytes that do not decode: what receiving and answering
    // alone take.
    auto http_start = Clock::now();
    client.Post("/", filler, "image/jpeg");
    const double http_only = micros_since(http_start);

    if (i < 20) continue;  // warm-up
    decode_us.push_back(decode);
    http_us.push_back(http_only);
    total_us.push_back(total);
    infer_us.push_back(probe->last_infer_us);
    outside_us.push_back(total - probe->last_infer_us);
    cost_ms.push_back(static_cast<double>(v.get("cost_ms").get<int64_t>()));
  }
  server.stop();
  serving.join();

  std::printf("bench_serving: %d requests, JPEG 640x480 of %zu bytes, models/color_classifier\n", requests,
              body.size());
  std::printf("%-30s %10s %10s\n", "", "median", "p99");
  auto row = [](const char* name, const std::vector<double>& v, double scale, const char* unit) {
    std::printf("%-30s %10.3f %10.3f %s\n", name, percentile(v, 0.5) * scale, percentile(v, 0.99) * scale, unit);
  };
  row("round trip", total_us, 1e-3, "ms");
  row("in infer (timed)", infer_us, 1e-3, "ms");
  row("in infer (cost_ms)", cost_ms, 1.0, "ms");
  row("outside infer", outside_us, 1e-3, "ms");
  row("cv::imdecode alone", decode_us, 1e-3, "ms");
  row("HTTP only (undecodable body)", http_us, 1e-3, "ms");
  std::printf("outside / imdecode (medians): %.2f (target <= 1.3)\n",
              percentile(outside_us, 0.5) / percentile(decode_us, 0.5));
  return 0;
}
