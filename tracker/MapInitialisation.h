#pragma once
// The map's start: from the first key frame and a frame far enough from it
// (the relative pose of their image matches, then points and scale), or from
// the first key frame alone anchored to the marker sheet on the ground.
#include "estimation/EssentialMatrixEstimator.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class MapInitialisation {
 public:
  explicit MapInitialisation(const TrackerContext& context) : c_(context) {}

  MapStart InitializeMap(u16 frame);
  // marker: the sheet's four corners in the image, or null.
  MapStart AnchorToMarker(u16 frame, const float* marker);

 private:
  TrackerContext c_;
  EssentialMatrixEstimator essentialEstimator_{0.5f};
};
