#include "tracker/WarpHypotheses.h"

#include <cfloat>
#include <cmath>

#include "features/ImageMapMath.h"
#include "features/WarpGeometry.h"
#include "la/Homography.h"

namespace {

// The fourth float of each row is padding, no part of the map: whatever it
// holds must not refuse a sound map.
bool IsFinite(const WarpRecord& m) {
  const int n = m.IsAffine() ? 7 : 11;
  for (int i = 0; i < n; ++i)
    if (i % 4 != 3 && !std::isfinite(m.m[i])) return false;
  return true;
}

// The inverse of a pixel map, affine or projective; false when singular.
bool InvertMap(const WarpRecord& m, WarpRecord& inverse) {
  if (!m.IsAffine()) return Invert3x3(m, inverse) && IsFinite(inverse);
  if (!Invert2x2(m, inverse)) return false;
  inverse.m[3] = inverse.m[7] = 0.0f;
  inverse.m[8] = FLT_MAX;
  inverse.m[9] = inverse.m[11] = 0.0f;
  inverse.m[10] = 1.0f;
  return IsFinite(inverse);
}

// Appends H and the 32 level pairs of the level-0 pixel maps P (key frame
// to current frame) and Q = P^-1. H by value: it may be a record of the
// array, which the reserve moves.
void AppendBlock(const WarpRecord H, const WarpRecord& P, const WarpRecord& Q,
                 AlignedArray<WarpRecord>& hypotheses) {
  hypotheses.Reserve(hypotheses.Size() + kHypothesisBlockSize);
  hypotheses.PushBack48(H);
  WarpRecord m;
  for (int a = 0; a < 4; ++a) {
    for (int b = 0; b < 4; ++b) {
      ScaleWarpBetweenLevels(P, a, b, m);
      hypotheses.PushBack48(m);
      ScaleWarpBetweenLevels(Q, b, a, m);
      hypotheses.PushBack48(m);
    }
  }
}

void MapCorners(const WarpRecord& m, const float corners[4][2], float out[8]) {
  for (int i = 0; i < 4; ++i)
    ApplyHomography(reinterpret_cast<const float(*)[4]>(m.m), corners[i], out + 2 * i);
}

}  // namespace

void ScaleWarpBetweenLevels(const WarpRecord& m, int a, int b, WarpRecord& out) {
  ScaleWarpToLevel(m, a, out);
  // Then from output level a to output level b: pixels scale by 2^(a - b).
  // Projective maps are kept up to scale through their third row; an affine
  // map scales its two rows and never its marker.
  const int steps = b - a;
  if (steps == 0) return;
  if (out.IsAffine()) {
    const float s = std::ldexp(1.0f, -steps);
    for (int i : {0, 1, 2, 4, 5, 6}) out.m[i] *= s;
  } else {
    const float s = std::ldexp(1.0f, steps);
    for (int i : {8, 9, 10}) out.m[i] *= s;
  }
}

bool AddHomographyHypothesis(const TrackerCamera& camera, const WarpRecord& input,
                             AlignedArray<WarpRecord>& hypotheses) {
  // A copy: the caller may pass a record of the array this call grows.
  const WarpRecord homography = input;
  if (!homography.IsSet() || !IsFinite(homography)) return false;
  // Singularity is judged in normalised units, where the entries are of one
  // size; the pixel map's determinant carries the focal lengths.
  WarpRecord P, Q;
  if (!InvertMap(homography, Q)) return false;
  MakePixelWarp(camera.intrinsic[0], homography, P);
  if (!IsFinite(P) || !InvertMap(P, Q)) return false;
  AppendBlock(homography, P, Q, hypotheses);
  return true;
}

