// The CPU engine running the example classifier (models/color_classifier,
// written by tools/gen_models.py) through the core preprocessing in each
// preprocessing mode. The network averages each channel over the whole picture,
// so it takes any input size, and solid pictures made here name their colour.

#include <cmath>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <picojson.h>

#include "engine/engine_test_support.h"
#include "norvane/utils.h"
#include "support/temp_dir.h"

using engine_test::DecodingEngine;
using engine_test::FedTensor;
using norvane::EdgeResultData;

namespace {

const std::string kClassifier = std::string(NORVANE_SOURCE_DIR) + "/models/color_classifier";

// The real runtime predictor, with a copy of what each run was fed.
class RecordingPredictor : public tamrin_mobile::TamrinPredictor {
 public:
  RecordingPredictor(std::unique_ptr<tamrin_mobile::TamrinPredictor> inner,
                     std::shared_ptr<std::vector<FedTensor>> last)
      : _inner(std::move(inner)), _last(std::move(last)) {}
  bool Run(const std::vector<tamrin_mobile::TamrinTensor>& inputs, std::vector<tamrin_mobile::TamrinTensor>* outputs,
           int batch_size) override {
    _last->clear();
    for (const auto& t : inputs) {
      const float* p = static_cast<const float*>(t.data.data());
      _last->push_back({t.name, t.shape, t.data.memory_owned(),
                        std::vector<float>(p, p + t.data.length() / static_cast<int64_t>(sizeof(float)))});
    }
    return _inner->Run(inputs, outputs, batch_size);
  }

 private:
  std::unique_ptr<tamrin_mobile::TamrinPredictor> _inner;
  std::shared_ptr<std::vector<FedTensor>> _last;
};

std::unique_ptr<tamrin_mobile::TamrinPredictor> load_classifier() {
  std::string bytes = norvane::utils::read_file_binary(kClassifier + "/model");
  tamrin_mobile::TamrinMobileConfig config;
  config.memory_pack = {true, static_cast<int64_t>(bytes.size()), bytes.data(), 0, nullptr};
  return tamrin_mobile::CreateTamrinPredictor<tamrin_mobile::TamrinMobileConfig,
                                              tamrin_mobile::TamrinEngineKind::kTamrinMobile>(config);
}

picojson::value read_json(const std::string& path) {
  picojson::value v;
  const std::string err = picojson::parse(v, norvane::utils::read_file_binary(path));
  if (!err.empty()) throw std::runtime_error(path + ": " + err);
  return v;
}

using JsonChanges = std::vector<std::pair<std::string, picojson::value>>;

struct ModeCase {
  const char* what;
  int64_t n_type;
  JsonChanges preprocess;  // keys set in preprocess_args.json; a null value removes the key
  cv::Size picture;        // width × height
  cv::Size resized;        // after the resize, before any padding
  cv::Size fed;            // what the network receives
};

// Names the case in test output.
void PrintTo(const ModeCase& c, std::ostream* out) { *out << c.what; }

picojson::value num(double v) { return picojson::value(v); }
picojson::value integer(int64_t v) { return picojson::value(v); }

// The classifier's resource directory copied into dir, with the mode and the
// preprocessing changes of c.
void write_model_copy(const std::string& dir, const ModeCase& c) {
  std::filesystem::copy(kClassifier, dir);
  picojson::value conf = read_json(dir + "/conf.json");
  conf.get<picojson::object>()["nType"] = integer(c.n_type);
  engine_test::write_file(dir + "/conf.json", conf.serialize());
  picojson::value pre = read_json(dir + "/preprocess_args.json");
  for (const auto& kv : c.preprocess) {
    if (kv.second.is<picojson::null>())
      pre.get<picojson::object>().erase(kv.first);
    else
      pre.get<picojson::object>()[kv.first] = kv.second;
  }
  engine_test::write_file(dir + "/preprocess_args.json", pre.serialize());
}

// Picture sizes and what each mode makes of them; the classifier asks for 64 × 64.
std::vector<ModeCase> mode_cases() {
  const picojson::value none;
  return {
      {"default: configured width 48, height 40", 0, {{"resize", picojson::value(picojson::array{num(48), num(40)})}},
       {200, 90}, {48, 40}, {48, 40}},
      // Short side 90 → 64, long side 200 → 142, padded to 160 × 64.
      {"102: short side to the configured width, default cap", 102, {}, {200, 90}, {142, 64}, {160, 64}},
      // 142 > 100, so the long side is brought to 100 instead: 100 × 45, padded to 128 × 64.
      {"102: long side capped by max_size", 102, {{"max_size", integer(100)}}, {200, 90}, {100, 45}, {128, 64}},
      // 300 × 0.48 = 144 > 80, so s = 80 / 300: 80 × 27.
      {"201: long side capped by max_size", 201, {{"target_size", integer(48)}, {"max_size", integer(80)}},
       {300, 100}, {80, 27}, {80, 27}},
      {"201: max_size 0 sets no cap", 201, {{"target_size", integer(48)}, {"max_size", integer(0)}}, {300, 100},
       {144, 48}, {144, 48}},
      {"201: no max_size sets no cap", 201, {{"target_size", integer(48)}, {"max_size", none}}, {300, 100},
       {144, 48}, {144, 48}},
      {"10001: any size is kept", 10001, {}, {53, 37}, {53, 37}, {53, 37}},
  };
}

class CpuEngineModes : public ::testing::TestWithParam<ModeCase> {
 protected:
  void SetUp() override {
    write_model_copy(_res.path() + "/model_dir", GetParam());
    norvane::TamrinFluidConfig config;
    config.res_dir = _res.path() + "/model_dir";
    _engine = std::make_unique<DecodingEngine>(config);
    _engine->set_predictor(std::make_unique<RecordingPredictor>(load_classifier(), _fed));
    ASSERT_EQ(_engine->init(), norvane::NV_OK);
  }

