#include "norvane/globals.h"

#include <new>
#include <vector>

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

namespace {

// The locks log_prepare_fork took, in the order taken: the handlers of one fork
// run on the forking thread, and forks on two threads may overlap.
thread_local std::vector<el::base::threading::Mutex*> t_log_locks_held;

}  // namespace

// A record takes the registry's lock (released again) to find its logger, then
// holds the logger's lock while it is written, and inside that the storage's
// lock, under which the dispatch takes the file locks and the thread names';
// settings take configurations' and typed configurations' locks inside these.
// The hit counters', verbose registry's and format specifiers' locks nest inside
// nothing else. Taken in that order here.
void log_prepare_fork() {
  if (!el::base::elStorage) return;
  std::vector<el::base::threading::Mutex*> order;
  el::base::RegisteredLoggers* registry = ELPP->registeredLoggers();
  registry->lock().lock();
  order.push_back(&registry->lock());
  std::vector<el::Logger*> loggers;
  for (auto& entry : registry->list()) {
    if (entry.second != nullptr) loggers.push_back(entry.second);
  }
  for (el::Logger* logger : loggers) order.push_back(&logger->lock());
  order.push_back(&ELPP->lock());
  // A new logger's configurations are copied from the registry's defaults, whose
  // lock is held while each entry goes in under the logger's own.
  order.push_back(&registry->defaultConfigurations()->lock());
  for (el::Logger* logger : loggers) order.push_back(&logger->configurations()->lock());
  for (el::Logger* logger : loggers) {
    if (logger->typedConfigurations() != nullptr) order.push_back(&logger->typedConfigurations()->lock());
  }
  order.push_back(&ELPP->hitCounters()->lock());
  order.push_back(&ELPP->customFormatSpecifiersLock());
  order.push_back(&ELPP->vRegistry()->lock());
  for (size_t i = 1; i < order.size(); ++i) order[i]->lock();
  t_log_locks_held.swap(order);
}

void log_after_fork_parent() {
  for (auto it = t_log_locks_held.rbegin(); it != t_log_locks_held.rend(); ++it) (*it)->unlock();
  t_log_locks_held.clear();
}

void log_after_fork_child() {
  for (el::base::threading::Mutex* lock : t_log_locks_held) new (lock) el::base::threading::Mutex;
  t_log_locks_held.clear();
}

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

// The cipher lock is held around a resource write, which may log: before the
// logger's locks. The settings lock nests inside nothing and holds nothing.
void globals_prepare_fork() {
  Global::aes_mutex.lock();
  g_settings_mutex.lock();
}

void globals_after_fork_parent() {
  g_settings_mutex.unlock();
  Global::aes_mutex.unlock();
}

// The forking thread holds both; a std::mutex is released by any thread.
void globals_after_fork_child() { globals_after_fork_parent(); }

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
