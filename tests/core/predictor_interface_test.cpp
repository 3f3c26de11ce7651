// The base predictor: default-argument forwarders, not-supported answers, the
// generic output decoding and the plain records.

#include <cmath>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "core/core_test_support.h"
#include "support/log_capture.h"

using norvane::BGR;
using norvane::EdgePredictor;
using norvane::EdgeResultData;
using norvane::NV_ERR_NOT_SUPPORTED;
using norvane::NV_ERR_RUNTIME;
using norvane::NV_OK;
using norvane::RGB;
using norvane_test::LogCapture;
using norvane_test::make_result;
using norvane_test::ProbePredictor;
using norvane_test::RawOutputPredictor;
using norvane_test::ResourceDir;
using norvane_test::ScriptedPredictor;

namespace {

const char* kNotSupported = "Not supported";

}  // namespace

TEST(Forwarders, PassFormatAndRecommendedThresholdReadAtCallTime) {
  ResourceDir dir;
  dir.write("conf.json", R"({"modelType":2,"modelId":1,"modelName":"m","thresholdRec":0.5})");
  ScriptedPredictor p(dir.config());
  EdgePredictor& api = p;
  cv::Mat image(4, 4, CV_8UC3);
  std::vector<EdgeResultData> results;

  // Before any model description the default recommendation applies.
  api.infer(image, results);
  EXPECT_FLOAT_EQ(p.last_threshold, 0.3f);

  ASSERT_EQ(p.init(), NV_OK);
  api.infer(image, results);
  EXPECT_EQ(p.last_format, BGR);
  EXPECT_FLOAT_EQ(p.last_threshold, 0.5f);

  api.infer(image, RGB, results);
  EXPECT_EQ(p.last_format, RGB);
  EXPECT_FLOAT_EQ(p.last_threshold, 0.5f);

  p._model_config.thresholdRec = 0.7f;
  std::string json;
  api.infer(image, json);
  EXPECT_FLOAT_EQ(p.last_threshold, 0.7f);
  EXPECT_EQ(p.calls, 4);
}

TEST(Forwarders, ReturnTheEngineCodeUnchanged) {
  ScriptedPredictor p;
  p.scripted_code = NV_ERR_RUNTIME;
  p.scripted = {make_result(0, "a", 0.9f)};
  cv::Mat image(2, 2, CV_8UC3);
  std::vector<EdgeResultData> results;
  EXPECT_EQ(p.infer(image, results), NV_ERR_RUNTIME);
  EXPECT_EQ(p.infer(image, BGR, results), NV_ERR_RUNTIME);
  EXPECT_EQ(results.size(), 2u);  // appended, as the engine left them
}

