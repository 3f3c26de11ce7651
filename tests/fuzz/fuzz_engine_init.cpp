// Model bytes through the FPGA engine's whole init: the model description of one
// example directory, the model file deciphered by its encipherment type, the
// parameter file, the damaged-model checker, the import and the first run; then
// one inference when init succeeds. Init must answer with a code, never crash.
// Input: one byte choosing the example, the parameter file as FuzzedDataProvider's
// random-length string (a backslash followed by anything but a backslash ends
// it), then the model file's bytes (enciphered for the enc1 and enc2 examples).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "norvane/edge_controller.h"

namespace {

const char* const kExamples[] = {"color_classifier", "color_classifier_enc1", "color_classifier_enc2",
                                 "red_detector",     "red_detector_101",      "instance_segmenter"};
constexpr size_t kExampleCount = sizeof(kExamples) / sizeof(kExamples[0]);
const char* const kDescriptionFiles[] = {"conf.json", "preprocess_args.json", "postprocess_args.json",
                                         "label_list.txt"};

std::string example_file(const char* example, const char* name) {
  return norvane::utils::read_file_binary(std::string(NORVANE_SOURCE_DIR) + "/models/" + example + "/" + name);
}

// One resource directory per example, its description files copied once.
std::string resource_dir(size_t example) {
  const std::string dir = norvane_fuzz::scratch_dir() + "/" + kExamples[example];
  if (!norvane::utils::folder_exists(dir)) {
    norvane::utils::mkdir(dir);
    for (const char* name : kDescriptionFiles) {
      const std::string text = example_file(kExamples[example], name);
      if (!text.empty()) norvane_fuzz::write_file(dir + "/" + name, text);
    }
  }
  return dir;
}

}  // namespace

// Seeds the corpus folder (the first argument that is not a flag) with each
// example's model file as it is now, with an empty parameter file.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  norvane::EdgeController* controller = norvane::global_controller();
  controller->set_config("EDGE_HOME", norvane_fuzz::scratch_dir());
  controller->set_server_addr("");
  norvane_fuzz::quiet_logger();
  const char* corpus = nullptr;
  for (int i = 1; i < *argc; i++)
    if ((*argv)[i][0] != '-') corpus = corpus ? corpus : (*argv)[i];
  if (corpus == nullptr) return 0;
  for (size_t i = 0; i < kExampleCount; ++i) {
    std::string seed(1, static_cast<char>(i));
    seed += "\\x";  // the end of an empty parameter file
    seed += example_file(kExamples[i], "model");
    norvane_fuzz::write_file(std::string(corpus) + "/example_" + kExamples[i], seed);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string dir = resource_dir(in.ConsumeIntegral<uint8_t>() % kExampleCount);
  norvane_fuzz::write_file(dir + "/params", in.ConsumeRandomLengthString(size));
  norvane_fuzz::write_file(dir + "/model", in.ConsumeRemainingBytesAsString());

  norvane::TamrinFluidConfig config;
  config.res_dir = dir;
  config.thread_num = 1;
  std::unique_ptr<norvane::EdgePredictor> predictor = norvane::global_controller()->CreateEdgePredictor(config);
  if (predictor->init() != 0) return 0;
  cv::Mat image(40, 30, CV_8UC3, cv::Scalar(20, 40, 220));
  std::vector<norvane::EdgeResultData> results;
  predictor->infer(image, results);
  return 0;
}
