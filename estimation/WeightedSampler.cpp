#include "estimation/WeightedSampler.h"

#include <algorithm>

#include "la/Random.h"

u32 WeightedSampler(const std::vector<float>& cumulative) {
  const u32 S = static_cast<u32>(cumulative.size());
  const float u = static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
  if (S < 2) return 0;
  const auto first = cumulative.begin() + 1;
  const auto it = std::upper_bound(first, cumulative.end(), u);
  const u32 j = static_cast<u32>(it - cumulative.begin()) - 1;
  return std::min(j, S - 2);
}

namespace {

// Bins are addressed by u16 draws.
constexpr u32 kMaxBins = 65535;
// A weighted table whose usable mass is below the float resolution of u could
// make the draw spin; after this many redraws the sample is abandoned.
constexpr u32 kMaxRedraws = 1000000;
// Minimal samples hold at most eight items; the draw keeps them on the stack.
constexpr u32 kMaxSample = 16;

bool IsUsable(const std::vector<std::vector<u16>>& bins, const std::vector<float>* cumulative,
              u32 j) {
  if (j >= bins.size() || bins[j].empty()) return false;
  if (!cumulative) return true;
  if (j + 1 >= cumulative->size()) return false;
  return (*cumulative)[j + 1] - (*cumulative)[j] > 0.0f;
}

}  // namespace

u32 CountUsableBins(const std::vector<std::vector<u16>>& bins,
                    const std::vector<float>* cumulative) {
  u32 usable = 0;
  const u32 B = std::min<u32>(static_cast<u32>(bins.size()), kMaxBins);
  for (u32 j = 0; j < B; ++j) usable += IsUsable(bins, cumulative, j);
  return usable;
}

bool DrawBinSample(const std::vector<std::vector<u16>>& bins, const std::vector<float>* cumulative,
                   u32 count, u32* chosen, u16* members) {
  if (count == 0) return true;
  if (count > kMaxSample) return false;
  if (CountUsableBins(bins, cumulative) < count) return false;
  const u32 B = std::min<u32>(static_cast<u32>(bins.size()), kMaxBins);
  u32 drawn[kMaxSample];
  u16 picked[kMaxSample];
  u32 redraws = 0;
  for (u32 k = 0; k < count; ++k) {
    u32 b;
    for (;;) {
      b = cumulative ? WeightedSampler(*cumulative) : Random::Index(B);
      if (IsUsable(bins, cumulative, b) && std::find(drawn, drawn + k, b) == drawn + k) break;
      if (++redraws == kMaxRedraws) return false;
    }
    drawn[k] = b;
    const std::vector<u16>& bin = bins[b];
    picked[k] = bin[Random::Index(static_cast<u32>(bin.size()))];
  }
  std::copy(drawn, drawn + count, chosen);
  std::copy(picked, picked + count, members);
  return true;
}
