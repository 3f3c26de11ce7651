#include "norvane/utils/timers.h"

#include <thread>
#include <utility>

#include "norvane/utils.h"

namespace norvane {

Timers::Timers() : _stop(std::make_shared<std::atomic<bool>>(false)) {}

Timers::~Timers() { stop_all(); }

void Timers::call_after(std::function<void()> fn, int ms) {
  _stop->store(false);
  std::thread([stop = _stop, fn = std::move(fn), ms]() {
    if (stop->load()) return;
    if (ms > 0) {
      utils::sleep_ms(ms);  // resumes after signals: the whole pause elapses
      if (stop->load()) return;
    }
    fn();
  }).detach();
}

void Timers::call_every(std::function<void()> fn, int ms) {
  _stop->store(false);
  std::thread([stop = _stop, fn = std::move(fn), ms]() {
    if (stop->load()) return;
    for (;;) {
      if (ms > 0) utils::sleep_ms(ms);
      if (stop->load()) return;
      fn();
      if (stop->load()) return;
    }
  }).detach();
}

void Timers::stop_all() { _stop->store(true); }

}  // namespace norvane
