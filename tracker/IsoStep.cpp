// The ISO step: the latest ring frames as one sliding-window problem over the
// map's fixed points, the preintegrations between them and their gravity
// directions; the solved states go back to the frames and their key frames.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "optimization/IMUAlgebra.h"
#include "optimization/IMUParameters.h"
#include "tracker/InertialMath.h"
#include "tracker/InertialStep.h"

namespace {

const f64* Doubles(const IMUState& s) {
  return reinterpret_cast<const f64*>(&s);
}

bool IsFinite(const CameraIMUState& s) {
  for (int k = 0; k < 4; ++k)
    if (!std::isfinite(s.p[k]) || !std::isfinite(s.v[k]) || !std::isfinite(s.q[k]) ||
        !std::isfinite(s.ba[k]) || !std::isfinite(s.bg[k]))
      return false;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k)
      if (!std::isfinite(s.pose.m[r][k])) return false;
  return true;
}

}  // namespace

i32 InertialStep::RunIso(u16 frame, TrackingMode mode) {
  if (!c_.ring.Contains(frame) || IsPoseInvalid(c_.ring[frame].pose.slot[kVisual]))
    return ISO_LM_NORMAL_EQUATION_FAIL;
  AddUnitEvidence(frame);
  CollectWindow(frame, c_.options.isoWindow ? kIsoWindow : 1);
  BuildIsoProblem();
  if (c_.options.verbose) {
    c_.log.Print("----------------------------------------------------------------\n");
    c_.log.Print("ISO [%d, %d]\n", c_.ring[window_.front()].number, c_.ring[frame].number);
  }
  const ISOStopReason stop = isoSolver_.Run(isoProblem_, isoState_, c_.options.verbose ? 1 : 0);
  WriteBack();
  UpdateMeasures(mode);
  return stop;
}

void InertialStep::AddUnitEvidence(u16 frame) {
  const MapWorkingCopy& w = c_.mapView.Working();
  const u16 k = c_.ring[frame].imuKeyFrame;
  if (k == kNone16 || k >= w.keyFrameStates.Size()) return;
  f64 H[9];
  QuaternionToRotationDouble(w.keyFrameStates[k].quaternion, H);
  unitTimes_.clear();
  unitPositions_.clear();
  unitMotions_.clear();
  const auto take = [&](u16 j) {
    const TrackerFrame& f = c_.ring[j];
    const IMUDelta& delta = f.delta[kFromKeyFrame];
    if (f.imuKeyFrame != k || IsPoseInvalid(f.pose.slot[kVisual]) || !IMUDelta::HasReadings(delta))
      return;
    const IMUState& s = f.state.record[kVisual];
    // The readings as integrated: the biases the window solves depend on
    // the unit this measures, and fed back through them it ran away.
    std::array<f64, 3> a;
    MatrixVector3d(H, delta.dp, a.data());
    unitTimes_.push_back(delta.dt);
    unitPositions_.push_back({s.position[0], s.position[1], s.position[2]});
    unitMotions_.push_back(a);
  };
  take(frame);
  c_.ring.WalkBack(frame, [&](u16 j) {
    take(j);
    return true;
  });
  f64 xy, xx;
  const u32 n = static_cast<u32>(unitTimes_.size());
  if (InertialUnitEvidence(unitTimes_.data(), unitPositions_.data(), unitMotions_.data(), n, xy,
                           xx))
    c_.mapView.Map().AddInertialUnitEvidence(xy, xx);
}

void InertialStep::CollectWindow(u16 frame, u16 length) {
  window_.clear();
  window_.push_back(frame);
  // A frame without a visual pose has nothing to solve, and the frames
  // before it are not tied to the window by a delta of their own.
  c_.ring.WalkBack(frame, [&](u16 j) {
    if (window_.size() >= length || IsPoseInvalid(c_.ring[j].pose.slot[kVisual])) return false;
    window_.push_back(j);
    return true;
  });
  std::reverse(window_.begin(), window_.end());
}

