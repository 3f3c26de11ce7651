// Instance-mask decoding, padding and layout conversion.

#include <random>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "masks/rle_support.h"
#include "norvane/nv_cv.h"
#include "support/log_capture.h"

using namespace norvane;

namespace {

// Model outputs for one image: box rows {label, score, x1, y1, x2, y2} and C planes
// of 28×28 per row, each plane filled with one value.
struct Outputs {
  int classes = 2;
  std::vector<float> boxes, masks;
  void add(float label, std::vector<float> box, float plane_value = 1.0f) {
    boxes.insert(boxes.end(), {label, 0.9f});
    boxes.insert(boxes.end(), box.begin(), box.end());
    masks.resize(masks.size() + classes * 28 * 28, plane_value);
  }
  int rows() const { return static_cast<int>(boxes.size() / 6); }
  std::vector<EdgeResultData> run(int height, int width, float scale = 1.0f) const {
    std::vector<EdgeResultData> out;
    EXPECT_EQ(vision::mask2result(boxes.data(), masks.data(), {rows(), 6}, {rows(), classes, 28, 28}, height,
                                  width, scale, out),
              0);
    return out;
  }
};

// The plain definition of the string: transpose, encode the whole matrix.
std::string column_major_string(const cv::Mat& mask) {
  cv::Mat t;
  cv::transpose(mask, t);
  mask_test::Rle r;
  rleEncode(&r.r, t.data, mask.cols, mask.rows, 1);
  return mask_test::to_string(r.r);
}

}  // namespace

TEST(MaskToResult, StringIsTheColumnMajorEncodingOfTheMask) {
  // Boxes inside, across and beyond every edge, on images down to one row or column.
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> unit(0, 1);
  for (cv::Size size : {cv::Size(120, 90), cv::Size(50, 1), cv::Size(1, 50), cv::Size(3, 2)}) {
    Outputs out;
    for (int i = 0; i < 60; i++) {
      const float x1 = (unit(gen) * 1.6f - 0.3f) * size.width, y1 = (unit(gen) * 1.6f - 0.3f) * size.height;
      out.add(i % 2, {x1, y1, x1 + unit(gen) * size.width, y1 + unit(gen) * size.height});
      for (int p = 0; p < 2 * 28 * 28; p++) out.masks[out.masks.size() - 1 - p] = unit(gen);
    }
    const auto res = out.run(size.height, size.width);
    ASSERT_EQ(res.size(), 60u);
    for (const auto& r : res) {
      ASSERT_EQ(r.mask.size(), size);
      ASSERT_EQ(r.mask.type(), CV_8UC1);
      EXPECT_EQ(r.mask_rle, column_major_string(r.mask)) << size;
      EXPECT_EQ(cv::countNonZero(r.mask > 1), 0);
    }
    EXPECT_NE(res[0].mask.data, res[1].mask.data);
  }
}

TEST(MaskToResult, BoxesPastTheEdgesWriteOnlyInside) {
  Outputs out;
  out.add(1, {110, 50, 140, 70});  // past the right edge
  out.add(0, {-20, -10, 10, 20});  // negative corner
  out.add(0, {40, 30, 20, 60});    // x2 < x1: one column
  const auto res = out.run(80, 120);
  ASSERT_EQ(res.size(), 3u);
  cv::Rect within[] = {{110, 50, 10, 21}, {0, 0, 11, 21}, {40, 30, 1, 31}};
  for (int i = 0; i < 3; i++) {
    cv::Mat outside = res[i].mask.clone();
    outside(within[i]).setTo(0);
    EXPECT_EQ(cv::countNonZero(outside), 0) << i;
    EXPECT_GT(cv::countNonZero(res[i].mask), 0) << i;
  }
  EXPECT_FLOAT_EQ(res[0].x2, 140.0f / 120);
  EXPECT_FLOAT_EQ(res[1].y1, -10.0f / 80);
  EXPECT_EQ(res[0].index, 1);
  EXPECT_FLOAT_EQ(res[0].prob, 0.9f);
}

