// The example models under models/ give the answers models/README.md promises,
// when run through the CPU runtime with pictures normalised as the engine does.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "norvane/model_security.h"
#include "norvane/nv_cv.h"
#include "runtime/runtime_support.h"

namespace {

using namespace runtime_test;

constexpr int kClassifierSize = 64;
constexpr int kDetectorSize = 96;
// The segmenter is built for an 800 x 600 camera.
constexpr int kSegmenterWidth = 800;
constexpr int kSegmenterHeight = 600;
constexpr int kMaskSize = 64;
constexpr float kThreshold = 0.5f;  // "thresholdRec" of every example model
const cv::Scalar kGray(128, 128, 128);
const cv::Scalar kRed(0, 0, 255);  // BGR
const cv::Scalar kGreen(0, 255, 0);

std::vector<TamrinTensor> run(TamrinPredictor& predictor, const std::vector<TamrinTensor>& inputs) {
  std::vector<TamrinTensor> outputs(1);
  EXPECT_TRUE(predictor.Run(inputs, &outputs, -1));
  return outputs;
}

// A filled rectangle covers columns x..x+w-1 and rows y..y+h-1.
cv::Mat picture_with_rect(const cv::Rect& rect, const cv::Scalar& color) {
  cv::Mat picture(kDetectorSize, kDetectorSize, CV_8UC3, kGray);
  cv::rectangle(picture, rect, color, cv::FILLED);
  return picture;
}

TEST(ColorClassifier, NamesSolidColours) {
  auto predictor = load_model("color_classifier");
  ASSERT_NE(predictor, nullptr);
  const cv::Scalar colours[] = {kRed, kGreen, cv::Scalar(255, 0, 0)};  // label order: red, green, blue
  for (int label = 0; label < 3; ++label) {
    cv::Mat picture(kClassifierSize, kClassifierSize, CV_8UC3, colours[label]);
    auto outputs = run(*predictor, {image_tensor(picture, kClassifierNorm)});
    ASSERT_EQ(outputs.size(), 1u);
    ASSERT_EQ(outputs[0].shape, (std::vector<int>{1, 3}));
    EXPECT_GE(floats(outputs[0])[label], 0.9f) << "label " << label;
  }
}

// The CPU engine feeds a planar tensor named "image" of shape {1, 3, rows, cols};
// it must reach the network as it stands, not be re-read as interleaved.
TEST(ColorClassifier, PlanarImageTensorAnswersAsTheInterleavedOne) {
  auto predictor = load_model("color_classifier");
  ASSERT_NE(predictor, nullptr);
  cv::Mat picture(kClassifierSize, kClassifierSize / 2, CV_8UC3, kRed);
  picture(cv::Rect(0, 0, kClassifierSize / 2, kClassifierSize / 4)).setTo(cv::Scalar(255, 0, 0));
  const TamrinTensor interleaved = image_tensor(picture, kClassifierNorm);
  const int rows = picture.rows, cols = picture.cols;
  std::vector<float> planar(static_cast<size_t>(rows) * cols * 3);
  const float* src = floats(interleaved);
  for (int p = 0; p < rows * cols; ++p)
    for (int c = 0; c < 3; ++c) planar[static_cast<size_t>(c) * rows * cols + p] = src[p * 3 + c];
  TamrinTensor feed = float_tensor({1, 3, rows, cols}, planar);
  feed.name = "image";
  const auto expected = run(*predictor, {interleaved});
  const auto actual = run(*predictor, {feed});
  ASSERT_EQ(actual.size(), 1u);
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(floats(actual[0])[i], floats(expected[0])[i]) << i;
  EXPECT_GT(floats(actual[0])[0], floats(actual[0])[2]);  // more red than blue
}

TEST(ColorClassifier, EncipheredCopiesAnswerAsThePlainOne) {
  cv::Mat picture(kClassifierSize, kClassifierSize, CV_8UC3, kGreen);
  const TamrinTensor input = image_tensor(picture, kClassifierNorm);
  auto plain = load_model("color_classifier");
  ASSERT_NE(plain, nullptr);
  const auto expected = run(*plain, {input});
  for (long type : {1L, 2L}) {
    const std::string path = model_path("color_classifier_enc" + std::to_string(type));
    // Enciphered bytes are not a network.
    EXPECT_EQ(load_bytes(read_bytes(path)), nullptr) << "type " << type;
    norvane::ModelSecurity security(0, type, path, "");
    std::string bytes;
    ASSERT_EQ(security.decrypt_model_to_str(bytes), 0) << "type " << type;
    auto predictor = load_bytes(bytes);
    ASSERT_NE(predictor, nullptr) << "type " << type;
    const auto outputs = run(*predictor, {input});
    ASSERT_EQ(outputs[0].shape, expected[0].shape);
    for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(floats(outputs[0])[i], floats(expected[0])[i]);
  }
}

// Rectangles wider than tall and taller than wide: a width/height mix-up in the
// image tensor's layout would swap the box's axes.
TEST(RedDetector, FindsDrawnRectangleAsImageFractions) {
  auto predictor = load_model("red_detector");
  ASSERT_NE(predictor, nullptr);
  for (const cv::Rect rect : {cv::Rect(30, 20, 41, 21), cv::Rect(5, 40, 12, 50), cv::Rect(0, 0, 96, 96)}) {
    auto outputs = run(*predictor, {image_tensor(picture_with_rect(rect, kRed), kDetectorNorm)});
    ASSERT_EQ(outputs[0].shape, (std::vector<int>{1, 6}));
    const float* row = floats(outputs[0]);
    EXPECT_EQ(row[0], 0.0f);
    EXPECT_GE(row[1], kThreshold);
    const cv::Rect2d found(row[2] * kDetectorSize, row[3] * kDetectorSize, (row[4] - row[2]) * kDetectorSize,
                           (row[5] - row[3]) * kDetectorSize);
    EXPECT_GE(iou(found, cv::Rect2d(rect)), 0.9) << rect;
    // The result JSON truncates to whole pixels in single precision; fractions a
    // rounding step under 20/96 once gave "top": 19 for a rectangle drawn at row 20.
    const auto n = static_cast<float>(kDetectorSize);
    EXPECT_EQ(static_cast<int>(n * row[2]), rect.x);
    EXPECT_EQ(static_cast<int>(n * row[3]), rect.y);
    EXPECT_EQ(static_cast<int>((row[4] - row[2]) * n), rect.width);
    EXPECT_EQ(static_cast<int>((row[5] - row[3]) * n), rect.height);
  }
}

TEST(RedDetector, FindsNothingWithoutRed) {
  auto predictor = load_model("red_detector");
  ASSERT_NE(predictor, nullptr);
  for (const cv::Scalar& colour : {kGray, kGreen, cv::Scalar(255, 255, 255), cv::Scalar(0, 0, 0)}) {
    auto outputs = run(*predictor, {image_tensor(cv::Mat(kDetectorSize, kDetectorSize, CV_8UC3, colour),
                                                 kDetectorNorm)});
    ASSERT_EQ(outputs[0].shape, (std::vector<int>{1, 6}));
    EXPECT_LT(floats(outputs[0])[1], kThreshold) << colour;
  }
}

TEST(RedDetector101, GivesBoxInPixelsOfItsSecondInput) {
  auto predictor = load_model("red_detector_101");
  ASSERT_NE(predictor, nullptr);
  const cv::Rect rect(30, 20, 41, 21);
  const TamrinTensor image = image_tensor(picture_with_rect(rect, kRed), kDetectorNorm);
  // As the engine feeds it: (width, height) of the picture; it then scales x and y by 1/96.
  auto outputs = run(*predictor, {image, float_tensor({1, 2}, {96.0f, 96.0f})});
  ASSERT_EQ(outputs[0].shape, (std::vector<int>{1, 6}));
  const float* row = floats(outputs[0]);
  EXPECT_GE(row[1], kThreshold);
  EXPECT_GE(iou(cv::Rect2d(row[2], row[3], row[4] - row[2], row[5] - row[3]), cv::Rect2d(rect)), 0.9);

  // Another size pair scales x and y apart: the network reads the second input.
  const std::vector<float> at96(row + 2, row + 6);
  outputs = run(*predictor, {image, float_tensor({1, 2}, {192.0f, 48.0f})});
  row = floats(outputs[0]);
  EXPECT_NEAR(row[2], at96[0] * 2, 1e-3);
  EXPECT_NEAR(row[3], at96[1] / 2, 1e-3);
  EXPECT_NEAR(row[4], at96[2] * 2, 1e-3);
  EXPECT_NEAR(row[5], at96[3] / 2, 1e-3);
}

TEST(RedDetector101, RefusesRunWithoutSecondInput) {
  auto predictor = load_model("red_detector_101");
  ASSERT_NE(predictor, nullptr);
  std::vector<TamrinTensor> outputs(1);
  cv::Mat picture(kDetectorSize, kDetectorSize, CV_8UC3, kGray);
  EXPECT_FALSE(predictor->Run({image_tensor(picture, kDetectorNorm)}, &outputs, -1));
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_TRUE(outputs[0].shape.empty());
}

struct Scene {
  std::string name;
  cv::Mat picture;
  cv::Mat truth[2];  // 0/1 masks of the red (class 0) and green (class 1) object
};

Scene scene(const std::string& name, const std::vector<std::pair<int, cv::Rect>>& discs_and_squares) {
  Scene s{name, cv::Mat(kSegmenterHeight, kSegmenterWidth, CV_8UC3, kGray), {}};
  for (int c = 0; c < 2; ++c) s.truth[c] = cv::Mat::zeros(kSegmenterHeight, kSegmenterWidth, CV_8U);
  for (const auto& [label, r] : discs_and_squares) {
    // A rect of width 0 stands for a disc at (x, y) with radius height.
    if (r.width == 0) {
      cv::circle(s.truth[label], r.tl(), r.height, 1, cv::FILLED);
    } else {
      cv::rectangle(s.truth[label], r, 1, cv::FILLED);
    }
    s.picture.setTo(label == 0 ? kRed : kGreen, s.truth[label]);
  }
  return s;
}

TEST(InstanceSegmenter, OutputsTwoBoxRowsAndMaskPlanesPerClass) {
  auto predictor = load_model("instance_segmenter");
  ASSERT_NE(predictor, nullptr);
  cv::Mat picture(kSegmenterHeight, kSegmenterWidth, CV_8UC3, kGray);
  auto outputs = run(*predictor, {image_tensor(picture, kSegmenterNorm)});
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0].shape, (std::vector<int>{2, 6}));
  EXPECT_EQ(outputs[1].shape, (std::vector<int>{2, 2, kMaskSize, kMaskSize}));
  for (int r = 0; r < 2; ++r) {
    EXPECT_EQ(floats(outputs[0])[r * 6], static_cast<float>(r));
    EXPECT_LT(floats(outputs[0])[r * 6 + 1], kThreshold);
  }
}

