#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "norvane/engine/tamrinfluid_edge_predictor.h"
#include "norvane/export.h"

namespace norvane {

// The engine the factory builds: loads the model into the runtime on the FPGA and
// does its own preprocessing (alpha dropped, resize to the configured input size,
// optional RGB order, interleaved (pixel - mean) * scale floats).
class TamrinMobileFpgaEdgePredictor : public TamrinFluidEdgePredictor {
 public:
  explicit TamrinMobileFpgaEdgePredictor(const TamrinFluidConfig& config);
  ~TamrinMobileFpgaEdgePredictor() override;

  // 0; the core init's code; NV_ERR_OPEN_DEVICE; NV_ERR_RUNTIME when the runtime
  // refuses the model, or when the process is exiting (the load is then not begun).
  int init() override;
  // Not locked: the caller serialises. -1 empty image; NV_ERR_RUNTIME without a
  // runtime predictor; NV_ERR_MODEL_CONFIG without a positive input size;
  // NV_ERR_BAD_REQUEST for images other than 8-bit gray, BGR or BGRA; else the
  // result of _postprocess.
  int infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results,
            float threshold) override;
  using TamrinFluidEdgePredictor::infer;

 protected:
  // infer's checks, preprocessing into work and the runtime's run into outputs:
  // NV_OK or infer's code. log false leaves out its DEBUG and verbose records
  // (errors are still written).
  int _forward(cv::Mat& image, cv::Mat& work, std::vector<tamrin_mobile::TamrinTensor>& outputs, bool log);
  // One run on a blank picture at the end of a successful init, neither counted,
  // decoded nor logged, then the exit gate registered (InferencePass::close_at_exit):
  // the run makes OpenCV and the runtime build what they build on a first
  // inference, so exit closes the gate before that is destroyed, even when it
  // comes before any inference of the application has ended. Runs inside init's
  // pass, which also holds the model's load.
  void _warm_up();

  // Process-wide device handle: opened by the first init that needs it, retried
  // while negative, never closed. Unguarded: inits run one after the other.
  static int _fpga_device_fd;
};

}  // namespace norvane