TEST(MaskToResult, LowPlaneGivesOneRunOfZeros) {
  Outputs out;
  out.add(0, {10, 10, 50, 40}, 0.5f);
  out.add(0, {0, 0, 0, 0}, 0.5f);
  // Image size is the fed size divided by the scale, truncated.
  const auto res = out.run(60, 90, 0.7f);
  ASSERT_EQ(res.size(), 2u);
  EXPECT_EQ(res[0].mask.size(), cv::Size(128, 85));
  mask_test::Rle zeros(1, 1, {85 * 128});
  EXPECT_EQ(res[0].mask_rle, mask_test::to_string(zeros.r));
  EXPECT_EQ(cv::countNonZero(res[0].mask), 0);
}

TEST(MaskToResult, EmptyShapesAndBadRows) {
  norvane_test::LogCapture cap(1);
  Outputs out;
  out.add(0, {1, 1, 5, 5});
  std::vector<EdgeResultData> res;
  vision::mask2result(out.boxes.data(), out.masks.data(), {1, 6}, {1, 2, 28, 28}, 20, 20, 1.0f, res);
  vision::mask2result(out.boxes.data(), out.masks.data(), {2, 6}, {2, 2, 28}, 20, 20, 1.0f, res);
  EXPECT_EQ(cap.count(el::Level::Info, "Result Empty"), 2);
  EXPECT_EQ(cap.count(el::Level::Verbose, "Masks shape: 2,2,28"), 1);
  cap.clear();
  vision::mask2result(nullptr, nullptr, {0, 6}, {0, 2, 28, 28}, 20, 20, 1.0f, res);
  EXPECT_EQ(cap.count(el::Level::Info, "Result Empty") + cap.count(el::Level::Warning, ""), 0);
  EXPECT_TRUE(res.empty());

  // A box of billions of cells (a network gone wrong) used to be resized in full,
  // gigabytes for one row: it is skipped, the row after it kept.
  {
    Outputs huge;
    huge.add(0, {1, 1, 5, 5});
    huge.add(1, {0, 0, 1e9f, 1e9f});
    huge.add(1, {2, 2, 6, 6});
    const auto kept = huge.run(20, 20);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].x1, 2.0f / 20);
    // A picture of rows but no columns: a box starting at −0.5 used to be pasted
    // into column trunc(−0.5) = 0 of the empty mask (a store to null).
    Outputs left;
    left.add(0, {-0.5f, 1, 3, 5});
    left.add(0, {-0.5f, 1, 3, 5});
    for (const EdgeResultData& r : left.run(20, 0)) EXPECT_EQ(r.mask.cols, 0);
    // Likewise a picture size of billions of pixels per mask (a tiny scale).
    std::vector<EdgeResultData> none;
    vision::mask2result(huge.boxes.data(), huge.masks.data(), {3, 6}, {3, 2, 28, 28}, 20, 20, 1e-6f, none);
    EXPECT_TRUE(none.empty());
  }

  // Labels outside [0, C) have no plane to read: those rows are skipped.
  out.add(2, {1, 1, 5, 5});
  out.add(-1, {1, 1, 5, 5});
  out.add(std::nanf(""), {1, 1, 5, 5});
  out.add(1, {1, 1, 5, 5});
  res = out.run(20, 20);
  ASSERT_EQ(res.size(), 2u);
  EXPECT_EQ(res[1].index, 1);

  // Planes without cells (Mh or Mw 0) used to yield no records: each row still
  // gets its record, with an all-zero mask.
  for (const std::vector<int>& planes : {std::vector<int>{5, 2, 0, 28}, std::vector<int>{5, 2, 28, 0}}) {
    res.clear();
    vision::mask2result(out.boxes.data(), nullptr, {out.rows(), 6}, planes, 20, 30, 1.0f, res);
    ASSERT_EQ(res.size(), 2u);  // labels 0 and 1; the others still have no plane
    for (const EdgeResultData& r : res) {
      EXPECT_EQ(r.mask.size(), cv::Size(30, 20));
      EXPECT_EQ(cv::countNonZero(r.mask), 0);
      EXPECT_EQ(r.mask_rle, mask_test::to_string(mask_test::Rle(20, 30, {600}).r));
    }
  }
}

