#pragma once
// Linear homography fits on normalised matches with h33 = 1: the 8 x 8
// normal equations of the two rows per match, solved by LDL^T. Four matches
// give the exact homography, N the least-squares one.
#include "estimation/MatchSet2D.h"
#include "estimation/TwoViewGeometry.h"
#include "la/AlignedArray.h"

class HomographySolver {
 public:
  // Four-point fit of a normalised sample. False when the system is singular.
  bool RunMinimalSample(const FourMatches2D& sample, Homography& H,
                        AlignedArray<LA::AlignedVector4f>& workspace);
  // N-point fit of a normalised set (at least four matches).
  bool RunNonMinimalData(const MatchSet2D& matches, Homography& H,
                         AlignedArray<LA::AlignedVector4f>& workspace);

 private:
  // A and b from the sums over the matches (see the .cpp).
  void Assemble(const float* sums);
  bool Solve(float count, Homography& H);

  LA::AlignedMatrix8f A_;
  LA::AlignedVector8f b_;
};
