#include "norvane/engine/tamrinfluid_edge_predictor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>

#include "norvane/engine/normalize.h"
#include "norvane/inference_gate.h"
#include "norvane/log.h"
#include "norvane/nv_cv.h"
#include "norvane/utils.h"

namespace norvane {

using tamrin_mobile::TamrinBuf;
using tamrin_mobile::TamrinTensor;

namespace {

// Columns of a detection row: class, probability, x1, y1, x2, y2.
constexpr int64_t kDetectionColumns = 6;

int64_t float_count(const TamrinTensor& t) {
  return t.data.data() == nullptr ? 0 : t.data.length() / static_cast<int64_t>(sizeof(float));
}

// Product of shape entries [first, first + n); false when one is negative or the
// product overflows 63 bits.
bool shape_volume(const std::vector<int>& shape, size_t first, size_t n, int64_t& volume) {
  volume = 1;
  for (size_t i = first; i < first + n; ++i) {
    if (shape[i] < 0) return false;
    if (shape[i] != 0 && volume > INT64_MAX / shape[i]) return false;
    volume *= shape[i];
  }
  return true;
}

// A class column is a float holding a whole number; NaN and values beyond int
// cannot be converted without undefined behaviour, so they count as out of range.
bool class_index(float value, int& index) {
  const double v = value;
  if (!(v > -2147483649.0 && v < 2147483648.0)) return false;
  index = static_cast<int>(v);
  return true;
}

// The probability range check on a detection row, with integer parts of the
// products with 1000: 1 <= trunc(p * 1000) <= 1001 passes. NaN, infinities and
// anything above 2 fail before the products are formed (they would overflow).
bool prob_out_of_range(float prob) {
  if (!std::isfinite(prob) || prob > 2.0f) return true;
  return Utils::cmp_lt(prob, 0.001f, 3) || Utils::cmp_gt(prob, 1.001f, 3);
}

// Descending probability, NaN last: a strict weak ordering for any values, which
// std::sort needs (a plain a > b with NaN present is undefined behaviour).
bool higher_prob(const EdgeResultData& a, const EdgeResultData& b) {
  if (std::isnan(a.prob)) return false;
  if (std::isnan(b.prob)) return true;
  return a.prob > b.prob;
}

}  // namespace

TamrinFluidEdgePredictor::TamrinFluidEdgePredictor(const TamrinFluidConfig& config)
    : EdgePredictorImpl(config), _config(config) {}

TamrinFluidEdgePredictor::~TamrinFluidEdgePredictor() {
  // Plain temporary model files go before the predictor that was loaded from them.
  _model_security.reset();
  _predictor.reset();
}

std::string TamrinFluidEdgePredictor::_renew_model_security() {
  const std::string model_path = utils::file_path_join(_config.res_dir, _config.model_file);
  const std::string params_path = utils::file_path_join(_config.res_dir, _config.params_file);
  _model_security = std::make_unique<ModelSecurity>(_model_config.modelId, _model_config.modelEnc, model_path,
                                                    params_path);
  return params_path;
}

int TamrinFluidEdgePredictor::init() {
  int rc = EdgePredictorImpl::init();
  if (rc != NV_OK) return rc;
  _renew_model_security();
  if (_predictor) {
    NV_LOG(INFO) << "Allocate graph success.";
    return NV_OK;
  }
  NV_LOG(ERROR) << "Failed to create tamrin predictor!";
  return NV_ERR_RUNTIME;
}

int TamrinFluidEdgePredictor::infer(cv::Mat& /*image*/, std::vector<float>& /*output*/) {
  return NV_ERR_NOT_SUPPORTED;
}

int TamrinFluidEdgePredictor::infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results,
                                    float threshold) {
  InferencePass pass;
  if (!pass.admitted()) return NV_ERR_RUNTIME;
  pre_infer();
  const int64_t wait_start = utils::get_timestamp_ns();
  std::lock_guard<std::mutex> lock(_infer_mutex);
  NV_LOG(DEBUG) << "Lock \"infer\" aquired, waited " << (utils::get_timestamp_ns() - wait_start) / 1000 << "us";

  // Zero rows or columns with a data pointer (an empty ROI) is as empty as no data.
  if (image.data == nullptr || image.total() == 0) {
    NV_LOG(ERROR) << "Empty image!";
    return NV_ERR_EMPTY_IMAGE;
  }
  if (!_predictor) {
    NV_LOG(ERROR) << "No runtime predictor: init has not succeeded";
    return NV_ERR_RUNTIME;
  }

  const int64_t ta = utils::get_timestamp_ms();
  cv::Mat fed;
  preprocess_image(image, format, fed);
  // The preprocessing passes other depths and channel counts through unchanged;
  // reading them as three bytes per pixel would misread (or overrun) the picture.
  if (fed.empty() || fed.type() != CV_8UC3) {
    NV_LOG(ERROR) << "Unsupported image after preprocessing: " << fed.cols << "x" << fed.rows << ", type "
                  << fed.type();
    return NV_ERR_BAD_REQUEST;
  }

  std::unique_ptr<float[]> input(new float[static_cast<size_t>(fed.total()) * 3]);
  engine::normalize_planar(fed, _mean, _scale, input.get());

  std::vector<TamrinTensor> feeds;
  _get_model_feed(image, fed, input.get(), feeds);
  std::vector<TamrinTensor> outputs(1);
  const int64_t tb = utils::get_timestamp_ms();
  _predictor->Run(feeds, &outputs, -1);
  const int64_t tc = utils::get_timestamp_ms();
  NV_LOG(DEBUG) << "Inference costs " << tc - ta << "(" << tc - tb << ") ms";
  NV_LOG(DEBUG) << "output size : " << outputs.size();
  if (VLOG_IS_ON(1) && !outputs.empty()) NV_VLOG(1) << "Result[0] shape: " << utils::str_join(outputs[0].shape, ",");

  const int rc = _postprocess(outputs, image, fed, threshold, results);
  for (auto& t : outputs) t.data.Free();
  return rc;
}

