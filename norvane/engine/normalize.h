#pragma once

// The engines' input normalisation: 8-bit three-channel pixels into 32-bit floats,
// value = (float(byte) - mean[k]) * scale[k] in single precision, subtraction first.
// Both layouts give exactly the values of that formula; only the order differs.

#include <opencv2/core.hpp>

namespace norvane {
namespace engine {

// Interleaved (pixel after pixel, channels inside a pixel), as the FPGA runtime
// reads it: out[(r * cols + c) * 3 + k]. image must be CV_8UC3; out holds
// rows * cols * 3 floats. Rows may be padded (ROIs are fine).
void normalize_interleaved(const cv::Mat& image, const float mean[3], const float scale[3], float* out);

// Planar (channel after channel): out[k * rows * cols + r * cols + c].
void normalize_planar(const cv::Mat& image, const float mean[3], const float scale[3], float* out);

}  // namespace engine
}  // namespace norvane
