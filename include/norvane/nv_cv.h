#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "norvane/export.h"
#include "norvane/norvane.h"

namespace norvane {
namespace vision {

// Decodes an instance-mask model's box output {N, K} and mask output {N, C, Mh, Mw}
// into records appended to results: box fractions, full-image 0/1 mask, RLE string.
NORVANE_API int mask2result(const float* box_data, const float* mask_data, const std::vector<int>& box_shape,
                            const std::vector<int>& mask_shape, int rows, int cols, float scale,
                            std::vector<EdgeResultData>& results);
// Pads a 3-byte-per-pixel image with black up to multiples of align (bottom and right).
// -1 (destination untouched) when the padded image is too large to be allocated.
NORVANE_API int pad_image(cv::Mat& src, cv::Mat& dst, int align);
// Planar 3-channel bytes to an interleaved image.
NORVANE_API int chw2hwc(const cv::Mat& src, cv::Mat& dst);
// Planar R, G, B bytes to an interleaved BGR image.
NORVANE_API int chw2hwc_rgb2bgr(const unsigned char* data, int height, int width, cv::Mat& dst);

}  // namespace vision
}  // namespace norvane
