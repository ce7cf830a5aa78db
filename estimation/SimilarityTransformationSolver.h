#pragma once
// Closed-form 3-D similarity y = s (R x + t) from point pairs: centroids, the
// scale as the ratio of the spreads of targets and sources, the rotation as
// the closest proper rotation to the cross-covariance, and the translation
// that maps the source centroid onto the target centroid.
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

// Rows 0-2: [R | t]; row 3: (s, s, s, 1).
struct alignas(16) SimilarityTransformation3D : public LA::AlignedMatrix4f {};

// Four pairs of the estimator's data (it owns nothing).
template <int N>
struct MatchSet3DN {
  const LA::AlignedVector4f* sources[N];
  const LA::AlignedVector4f* targets[N];
};

// Source and target points (x, y, z, 1), same length.
class MatchSet3DX {
 public:
  u32 Size() const { return sources.Size(); }
  AlignedArray<LA::AlignedVector4f> sources;
  AlignedArray<LA::AlignedVector4f> targets;
};

class SimilarityTransformationSolver {
 public:
  SimilarityTransformationSolver();
  // From four pairs. False, model untouched, for a degenerate sample (no
  // spread, non-finite result) or a failed SVD.
  bool RunMinimalSample(const MatchSet3DN<4>& sample, SimilarityTransformation3D& model);
  // From all pairs of the two arrays (the shorter length counts; at least 3).
  bool RunNonMinimalData(const AlignedArray<LA::AlignedVector4f>& sources,
                         const AlignedArray<LA::AlignedVector4f>& targets,
                         SimilarityTransformation3D& model);
  // Rotation from the stored cross-covariance, then the translation from the
  // stored centroids and scale.
  bool ComputeRotation(SimilarityTransformation3D& model);

 private:
  template <class Source, class Target>
  bool Run(u32 n, Source source, Target target, SimilarityTransformation3D& model);

  LA::AlignedMatrix3f covariance_;
  LA::AlignedVector4f sourceCentroid_, targetCentroid_;
  LA::AlignedVector4f scale_;  // (s, s, s, 1)
};
