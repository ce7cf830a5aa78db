#include "features/KltFeatures.h"

#include <cvd/fast_corner.h>
#include <immintrin.h>

#include <algorithm>
#include <cstdio>

#include "features/FastFeatureGrid.h"
#include "features/PatchWarp.h"
#include "features/SpreadingGrid.h"

void DetectKltLevel(const CVD::BasicImage<CVD::byte>& img, const FeatureGrid& grid, int barrier,
                    const std::vector<MapMatch>& matches, OccupancyMask& mask, u32 N,
                    KltScratch& scratch, AlignedArray<LA::Vector2<float>>& out, KltCounts& counts) {
  scratch.corners.clear();
  for (const CornerXY& c : grid.corners) scratch.corners.emplace_back(c.x, c.y);
  scratch.maxima.clear();
  CVD::fast_nonmax(img, scratch.corners, barrier, scratch.maxima);
  scratch.scored.clear();
  for (const CVD::ImageRef& c : scratch.maxima) {
    const u32 corner[2] = {static_cast<u32>(c.x), static_cast<u32>(c.y)};
    const float score = ComputeCornerScore(img, corner);
    if (score > kKltScoreThreshold)
      scratch.scored.push_back({static_cast<u16>(c.x), static_cast<u16>(c.y), score});
  }
  const u32 scored = static_cast<u32>(scratch.scored.size());
  // Stable, so equal scores keep the detector's order and runs repeat.
  std::stable_sort(scratch.scored.begin(), scratch.scored.end(),
                   [](const ScoredCorner& a, const ScoredCorner& b) { return a.score > b.score; });
  const u32 before = out.Size();
  SpreadCorners(img.size(), matches, mask, scratch.scored, out, N);
  counts.fast += static_cast<u32>(scratch.corners.size());
  counts.maxima += static_cast<u32>(scratch.maxima.size());
  counts.scored += scored;
  counts.kept += out.Size() - before;
}

KltCounts DetectKltFeatures(const CVD::Image<CVD::byte> levels[kPyramidLevels],
                            const FeatureGrid grids[kPyramidLevels],
                            const std::vector<MapMatch> matches[kPyramidLevels],
                            OccupancyMask masks[kPyramidLevels],
                            const Intrinsic intrinsics[kPyramidLevels], KltScratch& scratch,
                            AlignedArray<LA::Vector2<float>> out[kPyramidLevels],
                            AlignedArray<LA::Vector2<float>> normalised[kPyramidLevels]) {
  KltCounts counts;
  for (int level = 0; level < kPyramidLevels; ++level) {
    DetectKltLevel(levels[level], grids[level], kFastThresholds[level], matches[level],
                   masks[level], kKltFeaturesPerLevel[level], scratch, out[level], counts);
    NormalizeFeaturePoints(intrinsics[level], out[level], normalised[level]);
  }
  return counts;
}

void SpreadCorners(const CVD::ImageRef& size, const std::vector<MapMatch>& matches,
                   OccupancyMask& mask, std::vector<ScoredCorner>& corners,
                   AlignedArray<LA::Vector2<float>>& out, u32 N) {
  if (corners.size() < N) {
    out.Resize(static_cast<u32>(corners.size()));
    for (size_t i = 0; i < corners.size(); ++i)
      out[static_cast<u32>(i)] = {static_cast<float>(corners[i].x),
                                  static_cast<float>(corners[i].y)};
    return;
  }
  RunSpreadSchedule(size, N, [&](auto radius) {
    SpreadSelectCorners<decltype(radius)::value>(size, matches, mask, corners, out, N);
    return out.Size();
  });
}

void NormalizeFeaturePoints(const Intrinsic& intrinsic,
                            const AlignedArray<LA::Vector2<float>>& points,
                            AlignedArray<LA::Vector2<float>>& normalised) {
  const u32 n = points.Size();
  normalised.Resize(n);
  if (n == 0) return;  // an empty array may have no buffer
  const __m128 centre = _mm_load_ps(intrinsic.cxcy), scale = _mm_load_ps(intrinsic.ifxfy);
  const float* in = &points.Data()->x;
  float* o = &normalised.Data()->x;
  u32 i = 0;
  for (; i + 2 <= n; i += 2)  // two points per vector
    _mm_storeu_ps(o + 2 * i, _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(in + 2 * i), centre), scale));
  if (i < n) {
    o[2 * i] = (in[2 * i] - intrinsic.cxcy[0]) * intrinsic.ifxfy[0];
    o[2 * i + 1] = (in[2 * i + 1] - intrinsic.cxcy[1]) * intrinsic.ifxfy[1];
  }
}

int FormatKltCounts(char* text, size_t size, int frame, const KltCounts& counts) {
  return std::snprintf(text, size, "[%d] KLT Features = %d - %d - %d - %d = %d\n", frame,
                       static_cast<int>(counts.fast), static_cast<int>(counts.fast - counts.maxima),
                       static_cast<int>(counts.maxima - counts.scored),
                       static_cast<int>(counts.scored - counts.kept),
                       static_cast<int>(counts.kept));
}
