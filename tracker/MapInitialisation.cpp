#include "tracker/MapInitialisation.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

namespace {

// Inlier gate of the start: 4 pixels, squared.
constexpr f32 kEssentialGatePixelsSquared = 16.0f;
// The essential loop chooses its model under a gate of 1 pixel and refines it
// over the matches within 2. The baseline counts once half the rays spread by
// a degree, 9 pixels: under the 4 pixel gate a pose whose translation was
// turned 70 degrees, its rotation off by a degree and a half to make up for
// it, took in the matches a few pixels off the true geometry as well and won
// on their count, and a least-squares fit over them pulls towards it.
constexpr f32 kEssentialChoiceGatePixelsSquared = 1.0f;
constexpr f32 kEssentialRefineGatePixelsSquared = 4.0f;
// Least share of matches in front of both views for a relative pose.
constexpr f32 kMinInFrontRatio = 0.8f;
// Least share of inliers with a degree of parallax for the baseline to count.
constexpr f32 kMinWideRayShare = 0.5f;
// Pairs with the first key frame that are still worth waiting on for more
// parallax; fewer mean its features are being lost, and the start restarts.
constexpr u32 kRetryPairs = 30;

// Share of the inliers whose rays, the rotation taken out, spread by more than
// a degree: under a pure rotation every translation fits the matches, and the
// decomposition's choice of one would make a map of noise.
f32 WideRayShare(const MatchSet2D& matches, const std::vector<u16>& inliers,
                 const RigidTransformation3D& pose) {
  if (inliers.empty()) return 0.0f;
  u32 wide = 0;
  for (const u16 i : inliers) {
    f32 m[4];
    matches.ReadMatch(i, m);
    // R^T q against p.
    const f32 q[3] = {m[2], m[3], 1.0f};
    f32 r[3];
    for (int k = 0; k < 3; ++k)
      r[k] = pose.m[0][k] * q[0] + pose.m[1][k] * q[1] + pose.m[2][k] * q[2];
    const f32 dot = m[0] * r[0] + m[1] * r[1] + r[2];
    const f32 pp = m[0] * m[0] + m[1] * m[1] + 1.0f, rr = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    wide += dot < kMinRayCosine * std::sqrt(pp * rr) ? 1 : 0;
  }
  return static_cast<f32>(wide) / static_cast<f32>(inliers.size());
}

bool IsFinitePose(const LA::AlignedMatrix3f& pose) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      if (!std::isfinite(pose.m[r][c])) return false;
  return true;
}

}  // namespace

MapInitialisation::MapInitialisation(const TrackerContext& context, PoseEstimation& pose,
                                     NewPoints& newPoints, FrameMeasures& measures, IsoStep runIso)
    : c_(context),
      pose_(pose),
      newPoints_(newPoints),
      measures_(measures),
      runIso_(std::move(runIso)) {
  essentialEstimator_.minInFrontRatio = kMinInFrontRatio;
}

