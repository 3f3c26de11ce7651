#include "norvane/inference_gate.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

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
// Passes this thread holds (they nest): exit called from inside an inference
// does not wait for itself, and a forked child keeps only the forking thread's.
thread_local int t_passes = 0;

// A device inference takes well under this; a thread stuck longer is left behind.
constexpr std::chrono::seconds kDrainLimit{5};
// Each registration stays until exit, so an application that loads models again
// and again must not grow the exit lists without end; long before this many
// inits, what the libraries build on first use exists.
constexpr int kMaxRegistrations = 256;
std::atomic<int> g_registrations{0};

// The handlers may be registered many times; only the first run waits.
void close_and_drain() {
  g_closed.store(true);
  if (g_drained.exchange(true)) return;
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (g_in_flight.load() > t_passes) {
    if (std::chrono::steady_clock::now() >= deadline) {
      NV_LOG(WARNING) << "Exiting with " << g_in_flight.load() - t_passes << " inference(s) still running";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Runs in the child of fork, which has only the forking thread.
void start_empty_in_child() { g_in_flight.store(t_passes); }

// Registered as the library loads, before any inference can run.
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, &start_empty_in_child);

}  // namespace

void InferencePass::close_at_exit() {
  if (g_registrations.fetch_add(1) >= kMaxRegistrations) return;
  std::atexit(close_and_drain);
  std::at_quick_exit(close_and_drain);
}

InferencePass::InferencePass() {
  // Before the first inference of a predictor whose init made no first run, and
  // again after it (below): what exists already, and what it made the libraries build.
  std::call_once(g_first_pass_once, &InferencePass::close_at_exit);
  // Counted before the gate is read: the closing thread sets the gate before it
  // reads the count, so one of the two always sees the other (sequential order).
  g_in_flight.fetch_add(1);
  _admitted = !g_closed.load();
  if (!_admitted) {
    g_in_flight.fetch_sub(1);
    return;
  }
  ++t_passes;
}

InferencePass::~InferencePass() {
  if (!_admitted) return;
  --t_passes;
  g_in_flight.fetch_sub(1);
  std::call_once(g_first_pass_end_once, &InferencePass::close_at_exit);
}

}  // namespace norvane
