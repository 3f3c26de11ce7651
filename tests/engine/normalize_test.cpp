// The vectorised normalisation against the plain formula, bit for bit.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "norvane/engine/normalize.h"

namespace {

const float kMean[3] = {104.0f, 117.5f, 123.25f};
const float kScale[3] = {0.017f, 0.0175f, 1.0f / 58.4f};

float formula(const cv::Mat& image, int r, int c, int k) {
  return (static_cast<float>(image.at<cv::Vec3b>(r, c)[k]) - kMean[k]) * kScale[k];
}

}  // namespace

TEST(Normalize, MatchesFormulaBitForBitInBothLayouts) {
  const int sizes[] = {1, 2, 3, 5, 15, 16, 17, 31, 33, 64, 101};
  for (int rows : sizes) {
    for (int cols : sizes) {
      // A ROI of a wider picture: rows are not contiguous, as for a caller's crop.
      cv::Mat parent(rows, cols + 3, CV_8UC3);
      cv::randu(parent, 0, 256);
      for (const cv::Mat& image : {parent.colRange(0, cols).clone(), parent.colRange(1, cols + 1)}) {
        const size_t n = static_cast<size_t>(rows) * cols * 3;
        std::vector<float> interleaved(n + 1, -7.0f), planar(n + 1, -7.0f);  // last value guards overruns
        norvane::engine::normalize_interleaved(image, kMean, kScale, interleaved.data());
        norvane::engine::normalize_planar(image, kMean, kScale, planar.data());
        ASSERT_EQ(interleaved[n], -7.0f);
        ASSERT_EQ(planar[n], -7.0f);
        for (int r = 0; r < rows; ++r) {
          for (int c = 0; c < cols; ++c) {
            for (int k = 0; k < 3; ++k) {
              const float want = formula(image, r, c, k);
              const size_t at_i = (static_cast<size_t>(r) * cols + c) * 3 + k;
              const size_t at_p = static_cast<size_t>(k) * rows * cols + static_cast<size_t>(r) * cols + c;
              ASSERT_EQ(std::memcmp(&interleaved[at_i], &want, sizeof want), 0) << rows << "x" << cols;
              ASSERT_EQ(std::memcmp(&planar[at_p], &want, sizeof want), 0) << rows << "x" << cols;
            }
          }
        }
      }
    }
  }
}