  // All three labels, most probable first.
  std::vector<EdgeResultData> classify(cv::Mat image) {
    std::vector<EdgeResultData> results;
    EXPECT_EQ(_engine->infer(image, norvane::BGR, results, 0.0f), norvane::NV_OK);
    EXPECT_EQ(results.size(), 3u);
    return results;
  }

  norvane_test::HomeGuard _home;
  norvane_test::TempDir _res;
  std::shared_ptr<std::vector<FedTensor>> _fed = std::make_shared<std::vector<FedTensor>>();
  std::unique_ptr<DecodingEngine> _engine;
};

TEST_P(CpuEngineModes, SolidPicturesNameTheirColour) {
  const cv::Size size = GetParam().picture;
  const struct {
    cv::Mat image;
    const char* label;
  } cases[] = {
      {cv::Mat(size, CV_8UC3, cv::Scalar(0, 0, 255)), "red"},
      {cv::Mat(size, CV_8UC3, cv::Scalar(0, 255, 0)), "green"},
      {cv::Mat(size, CV_8UC3, cv::Scalar(255, 0, 0)), "blue"},
      // The alpha channel is dropped, not read as a colour.
      {cv::Mat(size, CV_8UC4, cv::Scalar(0, 255, 0, 0)), "green"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.label) + ", " + std::to_string(c.image.channels()) + " channels");
    cv::Mat image = c.image;
    const auto results = classify(image);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].label, c.label);
    EXPECT_GT(results[0].prob, 0.5f);
  }
}

TEST_P(CpuEngineModes, GrayPictureHasEqualChannels) {
  // One channel, made BGR before the network: no colour stands out.
  cv::Mat gray(GetParam().picture, CV_8UC1, cv::Scalar(200));
  const auto results = classify(gray);
  for (const auto& r : results) EXPECT_NEAR(r.prob, 1.0 / 3.0, 1e-4) << r.label;
  ASSERT_EQ(_fed->size(), 1u);
  EXPECT_EQ(_fed->at(0).shape, (std::vector<int>{1, 3, GetParam().fed.height, GetParam().fed.width}));
}

