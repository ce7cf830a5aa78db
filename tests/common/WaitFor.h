#pragma once
// Bounded waiting for threaded tests: polls a condition until it holds or a
// deadline passes, so a lost wake-up fails the test instead of hanging it.
#include <chrono>
#include <thread>

template <class Condition>
bool WaitFor(Condition&& condition, double seconds = 5.0) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}
