#include "norvane/stat/stat.h"


#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
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
constexpr std::chrono::milliseconds kCountLockWait{50};
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
  load_stat_data();
  std::shared_ptr<JobGate> gate = _gate;
  auto upload = [gate]() { _run_job(gate, [](Stat& s) { s.upload_stat_data(); }); };
  auto save = [gate]() { _run_job(gate, [](Stat& s) { s.save_stat_data(true); }); };
  _timers.call_after(upload, kFirstUploadDelayMs);
  _timers.call_every(upload, period_ms(stat_upload_time_interval()));
  _timers.call_every(save, period_ms(g_STAT_SAVE_TIME_INTERVAL));
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
  std::string date = today();
  // A save holds the lock only while it copies the counts: a short wait keeps
  // those copies from costing counts, while an upload (which holds it for its
  // whole exchange) still never holds an inference up for long.
  // (Polled: the sanitizers' runtimes do not all know the timed lock calls.)
  std::unique_lock<std::mutex> lock(_mtx, std::try_to_lock);
  const auto give_up = std::chrono::steady_clock::now() + kCountLockWait;
  while (!lock.owns_lock() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    lock.try_lock();
  }
  if (!lock.owns_lock()) {
    // Once the exit-time save has begun the logger may soon be gone.
    if (!_closing.load()) NV_LOG(DEBUG) << "Failed to get mtx";
    return 0;
  }
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

std::string Stat::stat_data_to_json() {
  picojson::array model_invoke;
  for (const auto& entry : _model_invoke) {
    int64_t mrid = entry.first;
    int64_t model_id = 0;
    int64_t release_id = 0;
    mrid_map(mrid, model_id, release_id);
    picojson::object element;
    element["data"] = picojson::value(counts_to_json(entry.second));
    element["modelId"] = picojson::value(model_id);
    element["releaseId"] = picojson::value(release_id);
    model_invoke.emplace_back(element);
  }
  picojson::object data;
  data["modelInvoke"] = picojson::value(model_invoke);
  data["sdkLaunch"] = picojson::value(counts_to_json(_sdk_launch));
  picojson::object root;
  root["data"] = picojson::value(data);
  return picojson::value(root).serialize(true);
}

int Stat::json_to_stat_data(const std::string& text, StrIntMap& sdk_launch, ModelInvokeMap& model_invoke) {
  picojson::value root;
  std::string err = picojson::parse(root, text);
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
  snapshot.text = stat_data_to_json();
  return snapshot;
}

int Stat::_write(const Snapshot& snapshot) {
  std::lock_guard<std::mutex> lock(_write_mtx);
  // A later copy already on disk holds everything this one does.
  if (snapshot.serial <= _written_serial) return 0;
  const std::string path = get_local_stat_path();
  if (utils::replace_file(path, snapshot.text) != 0) {
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
  Snapshot cleared;
  int rc = NV_ERR_HTTP;
  {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_closed) return 0;
    std::string body = stat_data_to_json();
    const std::string server = url_server_host();
    try {
      HttpClient2 client(server, g_URI_USAGE);
      client.set_post_data_aes_b64(body, keys::upload_key());
      std::string response;
      rc = client.perform(response, kUploadTimeoutSec);
    } catch (const std::exception& e) {
      // A port that is not a number; the counts wait for a usable address.
      NV_LOG(ERROR) << "Http perform failed: invalid server address \"" << server << "\": " << e.what();
    }
    if (rc == NV_OK) {
      _sdk_launch.clear();
      _model_invoke.clear();
      cleared = _snapshot();
    }
  }
  if (rc == NV_OK) {
    _write(cleared);
    NV_LOG(DEBUG) << "Stat done(0)";
  } else {
    NV_LOG(DEBUG) << "Stat done(-1)";
  }
  return 0;
}

}  // namespace norvane
