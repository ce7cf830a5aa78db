// The map points projected into a frame for map matching: per key frame the
// tracks it created, each with the warp of its patch into the frame and the
// pyramid level to search it at.
#include <cfloat>
#include <cmath>

#include "features/ImageMapMath.h"
#include "features/PatchWarp.h"
#include "la/LinearAlgebra.h"
#include "tracker/MapMatching.h"
#include "tracker/WarpHypotheses.h"

namespace {

// Row r of a 3 x 4 pose applied to X: r . X + r[3].
float ApplyRow(const float* row, const float* X) {
  return LA::Dot3(row, X) + row[3];
}

}  // namespace

void MapMatching::ProjectMapPoints(u16 frame) {
  if (!c_.ring.Contains(frame)) return;
  TrackerFrame& f = c_.ring[frame];
  for (auto& list : f.candidates) list.clear();
  const MapWorkingCopy& w = c_.mapView.Working();
  const AlignedArray<FeaturePatch>& patches = c_.mapView.Patches();
  const std::vector<KeyFrameRecord>& records = c_.mapView.Records();
  // Both passes append; candidates hold indices into the warps, never
  // pointers, since plane blocks may still grow the array.
  u32 inliers = 0;
  for (const u8 flags : w.trackFlags) inliers += (flags & kTrackInlier) ? 1 : 0;
  f.warps.Reserve(f.warps.Size() + 2 * inliers + kHypothesisBlockSize * w.planes.Size());
  c_.mapView.MarkFrameTracks(f, marks_);
  const CameraPose& P = f.pose.slot[kVisual];
  if (!IsPoseValid(P)) return;
  framePose_ = &P;
  const float minAxisDot = std::cos(kMaxViewAngle);
  const float* bounds = c_.camera.bounds;
  const size_t keyFrames = std::min<size_t>(records.size(), w.keyFramePoses.Size());
  for (size_t k = 0; k < keyFrames; ++k) {
    if (!(AxisDot(w.keyFramePoses[k], P) >= minAxisDot)) continue;
    // This key frame's relative pose, level warps and plane blocks come anew.
    keyFrame_.relative.m[0][0] = FLT_MAX;
    for (bool& ready : keyFrame_.levelReady) ready = false;
    planeBlocks_.assign(w.planes.Size(), kPlaneBlockUnset);
    const KeyFrameRecord& record = records[k];
    const u32 end = std::min(record.firstPatch[kPyramidLevels], patches.Size());
    for (u32 p = record.firstPatch[0]; p < end; ++p) {
      const FeaturePatch& patch = patches[p];
      const size_t entry = size_t{record.featureStart} + patch.feature;
      if (entry >= w.measurementTracks.size()) continue;
      const u32 t = w.measurementTracks[entry];
      if (t >= marks_.size() || t >= w.points.Size() || marks_[t] != 0 ||
          !(w.trackFlags[t] & kTrackInlier))
        continue;
      const float* X = w.points[t].v;
      const float z = ApplyRow(P.m[2], X);
      if (!(z > 0.0f)) continue;
      const float u = ApplyRow(P.m[0], X) / z, v = ApplyRow(P.m[1], X) / z;
      if (!(u > bounds[0] && u < bounds[2] && v > bounds[1] && v < bounds[3])) continue;
      // One candidate per track and pass, even when its warp fails below.
      marks_[t] = 1;
      u32 warp = kNone32;
      u8 level = 0;
      if (!ChooseWarp(static_cast<u16>(k), t, patch, w.points[t], f.warps, warp, level)) continue;
      const Intrinsic& K = c_.camera.intrinsic[level];
      f.candidates[level].push_back({t, p, warp, u * K.fx[0] + K.cx[0], v * K.fy[0] + K.cy[0]});
    }
  }
}

bool MapMatching::ChooseWarp(u16 k, u32 t, const FeaturePatch& patch, const MapPoint& X,
                             AlignedArray<WarpRecord>& warps, u32& warp, u8& level) {
  if (patch.level >= kPyramidLevels) return false;
  const std::vector<u16>& planes = c_.mapView.Working().trackPlanes;
  const u16 plane = t < planes.size() ? planes[t] : kNone16;
  const u32 block = plane < planeBlocks_.size() ? PlaneBlock(k, plane, warps) : kNone32;
  if (block == kNone32) return FrontoParallelWarp(k, patch, X, warps, warp, level);
  const u32 size[2] = {c_.camera.width, c_.camera.height};
  const float centre[2] = {patch.x, patch.y};
  if (!PatchSearchLevel(size, centre, warps[block + kHypothesisOffset[patch.level][0]], level))
    return false;
  warp = block + kHypothesisOffset[patch.level][level];
  return true;
}

