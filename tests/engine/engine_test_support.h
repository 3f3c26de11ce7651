#pragma once

// Helpers for the engine tests: tensors from literals, a scripted runtime
// predictor that records what it was fed, test subclasses that reach the engines'
// protected state, and resource directories written on the spot.

#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <tamrin_mobile/tamrin_mobile.h>

#include "norvane/engine/tamrinfluid_edge_predictor.h"
#include "norvane/engine/tamrinmobile_fpga_edge_predictor.h"

namespace engine_test {

using tamrin_mobile::TamrinTensor;

inline TamrinTensor make_tensor(const std::vector<int>& shape, const std::vector<float>& values) {
  TamrinTensor t;
  t.shape = shape;
  t.data.Resize(static_cast<int64_t>(values.size() * sizeof(float)));
  if (!values.empty()) std::memcpy(t.data.data(), values.data(), values.size() * sizeof(float));
  return t;
}

inline std::vector<TamrinTensor> one_output(const std::vector<int>& shape, const std::vector<float>& values) {
  std::vector<TamrinTensor> v;
  v.push_back(make_tensor(shape, values));
  return v;
}

// What one Run call received, copied: the engine's input buffer dies with the call.
struct FedTensor {
  std::string name;
  std::vector<int> shape;
  bool owned = false;
  std::vector<float> values;
};

struct Script {
  std::vector<std::vector<FedTensor>> calls;
  std::vector<std::pair<std::vector<int>, std::vector<float>>> outputs;  // what Run leaves
  bool clear_outputs = false;  // leave the output vector empty
  bool fail = false;           // return false with default tensors, as the runtime does
};

class ScriptedPredictor : public tamrin_mobile::TamrinPredictor {
 public:
  explicit ScriptedPredictor(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  bool Run(const std::vector<TamrinTensor>& inputs, std::vector<TamrinTensor>* outputs, int) override {
    std::vector<FedTensor> fed;
    for (const auto& t : inputs) {
      const float* p = static_cast<const float*>(t.data.data());
      fed.push_back({t.name, t.shape, t.data.memory_owned(),
                     std::vector<float>(p, p + t.data.length() / static_cast<int64_t>(sizeof(float)))});
    }
    script_->calls.push_back(std::move(fed));
    outputs->clear();
    if (script_->clear_outputs) return false;
    if (script_->fail) {
      outputs->resize(1);
      return false;
    }
    for (const auto& o : script_->outputs) outputs->push_back(make_tensor(o.first, o.second));
    return true;
  }

 private:
  std::shared_ptr<Script> script_;
};

// Gives tests the protected state of either engine.
template <typename Engine>
class Probe : public Engine {
 public:
  explicit Probe(const norvane::TamrinFluidConfig& config = norvane::TamrinFluidConfig()) : Engine(config) {}

  using Engine::_postprocess;
  using Engine::_get_model_feed;

  void set_kind(int kind) { this->_model_config.modelType = kind; }
  void set_mode(int64_t n_type) { this->_model_config.nType = n_type; }
  void set_labels(const std::vector<std::string>& labels) { this->_labels = labels; }
  void set_box_scales(float x, float y) {
    this->_box_scale_x = x;
    this->_box_scale_y = y;
  }
  float box_scale_x() const { return this->_box_scale_x; }
  float box_scale_y() const { return this->_box_scale_y; }
  void set_input(int width, int height, const float mean[3], const float scale[3], int color_format) {
    this->_resize_w = width;
    this->_resize_h = height;
    for (int k = 0; k < 3; ++k) {
      this->_mean[k] = mean[k];
      this->_scale[k] = scale[k];
    }
    this->_color_format = color_format;
  }
  std::shared_ptr<Script> script_predictor() {
    auto script = std::make_shared<Script>();
    this->_predictor = std::make_unique<ScriptedPredictor>(script);
    return script;
  }
  void set_predictor(std::unique_ptr<tamrin_mobile::TamrinPredictor> p) { this->_predictor = std::move(p); }
  bool has_predictor() const { return static_cast<bool>(this->_predictor); }
  const norvane::ModelSecurity* model_security() const { return this->_model_security.get(); }
};

using DecodingEngine = Probe<norvane::TamrinFluidEdgePredictor>;

class FpgaProbe : public Probe<norvane::TamrinMobileFpgaEdgePredictor> {
 public:
  using Probe::Probe;
  static int device_fd() { return _fpga_device_fd; }
  static void forget_device() { _fpga_device_fd = -1; }
};

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// A resource directory for a plain model of the given kind and mode.
inline void write_resources(const std::string& dir, int kind, int n_type, const std::string& model_bytes,
                            const std::string& labels = "cat\ndog\nbird\n") {
  write_file(dir + "/conf.json", "{\"modelType\": " + std::to_string(kind) +
                                     ", \"modelId\": 7, \"modelName\": \"probe\", \"modelEnc\": 0, \"nType\": " +
                                     std::to_string(n_type) + "}");
  write_file(dir + "/preprocess_args.json",
             "{\"img_mean\": [1, 2, 3], \"resize\": [8, 6], \"scale\": [0.5, 0.25, 2], \"colorFormat\": \"BGR\"}");
  write_file(dir + "/label_list.txt", labels);
  write_file(dir + "/model", model_bytes);
  write_file(dir + "/params", "unused");
}

}  // namespace engine_test
