#include "la/Random.h"

namespace Random {
namespace {

// PCG32: a 64-bit LCG whose output is permuted; Next() keeps its top 31 bits.
constexpr u64 kMultiplier = 6364136223846793005ULL;
constexpr u64 kIncrement = 1442695040888963407ULL;

constexpr u64 Advance(u64 s) {
  return s * kMultiplier + kIncrement;
}

constexpr u64 SeededState(u32 seed) {
  return Advance(Advance(0) + (0x853c49e6748fea9bULL ^ (u64(seed) * 0x9e3779b97f4a7c15ULL)));
}

thread_local u64 state = SeededState(1);

}  // namespace

void Seed(u32 seed) {
  state = SeededState(seed);
}

u32 Next() {
  const u64 old = state;
  state = Advance(old);
  const u32 xorshifted = static_cast<u32>(((old >> 18u) ^ old) >> 27u);
  const u32 rot = static_cast<u32>(old >> 59u);
  const u32 out = (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
  return out >> 1;
}

}  // namespace Random
