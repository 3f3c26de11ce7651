// Image routines over raw pixel and tensor buffers: instance-mask decoding, padding,
// planar-to-interleaved conversion.

#include "norvane/nv_cv.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "norvane/log.h"
#include "norvane/maskApi.h"
#include "norvane/utils.h"

namespace norvane {
namespace vision {

namespace {

constexpr float kMaskCut = 0.5f;  // a resized mask value above this is inside the object
constexpr int kBoxFields = 6;     // label, score, x1, y1, x2, y2
// Largest float below 2^31: truncations under it fit an int.
constexpr float kIntLimit = 2147483520.0f;
// Largest full-image mask, in pixels (1 GB per record; a 32768 x 32768 picture).
constexpr int64_t kMaxMaskPixels = int64_t{1} << 30;
// Largest box, in cells, whose plane is resized: 2^26 floats (256 MB), 32 times a
// 1920 x 1080 picture.
constexpr int64_t kMaxBoxCells = int64_t{1} << 26;
// pad_image's answer for a padded size that cannot be held; the destination is untouched.
constexpr int kPadRefused = -1;

// True when trunc(x) lies in [0, limit): the guard that makes the cast defined.
// An empty range holds nothing, not even the trunc(-0.5) = 0 of (-1, 0).
bool trunc_in_range(float x, float limit) { return limit > 0.0f && x > -1.0f && x < limit; }

// Box extent in cells: trunc(hi − lo + 1), at least 1; false when it is not a finite int.
bool box_cells(float lo, float hi, int* cells) {
  const float span = hi - lo + 1.0f;
  if (!(span < kIntLimit)) return false;  // also rejects NaN and inf
  *cells = span < 1.0f ? 1 : static_cast<int>(span);
  return true;
}

// Calls f(i) for every i < n where a[i] != b[i] (b null: where a[i] != 0); the
// bytes are 0 or 1, so each differing byte holds exactly one set bit of the xor.
template <typename F>
void for_each_difference(const uchar* a, const uchar* b, int n, F f) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y = 0;
    std::memcpy(&x, a + i, 8);
    if (b) std::memcpy(&y, b + i, 8);
    for (x ^= y; x != 0; x &= x - 1) f(i + (__builtin_ctzll(x) >> 3));
  }
  for (; i < n; i++)
    if (a[i] != (b ? b[i] : 0)) f(i);
}

// Run counts of the mask read down each column, columns left to right: the counts
// rleEncode gives for the transposed matrix. The mask is 0 outside region, so only
// the region's rows are read, row by row, and no transposed copy is made.
std::vector<uint> column_major_counts(const cv::Mat& mask, const cv::Rect& region) {
  const int H = mask.rows, W = mask.cols;
  const uint64_t total = static_cast<uint64_t>(H) * static_cast<uint64_t>(W);
  // Pixels (column, row) whose value differs from the pixel before them in the stream.
  std::vector<std::pair<int, int>> starts;
  if (region.area() > 0) {
    const int r0 = region.y, r1 = region.y + region.height, c0 = region.x, c1 = region.x + region.width;
    auto value = [&](int r, int c) { return r >= r0 && r < r1 && c >= c0 && c < c1 ? mask.at<uchar>(r, c) : 0; };
    // Row 0 follows the previous column's last row; column 0 follows a 0.
    if (r0 == 0 || r1 == H)
      for (int c = std::max(c0, 1); c <= std::min(c1, W - 1); c++)
        if (value(0, c) != value(H - 1, c - 1)) starts.emplace_back(c, 0);
    if (c0 == 0 && value(0, 0) != 0) starts.emplace_back(0, 0);
    // Every other row follows the row above it in the same column.
    for (int r = std::max(r0, 1); r <= std::min(r1, H - 1); r++) {
      const uchar* above = r > r0 ? mask.ptr<uchar>(r - 1) + c0 : nullptr;
      const uchar* here = r < r1 ? mask.ptr<uchar>(r) + c0 : nullptr;
      auto add = [&](int i) { starts.emplace_back(c0 + i, r); };
      if (here) {
        for_each_difference(here, above, c1 - c0, add);
      } else {
        for_each_difference(above, nullptr, c1 - c0, add);
      }
    }
    // Stable counting sort by column keeps each column's rows in increasing order
    // (row 0 was added first).
    std::vector<size_t> first(static_cast<size_t>(W) + 2, 0);
    for (const auto& s : starts) first[s.first + 1]++;
    for (size_t c = 1; c < first.size(); c++) first[c] += first[c - 1];
    std::vector<std::pair<int, int>> sorted(starts.size());
    for (const auto& s : starts) sorted[first[s.first]++] = s;
    starts.swap(sorted);
  }
  std::vector<uint> cnts;
  cnts.reserve(starts.size() + 1);
  uint64_t prev = 0;
  for (const auto& s : starts) {
    const uint64_t p = static_cast<uint64_t>(s.first) * H + s.second;
    cnts.push_back(static_cast<uint>(p - prev));
    prev = p;
  }
  cnts.push_back(static_cast<uint>(total - prev));
  return cnts;
}

std::string encode_region(const cv::Mat& mask, const cv::Rect& region) {
  std::vector<uint> cnts = column_major_counts(mask, region);
  RLE rle;
  rleInit(&rle, static_cast<siz>(mask.rows), static_cast<siz>(mask.cols), cnts.size(), cnts.data());
  char* text = rleToString(&rle);
  std::string out(text);
  std::free(text);
  rleFree(&rle);
  return out;
}

}  // namespace

