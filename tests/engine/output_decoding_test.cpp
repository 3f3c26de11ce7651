// Decoding of raw network outputs into result records, on synthetic tensors.

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "support/log_capture.h"

using engine_test::DecodingEngine;
using engine_test::make_tensor;
using engine_test::one_output;
using norvane::EdgeResultData;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Decoder {
  explicit Decoder(int kind, std::vector<std::string> labels = {"cat", "dog", "bird"}) {
    engine.set_kind(kind);
    engine.set_labels(labels);
  }
  int run(std::vector<tamrin_mobile::TamrinTensor> outputs, float threshold) {
    return engine._postprocess(outputs, image, image, threshold, results);
  }
  DecodingEngine engine;
  cv::Mat image{10, 10, CV_8UC3, cv::Scalar(0, 0, 0)};
  std::vector<EdgeResultData> results;
};

EdgeResultData record(int index, float prob) {
  EdgeResultData r;
  r.index = index;
  r.prob = prob;
  return r;
}

}  // namespace

TEST(OutputDecoding, DetectionRowsBecomeNamedScaledRecordsInDescendingOrder) {
  Decoder d(norvane::MODEL_KIND_DETECTION);
  d.engine.set_box_scales(0.5f, 0.25f);
  ASSERT_EQ(d.run(one_output({3, 7}, {1, 0.4f, 2, 4, 6, 8, 0,  //
                                      2.9f, 0.9f, 1, 1, 1, 1, 0,  //
                                      -0.5f, 0.6f, -3, -0.1f, 2, 2, -1}),
                  0.3f),
            norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 3u);
  EXPECT_EQ(d.results[0].index, 2);  // 2.9 truncates toward zero
  EXPECT_EQ(d.results[0].label, "bird");
  EXPECT_EQ(d.results[1].index, 0);  // -0.5 truncates to 0 and column 0 is never clamped
  EXPECT_EQ(d.results[1].label, "cat");
  EXPECT_FLOAT_EQ(d.results[1].x1, 0.0f);  // negative coordinates become 0 before scaling
  EXPECT_FLOAT_EQ(d.results[1].y1, 0.0f);
  EXPECT_FLOAT_EQ(d.results[2].prob, 0.4f);
  EXPECT_FLOAT_EQ(d.results[2].x1, 1.0f);
  EXPECT_FLOAT_EQ(d.results[2].y1, 1.0f);
  EXPECT_FLOAT_EQ(d.results[2].x2, 3.0f);
  EXPECT_FLOAT_EQ(d.results[2].y2, 2.0f);
}

TEST(OutputDecoding, ThresholdKeepsEqualProbabilityAndDropsJustUnderSilently) {
  Decoder d(norvane::MODEL_KIND_DETECTION);
  norvane_test::LogCapture cap(1);
  const float under = std::nextafter(0.5f, 0.0f);
  ASSERT_EQ(d.run(one_output({3, 6}, {0, 0.5f, 0, 0, 1, 1,  //
                                      1, under, 0, 0, 1, 1,  //
                                      1, -0.2f, 0, 0, 1, 1}),
                  0.5f),
            norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 1u);
  EXPECT_EQ(d.results[0].index, 0);
  EXPECT_FALSE(cap.contains("out of range"));
}