int TamrinFluidEdgePredictor::_get_model_feed(cv::Mat& /*image*/, cv::Mat& fed, void* data,
                                              std::vector<TamrinTensor>& feeds) {
  TamrinTensor tensor;
  tensor.name = "image";
  tensor.shape = {1, 3, fed.rows, fed.cols};
  tensor.data.Reset(data, static_cast<int64_t>(fed.rows) * 3 * fed.cols * static_cast<int64_t>(sizeof(float)));
  tensor.code = 0;
  feeds.push_back(tensor);
  tensor.data.Free();
  return NV_OK;
}

int TamrinFluidEdgePredictor::_postprocess(std::vector<TamrinTensor>& outputs, cv::Mat& image, cv::Mat& fed,
                                           float threshold, std::vector<EdgeResultData>& results) {
  if (outputs.empty()) {
    NV_LOG(ERROR) << "The runtime returned no output tensor";
    return NV_ERR_RUNTIME;
  }
  // Kinds 1 and 2 read (and kind 2 clamps) a copy; its destructor frees the copy's buffer.
  TamrinTensor head(outputs[0]);

  int rc = NV_OK;
  switch (_model_config.modelType) {
    case MODEL_KIND_DETECTION:
      rc = _decode_detection(head, threshold, results);
      break;
    case MODEL_KIND_INSTANCE_MASK:
      rc = _decode_instances(outputs, image, fed, results);
      break;
    case MODEL_KIND_CLASSIFICATION:
      rc = _decode_classification(head, threshold, results);
      break;
    default:
      break;
  }
  if (rc != NV_OK) return rc;

  // Over the whole vector, records from earlier calls included.
  const int64_t label_count = static_cast<int64_t>(_labels.size());
  auto drop = std::remove_if(results.begin(), results.end(), [&](const EdgeResultData& r) {
    return r.prob < threshold || r.index < 0 || r.index >= label_count;
  });
  results.erase(drop, results.end());
  for (auto& r : results) r.label = _labels[r.index];
  std::sort(results.begin(), results.end(), higher_prob);
  return NV_OK;
}

int TamrinFluidEdgePredictor::_decode_detection(TamrinTensor& head, float threshold,
                                                std::vector<EdgeResultData>& results) {
  const std::vector<int>& shape = head.shape;
  if (shape.size() >= 2) {
    NV_LOG(INFO) << "Result shape " << shape[0] << ", " << shape[1];
  } else {
    NV_LOG(INFO) << "Result shape " << utils::str_join(shape, ", ");
  }
  if (shape.size() != 2) {
    NV_LOG(ERROR) << "Raw result's size is not 2: " << shape.size();
    return NV_ERR_RUNTIME;
  }
  const int64_t rows = shape[0];
  const int64_t cols = shape[1];
  if (rows <= 0) return NV_OK;
  // Refused whole rather than row by row: a network that writes short rows or a
  // short buffer is not producing detections we can trust.
  if (cols < kDetectionColumns) {
    NV_LOG(ERROR) << "Raw result has fewer than " << kDetectionColumns << " columns: " << cols;
    return NV_ERR_RUNTIME;
  }
  if (rows > float_count(head) / cols) {
    NV_LOG(ERROR) << "Raw result is shorter than its shape: " << float_count(head) << " values for " << rows
                  << "x" << cols;
    return NV_ERR_RUNTIME;
  }

  float* data = static_cast<float*>(head.data.data());
  const int64_t label_count = static_cast<int64_t>(_labels.size());
  for (int64_t r = 0; r < rows; ++r) {
    float* row = data + r * cols;
    // Column 0 is the class and may legitimately be read as negative; never clamp it.
    for (int64_t c = 1; c < cols; ++c) {
      if (row[c] < 0.0f) row[c] = 0.0f;
    }
    const float prob = row[1];
    if (prob < threshold) continue;
    int index = 0;
    if (!class_index(row[0], index) || index < 0 || index >= label_count) {
      NV_VLOG(1) << r << "Index is out of range: " << row[0] << "," << row[1] << ":" << row[2];
      continue;
    }
    if (prob_out_of_range(prob)) {
      NV_VLOG(1) << r << " Prob is out of range: " << prob << ";   " << (prob <= 0.0001f ? 1 : 0) << "-"
                 << (prob > 1.0001f ? 1 : 0);
      continue;
    }
    EdgeResultData record;
    record.index = index;
    record.prob = prob;
    record.x1 = row[2] * _box_scale_x;
    record.y1 = row[3] * _box_scale_y;
    record.x2 = row[4] * _box_scale_x;
    record.y2 = row[5] * _box_scale_y;
    results.push_back(std::move(record));
  }
  return NV_OK;
}

