// The FPGA engine's init and preprocessing, against a scripted runtime predictor
// (infer) and the runtime layer itself (init).

#include <cstdlib>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/engine_test_support.h"
#include "norvane/edge_controller_impl.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

using engine_test::FpgaProbe;
using norvane::EdgeResultData;

namespace {

const float kMean[3] = {10.0f, 20.0f, 30.0f};
const float kScale[3] = {0.5f, 0.25f, 2.0f};

// An engine configured for a 4 x 3 (width x height) input, fed by a script.
struct Fixture {
  explicit Fixture(int color_format = 2, int width = 4, int height = 3) {
    engine.set_kind(norvane::MODEL_KIND_DETECTION);
    engine.set_labels({"cat", "dog"});
    engine.set_input(width, height, kMean, kScale, color_format);
    script = engine.script_predictor();
    script->outputs.push_back({{1, 6}, {1, 0.9f, 0.1f, 0.2f, 0.3f, 0.4f}});
  }
  int infer(cv::Mat image, float threshold = 0.5f) {
    return engine.infer(image, norvane::BGR, results, threshold);
  }
  const engine_test::FedTensor& fed(size_t i = 0) const { return script->calls.back().at(i); }

  norvane_test::HomeGuard home;  // the usage count writes into the local folder
  FpgaProbe engine;
  std::shared_ptr<engine_test::Script> script;
  std::vector<EdgeResultData> results;
};

cv::Mat gradient(int rows, int cols, int channels) {
  cv::Mat m(rows, cols, CV_8UC(channels));
  for (int i = 0; i < static_cast<int>(m.total() * channels); ++i) m.data[i] = static_cast<uchar>(i * 7 + 3);
  return m;
}

class EnvGuard {
 public:
  EnvGuard(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
  ~EnvGuard() { unsetenv(name_); }

 private:
  const char* name_;
};

}  // namespace

TEST(FpgaEngine, RefusesWhatItCannotRun) {
  Fixture f;
  norvane_test::LogCapture cap;
  EXPECT_EQ(f.infer(cv::Mat()), norvane::NV_ERR_EMPTY_IMAGE);
  EXPECT_EQ(cap.count(el::Level::Error, "Empty image!"), 1);
  EXPECT_EQ(f.infer(cv::Mat(3, 4, CV_16UC3, cv::Scalar(1, 1, 1))), norvane::NV_ERR_BAD_REQUEST);
  EXPECT_EQ(f.infer(cv::Mat(3, 4, CV_8UC2, cv::Scalar(1, 1))), norvane::NV_ERR_BAD_REQUEST);
  // Rows without columns and three dimensions used to throw cv::Exception.
  cv::Mat wide(3, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  EXPECT_NO_THROW(EXPECT_EQ(f.infer(wide.colRange(1, 1)), norvane::NV_ERR_EMPTY_IMAGE));
  const int dims3[] = {2, 3, 4};
  EXPECT_NO_THROW(EXPECT_EQ(f.infer(cv::Mat(3, dims3, CV_8UC3, cv::Scalar(1, 2, 3))), norvane::NV_ERR_BAD_REQUEST));
  EXPECT_NO_THROW(EXPECT_EQ(f.infer(cv::Mat(3, 4, CV_64FC3, cv::Scalar(1, 2, 3))), norvane::NV_ERR_BAD_REQUEST));
  EXPECT_NO_THROW(EXPECT_EQ(f.infer(cv::Mat(3, 4, CV_32SC1, cv::Scalar(1))), norvane::NV_ERR_BAD_REQUEST));
  EXPECT_TRUE(f.script->calls.empty());

  f.engine.set_input(0, 0, kMean, kScale, 2);  // preprocessing parameters without "resize"
  EXPECT_EQ(f.infer(gradient(3, 4, 3)), norvane::NV_ERR_MODEL_CONFIG);
  EXPECT_TRUE(f.script->calls.empty());

  FpgaProbe uninitialised{norvane::TamrinFluidConfig()};
  std::vector<EdgeResultData> results;
  cv::Mat image = gradient(3, 4, 3);
  EXPECT_EQ(uninitialised.infer(image, norvane::BGR, results, 0.5f), norvane::NV_ERR_RUNTIME);
  EXPECT_EQ(cap.count(el::Level::Error, "No runtime predictor"), 1);

  std::vector<float> raw = {1.0f};
  EXPECT_EQ(uninitialised.infer(image, raw), norvane::NV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(raw.size(), 1u);
}

TEST(FpgaEngine, FeedsInterleavedNormalisedPixelsWidthFirst) {
  for (int color_format : {1, 2}) {
    Fixture f(color_format);
    f.engine.set_box_scales(0.5f, 0.25f);
    cv::Mat image = gradient(3, 4, 3);
    ASSERT_EQ(f.infer(image), norvane::NV_OK);
    ASSERT_EQ(f.script->calls.back().size(), 1u);  // no size input outside mode 101
    EXPECT_EQ(f.fed().shape, (std::vector<int>{1, 3, 4, 3}));
    EXPECT_FALSE(f.fed().owned);
    ASSERT_EQ(f.fed().values.size(), 36u);
    for (int i = 0; i < 36; ++i) {
      const int k = i % 3;
      const int source_k = color_format == 1 ? 2 - k : k;  // RGB order reverses the bytes of a pixel
      const float want = (static_cast<float>(image.data[i - k + source_k]) - kMean[k]) * kScale[k];
      ASSERT_EQ(f.fed().values[i], want) << "value " << i << " colour format " << color_format;
    }
    ASSERT_EQ(f.results.size(), 1u);
    EXPECT_FLOAT_EQ(f.results[0].x1, 0.05f);  // box scales untouched outside mode 101
    EXPECT_FLOAT_EQ(f.results[0].y1, 0.05f);
  }
}

TEST(FpgaEngine, WidensGrayDropsAlphaAndResizes) {
  Fixture f;
  cv::Mat bgr = gradient(3, 4, 3);
  ASSERT_EQ(f.infer(bgr), norvane::NV_OK);
  const std::vector<float> from_bgr = f.fed().values;

  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  ASSERT_EQ(f.infer(bgra), norvane::NV_OK);
  EXPECT_EQ(f.fed().values, from_bgr);

  ASSERT_EQ(f.infer(cv::Mat(3, 4, CV_8UC1, cv::Scalar(50))), norvane::NV_OK);
  for (size_t i = 0; i < f.fed().values.size(); ++i) ASSERT_EQ(f.fed().values[i], (50 - kMean[i % 3]) * kScale[i % 3]);

  ASSERT_EQ(f.infer(gradient(30, 17, 3)), norvane::NV_OK);
  EXPECT_EQ(f.fed().shape, (std::vector<int>{1, 3, 4, 3}));
}

TEST(FpgaEngine, Mode101AddsSizeInputAndScalesBoxesByHeightAndWidth) {
  Fixture f(2, 640, 480);
  f.engine.set_mode(101);
  f.script->outputs = {{{1, 6}, {1, 0.9f, 240, 320, 480, 640}}};
  norvane_test::LogCapture cap(2);
  ASSERT_EQ(f.infer(gradient(480, 640, 3)), norvane::NV_OK);
  ASSERT_EQ(f.script->calls.back().size(), 2u);
  EXPECT_EQ(f.fed(1).shape, (std::vector<int>{1, 2}));
  EXPECT_EQ(f.fed(1).values, (std::vector<float>{640.0f, 480.0f}));
  EXPECT_FLOAT_EQ(f.engine.box_scale_x(), 1.0f / 480);
  EXPECT_FLOAT_EQ(f.engine.box_scale_y(), 1.0f / 640);
  ASSERT_EQ(f.results.size(), 1u);
  EXPECT_FLOAT_EQ(f.results[0].x1, 0.5f);
  EXPECT_FLOAT_EQ(f.results[0].y2, 1.0f);
  EXPECT_EQ(cap.count(el::Level::Verbose, "Prepare second input...."), 1);
  EXPECT_EQ(cap.count(el::Level::Verbose, "Result shape: 1,6"), 1);
}

TEST(FpgaEngine, RunWithoutOutputIsAnError) {
  Fixture f;
  f.script->clear_outputs = true;
  norvane_test::LogCapture cap(1);
  EXPECT_EQ(f.infer(gradient(3, 4, 3)), norvane::NV_ERR_RUNTIME);
  EXPECT_EQ(cap.count(el::Level::Error, "no output tensor"), 1);

  f.script->clear_outputs = false;
  f.script->fail = true;  // the runtime's failure: one default tensor
  EXPECT_EQ(f.infer(gradient(3, 4, 3)), norvane::NV_ERR_RUNTIME);
}

TEST(FpgaEngine, DeviceIsOpenedOncePerProcessAndRetriedAfterFailure) {
  norvane_test::HomeGuard home;
  norvane_test::TempDir res;
  engine_test::write_resources(res.path(), norvane::MODEL_KIND_DETECTION, 0, "not a network");
  norvane::TamrinFluidConfig config;
  config.res_dir = res.path();
  FpgaProbe::forget_device();
  {
    EnvGuard bad("TAMRIN_FPGA_DEVICE", "/nonexistent/fpga0");
    FpgaProbe engine(config);
    engine.script_predictor();
    norvane_test::LogCapture cap;
    EXPECT_EQ(engine.init(), norvane::NV_ERR_OPEN_DEVICE);
    EXPECT_EQ(cap.count(el::Level::Info, "Open fpga device: -1"), 1);
    EXPECT_EQ(cap.count(el::Level::Error, "Failed to fpga device: -1"), 1);
    EXPECT_NE(engine.model_security(), nullptr);
    EXPECT_TRUE(engine.has_predictor());  // left as it was
  }
  {
    EnvGuard good("TAMRIN_FPGA_DEVICE", res.file("params"));  // any openable node will do
    FpgaProbe engine(config);
    norvane_test::LogCapture cap;
    EXPECT_EQ(engine.init(), norvane::NV_ERR_RUNTIME);  // the model bytes are no network
    EXPECT_EQ(cap.count(el::Level::Info, "Open fpga device: "), 1);
    EXPECT_GE(FpgaProbe::device_fd(), 0);
    EXPECT_EQ(cap.count(el::Level::Info, "Load graph, this may take a while. (TAMRINMOBILE-FPGA)13, 6"), 1);
    EXPECT_EQ(cap.count(el::Level::Error, "Failed to create tamrin predictor!"), 1);
  }
  {
    EnvGuard bad("TAMRIN_FPGA_DEVICE", "/nonexistent/fpga0");
    FpgaProbe second(config);
    second.script_predictor();
    norvane_test::LogCapture cap;
    EXPECT_EQ(second.init(), norvane::NV_ERR_RUNTIME);  // got past the device step without reopening
    EXPECT_FALSE(cap.contains("Open fpga device: "));
    EXPECT_FALSE(second.has_predictor());  // a failed load drops the predictor held before
  }
}

// init ends with one run on a blank picture, so that OpenCV builds what it builds
// on a first inference before the exit gate is registered (exit before the first
// inference ended crashed). That run is the library's: not counted, not logged.
TEST(FpgaEngine, InitEndsWithAnUncountedQuietRun) {
  norvane_test::HomeGuard home;
  norvane::TamrinFluidConfig config;
  config.res_dir = std::string(NORVANE_SOURCE_DIR) + "/models/red_detector_101";  // mode 101, 96 x 96
  FpgaProbe engine(config);
  norvane::Stat& stat = norvane::EdgeControllerImpl::global()->stat();
  const std::string counts = stat.stat_data_to_json();
  norvane_test::LogCapture cap(2);
  ASSERT_EQ(engine.init(), norvane::NV_OK);
  EXPECT_FLOAT_EQ(engine.box_scale_x(), 1.0f / 96);  // set by the run's size input
  EXPECT_EQ(stat.stat_data_to_json(), counts);
  EXPECT_FALSE(cap.contains("Inference costs"));
  EXPECT_FALSE(cap.contains("Prepare second input"));
  EXPECT_FALSE(cap.contains("Result shape"));
}

TEST(FpgaEngine, CoreInitFailureStopsBeforeModelLoading) {
  norvane_test::HomeGuard home;
  norvane_test::TempDir res;
  norvane::TamrinFluidConfig config;
  config.res_dir = res.path();
  FpgaProbe engine(config);
  EXPECT_EQ(engine.init(), norvane::NV_ERR_MODEL_CONFIG);
  EXPECT_EQ(engine.model_security(), nullptr);
}
