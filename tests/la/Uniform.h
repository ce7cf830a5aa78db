#pragma once
// Uniform floats in [lo, hi] from the project's generator, for random inputs.
#include "la/Random.h"

inline float Uniform(float lo, float hi) {
  return lo + (hi - lo) * static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}
