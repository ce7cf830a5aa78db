#pragma once
// The per-stage timing of the tracker over a window of 20 frames: the frame
// and the six stages of its statistics line. Each stage is also timed on the
// calling thread's CPU clock, which the workers sharing its core leave out,
// and the last closed frame's times are kept for the benchmarks.
#include "la/TimerStats.h"

enum StageTimer : int {
  kTimerFrame,
  kTimerFE,   // feature detection
  kTimerCT,   // camera tracking: pose and map matching
  kTimerIM,   // image alignment and image matching
  kTimerMU,   // map update: key frames and new points
  kTimerOH,   // overhead: input, scores, verdicts, messages
  kTimerISO,  // the ISO step
  kTimerCount
};

struct StageTimers {
  // Every timer empty over a window of 20 frames.
  void Reset();
  // Closes the frame's slot of every timer, the frame timer first.
  void Advance();
  // A stage's mean over the window in whole milliseconds.
  int MeanMilliseconds(StageTimer t) const { return static_cast<int>(timer[t].mean * 1000.0); }
  // Frames per second over the window; 0 before the first frame.
  double FrameRate() const { return timer[kTimerFrame].Rate(); }
  // Seconds of CPU time of the calling thread.
  static double ThreadCpuNow();

  TimerStats timer[kTimerCount];
  double cpu[kTimerCount] = {};           // the open frame's CPU seconds per stage
  double lastFrameCpu[kTimerCount] = {};  // the last closed frame's
};

// Times one stage from its construction to the end of its scope.
class ScopedTimer {
 public:
  ScopedTimer(StageTimers& timers, StageTimer t)
      : timer_(timers.timer[t]), cpu_(timers.cpu[t]), cpuStart_(StageTimers::ThreadCpuNow()) {
    timer_.Start();
  }
  ~ScopedTimer() {
    timer_.Stop();
    cpu_ += StageTimers::ThreadCpuNow() - cpuStart_;
  }
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

 private:
  TimerStats& timer_;
  double& cpu_;
  double cpuStart_;
};
