#pragma once
// Small 3x3 image-map routines and the robust scale shared by the patch
// matching, the image alignment and the pose code.
#include "features/FeatureRecords.h"
#include "la/AlignedArray.h"
#include "la/Pose.h"

// inverse = m^-1 over the 3x3 parts by the adjugate; false, without dividing,
// when |det| < FLT_EPSILON. For projective maps; inverse may alias m.
bool Invert3x3(const WarpRecord& m, WarpRecord& inverse);

// Inverse of the affine map m (first two rows); false when det is exactly 0.
// Only the first two rows of inverse are written: the caller marks it affine.
bool Invert2x2(const WarpRecord& m, WarpRecord& inverse);

// product = a b over the 3x3 parts; the fourth floats of the rows are not
// written. product may alias a or b.
void MultiplyRotation3x3(const WarpRecord& a, const WarpRecord& b, WarpRecord& product);

// out = Ka^-T m Kb^-1 over the 3x3 parts, K = [[fx, 0, cx], [0, fy, cy], [0, 0, 1]]:
// the fundamental matrix between pixel positions for an essential matrix m.
// scratch holds 4 floats.
void ComputePatchWarp(const Intrinsic& ka, const WarpRecord& m, const Intrinsic& kb,
                      WarpRecord& out, float scratch[4]);

// Squared Tukey cut-off from squared residuals: (sqrt(median) (1 + 5 / (2n - 6))
// 6.9461293)^2. Reorders the array; returns 0 for fewer than four residuals
// (every weight is then 1).
float TukeyScaleSquared(AlignedArray<float>& squaredResiduals);

// Tukey biweights w_i = (1 - e_i / c^2)^2 for e_i <= c^2, else 0, with c^2
// the TukeyScaleSquared of the finite squared residuals e_i (copied into
// `copy`). A residual that is not finite gets weight 0 and stays out of the
// median. c^2 never falls below kMinTukeyScaleSquared: when at least half of
// the residuals vanish, those keep weight 1 and the others get 0 instead of a
// division by zero. weights is sized to the residuals.
constexpr float kMinTukeyScaleSquared = 1e-12f;  // a residual of 1e-6 in normalised units
void ComputeTukeyWeights(const AlignedArray<float>& squaredResiduals, AlignedArray<float>& weights,
                         AlignedArray<float>& copy);

// The pixel map K map K^-1 of a map between normalised coordinates, with the
// level's focal lengths and principal point; an affine map stays affine.
void MakePixelWarp(const Intrinsic& intrinsic, const WarpRecord& map, WarpRecord& out);

// The other way: K^-1 map K, a projective pixel map of the level expressed
// between normalised coordinates (all three rows written).
void ConjugateMapByIntrinsics(const Intrinsic& intrinsic, const WarpRecord& map, WarpRecord& out);

// In place: each (x, y) becomes ((x - cx) / fx, (y - cy) / fy).
void NormalizePointArray(const Intrinsic& intrinsic, AlignedArray<LA::Vector2<float>>& points);
