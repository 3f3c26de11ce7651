#pragma once

// Inference runtime interface. This build runs networks on the CPU; the real
// FPGA runtime can be linked in its place.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tamrin_mobile {

// A byte buffer that may or may not own its memory. Copies of an owning buffer
// own a copy of the bytes; copies of a non-owning one share them.
class TamrinBuf {
 public:
  TamrinBuf() = default;
  TamrinBuf(void* data, int64_t length, bool memory_owned);
  explicit TamrinBuf(int64_t length);  // an owning, zero-filled buffer
  TamrinBuf(const TamrinBuf& other);
  TamrinBuf& operator=(const TamrinBuf& other);
  TamrinBuf(TamrinBuf&& other) noexcept;
  TamrinBuf& operator=(TamrinBuf&& other) noexcept;
  ~TamrinBuf();

  void Resize(int64_t length);
  void Reset(void* data, int64_t length);  // non-owning view
  // Releases owned memory; a non-owning buffer only forgets its pointer.
  void Free();

  void* data() const { return data_; }
  int64_t length() const { return length_; }
  bool memory_owned() const { return memory_owned_; }

 private:
  void* data_ = nullptr;
  int64_t length_ = 0;
  bool memory_owned_ = true;
};

struct TamrinTensor {
  std::string name;
  std::vector<int> shape;
  TamrinBuf data;
  int32_t code = 0;
  std::vector<std::vector<size_t>> lod;

  ~TamrinTensor() { data.Free(); }
};

struct TamrinModelMemoryPack {
  bool from_memory = false;
  int64_t model_size = 0;
  void* model_data = nullptr;
  int64_t param_size = 0;
  void* param_data = nullptr;
};

struct TamrinMobileConfig {
  std::string model_dir;
  std::string prog_file;
  std::string param_file;
  int32_t quantification_bits = 0;
  int32_t batch_size = 1;
  int32_t repeat = 1;
  bool optimize = true;
  bool quantification = false;
  bool lod_mode = false;
  int32_t thread_num = 4;
  std::string load_when_predict;
  TamrinModelMemoryPack memory_pack;
};

class TamrinPredictor {
 public:
  // Runs the network: inputs in model input order; every network output becomes
  // one tensor of *outputs with its shape and an owning float32 buffer.
  // False on failure (the output vector then holds default tensors).
  virtual bool Run(const std::vector<TamrinTensor>& inputs, std::vector<TamrinTensor>* outputs,
                   int batch_size = -1) = 0;
  virtual ~TamrinPredictor() = default;
};

// Receives what the runtime has to tell an operator without failing a call (a
// safeguard it has to go without). Until one is set, and after a null sink, such
// messages go to standard error. Thread-safe.
using WarningSink = void (*)(const char* message);
void set_warning_sink(WarningSink sink);

enum class TamrinEngineKind { kTamrinMobile = 0 };

// Loads the network from config.memory_pack; empty on failure, and for a model
// that the damaged-model check refuses. config.thread_num sets the number of
// CPU threads once, when the first predictor of the process is created.
template <typename ConfigT, TamrinEngineKind engine>
std::unique_ptr<TamrinPredictor> CreateTamrinPredictor(const ConfigT& config);

template <>
std::unique_ptr<TamrinPredictor> CreateTamrinPredictor<TamrinMobileConfig, TamrinEngineKind::kTamrinMobile>(
    const TamrinMobileConfig& config);

namespace fpga {
// Handle of the accelerator device, negative on failure.
int open_device();
}  // namespace fpga

}  // namespace tamrin_mobile