void InertialStep::BuildIsoProblem() {
  const u32 n = static_cast<u32>(window_.size());
  const MapWorkingCopy& w = c_.mapView.Working();
  const CameraOffset& offset = c_.camera.bodyToCamera;
  ISOState& state = isoState_;
  ISOProblem& problem = isoProblem_;
  for (int k = 0; k < 4; ++k) state.extrinsic[k] = static_cast<f32>(offset.quaternion[k]);
  for (int k = 0; k < 3; ++k) state.extrinsic[4 + k] = static_cast<f32>(offset.position[k]);
  state.extra[0] = state.extra[1] = state.extra[2] = 0;
  state.referenceCameras.Resize(0);
  state.referenceIds.clear();
  state.windowCameras.Resize(n);
  state.windowIds.clear();

  // Inlier map matches are 3-D features on the map's points, which stay fixed.
  problem.scale = c_.camera.intrinsic[0].misc[0];
  problem.points = reinterpret_cast<const float(*)[4]>(w.points.Data());
  problem.features3D.Resize(0);
  problem.feature3DStarts.assign(1, 0);
  problem.features2D.Resize(0);
  problem.feature2DStarts.clear();
  problem.measurementPairs.clear();
  problem.cameraFlags.assign(n, 0);
  // A first frame that started at rest had no frame before it: its velocity
  // is a guess that nothing has left the window with, so it is solved when
  // readings (translation terms) tie it to the next frame.
  problem.holdFirstVelocity = n < 2 || !c_.ring[window_[0]].startedAtRest ||
                              !IMUDelta::HasTranslation(c_.ring[window_[1]].delta[kFromPrevious]);
  problem.gravity.Resize(0);
  problem.gravityCameras.clear();
  const u32 pointCount = w.points.Size();
  // The window weighs every match it takes in full, so a wrong corner pulls
  // the frames as hard as a right one (on a rendered visual-only walk one
  // level-0 match in twenty was 3 pixels off).
  const bool measured = c_.mapView.DepthsMeasured();
  float bounds[kPyramidLevels];
  for (int level = 0; level < kPyramidLevels; ++level)
    bounds[level] = TrackerMapView::FarMatchBound(c_.camera.intrinsic[0], level);
  for (u32 i = 0; i < n; ++i) {
    const TrackerFrame& f = c_.ring[window_[i]];
    const CameraPose& pose = f.pose.slot[kVisual];
    LoadCameraStateFromDoubles(state.windowCameras[i], Doubles(f.state.record[kVisual]), pose);
    state.windowIds.push_back(static_cast<u32>(f.number));
    for (int level = 0; level < kPyramidLevels; ++level) {
      for (const MapMatch& m : f.mapMatches[level]) {
        if (m.track >= pointCount || !c_.mapView.IsInlier(m.track)) continue;
        const MapPoint& X = w.points[m.track];
        if (measured && !(TrackerMapView::SquaredMatchError(pose, X, m) < bounds[level])) continue;
        problem.features3D.PushBack({m.track, m.nx, m.ny}, 1024);
      }
      problem.feature3DStarts.push_back(problem.features3D.Size());
    }
    if (f.posePrior[7] != DBL_MAX) {
      // The stored prior is an attitude record: its middle three are gravity.
      IMUAttitude attitude;
      std::memcpy(&attitude, f.posePrior, sizeof(attitude));
      IBAGravity record;
      SetGravityRecord(record, attitude, 1.0, f.state.record[kVisual].time);
      problem.gravity.PushBack(record, 16);
      problem.gravityCameras.push_back(i);
    }
  }
  levelWeights_.levelWeights.Resize(0);
  IBAProblem::SetFeatureWeights(levelWeights_, problem.scale, 1.0);
  problem.feature3DWeights.Assign(levelWeights_.levelWeights);

  // Consecutive ring frames are tied by the later one's delta from the earlier.
  problem.deltas1.count = problem.deltas2.count = 0;
  problem.deltas1.pairs.clear();
  problem.deltas2.pairs.clear();
  problem.deltas3.count = n - 1;
  problem.deltas3.records.Resize(n - 1);
  problem.deltas3.pairs.clear();
  const f64 unitsPerMetre = c_.mapView.Map().InertialUnitsPerMetre();
  for (u32 i = 0; i + 1 < n; ++i) {
    ISODelta::Set(problem.deltas3.records[i], c_.ring[window_[i + 1]].delta[kFromPrevious], 1.0,
                  unitsPerMetre);
    problem.deltas3.pairs.emplace_back(i, i + 1);
  }
  IBAProblem::SetBiasWeights(problem.biasWeights, 1.0);
  TieToKeyFrames();
}

