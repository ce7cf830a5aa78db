#pragma once
// The host's virtual objects, each carried by map points of its anchor key
// frame: registration on the current frame, removal, and the follow-up that
// keeps each object's matrix on its points as the map moves.
#include <vector>

#include "estimation/SimilarityTransformationEstimator.h"
#include "tracker/TrackerRecords.h"

class TrackerObjects {
 public:
  const std::vector<TrackerObject>& List() const { return objects_; }
  std::vector<TrackerObject>& List() { return objects_; }
  void Clear() { objects_.clear(); }
  // Anchors a new object on the frame; false when refused.
  bool RegisterObject(u16 frame);
  // Removes the object at that index; other indices are ignored.
  void DeregisterObject(u32 index);
  // Brings every object's matrix up to date for the frame.
  void UpdateObjects(u16 frame);

 private:
  std::vector<TrackerObject> objects_;
  SimilarityTransformationEstimator2D similarity2D_{0.0f};
};
