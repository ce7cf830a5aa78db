#include "app/ImuSequence.h"

#include <algorithm>
#include <cmath>

void ImuSequenceBuilder::Reset() {
  std::fill(lastAcceleration_, lastAcceleration_ + 3, 0.0);
  std::fill(lastRotationRate_, lastRotationRate_ + 3, 0.0);
  rotationRateSeen_ = false;
}

void ImuSequenceBuilder::Build(std::vector<ImuReading>& readings, f64& origin, bool clockRunning,
                               std::vector<IMUSample>& out) {
  // NaN would break the sort's ordering.
  readings.erase(std::remove_if(readings.begin(), readings.end(),
                                [](const ImuReading& r) {
                                  return !std::isfinite(r.time) || !std::isfinite(r.value[0]) ||
                                         !std::isfinite(r.value[1]) || !std::isfinite(r.value[2]);
                                }),
                 readings.end());
  // Stable, so that "the later reading wins" follows the delivered order.
  std::stable_sort(readings.begin(), readings.end(),
                   [](const ImuReading& a, const ImuReading& b) { return a.time < b.time; });
  if (!clockRunning) {
    for (const ImuReading& r : readings) origin = std::min(origin, r.time);
  }
  out.clear();
  for (const ImuReading& r : readings) {
    if (r.type == 0) std::copy(r.value, r.value + 3, lastAcceleration_);
    if (r.type == 1) {
      std::copy(r.value, r.value + 3, lastRotationRate_);
      rotationRateSeen_ = true;
    }
    if (!rotationRateSeen_) continue;
    IMUSample s;
    std::copy(lastAcceleration_, lastAcceleration_ + 3, s.acceleration);
    std::copy(lastRotationRate_, lastRotationRate_ + 3, s.rotationRate);
    s.time = r.time - origin;
    if (!out.empty() && out.back().time == s.time) {
      out.back() = s;
    } else {
      out.push_back(s);
    }
  }
}
