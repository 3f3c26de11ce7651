// Results as JSON text: member sets per model kind, number and string forms,
// whole-pixel locations and the handling of values JSON cannot hold.

#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <picojson.h>

#include "core/core_test_support.h"

using norvane::EdgeResultData;
using norvane::NV_ERR_RUNTIME;
using norvane::NV_OK;
using norvane_test::make_result;
using norvane_test::ScriptedPredictor;

namespace {

class ResultJsonTest : public ::testing::Test {
 protected:
  // The JSON text for the given records on an image of cols x rows.
  std::string json_for(int kind, const std::vector<EdgeResultData>& records, int cols = 640, int rows = 480) {
    p._model_config.modelType = kind;
    p.scripted = records;
    cv::Mat image(rows, cols, CV_8UC3, cv::Scalar::all(0));
    std::string json;
    code = p.infer(image, json, 0.4f);
    return json;
  }
  // The "location" object of the first result.
  picojson::object location_of(const std::string& json) {
    picojson::value v;
    EXPECT_EQ(picojson::parse(v, json), "");
    return v.get(0).get("location").get<picojson::object>();
  }

  ScriptedPredictor p;
  int code = -1;
};

TEST_F(ResultJsonTest, NoResultsGiveAnEmptyArray) {
  EXPECT_EQ(json_for(norvane::MODEL_KIND_DETECTION, {}), "[]");
  EXPECT_EQ(code, NV_OK);
  EXPECT_EQ(p.last_format, norvane::BGR);
  EXPECT_FLOAT_EQ(p.last_threshold, 0.4f);
}

TEST_F(ResultJsonTest, ClassificationHasTheFiveCommonMembersInKeyOrder) {
  const std::string json = json_for(norvane::MODEL_KIND_CLASSIFICATION,
                                    {make_result(3, "cat", 0.9f, 0.1f, 0.1f, 0.2f, 0.2f), make_result(0, "dog", 1.0f),
                                     make_result(1, "fox", 0.5f)});
  EXPECT_EQ(json,
            R"([{"confidence":0.89999997615814209,"index":3,"label":"cat","name":"cat","score":0.89999997615814209},)"
            R"({"confidence":1,"index":0,"label":"dog","name":"dog","score":1},)"
            R"({"confidence":0.5,"index":1,"label":"fox","name":"fox","score":0.5}])");
}

TEST_F(ResultJsonTest, DetectionAddsCornersAndPixelLocation) {
  const std::string json =
      json_for(norvane::MODEL_KIND_DETECTION, {make_result(1, "box", 0.5f, 0.25f, 0.5f, 0.75f, 1.0f)});
  EXPECT_EQ(json,
            R"([{"confidence":0.5,"index":1,"label":"box","location":{"height":240,"left":160,"top":240,"width":320},)"
            R"("name":"box","score":0.5,"x1":0.25,"x2":0.75,"y1":0.5,"y2":1}])");
}

TEST_F(ResultJsonTest, PixelLocationTruncatesTowardZero) {
  // 1000 x 0.0999f is 99.9 in single precision; -0.0037f gives -3.7.
  const std::string json =
      json_for(norvane::MODEL_KIND_DETECTION, {make_result(0, "a", 0.5f, 0.0999f, -0.0037f, 0.2f, 0.5f)}, 1000, 1000);
  const picojson::object loc = location_of(json);
  EXPECT_EQ(loc.at("left").get<int64_t>(), 99);
  EXPECT_EQ(loc.at("top").get<int64_t>(), -3);
  EXPECT_EQ(loc.at("width").get<int64_t>(), static_cast<int64_t>((0.2f - 0.0999f) * 1000.0f));
  EXPECT_EQ(loc.at("height").get<int64_t>(), static_cast<int64_t>((0.5f + 0.0037f) * 1000.0f));
}

TEST_F(ResultJsonTest, HugeCoordinatesSaturateInsteadOfOverflowing) {
  const float kMax = std::numeric_limits<float>::max();
  const std::string json = json_for(norvane::MODEL_KIND_DETECTION, {make_result(0, "a", 0.5f, -kMax, 0, kMax, 1)});
  const picojson::object loc = location_of(json);
  EXPECT_EQ(loc.at("left").get<int64_t>(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(loc.at("width").get<int64_t>(), std::numeric_limits<int64_t>::max());
}

TEST_F(ResultJsonTest, MaskKindAddsTheEscapedRunLengthString) {
  EdgeResultData r = make_result(2, "a/b", 0.5f, 0, 0, 1, 1);
  r.mask_rle = "P\\1O";
  const std::string json = json_for(norvane::MODEL_KIND_INSTANCE_MASK, {r});
  EXPECT_NE(json.find(R"("label":"a\/b","location":{)"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("mask":"P\\1O","name":"a\/b")"), std::string::npos) << json;

  // Detection without masks leaves the run-length string out.
  EXPECT_EQ(json_for(norvane::MODEL_KIND_DETECTION, {r}).find("mask"), std::string::npos);
}

TEST_F(ResultJsonTest, StringsAreEscapedAsJsonRequires) {
  const std::string json =
      json_for(norvane::MODEL_KIND_CLASSIFICATION, {make_result(0, "q\"\\\b\f\n\r\t\x01\x7f\xc3\xa9", 1.0f)});
  EXPECT_NE(json.find(R"("label":"q\"\\\b\f\n\r\t\u0001\u007f)" "\xc3\xa9\""), std::string::npos) << json;
}

TEST_F(ResultJsonTest, FailedInferenceStillWritesWhatItLeft) {
  p.scripted_code = NV_ERR_RUNTIME;
  EXPECT_EQ(json_for(norvane::MODEL_KIND_CLASSIFICATION, {make_result(0, "a", 1.0f)}),
            R"([{"confidence":1,"index":0,"label":"a","name":"a","score":1}])");
  EXPECT_EQ(code, NV_ERR_RUNTIME);
}

TEST_F(ResultJsonTest, NonFiniteValuesThrowAndKeepThePreviousText) {
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  const std::vector<EdgeResultData> cases = {make_result(0, "a", kNan), make_result(0, "a", kInf),
                                             make_result(0, "a", 0.5f, kNan, 0, 1, 1),
                                             make_result(0, "a", 0.5f, 0, 0, 1, -kInf)};
  p._model_config.modelType = norvane::MODEL_KIND_DETECTION;
  cv::Mat image(10, 10, CV_8UC3);
  for (const EdgeResultData& r : cases) {
    p.scripted = {r};
    std::string json = "previous";
    EXPECT_THROW(p.infer(image, json, 0.0f), std::overflow_error);
    EXPECT_EQ(json, "previous");
  }
}

}  // namespace
