#include "estimation/FundamentalMatrixEstimatorData.h"

#include "estimation/EpipolarLineResidual.h"
#include "estimation/NormalEquation8.h"

f64 FundamentalMatrixEstimatorData::ComputeSSE(const FundamentalMatrix& F) {
  float s[4];
  SumEpipolarLineErrors4(F, *this, s);
  float g[9];
  for (u32 t = 0; t < tailCount; ++t) {
    const float r =
        ComputeEpipolarLineResidual(F, tail1[t].x, tail1[t].y, tail2[t].x, tail2[t].y, g);
    s[0] += r * r;
  }
  return static_cast<f64>(((s[0] + s[1]) + s[2]) + s[3]);
}

void FundamentalMatrixEstimatorData::BuildNormalEquation(const FundamentalMatrix& F,
                                                         LA::AlignedMatrix8f& A,
                                                         LA::AlignedVector8f& b) {
  normal8::Clear(A, b);
  // The gradient by F33 (J[8]) is computed but not used: F33 stays fixed.
  float J[9];
  float m[4];
  for (u32 i = 0; i < count; ++i) {
    ReadMatch(i, m);
    const float r = ComputeEpipolarLineResidual(F, m[0], m[1], m[2], m[3], J);
    normal8::Add(J, r, A, b);
  }
}
