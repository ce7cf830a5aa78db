#pragma once
// The engine's only source of randomness. Each thread has its own state, so a
// tracker reseeding every frame never disturbs a worker thread's sampling and
// runs repeat exactly. A thread that never seeds starts from seed 1.
#include "la/Types.h"

namespace Random {

// Largest value Next() returns (31 bits).
constexpr u32 kMax = 0x7fffffff;

// Restarts this thread's sequence.
void Seed(u32 seed);
// Next value in [0, kMax] of this thread's sequence.
u32 Next();
// Uniform index in [0, count) (Next() modulo count); 0 for count 0 instead of
// a division by zero.
inline u32 Index(u32 count) {
  return count == 0 ? 0 : Next() % count;
}

}  // namespace Random
