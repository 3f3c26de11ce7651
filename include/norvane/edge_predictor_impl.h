#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <picojson.h>

#include "norvane/norvane.h"

namespace norvane {

// The model description read from "conf.json".
struct NORVANE_API ModelConfig {
  int64_t modelId = 0;
  std::string modelName;
  int modelType = 0;
  int64_t bizModelId = 0;
  int64_t releaseId = 0;
  int64_t modelEnc = 0;  // 0 plain model file, 1 and 2 enciphered
  int64_t nType = 0;     // preprocessing mode (101, 102, 201, 10001, ...)
  std::string soc;
  std::string product = "Norvane";
  float thresholdRec = 0.3f;
};

// State and behaviour every engine shares. Engines override init() and the full infer().
class NORVANE_API EdgePredictorImpl : public EdgePredictor {
 public:
  explicit EdgePredictorImpl(const EdgePredictorConfig& config);
  ~EdgePredictorImpl() override;

  int model_kind() override;
  ModelInfo model_info() override;
  int init() override;
  int infer(cv::Mat& image, std::vector<float>& output) override;
  int infer(cv::Mat& image, std::vector<EdgeResultData>& results) override;
  int infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results) override;
  int infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results,
            float threshold) override;
  int infer(std::vector<cv::Mat>& images, std::vector<std::vector<EdgeResultData>>& results) override;
  int infer(std::vector<cv::Mat>& images, EdgeColorFormat format,
            std::vector<std::vector<EdgeResultData>>& results) override;
  int infer(std::vector<cv::Mat>& images, EdgeColorFormat format,
            std::vector<std::vector<EdgeResultData>>& results, float threshold) override;
  int infer(cv::Mat& image, std::string& json) override;
  int infer(cv::Mat& image, std::string& json, float threshold) override;
  int set_result_handler(AsyncResultHandler* handler) override;
  int infer_async(cv::Mat& image, EdgeColorFormat format, float threshold, void* user_data,
                  uint64_t& request_id) override;
  int infer_async(std::vector<cv::Mat>& images, EdgeColorFormat format, float threshold, void* user_data,
                  uint64_t& request_id) override;

  // Per-call usage count; every engine's full infer calls it first.
  int pre_infer();

  // Readers used by init(); JSON content faults raise std::exception to the caller.
  bool read_preprocess_config(const std::string& path);
  bool read_postprocess_config(const std::string& path);
  bool read_label_list(const std::string& path);

  // Colour fix-up, resize by preprocessing mode, padding; the CPU engine's input.
  void preprocess_image(cv::Mat& image, EdgeColorFormat format, cv::Mat& output);

  // Read-only views for the statistics and the service.
  const ModelConfig& model_config() const { return _model_config; }
  bool initialized() const { return _initialized; }

 protected:
  ModelConfig _model_config;
  std::string _res_dir;
  std::string _label_file;
  std::string _preprocess_file;
  std::string _postprocess_file;
  std::string _model_config_file;
  std::map<std::string, std::string> _config_map;
  int _resize_h = 0;
  int _resize_w = 0;
  float _mean[3] = {0.0f, 0.0f, 0.0f};
  float _scale[3] = {0.0f, 0.0f, 0.0f};
  int _color_format = 0;  // 1 RGB, 2 BGR
  std::string _output_node_name;
  int _max_size = 0;
  int _target_size = 0;
  bool _is_normed = true;
  std::vector<std::string> _labels;
  std::map<std::string, picojson::value> _conf;
  bool _initialized = false;
  float _box_scale_x = 1.0f;  // multiplies horizontal box coordinates
  float _box_scale_y = 1.0f;  // multiplies vertical box coordinates
  std::mutex _infer_mutex;
};

}  // namespace norvane
