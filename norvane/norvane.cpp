// Predictor core: the configuration record, the shared base of every engine, its
// default-argument overloads, the operations no engine supports, the generic
// output decoding and the results as JSON text.
//
// Reading the model resource directory is in norvane_config.cpp, the CPU engine's
// image preprocessing in norvane_preprocess.cpp.

#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <utility>

#include <picojson.h>

#include "norvane/edge_controller_impl.h"
#include "norvane/edge_predictor_impl.h"
#include "norvane/inference_gate.h"
#include "norvane/log.h"

namespace norvane {

namespace {

// Size of one detection record in the generic raw output: 7 floats, of which the
// first (value 0) is unused; the records start after a 7-float header whose
// first value is the record count.
constexpr size_t kDetectionRecordSize = 7;

// Truncates a pixel coordinate toward zero. Coordinates come from the network, so
// a huge value saturates instead of overflowing the conversion; NaN cannot be
// written as JSON and is refused the way picojson refuses a non-finite number.
int64_t truncate_pixel(float v) {
  if (std::isnan(v)) throw std::overflow_error("");
  constexpr float kLimit = 9.2233720368547758e18f;  // 2^63, exactly representable
  if (v >= kLimit) return std::numeric_limits<int64_t>::max();
  if (v <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

int not_supported() {
  NV_LOG(ERROR) << "Not supported";
  return NV_ERR_NOT_SUPPORTED;
}

}  // namespace

void EdgePredictorConfig::set_config(const std::string& key, const std::string& value) {
  config_map[key] = value;
}

EdgePredictorImpl::EdgePredictorImpl(const EdgePredictorConfig& config)
    : _res_dir(config.res_dir),
      _label_file(config.label_file),
      _preprocess_file(config.preprocess_file),
      _postprocess_file(config.postprocess_file),
      _model_config_file(config.model_config_file),
      _config_map(config.config_map) {}

EdgePredictorImpl::~EdgePredictorImpl() {
  NV_VLOG(1) << "~EdgePredictorImpl";
}

int EdgePredictorImpl::model_kind() {
  return _model_config.modelType;
}

ModelInfo EdgePredictorImpl::model_info() {
  ModelInfo info;
  info.id = _model_config.bizModelId;
  info.name = _model_config.modelName;
  info.kind = _model_config.modelType;
  info.thresholdRec = _model_config.thresholdRec;
  return info;
}

int EdgePredictorImpl::infer(cv::Mat& /*image*/, std::vector<float>& /*output*/) {
  return NV_ERR_NOT_SUPPORTED;
}

// The forwarders read the recommended threshold at call time, so a later init()
// changes what they pass, and they call virtually to reach the engine.
int EdgePredictorImpl::infer(cv::Mat& image, std::vector<EdgeResultData>& results) {
  return infer(image, BGR, results, _model_config.thresholdRec);
}

int EdgePredictorImpl::infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results) {
  return infer(image, format, results, _model_config.thresholdRec);
}

int EdgePredictorImpl::infer(cv::Mat& image, EdgeColorFormat /*format*/, std::vector<EdgeResultData>& results,
                             float threshold) {
  InferencePass pass;
  if (!pass.admitted()) return NV_ERR_RUNTIME;
  pre_infer();

  std::vector<float> output;
  int ret = infer(image, output);
  if (ret != NV_OK) return ret;
  std::cout << std::endl;

  const int kind = _model_config.modelType;
  if (kind == MODEL_KIND_CLASSIFICATION) {
    NV_LOG(DEBUG) << "Classificatin model.";
    for (size_t i = 0; i < output.size(); ++i) {
      if (i >= _labels.size()) {
        NV_LOG(ERROR) << "Index is out of label_list range!";
        continue;
      }
      if (output[i] < threshold) continue;
      EdgeResultData r;
      r.index = static_cast<int>(i);
      r.label = _labels[i];
      r.prob = output[i];
      results.push_back(std::move(r));
    }
  } else if (kind == MODEL_KIND_DETECTION) {
    NV_LOG(DEBUG) << "Object detection model.";
    if (output.empty() || !(output[0] >= 1.0f)) return NV_OK;
    // The stated count is bounded by what the output holds, so a short or corrupt
    // output cannot make the loop read past its end.
    const size_t held = output.size() > kDetectionRecordSize
                            ? (output.size() - kDetectionRecordSize) / kDetectionRecordSize
                            : 0;
    const size_t n = output[0] >= static_cast<float>(held) ? held : static_cast<size_t>(output[0]);
    for (size_t k = 0; k < n; ++k) {
      const float* rec = &output[kDetectionRecordSize + kDetectionRecordSize * k];
      // Compared before the conversion to int so that no float, however large,
      // is truncated out of range; (-1, size) is exactly what truncates into range.
      if (!(rec[1] > -1.0f && rec[1] < static_cast<float>(_labels.size()))) {
        NV_LOG(ERROR) << "Index is out of label_list range!";
        continue;
      }
      if (rec[2] < threshold) continue;
      EdgeResultData r;
      r.index = static_cast<int>(rec[1]);
      r.label = _labels[r.index];
      r.prob = rec[2];
      r.x1 = rec[3];
      r.y1 = rec[4];
      r.x2 = rec[5];
      r.y2 = rec[6];
      results.push_back(std::move(r));
    }
  }
  return NV_OK;
}

int EdgePredictorImpl::infer(std::vector<cv::Mat>& images, std::vector<std::vector<EdgeResultData>>& results) {
  return infer(images, BGR, results, _model_config.thresholdRec);
}

int EdgePredictorImpl::infer(std::vector<cv::Mat>& images, EdgeColorFormat format,
                             std::vector<std::vector<EdgeResultData>>& results) {
  return infer(images, format, results, _model_config.thresholdRec);
}

int EdgePredictorImpl::infer(std::vector<cv::Mat>& /*images*/, EdgeColorFormat /*format*/,
                             std::vector<std::vector<EdgeResultData>>& /*results*/, float /*threshold*/) {
  return not_supported();
}

int EdgePredictorImpl::infer(cv::Mat& image, std::string& json) {
  return infer(image, json, _model_config.thresholdRec);
}

int EdgePredictorImpl::infer(cv::Mat& image, std::string& json, float threshold) {
  // Held across the JSON writing too, which exit would otherwise run into.
  InferencePass pass;
  if (!pass.admitted()) return NV_ERR_RUNTIME;
  std::vector<EdgeResultData> results;
  const int ret = infer(image, BGR, results, threshold);

  const float w = static_cast<float>(image.cols);
  const float h = static_cast<float>(image.rows);
  picojson::array items;
  items.reserve(results.size());
  for (const EdgeResultData& r : results) {
    // A non-finite number throws std::overflow_error here; it leaves this call
    // before json is touched.
    picojson::object item;
    item["index"] = picojson::value(static_cast<int64_t>(r.index));
    item["confidence"] = picojson::value(static_cast<double>(r.prob));
    item["score"] = picojson::value(static_cast<double>(r.prob));
    item["label"] = picojson::value(r.label);
    item["name"] = picojson::value(r.label);

    const int kind = model_info().kind;
    if (kind == MODEL_KIND_DETECTION || kind == MODEL_KIND_INSTANCE_MASK) {
      item["x1"] = picojson::value(static_cast<double>(r.x1));
      item["x2"] = picojson::value(static_cast<double>(r.x2));
      item["y1"] = picojson::value(static_cast<double>(r.y1));
      item["y2"] = picojson::value(static_cast<double>(r.y2));
      // Single-precision products, truncated toward zero.
      picojson::object location;
      location["left"] = picojson::value(truncate_pixel(w * r.x1));
      location["top"] = picojson::value(truncate_pixel(h * r.y1));
      location["width"] = picojson::value(truncate_pixel((r.x2 - r.x1) * w));
      location["height"] = picojson::value(truncate_pixel((r.y2 - r.y1) * h));
      item["location"] = picojson::value(std::move(location));
    }
    if (model_info().kind == MODEL_KIND_INSTANCE_MASK) item["mask"] = picojson::value(r.mask_rle);

    items.emplace_back(std::move(item));
  }
  json = picojson::value(std::move(items)).serialize();
  return ret;
}

int EdgePredictorImpl::set_result_handler(AsyncResultHandler* /*handler*/) {
  return not_supported();
}

int EdgePredictorImpl::infer_async(cv::Mat& /*image*/, EdgeColorFormat /*format*/, float /*threshold*/,
                                   void* /*user_data*/, uint64_t& /*request_id*/) {
  return not_supported();
}

int EdgePredictorImpl::infer_async(std::vector<cv::Mat>& /*images*/, EdgeColorFormat /*format*/,
                                   float /*threshold*/, void* /*user_data*/, uint64_t& /*request_id*/) {
  return not_supported();
}

int EdgePredictorImpl::pre_infer() {
  return EdgeControllerImpl::global()->stat().do_model_invoke(*this);
}

}  // namespace norvane
