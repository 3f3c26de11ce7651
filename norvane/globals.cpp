#include "norvane/globals.h"

#include "norvane/global.h"
#include "norvane/log.h"

// The logger storage lives in the library and is exported: programs linked
// against it log through this one storage and create none of their own.
#pragma GCC visibility push(default)
INITIALIZE_EASYLOGGINGPP
#pragma GCC visibility pop

namespace {
// An application's threads may still infer, and log, while the process exits:
// one reference to the logger storage is never given up, so it is not destroyed
// under them with the other static objects. Kept in a variable the compiler must
// emit, so the reference stays reachable (and is no leak to a leak checker).
__attribute__((used)) const el::base::type::StoragePointer* const g_kept_log_storage =
    new el::base::type::StoragePointer(el::base::elStorage);
}  // namespace

namespace norvane {

// Loopback by default: nothing leaves a device unless its operator names a server.
std::string g_URL_SERVER_HOST = "http://127.0.0.1";
const std::string g_URI_USAGE = "/offline-auth/v2/usage/edge";
const std::string g_SDK_LOCAL_FOLDER = ".orvath/norvane/vornax";
const std::string g_FILENAME_STAT = "statistics$cpp";
int g_STAT_UPLOAD_TIME_INTERVAL = 3600;
int g_STAT_SAVE_TIME_INTERVAL = 10;

std::mutex Global::aes_mutex;

namespace {
std::mutex g_settings_mutex;
}  // namespace

std::string url_server_host() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_URL_SERVER_HOST;
}

void set_url_server_host(const std::string& addr) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_URL_SERVER_HOST = addr;
}

int stat_upload_time_interval() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_STAT_UPLOAD_TIME_INTERVAL;
}

void set_stat_upload_time_interval(int seconds) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_STAT_UPLOAD_TIME_INTERVAL = seconds;
}

}  // namespace norvane