MapStart MapInitialisation::InitializeMap(u16 frame) {
  MapStart start;
  const MapWorkingCopy& w = c_.mapView.Working();
  if (!c_.ring.Contains(frame) || w.keyFramePoses.Size() == 0 || IsPoseInvalid(w.keyFramePoses[0]))
    return start;
  TrackerFrame& f = c_.ring[frame];

  // The frame's matches of the first key frame's own features.
  const f32 fxfy = c_.camera.intrinsic[0].misc[0];
  essentialData_.errorScale = fxfy;
  c_.mapView.BuildKeyFrameMatchSet(0, f, essentialData_, matchTracks_);
  if (essentialData_.Size() < essentialEstimator_.GetMinimalSampleSize()) return start;
  essentialEstimator_.threshold = kEssentialChoiceGatePixelsSquared / fxfy;
  essentialInliers_.clear();  // the loop leaves it alone when it finds nothing
  // Under a small baseline the relative pose is noise: from here on a
  // failure is worth another frame while the first key frame stays in view.
  start.retry = essentialData_.Size() >= kRetryPairs;
  essentialEstimator_.RunLoRansac(essentialData_, essential_, essentialInliers_);
  if (essentialInliers_.size() < essentialEstimator_.GetMinimalSampleSize()) return start;
  // Each refinement fits the inliers it is given and lists those under its
  // gate: the matches within 2 pixels of the choice, then the start's own. A
  // refinement that would keep too few leaves the model as it was.
  for (const f32 gate : {kEssentialRefineGatePixelsSquared, kEssentialGatePixelsSquared}) {
    essentialEstimator_.threshold = gate / fxfy;
    f64 error = DBL_MAX;
    essentialEstimator_.RefineModel(essentialData_, essential_, essentialInliers_, error);
  }
  RigidTransformation3D relative{};
  alignas(16) float scratch[4 * 38];
  if (!EssentialMatrix::ToRelativePose(essential_, essentialData_, relative, kMinInFrontRatio,
                                       scratch) ||
      !IsFinitePose(relative) ||
      WideRayShare(essentialData_, essentialInliers_, relative) < kMinWideRayShare)
    return start;
  start.retry = false;

  // The map takes the unit the other starts give it: its points' median
  // depth is the initial depth. Lengths the map compares against in its own
  // unit (a point's deviation from its plane, the plane finder's least
  // distance) assume it; the baseline's unit made the scene tens of units
  // deep, and the plane terms then pulled the map out of shape.
  const TrackingMode mode{};
  const f32 depth = c_.options.initialDepth;
  f32 baseline = kInitialisedSceneScale;
  PlaceStartFrame(frame, relative, baseline);
  newPoints_.CreateNewPoints(frame, mode);
  const f32 median = measures_.ComputeMedianDepth(w.keyFramePoses[0], depths_);
  ForgetPoints();
  if (median > 0.0f && std::isfinite(median)) {
    baseline *= depth / median;
    PlaceStartFrame(frame, relative, baseline);
    // The mid-way key frame's pose, which the points are first triangulated
    // with, goes out with the map.
    if (w.keyFramePoses.Size() > 1 && IsPoseValid(w.keyFramePoses[1])) {
      float c0[3], c1[3];
      CameraCentre(w.keyFramePoses[0], c0);
      CameraPose midway = w.keyFramePoses[1];
      CameraCentre(midway, c1);
      for (int i = 0; i < 3; ++i) c1[i] = c0[i] + depth / median * (c1[i] - c0[i]);
      SetCameraCentre(midway, c1);
      WriteKeyFramePose(1, midway);
    }
  }
  start.ok = true;
  start.sceneScale = baseline;
  // The key-frame rule's bound on baseline over depth stays what it was.
  start.depthScale = kInitialisedSceneScale / depth;

  newPoints_.CreateNewPoints(frame, mode);
  EstimateMidwayKeyFrame(frame);
  // The second triangulation sees the refined mid-way pose; whatever fails
  // it is unsolved.
  ForgetPoints();
  newPoints_.CreateNewPoints(frame, mode);

  const CameraPose& midway = w.keyFramePoses.Size() > 1 ? w.keyFramePoses[1] : w.keyFramePoses[0];
  for (u16 s = 0; s < c_.ring.Size(); ++s) {
    TrackerFrame& g = c_.ring[s];
    if (s == frame || g.number == kUnsetCounter) continue;
    g.pose.slot[kVisual] = midway;
    CameraToPose(g.state.record[kVisual], c_.camera.bodyToCamera, midway, scratch);
    pose_.EstimateCameraPose(s);
  }
  return start;
}