bool AddImageMapHypothesis(const TrackerCamera& camera, const WarpRecord& keyFrameImageMap,
                           AlignedArray<WarpRecord>& hypotheses) {
  const WarpRecord M = keyFrameImageMap;  // may live in the array that grows
  if (!M.IsSet() || !IsFinite(M) || camera.smallWidth == 0) return false;
  WarpRecord N;
  if (!InvertMap(M, N)) return false;
  // The hypothesis between normalised coordinates: K4^-1 N K4.
  WarpRecord H;
  if (N.IsAffine()) {
    WarpRecord full = N;
    full.m[8] = full.m[9] = 0.0f;
    full.m[10] = 1.0f;
    ConjugateMapByIntrinsics(camera.intrinsic[kPyramidLevels], full, H);
    H.m[8] = FLT_MAX;
  } else {
    ConjugateMapByIntrinsics(camera.intrinsic[kPyramidLevels], N, H);
  }
  // Pixel maps of level 0: the alignment image is a sixteenth of the frame.
  const float s = static_cast<float>(camera.width) / static_cast<float>(camera.smallWidth);
  WarpRecord M0, N0;
  if (!MakeLevelZeroWarps(M, s, M0, N0) || !IsFinite(H) || !IsFinite(N0)) return false;
  AppendBlock(H, N0, M0, hypotheses);
  return true;
}

bool AddPlaneHomography(const TrackerCamera& camera, const CameraPose& keyFramePose,
                        const CameraPose& currentPose, const float plane[4],
                        CameraPose& relativePose, float scratch[4], WarpRecord& homography,
                        AlignedArray<WarpRecord>& hypotheses) {
  if (IsPoseInvalid(relativePose)) ComputeRelativePose(keyFramePose, currentPose, relativePose);
  // The plane in the key frame's coordinates: n' = R_k n, d' = d - n'.t_k.
  for (int r = 0; r < 3; ++r)
    scratch[r] = keyFramePose.m[r][0] * plane[0] + keyFramePose.m[r][1] * plane[1] +
                 keyFramePose.m[r][2] * plane[2];
  scratch[3] = plane[3] - (scratch[0] * keyFramePose.m[0][3] + scratch[1] * keyFramePose.m[1][3] +
                           scratch[2] * keyFramePose.m[2][3]);
  // A plane through the key frame's centre induces no homography (its warp
  // would be infinite).
  if (!(std::fabs(scratch[3]) >= kMinPlaneOffset)) return false;
  Intrinsic unit;
  unit.Set(1.0f, 1.0f, 0.0f, 0.0f);
  if (!ComputePlaneHomography(keyFramePose, currentPose, plane, unit, unit, homography))
    return false;
  return AddHomographyHypothesis(camera, homography, hypotheses);
}

void PruneHypotheses(const TrackerCamera& camera, u32 firstRecord,
                     AlignedArray<WarpRecord>& hypotheses) {
  if (firstRecord >= hypotheses.Size()) return;
  const u32 n = (hypotheses.Size() - firstRecord) / kHypothesisBlockSize;
  const float w = camera.width, h = camera.height;
  const float corners[4][2] = {{0.0f, 0.0f}, {w, 0.0f}, {w, h}, {0.0f, h}};
  const u32 forward = kHypothesisOffset[0][0];
  auto block = [&](u32 i) -> WarpRecord& {
    return hypotheses[firstRecord + kHypothesisBlockSize * i];
  };
  float ci[8], cj[8];
  // A block whose corners are not finite predicts nothing.
  for (u32 i = 0; i < n; ++i) {
    MapCorners((&block(i))[forward], corners, ci);
    for (float v : ci)
      if (!std::isfinite(v)) block(i).m[0] = FLT_MAX;
  }
  for (u32 i = 0; n >= 2 && i < n; ++i) {
    if (!block(i).IsSet()) continue;
    MapCorners((&block(i))[forward], corners, ci);
    for (u32 j = i + 1; j < n; ++j) {
      if (!block(j).IsSet()) continue;
      MapCorners((&block(j))[forward], corners, cj);
      float sum = 0.0f;
      for (int k = 0; k < 8; ++k) sum += (ci[k] - cj[k]) * (ci[k] - cj[k]);
      if (sum < kPruneDistance2) block(j).m[0] = FLT_MAX;
    }
  }
  u32 kept = 0;
  for (u32 i = 0; i < n; ++i) {
    if (!block(i).IsSet()) continue;
    if (kept != i)
      for (u32 r = 0; r < kHypothesisBlockSize; ++r) (&block(kept))[r] = (&block(i))[r];
    ++kept;
  }
  hypotheses.Resize(firstRecord + kHypothesisBlockSize * kept);
}