int mask2result(const float* box_data, const float* mask_data, const std::vector<int>& box_shape,
                const std::vector<int>& mask_shape, int rows, int cols, float scale,
                std::vector<EdgeResultData>& results) {
  NV_VLOG(1) << "image segmention postprocess";
  NV_VLOG(1) << "Results shape: " << utils::str_join(box_shape, ",");
  NV_VLOG(1) << "Masks shape: " << utils::str_join(mask_shape, ",");
  // The test is for exactly one row, not zero: a zero-row output just yields nothing below.
  if ((!box_shape.empty() && box_shape[0] == 1) || mask_shape.size() < 4) {
    NV_LOG(INFO) << "Result Empty";
    return 0;
  }
  if (box_shape.size() < 2 || box_shape[0] <= 0 || box_shape[1] <= 0) return 0;
  const int n = box_shape[0], k = box_shape[1];
  const int classes = mask_shape[1], mh = mask_shape[2], mw = mask_shape[3];
  const float hf = static_cast<float>(rows) / scale, wf = static_cast<float>(cols) / scale;
  // Every record gets a full-image mask: a size from a tiny scale (billions of
  // pixels per record) is refused like any other unusable output.
  if (k < kBoxFields || classes <= 0 || mh < 0 || mw < 0 || !trunc_in_range(hf, kIntLimit) ||
      !trunc_in_range(wf, kIntLimit) ||
      static_cast<int64_t>(hf) * static_cast<int64_t>(wf) > kMaxMaskPixels) {
    NV_LOG(WARNING) << "Invalid mask output: box shape " << utils::str_join(box_shape, ",") << ", mask shape "
                    << utils::str_join(mask_shape, ",") << ", image " << rows << "x" << cols << "/" << scale;
    return 0;
  }
  const int H = static_cast<int>(hf), W = static_cast<int>(wf);
  const size_t plane = static_cast<size_t>(mh) * static_cast<size_t>(mw);

  std::vector<int> target_cols;
  for (int r = 0; r < n; r++) {
    const float* row = box_data + static_cast<size_t>(r) * static_cast<size_t>(k);
    const float x1 = row[2], y1 = row[3], x2 = row[4], y2 = row[5];
    int bw, bh;
    // The mask output holds planes only for labels in [0, C); a row outside that
    // or with a box that is not a finite size has no mask to read. A box of more
    // cells than kMaxBoxCells is no detection either: its resized plane alone
    // would take gigabytes.
    if (!trunc_in_range(row[0], static_cast<float>(classes)) || !std::isfinite(x1) || !std::isfinite(y1) ||
        !box_cells(x1, x2, &bw) || !box_cells(y1, y2, &bh) || int64_t{bw} * bh > kMaxBoxCells) {
      NV_LOG(WARNING) << "Skipped detection " << r << ": label " << row[0] << ", box " << x1 << "," << y1 << ","
                      << x2 << "," << y2;
      continue;
    }
    const int label = static_cast<int>(row[0]);

    // The plane inside a one-cell zero border: the border fades the edges when resized.
    // A plane without cells leaves the border alone, and the mask all zero.
    cv::Mat bordered = cv::Mat::zeros(mh + 2, mw + 2, CV_32FC1);
    if (plane > 0) {
      const float* src = mask_data + (static_cast<size_t>(r) * classes + label) * plane;
      cv::Mat(mh, mw, CV_32FC1, const_cast<float*>(src)).copyTo(bordered(cv::Rect(1, 1, mw, mh)));
    }
    cv::Mat resized;
    cv::resize(bordered, resized, cv::Size(bw, bh), 0, 0, cv::INTER_LINEAR);

    // Paste cell by cell; positions outside the image are skipped, and a later cell
    // on the same position (negative x1 or y1) replaces the earlier one.
    cv::Mat mask = cv::Mat::zeros(H, W, CV_8UC1);
    target_cols.assign(bw, -1);
    int c0 = W, c1 = 0, r0 = H, r1 = 0, j0 = bw, j1 = 0;
    for (int j = 0; j < bw; j++) {
      const float tx = static_cast<float>(j) + x1;
      if (trunc_in_range(tx, static_cast<float>(W))) {
        target_cols[j] = static_cast<int>(tx);
        c0 = std::min(c0, target_cols[j]);
        c1 = std::max(c1, target_cols[j] + 1);
        j0 = std::min(j0, j);
        j1 = j + 1;
      }
    }
    // Usually the cells j0..j1 land on consecutive columns and a row is a straight
    // copy; float rounding or a negative x1 can repeat or skip a column.
    bool straight = j0 < j1 && c1 - c0 == j1 - j0;
    for (int j = j0; straight && j < j1; j++) straight = target_cols[j] == c0 + (j - j0);
    for (int i = 0; i < bh; i++) {
      const float ty = static_cast<float>(i) + y1;
      if (!trunc_in_range(ty, static_cast<float>(H))) continue;
      const int y = static_cast<int>(ty);
      r0 = std::min(r0, y);
      r1 = std::max(r1, y + 1);
      const float* value = resized.ptr<float>(i);
      uchar* out = mask.ptr<uchar>(y);
      if (straight) {
        for (int j = j0; j < j1; j++) out[c0 + (j - j0)] = value[j] > kMaskCut ? 1 : 0;
      } else {
        for (int j = j0; j < j1; j++)
          if (target_cols[j] >= 0) out[target_cols[j]] = value[j] > kMaskCut ? 1 : 0;
      }
    }

    EdgeResultData result;
    result.index = label;
    result.prob = row[1];
    result.x1 = x1 / static_cast<float>(W);
    result.y1 = y1 / static_cast<float>(H);
    result.x2 = x2 / static_cast<float>(W);
    result.y2 = y2 / static_cast<float>(H);
    const cv::Rect written = c0 < c1 && r0 < r1 ? cv::Rect(c0, r0, c1 - c0, r1 - r0) : cv::Rect();
    result.mask_rle = encode_region(mask, written);
    result.mask = mask;
    results.push_back(std::move(result));
  }
  return 0;
}

