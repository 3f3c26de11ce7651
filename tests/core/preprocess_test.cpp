// The CPU engine's preprocessing: channel fix-up, resize policy per mode,
// padding, channel order and box scales.

#include <gtest/gtest.h>

#include "core/core_test_support.h"
#include "support/log_capture.h"

using norvane_test::LogCapture;
using norvane_test::ProbePredictor;

namespace {

class PreprocessTest : public ::testing::Test {
 protected:
  void mode(int64_t n_type, int resize_w = 0, int resize_h = 0, int max_size = 0, int target_size = 0,
            int color = norvane::BGR) {
    p._model_config.nType = n_type;
    p._resize_w = resize_w;
    p._resize_h = resize_h;
    p._max_size = max_size;
    p._target_size = target_size;
    p._color_format = color;
  }
  // Runs the preprocessing on a cols x rows image of the given type.
  cv::Mat run(int cols, int rows, int type = CV_8UC3) {
    cv::Mat in(rows, cols, type, cv::Scalar(10, 20, 30, 40));
    cv::Mat out;
    p.preprocess_image(in, norvane::BGR, out);
    return out;
  }

  ProbePredictor p;
};

TEST_F(PreprocessTest, ShortSideModeKeepsFittingImageAndPadsTo32) {
  mode(102, 600);
  cv::Mat in(800, 600, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat out;
  p.preprocess_image(in, norvane::BGR, out);
  EXPECT_EQ(out.size(), cv::Size(608, 800));
  EXPECT_FLOAT_EQ(p._box_scale_x, 1.0f / 600);
  EXPECT_FLOAT_EQ(p._box_scale_y, 1.0f / 800);
  // The image sits at the top left, the padding on the right is black.
  EXPECT_EQ(out.at<cv::Vec3b>(799, 599), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(out.at<cv::Vec3b>(0, 600), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(in.size(), cv::Size(600, 800));  // the input is untouched
}

TEST_F(PreprocessTest, ShortSideModeCapsTheLongSide) {
  mode(102, 800);
  LogCapture cap;
  cv::Mat out = run(1000, 4000);
  EXPECT_EQ(cap.count(el::Level::Debug, "Image will be resized to 333,1333"), 1);
  EXPECT_EQ(out.size(), cv::Size(352, 1344));
  EXPECT_FLOAT_EQ(p._box_scale_x, 1.0f / 333);
  EXPECT_FLOAT_EQ(p._box_scale_y, 1.0f / 1333);

  // A configured "max_size" replaces the default cap of 1333.
  mode(102, 800, 0, 1000);
  EXPECT_EQ(run(1000, 4000).size(), cv::Size(256, 1024));  // 250 x 1000 padded
}

TEST_F(PreprocessTest, TargetSizeModeScalesShortSideAndCapsOnlyWithMaxSize) {
  mode(201, 0, 0, 0, 800);  // "max_size" 0 sets no cap
  EXPECT_EQ(run(600, 1200).size(), cv::Size(800, 1600));
  mode(201, 0, 0, 1000, 800);
  EXPECT_EQ(run(600, 1200).size(), cv::Size(500, 1000));
  // Halves round away from zero: 3 x 1.5 = 4.5 gives 5.
  mode(201, 0, 0, 0, 3);
  EXPECT_EQ(run(3, 2).size(), cv::Size(5, 3));
  EXPECT_FLOAT_EQ(p._box_scale_x, 1.0f);  // no box scales in this mode
}

// Without "target_size" the computed size was 0 x 0, which made the resize throw.
TEST_F(PreprocessTest, TargetSizeModeWithoutSizesKeepsTheImage) {
  mode(201);
  LogCapture cap;
  EXPECT_EQ(run(64, 48).size(), cv::Size(64, 48));
  EXPECT_EQ(cap.count(el::Level::Debug, "Image will be resized"), 0);
}

TEST_F(PreprocessTest, KeepSizeModeAndMatchingSizeDoNotResize) {
  mode(10001, 32, 32);
  LogCapture cap;
  EXPECT_EQ(run(123, 45).size(), cv::Size(123, 45));
  mode(0, 123, 45);
  EXPECT_EQ(run(123, 45).size(), cv::Size(123, 45));
  EXPECT_EQ(cap.count(el::Level::Debug, "Image will be resized"), 0);
  EXPECT_EQ(cap.count(el::Level::Debug, "Prep cost "), 2);
  EXPECT_FLOAT_EQ(p._box_scale_x, 1.0f);
  EXPECT_FLOAT_EQ(p._box_scale_y, 1.0f);
}

TEST_F(PreprocessTest, OtherModesResizeToTheConfiguredSize) {
  mode(101, 320, 240);
  LogCapture cap;
  EXPECT_EQ(run(640, 400).size(), cv::Size(320, 240));
  EXPECT_EQ(cap.count(el::Level::Debug, "Image will be resized to 320,240"), 1);
  EXPECT_FLOAT_EQ(p._box_scale_x, 1.0f / 320);
  EXPECT_FLOAT_EQ(p._box_scale_y, 1.0f / 240);

  mode(7, 320, 240);
  p._box_scale_x = p._box_scale_y = 1.0f;
  EXPECT_EQ(run(640, 400).size(), cv::Size(320, 240));
  EXPECT_FLOAT_EQ(p._box_scale_x, 1.0f);
}

TEST_F(PreprocessTest, ChannelsAreFixedAndOrderedForTheNetwork) {
  mode(10001);
  LogCapture cap;
  cv::Mat gray = run(8, 8, CV_8UC1);
  EXPECT_EQ(gray.type(), CV_8UC3);
  EXPECT_EQ(gray.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 10, 10));
  EXPECT_EQ(cap.count(el::Level::Debug, "Gray to BGR"), 1);

  cv::Mat bgra = run(8, 8, CV_8UC4);
  EXPECT_EQ(bgra.type(), CV_8UC3);
  EXPECT_EQ(bgra.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(cap.count(el::Level::Debug, "Drop alpha channel"), 1);
  EXPECT_EQ(cap.count(el::Level::Debug, "Convert to RGB"), 0);

  mode(10001, 0, 0, 0, 0, norvane::RGB);
  EXPECT_EQ(run(8, 8).at<cv::Vec3b>(7, 7), cv::Vec3b(30, 20, 10));
  EXPECT_EQ(run(8, 8, CV_8UC1).type(), CV_8UC3);
  EXPECT_EQ(cap.count(el::Level::Debug, "Convert to RGB"), 2);
}

TEST_F(PreprocessTest, OddInputsPassWithoutThrowing) {
  mode(102, 600, 0, 0, 0, norvane::RGB);
  cv::Mat out = run(0, 0);
  EXPECT_TRUE(out.empty());
  out = run(40, 30, CV_8UC2);  // no order to swap, no 3-byte pixels to pad
  EXPECT_EQ(out.type(), CV_8UC2);
  mode(101, 0, 0);  // no "resize" given
  EXPECT_EQ(run(40, 30).size(), cv::Size(40, 30));
}

}  // namespace
