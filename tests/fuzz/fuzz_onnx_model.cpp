// The runtime layer's ONNX graph reader and model loading, seeded with the example
// models. A damaged model must be refused (no predictor) or load; the process must
// never crash. A loaded model is run once on a small picture.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/tamrin_mobile/src/onnx_graph_io.h"
#include "tamrin_mobile/tamrin_mobile.h"

using namespace tamrin_mobile;

// Seeds the corpus folder (the first argument that is not a flag) with the example
// models as they are now, so the committed corpus need not copy them.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  const char* corpus = nullptr;
  for (int i = 1; i < *argc; i++)
    if ((*argv)[i][0] != '-') corpus = corpus ? corpus : (*argv)[i];
  if (corpus == nullptr) return 0;
  for (const char* name : {"color_classifier", "red_detector", "red_detector_101", "instance_segmenter"}) {
    const std::string from = std::string(NORVANE_SOURCE_DIR) + "/models/" + name + "/model";
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(std::string(corpus) + "/example_" + name, std::ios::binary);
    if (in && out) out << in.rdbuf();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  detail::OnnxGraphIo io;
  const bool readable = detail::read_onnx_graph_io(data, size, &io);
  if (!readable && (!io.inputs.empty() || !io.outputs.empty())) std::abort();  // refused means empty
  if (!readable) return 0;

  TamrinMobileConfig config;
  config.thread_num = 1;
  config.memory_pack.from_memory = true;
  config.memory_pack.model_size = static_cast<int64_t>(size);
  config.memory_pack.model_data = const_cast<uint8_t*>(data);
  auto predictor = CreateTamrinPredictor<TamrinMobileConfig, TamrinEngineKind::kTamrinMobile>(config);
  if (!predictor) return 0;

  // The example models take 64 × 64 or 96 × 96 pictures and an optional size input;
  // any other shape must be refused by the runtime, not crash it.
  for (int side : {64, 96}) {
    std::vector<float> pixels(static_cast<size_t>(side) * side * 3, 0.5f);
    float size_values[2] = {static_cast<float>(side), static_cast<float>(side)};
    std::vector<TamrinTensor> inputs(2);
    inputs[0].shape = {1, 3, side, side};
    inputs[0].data.Reset(pixels.data(), static_cast<int64_t>(pixels.size() * sizeof(float)));
    inputs[1].shape = {1, 2};
    inputs[1].data.Reset(size_values, sizeof(size_values));
    std::vector<TamrinTensor> outputs(1);
    predictor->Run(inputs, &outputs, -1);
    for (auto& t : outputs) t.data.Free();
  }
  return 0;
}
