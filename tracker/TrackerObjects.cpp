// Registration and removal of the host's objects, and the pose algebra they
// share with the follow-up.
#include "tracker/TrackerObjects.h"

#include <cfloat>
#include <cmath>

#include "tracker/FrameMeasures.h"
#include "tracker/TrackerContext.h"

namespace {

// The first key-frame link of the frame, in the order of trust: the key
// frame its image aligned with, the nearest, the relocalisation's, the
// inertial one.
u16 AnchorKeyFrame(const TrackerFrame& f) {
  for (const u16 k : {f.alignedKeyFrame, f.nearKeyFrame, f.relocalisationKeyFrame, f.imuKeyFrame})
    if (k != kNone16) return k;
  return kNone16;
}

// A similarity the inverse of which exists and is finite.
bool IsUsableSimilarity(const LA::AlignedMatrix4f& T) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      if (!std::isfinite(T.m[r][c])) return false;
  return T.m[3][0] > FLT_EPSILON;
}

void SetIdentitySimilarity(LA::AlignedMatrix4f& T) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) T.m[r][c] = (r == c) ? 1.0f : 0.0f;
  T.m[3][0] = T.m[3][1] = T.m[3][2] = 1.0f;
}

}  // namespace

TrackerObjects::TrackerObjects() = default;

TrackerObjects::TrackerObjects(const TrackerContext& context)
    : ring_(&context.ring),
      mapView_(&context.mapView),
      camera_(&context.camera),
      measures_(std::make_unique<FrameMeasures>(context)) {
  similarity2D_.maxIterations = 100;
  similarity2D_.minIterations = 20;
}

TrackerObjects::~TrackerObjects() = default;

bool TrackerObjects::RegisterObject(u16 frame, const LA::AlignedMatrix4f& objectTransform,
                                    bool recovering) {
  // No current frame: before the first frame and after a reset.
  if (recovering || measures_ == nullptr || !ring_->Contains(frame)) return false;
  if (!IsUsableSimilarity(objectTransform)) return false;
  const u16 anchor = AnchorKeyFrame((*ring_)[frame]);
  if (anchor == kNone16) return false;
  u16 plane = kNone16;
  if (!measures_->FindDominantPlaneFeatures(anchor, frame, features_, plane)) return false;

  TrackerObject object;
  if (!SetSupportPoints(mapView_->Working(), anchor, features_, object)) return false;

  object.transforms.Resize(3);
  float scratch[4];
  InvertSimilarityTransform(&objectTransform.m[0][0],
                            &object.transforms[kRegistrationMatrix].m[0][0], scratch);
  object.transforms[kPoseMatrix] = object.transforms[kRegistrationMatrix];
  SetIdentitySimilarity(object.transforms[kModelMatrix]);
  object.scale = 1.0f;
  objects_.push_back(std::move(object));
  return true;
}

void TrackerObjects::DeregisterObject(i32 index) {
  if (index < 0 || static_cast<size_t>(index) >= objects_.size()) return;
  objects_.erase(objects_.begin() + index);
}

const CameraPose& OutputPose(const TrackerFrame& frame) {
  const CameraPose& output = frame.pose.slot[kOutput];
  return IsPoseValid(output) ? output : frame.pose.slot[kVisual];
}

void SimilarityToObjectPose(const LA::AlignedMatrix4f& registration,
                            const LA::AlignedMatrix4f& model, LA::AlignedMatrix4f& pose,
                            float* scratch) {
  // model (s_m (R_m y + t_m)) after registration (s_g (R_g x + t_g)) is
  // s_m s_g (R_m R_g x + R_m t_g + t_m / s_g).
  const float sg = registration.m[3][0], sm = model.m[3][0];
  LA::AlignedMatrix4f out;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      out.m[r][c] = model.m[r][0] * registration.m[0][c] + model.m[r][1] * registration.m[1][c] +
                    model.m[r][2] * registration.m[2][c];
    scratch[r] = model.m[r][0] * registration.m[0][3] + model.m[r][1] * registration.m[1][3] +
                 model.m[r][2] * registration.m[2][3];
    out.m[r][3] = scratch[r] + model.m[r][3] / sg;
  }
  // The scale stays in the fourth row: the host reads the object's size there.
  out.m[3][0] = out.m[3][1] = out.m[3][2] = sm * sg;
  out.m[3][3] = 1.0f;
  pose = out;
}

bool SetSupportPoints(const MapWorkingCopy& w, u16 anchor, const std::vector<u32>& features,
                      TrackerObject& object) {
  const u32 trackStart = w.keyFrameMeasurementStart[anchor];
  object.anchorKeyFrame = anchor;
  object.features.Resize(static_cast<u32>(features.size()));
  object.points.Resize(static_cast<u32>(features.size()));
  u32 n = 0;
  for (const u32 j : features) {
    const u32 track = w.measurementTracks[trackStart + j];
    // The index must survive its 16 bits and name a point.
    if (j >= kNone16 || track >= w.points.Size()) continue;
    object.features[n] = static_cast<u16>(j);
    object.points[n] = w.points[track];
    object.points[n].v[3] = 1.0f;
    ++n;
  }
  object.features.Resize(n);
  object.points.Resize(n);
  return n != 0;
}