TEST(OutputDecoding, DetectionProbabilityRangeAtThreePlaces) {
  Decoder d(norvane::MODEL_KIND_DETECTION);
  norvane_test::LogCapture cap(1);
  const std::vector<float> probs = {0.001f, 0.0009f, 1.0015f, 1.002f, 1.0021f, -0.3f,
                                    kNaN,   INFINITY, 1e30f};
  std::vector<float> rows;
  for (float p : probs) rows.insert(rows.end(), {1, p, 0, 0, 1, 1});
  ASSERT_EQ(d.run(one_output({static_cast<int>(probs.size()), 6}, rows), 0.0f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 3u);
  EXPECT_FLOAT_EQ(d.results[0].prob, 1.002f);
  EXPECT_FLOAT_EQ(d.results[1].prob, 1.0015f);
  EXPECT_FLOAT_EQ(d.results[2].prob, 0.001f);
  EXPECT_EQ(cap.count(el::Level::Verbose, " Prob is out of range: "), 6);
  EXPECT_EQ(cap.count(el::Level::Verbose, "5 Prob is out of range: 0;   1-0"), 1);  // clamped negative
  EXPECT_EQ(cap.count(el::Level::Verbose, "4 Prob is out of range: 1.0021;   0-1"), 1);
}

TEST(OutputDecoding, DetectionClassOutsideLabelsIsLoggedAndDropped) {
  Decoder d(norvane::MODEL_KIND_DETECTION);
  norvane_test::LogCapture cap(1);
  ASSERT_EQ(d.run(one_output({4, 6}, {3, 0.9f, 0.1f, 0, 1, 1,  //
                                      -1, 0.9f, 0, 0, 1, 1,  //
                                      kNaN, 0.9f, 0, 0, 1, 1,  //
                                      1e10f, 0.9f, 0, 0, 1, 1}),
                  0.5f),
            norvane::NV_OK);
  EXPECT_TRUE(d.results.empty());
  EXPECT_EQ(cap.count(el::Level::Verbose, "Index is out of range: "), 4);
  EXPECT_EQ(cap.count(el::Level::Verbose, "0Index is out of range: 3,0.9:0.1"), 1);
}

TEST(OutputDecoding, UnreadableDetectionOutputIsRefusedAndResultsLeftAsGiven) {
  struct Case {
    std::vector<int> shape;
    size_t values;
    const char* error;
  };
  const Case cases[] = {
      {{6}, 6, "Raw result's size is not 2: 1"},
      {{1, 1, 6}, 6, "Raw result's size is not 2: 3"},
      {{}, 0, "Raw result's size is not 2: 0"},
      {{2, 5}, 10, "fewer than 6 columns"},
      {{2, 6}, 6, "shorter than its shape"},
  };
  for (const auto& c : cases) {
    Decoder d(norvane::MODEL_KIND_DETECTION);
    d.results = {record(9, 0.1f), record(0, 0.05f)};  // would be removed or reordered by filtering
    norvane_test::LogCapture cap;
    EXPECT_EQ(d.run(one_output(c.shape, std::vector<float>(c.values, 0.9f)), 0.5f), norvane::NV_ERR_RUNTIME);
    EXPECT_EQ(cap.count(el::Level::Info, "Result shape "), 1);
    EXPECT_EQ(cap.count(el::Level::Error, c.error), 1) << c.error;
    ASSERT_EQ(d.results.size(), 2u);
    EXPECT_EQ(d.results[0].index, 9);
    EXPECT_TRUE(d.results[0].label.empty());
  }
}

TEST(OutputDecoding, EarlierRecordsAreFilteredNamedAndSortedWithNewOnes) {
  Decoder d(norvane::MODEL_KIND_DETECTION);
  d.results = {record(1, 0.2f), record(2, 0.7f), record(5, 0.99f), record(0, 0.95f)};
  d.results[1].label = "stale";
  ASSERT_EQ(d.run(one_output({1, 6}, {1, 0.8f, 0, 0, 1, 1}), 0.5f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 3u);  // 0.2 under the threshold, index 5 outside the list
  EXPECT_EQ(d.results[0].label, "cat");
  EXPECT_EQ(d.results[1].label, "dog");
  EXPECT_EQ(d.results[2].label, "bird");
  EXPECT_FLOAT_EQ(d.results[2].prob, 0.7f);
}

TEST(OutputDecoding, ClassificationOnlyNamesClassesInTheLabelList) {
  Decoder d(norvane::MODEL_KIND_CLASSIFICATION);
  norvane_test::LogCapture cap(1);
  ASSERT_EQ(d.run(one_output({1, 5}, {0.2f, 0.9f, 0.05f, 0.0f, 0.7f}), 0.1f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 2u);
  EXPECT_EQ(d.results[0].label, "dog");
  EXPECT_EQ(d.results[1].label, "cat");
  EXPECT_EQ(cap.count(el::Level::Verbose, "Index is out of label_list range: 3"), 1);  // whatever its prob
  EXPECT_EQ(cap.count(el::Level::Verbose, "Index is out of label_list range: 4"), 1);
}

TEST(OutputDecoding, ClassificationShapesWithoutClasses) {
  Decoder empty(norvane::MODEL_KIND_CLASSIFICATION);
  EXPECT_EQ(empty.run(one_output({1, 0}, {}), 0.1f), norvane::NV_OK);
  EXPECT_TRUE(empty.results.empty());

  // A failed run leaves default tensors; they must not read as "no results".
  for (const auto& shape : {std::vector<int>{}, std::vector<int>{5}}) {
    Decoder d(norvane::MODEL_KIND_CLASSIFICATION);
    norvane_test::LogCapture cap;
    EXPECT_EQ(d.run(one_output(shape, std::vector<float>(5, 0.9f)), 0.1f), norvane::NV_ERR_RUNTIME);
    EXPECT_EQ(cap.count(el::Level::Error, "fewer than 2 entries"), 1);
  }
  Decoder short_buffer(norvane::MODEL_KIND_CLASSIFICATION);
  EXPECT_EQ(short_buffer.run(one_output({1, 5}, {0.9f, 0.9f, 0.9f}), 0.1f), norvane::NV_ERR_RUNTIME);
  EXPECT_TRUE(short_buffer.results.empty());
}

TEST(OutputDecoding, NaNProbabilitiesPassTheThresholdAndSortLast) {
  // With a plain a > b comparator std::sort is undefined here: NaNs landed
  // scattered between ordered records, breaking the descending order.
  std::vector<std::string> labels(200, "x");
  std::vector<float> probs(200);
  for (size_t i = 0; i < probs.size(); ++i) probs[i] = i % 3 == 0 ? kNaN : static_cast<float>((i * 37) % 101) / 100;
  Decoder d(norvane::MODEL_KIND_CLASSIFICATION, labels);
  ASSERT_EQ(d.run(one_output({1, 200}, probs), 0.0f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 200u);
  size_t first_nan = 0;
  while (first_nan < d.results.size() && !std::isnan(d.results[first_nan].prob)) ++first_nan;
  EXPECT_EQ(first_nan, 133u);
  for (size_t i = 1; i < first_nan; ++i) EXPECT_GE(d.results[i - 1].prob, d.results[i].prob);
  for (size_t i = first_nan; i < d.results.size(); ++i) EXPECT_TRUE(std::isnan(d.results[i].prob));
}

TEST(OutputDecoding, OtherKindsDecodeNothingButStillFilterAndSort) {
  Decoder d(3);
  d.results = {record(0, 0.4f), record(1, 0.9f), record(2, 0.1f)};
  ASSERT_EQ(d.run(one_output({1, 3}, {1, 1, 1}), 0.2f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 2u);
  EXPECT_EQ(d.results[0].label, "dog");
  EXPECT_EQ(d.results[1].label, "cat");
}

TEST(OutputDecoding, EmptyOutputListIsRefused) {
  Decoder d(norvane::MODEL_KIND_CLASSIFICATION);
  norvane_test::LogCapture cap;
  EXPECT_EQ(d.run({}, 0.1f), norvane::NV_ERR_RUNTIME);
  EXPECT_EQ(cap.count(el::Level::Error, "no output tensor"), 1);
}

TEST(OutputDecoding, InstanceMasksKeepOnlyClassesInTheLabelList) {
  Decoder d(norvane::MODEL_KIND_INSTANCE_MASK);
  std::vector<tamrin_mobile::TamrinTensor> outputs;
  outputs.push_back(make_tensor({2, 6}, {1, 0.9f, 2, 2, 5, 5,  //
                                         5, 0.8f, 0, 0, 3, 3}));
  outputs.push_back(make_tensor({2, 6, 2, 2}, std::vector<float>(2 * 6 * 2 * 2, 1.0f)));
  ASSERT_EQ(d.run(std::move(outputs), 0.5f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 1u);  // class 5 has a mask plane but no label
  EXPECT_EQ(d.results[0].label, "dog");
  EXPECT_EQ(d.results[0].mask.rows, 10);
  EXPECT_FALSE(d.results[0].mask_rle.empty());
}

TEST(OutputDecoding, InstanceOutputsThatWouldBeReadPastAreRefused) {
  auto run = [](std::vector<int> box_shape, std::vector<float> boxes, std::vector<int> mask_shape, size_t masks) {
    Decoder d(norvane::MODEL_KIND_INSTANCE_MASK);
    std::vector<tamrin_mobile::TamrinTensor> outputs;
    outputs.push_back(make_tensor(box_shape, boxes));
    if (!mask_shape.empty()) outputs.push_back(make_tensor(mask_shape, std::vector<float>(masks, 1.0f)));
    return d.run(std::move(outputs), 0.5f);
  };
  const std::vector<float> two_rows = {0, 0.9f, 0, 0, 1, 1, 1, 0.9f, 0, 0, 1, 1};
  EXPECT_EQ(run({2, 6}, two_rows, {}, 0), norvane::NV_ERR_RUNTIME);               // one output only
  EXPECT_EQ(run({12}, two_rows, {2, 2, 2, 2}, 16), norvane::NV_ERR_RUNTIME);     // box shape of one entry
  EXPECT_EQ(run({3, 6}, two_rows, {3, 2, 2, 2}, 24), norvane::NV_ERR_RUNTIME);   // boxes shorter than shape
  EXPECT_EQ(run({2, 6}, two_rows, {2, 2, 2, 2}, 15), norvane::NV_ERR_RUNTIME);   // masks shorter than shape
  EXPECT_EQ(run({2, 6}, two_rows, {2, 2, 2, 2}, 16), norvane::NV_OK);
}

// A row whose class has no mask plane used to fail the whole inference with
// 1000000; it is skipped and the other rows kept.
TEST(OutputDecoding, InstanceRowWithoutMaskPlaneIsSkippedAlone) {
  Decoder d(norvane::MODEL_KIND_INSTANCE_MASK);
  std::vector<tamrin_mobile::TamrinTensor> outputs;
  outputs.push_back(make_tensor({3, 6}, {0, 0.9f, 1, 1, 4, 4,  //
                                         2, 0.8f, 0, 0, 3, 3,  //
                                         1, 0.7f, 5, 5, 8, 8}));
  outputs.push_back(make_tensor({3, 2, 2, 2}, std::vector<float>(3 * 2 * 2 * 2, 1.0f)));
  ASSERT_EQ(d.run(std::move(outputs), 0.5f), norvane::NV_OK);
  ASSERT_EQ(d.results.size(), 2u);
  EXPECT_EQ(d.results[0].label, "cat");
  EXPECT_EQ(d.results[1].label, "dog");
}

// The masks used to be sized from one scale taken from the rows: a 300 x 100
// picture got 100 x 100 masks and a 1 x 12000 one two 11999 x 11999 masks.
TEST(OutputDecoding, InstanceMasksCoverThePostedPictureWhateverItsShape) {
  const cv::Size pictures[] = {{100, 300}, {300, 100}, {1200, 1}, {1, 1200}, {12000, 1}};
  for (const cv::Size& size : pictures) {
    Decoder d(norvane::MODEL_KIND_INSTANCE_MASK);
    cv::Mat posted(size, CV_8UC3, cv::Scalar(0, 0, 0));
    cv::Mat fed(96, 96, CV_8UC3, cv::Scalar(0, 0, 0));
    std::vector<tamrin_mobile::TamrinTensor> outputs;
    outputs.push_back(make_tensor({2, 6}, {0, 0.9f, 0, 0, 0, 0, 1, 0.8f, 0, 0, 0.5f, 0.5f}));
    outputs.push_back(make_tensor({2, 2, 2, 2}, std::vector<float>(16, 1.0f)));
    ASSERT_EQ(d.engine._postprocess(outputs, posted, fed, 0.5f, d.results), norvane::NV_OK);
    ASSERT_EQ(d.results.size(), 2u) << size;
    for (const EdgeResultData& r : d.results) {
      EXPECT_EQ(r.mask.size(), size);
      EXPECT_EQ(cv::countNonZero(r.mask), 1) << size;  // the one-cell box at the top left
      EXPECT_FLOAT_EQ(r.x2, 0.5f / static_cast<float>(size.width) * r.index);
    }
  }
}
