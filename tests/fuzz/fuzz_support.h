#pragma once

// Shared by the fuzz targets: a quiet logger and a scratch folder per process.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <easylogging++.h>

#include "norvane/edge_controller.h"
#include "norvane/globals.h"
#include "norvane/utils.h"
#include "support/temp_dir.h"
#include "zideredov/zideredov.h"

namespace norvane_fuzz {

// The logger "Norvane" registered with every level off: the inputs make the
// library log on almost every run, and writing that out would be most of the time.
inline void quiet_logger() {
  el::Logger* logger = el::Loggers::getLogger("Norvane");
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Enabled, "false");
  conf.setGlobally(el::ConfigurationType::ToFile, "false");
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, "false");
  el::Loggers::reconfigureLogger(logger, conf);
}

// A folder of this process under the temporary directory, removed at exit.
inline const std::string& scratch_dir() {
  static const std::string* path = nullptr;  // never freed: read by the exit handler
  if (path == nullptr) {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvane-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = new std::string(pattern);
    std::atexit([]() {
      std::error_code ec;
      std::filesystem::remove_all(scratch_dir(), ec);
    });
  }
  return *path;
}

// The library's local folder (statistics cache, stored resources) under the
// scratch folder.
inline void use_scratch_home() {
  zideredov::set_local_folder_relative(norvane::g_SDK_LOCAL_FOLDER);
  norvane::Utils::set_sdk_local_folder_home(scratch_dir());
}

inline void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// The controller with its log quiet, usage counts in a scratch home and uploads
// to a loopback port nobody serves (for targets that serve requests).
inline void quiet_controller() {
  static norvane_test::HomeGuard home;
  norvane::EdgeLogConfig quiet;
  quiet.enable_debug = quiet.enable_info = quiet.enable_warning = false;
  quiet.log_to_file = quiet.log_to_stdout = false;
  norvane::global_controller()->set_log_config(quiet);
  norvane::global_controller()->set_server_addr("http://127.0.0.1:9");
}

}  // namespace norvane_fuzz
