// CPU stand-in for the accelerator runtime: the model bytes are an ONNX network,
// run with OpenCV's DNN module. No OpenCV or standard exception leaves this file.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "model_check.h"
#include "onnx_graph_io.h"
#include "tamrin_mobile/tamrin_mobile.h"

namespace tamrin_mobile {

namespace {

std::atomic<WarningSink> g_warning_sink{nullptr};

void warn(const std::string& message) {
  WarningSink sink = g_warning_sink.load();
  if (sink != nullptr) sink(message.c_str());
  else std::fprintf(stderr, "tamrin_mobile WARNING: %s\n", message.c_str());
}

constexpr size_t kFloatBytes = sizeof(float);
// Index of the image among the inputs. The accelerator path feeds it interleaved;
// a tensor named "image" (the CPU engine's feed) is already planar NCHW.
constexpr size_t kImageInput = 0;
constexpr const char* kPlanarImageName = "image";
// The image tensor's shape is {N, C, width, height}.
constexpr size_t kImageRank = 4;

// Number of float values a shape announces; false for an empty shape, a
// non-positive entry or a count that does not fit in memory sizes.
bool element_count(const std::vector<int>& shape, size_t* count) {
  if (shape.empty()) return false;
  size_t total = 1;
  for (int d : shape) {
    if (d <= 0) return false;
    if (total > std::numeric_limits<size_t>::max() / kFloatBytes / static_cast<size_t>(d)) return false;
    total *= static_cast<size_t>(d);
  }
  *count = total;
  return true;
}

// True when the tensor's buffer holds at least the floats its shape announces.
bool checked_floats(const TamrinTensor& tensor, size_t* count) {
  if (!element_count(tensor.shape, count)) return false;
  if (tensor.data.data() == nullptr || tensor.data.length() < 0) return false;
  return static_cast<uint64_t>(tensor.data.length()) >= static_cast<uint64_t>(*count) * kFloatBytes;
}

// Interleaved {N, C, width, height} image → planar NCHW blob {N, C, height, width}.
bool image_blob(const TamrinTensor& tensor, cv::Mat* blob) {
  size_t count = 0;
  if (tensor.shape.size() != kImageRank || !checked_floats(tensor, &count)) return false;
  const int batch = tensor.shape[0];
  const int channels = tensor.shape[1];
  const int width = tensor.shape[2];
  const int height = tensor.shape[3];
  const int planar[] = {batch, channels, height, width};
  blob->create(4, planar, CV_32F);
  const auto* src = static_cast<const float*>(tensor.data.data());
  auto* dst = blob->ptr<float>();
  const size_t plane = static_cast<size_t>(height) * width;
  for (int n = 0; n < batch; ++n) {
    const float* in = src + static_cast<size_t>(n) * plane * channels;
    float* out = dst + static_cast<size_t>(n) * plane * channels;
    for (size_t p = 0; p < plane; ++p) {
      for (int c = 0; c < channels; ++c) out[c * plane + p] = in[p * channels + c];
    }
  }
  return true;
}

// Any other input: its shape and values as they stand.
bool plain_blob(const TamrinTensor& tensor, cv::Mat* blob) {
  size_t count = 0;
  if (!checked_floats(tensor, &count)) return false;
  blob->create(static_cast<int>(tensor.shape.size()), tensor.shape.data(), CV_32F);
  std::memcpy(blob->ptr<float>(), tensor.data.data(), count * kFloatBytes);
  return true;
}

bool to_tensor(const cv::Mat& mat, TamrinTensor* tensor) {
  cv::Mat values = mat;
  if (values.depth() != CV_32F) mat.convertTo(values, CV_32F);
  if (!values.isContinuous()) values = values.clone();
  tensor->shape.assign(values.size.p, values.size.p + values.dims);
  const size_t bytes = values.total() * values.channels() * kFloatBytes;
  tensor->data.Resize(static_cast<int64_t>(bytes));
  if (bytes == 0) return true;
  if (tensor->data.data() == nullptr) return false;  // allocation failed
  std::memcpy(tensor->data.data(), values.data, bytes);
  return true;
}

// Longest part of a graph name that a message quotes.
constexpr size_t kQuotedNameChars = 64;

// Names a model in messages by what the runtime sees of it: the graph's name
// (printable characters only, shortened), its size and a short hash of its bytes,
// so that an operator can tell which file it was.
std::string model_label(const unsigned char* bytes, size_t size, const std::string& graph_name) {
  std::string quoted;
  for (size_t i = 0; i < graph_name.size() && quoted.size() < kQuotedNameChars; ++i) {
    const char c = graph_name[i];
    quoted += (c >= 0x20 && c < 0x7f && c != '"') ? c : '?';
  }
  if (graph_name.size() > quoted.size()) quoted += "...";
  uint32_t hash = 2166136261u;  // 32-bit FNV-1a
  for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  char tail[64];
  std::snprintf(tail, sizeof(tail), "\" (%zu bytes, FNV-1a %08x)", size, static_cast<unsigned>(hash));
  return "\"" + quoted + tail;
}

// ThreadSanitizer cannot see how TBB (not instrumented) hands OpenCV's loops to
// its worker threads and back: every forward pass would show as races between
// the workers and their caller. Built with it, OpenCV runs its loops on the
// calling thread, where every access and its ordering are seen.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSerialLoops = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kSerialLoops = true;
#else
constexpr bool kSerialLoops = false;
#endif
#else
constexpr bool kSerialLoops = false;
#endif

// OpenCV's thread count is one for the whole process, and setting it rebuilds its
// thread pool under any parallel loop running at that moment (a crash inside
// TBB): this runtime's forward passes, but also the engine's resizing and any
// OpenCV call of the application. So the first predictor created decides it,
// before any network exists, and later ones leave it as it is.
void set_thread_count_once(int threads) {
  static std::once_flag once;
  std::call_once(once, [threads] {
    const int wanted = kSerialLoops ? 1 : threads;
    if (wanted > 0 && cv::getNumThreads() != wanted) cv::setNumThreads(wanted);
  });
}

class OnnxPredictor : public TamrinPredictor {
 public:
  OnnxPredictor(cv::dnn::Net net, detail::OnnxGraphIo io) : net_(std::move(net)), io_(std::move(io)) {
    output_names_ = forward_names();
  }

