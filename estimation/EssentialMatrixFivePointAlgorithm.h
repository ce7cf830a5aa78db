#pragma once
// Five-point solver of the essential matrix: the candidate essential matrices
// of two views from five matches (minimal) or N matches (least squares), in
// normalised camera coordinates. The epipolar constraints leave a
// four-dimensional null space E = x X + y Y + z Z + W; the cubic constraints
// det(E) = 0 and E E^T E - 1/2 trace(E E^T) E = 0 are reduced by Gauss-Jordan
// elimination, and the eigenvectors of the action matrix of x give (x, y, z).
//
// Calling order: ComputeNullSpaceMinimal (or ComputeNullSpaceNonMinimal),
// ConstructConstraintMatrix, EliminateConstraintMatrix, ConstructActionMatrix,
// ComputeSolutions; a false result ends the chain. scratch grows, never shrinks.
#include "estimation/EssentialMatrix.h"
#include "estimation/MatchSet2D.h"
#include "la/AlignedArray.h"

class EssentialMatrixFivePointAlgorithm {
 public:
  EssentialMatrixFivePointAlgorithm();
  EssentialMatrixFivePointAlgorithm(const EssentialMatrixFivePointAlgorithm&) = delete;
  EssentialMatrixFivePointAlgorithm& operator=(const EssentialMatrixFivePointAlgorithm&) = delete;

  // Null space of the five epipolar constraints of the sample.
  bool ComputeNullSpaceMinimal(const FiveMatches2D& sample, AlignedArray<float>& scratch);
  // Least-squares null space (four smallest right singular vectors) of the
  // constraints of all matches.
  bool ComputeNullSpaceNonMinimal(const MatchSet2D& matches, AlignedArray<float>& scratch);
  // Lays out the nine constraint columns for n rows (grown only when needed).
  void ResizeConstraintColumns(u32 n);
  // The ten cubic constraints on (x, y, z) from the null-space basis.
  void ConstructConstraintMatrix(AlignedArray<float>& scratch);
  // Reorders the constraint columns (cubic monomials first) and eliminates.
  // False on an exactly zero pivot.
  bool EliminateConstraintMatrix(AlignedArray<float>& scratch);
  // The 10 x 10 action matrix of multiplication by x.
  void ConstructActionMatrix();
  // One essential matrix per real eigenvalue of the action matrix, appended
  // to models (which the caller has emptied). False when sgeev fails.
  bool ComputeSolutions(AlignedArray<EssentialMatrix>& models, AlignedArray<float>& scratch);

  // The null-space basis: entry j of E is basis[j] . (x, y, z, 1).
  const float* Basis(int j) const { return basis_[j]; }

 private:
  // Runs sgesvd (JOBU 'N', JOBVT 'A') on an M x 9 column-major matrix and
  // reads the basis out of the null-space table.
  bool DecomposeConstraints(float* a, int m, int lda, float* work, int lwork);
  void CopyBasis();
  // Refines (x, y, z) of one root on the cubic constraints.
  void PolishRoot(float* xyz1) const;

  // 5 x 9, column-major with leading dimension 8.
  alignas(16) float minimalConstraints_[9 * 8];
  // Non-minimal constraints: nine columns of nonMinimalPadded_ floats.
  u32 nonMinimalRows_ = 0;
  u32 nonMinimalPadded_ = 0;
  AlignedArray<float> nonMinimalColumns_;
  AlignedArray<float> singularValues_;
  float eigenReal_[10];
  float eigenImaginary_[10];
  // Row j, floats 3..11: element j of the right singular vectors 0..8.
  alignas(16) float nullSpace_[9][12];
  alignas(16) float basis_[9][4];
  // Cofactors C31, C32, C33, then S11, S12, S13, S22, S23, S33.
  alignas(16) float quadratics_[9][12];
  alignas(16) float constraints_[10][20];
  alignas(16) float reordered_[10][20];
  alignas(16) float action_[10][12];
  alignas(16) float eigenvectors_[10][12];
};
