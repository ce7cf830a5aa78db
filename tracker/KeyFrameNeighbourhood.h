#pragma once
// Which key frames and ring frames a frame is compared with: the nearby key
// frames, the ring frame and key frame its image aligns with, the (at most
// two) key frames a new key frame is matched against, and the key frame a
// lost frame relocalises against. Alignment and parallax come from the stages.
#include <vector>

#include "tracker/FrameRing.h"
#include "tracker/TrackerLog.h"
#include "tracker/TrackerMapView.h"
#include "tracker/TrackerStages.h"

// The nearest key frame and, when it is in reach, the provisional one.
struct NearKeyFrames {
  u16 nearKeyFrame = kNone16;
  u16 parallaxKeyFrame = kNone16;
};

// What the frame's image was aligned with.
struct AlignedFrames {
  u16 alignedKeyFrame = kNone16;
  u16 alignedFrame = kNone16;  // a ring slot
};

class KeyFrameNeighbourhood {
 public:
  KeyFrameNeighbourhood(const FrameRing& ring, const TrackerMapView& mapView, TrackerStages& stages,
                        TrackerLog& log)
      : ring_(ring), mapView_(mapView), stages_(stages), log_(log) {}

  // Nearby(): at most 10 key frames by parallax, the provisional one first.
  // Before the map exists, the newest key frame alone.
  NearKeyFrames CollectNearbyKeyFrames(u16 frame, TrackingMode mode, f32 sceneScale);
  const std::vector<ScoredKeyFrame>& Nearby() const { return nearby_; }
  // Aligns the frame's image with the best-covered ring frame that aligns and
  // the first nearby key frame that does (while tracking, one facing the same
  // way within 30 degrees).
  AlignedFrames AlignToCandidateKeyFrames(u16 frame, TrackingMode mode);
  // MatchList(): the first two nearby key frames the frame's image aligns with.
  const std::vector<u16>& AlignToKeyFrameList(u16 frame, TrackingMode mode);
  const std::vector<u16>& MatchList() const { return matchList_; }
  void ClearMatchList() { matchList_.clear(); }
  // The key frame to relocalise against (the smallest alignment error among
  // the four most alike), or kNone16.
  u16 FindRelocalisationKeyFrame(u16 frame, bool recovering);

 private:
  // False while tracking when the key frame faces more than 30 degrees away.
  bool FacesFrame(u16 keyFrame, const CameraPose& pose, TrackingMode mode) const;

  const FrameRing& ring_;
  const TrackerMapView& mapView_;
  TrackerStages& stages_;
  TrackerLog& log_;
  std::vector<ScoredKeyFrame> nearby_;
  std::vector<u16> matchList_;
  std::vector<ScoredKeyFrame> candidateFrames_;
  std::vector<ScoredKeyFrame> relocalisationCandidates_;
};
