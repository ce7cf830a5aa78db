#pragma once
// Map matching: the map points projected into a frame, the candidates chosen
// for search per level, and the two passes of patch search.
#include <vector>

#include "tracker/PatchSearch.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class MapMatching {
 public:
  MapMatching(const TrackerContext& context, PatchSearch& search) : c_(context), search_(search) {}

  // The frame's map matches with its inlier and unsolved counts.
  void MatchMap(u16 frame, TrackingMode mode);
  void ProjectMapPoints(u16 frame);
  // Thins candidates to at most N spread over the level into selected.
  void SelectMatchCandidates(const CVD::ImageRef& levelSize, std::vector<ImageMatch>& candidates,
                             std::vector<ImageMatch>& selected, OccupancyMask& mask, i32 N);

 private:
  TrackerContext c_;
  PatchSearch& search_;
};
