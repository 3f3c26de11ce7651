// The controller's template members: the predictor factory and the whole start-up
// of the HTTP service. Instantiated for TamrinFluidConfig only.

#include <memory>
#include <string>

#include "norvane/edge_controller.h"
#include "norvane/engine/tamrinmobile_fpga_edge_predictor.h"
#include "norvane/error_codes.h"
#include "norvane/net/http_server.h"

namespace norvane {

// Always the FPGA engine. Nothing is read, opened or logged here: that is init()'s.
template <typename ConfigT>
std::unique_ptr<EdgePredictor> EdgeController::CreateEdgePredictor(const ConfigT& config) {
  return std::make_unique<TamrinMobileFpgaEdgePredictor>(config);
}

// Every instance is a full, independent load of the model, made one after the
// other on this thread. Exceptions pass on to the caller; the local server and
// the instances it holds are destroyed on the way.
template <typename ConfigT>
int EdgeController::start_http_server(const ConfigT& config, const std::string& host, int port,
                                      const std::string& service_id, int instance_num) {
  HttpServer server;
  int ret = server.init(host, port, service_id);
  if (ret != NV_OK) return ret;
  if (instance_num < 1) return server.start_service();  // refuses the empty list

  for (int i = 0; i < instance_num; ++i) {
    std::unique_ptr<EdgePredictor> predictor = CreateEdgePredictor(config);
    ret = predictor->init();
    if (ret != NV_OK) return ret;
    // A refused instance stays in `predictor` and is deleted with it; the refusal
    // has been logged and start-up goes on.
    server.add_predictor(predictor);
  }
  return server.start_service();
}

template std::unique_ptr<EdgePredictor> EdgeController::CreateEdgePredictor<TamrinFluidConfig>(
    const TamrinFluidConfig& config);
template int EdgeController::start_http_server<TamrinFluidConfig>(const TamrinFluidConfig& config,
                                                                  const std::string& host, int port,
                                                                  const std::string& service_id,
                                                                  int instance_num);

}  // namespace norvane
