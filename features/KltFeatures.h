#pragma once
// KLT feature selection: per pyramid level, the FAST corners that survive
// non-maximum suppression and score above the corner-strength threshold,
// strongest first and spread away from each other and from the level's map
// matches.
#include <cvd/byte.h>
#include <cvd/image.h>

#include <cstddef>
#include <vector>

#include "features/FeatureRecords.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"

// Features kept per pyramid level.
constexpr u32 kKltFeaturesPerLevel[kPyramidLevels] = {100, 50, 50, 50};
// Corner scores must lie strictly above this.
constexpr float kKltScoreThreshold = 12800.0f;

// Counts of one selection, summed over levels: FAST corners, survivors of
// suppression, corners above the score threshold, features kept.
struct KltCounts {
  u32 fast = 0, maxima = 0, scored = 0, kept = 0;
};

// Working lists reused from frame to frame.
struct KltScratch {
  std::vector<CVD::ImageRef> corners, maxima;
  std::vector<ScoredCorner> scored;
};

// Selects a level's features into `out` (pixels); adds to counts.
void DetectKltLevel(const CVD::BasicImage<CVD::byte>& img, const FeatureGrid& grid, int barrier,
                    const std::vector<MapMatch>& matches, OccupancyMask& mask, u32 N,
                    KltScratch& scratch, AlignedArray<LA::Vector2<float>>& out, KltCounts& counts);

// All four levels with their thresholds and feature counts: out and
// normalised receive pixel and normalised positions per level.
KltCounts DetectKltFeatures(const CVD::Image<CVD::byte> levels[kPyramidLevels],
                            const FeatureGrid grids[kPyramidLevels],
                            const std::vector<MapMatch> matches[kPyramidLevels],
                            OccupancyMask masks[kPyramidLevels],
                            const Intrinsic intrinsics[kPyramidLevels], KltScratch& scratch,
                            AlignedArray<LA::Vector2<float>> out[kPyramidLevels],
                            AlignedArray<LA::Vector2<float>> normalised[kPyramidLevels]);

// Keeps all corners when fewer than N, else runs the spreading schedule;
// out receives the kept positions as floats.
void SpreadCorners(const CVD::ImageRef& size, const std::vector<MapMatch>& matches,
                   OccupancyMask& mask, std::vector<ScoredCorner>& corners,
                   AlignedArray<LA::Vector2<float>>& out, u32 N);

// normalised = ((x - cx) / fx, (y - cy) / fy) of every point.
void NormalizeFeaturePoints(const Intrinsic& intrinsic,
                            const AlignedArray<LA::Vector2<float>>& points,
                            AlignedArray<LA::Vector2<float>>& normalised);

// Writes "[frame] KLT Features = fast - suppressed - weak - crowded = kept\n";
// returns the snprintf result.
int FormatKltCounts(char* text, size_t size, int frame, const KltCounts& counts);
