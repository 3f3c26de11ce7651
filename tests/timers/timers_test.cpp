#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norvane/utils/timers.h"

using norvane::Timers;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Shared with the timer threads, which may outlive a test that fails early.
struct Probe {
  std::atomic<int> calls{0};
  std::mutex mtx;
  std::vector<Clock::time_point> times;
  void hit() {
    std::lock_guard<std::mutex> lock(mtx);
    times.push_back(Clock::now());
    calls.fetch_add(1);  // after the time is stored: waiters then read it
  }
  Clock::time_point time(size_t i) {
    std::lock_guard<std::mutex> lock(mtx);
    return times.at(i);
  }
};

bool wait_for_calls(const Probe& probe, int n, milliseconds limit) {
  auto until = Clock::now() + limit;
  while (probe.calls.load() < n) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

}  // namespace

TEST(Timers, StopBeforeTheDelayEndsPreventsTheCall) {
  auto probe = std::make_shared<Probe>();
  Timers timers;
  timers.call_after([probe]() { probe->hit(); }, 100);
  timers.stop_all();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(probe->calls.load(), 0);
}

TEST(Timers, ZeroDelayCallsAtOnceAndPositiveDelayWaits) {
  auto probe = std::make_shared<Probe>();
  Timers timers;
  auto start = Clock::now();
  timers.call_after([probe]() { probe->hit(); }, 0);
  EXPECT_TRUE(wait_for_calls(*probe, 1, milliseconds(5000)));

  timers.call_after([probe]() { probe->hit(); }, 80);
  ASSERT_TRUE(wait_for_calls(*probe, 2, milliseconds(5000)));
  EXPECT_GE(probe->time(1) - start, milliseconds(80));
}

TEST(Timers, PeriodicCallsPauseBetweenCallsAndEndAfterStop) {
  auto probe = std::make_shared<Probe>();
  Timers timers;
  timers.call_every([probe]() { probe->hit(); }, 20);
  ASSERT_TRUE(wait_for_calls(*probe, 4, milliseconds(5000)));
  timers.stop_all();
  std::this_thread::sleep_for(milliseconds(60));  // the last pause ends
  const int after_stop = probe->calls.load();
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(probe->calls.load(), after_stop);

  std::lock_guard<std::mutex> lock(probe->mtx);
  for (size_t i = 1; i < probe->times.size(); ++i) EXPECT_GE(probe->times[i] - probe->times[i - 1], milliseconds(20));
}

TEST(Timers, ThreadWakingAfterItsTimersObjectIsGoneDoesNotCall) {
  auto probe = std::make_shared<Probe>();
  {
    Timers timers;
    timers.call_after([probe]() { probe->hit(); }, 100);
    timers.call_every([probe]() { probe->hit(); }, 100);
  }  // the threads still sleep; they read the flag after this object is gone
  std::this_thread::sleep_for(milliseconds(350));
  EXPECT_EQ(probe->calls.load(), 0);
}

TEST(Timers, NewTimerRevivesOnesStoppedButNotEnded) {
  auto probe = std::make_shared<Probe>();
  Timers timers;
  timers.call_after([probe]() { probe->hit(); }, 150);
  timers.stop_all();
  timers.call_after([]() {}, 0);  // clears the shared flag while the first still sleeps
  EXPECT_TRUE(wait_for_calls(*probe, 1, milliseconds(5000)));
}

namespace {
std::atomic<int> g_signals{0};
void count_signal(int) { g_signals.fetch_add(1); }
}  // namespace

TEST(Timers, SignalsDoNotShortenThePause) {
  struct sigaction action {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the pause really is interrupted
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

  auto probe = std::make_shared<Probe>();
  Timers timers;
  auto start = Clock::now();
  timers.call_after([probe]() { probe->hit(); }, 300);

  // Block the signal here, so that a process-directed one reaches the timer thread.
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  g_signals = 0;
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(milliseconds(30));
    kill(getpid(), SIGUSR1);
  }
  ASSERT_TRUE(wait_for_calls(*probe, 1, milliseconds(5000)));
  EXPECT_GE(probe->time(0) - start, milliseconds(300));
  EXPECT_GT(g_signals.load(), 0);

  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  sigaction(SIGUSR1, &old, nullptr);
}
