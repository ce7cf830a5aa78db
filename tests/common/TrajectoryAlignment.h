#pragma once
// The error of an estimated trajectory against the truth after the
// similarity (rotation, translation, scale) that fits one to the other best
// in the least-squares sense (Horn's quaternion method): a monocular map is
// right only up to such a transformation. Out of line: the eigen solver costs
// seconds of compile time in every test that includes this.
#include <array>
#include <vector>

using Centre = std::array<double, 3>;

// truth ~ scale R estimate + t. The scale is Horn's symmetric one, the ratio
// of the two point sets' spreads about their centroids, so fitting the truth
// onto the estimate gives exactly 1 / scale: scale > 1 means the estimate is
// too small.
struct SimilarityFit {
  bool ok = false;  // false: fewer than three pairs, sizes differ or no spread
  double scale = 0.0;
  double R[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  double t[3] = {0, 0, 0};
  double rms = -1.0;  // root mean square distance after the fit
};

SimilarityFit FitSimilarity(const std::vector<Centre>& estimate, const std::vector<Centre>& truth);

// Root mean square distance between the aligned estimate and the truth, or
// -1 when fewer than three pairs are given.
double AlignedTrajectoryRms(const std::vector<Centre>& estimate, const std::vector<Centre>& truth);
