#pragma once
// The essential matrix of two views and its decomposition into a relative
// pose. E maps a point p = (x1, y1, 1) of the first image (normalised camera
// coordinates) to its epipolar line E p in the second; a match satisfies
// q^T E p = 0 with q = (x2, y2, 1). For X2 = R X1 + t, E = [t]x R.
#include "estimation/RigidTransformation3D.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

class MatchSet2D;

// 3 rows of 4 floats; the fourth float of each row is never read.
struct alignas(16) EssentialMatrix : public LA::AlignedMatrix3f {
  // Forces E onto the essential matrices: singular values (1, 1, 0). scratch
  // holds at least 11 four-float vectors. False when the SVD fails (E then
  // holds LAPACK's overwritten input).
  static bool ProjectToEssentialSpace(EssentialMatrix& E, float* scratch);

  // Decomposes E into [R | t] (|t| = 1), choosing among the four candidates
  // the one that puts at least round(N ratio) matches in front of both
  // cameras with one translation sign strictly ahead of the other. scratch
  // holds at least 38 four-float vectors. False when no candidate qualifies
  // (pose then holds the second rotation with +t) or the SVD fails (pose
  // untouched).
  static bool ToRelativePose(const EssentialMatrix& E, const MatchSet2D& matches,
                             RigidTransformation3D& pose, const float& minInFrontRatio,
                             float* scratch);

  // Triangulates one match under E and the candidate pose: out = (d x1, d y1,
  // d, 1), d the depth along the first ray.
  static void TriangulatePoint(const EssentialMatrix& E, const RigidTransformation3D& pose,
                               const float* p, const float* q, float* out);

  // Counts the matches in front of both cameras under pose and those behind
  // both (in front under the opposite translation sign). scratch: 16 vectors.
  static void CountPointsInFront(const EssentialMatrix& E, const RigidTransformation3D& pose,
                                 const MatchSet2D& matches, u16& inFront, u16& behind,
                                 float* scratch);
};
