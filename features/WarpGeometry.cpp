#include "features/WarpGeometry.h"

#include <cfloat>
#include <cmath>

#include "features/ImageMapMath.h"

bool MakeLevelZeroWarps(const WarpRecord& warp, float k, WarpRecord& toOld, WarpRecord& toNew) {
  toOld = warp;
  const bool affine = warp.IsAffine();
  // S W S^-1 with S = diag(k, k, 1); the affine marker is tested before and
  // never scaled.
  toOld.m[2] *= k;
  toOld.m[6] *= k;
  if (!affine) {
    toOld.m[8] /= k;
    toOld.m[9] /= k;
  }
  if (affine) {
    if (!Invert2x2(toOld, toNew)) return false;
    toNew.m[8] = FLT_MAX;
    toNew.m[9] = toNew.m[10] = toNew.m[11] = 0.0f;
    toNew.m[3] = toNew.m[7] = 0.0f;
    return true;
  }
  return Invert3x3(toOld, toNew);
}

void ScaleWarpToLevel(const WarpRecord& m, int level, WarpRecord& out) {
  out = m;
  const float s = 1.0f / static_cast<float>(1 << level);
  out.m[2] *= s;
  out.m[6] *= s;
  if (!m.IsAffine()) {
    out.m[8] /= s;
    out.m[9] /= s;
  }
}

bool ComputePlaneHomography(const CameraPose& from, const CameraPose& to, const float plane[4],
                            const Intrinsic& kFrom, const Intrinsic& kTo, WarpRecord& H) {
  CameraPose rel;
  ComputeRelativePose(from, to, rel);
  // Plane in the camera frame of `from`: nc . Xc + dc = 0.
  float nc[3];
  for (int r = 0; r < 3; ++r)
    nc[r] = from.m[r][0] * plane[0] + from.m[r][1] * plane[1] + from.m[r][2] * plane[2];
  const float dc = plane[3] - (nc[0] * from.m[0][3] + nc[1] * from.m[1][3] + nc[2] * from.m[2][3]);
  if (!(std::fabs(dc) > 1e-12f)) return false;
  // A = R - t nc^T / dc, then H = Kto A Kfrom^-1.
  float A[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) A[r][c] = rel.m[r][c] - rel.m[r][3] * nc[c] / dc;
  const float ifx = kFrom.ifx[0], ify = kFrom.ify[0], cx = kFrom.cx[0], cy = kFrom.cy[0];
  float B[3][3];  // A Kfrom^-1
  for (int r = 0; r < 3; ++r) {
    B[r][0] = A[r][0] * ifx;
    B[r][1] = A[r][1] * ify;
    B[r][2] = A[r][2] - A[r][0] * cx * ifx - A[r][1] * cy * ify;
  }
  for (int c = 0; c < 3; ++c) {
    H.m[c] = kTo.fx[0] * B[0][c] + kTo.cx[0] * B[2][c];
    H.m[4 + c] = kTo.fy[0] * B[1][c] + kTo.cy[0] * B[2][c];
    H.m[8 + c] = B[2][c];
  }
  H.m[3] = H.m[7] = H.m[11] = 0.0f;
  for (int i = 0; i < 11; ++i)
    if (!std::isfinite(H.m[i])) return false;
  return H.m[8] != FLT_MAX;
}