int pad_image(cv::Mat& src, cv::Mat& dst, int align) {
  if (align <= 0 || src.dims != 2 || src.empty()) return 0;
  // Whole-number sizes: a float ceiling loses the last pixel above 2^24 and then
  // comes out smaller than the source.
  const int64_t a = align;
  const int64_t rows = (int64_t{src.rows} + a - 1) / a * a;
  const int64_t cols = (int64_t{src.cols} + a - 1) / a * a;
  if (rows == src.rows && cols == src.cols) return 0;
  constexpr int64_t kMaxSide = std::numeric_limits<int>::max();
  constexpr int64_t kPixelBytes = 3;
  if (rows > kMaxSide || cols > kMaxSide || rows > PTRDIFF_MAX / kPixelBytes / cols) {
    NV_LOG(ERROR) << "Padded image too large: " << rows << "x" << cols;
    return kPadRefused;
  }
  cv::Mat out;
  try {
    out = cv::Mat::zeros(static_cast<int>(rows), static_cast<int>(cols), CV_8UC3);
  } catch (const cv::Exception&) {
    NV_LOG(ERROR) << "Padded image cannot be allocated: " << rows << "x" << cols;
    return kPadRefused;
  }
  // A source with fewer than 3 bytes per pixel gives what it has, never more.
  const size_t row_bytes = static_cast<size_t>(src.cols) * std::min<size_t>(3, src.elemSize());
  for (int i = 0; i < src.rows; i++) std::memcpy(out.ptr(i), src.ptr(i), row_bytes);
  dst = out;
  return 0;
}

namespace {

// Interleaves three planes of rows × cols bytes in the given order.
cv::Mat interleave(const uchar* p0, const uchar* p1, const uchar* p2, int rows, int cols) {
  if (rows <= 0 || cols <= 0) return cv::Mat();
  std::vector<cv::Mat> planes = {cv::Mat(rows, cols, CV_8UC1, const_cast<uchar*>(p0)),
                                 cv::Mat(rows, cols, CV_8UC1, const_cast<uchar*>(p1)),
                                 cv::Mat(rows, cols, CV_8UC1, const_cast<uchar*>(p2))};
  cv::Mat out;
  cv::merge(planes, out);
  return out;
}

}  // namespace

int chw2hwc(const cv::Mat& src, cv::Mat& dst) {
  if (src.channels() != 3) return -1;
  // The planes lie back to back in the buffer; a strided view is made contiguous first.
  const cv::Mat flat = src.isContinuous() ? src : src.clone();
  const size_t plane = static_cast<size_t>(src.rows) * static_cast<size_t>(src.cols);
  dst = interleave(flat.data, flat.data + plane, flat.data + 2 * plane, src.rows, src.cols);
  return 0;
}

int chw2hwc_rgb2bgr(const unsigned char* data, int height, int width, cv::Mat& dst) {
  const size_t plane = height > 0 && width > 0 ? static_cast<size_t>(height) * static_cast<size_t>(width) : 0;
  dst = interleave(data + 2 * plane, data + plane, data, height, width);
  return 0;
}

}  // namespace vision
}  // namespace norvane
