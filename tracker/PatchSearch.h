#pragma once
// Patch search for the map points projected into a frame, rejection of the
// outlying matches and sub-pixel refinement, and the copy of a frame's
// matches that an undone relocalisation returns to.
#include <vector>

#include "tracker/TrackerContext.h"

class PatchSearch {
 public:
  explicit PatchSearch(const TrackerContext& context) : c_(context) {}

  // Searches the selected candidates of a level around their predictions.
  void SearchMatchPatches(u16 frame, int level, std::vector<ImageMatch>& selected, float radius);
  // Drops matches whose reprojection error exceeds bound pixels.
  void RejectOutlierMatches(u16 frame, float bound);
  void RefineMatches(u16 frame);
  void SaveFrameMatches(u16 frame);
  void RestoreFrameMatches(u16 frame);

 private:
  TrackerContext c_;
  TrackerFrame saved_;  // SaveFrameMatches' copy
};
