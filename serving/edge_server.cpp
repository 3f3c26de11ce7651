// norvane_serving: serves one model resource directory over HTTP.
//
//   norvane_serving {res_dir} [{host}] [{port}] [service_id] [server_addr]
//
// Environment: EDGE_INSTANCE_NUM (instances to create, default 1), EDGE_DEVICE_ID
// (default 0), EDGE_MAX_IMAGE_PIXELS and EDGE_MAX_BODY_BYTES (the service's caps
// on a posted picture, read by the service itself; checked here). The exit
// status is the low 8 bits of the service's result: 0 after SIGTERM or SIGINT
// ended serving in order, 2 when the service cannot start, 3 for a bad
// environment value, the failed predictor's code otherwise (68 for a faulty
// model description).

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include "norvane/log.h"
#include "norvane/edge_controller.h"
#include "norvane/error_codes.h"
#include "norvane/utils.h"

namespace {

constexpr const char* kDefaultHost = "0.0.0.0";
constexpr int kDefaultPort = 24401;

// The variable as a decimal int (trailing text ignored); a value std::stoi
// rejects, the empty string included, raises std::runtime_error naming it.
int format_env(const std::string& name, int default_value) {
  try {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", default_value);
    return std::stoi(norvane::utils::env(name, text));
  } catch (const std::exception& e) {
    throw std::runtime_error("Invalid parameter from environment variable '" + name + "': " + e.what());
  }
}

// A cap of the service: when set, all digits, from 1 to 2^63 - 1 (no sign, unit
// or exponent: "1e6" is not read as 1).
void check_limit_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return;
  const std::string text = value;
  const bool digits = !text.empty() && text.size() <= 19 && text.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoull(text) < 1 || std::stoull(text) > 9223372036854775807ull)
    throw std::runtime_error("Invalid parameter from environment variable '" + name + "': '" + text +
                             "' is not a whole number from 1 to 9223372036854775807");
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::cerr << "Usage: " << argv[0] << " {res_dir} {host} {port} [service_id] [server_addr]" << std::endl;
    exit(-1);
  }
  // An ignored SIGCHLD survives exec (a supervisor may leave it so) and has the
  // kernel reap every child unseen. Nothing here wants that: back to the default.
  std::signal(SIGCHLD, SIG_DFL);
  const std::string res_dir = argv[1];
  const std::string host = argc > 2 ? argv[2] : kDefaultHost;
  int port = kDefaultPort;
  if (argc > 3) {
    try {
      port = std::stoi(argv[3]);
    } catch (const std::exception& e) {
      std::cerr << "Invalid port '" << argv[3] << "': " << e.what() << std::endl;
      return norvane::NV_ERR_SERVICE;
    }
  }
  const std::string service_id = argc > 4 ? argv[4] : "";
  const std::string server_addr = argc > 5 ? argv[5] : "";

  norvane::EdgeLogConfig log_config;
  log_config.enable_debug = true;
  log_config.enable_info = true;
  log_config.enable_warning = true;
  log_config.log_to_file = false;
  log_config.log_to_stdout = true;
  log_config.max_log_file_size = 102400;
  log_config.log_file_name = "norvane.log";
  norvane::global_controller()->set_log_config(log_config);

  if (!server_addr.empty()) norvane::global_controller()->set_server_addr(server_addr);

  norvane::TamrinFluidConfig config;
  config.res_dir = res_dir;
  int instance_num = 1;
  try {
    config.device_id = format_env("EDGE_DEVICE_ID", 0);
    instance_num = format_env("EDGE_INSTANCE_NUM", 1);
    check_limit_env("EDGE_MAX_IMAGE_PIXELS");
    check_limit_env("EDGE_MAX_BODY_BYTES");
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Invalid parameter from environment variable. " << e.what();
    return norvane::NV_ERR_ENV;
  }

  // Runs for as long as the service does. An exception (memory exhausted while an
  // instance loads, say) ends the program in order with the start-up failure code.
  try {
    return norvane::global_controller()->start_http_server(config, host, port, service_id, instance_num);
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "HTTP service ended by an exception: " << e.what();
  } catch (...) {
    NV_LOG(ERROR) << "HTTP service ended by an unknown exception";
  }
  return norvane::NV_ERR_SERVICE;
}