void InertialStep::TieToKeyFrames() {
  const MapWorkingCopy& w = c_.mapView.Working();
  ISOState& state = isoState_;
  ISODeltaList<ISOFixedDelta>& ties = isoProblem_.deltas2;
  ties.records.Resize(0);
  const u32 n = static_cast<u32>(window_.size());
  const auto inWindow = [&](u16 k) {
    for (const u16 j : window_)
      if (c_.ring[j].keyFrame == k) return true;
    return false;
  };
  for (u32 i = 0; i < n; ++i) {
    const TrackerFrame& f = c_.ring[window_[i]];
    const u16 k = f.imuKeyFrame;
    // A key frame in the window moves with it: the window's own deltas tie
    // the frames after it.
    if (k == kNone16 || k >= w.keyFrameStates.Size() || k >= w.keyFramePoses.Size() ||
        IsPoseInvalid(w.keyFramePoses[k]) || !IMUDelta::HasReadings(f.delta[kFromKeyFrame]) ||
        inWindow(k))
      continue;
    u32 r = 0;
    while (r < state.referenceIds.size() && state.referenceIds[r] != k) ++r;
    if (r == state.referenceIds.size()) {
      CameraIMUState reference;
      LoadCameraStateFromDoubles(reference, Doubles(w.keyFrameStates[k]), w.keyFramePoses[k]);
      state.referenceCameras.PushBack(reference, 4);
      state.referenceIds.push_back(k);
    }
    ISOFixedDelta tie;
    ISOFixedDelta::SetRotation(tie, f.delta[kFromKeyFrame], state.referenceCameras[r]);
    ties.records.PushBack(tie, 16);
    ties.pairs.emplace_back(r, i);
    ++ties.count;
  }
}

void InertialStep::WriteBack() {
  MapWorkingCopy& w = c_.mapView.Working();
  for (u32 i = 0; i < window_.size(); ++i) {
    const CameraIMUState& s = isoState_.windowCameras[i];
    if (!IsFinite(s)) continue;
    TrackerFrame& f = c_.ring[window_[i]];
    IMUState& record = f.state.record[kVisual];
    f64 solved[16];
    CameraPose pose;
    ConvertCameraIMUState(s, solved, pose);
    const u16 k = f.keyFrame;
    const bool keyFrame = k != kNone16 && k < w.keyFrameStates.Size() && k < w.keyFramePoses.Size();
    for (int j = 0; j < 3; ++j) {
      record.velocity[j] = solved[3 + j];
      record.accelerometerBias[j] = solved[10 + j];
      record.gyroscopeBias[j] = solved[13 + j];
    }
    // In a window that solves a first velocity guessed at rest (the map's
    // start, or the first frame after a loss), a frame that saw no map point
    // was only carried along by its deltas from that guess: its velocity and
    // biases are what the window knows of them, but its pose stays. The map's
    // first key frame and the frame after it, which see no point of their
    // own, would otherwise move wherever the guess puts them, and every point
    // built on them with them: the map shrank to about half within a few
    // frames.
    const std::vector<u32>& starts = isoProblem_.feature3DStarts;
    if (!isoProblem_.holdFirstVelocity &&
        starts[kPyramidLevels * (i + 1)] == starts[kPyramidLevels * i]) {
      if (keyFrame) w.keyFrameStates[k] = record;
      continue;
    }
    for (int j = 0; j < 3; ++j) record.position[j] = solved[j];
    for (int j = 0; j < 4; ++j) record.quaternion[j] = solved[6 + j];
    f.pose.slot[kVisual] = pose;
    if (!keyFrame) continue;
    w.keyFrameStates[k] = record;
    w.keyFramePoses[k] = pose;
    if (k < w.cameraCenters.Size()) {
      CameraCentre(pose, w.cameraCenters[k].v);
      w.cameraCenters[k].v[3] = 1.0f;
    }
  }
}

void InertialStep::UpdateMeasures(TrackingMode mode) {
  for (u16 i : window_) {
    TrackerFrame& f = c_.ring[i];
    const u16 k = f.parallaxKeyFrame != kNone16 ? f.parallaxKeyFrame : f.nearKeyFrame;
    f.sceneDepth = measures_.ComputeMeanDepth(i);
    if (k == kNone16) continue;
    f.parallax = measures_.ComputeParallax(k, i, mode, nullptr);
    f.baseline = measures_.ComputeDistanceToKeyFrame(k, i);
    f.baselineRatio = f.sceneDepth == 0.0f ? 1.0f : f.baseline / f.sceneDepth;
  }
}
