#pragma once

#include <memory>
#include <vector>

#include <opencv2/core.hpp>
#include <tamrin_mobile/tamrin_mobile.h>

#include "norvane/edge_predictor_impl.h"
#include "norvane/export.h"
#include "norvane/model_security.h"

namespace norvane {

// The engine class over the inference runtime: configuration copy, runtime
// predictor, model decryption and the output decoding that every engine shares.
// Its own init/infer form the CPU path (planar input tensor "image"); it creates
// no runtime predictor itself, so that path runs only with one handed in.
class TamrinFluidEdgePredictor : public EdgePredictorImpl {
 public:
  explicit TamrinFluidEdgePredictor(const TamrinFluidConfig& config);
  // Deletes the ModelSecurity (and its plain temporary files) before the predictor.
  ~TamrinFluidEdgePredictor() override;

  // Core init, new ModelSecurity; 0 only when a runtime predictor is present.
  int init() override;
  // Raw network output is not offered: always NV_ERR_NOT_SUPPORTED, silently.
  int infer(cv::Mat& image, std::vector<float>& output) override;
  // Serialised by _infer_mutex. -1 empty image, NV_ERR_RUNTIME without a runtime
  // predictor, else the result of _postprocess.
  int infer(cv::Mat& image, EdgeColorFormat format, std::vector<EdgeResultData>& results,
            float threshold) override;
  using EdgePredictorImpl::infer;

 protected:
  // Replaces the ModelSecurity with one for the current model description (the
  // previous one deletes its plain temporary files); returns the parameter path.
  std::string _renew_model_security();
  // Appends the planar input tensor "image" {1, 3, rows, cols} of fed over data,
  // without taking ownership of data. Always 0.
  int _get_model_feed(cv::Mat& image, cv::Mat& fed, void* data, std::vector<tamrin_mobile::TamrinTensor>& feeds);

  // Decodes the outputs of one run by model kind, appends the records to results,
  // then filters (threshold, label range), names and sorts the whole vector by
  // descending probability. image: the caller's picture (rows read, kind 6);
  // fed: what the network saw (rows and cols read, kind 6).
  // NV_ERR_RUNTIME, with results untouched, for outputs it cannot read safely.
  int _postprocess(std::vector<tamrin_mobile::TamrinTensor>& outputs, cv::Mat& image, cv::Mat& fed,
                   float threshold, std::vector<EdgeResultData>& results);

  TamrinFluidConfig _config;
  std::unique_ptr<tamrin_mobile::TamrinPredictor> _predictor;
  std::unique_ptr<ModelSecurity> _model_security;

 private:
  int _decode_detection(tamrin_mobile::TamrinTensor& head, float threshold, std::vector<EdgeResultData>& results);
  int _decode_instances(std::vector<tamrin_mobile::TamrinTensor>& outputs, cv::Mat& image, cv::Mat& fed,
                        std::vector<EdgeResultData>& results);
  int _decode_classification(const tamrin_mobile::TamrinTensor& head, float threshold,
                             std::vector<EdgeResultData>& results);
};

}  // namespace norvane
