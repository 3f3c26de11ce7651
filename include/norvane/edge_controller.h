#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "norvane/export.h"
#include "norvane/norvane.h"

namespace norvane {

struct NORVANE_API EdgeLogConfig {
  bool enable_debug = false;
  bool enable_info = true;
  bool enable_warning = true;
  bool log_to_file = false;
  bool log_to_stdout = true;
  uint32_t max_log_file_size = 102400;  // bytes
  std::string log_file_name = "norvane.log";
};

// The process-wide controller, reached through global_controller().
class NORVANE_API EdgeController {
 public:
  virtual int set_bundle_id(const std::string& bundle_id) = 0;
  virtual int set_server_addr(const std::string& addr) = 0;
  virtual int set_log_config(const EdgeLogConfig& config) = 0;
  virtual int set_config(const std::string& key, const std::string& value) = 0;
  virtual ~EdgeController() = default;

  // A new, not yet initialised predictor; the caller calls init() on it.
  // Instantiated for TamrinFluidConfig only.
  template <typename ConfigT>
  std::unique_ptr<EdgePredictor> CreateEdgePredictor(const ConfigT& config);

  // Creates instance_num predictors, serves them over HTTP on this thread and
  // returns when serving ends: 0, or the first failure code.
  // Instantiated for TamrinFluidConfig only.
  template <typename ConfigT>
  int start_http_server(const ConfigT& config, const std::string& host, int port, const std::string& service_id,
                        int instance_num);
};

extern template std::unique_ptr<EdgePredictor> EdgeController::CreateEdgePredictor<TamrinFluidConfig>(
    const TamrinFluidConfig& config);
extern template int EdgeController::start_http_server<TamrinFluidConfig>(
    const TamrinFluidConfig& config, const std::string& host, int port, const std::string& service_id,
    int instance_num);

// The singleton, created and initialised on first call; never null.
NORVANE_API EdgeController* global_controller();

}  // namespace norvane