TEST_P(CpuEngineModes, FeedsThePreprocessedRedPicture) {
  const ModeCase& c = GetParam();
  cv::Mat red(c.picture, CV_8UC3, cv::Scalar(0, 0, 255));
  classify(red);
  ASSERT_EQ(_fed->size(), 1u);
  const FedTensor& fed = _fed->at(0);
  EXPECT_EQ(fed.name, "image");
  ASSERT_EQ(fed.shape, (std::vector<int>{1, 3, c.fed.height, c.fed.width}));
  if (c.n_type == 102) {
    EXPECT_EQ(c.fed.height % 32, 0);
    EXPECT_EQ(c.fed.width % 32, 0);
  }
  // Boxes of mode 102 are fractions of the resized picture, padding left out;
  // the other modes here leave the scales alone.
  const bool scaled = c.n_type == 102;
  EXPECT_FLOAT_EQ(_engine->box_scale_x(), scaled ? 1.0f / static_cast<float>(c.resized.width) : 1.0f);
  EXPECT_FLOAT_EQ(_engine->box_scale_y(), scaled ? 1.0f / static_cast<float>(c.resized.height) : 1.0f);

  // Planar RGB of (pixel − 127.5) / 127.5: red is +1 in plane 0 and −1 elsewhere;
  // the padding (right and bottom) is black, −1 in every plane.
  const size_t plane = static_cast<size_t>(c.fed.area());
  ASSERT_EQ(fed.values.size(), 3 * plane);
  int wrong = 0;
  for (int k = 0; k < 3; ++k)
    for (int y = 0; y < c.fed.height; ++y)
      for (int x = 0; x < c.fed.width; ++x) {
        const bool picture = x < c.resized.width && y < c.resized.height;
        const float expected = picture && k == 0 ? 1.0f : -1.0f;
        const float value = fed.values[k * plane + static_cast<size_t>(y) * c.fed.width + x];
        if (std::abs(value - expected) > 1e-5f && wrong++ < 5)
          ADD_FAILURE() << "plane " << k << " (" << y << ", " << x << "): " << value << " for " << expected;
      }
  EXPECT_EQ(wrong, 0);
}

// Images OpenCV's colour conversion or resize do not take (CV_64F, CV_32S gray)
// used to throw cv::Exception out of the preprocessing.
TEST_P(CpuEngineModes, ImagesOfOtherTypesGetACode) {
  const int dims3[] = {4, 5, 6};
  cv::Mat cube(3, dims3, CV_8UC3, cv::Scalar(1, 2, 3));
  cv::Mat wide(5, 7, CV_8UC3, cv::Scalar(1, 2, 3));
  const struct {
    cv::Mat image;
    int code;
  } cases[] = {
      {cv::Mat(GetParam().picture, CV_64FC1, cv::Scalar(0.5)), norvane::NV_ERR_BAD_REQUEST},
      {cv::Mat(GetParam().picture, CV_64FC3, cv::Scalar(0.5)), norvane::NV_ERR_BAD_REQUEST},
      {cv::Mat(GetParam().picture, CV_32SC1, cv::Scalar(7)), norvane::NV_ERR_BAD_REQUEST},
      {cv::Mat(GetParam().picture, CV_32SC3, cv::Scalar(7)), norvane::NV_ERR_BAD_REQUEST},
      {cv::Mat(GetParam().picture, CV_8UC2, cv::Scalar(7)), norvane::NV_ERR_BAD_REQUEST},
      {cube, norvane::NV_ERR_BAD_REQUEST},
      {wide.colRange(2, 2), norvane::NV_ERR_EMPTY_IMAGE},  // rows, no columns, data set
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.image.type()) + ", dims " + std::to_string(c.image.dims));
    cv::Mat image = c.image;
    std::vector<EdgeResultData> results;
    EXPECT_NO_THROW(EXPECT_EQ(_engine->infer(image, norvane::BGR, results, 0.0f), c.code));
    EXPECT_TRUE(results.empty());
  }
  EXPECT_TRUE(_fed->empty());
}

INSTANTIATE_TEST_SUITE_P(ExampleClassifier, CpuEngineModes, ::testing::ValuesIn(mode_cases()),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                           return "Case" + std::to_string(info.index) + "_Mode" +
                                  std::to_string(info.param.n_type);
                         });

}  // namespace
