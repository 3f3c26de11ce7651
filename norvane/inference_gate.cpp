#include "norvane/inference_gate.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/core/parallel/parallel_backend.hpp>

#include "norvane/log.h"

namespace norvane {

namespace {

// Plain atomics: constant-initialised and never destroyed, so they are safe to
// touch from any thread at any point of exit.
std::atomic<int> g_in_flight{0};
std::atomic<bool> g_closed{false};
std::atomic<bool> g_drained{false};
std::once_flag g_first_pass_once;
std::once_flag g_first_pass_end_once;
// Forks under way: a pass that would start waits until none is.
std::atomic<int> g_forks{0};
std::mutex g_fork_mtx;
std::condition_variable g_fork_done;
// Set by the first pass admitted: OpenCV's thread pool may have run since.
std::atomic<bool> g_ran{false};
// Passes this thread holds (they nest): exit called from inside an inference
// does not wait for itself, and a forked child keeps only the forking thread's.
thread_local int t_passes = 0;

// A device inference takes well under this; a thread stuck longer is left behind.
constexpr std::chrono::seconds kDrainLimit{5};

// Waits until no pass but this thread's own is in flight, or kDrainLimit passed;
// false then.
bool wait_for_passes() {
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (g_in_flight.load() > t_passes) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
// Each registration stays until exit, so an application that loads models again
// and again must not grow the exit lists without end; long before this many
// inits, what the libraries build on first use exists.
constexpr int kMaxRegistrations = 256;
std::atomic<int> g_registrations{0};

// The handlers may be registered many times; only the first run waits.
void close_and_drain() {
  g_closed.store(true);
  if (g_drained.exchange(true)) return;
  if (!wait_for_passes()) {
    NV_LOG(WARNING) << "Exiting with " << g_in_flight.load() - t_passes << " inference(s) still running";
  }
}

// OpenCV's loops on the calling thread. TBB's pool is not fork-safe: in a child,
// its state says that workers exist which stayed in the parent, and a parallel
// loop there could wait for them, or for a lock one of them held, for ever.
class SerialLoops : public cv::parallel::ParallelForAPI {
 public:
  void parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data) override { body(0, tasks, data); }
  int getThreadNum() const override { return 0; }
  int getNumThreads() const override { return 1; }
  int setNumThreads(int /*threads*/) override { return 1; }
  const char* getName() const override { return "norvane-serial-after-fork"; }
};

}  // namespace

void InferencePass::prepare_fork() {
  g_forks.fetch_add(1);
  // Read now, in the parent, so that the child's first OpenCV loop does not go
  // looking for a parallel back-end (plugins included).
  if (g_ran.load()) cv::getNumThreads();
  if (!wait_for_passes()) {
    NV_LOG(WARNING) << "Forking with " << g_in_flight.load() - t_passes
                    << " inference(s) still running: the child must not use their networks";
  }
}

void InferencePass::after_fork_parent() {
  {
    std::lock_guard<std::mutex> lock(g_fork_mtx);
    g_forks.fetch_sub(1);
  }
  g_fork_done.notify_all();
}

void InferencePass::after_fork_child() {
  // Only the forking thread exists here; passes of the others, and their waits
  // on the condition variable, stayed in the parent.
  g_in_flight.store(t_passes);
  g_forks.store(0);
  new (&g_fork_mtx) std::mutex;
  new (&g_fork_done) std::condition_variable;
  if (g_ran.load()) cv::parallel::setParallelForBackend(std::make_shared<SerialLoops>(), false);
}

void InferencePass::close_at_exit() {
  if (g_registrations.fetch_add(1) >= kMaxRegistrations) return;
  std::atexit(close_and_drain);
  std::at_quick_exit(close_and_drain);
}

InferencePass::InferencePass() {
  // Before the first inference of a predictor whose init made no first run, and
  // again after it (below): what exists already, and what it made the libraries build.
  std::call_once(g_first_pass_once, &InferencePass::close_at_exit);
  // Counted before the gate is read: the closing or forking thread sets the gate
  // before it reads the count, so one of the two always sees the other
  // (sequential order). A nested pass goes on: the fork waits for its outer one.
  for (;;) {
    g_in_flight.fetch_add(1);
    if (t_passes > 0 || g_forks.load() == 0) break;
    g_in_flight.fetch_sub(1);
    std::unique_lock<std::mutex> lock(g_fork_mtx);
    g_fork_done.wait(lock, [] { return g_forks.load() == 0; });
  }
  _admitted = !g_closed.load();
  if (!_admitted) {
    g_in_flight.fetch_sub(1);
    return;
  }
  ++t_passes;
  if (!g_ran.load(std::memory_order_relaxed)) g_ran.store(true);
}

InferencePass::~InferencePass() {
  if (!_admitted) return;
  --t_passes;
  g_in_flight.fetch_sub(1);
  std::call_once(g_first_pass_end_once, &InferencePass::close_at_exit);
}

}  // namespace norvane