const CameraPose& MapMatching::RelativePose(u16 k) {
  if (IsPoseInvalid(keyFrame_.relative))
    ComputeRelativePose(c_.mapView.Working().keyFramePoses[k], *framePose_, keyFrame_.relative);
  return keyFrame_.relative;
}

u32 MapMatching::PlaneBlock(u16 k, u16 plane, AlignedArray<WarpRecord>& warps) {
  // Made on the plane's first track with this key frame. A plane through the
  // key frame's centre gives none, and its tracks take the
  // fronto-parallel warp.
  u32& block = planeBlocks_[plane];
  if (block == kPlaneBlockUnset) {
    const MapWorkingCopy& w = c_.mapView.Working();
    block = warps.Size();
    float scratch[4];
    WarpRecord H;
    RelativePose(k);
    if (plane >= w.planes.Size() ||
        !AddPlaneHomography(c_.camera, w.keyFramePoses[k], *framePose_, w.planes[plane].v,
                            keyFrame_.relative, scratch, H, warps))
      block = kNone32;
  }
  return block;
}

bool MapMatching::FrontoParallelWarp(u16 k, const FeaturePatch& patch, const MapPoint& X,
                                     AlignedArray<WarpRecord>& warps, u32& warp, u8& level) {
  const CameraPose& keyPose = c_.mapView.Working().keyFramePoses[k];
  // The plane through X parallel to the key frame's image: X's depth there.
  const float d = ApplyRow(keyPose.m[2], X.v);
  if (!(d > 0.0f)) return false;
  const CameraPose& rel = RelativePose(k);
  const int L = patch.level;
  if (!keyFrame_.levelReady[L]) {
    const Intrinsic& K0 = c_.camera.intrinsic[0];
    const Intrinsic& KL = c_.camera.intrinsic[L];
    const float fx = K0.fx[0], fy = K0.fy[0], cx = K0.cx[0], cy = K0.cy[0];
    float KR[3][3];
    for (int c = 0; c < 3; ++c) {
      KR[0][c] = fx * rel.m[0][c] + cx * rel.m[2][c];
      KR[1][c] = fy * rel.m[1][c] + cy * rel.m[2][c];
      KR[2][c] = rel.m[2][c];
    }
    float* A = keyFrame_.A[L];
    for (int r = 0; r < 3; ++r) {
      A[3 * r + 0] = KR[r][0] * KL.ifx[0];
      A[3 * r + 1] = KR[r][1] * KL.ify[0];
      A[3 * r + 2] = KR[r][2] - KR[r][0] * KL.cx[0] * KL.ifx[0] - KR[r][1] * KL.cy[0] * KL.ify[0];
    }
    keyFrame_.Kt[0] = fx * rel.m[0][3] + cx * rel.m[2][3];
    keyFrame_.Kt[1] = fy * rel.m[1][3] + cy * rel.m[2][3];
    keyFrame_.Kt[2] = rel.m[2][3];
    keyFrame_.levelReady[L] = true;
  }
  // H = K0 (R + t e3^T / d) K_L^-1: only the third column takes t.
  WarpRecord H{};
  const float* A = keyFrame_.A[L];
  for (int r = 0; r < 3; ++r) {
    H.m[4 * r + 0] = A[3 * r + 0];
    H.m[4 * r + 1] = A[3 * r + 1];
    H.m[4 * r + 2] = A[3 * r + 2] + keyFrame_.Kt[r] / d;
  }
  const u32 size[2] = {c_.camera.width, c_.camera.height};
  const float centre[2] = {patch.x, patch.y};
  if (!PatchSearchLevel(size, centre, H, level)) return false;
  // Into level-s pixels, up to scale.
  const float s = static_cast<float>(1 << level);
  for (int i : {8, 9, 10}) H.m[i] *= s;
  WarpRecord inverse{};
  if (!Invert3x3(H, inverse)) H.m[0] = inverse.m[0] = FLT_MAX;
  warp = warps.Size();
  warps.PushBack48(H);
  warps.PushBack48(inverse);
  return true;
}
