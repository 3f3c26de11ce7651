#include "norvane/engine/normalize.h"

#include <cstdint>

namespace norvane {
namespace engine {

namespace {

// 16 pixels = 48 bytes: a whole number of pixels, so the per-channel constants
// repeat identically in every block and the block body vectorises without shuffles.
constexpr int kBlockPixels = 16;
constexpr int kBlockValues = kBlockPixels * 3;

struct Pattern {
  float mean[kBlockValues];
  float scale[kBlockValues];
};

Pattern make_pattern(const float mean[3], const float scale[3]) {
  Pattern p;
  for (int i = 0; i < kBlockValues; ++i) {
    p.mean[i] = mean[i % 3];
    p.scale[i] = scale[i % 3];
  }
  return p;
}

// n interleaved values, n a multiple of 3.
inline void normalize_span(const uint8_t* src, float* dst, int64_t n, const Pattern& p) {
  int64_t i = 0;
  for (; i + kBlockValues <= n; i += kBlockValues) {
    const uint8_t* s = src + i;
    float* d = dst + i;
    for (int j = 0; j < kBlockValues; ++j) d[j] = (static_cast<float>(s[j]) - p.mean[j]) * p.scale[j];
  }
  for (int j = 0; i < n; ++i, ++j) dst[i] = (static_cast<float>(src[i]) - p.mean[j]) * p.scale[j];
}

}  // namespace

void normalize_interleaved(const cv::Mat& image, const float mean[3], const float scale[3], float* out) {
  CV_Assert(image.type() == CV_8UC3);
  const Pattern p = make_pattern(mean, scale);
  if (image.isContinuous()) {
    normalize_span(image.ptr<uint8_t>(0), out, static_cast<int64_t>(image.total()) * 3, p);
    return;
  }
  const int64_t row_values = static_cast<int64_t>(image.cols) * 3;
  for (int r = 0; r < image.rows; ++r) normalize_span(image.ptr<uint8_t>(r), out + r * row_values, row_values, p);
}

void normalize_planar(const cv::Mat& image, const float mean[3], const float scale[3], float* out) {
  CV_Assert(image.type() == CV_8UC3);
  const int64_t plane = static_cast<int64_t>(image.rows) * image.cols;
  float* planes[3] = {out, out + plane, out + 2 * plane};
  for (int r = 0; r < image.rows; ++r) {
    const uint8_t* s = image.ptr<uint8_t>(r);
    const int64_t base = static_cast<int64_t>(r) * image.cols;
    for (int c = 0; c < image.cols; ++c, s += 3) {
      for (int k = 0; k < 3; ++k) planes[k][base + c] = (static_cast<float>(s[k]) - mean[k]) * scale[k];
    }
  }
}

}  // namespace engine
}  // namespace norvane
