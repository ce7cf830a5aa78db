#pragma once
// Runs a threaded test scenario with a time limit. A scenario that hangs
// (a lost wake-up, a deadlock) cannot be joined, so the test process is
// aborted with a message instead of blocking the suite.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

inline void RunBounded(double seconds, const char* what, std::function<void()> scenario) {
  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
  };
  auto done = std::make_shared<Done>();
  std::thread worker([done, scenario]() {
    scenario();
    std::lock_guard<std::mutex> lock(done->m);
    done->finished = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->m);
  const bool ok = done->cv.wait_for(lock, std::chrono::duration<double>(seconds),
                                    [&] { return done->finished; });
  lock.unlock();
  if (!ok) {
    std::fprintf(stderr, "%s did not finish within %.0f s (deadlock?)\n", what, seconds);
    std::fflush(stderr);
    std::abort();
  }
  worker.join();
}

// True when `ready` has not become true after `ms` milliseconds: used to show
// that a call is blocked, with a short wait only.
template <class Predicate>
inline bool StaysFalseFor(int ms, Predicate ready) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return !ready();
}
