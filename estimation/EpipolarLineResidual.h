#pragma once
// The one-sided epipolar residual that the essential and fundamental
// refinements minimise: the signed distance r = e / |l| of a match's second
// point from the epipolar line l = F x1 of its first, e = x2^T F x1. Written
// once, scalar with its gradient and four-wide over the blocks of a match
// set, in the operation order both refinements have always used.
#include <cmath>

#include "estimation/MatchSet2D.h"
#include "la/LinearAlgebra.h"

// l0, l1 of the epipolar line and e = x2^T F x1 of one match.
struct EpipolarLine {
  f32 l0, l1, e;
};

inline EpipolarLine ComputeEpipolarLine(const LA::AlignedMatrix3f& F, f32 x1, f32 y1, f32 x2,
                                        f32 y2) {
  const f32 l0 = (F.m[0][0] * x1 + F.m[0][1] * y1) + F.m[0][2];
  const f32 l1 = (F.m[1][0] * x1 + F.m[1][1] * y1) + F.m[1][2];
  const f32 e = ((x2 * l0 + y2 * l1) + (F.m[2][0] * x1 + F.m[2][1] * y1)) + F.m[2][2];
  return {l0, l1, e};
}

// r of one match; g (9 floats) receives dr / dF_ij, row-major.
inline f32 ComputeEpipolarLineResidual(const LA::AlignedMatrix3f& F, f32 x1, f32 y1, f32 x2, f32 y2,
                                       f32* g) {
  const EpipolarLine l = ComputeEpipolarLine(F, x1, y1, x2, y2);
  const f32 n2 = l.l0 * l.l0 + l.l1 * l.l1;
  const f32 in = 1.0f / std::sqrt(n2);
  const f32 en2 = l.e / n2;
  const f32 g0 = (x2 - l.l0 * en2) * in, g1 = (y2 - l.l1 * en2) * in;
  g[0] = g0 * x1;
  g[1] = g0 * y1;
  g[2] = g0;
  g[3] = g1 * x1;
  g[4] = g1 * y1;
  g[5] = g1;
  g[6] = x1 * in;
  g[7] = y1 * in;
  g[8] = in;
  return l.e * in;
}

// sums[0..4) = lane sums of e^2 / |l|^2 over the complete blocks of `matches`;
// the tail is the caller's.
void SumEpipolarLineErrors4(const LA::AlignedMatrix3f& F, const MatchSet2D& matches, f32* sums);
