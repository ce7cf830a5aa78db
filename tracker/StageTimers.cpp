#include "tracker/StageTimers.h"

#include <ctime>

namespace {

constexpr int kWindow = 20;

}  // namespace

void StageTimers::Reset() {
  for (TimerStats& t : timer) t.Reset(kWindow);
  for (int t = 0; t < kTimerCount; ++t) cpu[t] = lastFrameCpu[t] = 0.0;
}

void StageTimers::Advance() {
  for (TimerStats& t : timer) t.Advance();
  for (int t = 0; t < kTimerCount; ++t) {
    lastFrameCpu[t] = cpu[t];
    cpu[t] = 0.0;
  }
}

double StageTimers::ThreadCpuNow() {
  timespec now;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0.0;
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}
