// Elimination of the points from the damped normal equations (Schur
// complement onto the cameras) and the back-substitution of the point steps.
// Y = W V^-1 is formed once per camera-point block and reused for the
// camera's own block, its consecutive block and every camera-pair block; the
// fill-in walks each point's list of cameras, so only shared points cost.
#include <cstring>

#include "optimization/IBASimd.h"
#include "optimization/IBASolver.h"

using namespace IBASimd;

namespace {

inline void SubtractLane(float* y, __m128 v) {
  _mm_store_ps(y, _mm_sub_ps(_mm_load_ps(y), v));
}

// Target (four 3x3: PP, PR, RP, RR at rows 0, 3, 6, 9) -= Y W^T.
inline void SubtractFillIn(const IBACameraPointBlock& Y, const IBACameraPointBlock& W,
                           float (*target)[4]) {
  SubtractABT(Y.m, W.m, target);
  SubtractABT(Y.m, W.m + 3, target + 3);
  SubtractABT(Y.m + 3, W.m, target + 6);
  SubtractABT(Y.m + 3, W.m + 3, target + 9);
}

}  // namespace

void IBASolver::InvertPointBlocks() {
  for (u32 p = 0; p < variablePoints_; ++p) {
    LA::InvertSymmetric3x3(pointBlocks[p], pointInverses_[p]);
    for (int i = 0; i < 3; ++i) pointInverses_[p][i][3] = 0.0f;
  }
}

void IBASolver::ComputeSchurComplement() {
  namespace CR = IBACameraRow;
  pairBlocks.Resize(static_cast<u32>(pairs.size()));
  if (pairBlocks.Size() > 0)
    std::memset(pairBlocks.Data(), 0, sizeof(IBACameraPairBlock) * pairBlocks.Size());
  InvertPointBlocks();

  u32 pair = 0;
  for (u32 i = 0; i < variableCameras_; ++i) {
    float(*A)[4] = cameraBlocks[i].m;
    float* b = cameraRHS[i].v;
    const u32 begin = cameraBlockStart[i], end = cameraBlockStart[i + 1];
    for (u32 k = begin; k < end; ++k) {
      const u32 p = blockPoints[k];
      const IBACameraPointBlock& W = cameraPointBlocks[k];
      IBACameraPointBlock& Y = Y_[k];
      const float(*Vinv)[4] = pointInverses_[p].m;
      for (int r = 0; r < 6; ++r) _mm_store_ps(Y.m[r], MulRows3T(Vinv, _mm_load_ps(W.m[r])));
      SubtractABT(Y.m, W.m, A + CR::kPP);
      SubtractABT(Y.m, W.m + 3, A + CR::kPR);
      SubtractABT(Y.m + 3, W.m + 3, A + CR::kRR);
      const __m128 bp = _mm_load_ps(pointRHS[p].v);
      SubtractLane(b, MulRows3(Y.m, bp));
      SubtractLane(b + 8, MulRows3(Y.m + 3, bp));
    }
    // Fill-in with every later camera j sharing a point: the consecutive
    // block for j = i + 1, the pair block of (i, j) otherwise.
    for (; pair < pairs.size() && pairs[pair].first == i; ++pair)
      pairSlots_[pairs[pair].second] = pair;
    for (u32 k = begin; k < end; ++k) {
      const u32 p = blockPoints[k];
      for (u32 e = pointBlockStart_[p]; e < pointBlockStart_[p + 1]; ++e) {
        const u32 other = pointBlockList_[e], j = blockCameras_[other];
        if (j <= i) continue;
        float(*target)[4] = j == i + 1 ? consecutiveBlocks[i].m : pairBlocks[pairSlots_[j]].m;
        SubtractFillIn(Y_[k], cameraPointBlocks[other], target);
      }
    }
  }
}

void IBASolver::BackSubstitutePoints() {
  for (u32 p = 0; p < variablePoints_; ++p) pointWork_[p] = pointRHS[p];
  for (u32 i = 0; i < variableCameras_; ++i) {
    const __m128 xp = _mm_load_ps(cameraStep[i].v), xr = _mm_load_ps(cameraStep[i].v + 8);
    for (u32 k = cameraBlockStart[i]; k < cameraBlockStart[i + 1]; ++k) {
      const IBACameraPointBlock& W = cameraPointBlocks[k];
      SubtractLane(pointWork_[blockPoints[k]].v,
                   _mm_add_ps(MulRows3T(W.m, xp), MulRows3T(W.m + 3, xr)));
    }
  }
  for (u32 p = 0; p < variablePoints_; ++p) {
    _mm_store_ps(pointStep[p].v, MulRows3(pointInverses_[p].m, _mm_load_ps(pointWork_[p].v)));
  }
}
