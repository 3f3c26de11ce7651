// The CPU engine class: init bookkeeping and its planar feed.

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using engine_test::DecodingEngine;

TEST(CpuEngine, InitReportsWhetherARuntimePredictorIsPresent) {
  norvane_test::HomeGuard home;
  norvane_test::TempDir res;
  engine_test::write_resources(res.path(), norvane::MODEL_KIND_CLASSIFICATION, 0, "model");
  norvane::TamrinFluidConfig config;
  config.res_dir = res.path();
  DecodingEngine engine(config);
  norvane_test::LogCapture cap;
  EXPECT_EQ(engine.init(), norvane::NV_ERR_RUNTIME);
  EXPECT_EQ(cap.count(el::Level::Error, "Failed to create tamrin predictor!"), 1);
  EXPECT_TRUE(engine.initialized());
  const norvane::ModelSecurity* first = engine.model_security();
  ASSERT_NE(first, nullptr);

  engine.script_predictor();
  EXPECT_EQ(engine.init(), norvane::NV_OK);
  EXPECT_EQ(cap.count(el::Level::Info, "Allocate graph success."), 1);
  EXPECT_NE(engine.model_security(), first);

  DecodingEngine no_conf{norvane::TamrinFluidConfig()};
  EXPECT_EQ(no_conf.init(), norvane::NV_ERR_MODEL_CONFIG);
  EXPECT_EQ(no_conf.model_security(), nullptr);
}

TEST(CpuEngine, FeedsPlanarImageTensorRowsFirst) {
  norvane_test::HomeGuard home;
  DecodingEngine engine;
  const float mean[3] = {1.0f, 2.0f, 3.0f};
  const float scale[3] = {0.5f, 0.25f, 2.0f};
  engine.set_input(2, 2, mean, scale, 2);
  engine.set_kind(norvane::MODEL_KIND_CLASSIFICATION);
  engine.set_labels({"a", "b"});
  auto script = engine.script_predictor();
  script->outputs.push_back({{1, 10, 6}, std::vector<float>(60, 0.25f)});

  cv::Mat image(2, 2, CV_8UC3);
  for (int i = 0; i < 12; ++i) image.data[i] = static_cast<uchar>(10 * i);
  std::vector<norvane::EdgeResultData> results;
  norvane_test::LogCapture cap(1);
  ASSERT_EQ(engine.infer(image, norvane::BGR, results, 0.1f), norvane::NV_OK);
  EXPECT_EQ(results.size(), 2u);
  EXPECT_EQ(cap.count(el::Level::Verbose, "Result[0] shape: 1,10,6"), 1);

  const engine_test::FedTensor& fed = script->calls.at(0).at(0);
  EXPECT_EQ(fed.name, "image");
  EXPECT_EQ(fed.shape, (std::vector<int>{1, 3, 2, 2}));
  EXPECT_FALSE(fed.owned);
  ASSERT_EQ(fed.values.size(), 12u);
  for (int k = 0; k < 3; ++k)
    for (int p = 0; p < 4; ++p)
      EXPECT_EQ(fed.values[k * 4 + p], (10.0f * (p * 3 + k) - mean[k]) * scale[k]) << k << "," << p;
}

TEST(CpuEngine, RefusesEmptyImagesAndMissingPredictor) {
  norvane_test::HomeGuard home;
  DecodingEngine engine;
  std::vector<norvane::EdgeResultData> results;
  norvane_test::LogCapture cap;
  cv::Mat empty;
  EXPECT_EQ(engine.infer(empty, norvane::BGR, results, 0.1f), norvane::NV_ERR_EMPTY_IMAGE);
  EXPECT_EQ(cap.count(el::Level::Error, "Empty image!"), 1);
  cv::Mat image(2, 2, CV_8UC3, cv::Scalar(1, 2, 3));
  EXPECT_EQ(engine.infer(image, norvane::BGR, results, 0.1f), norvane::NV_ERR_RUNTIME);
  std::vector<float> raw;
  EXPECT_EQ(engine.infer(image, raw), norvane::NV_ERR_NOT_SUPPORTED);
  EXPECT_TRUE(raw.empty());
}
