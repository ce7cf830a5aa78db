// Elimination of the points from the damped normal equations (Schur
// complement onto the cameras) and the back-substitution of the point steps.
// The points are eliminated one by one: Y = W V^-1 of each of the point's
// camera-point blocks is formed once and serves the camera's own block and
// right-hand side and the fill-in of every later camera that sees the point
// (its consecutive block or its camera-pair block). The blocks of a point
// are contiguous, so the walk reads memory in order.
#include "optimization/IBASchur.h"

#include <algorithm>
#include <cstring>

#include "optimization/IBASimd.h"

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

void IBASchurComplement::InvertPointBlocks(const AlignedArray<LA::AlignedMatrix3f>& pointBlocks) {
  for (u32 p = 0; p < pointInverses_.Size(); ++p) {
    LA::InvertSymmetric3x3(pointBlocks[p], pointInverses_[p]);
    for (int i = 0; i < 3; ++i) pointInverses_[p][i][3] = 0.0f;
  }
}

u32 IBASchurComplement::FindPair(const Structure& s, u32 i, u32 j) {
  const IBACameraPair* first = s.pairs.data() + s.pairStart[i];
  const IBACameraPair* last = s.pairs.data() + s.pairStart[i + 1];
  return static_cast<u32>(
      std::lower_bound(first, last, j,
                       [](const IBACameraPair& pair, u32 v) { return pair.second < v; }) -
      s.pairs.data());
}

void IBASchurComplement::Reduce(const Structure& s,
                                const AlignedArray<LA::AlignedMatrix3f>& pointBlocks,
                                const AlignedArray<LA::AlignedVector4f>& pointRHS,
                                AlignedArray<LA::CameraBlock15>& cameraBlocks,
                                AlignedArray<IBAConsecutiveBlock>& consecutiveBlocks,
                                AlignedArray<IBACameraPairBlock>& pairBlocks,
                                AlignedArray<LA::CameraVector15>& cameraRHS) {
  using CR = LA::CameraBlock15;
  const std::vector<u32>& pointBlockStart = s.pointBlockStart;
  const std::vector<u32>& blockCameras = s.blockCameras;
  const AlignedArray<IBACameraPointBlock>& cameraPointBlocks = s.cameraPointBlocks;
  pairBlocks.Resize(static_cast<u32>(s.pairs.size()));
  if (pairBlocks.Size() > 0)
    std::memset(pairBlocks.Data(), 0, sizeof(IBACameraPairBlock) * pairBlocks.Size());
  InvertPointBlocks(pointBlocks);

  for (u32 p = 0; p < pointInverses_.Size(); ++p) {
    const u32 begin = pointBlockStart[p], end = pointBlockStart[p + 1];
    if (begin == end) continue;
    if (Y_.Size() < end - begin) Y_.Resize(end - begin);
    const float(*Vinv)[4] = pointInverses_[p].m;
    const __m128 bp = _mm_load_ps(pointRHS[p].v);
    for (u32 k = begin; k < end; ++k) {
      const IBACameraPointBlock& W = cameraPointBlocks[k];
      IBACameraPointBlock& Y = Y_[k - begin];
      for (int r = 0; r < 6; ++r) _mm_store_ps(Y.m[r], MulRows3T(Vinv, _mm_load_ps(W.m[r])));
      float(*A)[4] = cameraBlocks[blockCameras[k]].m;
      float* b = cameraRHS[blockCameras[k]].v;
      SubtractABT(Y.m, W.m, A + CR::kPP);
      SubtractABT(Y.m, W.m + 3, A + CR::kPR);
      SubtractABT(Y.m + 3, W.m + 3, A + CR::kRR);
      SubtractLane(b, MulRows3(Y.m, bp));
      SubtractLane(b + 8, MulRows3(Y.m + 3, bp));
    }
    // Fill-in of every later camera j sharing the point: the consecutive
    // block for j = i + 1, the pair block of (i, j) otherwise.
    for (u32 a = begin; a < end; ++a) {
      const u32 i = blockCameras[a];
      for (u32 k = a + 1; k < end; ++k) {
        const u32 j = blockCameras[k];
        float(*target)[4] = j == i + 1 ? consecutiveBlocks[i].m : pairBlocks[FindPair(s, i, j)].m;
        SubtractFillIn(Y_[a - begin], cameraPointBlocks[k], target);
      }
    }
  }
}

void IBASchurComplement::BackSubstitute(const Structure& s,
                                        const AlignedArray<LA::AlignedVector4f>& pointRHS,
                                        const AlignedArray<LA::CameraVector15>& cameraStep,
                                        AlignedArray<LA::AlignedVector4f>& pointStep) const {
  const std::vector<u32>& pointBlockStart = s.pointBlockStart;
  const std::vector<u32>& blockCameras = s.blockCameras;
  const AlignedArray<IBACameraPointBlock>& cameraPointBlocks = s.cameraPointBlocks;
  for (u32 p = 0; p < pointInverses_.Size(); ++p) {
    __m128 work = _mm_load_ps(pointRHS[p].v);
    for (u32 k = pointBlockStart[p]; k < pointBlockStart[p + 1]; ++k) {
      const IBACameraPointBlock& W = cameraPointBlocks[k];
      const float* x = cameraStep[blockCameras[k]].v;
      work = _mm_sub_ps(
          work, _mm_add_ps(MulRows3T(W.m, _mm_load_ps(x)), MulRows3T(W.m + 3, _mm_load_ps(x + 8))));
    }
    _mm_store_ps(pointStep[p].v, MulRows3(pointInverses_[p].m, work));
  }
}