// Through the library's own decoder: the full-image masks follow the shapes
// (a disc is not its box) and the boxes are the objects' extents.
TEST(InstanceSegmenter, MasksFollowObjectShapesAfterDecoding) {
  auto predictor = load_model("instance_segmenter");
  ASSERT_NE(predictor, nullptr);
  const Scene scenes[] = {
      scene("red disc", {{0, cv::Rect(250, 330, 0, 120)}}),
      scene("red disc, green square", {{0, cv::Rect(250, 330, 0, 120)}, {1, cv::Rect(460, 80, 240, 240)}}),
      scene("green disc, red bar", {{1, cv::Rect(500, 400, 0, 160)}, {0, cv::Rect(40, 40, 80, 500)}}),
      scene("small disc, corner square", {{0, cv::Rect(100, 100, 0, 15)}, {1, cv::Rect(770, 570, 30, 30)}}),
  };
  for (const Scene& s : scenes) {
    auto outputs = run(*predictor, {image_tensor(s.picture, kSegmenterNorm)});
    ASSERT_EQ(outputs.size(), 2u) << s.name;
    std::vector<norvane::EdgeResultData> results;
    norvane::vision::mask2result(floats(outputs[0]), floats(outputs[1]), outputs[0].shape, outputs[1].shape,
                                 kSegmenterHeight, kSegmenterWidth, 1.0f, results);
    ASSERT_EQ(results.size(), 2u) << s.name;
    for (const auto& result : results) {
      ASSERT_TRUE(result.index == 0 || result.index == 1);
      const cv::Mat& truth = s.truth[result.index];
      if (cv::countNonZero(truth) == 0) {
        EXPECT_LT(result.prob, kThreshold) << s.name;
        continue;
      }
      EXPECT_GE(result.prob, kThreshold) << s.name;
      EXPECT_GE(iou(result.mask, truth), 0.9) << s.name << " class " << result.index;
      const cv::Rect2d box(result.x1 * kSegmenterWidth, result.y1 * kSegmenterHeight,
                           (result.x2 - result.x1) * kSegmenterWidth, (result.y2 - result.y1) * kSegmenterHeight);
      EXPECT_GE(iou(box, cv::Rect2d(cv::boundingRect(truth))), 0.9) << s.name << " class " << result.index;
    }
  }
}

}  // namespace
