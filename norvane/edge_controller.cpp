#include "norvane/edge_controller_impl.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include <zideredov/zideredov.h>

#include "norvane/globals.h"
#include "norvane/inference_gate.h"
#include "norvane/log.h"
#include "norvane/utils.h"

namespace norvane {
namespace {

constexpr const char* kBannerProduct = "Orvath Quillet/Norvane Linux Development Kit ";
constexpr const char* kVersion = "0.5.2";
constexpr const char* kBuildTarget = "generic";
constexpr const char* kBuildDate = "20200421";
constexpr const char* kBuildType = " Release";

constexpr const char* kLogFormat = "%datetime %level [%logger] %thread %msg";

// The controller, for the fork handlers: set once it is built. Each fork uses
// the one its prepare handler saw (forks on two threads may overlap).
std::atomic<EdgeControllerImpl*> g_live{nullptr};
thread_local EdgeControllerImpl* t_fork_controller = nullptr;

// The library's locks that any thread may hold, taken before fork so that the
// child inherits none of them held, in the order the code takes them: the gate
// (a pass counts, saves nothing and logs), the statistics lock (nothing is
// logged under it), the cipher and settings locks (a resource write logs), then
// the logger's. Released in reverse order in the parent and the child.
void prepare_fork() {
  InferencePass::prepare_fork();
  t_fork_controller = g_live.load();
  if (t_fork_controller != nullptr) t_fork_controller->stat().prepare_fork();
  globals_prepare_fork();
  log_prepare_fork();
}

void after_fork_parent() {
  log_after_fork_parent();
  globals_after_fork_parent();
  if (t_fork_controller != nullptr) t_fork_controller->stat().after_fork_parent();
  InferencePass::after_fork_parent();
}

void after_fork_child() {
  log_after_fork_child();
  globals_after_fork_child();
  if (t_fork_controller != nullptr) t_fork_controller->stat().after_fork_child();
  InferencePass::after_fork_child();
}

// Registered once, as the library loads: before any of these locks can be held.
[[maybe_unused]] const int g_fork_handlers = pthread_atfork(&prepare_fork, &after_fork_parent, &after_fork_child);

}  // namespace

EdgeControllerImpl* EdgeControllerImpl::_instance = nullptr;
std::once_flag EdgeControllerImpl::_instance_once_flag;

EdgeControllerImpl::EdgeControllerImpl() = default;

EdgeControllerImpl::~EdgeControllerImpl() = default;

void EdgeControllerImpl::_final_save() { _instance->_stat.final_save(); }

EdgeControllerImpl* EdgeControllerImpl::global() {
  std::call_once(_instance_once_flag, []() {
    // Never deleted: threads that still infer while the process exits reach it
    // through pre_infer, so it must outlive every one of them. The exit handler
    // only ends the statistics.
    _instance = new EdgeControllerImpl();
    g_live.store(_instance);
    // Registered after the library's static objects (the logger storage among
    // them) were built, so it runs before they are destroyed: the final save and
    // a running upload still find the logger alive.
    std::atexit(&EdgeControllerImpl::_final_save);
    // quick_exit skips the exit handlers: without its own, every count since the
    // last periodic save would be lost.
    std::at_quick_exit(&EdgeControllerImpl::_final_save);
    _instance->init();
  });
  return _instance;
}

EdgeController* global_controller() { return EdgeControllerImpl::global(); }

int EdgeControllerImpl::init() {
  static bool has_initialized = false;
  if (has_initialized) return 0;
  set_log_config(EdgeLogConfig());
  NV_LOG(INFO) << kBannerProduct << kVersion << "(Build " << kBuildTarget << " " << kBuildDate << ")"
               << kBuildType;
  zideredov::set_local_folder_relative(g_SDK_LOCAL_FOLDER);
  _stat.init();
  _stat.do_sdk_launch();
  has_initialized = true;
  return 0;
}

int EdgeControllerImpl::set_log_config(const EdgeLogConfig& config) {
  el::Configurations conf;
  conf.setToDefault();
  conf.setGlobally(el::ConfigurationType::Format, kLogFormat);
  conf.set(el::Level::Debug, el::ConfigurationType::Enabled, utils::btos(config.enable_debug));
  conf.set(el::Level::Info, el::ConfigurationType::Enabled, utils::btos(config.enable_info));
  conf.set(el::Level::Warning, el::ConfigurationType::Enabled, utils::btos(config.enable_warning));
  conf.setGlobally(el::ConfigurationType::ToFile, utils::btos(config.log_to_file));
  // easylogging++ opens the named file even with ToFile off; naming it only when
  // it is wanted keeps an empty log file out of every working directory.
  if (config.log_to_file) conf.setGlobally(el::ConfigurationType::Filename, config.log_file_name);
  conf.setGlobally(el::ConfigurationType::ToStandardOutput, utils::btos(config.log_to_stdout));
  conf.setGlobally(el::ConfigurationType::MaxLogFileSize, std::to_string(config.max_log_file_size));
  el::Loggers::reconfigureLogger(NV_LOGGER_ID, conf);
  return 0;
}

int EdgeControllerImpl::set_bundle_id(const std::string& bundle_id) {
  if (bundle_id.empty()) NV_LOG(ERROR) << "Invalid bundleId";
  _bundle_id = bundle_id;
  return 0;
}

int EdgeControllerImpl::set_server_addr(const std::string& addr) {
  set_url_server_host(addr);
  NV_LOG(WARNING) << "Server addr was set to " << addr;
  return 0;
}

int EdgeControllerImpl::set_config(const std::string& key, const std::string& value) {
  NV_LOG(WARNING) << "Set config: " << key << ", " << value;
  if (key == "STAT_UPLOAD_TIME_INTERVAL") {
    set_stat_upload_time_interval(std::stoi(value));  // seconds; read when the statistics start
  } else if (key == "EDGE_HOME") {
    Utils::set_sdk_local_folder_home(value);
  } else if (key == "SERVER_ADDR") {
    set_server_addr(value);
  }
  return 0;
}

}  // namespace norvane
