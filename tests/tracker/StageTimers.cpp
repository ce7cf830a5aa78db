// ctest-labels: threads
// The stage timers' CPU clock: work done in a stage's scope counts, sleeping
// and another thread's work do not; scopes of one stage add up within a
// frame; closing the frame hands its times over and starts the next frame at
// zero; a reset clears both.
#include "tracker/StageTimers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// Spins until this thread has used `seconds` of CPU time.
void Spin(double seconds) {
  const double end = StageTimers::ThreadCpuNow() + seconds;
  volatile double sink = 0.0;
  while (StageTimers::ThreadCpuNow() < end) sink = sink + 1.0;
}

}  // namespace

TEST(StageTimersTest, CpuClockCountsThisThreadsWorkAlone) {
  StageTimers timers;
  timers.Reset();
  {
    ScopedTimer t(timers, kTimerFrame);
    Spin(0.004);
  }
  {
    ScopedTimer t(timers, kTimerMU);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  {
    ScopedTimer t(timers, kTimerISO);
    std::thread other([] { Spin(0.03); });
    other.join();
  }
  // Still open: nothing handed over yet.
  EXPECT_EQ(0.0, timers.lastFrameCpu[kTimerFrame]);
  EXPECT_GE(timers.cpu[kTimerFrame], 0.004);
  timers.Advance();
  EXPECT_GE(timers.lastFrameCpu[kTimerFrame], 0.004);
  EXPECT_LT(timers.lastFrameCpu[kTimerFrame], 0.5);
  EXPECT_LT(timers.lastFrameCpu[kTimerMU], 0.01);
  EXPECT_LT(timers.lastFrameCpu[kTimerISO], 0.015);
  // The wall clock of the same scopes does count the sleep.
  EXPECT_GE(timers.timer[kTimerMU].mean, 0.029);
  for (int t = 0; t < kTimerCount; ++t) EXPECT_EQ(0.0, timers.cpu[t]) << t;
}

TEST(StageTimersTest, ScopesAddUpWithinAFrameAndFramesStartAfresh) {
  StageTimers timers;
  timers.Reset();
  for (int i = 0; i < 2; ++i) {
    ScopedTimer t(timers, kTimerCT);
    Spin(0.003);
  }
  timers.Advance();
  EXPECT_GE(timers.lastFrameCpu[kTimerCT], 0.006);
  EXPECT_EQ(0.0, timers.lastFrameCpu[kTimerFrame]);
  // A frame without the stage reports zero for it, not the previous frame's.
  {
    ScopedTimer t(timers, kTimerFrame);
    Spin(0.001);
  }
  timers.Advance();
  EXPECT_EQ(0.0, timers.lastFrameCpu[kTimerCT]);
  EXPECT_GE(timers.lastFrameCpu[kTimerFrame], 0.001);
  {
    ScopedTimer t(timers, kTimerOH);
    Spin(0.001);
  }
  timers.Reset();
  for (int t = 0; t < kTimerCount; ++t) {
    EXPECT_EQ(0.0, timers.cpu[t]) << t;
    EXPECT_EQ(0.0, timers.lastFrameCpu[t]) << t;
  }
}