  bool Run(const std::vector<TamrinTensor>& inputs, std::vector<TamrinTensor>* outputs,
           int /*batch_size*/) override {
    if (outputs == nullptr) return false;
    std::vector<TamrinTensor> results;
    bool ok = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      try {
        ok = run_locked(inputs, &results);
      } catch (const std::exception&) {
        ok = false;  // cv::Exception included: a refused shape or an unsupported layer
      } catch (...) {
        ok = false;
      }
    }
    if (!ok) {
      for (auto& tensor : *outputs) tensor = TamrinTensor();
      return false;
    }
    outputs->swap(results);
    return true;
  }

 private:
  // The network's outputs in the model's order. The importer names each layer
  // after its node's first output, so graph output names address the layers;
  // when one does not (an output folded away or not a first output), fall back
  // to OpenCV's own list of unconnected outputs.
  std::vector<std::string> forward_names() {
    std::vector<std::string> names;
    for (const auto& name : io_.outputs) {
      if (net_.getLayerId(name) < 0) return net_.getUnconnectedOutLayersNames();
      names.push_back(name);
    }
    if (names.empty()) return net_.getUnconnectedOutLayersNames();
    return names;
  }

  bool run_locked(const std::vector<TamrinTensor>& inputs, std::vector<TamrinTensor>* results) {
    // A model whose graph names could not be read is fed its first input only.
    const size_t wanted = io_.inputs.empty() ? 1 : io_.inputs.size();
    if (inputs.size() < wanted) return false;
    for (size_t i = 0; i < wanted; ++i) {
      cv::Mat blob;
      const bool interleaved = i == kImageInput && inputs[i].name != kPlanarImageName;
      const bool ok = interleaved ? image_blob(inputs[i], &blob) : plain_blob(inputs[i], &blob);
      if (!ok) return false;
      net_.setInput(blob, io_.inputs.empty() ? std::string() : io_.inputs[i]);
    }
    std::vector<cv::Mat> mats;
    net_.forward(mats, output_names_);
    results->resize(mats.size());
    for (size_t i = 0; i < mats.size(); ++i) {
      if (!to_tensor(mats[i], &(*results)[i])) return false;
    }
    return !results->empty();
  }

  std::mutex mutex_;  // one forward pass at a time: cv::dnn::Net is not reentrant
  cv::dnn::Net net_;
  detail::OnnxGraphIo io_;
  std::vector<std::string> output_names_;
};

}  // namespace

void set_warning_sink(WarningSink sink) { g_warning_sink.store(sink); }

template <>
std::unique_ptr<TamrinPredictor> CreateTamrinPredictor<TamrinMobileConfig, TamrinEngineKind::kTamrinMobile>(
    const TamrinMobileConfig& config) {
  const TamrinModelMemoryPack& pack = config.memory_pack;
  if (pack.model_data == nullptr || pack.model_size <= 0) return nullptr;
  try {
    set_thread_count_once(config.thread_num);
    const auto* bytes = static_cast<const unsigned char*>(pack.model_data);
    const auto size = static_cast<size_t>(pack.model_size);
    // The ONNX file carries its weights; the parameter bytes are not needed.
    detail::OnnxGraphIo io;
    if (!detail::read_onnx_graph_io(bytes, size, &io)) return nullptr;
    std::string why;
    switch (detail::check_model(bytes, size, &why)) {
      case detail::CheckVerdict::kRefused:
        // The importer's plain refusal needs no word: the engine reports the failure.
        if (!why.empty()) warn("Model " + model_label(bytes, size, io.name) + " refused: " + why);
        return nullptr;
      case detail::CheckVerdict::kUnavailable:
        // Loads as it did before the check existed, and says so for every model.
        warn("Model " + model_label(bytes, size, io.name) + " is loaded without the damaged-model check: " + why);
        break;
      case detail::CheckVerdict::kLoads:
        break;
    }
    cv::dnn::Net net = cv::dnn::readNetFromONNX(reinterpret_cast<const char*>(bytes), size);
    if (net.empty()) return nullptr;
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return std::unique_ptr<TamrinPredictor>(new OnnxPredictor(std::move(net), std::move(io)));
  } catch (const std::exception&) {
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tamrin_mobile
