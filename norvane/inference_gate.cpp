#include "norvane/inference_gate.h"

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
std::once_flag g_close_at_exit_once;

// A device inference takes well under this; a thread stuck longer is left behind.
constexpr std::chrono::seconds kDrainLimit{5};

void close_and_drain() {
  g_closed.store(true);
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (g_in_flight.load() > 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      NV_LOG(WARNING) << "Exiting with " << g_in_flight.load() << " inference(s) still running";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

InferencePass::InferencePass() {
  // Counted before the gate is read: the closing thread sets the gate before it
  // reads the count, so one of the two always sees the other (sequential order).
  g_in_flight.fetch_add(1);
  _admitted = !g_closed.load();
  if (!_admitted) g_in_flight.fetch_sub(1);
}

InferencePass::~InferencePass() {
  if (!_admitted) return;
  g_in_flight.fetch_sub(1);
  // Exit handlers run in reverse order of registration and static objects are
  // destroyed in that same sequence. Registered after a whole inference, the
  // gate closes before the objects that inference made its libraries build
  // (which registered their destruction during it) are destroyed.
  std::call_once(g_close_at_exit_once, [] { std::atexit(close_and_drain); });
}

}  // namespace norvane
