// Reading the model resource directory: the model description, the pre- and
// postprocessing parameters and the label list.
//
// Integers are JSON numbers written without fraction or exponent: picojson (built
// with 64-bit integers) keeps only those as int64, so get<int64_t>() refuses 7.0,
// 1e3 and anything too large for int64. Faults of the content surface as
// std::exception from picojson's typed access or from the checks below; init()
// turns every one of them into NV_ERR_MODEL_CONFIG. A number beyond the range of
// double (1e999) is such a fault too: picojson throws for it while parsing.

#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <picojson.h>

#include "norvane/edge_predictor_impl.h"
#include "norvane/log.h"
#include "norvane/utils.h"

namespace norvane {

namespace {

// picojson::parse: the text of a syntax error, or empty. Its one exception, an
// std::overflow_error without text for a number that no double holds, becomes a
// fault of the content that says what is wrong.
std::string parse_json(picojson::value& root, const std::string& text) {
  try {
    return picojson::parse(root, text);
  } catch (const std::overflow_error&) {
    throw std::range_error("a number is beyond the range of double");
  }
}

// An array of at least min_count entries; shorter ones are refused like a value
// of the wrong type, before any entry is read.
const picojson::array& min_array(const picojson::value& v, size_t min_count, const char* key) {
  const picojson::array& a = v.get<picojson::array>();
  if (a.size() < min_count)
    throw std::runtime_error(std::string("\"") + key + "\" needs at least " + std::to_string(min_count) +
                             " numbers");
  return a;
}

// A number truncated toward zero to int; values outside int are refused rather
// than converted (the conversion would be undefined).
int truncate_to_int(const picojson::value& v, const char* key) {
  const double d = v.get<double>();
  if (!(d > static_cast<double>(INT_MIN) - 1.0 && d < static_cast<double>(INT_MAX) + 1.0))
    throw std::runtime_error(std::string("\"") + key + "\" out of range");
  return static_cast<int>(d);
}

// A number narrowed to float; values beyond float are refused like a value of the
// wrong type (the narrowing would be undefined).
float to_float(const picojson::value& v, const char* key) {
  const double d = v.get<double>();
  if (!(std::fabs(d) <= static_cast<double>(FLT_MAX)))
    throw std::runtime_error(std::string("\"") + key + "\" out of range");
  return static_cast<float>(d);
}

}  // namespace

int EdgePredictorImpl::init() {
  const std::string path = utils::file_path_join(_res_dir, _model_config_file);
  NV_VLOG(1) << "Read model config:" << path;

  std::string text;
  if (utils::read_file_binary(path, text) != 0) {
    NV_LOG(ERROR) << "Config file not exists: " << path;
    return NV_ERR_MODEL_CONFIG;
  }
  NV_VLOG(1) << "Model config: " << text;

  picojson::value root;
  try {
    const std::string err = parse_json(root, text);
    if (!err.empty()) {
      NV_LOG(ERROR) << "Parse config file failed: " << err;
      return NV_ERR_MODEL_CONFIG;
    }

    // Required keys are fetched directly: an absent key yields picojson's null,
    // whose typed access throws like a wrong type does. A root that is not an
    // object throws on the first lookup.
    _model_config.modelType = static_cast<int>(root.get("modelType").get<int64_t>());
    _model_config.modelId = root.get("modelId").get<int64_t>();
    _model_config.modelName = root.get("modelName").get<std::string>();
    if (root.contains("releaseId")) _model_config.releaseId = root.get("releaseId").get<int64_t>();
    if (root.contains("bizModelId")) _model_config.bizModelId = root.get("bizModelId").get<int64_t>();
    // Unlike the other optional keys, an absent "modelEnc" means a plain model
    // file, also on a second init.
    _model_config.modelEnc = root.contains("modelEnc") ? root.get("modelEnc").get<int64_t>() : 0;
    if (root.contains("product")) _model_config.product = root.get("product").get<std::string>();
    if (root.contains("soc")) _model_config.soc = root.get("soc").get<std::string>();
    if (root.contains("nType")) _model_config.nType = root.get("nType").get<int64_t>();
    if (root.contains("thresholdRec")) {
      _model_config.thresholdRec = to_float(root.get("thresholdRec"), "thresholdRec");
      NV_LOG(DEBUG) << "The recommended threshold is " << _model_config.thresholdRec;
    }

    // The three further files report their own faults; only exceptions count.
    read_preprocess_config(_res_dir + '/' + _preprocess_file);
    read_postprocess_config(_res_dir + '/' + _postprocess_file);
    read_label_list(_res_dir + '/' + _label_file);

    _conf = root.get<picojson::object>();
    _initialized = true;
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Failed to parse config file: " << e.what();
    return NV_ERR_MODEL_CONFIG;
  }
  return NV_OK;
}

bool EdgePredictorImpl::read_preprocess_config(const std::string& path) {
  const std::string text = utils::read_file_binary(path);
  if (text.empty()) {
    NV_LOG(ERROR) << "Failed to read config file. Is the RES path wrong?";
    return false;
  }
  picojson::value root;
  const std::string err = parse_json(root, text);
  if (!err.empty()) {
    NV_LOG(ERROR) << "Parse config file failed: " << err;
    return false;
  }

  // Each key takes effect as soon as it is read, so a fault further down leaves
  // the earlier keys applied.
  const picojson::array& mean = min_array(root.get("img_mean"), 3, "img_mean");
  for (int i = 0; i < 3; ++i) _mean[i] = to_float(mean[i], "img_mean");

  if (root.contains("resize")) {
    const picojson::array& resize = min_array(root.get("resize"), 2, "resize");
    _resize_w = truncate_to_int(resize[0], "resize");
    _resize_h = truncate_to_int(resize[1], "resize");
  }

  const picojson::value& scale = root.get("scale");
  if (scale.is<double>()) {
    const float s = to_float(scale, "scale");
    for (float& entry : _scale) entry = s;
  } else {
    const picojson::array& scales = min_array(scale, 3, "scale");
    for (int i = 0; i < 3; ++i) _scale[i] = to_float(scales[i], "scale");
  }

  if (root.contains("max_size")) _max_size = static_cast<int>(root.get("max_size").get<int64_t>());
  if (root.contains("target_size")) _target_size = static_cast<int>(root.get("target_size").get<int64_t>());

  std::string color = root.get("colorFormat").get<std::string>();
  for (char& c : color) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (color == "RGB") {
    _color_format = RGB;
  } else if (color == "BGR") {
    _color_format = BGR;
  } else {
    NV_LOG(ERROR) << "Unsupported color format " << color;
    _color_format = RGB;
  }

  if (root.contains("outputNodeName")) _output_node_name = root.get("outputNodeName").get<std::string>();

  NV_LOG(DEBUG) << "Config file read done";
  return true;
}

bool EdgePredictorImpl::read_postprocess_config(const std::string& path) {
  // The file is optional: missing and empty are the same to the reader.
  const std::string text = utils::read_file_binary(path);
  if (text.empty()) return true;
  picojson::value root;
  const std::string err = parse_json(root, text);
  if (!err.empty()) {
    NV_LOG(ERROR) << "Parse postprocess file failed: " << err;
    return false;
  }
  _is_normed = root.get("is_normed").get<int64_t>() != 0;
  return true;
}

bool EdgePredictorImpl::read_label_list(const std::string& path) {
  // Line i names index i; the text after the first ':' when there is one. A '\r'
  // of a CRLF file stays in the label.
  std::vector<std::string> labels;
  for (const std::string& line : utils::read_file_lines(path)) {
    const size_t colon = line.find(':');
    labels.push_back(colon == std::string::npos ? line : line.substr(colon + 1));
  }
  _labels = std::move(labels);
  return true;
}

}  // namespace norvane
