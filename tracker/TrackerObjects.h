#pragma once
// The host's virtual objects, each carried by map points of its anchor key
// frame: registration on the current frame, removal, and the follow-up that
// keeps each object's matrix on its points as the map moves.
//
// An object's matrices hold similarities y = s (R x + t) as rows [R | t] with
// a fourth row (s, s, s, 1): transforms[0] takes object coordinates into the
// map as it stood at registration, transforms[2] is the 2-D similarity model
// from the map at registration to the map now, and transforms[1], the one the
// host is given, is the model after the registration matrix.
#include <memory>
#include <vector>

#include "estimation/SimilarityTransformationEstimator.h"
#include "tracker/TrackerRecords.h"

class FrameMeasures;
class FrameRing;
class TrackerMapView;
struct TrackerCamera;
struct TrackerContext;

// Where an object's matrices live in TrackerObject::transforms.
enum ObjectMatrix : u32 {
  kRegistrationMatrix = 0,
  kPoseMatrix = 1,
  kModelMatrix = 2,
};

class TrackerObjects {
 public:
  // A bare list, for a unit that only reads or loads it: it registers and
  // moves nothing.
  TrackerObjects();
  // The tracker's: objects on its ring frames over its view of the map.
  explicit TrackerObjects(const TrackerContext& context);
  ~TrackerObjects();
  TrackerObjects(const TrackerObjects&) = delete;
  TrackerObjects& operator=(const TrackerObjects&) = delete;

  const std::vector<TrackerObject>& List() const { return objects_; }
  std::vector<TrackerObject>& List() { return objects_; }
  void Clear() { objects_.clear(); }

  // Anchors a new object on the frame at the host's object transform
  // (map-to-object, rows [R | t] and (s, s, s, 1)). False, nothing added,
  // while recovering, without a frame or key-frame link, or when the key
  // frame shows too few usable points.
  bool RegisterObject(u16 frame, const LA::AlignedMatrix4f& objectTransform, bool recovering);
  // Removes the object at that index, later ones moving down; other indices
  // are ignored.
  void DeregisterObject(i32 index);
  // Re-fits each object's model to where its points lie now, seen from its
  // key frame and the frame; nothing moves before the map is anchored.
  void UpdateObjects(u16 frame, bool anchored);

 private:
  // The object's items into data_; the number of them the frame sees.
  u32 CollectItems(const TrackerObject& object, const CameraPose& framePose);
  void UpdateObject(TrackerObject& object, const CameraPose& framePose);

  std::vector<TrackerObject> objects_;
  // Null in a bare list.
  FrameRing* ring_ = nullptr;
  TrackerMapView* mapView_ = nullptr;
  const TrackerCamera* camera_ = nullptr;
  std::unique_ptr<FrameMeasures> measures_;

  SimilarityTransformationEstimator2D similarity2D_{0.0f};
  SimilarityTransformationEstimatorData2D data_;
  std::vector<u32> features_, inliers_, storedInliers_;
};

// The pose the host is given for a frame: its output pose when a stage set
// one, else its visual pose.
const CameraPose& OutputPose(const TrackerFrame& frame);

// The object's anchor key frame and support points from the key frame's
// feature indices: each feature's index and its track's point; false when
// none is usable.
bool SetSupportPoints(const MapWorkingCopy& w, u16 anchor, const std::vector<u32>& features,
                      TrackerObject& object);

// The pose of an object after the map moved by `model`: model after
// registration, as one similarity (scales multiplied, so the host reads the
// object's scale from the fourth row). scratch: 4 floats.
void SimilarityToObjectPose(const LA::AlignedMatrix4f& registration,
                            const LA::AlignedMatrix4f& model, LA::AlignedMatrix4f& pose,
                            float* scratch);
