#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace norvane {

// Runs functions after a delay or periodically, each on a detached thread of its
// own, and stops them together. The stop flag is shared with the threads, so a
// thread that wakes after its Timers object is gone still finds it and ends
// without calling its function.
class Timers {
 public:
  Timers();
  // Stops every timer; a sleeping one ends when its pause is over.
  ~Timers();
  Timers(const Timers&) = delete;
  Timers& operator=(const Timers&) = delete;

  // Calls fn once after ms milliseconds (at once when ms <= 0), unless stopped first.
  // Clears the stop flag, which revives every timer of this object not yet ended.
  void call_after(std::function<void()> fn, int ms);
  // Calls fn again and again with a pause of ms milliseconds before each call
  // (no pause when ms <= 0) until stopped. Clears the stop flag like call_after.
  void call_every(std::function<void()> fn, int ms);
  // Sets the stop flag; wakes no timer and waits for none. A call under way runs to its end.
  void stop_all();

 private:
  std::shared_ptr<std::atomic<bool>> _stop;
};

}  // namespace norvane
