// The model resource files ("conf.json", the preprocessing and postprocessing
// arguments, the label list) through the core's reading and checking, then one
// inference of a fixed network output through the core's decoding and JSON.
// Input: the four file texts one after the other, each as FuzzedDataProvider's
// random-length string (a backslash followed by anything but a backslash ends one).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "norvane/edge_controller.h"
#include "norvane/edge_predictor_impl.h"

namespace {

class FixedOutputPredictor : public norvane::EdgePredictorImpl {
 public:
  using EdgePredictorImpl::EdgePredictorImpl;
  using EdgePredictorImpl::infer;
  std::vector<float> output;
  int infer(cv::Mat& /*image*/, std::vector<float>& out) override {
    out = output;
    return 0;
  }
};

const char* const kFiles[] = {"conf.json", "preprocess_args.json", "postprocess_args.json", "label_list.txt"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Inference counts through the controller, which sets the log configuration
  // when it starts: it starts first. Its statistics stay in the scratch folder,
  // and an empty server address makes its uploads fail before any connection.
  norvane::EdgeController* controller = norvane::global_controller();
  controller->set_config("EDGE_HOME", norvane_fuzz::scratch_dir());
  controller->set_server_addr("");
  norvane_fuzz::quiet_logger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string& dir = norvane_fuzz::scratch_dir();
  for (const char* name : kFiles) norvane_fuzz::write_file(dir + "/" + name, in.ConsumeRandomLengthString(size));

  norvane::EdgePredictorConfig config;
  config.res_dir = dir;
  FixedOutputPredictor predictor(config);
  if (predictor.init() != 0) return 0;
  predictor.model_info();
  // Classification scores, or one detection record after the 7-float header.
  predictor.output = {1.0f, 0, 0, 0, 0, 0, 0, 0, 1.0f, 0.9f, 0.1f, 0.2f, 0.3f, 0.4f};
  cv::Mat image(4, 4, CV_8UC3);
  std::string json;
  try {
    predictor.infer(image, json);
  } catch (const std::overflow_error&) {
    // A non-finite score cannot be written as JSON; picojson refuses it by design.
  }
  return 0;
}
