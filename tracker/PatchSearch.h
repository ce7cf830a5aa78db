#pragma once
// Patch search for the map points projected into a frame, rejection of the
// outlying matches and sub-pixel refinement, and the copy of a frame's
// matches that an undone relocalisation returns to.
//
// A relocalisation attempt is the stretch from SaveFrameMatches of a frame to
// its RestoreFrameMatches (or to the search of another frame): searches of
// that frame in the meantime use the tighter SSD gate, since a pose guessed
// from a key frame draws more wrong corners into its windows.
#include <vector>

#include "tracker/TrackerContext.h"

class PatchSearch {
 public:
  explicit PatchSearch(const TrackerContext& context) : c_(context) {}

  // Scores each selected candidate's warped reference patch against the FAST
  // corners of the frame's level within radius (level pixels) of its
  // prediction; the best corner under the SSD gate becomes a match in
  // Found(). The level's lost list is emptied first; misses of RELIABLE
  // patches go to it, other misses to the end of the level's candidates.
  void SearchMatchPatches(u16 frame, int level, std::vector<ImageMatch>& selected, float radius);
  // The last search's matches, normalised with the level's intrinsics, for
  // the caller to append to the level's map matches.
  const std::vector<MapMatch>& Found() const { return found_; }
  // Drops the INLIER matches farther than bound pixels of their level from
  // the projection of their point by the frame's visual pose, or behind the
  // camera, and lets each corner keep its closest inlier match; sets the
  // frame's inlier and unsolved counts.
  void RejectOutlierMatches(u16 frame, float bound);
  // Moves every map match to its sub-pixel position; a match that fails or
  // moves 10 level pixels or more goes to the lost list (INLIER tracks) or
  // the refinement failures, at its predicted position. Once the points'
  // depths are measured, an INLIER match that ends farther from its point
  // than TrackerMapView::kFarMatchPixels is dropped (DropFarMatches).
  void RefineMatches(u16 frame);
  // Keeps a copy of the frame's matches, candidates, lost lists, counts,
  // states and poses, and opens a relocalisation attempt on it.
  void SaveFrameMatches(u16 frame);
  // Gives the saved frame back all of that and closes the attempt; a frame
  // that was not the one saved is left alone.
  void RestoreFrameMatches(u16 frame);

  // Drops the INLIER matches that the frame's visual pose puts farther than
  // TrackerMapView::kFarMatchPixels from their point, or behind the camera,
  // once two key frames have measured the points' depths.
  void DropFarMatches(TrackerFrame& f) const;

  // Level-0 gates on the zero-mean SSD: 20^2 and 15^2 grey levels per pixel.
  static constexpr i32 kSsdGate = 20 * 20 * 64;
  static constexpr i32 kRelocalisingSsdGate = 15 * 15 * 64;
  // Squared shift (level pixels) from which a refinement is not believed.
  static constexpr float kMaxRefinementShift2 = 100.0f;

 private:
  // What SaveFrameMatches keeps; the lists only grow.
  struct SavedMatches {
    u16 slot = kNone16;
    i32 number = kUnsetCounter;
    std::vector<MapMatch> mapMatches[kPyramidLevels];
    std::vector<ImageMatch> candidates[kPyramidLevels];
    std::vector<ImageMatch> lost[kPyramidLevels];
    u16 inlierCount = 0, unsolvedCount = 0;
    FrameState state{};
    FramePose pose{};
  };
  // A match's squared reprojection error, by its index in the level's list.
  struct MatchError {
    u32 index;
    float error2;
  };

  bool InRelocalisation(u16 frame) const;

  TrackerContext c_;
  SavedMatches saved_;
  bool attemptOpen_ = false;
  // Scratch, grown once and reused.
  std::vector<MapMatch> found_;
  std::vector<u32> window_;
  std::vector<u8> keep_;
  std::vector<u8> cornerUsed_;
  std::vector<MatchError> errors_;
  float templateBuffer_[160];
  float sampleBuffer_[160];
};
