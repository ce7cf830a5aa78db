#include "tracker/PoseEstimation.h"

#include <algorithm>
#include <cmath>

#include "features/ImageMapMath.h"

namespace {

// Residuals of coarser levels count less: a pixel there spans more of the image.
constexpr float kLevelWeights[kPyramidLevels] = {1.0f, 0.5f, 0.25f, 0.125f};

bool IsFinitePose(const CameraPose& pose) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      if (!std::isfinite(pose.m[r][c])) return false;
  return true;
}

// The rotation through its unit quaternion: rounding in the updates leaves
// it slightly off orthonormal.
void Reorthonormalise(CameraPose& pose) {
  float q[4];
  RotationToQuaternion(pose, q);
  if (q[3] < 0.0f)
    for (float& v : q) v = -v;
  LA::QuaternionToRotationMatrix(q, pose);
}

}  // namespace

bool PoseEstimation::EstimateCameraPose(u16 frame) {
  if (!c_.ring.Contains(frame)) return false;
  TrackerFrame& f = c_.ring[frame];
  CameraPose& visual = f.pose.slot[kVisual];
  if (!IsPoseValid(visual) || !IsFinitePose(visual)) return false;
  const TrackerMapView& view = c_.mapView;
  u32 n = 0;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) n += view.IsInlier(m.track) ? 1 : 0;
  if (n < kMinMatches) return false;

  refinement_.Resize(n);
  const AlignedArray<MapPoint>& points = view.Working().points;
  u32 i = 0;
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const MapMatch& m : f.mapMatches[l])
      if (view.IsInlier(m.track))
        refinement_.Set(i++, points[m.track], m.nx, m.ny, kLevelWeights[l]);

  const CameraPose start = visual;
  CameraPose estimate = start;
  refinement_.Refine(estimate);
  Reorthonormalise(estimate);
  if (!IsFinitePose(estimate)) return true;  // the start pose stands

  float scratch[8];
  const CameraOffset& offset = c_.camera.bodyToCamera;
  CameraPose& output = f.pose.slot[kOutput];
  if (IsPoseValid(output)) {
    // The output pose moves by the same rigid change as the visual one.
    CameraPose change;
    ComputeRelativePose(start, estimate, change);
    ComposePose(output, change, output, scratch);
    CameraToPose(f.state.record[kOutput], offset, output, scratch);
  }
  visual = estimate;
  CameraToPose(f.state.record[kVisual], offset, visual, scratch);
  return true;
}

void PoseEstimation::PredictPoseFromFrame(u16 referenceFrame, u16 frame) {
  FrameRing& ring = c_.ring;
  if (!ring.Contains(referenceFrame) || !ring.Contains(frame)) return;
  const TrackerFrame& r = ring[referenceFrame];
  TrackerFrame& f = ring[frame];
  // The start: the reference frame's camera centre seen with the frame's
  // predicted rotation. In a fast turn the reference rotation would be a
  // whole turn behind the one the readings (or the image rotation) give;
  // the predicted position is left out, as its length comes from
  // accelerations in metres while the map's unit may be any.
  CameraPose start = r.pose.slot[kVisual];
  const CameraPose& predicted = f.pose.slot[kVisual];
  if (IsPoseValid(predicted) && IsFinitePose(predicted) && IsPoseValid(start)) {
    float c[3];
    CameraCentre(start, c);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) start.m[i][j] = predicted.m[i][j];
    SetCameraCentre(start, c);
  }
  f.pose.slot[kVisual] = start;
  {
    float scratch[8];
    CameraToPose(f.state.record[kVisual], c_.camera.bodyToCamera, start, scratch);
  }
  if (referenceFrame < ring.Maps().Size() && BeginTransfer(ring.Map(referenceFrame))) {
    // Gathered before the lists change: the two frames may be one.
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const MapMatch& m : r.mapMatches[l])
        if (c_.mapView.IsInlier(m.track)) Transfer(l, m.track, m.patch, m.nx, m.ny);
    CommitTransfer(f);
    EstimateCameraPose(frame);
  }
  f.state.record[kPredicted] = f.state.record[kVisual];
  f.pose.slot[kPredicted] = f.pose.slot[kVisual];
}

void PoseEstimation::RelocaliseFromKeyFrame(u16 keyFrame, u16 frame) {
  const TrackerMapView& view = c_.mapView;
  const MapWorkingCopy& w = view.Working();
  if (!c_.ring.Contains(frame) || keyFrame >= w.keyFramePoses.Size()) return;
  TrackerFrame& f = c_.ring[frame];
  f.pose.slot[kVisual] = w.keyFramePoses[keyFrame];
  if (keyFrame >= view.KeyFrameMaps().Size() || !BeginTransfer(view.KeyFrameMaps()[keyFrame]))
    return;
  TrackerMapView::FeatureSpan span;
  view.KeyFrameFeatures(keyFrame, span);
  for (int l = 0; l < kPyramidLevels && span.count > 0; ++l) {
    const u32 end = std::min<u32>(span.levelOffsets[l + 1], span.count);
    for (u32 j = span.levelOffsets[l]; j < end; ++j) {
      const u32 track = w.measurementTracks[span.trackStart + j];
      const LA::Vector2<float>& x = view.KeyFrameNormalized()[span.first + j];
      // One patch per track.
      if (view.IsInlier(track)) Transfer(l, track, track, x.x, x.y);
    }
  }
  CommitTransfer(f);
  EstimateCameraPose(frame);
}

bool PoseEstimation::BeginTransfer(const WarpRecord& map) {
  for (auto& list : transferred_) list.clear();
  if (!map.IsSet()) return false;
  if (!map.IsAffine()) return Invert3x3(map, inverse_);
  if (!Invert2x2(map, inverse_)) return false;
  inverse_.m[8] = FLT_MAX;
  return true;
}

void PoseEstimation::Transfer(int level, u32 track, u32 patch, float x, float y) {
  // Normalised -> pixels of the alignment image -> through the inverse map
  // into the frame's alignment image -> normalised.
  const Intrinsic& k = c_.camera.intrinsic[kPyramidLevels];
  const float px = x * k.fx[0] + k.cx[0], py = y * k.fy[0] + k.cy[0];
  const float* m = inverse_.m;
  float u = m[0] * px + m[1] * py + m[2], v = m[4] * px + m[5] * py + m[6];
  if (!inverse_.IsAffine()) {
    const float h = m[8] * px + m[9] * py + m[10];
    if (!(h > FLT_EPSILON)) return;  // beyond the map's horizon
    u /= h, v /= h;
  }
  MapMatch match{};
  match.track = track;
  match.patch = patch;
  match.corner = kNone32;
  match.nx = (u - k.cx[0]) * k.ifx[0];
  match.ny = (v - k.cy[0]) * k.ify[0];
  if (!std::isfinite(match.nx) || !std::isfinite(match.ny)) return;
  const Intrinsic& kl = c_.camera.intrinsic[level];
  match.x = match.px = match.nx * kl.fx[0] + kl.cx[0];
  match.y = match.py = match.ny * kl.fy[0] + kl.cy[0];
  match.ssd = -1;
  transferred_[level].push_back(match);
}

void PoseEstimation::CommitTransfer(TrackerFrame& f) {
  for (int l = 0; l < kPyramidLevels; ++l)
    f.mapMatches[l].assign(transferred_[l].begin(), transferred_[l].end());
}
