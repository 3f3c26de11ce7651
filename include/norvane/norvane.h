#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "norvane/error_codes.h"
#include "norvane/export.h"

namespace norvane {

// Colour layout of a caller's image. No operation reads it: the channel order fed
// to the network comes from the model's preprocessing parameters.
enum EdgeColorFormat {
  RGB = 1,
  BGR = 2,
};

// Model kinds, the values of "modelType".
constexpr int MODEL_KIND_CLASSIFICATION = 1;
constexpr int MODEL_KIND_DETECTION = 2;
constexpr int MODEL_KIND_INSTANCE_MASK = 6;

// One recognition result.
struct NORVANE_API EdgeResultData {
  int index = 0;       // label index into the label list
  std::string label;   // label text
  float prob = 0.0f;   // probability
  // Box corners as fractions of the image width (x) and height (y).
  float x1 = 0.0f;
  float y1 = 0.0f;
  float x2 = 0.0f;
  float y2 = 0.0f;
  cv::Mat mask;          // full-image 0/1 mask, kind 6 only; copies share pixels
  std::string mask_rle;  // the same mask as a COCO compressed run-length string
};

struct NORVANE_API ModelInfo {
  int64_t id = 0;  // business model id ("bizModelId")
  std::string name;
  int kind = 0;
  float thresholdRec = 0.3f;
};

struct NORVANE_API EdgePredictorConfig {
  std::string res_dir;
  std::string label_file = "label_list.txt";
  std::string preprocess_file = "preprocess_args.json";
  std::string postprocess_file = "postprocess_args.json";
  std::string model_config_file = "conf.json";
  std::map<std::string, std::string> config_map;

  void set_config(const std::string& key, const std::string& value);
};

// Engine configuration; defined whole here so callers construct it themselves.
struct NORVANE_API TamrinFluidConfig : public EdgePredictorConfig {
  std::string model_file = "model";
  std::string params_file = "params";
  int thread_num = 4;
  bool reserved_flag = false;
  int device_id = 0;
  float reserved_value = 0.01f;
};

class NORVANE_API EdgePredictor {
 public:
  // Declared for the asynchronous interface, which no engine supports.
  class AsyncResultHandler;

  virtual ~EdgePredictor() = default;

  virtual int model_kind() = 0;
  virtual ModelInfo model_info() = 0;
  virtual int init() = 0;
  // Raw network output; no engine supports it.
  virtual int infer(cv::Mat& image, std::vector<float>& output) = 0;
  virtual int infer(cv::Mat& image, std::vector<EdgeResultData>& results) = 0;
  virtual int infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results) = 0;
  // The full inference: results at or above the threshold are appended, named and sorted.
  virtual int infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results,
                    float threshold) = 0;
  virtual int infer(std::vector<cv::Mat>& images, std::vector<std::vector<EdgeResultData>>& results) = 0;
  virtual int infer(std::vector<cv::Mat>& images, EdgeColorFormat format,
                    std::vector<std::vector<EdgeResultData>>& results) = 0;
  virtual int infer(std::vector<cv::Mat>& images, EdgeColorFormat format,
                    std::vector<std::vector<EdgeResultData>>& results, float threshold) = 0;
  virtual int infer(cv::Mat& image, std::string& json) = 0;
  // Results as a compact JSON array.
  virtual int infer(cv::Mat& image, std::string& json, float threshold) = 0;
  virtual int set_result_handler(AsyncResultHandler* handler) = 0;
  virtual int infer_async(cv::Mat& image, EdgeColorFormat format, float threshold, void* user_data,
                          uint64_t& request_id) = 0;
  virtual int infer_async(std::vector<cv::Mat>& images, EdgeColorFormat format, float threshold,
                          void* user_data, uint64_t& request_id) = 0;
};

}  // namespace norvane
