// The follow-up of the registered objects: a 2-D similarity between the map
// at registration and the map now, measured where the anchor key frame and
// the current frame see the objects' points, moves each object with the map.
#include <cfloat>

#include "tracker/FrameRing.h"
#include "tracker/TrackerCamera.h"
#include "tracker/TrackerMapView.h"
#include "tracker/TrackerObjects.h"

namespace {

// Visible items a re-fit needs, at least, and at least this share of the items.
constexpr u32 kMinVisibleItems = 5;
// A model explains an item within 10 pixels, as a squared normalised error
// once divided by fx fy.
constexpr float kInlierPixels2 = 100.0f;

// The normalised projection of X under the pose; false behind the camera.
bool Project(const CameraPose& pose, const MapPoint& X, LA::Vector2<float>& x) {
  float c[3];
  for (int r = 0; r < 3; ++r)
    c[r] = pose.m[r][0] * X.v[0] + pose.m[r][1] * X.v[1] + pose.m[r][2] * X.v[2] + pose.m[r][3];
  if (!(c[2] > 0.0f)) return false;
  x.x = c[0] / c[2];
  x.y = c[1] / c[2];
  return true;
}

bool Inside(const LA::Vector2<float>& x, const float bounds[4]) {
  return x.x > bounds[0] && x.x < bounds[2] && x.y > bounds[1] && x.y < bounds[3];
}

}  // namespace

void TrackerObjects::UpdateObjects(u16 frame, bool anchored) {
  if (!anchored || objects_.empty() || measures_ == nullptr || !ring_->Contains(frame)) return;
  const float fxfy = camera_->intrinsic[0].misc[0];
  similarity2D_.threshold = kInlierPixels2 / fxfy;
  data_.mseFactor = fxfy;
  const CameraPose& pose = OutputPose((*ring_)[frame]);
  for (TrackerObject& object : objects_) UpdateObject(object, pose);
}

u32 TrackerObjects::CollectItems(const TrackerObject& object, const CameraPose& framePose) {
  const MapWorkingCopy& w = mapView_->Working();
  const u32 n = object.features.Size();
  data_.sources.Resize(n);
  data_.targets.Resize(n);
  data_.measurements.Resize(2 * n);
  data_.offsets.clear();
  data_.offsets.push_back(0);
  data_.cameras.clear();
  data_.weights.clear();
  u32 items = 0, observations = 0, visible = 0;
  const u16 k = object.anchorKeyFrame;
  // A key frame trimmed away, or not pulled yet, leaves the object frozen.
  const bool linked =
      k < w.keyFramePoses.Size() && k + size_t{1} < w.keyFrameMeasurementStart.size();
  const u32 trackStart = linked ? w.keyFrameMeasurementStart[k] : 0;
  const u32 count = linked ? w.keyFrameMeasurementStart[k + 1] - trackStart : 0;
  const bool posed = IsPoseValid(framePose);
  for (u32 i = 0; i < n && i < object.points.Size(); ++i) {
    const u32 j = object.features[i];
    if (j >= count || trackStart + j >= w.measurementTracks.size()) continue;
    const u32 track = w.measurementTracks[trackStart + j];
    if (track >= w.trackFlags.size() || track >= w.points.Size() ||
        !(w.trackFlags[track] & kTrackInlier))
      continue;
    const MapPoint& X = w.points[track];
    if (!Project(w.keyFramePoses[k], X, data_.measurements[observations])) continue;
    data_.cameras.push_back(&w.keyFramePoses[k]);
    ++observations;
    if (posed && Project(framePose, X, data_.measurements[observations]) &&
        Inside(data_.measurements[observations], camera_->bounds)) {
      data_.cameras.push_back(&framePose);
      ++observations;
      ++visible;
    }
    data_.sources[items] = object.points[i];
    data_.targets[items] = X;
    data_.targets[items].v[3] = 1.0f;
    data_.offsets.push_back(observations);
    ++items;
  }
  data_.sources.Resize(items);
  data_.targets.Resize(items);
  data_.measurements.Resize(observations);
  return visible;
}

void TrackerObjects::UpdateObject(TrackerObject& object, const CameraPose& framePose) {
  if (object.transforms.Size() <= kModelMatrix) return;
  const u32 visible = CollectItems(object, framePose);
  const u32 items = data_.Size();
  // Half the items, rounded up, must be in view.
  if (visible < kMinVisibleItems || visible < (items + 1) / 2) return;
  SimilarityTransformation3D model;
  static_cast<LA::AlignedMatrix4f&>(model) = object.transforms[kModelMatrix];
  f64 error = 0.0;
  similarity2D_.VerifyModel(data_, model, storedInliers_, error);
  if (storedInliers_.size() == items) return;
  SimilarityTransformation3D refit = model;
  similarity2D_.RunLoRansac(data_, refit, inliers_);
  // The loop does not start from the stored model: a model explaining fewer
  // items than it does is no better.
  if (inliers_.size() <= storedInliers_.size()) return;
  object.transforms[kModelMatrix] = refit;
  float scratch[4];
  SimilarityToObjectPose(object.transforms[kRegistrationMatrix], refit,
                         object.transforms[kPoseMatrix], scratch);
}
