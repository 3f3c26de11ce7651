#include "norvane/stat/stat.h"


#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>

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

// counts -= posted, date by date; a date left at 0 goes, and so does a model
// left without dates. Counts only grow between the copy and this, so what stays
// is what came meanwhile (wrapping arithmetic: file values may be anything).
void subtract_counts(Stat::StrIntMap& counts, const Stat::StrIntMap& posted) {
  for (const auto& kv : posted) {
    auto it = counts.find(kv.first);
    if (it == counts.end()) continue;
    it->second = static_cast<int64_t>(static_cast<uint64_t>(it->second) - static_cast<uint64_t>(kv.second));
    if (it->second == 0) counts.erase(it);
  }
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
  Snapshot last;
  {
    std::lock_guard<std::mutex> lock(_mtx);
    _closed = true;
    last = _snapshot();
  }
  _write(last);
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
  // A second start would load the file over the counts and add a second set of timers.
  if (_started.exchange(true)) return 0;
  load_stat_data();
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

int Stat::do_sdk_launch() {
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
  int64_t mrid = 0;
  mrid_map(mrid, model_id, release_id);
  const std::string date = today();
  // Nobody holds the lock across file or network work, so waiting for it costs
  // an inference at most a copy of the counts, and no count is dropped.
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
  std::string text = utils::read_file_binary(get_local_stat_path());
  json_to_stat_data(text, _sdk_launch, _model_invoke);
  return 0;
}

Stat::Snapshot Stat::_snapshot() {
  Snapshot snapshot;
  snapshot.serial = ++_snapshot_serial;
  snapshot.sdk_launch = _sdk_launch;
  snapshot.model_invoke = _model_invoke;
  return snapshot;
}

void Stat::_subtract(const Snapshot& posted) {
  subtract_counts(_sdk_launch, posted.sdk_launch);
  for (const auto& entry : posted.model_invoke) {
    auto it = _model_invoke.find(entry.first);
    if (it == _model_invoke.end()) continue;
    subtract_counts(it->second, entry.second);
    if (it->second.empty()) _model_invoke.erase(it);
  }
}

int Stat::_write(const Snapshot& snapshot) {
  std::lock_guard<std::mutex> lock(_write_mtx);
  // A later copy already on disk holds everything this one does.
  if (snapshot.serial <= _written_serial) return 0;
  const std::string path = get_local_stat_path();
  if (utils::replace_file(path, stat_json(snapshot.sdk_launch, snapshot.model_invoke)) != 0) {
    NV_LOG(ERROR) << "Failed to save stat data to " << path;
    return -1;
  }
  _written_serial = snapshot.serial;
  return 0;
}

int Stat::save_stat_data(bool lock) {
  std::unique_lock<std::mutex> guard(_mtx, std::defer_lock);
  if (lock) guard.lock();
  const Snapshot snapshot = _snapshot();
  if (lock) guard.unlock();
  return _write(snapshot);
}

int Stat::upload_stat_data() {
  std::lock_guard<std::mutex> one_upload(_upload_mtx);
  Snapshot posted;
  {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_closed) return 0;
    posted = _snapshot();
  }
  // The exchange (up to its 3 s time-out) runs without the statistics lock:
  // inferences go on being counted, into the maps that the copy came from.
  if (post_counts(stat_json(posted.sdk_launch, posted.model_invoke)) != NV_OK) {
    NV_LOG(DEBUG) << "Stat done(-1)";
    return 0;
  }
  Snapshot rest;
  {
    std::lock_guard<std::mutex> lock(_mtx);
    _subtract(posted);
    rest = _snapshot();
  }
  _write(rest);
  NV_LOG(DEBUG) << "Stat done(0)";
  return 0;
}

}  // namespace norvane
