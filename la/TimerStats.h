#pragma once
// Running per-stage timing over a window of slots: the frame rate and stage
// times the tracker logs and the viewers display. Durations come from a
// monotonic clock, so a measurement across midnight stays positive.
#include <vector>

struct TimerStats {
  // Empty window, then Reset(1).
  TimerStats();
  // filling := 1, index := 0, start := 0, mean := 0, window := windowSize
  // zeros; a window below 1 becomes 1.
  void Reset(int windowSize);
  // start := now (seconds of a monotonic clock).
  void Start();
  // Adds now - start to the current slot; pairs may add into one slot.
  void Stop();
  // Closes the current slot: mean over the completed slots (all slots once
  // the window has wrapped), then moves to the next slot and clears it.
  void Advance();
  // 1 / mean, 0 while the mean is 0.
  double Rate() const { return mean > 0.0 ? 1.0 / mean : 0.0; }
  // Seconds of the monotonic clock.
  static double Now();

  int filling = 1;
  int index = 0;
  double start = 0.0;
  double mean = 0.0;
  std::vector<double> window;
};
