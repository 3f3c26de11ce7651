#include "norvane/stat/stat.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
#include <new>
#include <thread>

#include <picojson.h>

#include "norvane/edge_predictor_impl.h"
#include "norvane/error_codes.h"
#include "norvane/globals.h"
#include "norvane/log.h"
#include "norvane/net/http_client2.h"
#include "norvane/security/keys.h"
#include "norvane/utils.h"
#include "norvane/utils/replace_file.h"

namespace norvane {
namespace {

constexpr int kFirstUploadDelayMs = 5000;
constexpr int kUploadTimeoutSec = 3;
constexpr int64_t kMridFactor = 1000000;

std::string today() { return utils::get_time("%Y-%m-%d"); }

// Timers take a signed 32-bit millisecond count; a period beyond it (about 24.8
// days) is clamped rather than wrapped into a short or negative pause.
int period_ms(int seconds) {
  int64_t ms = static_cast<int64_t>(seconds) * 1000;
  return static_cast<int>(std::clamp<int64_t>(ms, INT_MIN, INT_MAX));
}

// Counts and ids come from a file anyone could edit: neither may overflow into
// undefined behaviour. A count stops at the largest value; the key composition
// wraps modulo 2^64 as plain two's-complement arithmetic would.
void bump(int64_t& count) {
  if (count < INT64_MAX) ++count;
}

int64_t compose_mrid(int64_t model_id, int64_t release_id) {
  uint64_t mrid = static_cast<uint64_t>(model_id) * static_cast<uint64_t>(kMridFactor) +
                  static_cast<uint64_t>(release_id);
  return static_cast<int64_t>(mrid);
}

picojson::object counts_to_json(const Stat::StrIntMap& counts) {
  picojson::object obj;
  for (const auto& kv : counts) obj[kv.first] = picojson::value(static_cast<int64_t>(kv.second));
  return obj;
}

std::string stat_json(const Stat::StrIntMap& sdk_launch, const Stat::ModelInvokeMap& model_invoke) {
  picojson::array invokes;
  for (const auto& entry : model_invoke) {
    int64_t mrid = entry.first;
    int64_t model_id = 0;
    int64_t release_id = 0;
    Stat::mrid_map(mrid, model_id, release_id);
    picojson::object element;
    element["data"] = picojson::value(counts_to_json(entry.second));
    element["modelId"] = picojson::value(model_id);
    element["releaseId"] = picojson::value(release_id);
    invokes.emplace_back(element);
  }
  picojson::object data;
  data["modelInvoke"] = picojson::value(invokes);
  data["sdkLaunch"] = picojson::value(counts_to_json(sdk_launch));
  picojson::object root;
  root["data"] = picojson::value(data);
  return picojson::value(root).serialize(true);
}

// counts += added, date by date, stopping at the largest and smallest values
// (file values may be anything).
void add_counts(Stat::StrIntMap& counts, const Stat::StrIntMap& added) {
  for (const auto& kv : added) {
    int64_t& count = counts[kv.first];
    if (__builtin_add_overflow(count, kv.second, &count)) count = kv.second > 0 ? INT64_MAX : INT64_MIN;
  }
}

void add_counts(Stat::ModelInvokeMap& counts, const Stat::ModelInvokeMap& added) {
  for (const auto& entry : added) add_counts(counts[entry.first], entry.second);
}

// Both maps of a set of counts.
template <typename Counts>
void add_all(Counts& counts, const Counts& added) {
  add_counts(counts.sdk_launch, added.sdk_launch);
  add_counts(counts.model_invoke, added.model_invoke);
}

Stat::StrIntMap negated(const Stat::StrIntMap& counts) {
  Stat::StrIntMap out;
  for (const auto& kv : counts) out[kv.first] = kv.second == INT64_MIN ? INT64_MAX : -kv.second;
  return out;
}

// One save holds this only for a read and a write; an upload for its exchange,
// which ends within kUploadTimeoutSec. Longer means a process stopped while it
// held the lock: the save gives up and keeps its counts for the next one.
constexpr std::chrono::seconds kFolderLockWait{kUploadTimeoutSec + 2};

// Exclusive advisory lock of the statistics folder, shared by every process (and
// every thread: each holds its own descriptor) that keeps its counts there. The
// folder itself is locked: the cache file is replaced by a rename on every save.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder) : _folder(folder) {
    _fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_fd < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + kFolderLockWait;
    for (;;) {
      if (::flock(_fd, LOCK_EX | LOCK_NB) == 0) {
        _held = true;
        return;
      }
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        _timed_out = errno == EWOULDBLOCK;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Unlocked explicitly: a child forked meanwhile holds a copy of the descriptor,
  // and closing ours alone would leave the folder locked until the child ends.
  ~FolderLock() {
    if (_held) ::flock(_fd, LOCK_UN);
    if (_fd >= 0) ::close(_fd);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  bool held() const { return _held; }
  // Says why the lock is not held; the caller names what it could not do.
  void report(const std::string& what) const {
    if (_timed_out) {
      NV_LOG(WARNING) << "Statistics folder " << _folder << " is held by another process for more than "
                      << kFolderLockWait.count() << " s; " << what
                      << ". One folder serves one process at a time: give each program its own with EDGE_HOME "
                         "(or HOME)";
    } else {
      NV_LOG(ERROR) << "Cannot lock the statistics folder " << _folder << "; " << what;
    }
  }

 private:
  std::string _folder;
  int _fd = -1;
  bool _held = false;
  bool _timed_out = false;
};

// The counts in the cache file; an absent or empty file holds none, and one that
// is not statistics JSON holds what precedes its first wrong part. -1 when the
// file is there but cannot be read: it may hold counts, so it must not be replaced.
int read_cache(const std::string& path, Stat::StrIntMap& sdk_launch, Stat::ModelInvokeMap& model_invoke) {
  std::string text;
  if (utils::read_file_binary(path, text) != 0) {
    if (errno != ENOENT) return -1;
    text.clear();
  }
  if (!text.empty()) Stat::json_to_stat_data(text, sdk_launch, model_invoke);
  return 0;
}

// The usage server's answer decides; an address that the client refuses (a port
// that is not a number) or an exchange that cannot be set up (threads refused)
// is a failed post.
int post_counts(const std::string& body) {
  const std::string server = url_server_host();
  std::unique_ptr<HttpClient2> client;
  try {
    client = std::make_unique<HttpClient2>(server, g_URI_USAGE);
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Http perform failed: invalid server address \"" << server << "\": " << e.what();
    return NV_ERR_HTTP;
  }
  try {
    client->set_post_data_aes_b64(body, keys::upload_key());
    std::string response;
    return client->perform(response, kUploadTimeoutSec);
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Http perform failed: " << e.what();
    return NV_ERR_HTTP;
  }
}

}  // namespace

Stat::Stat() : _gate(std::make_shared<JobGate>()) { _gate->owner = this; }

Stat::~Stat() { final_save(); }

void Stat::final_save() {
  if (_closing.exchange(true)) return;
  _timers.stop_all();
  {
    // Waits for a job under way; afterwards no job reaches this object.
    std::lock_guard<std::mutex> gate_lock(_gate->mtx);
    _gate->owner = nullptr;
  }
  Counts last;
  {
    std::lock_guard<std::mutex> lock(_mtx);
    _closed = true;
    last = _take();
  }
  _add_to_file(last);
}

template <typename Job>
void Stat::_run_job(const std::shared_ptr<JobGate>& gate, Job job) {
  std::lock_guard<std::mutex> gate_lock(gate->mtx);
  if (gate->owner == nullptr) return;
  // Nothing may escape a detached timer thread: it would end the process.
  try {
    job(*gate->owner);
  } catch (const std::exception& e) {
    NV_LOG(ERROR) << "Stat job failed: " << e.what();
  }
}

int Stat::init() {
  // A second start would add a second set of timers.
  if (_started.exchange(true)) return 0;
  load_stat_data();
  return _start_timers();
}

int Stat::_start_timers() {
  std::shared_ptr<JobGate> gate = _gate;
  auto upload = [gate]() { _run_job(gate, [](Stat& s) { s.upload_stat_data(); }); };
  auto save = [gate]() { _run_job(gate, [](Stat& s) { s.save_stat_data(true); }); };
  try {
    _timers.call_after(upload, kFirstUploadDelayMs);
    _timers.call_every(upload, period_ms(stat_upload_time_interval()));
    _timers.call_every(save, period_ms(g_STAT_SAVE_TIME_INTERVAL));
  } catch (const std::exception& e) {
    // Threads refused (a process or thread limit). Timers already started are
    // told to stop, so they end at their first wake without running a job.
    _timers.stop_all();
    NV_LOG(ERROR) << "Failed to start the usage statistics timers: " << e.what()
                  << "; no upload or periodic save in this process, counts are saved at exit";
    return -1;
  }
  return 0;
}

// Not in the fork handler itself: a thread started there would be the child's
// only other thread before the child has done anything. A child that execs or
// ends without counting starts none.
void Stat::_restart_timers_in_child() {
  if (!_timers_lost.exchange(false) || _closing.load()) return;
  _start_timers();
}

int Stat::do_sdk_launch() {
  if (_timers_lost.load(std::memory_order_relaxed)) _restart_timers_in_child();
  const std::string date = today();
  std::lock_guard<std::mutex> lock(_mtx);
  if (!_closed) bump(_sdk_launch[date]);
  return 0;
}

int Stat::do_model_invoke(EdgePredictorImpl& predictor) {
  const ModelConfig& config = predictor.model_config();
  return do_model_invoke(config.modelId, config.releaseId);
}

int Stat::do_model_invoke(int64_t model_id, int64_t release_id) {
  if (_timers_lost.load(std::memory_order_relaxed)) _restart_timers_in_child();
  int64_t mrid = 0;
  mrid_map(mrid, model_id, release_id);
  const std::string date = today();
  // Nobody holds the lock across file or network work, so waiting for it costs
  // an inference at most a swap of the counts, and no count is dropped.
  std::lock_guard<std::mutex> lock(_mtx);
  if (!_closed) bump(_model_invoke[mrid][date]);
  return 0;
}

int Stat::mrid_map(int64_t& mrid, int64_t& model_id, int64_t& release_id) {
  if (mrid != 0) {
    model_id = mrid / kMridFactor;
    release_id = mrid % kMridFactor;
  } else {
    mrid = compose_mrid(model_id, release_id);
  }
  return 0;
}

std::string Stat::stat_data_to_json() { return stat_json(_sdk_launch, _model_invoke); }

int Stat::json_to_stat_data(const std::string& text, StrIntMap& sdk_launch, ModelInvokeMap& model_invoke) {
  picojson::value root;
  std::string err;
  try {
    err = picojson::parse(root, text);
  } catch (const std::exception&) {
    // picojson throws std::overflow_error for a number no double holds (1e999):
    // well-formed text of the wrong shape, refused before anything is stored.
    NV_LOG(DEBUG) << "Illegal stat data, ignore.";
    return 0;
  }
  if (!err.empty()) {
    NV_LOG(INFO) << "Stat data parse finished(-1)";
    return -1;
  }

  // False at the first value of the wrong shape; what was stored before stays.
  auto read = [&]() -> bool {
    if (!root.is<picojson::object>()) return false;
    const picojson::value& data = root.get("data");
    if (!data.is<picojson::object>()) return false;
    const picojson::value& invokes = data.get("modelInvoke");
    if (!invokes.is<picojson::array>()) return false;
    for (const picojson::value& element : invokes.get<picojson::array>()) {
      if (!element.is<picojson::object>()) return false;
      const picojson::value& model_id = element.get("modelId");
      const picojson::value& release_id = element.get("releaseId");
      if (!model_id.is<int64_t>() || !release_id.is<int64_t>()) return false;
      int64_t mid = model_id.get<int64_t>();
      int64_t rid = release_id.get<int64_t>();
      int64_t mrid = 0;
      mrid_map(mrid, mid, rid);
      const picojson::value& dates = element.get("data");
      if (!dates.is<picojson::object>()) return false;
      StrIntMap counts;
      for (const auto& kv : dates.get<picojson::object>()) {
        if (!kv.second.is<int64_t>()) return false;
        counts[kv.first] = kv.second.get<int64_t>();
      }
      model_invoke[mrid] = std::move(counts);  // a later duplicate replaces the whole entry
    }
    const picojson::value& launches = data.get("sdkLaunch");
    if (!launches.is<picojson::object>()) return false;
    for (const auto& kv : launches.get<picojson::object>()) {
      if (!kv.second.is<int64_t>()) return false;
      sdk_launch[kv.first] = kv.second.get<int64_t>();
    }
    return true;
  };

  bool complete = false;
  try {
    complete = read();
  } catch (const std::exception&) {
    complete = false;
  }
  if (!complete) NV_LOG(DEBUG) << "Illegal stat data, ignore.";
  return 0;
}

std::string Stat::get_local_stat_path() {
  return Utils::get_sdk_local_folder() + '/' + g_FILENAME_STAT;
}

int Stat::load_stat_data() {
  // Only read: what the file holds stays there, and saves add to it.
  std::string text = utils::read_file_binary(get_local_stat_path());
  StrIntMap sdk_launch;
  ModelInvokeMap model_invoke;
  json_to_stat_data(text, sdk_launch, model_invoke);
  return 0;
}

Stat::Counts Stat::_take() {
  Counts taken;
  taken.sdk_launch.swap(_sdk_launch);
  taken.model_invoke.swap(_model_invoke);
  return taken;
}

void Stat::_give_back(const Counts& c) {
  add_counts(_sdk_launch, c.sdk_launch);
  add_counts(_model_invoke, c.model_invoke);
}

int Stat::_add_to_file(const Counts& c) {
  const std::string folder = Utils::get_sdk_local_folder();
  const std::string path = folder + '/' + g_FILENAME_STAT;
  FolderLock lock(folder);
  if (!lock.held()) {
    lock.report("counts not saved to " + path + " this time");
    return -1;
  }
  Counts file;
  bool saved = read_cache(path, file.sdk_launch, file.model_invoke) == 0;
  if (saved) {
    add_all(file, c);
    saved = utils::replace_file(path, stat_json(file.sdk_launch, file.model_invoke)) == 0;
  }
  if (!saved) {
    NV_LOG(ERROR) << "Failed to save stat data to " << path;
    return -1;
  }
  return 0;
}

int Stat::save_stat_data(bool lock) {
  std::unique_lock<std::mutex> guard(_mtx, std::defer_lock);
  if (lock) guard.lock();
  const Counts taken = _take();
  if (lock) guard.unlock();
  const int rc = _add_to_file(taken);
  if (rc != 0) {
    if (lock) guard.lock();
    _give_back(taken);
  }
  return rc;
}

int Stat::upload_stat_data() {
  std::lock_guard<std::mutex> one_upload(_upload_mtx);
  Counts taken;
  {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_closed) return 0;
    taken = _take();
  }
  Counts posted = taken;
  Counts file;
  bool file_posted = false;
  bool file_kept = false;  // posted, but still in the file
  int rc = NV_OK;
  {
    const std::string folder = Utils::get_sdk_local_folder();
    const std::string path = folder + '/' + g_FILENAME_STAT;
    // Held across the exchange (within its time-out): another process's upload
    // would post the same file counts.
    FolderLock folder_lock(folder);
    if (!folder_lock.held()) {
      folder_lock.report("this upload posts only the counts not yet saved");
    } else if (read_cache(path, file.sdk_launch, file.model_invoke) == 0) {
      file_posted = true;
      add_all(posted, file);
    }
    // The exchange runs without the statistics lock: inferences go on being
    // counted, into the maps that were just emptied.
    rc = post_counts(stat_json(posted.sdk_launch, posted.model_invoke));
    if (rc == NV_OK && file_posted && utils::replace_file(path, stat_json({}, {})) != 0) {
      NV_LOG(ERROR) << "Failed to save stat data to " << path;
      file_kept = true;
    }
  }
  {
    std::lock_guard<std::mutex> lock(_mtx);
    if (rc != NV_OK) {
      _give_back(taken);
    } else if (file_kept) {
      // Taken off the file at the next save (leaving counts of 0), so these are
      // not posted again.
      Counts minus;
      minus.sdk_launch = negated(file.sdk_launch);
      for (const auto& entry : file.model_invoke) minus.model_invoke[entry.first] = negated(entry.second);
      _give_back(minus);
    }
  }
  if (rc != NV_OK) {
    NV_LOG(DEBUG) << "Stat done(-1)";
    return 0;
  }
  // What was counted during the exchange goes to the file now, as the whole
  // statistics went before.
  save_stat_data(true);
  NV_LOG(DEBUG) << "Stat done(0)";
  return 0;
}

void Stat::prepare_fork() { _mtx.lock(); }

void Stat::after_fork_parent() { _mtx.unlock(); }

void Stat::after_fork_child() {
  // The forking thread took _mtx; the other two may have been held by threads
  // that do not exist in the child, and a std::mutex records no owner to undo.
  _sdk_launch.clear();
  _model_invoke.clear();
  _mtx.unlock();
  new (&_upload_mtx) std::mutex;
  new (&_gate->mtx) std::mutex;
  _timers_lost.store(_started.load() && !_closing.load());
}

}  // namespace norvane
