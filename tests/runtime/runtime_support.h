#pragma once

// Shared by the runtime tests: loading the example models under models/ (written
// by tools/gen_models.py) and feeding pictures the way the FPGA engine does.

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "tamrin_mobile/tamrin_mobile.h"

namespace runtime_test {

using tamrin_mobile::TamrinPredictor;
using tamrin_mobile::TamrinTensor;

inline std::string model_path(const std::string& dir) { return std::string(NORVANE_SOURCE_DIR) + "/models/" + dir + "/model"; }

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::unique_ptr<TamrinPredictor> load_bytes(const std::string& bytes, int threads = 1) {
  tamrin_mobile::TamrinMobileConfig config;
  config.thread_num = threads;
  config.memory_pack.from_memory = true;
  config.memory_pack.model_data = const_cast<char*>(bytes.data());
  config.memory_pack.model_size = static_cast<int64_t>(bytes.size());
  return tamrin_mobile::CreateTamrinPredictor<tamrin_mobile::TamrinMobileConfig,
                                              tamrin_mobile::TamrinEngineKind::kTamrinMobile>(config);
}

inline std::unique_ptr<TamrinPredictor> load_model(const std::string& dir) { return load_bytes(read_bytes(model_path(dir))); }

// Preprocessing of the example models, as their preprocess_args.json state it.
struct Normalisation {
  float mean;
  float scale;
  bool rgb;
};
constexpr Normalisation kClassifierNorm{127.5f, 1.0f / 127.5f, true};
constexpr Normalisation kDetectorNorm{0.0f, 1.0f / 255.0f, false};
constexpr Normalisation kSegmenterNorm{0.0f, 1.0f / 255.0f, true};

// The engine's image tensor: {1, 3, width, height}, interleaved, owning here.
inline TamrinTensor image_tensor(const cv::Mat& bgr, const Normalisation& norm) {
  cv::Mat picture = bgr;
  if (norm.rgb) cv::cvtColor(bgr, picture, cv::COLOR_BGR2RGB);
  TamrinTensor tensor;
  tensor.shape = {1, 3, picture.cols, picture.rows};
  tensor.data.Resize(static_cast<int64_t>(picture.total()) * 3 * sizeof(float));
  auto* out = static_cast<float*>(tensor.data.data());
  for (int r = 0; r < picture.rows; ++r) {
    const auto* row = picture.ptr<uchar>(r);
    for (int i = 0; i < picture.cols * 3; ++i) *out++ = (static_cast<float>(row[i]) - norm.mean) * norm.scale;
  }
  return tensor;
}

inline TamrinTensor float_tensor(const std::vector<int>& shape, const std::vector<float>& values) {
  TamrinTensor tensor;
  tensor.shape = shape;
  tensor.data.Resize(static_cast<int64_t>(values.size() * sizeof(float)));
  std::copy(values.begin(), values.end(), static_cast<float*>(tensor.data.data()));
  return tensor;
}

inline const float* floats(const TamrinTensor& tensor) { return static_cast<const float*>(tensor.data.data()); }

inline double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double inter = (a & b).area();
  return inter / (a.area() + b.area() - inter);
}

inline double iou(const cv::Mat& a, const cv::Mat& b) {
  const double inter = cv::countNonZero(a & b);
  const double uni = cv::countNonZero(a | b);
  return uni > 0 ? inter / uni : 0.0;
}

}  // namespace runtime_test
