#pragma once
// The map's start: from the first key frame and a frame far enough from it
// (the relative pose of their image matches, then points and scale), or from
// the first key frame alone anchored to the marker sheet (on the floor, or on
// a wall when the camera looks sideways).
#include <functional>
#include <vector>

#include "estimation/EssentialMatrixEstimator.h"
#include "tracker/FrameMeasures.h"
#include "tracker/NewPoints.h"
#include "tracker/PoseEstimation.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

// Scene scales of a new map: a guess after anchoring; after initialisation,
// the two-view baseline before the map is brought to the initial depth.
constexpr f32 kAnchoredSceneScale = 0.3f;
constexpr f32 kInitialisedSceneScale = 0.7f;

// Where the marker puts the first camera and the sheet, from the camera's
// rotation alone: the map origin on the optical axis, the camera at height h
// in front of the sheet (on the floor, or on a wall when the camera looks
// sideways).
struct MarkerLayout {
  bool wall = false;  // the optical axis is far from the map's z axis
  f32 centre[3] = {0, 0, 0};
  f32 plane[4] = {0, 0, 0, 0};  // (n, d): n.X + d = 0
  f32 corners[4][3] = {};
};
// False when the sheet's sides are not positive and finite, or the rotation
// leaves the centre undetermined (the 2 x 2 system is singular).
bool ComputeMarkerLayout(const CameraPose& pose, f32 height, f32 sideA, f32 sideB,
                         MarkerLayout& layout);

class MapInitialisation {
 public:
  // The ISO step the anchoring runs after placing the camera (the frame in,
  // the solver's stop code out); the pose and point stages it drives.
  using IsoStep = std::function<i32(u16)>;
  MapInitialisation(const TrackerContext& context, PoseEstimation& pose, NewPoints& newPoints,
                    FrameMeasures& measures, IsoStep runIso);

  // The relative pose of the frame to the first key frame from their matches,
  // scaled so that the points' median depth is the initial depth, the first
  // points, the mid-way key frame's pose and the ring's poses. Not ok, and
  // nothing but the estimator's data changed, when the two views give no pose
  // with enough points in front.
  MapStart InitializeMap(u16 frame);
  // marker: the caller's marker record (its elements 8 and 9 the sheet's
  // sides), or null. Anchored: the camera at the configured height above the
  // sheet, the sheet's corners and the frame's other points on its plane.
  // Without a usable record, or without the sheet's four tracks, the map
  // only gets the weak scale and the tracker recovers.
  MapStart AnchorToMarker(u16 frame, const float* marker);

  static constexpr u32 kMarkerCorners = 4;

 private:
  MapStart WeakStart() const;
  // The first of the four consecutive MARKER tracks, or kNone32.
  u32 FindMarkerTracks() const;
  // Places every map-matched track of the frame but the sheet's on the plane
  // seen along its ray; rays parallel to the plane or meeting it behind the
  // camera leave the track unsolved.
  void PlaceOnPlane(const TrackerFrame& f, const f32 plane[4], u32 firstMarker);
  // The mid-way key frame's pose from its own features of inlier tracks,
  // estimated with the frame's slot as scratch.
  void EstimateMidwayKeyFrame(u16 frame);
  void WriteKeyFramePose(u16 keyFrame, const CameraPose& pose);
  // The frame at the relative pose from the first key frame, its translation
  // (of unit length) scaled to the baseline.
  void PlaceStartFrame(u16 frame, const RigidTransformation3D& relative, f32 baseline);
  // Unsolves every track and drops the tracker's own points.
  void ForgetPoints();

  TrackerContext c_;
  PoseEstimation& pose_;
  NewPoints& newPoints_;
  FrameMeasures& measures_;
  IsoStep runIso_;
  EssentialMatrixEstimator essentialEstimator_{0.5f};
  EssentialMatrixEstimatorData essentialData_;
  EssentialMatrix essential_{};
  std::vector<u16> essentialInliers_;
  std::vector<u32> matchTracks_[kPyramidLevels];
  std::vector<MapMatch> setAside_[kPyramidLevels];
  std::vector<f32> depths_;
};