int TamrinFluidEdgePredictor::_decode_instances(std::vector<TamrinTensor>& outputs, cv::Mat& image,
                                                cv::Mat& /*fed*/,
                                                std::vector<EdgeResultData>& results) {
  if (outputs.size() < 2) {
    NV_LOG(ERROR) << "Mask result needs two output tensors, got " << outputs.size();
    return NV_ERR_RUNTIME;
  }
  const TamrinTensor& boxes = outputs[0];
  const TamrinTensor& masks = outputs[1];
  if (boxes.shape.size() < 2) {
    NV_LOG(ERROR) << "Mask result's box shape has fewer than 2 entries: " << boxes.shape.size();
    return NV_ERR_RUNTIME;
  }
  // The mask routine reads rows only when there are more than one (a single row
  // means "no result" to it) and the mask shape has four entries; it trusts the
  // sizes, so check here that every value it will read is inside the tensors.
  // A row whose class has no plane is skipped there, one row at a time.
  const int64_t rows = boxes.shape[0];
  const int64_t cols = boxes.shape[1];
  if (rows > 1 && cols > 0 && masks.shape.size() >= 4) {
    int64_t plane = 0;
    const int64_t classes = masks.shape[1];
    if (cols < kDetectionColumns || rows > float_count(boxes) / cols) {
      NV_LOG(ERROR) << "Mask result's boxes do not match their shape " << rows << "x" << cols;
      return NV_ERR_RUNTIME;
    }
    // Planes of no cells (Mh or Mw 0) hold nothing to read: every mask is then empty.
    if (classes <= 0 || !shape_volume(masks.shape, 2, 2, plane) ||
        (plane > 0 && rows > float_count(masks) / plane / classes)) {
      NV_LOG(ERROR) << "Mask result's masks do not match their shape "
                    << utils::str_join(masks.shape, ",");
      return NV_ERR_RUNTIME;
    }
  }
  // Masks cover the picture as posted: the network's frame may have another
  // aspect, so no single scale from the fed rows gives its width.
  vision::mask2result(static_cast<const float*>(boxes.data.data()), static_cast<const float*>(masks.data.data()),
                      boxes.shape, masks.shape, image.rows, image.cols, 1.0f, results);
  return NV_OK;
}

int TamrinFluidEdgePredictor::_decode_classification(const TamrinTensor& head, float threshold,
                                                     std::vector<EdgeResultData>& results) {
  if (head.shape.size() < 2) {
    NV_LOG(ERROR) << "Classification result's shape has fewer than 2 entries: " << head.shape.size();
    return NV_ERR_RUNTIME;
  }
  const int64_t classes = head.shape[1];
  if (classes <= 0) return NV_OK;
  if (classes > float_count(head)) {
    NV_LOG(ERROR) << "Classification result is shorter than its " << classes << " classes: " << float_count(head);
    return NV_ERR_RUNTIME;
  }
  const float* probs = static_cast<const float*>(head.data.data());
  const int64_t label_count = static_cast<int64_t>(_labels.size());
  for (int64_t i = 0; i < classes; ++i) {
    if (i >= label_count) {
      NV_VLOG(1) << "Index is out of label_list range: " << i;
      continue;
    }
    if (probs[i] < threshold) continue;
    // Box fields stay 0: nothing reads a classification record's box.
    EdgeResultData record;
    record.index = static_cast<int>(i);
    record.prob = probs[i];
    results.push_back(std::move(record));
  }
  return NV_OK;
}

}  // namespace norvane
