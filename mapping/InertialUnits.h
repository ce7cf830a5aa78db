#pragma once
// How many units of a map a metre spans, as the inertial readings measure
// it. A map the marker sheet did not anchor takes its unit from the start's
// guess (the scene at the initial depth) while the readings move in metres:
// compared as they stand, the readings' terms pull every frame and key frame
// toward the metre, and the map grew by a few percent while it was built.
// The tracker hands in, frame by frame, how far the frames' tracked motion
// and the readings' motion depart from uniform motion; their regression,
// with older frames fading, is the unit. Not in the map file: a loaded map
// measures it again.
#include <mutex>

#include "la/Types.h"

class InertialUnits {
 public:
  // Each frame's evidence (InertialUnitEvidence): the sum of the readings'
  // departure times the frames' (metre x map unit) and of the readings'
  // squared (square metres). Older evidence weighs kFade per frame.
  void Add(f64 xy, f64 xx);
  // Map units per metre: 1 until the evidence reaches kEnoughEvidence, then
  // the last estimate within (kLowest, kHighest).
  f64 PerMetre() const;
  // Back to 1 with no evidence (a new or loaded map).
  void Reset();

  static constexpr f64 kFade = 0.9;
  // About a second of a hand-held walk's sway; a camera that only turns
  // never reaches it and keeps the unit it has.
  static constexpr f64 kEnoughEvidence = 0.01;
  static constexpr f64 kLowest = 0.01;
  static constexpr f64 kHighest = 100.0;

 private:
  mutable std::mutex mutex_;
  f64 xy_ = 0.0;
  f64 xx_ = 0.0;
  f64 perMetre_ = 1.0;
};
