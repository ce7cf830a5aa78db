#include "mapping/InertialUnits.h"

#include <cmath>

void InertialUnits::Add(f64 xy, f64 xx) {
  if (!std::isfinite(xy) || !std::isfinite(xx) || xx < 0.0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  xy_ = kFade * xy_ + xy;
  xx_ = kFade * xx_ + xx;
  if (!(xx_ >= kEnoughEvidence)) return;
  const f64 u = xy_ / xx_;
  if (u > kLowest && u < kHighest) perMetre_ = u;
}

f64 InertialUnits::PerMetre() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return perMetre_;
}

void InertialUnits::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  xy_ = xx_ = 0.0;
  perMetre_ = 1.0;
}
