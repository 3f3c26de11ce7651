#include "norvane/engine/tamrinmobile_fpga_edge_predictor.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "norvane/engine/normalize.h"
#include "norvane/inference_gate.h"
#include "norvane/log.h"
#include "norvane/utils.h"

namespace norvane {

using tamrin_mobile::TamrinBuf;
using tamrin_mobile::TamrinEngineKind;
using tamrin_mobile::TamrinMobileConfig;
using tamrin_mobile::TamrinModelMemoryPack;
using tamrin_mobile::TamrinTensor;

namespace {

// Preprocessing mode whose network takes the input size as a second input.
constexpr int64_t kModeSizeInput = 101;
// Side of the blank picture of the first run at init; not an input size, so that
// the resizing runs too.
constexpr int kWarmUpSide = 33;

// The runtime's warnings (a safeguard it goes without) belong in this log.
void runtime_warning(const char* message) { NV_LOG(WARNING) << message; }

// The runtime's importer builds OpenCV's layer registry on its first use, and
// registers its destruction at exit then. Exit runs its handlers in reverse
// order of registration, so the gate's handler must be registered after that:
// built here, before the first load's pass, an exit during that load closes the
// gate (and waits for the load) before the registry is destroyed. An unknown
// type builds the registry and makes nothing.
void build_runtime_registries() {
  static std::once_flag once;
  std::call_once(once, [] {
    cv::dnn::LayerParams params;
    cv::dnn::LayerFactory::createLayerInstance("norvane-registry-probe", params);
    InferencePass::close_at_exit();
  });
}

}  // namespace

int TamrinMobileFpgaEdgePredictor::_fpga_device_fd = -1;

TamrinMobileFpgaEdgePredictor::TamrinMobileFpgaEdgePredictor(const TamrinFluidConfig& config)
    : TamrinFluidEdgePredictor(config) {}

TamrinMobileFpgaEdgePredictor::~TamrinMobileFpgaEdgePredictor() = default;

int TamrinMobileFpgaEdgePredictor::init() {
  build_runtime_registries();
  // The whole load, into the runtime and OpenCV and its first run included: an
  // exit meanwhile waits for it, and one already under way refuses it, before
  // anything is read (the libraries' static objects may be going).
  InferencePass pass;
  if (!pass.admitted()) {
    NV_LOG(ERROR) << "Failed to create tamrin predictor! The process is exiting";
    return NV_ERR_RUNTIME;
  }
  int rc = EdgePredictorImpl::init();
  if (rc != NV_OK) return rc;
  const std::string params_path = _renew_model_security();
  NV_LOG(DEBUG) << "Validate resource file";

  // The pack points into these strings; all three live until init returns, and
  // the runtime copies what it keeps.
  auto pack = std::make_shared<TamrinModelMemoryPack>();
  std::string model_bytes;
  // A failed decryption is logged by ModelSecurity; the empty bytes then fail to load.
  _model_security->decrypt_model_to_str(model_bytes);
  std::string param_bytes = utils::read_file_binary(params_path);
  pack->from_memory = true;
  pack->model_size = static_cast<int64_t>(model_bytes.size());
  pack->model_data = model_bytes.data();
  pack->param_size = static_cast<int64_t>(param_bytes.size());
  pack->param_data = param_bytes.data();

  TamrinMobileConfig config;
  config.quantification_bits = 0;
  config.batch_size = 1;
  config.repeat = 1;
  config.optimize = true;
  config.quantification = false;
  config.lod_mode = false;
  config.thread_num = _config.thread_num;
  config.memory_pack = *pack;

  if (_fpga_device_fd < 0) {
    _fpga_device_fd = tamrin_mobile::fpga::open_device();
    NV_LOG(INFO) << "Open fpga device: " << _fpga_device_fd;
    if (_fpga_device_fd < 0) {
      NV_LOG(ERROR) << "Failed to fpga device: " << _fpga_device_fd;
      return NV_ERR_OPEN_DEVICE;
    }
  }

  NV_LOG(INFO) << "Load graph, this may take a while. (TAMRINMOBILE-FPGA)" << pack->model_size << ", "
               << pack->param_size;
  // The old predictor goes even when the new one cannot be made.
  _predictor.reset();
  tamrin_mobile::set_warning_sink(&runtime_warning);
  try {
    _predictor = tamrin_mobile::CreateTamrinPredictor<TamrinMobileConfig, TamrinEngineKind::kTamrinMobile>(config);
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Runtime failed on the model: " << e.what();
  }
  if (!_predictor) {
    NV_LOG(ERROR) << "Failed to create tamrin predictor!";
    return NV_ERR_RUNTIME;
  }
  NV_LOG(INFO) << "Allocate graph success.";
  _warm_up();
  return NV_OK;
}

void TamrinMobileFpgaEdgePredictor::_warm_up() {
  {
    InferencePass pass;
    if (!pass.admitted()) return;
    cv::Mat blank(kWarmUpSide, kWarmUpSide, CV_8UC3, cv::Scalar::all(0));
    cv::Mat work;
    std::vector<TamrinTensor> outputs;
    // The result is not looked at: a model that cannot run says so on every infer.
    _forward(blank, work, outputs, false);
    for (auto& t : outputs) t.data.Free();
  }
  InferencePass::close_at_exit();
}

int TamrinMobileFpgaEdgePredictor::infer(cv::Mat& image, EdgeColorFormat /*format*/,
                                         std::vector<EdgeResultData>& results, float threshold) {
  InferencePass pass;
  if (!pass.admitted()) return NV_ERR_RUNTIME;
  pre_infer();
  cv::Mat work;
  std::vector<TamrinTensor> outputs;
  int rc = _forward(image, work, outputs, true);
  if (rc != NV_OK) return rc;
  rc = _postprocess(outputs, image, work, threshold, results);
  for (auto& t : outputs) t.data.Free();
  return rc;
}

int TamrinMobileFpgaEdgePredictor::_forward(cv::Mat& image, cv::Mat& work, std::vector<TamrinTensor>& outputs,
                                            bool log) {
  // No pixels at all, whatever rows or columns say (an empty column range keeps
  // its data pointer and rows).
  if (image.data == nullptr || image.total() == 0) {
    NV_LOG(ERROR) << "Empty image!";
    return NV_ERR_EMPTY_IMAGE;
  }
  if (!_predictor) {
    NV_LOG(ERROR) << "No runtime predictor: init has not succeeded";
    return NV_ERR_RUNTIME;
  }
  // Without "resize" in the preprocessing parameters there is no input size; a
  // zero-sized input would run the network on nothing.
  if (_resize_w <= 0 || _resize_h <= 0) {
    NV_LOG(ERROR) << "Model input size is not set: " << _resize_w << "x" << _resize_h;
    return NV_ERR_MODEL_CONFIG;
  }
  // Gray is widened to BGR, as the CPU path's preprocessing does; other depths and
  // channel counts have no meaningful three-byte reading.
  const int channels = image.channels();
  if (image.dims != 2 || image.depth() != CV_8U || (channels != 1 && channels != 3 && channels != 4)) {
    NV_LOG(ERROR) << "Unsupported image type: depth " << image.depth() << ", " << channels << " channels";
    return NV_ERR_BAD_REQUEST;
  }

  const int64_t t0 = utils::get_timestamp_ms();
  // The types are checked above; what can still fail here is an allocation.
  try {
    image.copyTo(work);
    if (work.channels() == 1) {
      if (log) {
        NV_LOG(DEBUG) << "Gray to BGR";
      }
      cv::cvtColor(work, work, cv::COLOR_GRAY2BGR);
    } else if (work.channels() == 4) {
      if (log) {
        NV_LOG(DEBUG) << "Drop alpha channel";
      }
      cv::cvtColor(work, work, cv::COLOR_BGRA2BGR);
    }
    if (work.rows != _resize_h || work.cols != _resize_w) {
      cv::resize(work, work, cv::Size(_resize_w, _resize_h), 0, 0, cv::INTER_LINEAR);
    }
    if (_color_format == 1) {
      if (log) {
        NV_LOG(DEBUG) << "Convert to RGB";
      }
      cv::cvtColor(work, work, cv::COLOR_BGR2RGB);
    }
  } catch (const cv::Exception& e) {
    NV_LOG(ERROR) << "Image preprocessing failed: " << e.what();
    return NV_ERR_BAD_REQUEST;
  }

  // Every value is written by the normalisation, so the buffer is not zero-filled.
  const size_t value_count = static_cast<size_t>(work.total()) * 3;
  std::unique_ptr<float[]> input(new float[value_count]);
  engine::normalize_interleaved(work, _mean, _scale, input.get());

  std::vector<TamrinTensor> inputs;
  inputs.reserve(2);
  inputs.emplace_back();
  inputs[0].shape = {1, 3, work.cols, work.rows};
  inputs[0].data.Reset(input.get(), static_cast<int64_t>(value_count * sizeof(float)));
  if (_model_config.nType == kModeSizeInput) {
    if (log) {
      NV_VLOG(2) << "Prepare second input....";
    }
    inputs.emplace_back();
    TamrinTensor& size_input = inputs.back();
    size_input.shape = {1, 2};
    size_input.data = TamrinBuf(static_cast<int64_t>(2 * sizeof(float)));
    float* size = static_cast<float*>(size_input.data.data());
    size[0] = static_cast<float>(work.cols);
    size[1] = static_cast<float>(work.rows);
    // x by 1/height and y by 1/width, as the mode-101 networks read their size
    // input; exact for their square inputs.
    _box_scale_x = 1.0f / static_cast<float>(work.rows);
    _box_scale_y = 1.0f / static_cast<float>(work.cols);
  }

  outputs.assign(1, TamrinTensor());
  const int64_t t1 = utils::get_timestamp_ms();
  try {
    _predictor->Run(inputs, &outputs, -1);
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Inference failed: " << e.what();
    return NV_ERR_RUNTIME;
  }
  const int64_t t2 = utils::get_timestamp_ms();
  if (log) {
    NV_LOG(DEBUG) << "Inference costs " << t2 - t0 << "(" << t2 - t1 << ") ms";
  }
  if (log && VLOG_IS_ON(1) && !outputs.empty()) {
    NV_VLOG(1) << "Result shape: " << utils::str_join(outputs[0].shape, ",");
  }
  return NV_OK;
}

}  // namespace norvane
