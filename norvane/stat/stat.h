#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "norvane/utils/timers.h"

namespace norvane {

class EdgePredictorImpl;

// Usage statistics: SDK launches per local day and inference calls per model
// and release per local day, kept in a cache file in the SDK local folder and
// uploaded periodically. Thread-safe as described per operation.
class Stat {
 public:
  using StrIntMap = std::unordered_map<std::string, int64_t>;  // date text -> count
  using ModelInvokeMap = std::unordered_map<int64_t, StrIntMap>;  // mrid -> per-date counts

  Stat();
  // Stops the timers, waits for a job that is under way, then saves one last time.
  ~Stat();
  Stat(const Stat&) = delete;
  Stat& operator=(const Stat&) = delete;

  // Loads the cache file and starts the upload (5 s, then every upload period)
  // and save (every g_STAT_SAVE_TIME_INTERVAL s) timers.
  int init();
  // Counts one launch for today. Unlocked: runs once, before the first timer job.
  int do_sdk_launch();
  // Counts one inference of the predictor's model for today. Never waits: when the
  // statistics lock is busy (upload or save) the call is not counted.
  int do_model_invoke(EdgePredictorImpl& predictor);
  int do_model_invoke(int64_t model_id, int64_t release_id);

  // mrid != 0: split it into model id and release id; mrid == 0: compose it.
  // mrid = model id * 1000000 + release id, split by truncating division.
  static int mrid_map(int64_t& mrid, int64_t& model_id, int64_t& release_id);

  // The statistics JSON (prettified, keys ascending). Takes no lock.
  std::string stat_data_to_json();
  // 0, or -1 when text is not JSON. Reading stops at the first element of the
  // wrong shape; what came before it stays stored.
  static int json_to_stat_data(const std::string& text, StrIntMap& sdk_launch, ModelInvokeMap& model_invoke);

  std::string get_local_stat_path();
  int load_stat_data();
  // Replaces the cache file whole (temporary file renamed over it); 0 or -1.
  int save_stat_data(bool lock);
  // One upload; counts are cleared and saved only when the server accepts them.
  int upload_stat_data();

 private:
  // What the detached timer jobs reach instead of the Stat itself: the owner is
  // cleared under `mtx` when the Stat is destroyed, and a job holds `mtx` while it
  // runs, so no job touches a destroyed Stat. Lock order: mtx -> _mtx -> aes_mutex.
  struct JobGate {
    std::mutex mtx;
    Stat* owner = nullptr;
  };
  template <typename Job>
  static void _run_job(const std::shared_ptr<JobGate>& gate, Job job);

  StrIntMap _sdk_launch;
  ModelInvokeMap _model_invoke;
  std::mutex _mtx;  // statistics lock: whole uploads and periodic saves
  std::shared_ptr<JobGate> _gate;
  Timers _timers;
};

}  // namespace norvane