void MapInitialisation::PlaceStartFrame(u16 frame, const RigidTransformation3D& relative,
                                        f32 baseline) {
  CameraPose step;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) step.m[r][k] = relative.m[r][k];
    step.m[r][3] = relative.m[r][3] * baseline;
  }
  TrackerFrame& f = c_.ring[frame];
  alignas(16) float scratch[8];
  ComposePose(c_.mapView.Working().keyFramePoses[0], step, f.pose.slot[kVisual], scratch);
  CameraToPose(f.state.record[kVisual], c_.camera.bodyToCamera, f.pose.slot[kVisual], scratch);
}

void MapInitialisation::ForgetPoints() {
  for (u8& flags : c_.mapView.Working().trackFlags) flags = 0;
  c_.mapView.ForgetOwnPoints();
}

void MapInitialisation::EstimateMidwayKeyFrame(u16 frame) {
  TrackerMapView& view = c_.mapView;
  const MapWorkingCopy& w = view.Working();
  constexpr u16 k = 1;
  TrackerMapView::FeatureSpan span;
  if (k >= w.keyFramePoses.Size() || !view.KeyFrameFeatures(k, span)) return;

  // The frame's slot holds the key frame's matches for the estimate; its own
  // matches, pose and state come back afterwards.
  TrackerFrame& f = c_.ring[frame];
  const FramePose savedPose = f.pose;
  const FrameState savedState = f.state;
  for (int l = 0; l < kPyramidLevels; ++l) {
    std::swap(setAside_[l], f.mapMatches[l]);
    f.mapMatches[l].clear();
    const Intrinsic& kl = c_.camera.intrinsic[l];
    const u32 end = std::min<u32>(span.levelOffsets[l + 1], span.count);
    for (u32 j = span.levelOffsets[l]; j < end; ++j) {
      const u32 track = w.measurementTracks[span.trackStart + j];
      if (!view.IsInlier(track)) continue;
      const LA::Vector2<float>& x = view.KeyFrameNormalized()[span.first + j];
      MapMatch m{};
      m.track = m.patch = track;  // one patch per track
      m.corner = kNone32;
      m.nx = x.x, m.ny = x.y;
      m.x = m.px = x.x * kl.fx[0] + kl.cx[0];
      m.y = m.py = x.y * kl.fy[0] + kl.cy[0];
      m.ssd = -1;
      f.mapMatches[l].push_back(m);
    }
  }
  // Refined from the key frame's own pose: the frame is a full baseline away.
  f.pose.slot[kVisual] = w.keyFramePoses[k];
  f.pose.slot[kOutput].m[0][0] = FLT_MAX;
  float scratch[8];
  CameraToPose(f.state.record[kVisual], c_.camera.bodyToCamera, f.pose.slot[kVisual], scratch);
  if (pose_.EstimateCameraPose(frame)) WriteKeyFramePose(k, f.pose.slot[kVisual]);
  for (int l = 0; l < kPyramidLevels; ++l) std::swap(setAside_[l], f.mapMatches[l]);
  f.pose = savedPose;
  f.state = savedState;
}

void MapInitialisation::WriteKeyFramePose(u16 keyFrame, const CameraPose& pose) {
  MapWorkingCopy& w = c_.mapView.Working();
  float scratch[8];
  w.keyFramePoses[keyFrame] = pose;
  if (keyFrame < w.keyFrameStates.Size())
    CameraToPose(w.keyFrameStates[keyFrame], c_.camera.bodyToCamera, pose, scratch);
  if (keyFrame < w.cameraCenters.Size()) {
    LA::AlignedVector4f& centre = w.cameraCenters[keyFrame];
    CameraCentre(pose, centre.v);
    centre.v[3] = 1.0f;
  }
  // The workers are idle until tracking starts: the map takes the pose as is.
  GlobalMap& map = c_.mapView.Map();
  boost::unique_lock<boost::shared_mutex> lock(map.mutex);
  if (keyFrame < map.keyFramePoses.Size()) map.keyFramePoses[keyFrame] = pose;
  if (keyFrame < map.keyFrameStates.Size())
    CameraToPose(map.keyFrameStates[keyFrame], c_.camera.bodyToCamera, pose, scratch);
}