TEST(PadImage, PadsBottomAndRightWithBlack) {
  cv::Mat img(100, 70, CV_8UC3, cv::Scalar(7, 8, 9)), dst;
  ASSERT_EQ(vision::pad_image(img, dst, 32), 0);
  ASSERT_EQ(dst.size(), cv::Size(96, 128));
  EXPECT_EQ(cv::norm(dst(cv::Rect(0, 0, 70, 100)), img, cv::NORM_INF), 0);
  EXPECT_EQ(cv::countNonZero(dst(cv::Rect(0, 100, 96, 28)).reshape(1)), 0);
  EXPECT_EQ(cv::countNonZero(dst(cv::Rect(70, 0, 26, 128)).reshape(1)), 0);

  cv::Mat roi = img(cv::Rect(3, 3, 40, 50));  // strided source padded in place
  vision::pad_image(roi, roi, 32);
  EXPECT_EQ(roi.size(), cv::Size(64, 64));
  EXPECT_EQ(roi.at<cv::Vec3b>(49, 39), cv::Vec3b(7, 8, 9));

  cv::Mat aligned(64, 32, CV_8UC3), untouched;
  vision::pad_image(aligned, untouched, 32);
  EXPECT_TRUE(untouched.empty());
}

// The padded size was computed in single precision: 16777217 rows came out as
// 16777216 and the copy wrote past the new image (AddressSanitizer).
TEST(PadImage, SizesAboveTwoToTheTwentyFourAreExact) {
  // Alignment 2 keeps the images small (100 MB) and fails the same way.
  cv::Mat tall(16777217, 1, CV_8UC3, cv::Scalar(1, 2, 3)), dst;
  ASSERT_EQ(vision::pad_image(tall, dst, 2), 0);
  EXPECT_EQ(dst.size(), cv::Size(2, 16777218));
  EXPECT_EQ(dst.at<cv::Vec3b>(16777216, 0), cv::Vec3b(1, 2, 3));
  EXPECT_EQ(dst.at<cv::Vec3b>(16777217, 1), cv::Vec3b(0, 0, 0));
  tall.release();
  dst.release();

  // A padded side past what an int holds is refused before anything is read,
  // the destination untouched (the header only claims the columns).
  uchar pixel[3] = {0, 0, 0};
  cv::Mat wide(1, 2147483647, CV_8UC3, pixel), untouched;
  EXPECT_EQ(vision::pad_image(wide, untouched, 32), -1);
  EXPECT_TRUE(untouched.empty());
}

TEST(ChannelLayout, PlanarToInterleaved) {
  std::vector<unsigned char> planes(3 * 4 * 5);
  for (size_t i = 0; i < planes.size(); i++) planes[i] = (i / 20 + 1) * 10;
  cv::Mat bgr;
  ASSERT_EQ(vision::chw2hwc_rgb2bgr(planes.data(), 4, 5, bgr), 0);
  EXPECT_EQ(bgr.size(), cv::Size(5, 4));
  EXPECT_EQ(cv::norm(bgr, cv::Mat(4, 5, CV_8UC3, cv::Scalar(30, 20, 10)), cv::NORM_INF), 0);

  cv::Mat src(4, 5, CV_8UC3, planes.data()), hwc;
  ASSERT_EQ(vision::chw2hwc(src, hwc), 0);
  EXPECT_EQ(cv::norm(hwc, cv::Mat(4, 5, CV_8UC3, cv::Scalar(10, 20, 30)), cv::NORM_INF), 0);
  cv::Mat gray(4, 5, CV_8UC1), kept;
  EXPECT_EQ(vision::chw2hwc(gray, kept), -1);
  EXPECT_TRUE(kept.empty());
}
