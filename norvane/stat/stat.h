#pragma once

#include <atomic>
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
  // final_save(), unless it already ran.
  ~Stat();
  Stat(const Stat&) = delete;
  Stat& operator=(const Stat&) = delete;

  // Loads the cache file and starts the upload (5 s, then every upload period)
  // and save (every g_STAT_SAVE_TIME_INTERVAL s) timers, once per Stat. 0, or -1
  // when the timer threads cannot be created: then none runs, the counts stay in
  // memory and only the final save writes them.
  int init();
  // Counts one launch for today, under the statistics lock (the timers run by then).
  int do_sdk_launch();
  // Counts one inference of the predictor's model for today. The statistics lock
  // is only ever held for work in memory (a count, a swap, a merge), so the call
  // waits no longer than that and every inference is counted. After final_save()
  // it does nothing.
  int do_model_invoke(EdgePredictorImpl& predictor);
  int do_model_invoke(int64_t model_id, int64_t release_id);

  // mrid != 0: split it into model id and release id; mrid == 0: compose it.
  // mrid = model id * 1000000 + release id, split by truncating division.
  static int mrid_map(int64_t& mrid, int64_t& model_id, int64_t& release_id);

  // The statistics JSON (prettified, keys ascending) of the counts this process
  // holds in memory: those not yet added to the cache file. Takes no lock.
  std::string stat_data_to_json();
  // 0, or -1 when text is not JSON. Reading stops at the first element of the
  // wrong shape; what came before it stays stored. A number beyond the range of
  // double is a wrong shape met before anything is stored.
  static int json_to_stat_data(const std::string& text, StrIntMap& sdk_launch, ModelInvokeMap& model_invoke);

  std::string get_local_stat_path();
  // Reads the cache file and reports one that cannot be used. Its counts stay in
  // the file: every process that shares the statistics folder adds its own there.
  int load_stat_data();
  // Adds the counts held in memory to the cache file, under the folder's lock:
  // the file is read, the counts added, and the sum replaces it whole (temporary
  // file renamed over it). 0, or -1 with the counts kept for the next save. The
  // counts are taken out under the statistics lock (taken when lock is true, else
  // held by the caller); the file work runs after it is released (when lock is
  // true), so inferences are counted meanwhile.
  int save_stat_data(bool lock);
  // One upload of what the cache file holds plus the counts in memory, under the
  // folder's lock (so two processes never post the same counts); when the server
  // accepts it, the file is left with only what was counted meanwhile. Uploads
  // run one at a time, each within its 3 s time-out.
  int upload_stat_data();
  // Stops the timers, waits for a job under way (an upload ends within its
  // time-out), saves everything counted so far, and turns later counting into a
  // no-op. Runs at process exit while other threads may still infer.
  void final_save();

  // Around fork: the statistics lock is taken before and released after it. The
  // child starts with no counts in memory (they are the parent's to save) and
  // without the parent's timer threads, which it starts again on its first count.
  void prepare_fork();
  void after_fork_parent();
  void after_fork_child();

 private:
  // What the detached timer jobs reach instead of the Stat itself: the owner is
  // cleared under `mtx` by final_save, and a job holds `mtx` while it runs, so no
  // job touches a closed or destroyed Stat.
  // Lock order: mtx -> _upload_mtx -> _mtx; the folder's lock is never waited for
  // with _mtx held (but by save_stat_data(false), whose caller holds it), and the
  // upload's encipherment takes aes_mutex with _mtx not held.
  struct JobGate {
    std::mutex mtx;
    Stat* owner = nullptr;
  };
  template <typename Job>
  static void _run_job(const std::shared_ptr<JobGate>& gate, Job job);

  struct Counts {
    StrIntMap sdk_launch;
    ModelInvokeMap model_invoke;
  };
  int _start_timers();
  void _restart_timers_in_child();
  Counts _take();                    // needs _mtx: moves the counts out, leaving none
  void _give_back(const Counts& c);  // needs _mtx: adds counts back (a failed save or upload)
  // File work, under the folder's lock, which these take.
  int _add_to_file(const Counts& c);

  StrIntMap _sdk_launch;
  ModelInvokeMap _model_invoke;
  std::mutex _mtx;  // statistics lock: the counts, held only for work in memory
  bool _closed = false;  // under _mtx: final_save ran
  std::atomic<bool> _closing{false};  // final_save started
  std::atomic<bool> _started{false};  // init ran
  std::atomic<bool> _timers_lost{false};  // a forked child: its timer threads stayed in the parent
  std::mutex _upload_mtx;  // one upload of this process at a time
  std::shared_ptr<JobGate> _gate;
  Timers _timers;
};

}  // namespace norvane