TEST(NotSupported, LogsOnceAndLeavesArgumentsAlone) {
  ScriptedPredictor p;
  EdgePredictor& api = p;
  LogCapture cap;
  std::vector<cv::Mat> images(1, cv::Mat(2, 2, CV_8UC3));
  std::vector<std::vector<EdgeResultData>> batch(1, {make_result(3, "keep", 0.4f)});

  EXPECT_EQ(api.infer(images, batch), NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(cap.count(el::Level::Error, kNotSupported), 1);
  EXPECT_EQ(api.infer(images, RGB, batch), NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(api.infer(images, RGB, batch, 0.1f), NV_ERR_NOT_SUPPORTED);
  ASSERT_EQ(batch.size(), 1u);
  ASSERT_EQ(batch[0].size(), 1u);
  EXPECT_EQ(batch[0][0].label, "keep");

  uint64_t request_id = 77;
  EXPECT_EQ(api.set_result_handler(nullptr), NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(api.infer_async(images[0], BGR, 0.5f, nullptr, request_id), NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(api.infer_async(images, BGR, 0.5f, nullptr, request_id), NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(request_id, 77u);
  EXPECT_EQ(cap.count(el::Level::Error, kNotSupported), 6);
  // The batch forwarders never reach the single-image inference.
  EXPECT_EQ(p.calls, 0);
}

TEST(NotSupported, RawOutputInferIsSilentAndKeepsOutput) {
  ScriptedPredictor p;
  LogCapture cap;
  cv::Mat image(2, 2, CV_8UC3);
  std::vector<float> output = {1.0f, 2.0f};
  EXPECT_EQ(p.infer(image, output), NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(output, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(cap.count(el::Level::Error, kNotSupported), 0);
}

TEST(GenericDecoding, BaseFullInferReportsTheRawOutputFailure) {
  ProbePredictor p;
  p._model_config.modelType = norvane::MODEL_KIND_CLASSIFICATION;
  cv::Mat image(2, 2, CV_8UC3);
  std::vector<EdgeResultData> results;
  EXPECT_EQ(p.infer(image, BGR, results, 0.0f), NV_ERR_NOT_SUPPORTED);
  EXPECT_TRUE(results.empty());
}

TEST(GenericDecoding, ClassificationKeepsLabelledScoresAtOrAboveThreshold) {
  RawOutputPredictor p;
  p._model_config.modelType = norvane::MODEL_KIND_CLASSIFICATION;
  p._labels = {"cat", "dog", "fox"};
  p.raw = {0.5f, 0.2f, 0.9f, 0.99f};  // the last has no label
  cv::Mat image(2, 2, CV_8UC3);
  std::vector<EdgeResultData> results = {make_result(9, "earlier", 1.0f)};
  LogCapture cap;

  ASSERT_EQ(p.infer(image, BGR, results, 0.5f), NV_OK);
  ASSERT_EQ(results.size(), 3u);  // appended after the earlier record
  EXPECT_EQ(results[0].label, "earlier");
  EXPECT_EQ(results[1].index, 0);  // exactly at the threshold is kept
  EXPECT_EQ(results[1].label, "cat");
  EXPECT_EQ(results[2].index, 2);
  EXPECT_FLOAT_EQ(results[2].prob, 0.9f);
  EXPECT_EQ(cap.count(el::Level::Error, "Index is out of label_list range!"), 1);
  EXPECT_EQ(cap.count(el::Level::Debug, "Classificatin model."), 1);
}

TEST(GenericDecoding, DetectionReadsSevenValueRecordsAfterTheHeader) {
  RawOutputPredictor p;
  p._model_config.modelType = norvane::MODEL_KIND_DETECTION;
  p._labels = {"cat", "dog"};
  p.raw = {4, 0, 0, 0, 0, 0, 0,                  // header: four records
           0, 1, 0.8f, 0.1f, 0.2f, 0.3f, 0.4f,   // kept
           0, -1, 0.9f, 0, 0, 1, 1,              // negative label index
           0, 2, 0.9f, 0, 0, 1, 1,               // label index past the list
           0, 0, 0.1f, 0, 0, 1, 1};              // under the threshold
  cv::Mat image(2, 2, CV_8UC3);
  std::vector<EdgeResultData> results;
  LogCapture cap;

  ASSERT_EQ(p.infer(image, BGR, results, 0.5f), NV_OK);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].index, 1);
  EXPECT_EQ(results[0].label, "dog");
  EXPECT_FLOAT_EQ(results[0].prob, 0.8f);
  EXPECT_FLOAT_EQ(results[0].x1, 0.1f);
  EXPECT_FLOAT_EQ(results[0].y1, 0.2f);
  EXPECT_FLOAT_EQ(results[0].x2, 0.3f);
  EXPECT_FLOAT_EQ(results[0].y2, 0.4f);
  EXPECT_EQ(cap.count(el::Level::Error, "Index is out of label_list range!"), 2);
}

// A stated count larger than the output held made the decoding read past the
// vector's end; the count is now bounded by the records present.
TEST(GenericDecoding, DetectionCountIsBoundedByTheOutput) {
  RawOutputPredictor p;
  p._model_config.modelType = norvane::MODEL_KIND_DETECTION;
  p._labels = {"cat"};
  cv::Mat image(2, 2, CV_8UC3);

  struct Case {
    std::vector<float> raw;
    size_t expected;
  };
  const float kHuge = 1e30f;
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {{}, 0},
      {{3}, 0},
      {{3, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0},                          // record cut short
      {{5, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1}, 1},              // one whole record
      {{kHuge, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1}, 1},
      {{kNan, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1}, 0},
      {{0.9f, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1}, 0},           // truncates to 0
      {{1, 0, 0, 0, 0, 0, 0, 0, kHuge, 1, 0, 0, 1, 1}, 0},          // label index far out
  };
  for (const Case& c : cases) {
    p.raw = c.raw;
    std::vector<EdgeResultData> results;
    EXPECT_EQ(p.infer(image, BGR, results, 0.0f), NV_OK);
    EXPECT_EQ(results.size(), c.expected) << "stated count " << (c.raw.empty() ? -1.0f : c.raw[0]);
  }
}

TEST(GenericDecoding, OtherKindsGiveNoRecords) {
  RawOutputPredictor p;
  p._model_config.modelType = norvane::MODEL_KIND_INSTANCE_MASK;
  p._labels = {"cat"};
  p.raw = {1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1};
  cv::Mat image(2, 2, CV_8UC3);
  std::vector<EdgeResultData> results;
  EXPECT_EQ(p.infer(image, BGR, results, 0.0f), NV_OK);
  EXPECT_TRUE(results.empty());
}

TEST(ModelInfo, GivesTheBusinessModelIdNotTheModelId) {
  ResourceDir dir;
  dir.write("conf.json",
            R"({"modelType":6,"modelId":11,"bizModelId":22,"modelName":"shapes","thresholdRec":0.25})");
  ProbePredictor p(dir.config());
  ASSERT_EQ(p.init(), NV_OK);
  const norvane::ModelInfo info = p.model_info();
  EXPECT_EQ(info.id, 22);
  EXPECT_EQ(info.name, "shapes");
  EXPECT_EQ(info.kind, 6);
  EXPECT_EQ(p.model_kind(), 6);
  EXPECT_FLOAT_EQ(info.thresholdRec, 0.25f);
}

TEST(Lifecycle, ConstructorCopiesTheConfigurationAndDestructorLogsVerbose) {
  norvane::TamrinFluidConfig config;
  config.res_dir = "/models/a";
  config.label_file = "labels.txt";
  config.set_config("k", "first");
  config.set_config("k", "second");
  ASSERT_EQ(config.config_map.size(), 1u);
  EXPECT_EQ(config.config_map.at("k"), "second");

  LogCapture cap(1);
  {
    std::unique_ptr<EdgePredictor> owner(new ProbePredictor(config));
    auto* p = static_cast<ProbePredictor*>(owner.get());
    config.res_dir = "/changed";
    EXPECT_EQ(p->_res_dir, "/models/a");
    EXPECT_EQ(p->_config_map.at("k"), "second");
    EXPECT_FALSE(p->initialized());
  }
  EXPECT_EQ(cap.count(el::Level::Verbose, "~EdgePredictorImpl"), 1);
}

TEST(EdgeResultDataCopy, SharesMaskPixelsUntilReassigned) {
  EdgeResultData a = make_result(1, "x", 0.5f);
  a.mask = cv::Mat::zeros(3, 3, CV_8UC1);
  a.mask_rle = "rle";

  EdgeResultData b = a;
  b.mask.data[4] = 1;
  EXPECT_EQ(a.mask.at<uint8_t>(1, 1), 1);
  EXPECT_EQ(b.mask_rle, "rle");

  // A new matrix (not a matrix expression, which OpenCV writes into the
  // existing pixels) detaches the copy.
  b.mask = cv::Mat(3, 3, CV_8UC1, cv::Scalar(1));
  EXPECT_EQ(a.mask.at<uint8_t>(0, 0), 0);
}
