#pragma once
// Selection among the 2D-2D matches of a frame: the candidate corners that
// are still free and lie near an epipolar line, the squares that the matches
// already made occupy, and the thinning that keeps one match per square.
// R is the square's radius in level pixels (12, 10, 8 and 6 on levels 0 to 3).
#include <cvd/image_ref.h>

#include <vector>

#include "features/FeatureRecords.h"

// Keeps, in order and in place, the candidate corner indices whose corner is
// free in the mask and, when `line` is given (a, b, c with a^2 + b^2 = 1),
// lies strictly closer than `bound` to it. Corners outside the mask are
// dropped. Without a line only the mask is applied.
void FilterEpipolarCandidates(const OccupancyMask& mask, const float* line,
                              const FeatureGrid& corners, std::vector<u32>& candidates,
                              const float& bound);

// Sizes the mask to the level, clears it and sets to 255 the square of radius
// R round every match (positions truncated), clipped to the mask.
template <int R>
void MarkImageMatches(const CVD::ImageRef& size, const std::vector<MapMatch>& matches,
                      OccupancyMask& mask);

// Walks the matches in order and drops every one whose position falls in the
// square of a match kept before it; the kept ones stay in order. A match
// outside the level is kept and marks nothing.
template <int R>
void SelectMaximalMatches(const CVD::ImageRef& size, std::vector<MapMatch>& matches,
                          OccupancyMask& mask);

// The square radius of a pyramid level: 12, 10, 8, 6.
constexpr int ImageMatchRadius(int level) {
  return 12 - 2 * level;
}

// The two passes at a level's radius.
void MarkImageMatchesAtLevel(int level, const CVD::ImageRef& size,
                             const std::vector<MapMatch>& matches, OccupancyMask& mask);
void SelectMaximalMatchesAtLevel(int level, const CVD::ImageRef& size,
                                 std::vector<MapMatch>& matches, OccupancyMask& mask);
