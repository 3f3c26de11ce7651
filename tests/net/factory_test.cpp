// The controller's factory and service start, in process, on the example models
// written by tools/gen_models.py.

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "norvane/edge_controller.h"
#include "norvane/edge_predictor_impl.h"
#include "norvane/engine/tamrinmobile_fpga_edge_predictor.h"
#include "service_test_util.h"
#include "support/temp_dir.h"

namespace norvane_test {
namespace {

const std::string kClassifier = std::string(NORVANE_SOURCE_DIR) + "/models/color_classifier";

// The template members without the process-wide singleton and its timers.
class BareController : public norvane::EdgeController {
 public:
  int set_bundle_id(const std::string&) override { return 0; }
  int set_server_addr(const std::string&) override { return 0; }
  int set_log_config(const norvane::EdgeLogConfig&) override { return 0; }
  int set_config(const std::string&, const std::string&) override { return 0; }
};

class Factory : public ::testing::Test {
 protected:
  void SetUp() override {
    quiet_logger();
    if (!std::filesystem::exists(kClassifier + "/conf.json")) GTEST_SKIP() << "example models missing";
  }
  HomeGuard home_;
  BareController controller_;
};

TEST_F(Factory, CreatesIndependentUninitialisedFpgaEngines) {
  norvane::TamrinFluidConfig config;
  config.res_dir = kClassifier;
  auto first = controller_.CreateEdgePredictor(config);
  auto second = controller_.CreateEdgePredictor(config);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  ASSERT_NE(dynamic_cast<norvane::TamrinMobileFpgaEdgePredictor*>(first.get()), nullptr);
  EXPECT_FALSE(static_cast<norvane::EdgePredictorImpl*>(first.get())->initialized());

  // The engine keeps its own copy of the configuration.
  config.res_dir = "/nonexistent";
  config.model_file = "nothing";
  EXPECT_EQ(first->init(), norvane::NV_OK);
  EXPECT_EQ(first->model_info().name, "color_classifier");
}

TEST_F(Factory, FirstFailedInitEndsStartUp) {
  LogCapture capture;
  TempDir empty;
  norvane::TamrinFluidConfig config;
  config.res_dir = empty.path();
  EXPECT_EQ(controller_.start_http_server(config, "127.0.0.1", 0, "", 3), norvane::NV_ERR_MODEL_CONFIG);
  EXPECT_FALSE(capture.contains("HTTP is now serving"));

  // A description whose "modelId" is a string raises nothing out of init.
  std::filesystem::copy(kClassifier, empty.path(), std::filesystem::copy_options::recursive);
  std::ofstream(empty.file("conf.json"), std::ios::trunc) << R"({"modelType": 1, "modelId": "1001"})";
  EXPECT_EQ(controller_.start_http_server(config, "127.0.0.1", 0, "", 2), norvane::NV_ERR_MODEL_CONFIG);
}

}  // namespace
}  // namespace norvane_test
