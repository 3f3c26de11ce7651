#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "norvane/edge_controller.h"
#include "norvane/stat/stat.h"

namespace norvane {

// The only EdgeController: one per process, created on first use and alive until
// the process ends; at exit the usage statistics are stopped and saved one last
// time, after which counting does nothing.
class EdgeControllerImpl : public EdgeController {
 public:
  // Creates and initialises the singleton on the first call; never null.
  static EdgeControllerImpl* global();

  ~EdgeControllerImpl() override;

  // Logging defaults, banner, local folder, statistics start and launch count;
  // does its work once per process.
  int init();

  int set_bundle_id(const std::string& bundle_id) override;
  int set_server_addr(const std::string& addr) override;
  int set_log_config(const EdgeLogConfig& config) override;
  // Throws what std::stoi throws for a bad "STAT_UPLOAD_TIME_INTERVAL" value.
  int set_config(const std::string& key, const std::string& value) override;

  Stat& stat() { return _stat; }
  const std::string& bundle_id() const { return _bundle_id; }

 private:
  EdgeControllerImpl();
  static void _final_save();

  std::string _bundle_id = "linux";
  Stat _stat;  // declared last: destroyed first

  static EdgeControllerImpl* _instance;  // owned for the process's life, never deleted
  static std::once_flag _instance_once_flag;
};

}  // namespace norvane
