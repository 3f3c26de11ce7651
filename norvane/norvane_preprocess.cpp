// The CPU engine's image preprocessing: channel fix-up, a resize policy chosen by
// the preprocessing mode ("nType"), padding, channel order and box scales.

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "norvane/edge_predictor_impl.h"
#include "norvane/log.h"
#include "norvane/nv_cv.h"
#include "norvane/utils.h"

namespace norvane {

namespace {

// Preprocessing modes ("nType").
constexpr int64_t kModeFixedWithBoxScale = 101;
constexpr int64_t kModeShortSidePadded = 102;
constexpr int64_t kModeTargetSize = 201;
constexpr int64_t kModeKeepSize = 10001;

// Mode 102's cap on the long side when "max_size" gives none, in pixels.
constexpr int kDefaultMaxSize = 1333;
// Mode 102 pads both sides up to a multiple of this many pixels.
constexpr int kPadAlign = 32;

// Scales the image by s in single precision, rounding halves away from zero.
// A size that comes out below one pixel (from a zero or missing configured size)
// is left alone: the resize would reject it.
bool resize_by(cv::Mat& image, float s) {
  const int w = static_cast<int>(std::round(static_cast<float>(image.cols) * s));
  const int h = static_cast<int>(std::round(static_cast<float>(image.rows) * s));
  if (w < 1 || h < 1) return false;
  NV_LOG(DEBUG) << "Image will be resized to " << w << "," << h;
  cv::resize(image, image, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  return true;
}

// The scale that brings the short side to `short_target`, lowered so that the
// long side stays within `cap` when cap is positive. All in single precision.
float short_side_scale(const cv::Mat& image, int short_target, int cap) {
  const float short_side = static_cast<float>(std::min(image.rows, image.cols));
  const float long_side = static_cast<float>(std::max(image.rows, image.cols));
  float s = static_cast<float>(short_target) / short_side;
  if (cap > 0 && std::round(long_side * s) > static_cast<float>(cap)) s = static_cast<float>(cap) / long_side;
  return s;
}

}  // namespace

void EdgePredictorImpl::preprocess_image(cv::Mat& image, EdgeColorFormat /*format*/, cv::Mat& output) {
  output = image.clone();
  // Nothing to scale; the caller reports empty images.
  if (output.empty()) return;
  // Depths and layouts that OpenCV's colour conversion or resize do not take
  // (CV_64F gray, CV_32S) leave the output empty, which the
  // caller answers with a code instead of an exception.
  if (output.dims != 2) {
    NV_LOG(ERROR) << "Image cannot be preprocessed: " << output.dims << " dimensions";
    output.release();
    return;
  }
  try {
    const int64_t t0 = utils::get_timestamp_ms();

    if (output.channels() == 1) {
      NV_LOG(DEBUG) << "Gray to BGR";
      cv::cvtColor(output, output, cv::COLOR_GRAY2BGR);
    }
    if (output.channels() == 4) {
      NV_LOG(DEBUG) << "Drop alpha channel";
      cv::cvtColor(output, output, cv::COLOR_BGRA2BGR);
    }

    const int64_t mode = _model_config.nType;
    if (mode == kModeShortSidePadded) {
      const int cap = _max_size > 0 ? _max_size : kDefaultMaxSize;
      resize_by(output, short_side_scale(output, _resize_w, cap));
      // Boxes come back relative to the resized image, before padding.
      _box_scale_x = 1.0f / static_cast<float>(output.cols);
      _box_scale_y = 1.0f / static_cast<float>(output.rows);
      // The padding copies 3-byte pixels; other layouts are passed on unpadded
      // rather than read past their rows.
      if (output.type() == CV_8UC3) vision::pad_image(output, output, kPadAlign);
    } else if (mode == kModeTargetSize) {
      // A non-positive "max_size" (absent or 0) sets no cap.
      resize_by(output, short_side_scale(output, _target_size, _max_size));
    } else if (mode != kModeKeepSize) {
      if ((output.rows != _resize_h || output.cols != _resize_w) && _resize_w > 0 && _resize_h > 0) {
        NV_LOG(DEBUG) << "Image will be resized to " << _resize_w << "," << _resize_h;
        cv::resize(output, output, cv::Size(_resize_w, _resize_h), 0, 0, cv::INTER_LINEAR);
      }
    }

    // Only a 3-channel image has an order to swap; others would make cvtColor throw.
    if (_color_format == RGB && output.channels() == 3) {
      NV_LOG(DEBUG) << "Convert to RGB";
      cv::cvtColor(output, output, cv::COLOR_BGR2RGB);
    }
    if (mode == kModeFixedWithBoxScale) {
      _box_scale_x = 1.0f / static_cast<float>(output.cols);
      _box_scale_y = 1.0f / static_cast<float>(output.rows);
    }

    const int64_t t1 = utils::get_timestamp_ms();
    NV_LOG(DEBUG) << "Prep cost " << (t1 - t0) << "ms";
  } catch (const cv::Exception& e) {
    NV_LOG(ERROR) << "Image cannot be preprocessed: " << e.what();
    output.release();
  }
}

}  // namespace norvane
