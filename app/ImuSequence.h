#pragma once
// Inertial readings as files and hosts deliver them, one kind at a time
// (accelerometer or gyroscope, or neither), turned into the tracker's
// samples: in time order, each carrying both halves (the last value seen of
// the other), on a clock that starts at the earliest time seen, one sample
// per time. Samples start at the first gyroscope reading: rates never
// measured are not zero (an accelerometer alone, every rate taken as zero and
// weighed as measured, held a room walk's frames to no turn and it ended at
// 16-18 % of its path; without readings it ends at 0.4-1.2 %). Accelerations
// before the first accelerometer reading are zero (a gyroscope alone tracks
// nearly as well as both).
#include <vector>

#include "la/IMUSample.h"

struct ImuReading {
  f64 time;
  f64 value[3];  // accelerations already in m/s^2
  i32 type;      // 0 accelerometer, 1 gyroscope, other: neither
};

class ImuSequenceBuilder {
 public:
  // The last values seen start at zero again.
  void Reset();
  // Readings with a non-finite time or value are dropped; the rest are
  // sorted by time (equal times keep their order), absent halves filled from
  // the last values seen, origin lowered to the earliest time unless the
  // clock already runs (a frame was timed on it: an older reading then lies
  // before its start), every time taken relative to origin, and readings of
  // equal time merged (the later wins); none becomes a sample before a
  // gyroscope reading has been seen. readings is left sorted.
  void Build(std::vector<ImuReading>& readings, f64& origin, bool clockRunning,
             std::vector<IMUSample>& out);

 private:
  f64 lastAcceleration_[3] = {0, 0, 0};
  f64 lastRotationRate_[3] = {0, 0, 0};
  bool rotationRateSeen_ = false;
};
