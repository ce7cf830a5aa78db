#pragma once
// Two-view models and the measures shared by the essential, fundamental and
// homography estimators: moving a homography or a fundamental matrix between
// pixel and normalised coordinates, and the symmetric epipolar error (sum of
// the squared distances of each point from its epipolar line).
#include "la/LinearAlgebra.h"
#include "la/Types.h"

// 3 rows of four floats; the fourth float of a row is never read.
struct alignas(16) Homography : public LA::AlignedMatrix3f {};
struct alignas(16) FundamentalMatrix : public LA::AlignedMatrix3f {};

// M := (h1 h2 h3 / h4 h5 h6 / h7 h8 1): the eight unknowns of a linear fit
// with the ninth entry fixed to 1.
inline void SetFromEightEntries(const f32* h, LA::AlignedMatrix3f& M) {
  for (int k = 0; k < 8; ++k) M.m[k / 3][k % 3] = h[k];
  M.m[2][2] = 1.0f;
}

// Signature of the two transfers below.
using TwoViewTransfer = void (*)(LA::AlignedMatrix3f&, const f32*, f32, f32, LA::AlignedVector4f*);

// H := B H A with A = [a 0 -a p; 0 a -a q; 0 0 1], B = [1/b 0 r; 0 1/b s; 0 0 1],
// (p, q, r, s) = means. With a set's means and (scale1, scale2) this turns a
// normalised homography into a pixel one; with (-scale1 mean x1, -scale1 mean
// y1, -scale2 mean x2, -scale2 mean y2) and (1/scale1, 1/scale2) the reverse.
// h33 is not rescaled. scratch: 3 four-float vectors.
void TransformHomography(LA::AlignedMatrix3f& H, const f32* means, f32 a, f32 b,
                         LA::AlignedVector4f* scratch);
// F := B^T F A with A as above and B = [b 0 -b r; 0 b -b s; 0 0 1]. scratch: 6
// four-float vectors.
void TransformFundamentalMatrix(LA::AlignedMatrix3f& F, const f32* means, f32 a, f32 b,
                                LA::AlignedVector4f* scratch);
// Symmetric epipolar error of the match (p1, p2) under F. scratch (6 floats)
// receives l0, l1, e, e^2, m0, m1.
f32 ComputeSymmetricEpipolarError(const LA::AlignedMatrix3f& F, const LA::Vector2<f32>& p1,
                                  const LA::Vector2<f32>& p2, f32* scratch);
// The same for the four matches of one block, element by element in the same
// operation order. Fb: the nine entries of F, row-major, each broadcast to a
// vector; x1..y2 and out: 16-byte-aligned four-float vectors; scratch: 6
// vectors receiving l0, l1, e, e^2, m0, m1.
void ComputeSymmetricEpipolarError4(const LA::AlignedVector4f* Fb, const f32* x1, const f32* y1,
                                    const f32* x2, const f32* y2, f32* out,
                                    LA::AlignedVector4f* scratch);
// Fb[3 i + j] = (F_ij, F_ij, F_ij, F_ij).
void BroadcastMatrix3(const LA::AlignedMatrix3f& F, LA::AlignedVector4f* Fb);
