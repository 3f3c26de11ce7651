#pragma once

// Model resource directories written by the tests, and predictors that expose
// the base's protected state or stand in for an engine's inference.

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "norvane/edge_predictor_impl.h"
#include "support/temp_dir.h"

namespace norvane_test {

class ResourceDir {
 public:
  void write(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_.file(name), std::ios::binary | std::ios::trunc);
    out << content;
  }
  void remove(const std::string& name) const { std::remove(dir_.file(name).c_str()); }
  const std::string& path() const { return dir_.path(); }
  norvane::EdgePredictorConfig config() const {
    norvane::EdgePredictorConfig c;
    c.res_dir = dir_.path();
    return c;
  }

 private:
  TempDir dir_;
};

// The base predictor with its protected state opened up for checks and set-up.
class ProbePredictor : public norvane::EdgePredictorImpl {
 public:
  explicit ProbePredictor(const norvane::EdgePredictorConfig& config = {}) : EdgePredictorImpl(config) {}
  using EdgePredictorImpl::infer;
  using EdgePredictorImpl::_box_scale_x;
  using EdgePredictorImpl::_box_scale_y;
  using EdgePredictorImpl::_color_format;
  using EdgePredictorImpl::_conf;
  using EdgePredictorImpl::_config_map;
  using EdgePredictorImpl::_is_normed;
  using EdgePredictorImpl::_labels;
  using EdgePredictorImpl::_max_size;
  using EdgePredictorImpl::_mean;
  using EdgePredictorImpl::_model_config;
  using EdgePredictorImpl::_output_node_name;
  using EdgePredictorImpl::_res_dir;
  using EdgePredictorImpl::_resize_h;
  using EdgePredictorImpl::_resize_w;
  using EdgePredictorImpl::_scale;
  using EdgePredictorImpl::_target_size;
};

// An engine whose full inference hands back chosen records and code, and
// remembers what it was called with.
class ScriptedPredictor : public ProbePredictor {
 public:
  using ProbePredictor::ProbePredictor;
  using ProbePredictor::infer;

  int infer(cv::Mat& /*image*/, norvane::EdgeColorFormat format, std::vector<norvane::EdgeResultData>& results,
            float threshold) override {
    ++calls;
    last_format = format;
    last_threshold = threshold;
    results.insert(results.end(), scripted.begin(), scripted.end());
    return scripted_code;
  }

  std::vector<norvane::EdgeResultData> scripted;
  int scripted_code = norvane::NV_OK;
  int calls = 0;
  int last_format = 0;
  float last_threshold = -1.0f;
};

// An engine whose raw network output is chosen by the test, so the base's
// generic decoding runs on it.
class RawOutputPredictor : public ProbePredictor {
 public:
  using ProbePredictor::ProbePredictor;
  using ProbePredictor::infer;

  int infer(cv::Mat& /*image*/, std::vector<float>& output) override {
    output = raw;
    return raw_code;
  }

  std::vector<float> raw;
  int raw_code = norvane::NV_OK;
};

inline norvane::EdgeResultData make_result(int index, const std::string& label, float prob, float x1 = 0.0f,
                                           float y1 = 0.0f, float x2 = 0.0f, float y2 = 0.0f) {
  norvane::EdgeResultData r;
  r.index = index;
  r.label = label;
  r.prob = prob;
  r.x1 = x1;
  r.y1 = y1;
  r.x2 = x2;
  r.y2 = y2;
  return r;
}

}  // namespace norvane_test
