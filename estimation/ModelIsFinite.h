#pragma once
// Whether an estimated model holds only finite numbers, for each model type
// of the estimators. A model that is not finite is never written back to a
// caller and never counts as a success. Only the entries a model uses are
// read: the fourth float of a 3x3 matrix's rows is padding.
#include <cmath>

#include "estimation/Camera.h"
#include "estimation/EssentialMatrix.h"
#include "estimation/PlaneEstimatorData.h"
#include "estimation/Point3DSolver.h"
#include "estimation/RigidTransformation3D.h"
#include "estimation/SimilarityTransformationSolver.h"
#include "estimation/TwoViewGeometry.h"

namespace model_finite {

// True when entries [0, cols) of the first `rows` rows of m are finite.
template <class Rows>
inline bool RowsFinite(const Rows& m, int rows, int cols) {
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      if (!std::isfinite(m[r][c])) return false;
  return true;
}

}  // namespace model_finite

// [R | t]: all twelve entries.
inline bool IsFiniteModel(const Camera& C) {
  return model_finite::RowsFinite(C.m, 3, 4);
}
inline bool IsFiniteModel(const RigidTransformation3D& T) {
  return model_finite::RowsFinite(T.m, 3, 4);
}
// The 3x3 two-view matrices.
inline bool IsFiniteModel(const EssentialMatrix& E) {
  return model_finite::RowsFinite(E.m, 3, 3);
}
inline bool IsFiniteModel(const FundamentalMatrix& F) {
  return model_finite::RowsFinite(F.m, 3, 3);
}
inline bool IsFiniteModel(const Homography& H) {
  return model_finite::RowsFinite(H.m, 3, 3);
}
// (n, d) and (X, Y, Z).
inline bool IsFiniteModel(const Plane& p) {
  return std::isfinite(p.v[0]) && std::isfinite(p.v[1]) && std::isfinite(p.v[2]) &&
         std::isfinite(p.v[3]);
}
inline bool IsFiniteModel(const Point3D& X) {
  return std::isfinite(X.v[0]) && std::isfinite(X.v[1]) && std::isfinite(X.v[2]);
}
// [R | t] rows and the scale s (row 3 repeats it).
inline bool IsFiniteModel(const SimilarityTransformation3D& T) {
  return model_finite::RowsFinite(T.m, 3, 4) && std::isfinite(T.m[3][0]);
}
