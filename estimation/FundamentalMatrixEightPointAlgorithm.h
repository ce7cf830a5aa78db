#pragma once
// Linear fundamental-matrix fits on normalised matches with F33 = 1: the
// eight-point system solved exactly (sgesv) or N matches in the least-squares
// sense (sgels), each followed by rank-2 enforcement (the smallest singular
// value dropped). One solver per estimator; its buffers only grow.
#include "estimation/MatchSet2D.h"
#include "estimation/TwoViewGeometry.h"
#include "la/AlignedArray.h"

class FundamentalMatrixEightPointAlgorithm {
 public:
  FundamentalMatrixEightPointAlgorithm();

  // Eight-point system on a normalised sample. False when sgesv or the SVD
  // fails. workspace: grown to at least 11 four-float vectors.
  bool RunMinimalSample(const EightMatches2D& sample, FundamentalMatrix& F,
                        AlignedArray<LA::AlignedVector4f>& workspace);
  // Least squares over a normalised set of at least eight matches. False when
  // the set is too small or sgels or the SVD fails.
  bool RunNonMinimalData(const MatchSet2D& matches, FundamentalMatrix& F,
                         AlignedArray<LA::AlignedVector4f>& workspace);
  // F := the nearest rank-2 matrix (F33 not rescaled). workspace: 11 vectors.
  static bool EnforceRankTwo(FundamentalMatrix& F, LA::AlignedVector4f* workspace);

 private:
  void ResizeColumns(u32 n);

  alignas(16) float minimal_[8 * 8];  // column-major
  u32 rows_ = 0;
  u32 paddedRows_ = 0;
  AlignedArray<float> columns_;  // eight columns of paddedRows_ floats
  AlignedArray<float> rhs_;
  alignas(16) float minusOnes_[4] = {-1.0f, -1.0f, -1.0f, -1.0f};
};
