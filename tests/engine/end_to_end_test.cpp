// Both engines on the example models of models/ (written by tools/gen_models.py)
// and pictures drawn here: coloured rectangles on gray.

#include <algorithm>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/engine_test_support.h"
#include "norvane/utils.h"
#include "support/temp_dir.h"

using engine_test::FpgaProbe;
using norvane::EdgeResultData;

namespace {

std::string model_dir(const std::string& name) { return std::string(NORVANE_SOURCE_DIR) + "/models/" + name; }

norvane::TamrinFluidConfig config_for(const std::string& name) {
  norvane::TamrinFluidConfig config;
  config.res_dir = model_dir(name);
  return config;
}

// A picture of the given size with one rectangle per colour (BGR), the rest gray.
cv::Mat picture(int rows, int cols, const std::vector<std::pair<cv::Rect, cv::Scalar>>& boxes) {
  cv::Mat m(rows, cols, CV_8UC3, cv::Scalar(128, 128, 128));
  for (const auto& b : boxes) m(b.first).setTo(b.second);
  return m;
}

// Intersection over union of a record's box (fractions) and a pixel rectangle.
double box_iou(const EdgeResultData& r, const cv::Rect& truth, const cv::Size& size) {
  const double x1 = std::max<double>(r.x1 * size.width, truth.x), y1 = std::max<double>(r.y1 * size.height, truth.y);
  const double x2 = std::min<double>(r.x2 * size.width, truth.br().x);
  const double y2 = std::min<double>(r.y2 * size.height, truth.br().y);
  const double inter = std::max(0.0, x2 - x1) * std::max(0.0, y2 - y1);
  const double area = (r.x2 - r.x1) * size.width * (r.y2 - r.y1) * size.height;
  return inter / (area + truth.area() - inter);
}

double mask_iou(const cv::Mat& mask, const cv::Rect& truth) {
  cv::Mat expected = cv::Mat::zeros(mask.size(), CV_8UC1);
  expected(truth).setTo(1);
  return static_cast<double>(cv::countNonZero(mask & expected)) / cv::countNonZero(mask | expected);
}

std::unique_ptr<tamrin_mobile::TamrinPredictor> load(const std::string& name) {
  std::string bytes = norvane::utils::read_file_binary(model_dir(name) + "/model");
  tamrin_mobile::TamrinMobileConfig config;
  config.memory_pack = {true, static_cast<int64_t>(bytes.size()), bytes.data(), 0, nullptr};
  return tamrin_mobile::CreateTamrinPredictor<tamrin_mobile::TamrinMobileConfig,
                                              tamrin_mobile::TamrinEngineKind::kTamrinMobile>(config);
}

template <typename Engine>
void expect_colours_classified(Engine& engine) {
  const std::pair<cv::Scalar, const char*> cases[] = {
      {cv::Scalar(0, 0, 255), "red"}, {cv::Scalar(0, 255, 0), "green"}, {cv::Scalar(255, 0, 0), "blue"}};
  for (const auto& c : cases) {
    cv::Mat image(150, 200, CV_8UC3, c.first);
    std::vector<EdgeResultData> results;
    ASSERT_EQ(engine.infer(image, results), norvane::NV_OK);
    ASSERT_EQ(results.size(), 1u) << c.second;  // the others stay under the recommended 0.5
    EXPECT_EQ(results[0].label, c.second);
    EXPECT_GT(results[0].prob, 0.99f);
  }
}

template <typename Engine>
void expect_red_box_found(Engine& engine) {
  const cv::Rect red(40, 60, 100, 50);
  cv::Mat image = picture(192, 192, {{red, cv::Scalar(0, 0, 255)}});
  std::vector<EdgeResultData> results;
  ASSERT_EQ(engine.infer(image, results), norvane::NV_OK);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].label, "red");
  EXPECT_GE(box_iou(results[0], red, image.size()), 0.9);
}

}  // namespace

TEST(EndToEnd, FpgaEngineRunsTheExampleModels) {
  norvane_test::HomeGuard home;
  FpgaProbe classifier(config_for("color_classifier"));
  ASSERT_EQ(classifier.init(), norvane::NV_OK);
  expect_colours_classified(classifier);

  for (const char* name : {"red_detector", "red_detector_101"}) {
    SCOPED_TRACE(name);
    FpgaProbe detector(config_for(name));
    ASSERT_EQ(detector.init(), norvane::NV_OK);
    expect_red_box_found(detector);
  }
}

TEST(EndToEnd, FpgaEngineFindsInstanceMasks) {
  norvane_test::HomeGuard home;
  FpgaProbe segmenter(config_for("instance_segmenter"));
  ASSERT_EQ(segmenter.init(), norvane::NV_OK);
  // At the camera size the model is built for: its boxes are in pixels of an
  // 800 x 600 picture, which the mask decoding reads as pixels of the caller's.
  const cv::Rect red(80, 120, 320, 240), green(480, 400, 200, 180);
  cv::Mat image = picture(600, 800, {{red, cv::Scalar(0, 0, 255)}, {green, cv::Scalar(0, 255, 0)}});
  std::vector<EdgeResultData> results;
  ASSERT_EQ(segmenter.infer(image, results), norvane::NV_OK);
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) {
    const cv::Rect& truth = r.label == "red" ? red : green;
    EXPECT_TRUE(r.label == "red" || r.label == "green") << r.label;
    EXPECT_GE(box_iou(r, truth, image.size()), 0.9) << r.label;
    ASSERT_EQ(r.mask.size(), image.size());
    EXPECT_GE(mask_iou(r.mask, truth), 0.9) << r.label;
    EXPECT_FALSE(r.mask_rle.empty());
  }
}

TEST(EndToEnd, CpuEngineRunsTheExampleModelsThroughItsPlanarFeed) {
  norvane_test::HomeGuard home;
  engine_test::DecodingEngine classifier(config_for("color_classifier"));
  classifier.set_predictor(load("color_classifier"));
  ASSERT_EQ(classifier.init(), norvane::NV_OK);
  expect_colours_classified(classifier);

  engine_test::DecodingEngine detector(config_for("red_detector"));
  detector.set_predictor(load("red_detector"));
  ASSERT_EQ(detector.init(), norvane::NV_OK);
  expect_red_box_found(detector);
}
