#pragma once
// The tracker's side of the map's key frames: a ring frame pushed as a key
// frame (its features becoming tracks with patches) and the workers told of
// it, the newest key frame popped again, the map trimmed to its newest key
// frames, and a key-frame candidate packed for the track matcher.
#include <vector>

#include "tracker/FrameMeasures.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class KeyFrameHandOver {
 public:
  // Key frames a trim keeps, whatever the count it starts from.
  static constexpr u32 kKeptKeyFrames = 30;

  explicit KeyFrameHandOver(const TrackerContext& context);

  // --- Push and hand-over to the workers.
  // Makes the frame the map's newest key frame (the first one starts the
  // map): its map matches become measurements, the marker corners (first
  // key frame only) and its key-frame features new tracks with patches; the
  // SURF worker and, while tracking, the local adjustor hear of a normal
  // push. Later ring frames are measured and integrated from it. The new
  // key frame's index.
  u16 PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous,
                   bool firstKeyFrame, TrackingMode trackingMode);
  // Level-0 list indices of the marker corners of the first key frame, which
  // are also their track ids.
  const std::vector<u16>& MarkerCorners() const { return markerCorners_; }

  // --- Removal (KeyFrameRemoval.cpp).
  // Removes the newest key frame and every track it created from the
  // tracker's arrays and the ring. The removed key frame's index.
  u16 PopKeyFrame();
  // Waits until no worker holds an item, then keeps the newest 30 key
  // frames, renumbering the tracker's arrays, the ring and the objects. The
  // frame number of the first key frame left.
  u32 TrimKeyFrames();

  // --- The track matcher's item (TrackMatchingFill.cpp).
  void FillTrackMatchingData(u16 frame, TrackMatchingData& item);

 private:
  // The frame's matches, marker corners and key-frame features as the map's
  // input lists; the images and state of the frame.
  void BuildPushInput(const TrackerFrame& f, const float* marker, bool firstKeyFrame);
  // Record k, its features and one patch and frame match per new track.
  void AppendNewTracks(u16 frame, u16 k);
  // Later frames referenced to key frame k (and integrated from it).
  void LinkLaterFrames(u16 frame, u16 k, bool provisional, TrackingMode mode);
  u32 FirstKeyFrameNumber() const;
  // The frame's parallax, baseline and ratio against key frame k.
  void MeasureAgainst(u16 frame, u16 k, TrackingMode mode);

  TrackerContext c_;
  FrameMeasures measures_;
  KeyFrameInput input_;             // refilled at every push
  std::vector<u16> markerCorners_;  // level-0 list indices
  std::vector<u32> trackMap_;       // a trim's old track -> new track
};

// The 8x8 template with its top-left pixel at (x0, y0), each coordinate
// clamped to the image: corners on or past the border read edge pixels.
void ReadTemplateClamped(const CVD::BasicImage<u8>& image, int x0, int y0, u8 out[64]);
// Whether a host marker record (four corners, then two sides) describes a
// detected sheet: finite corners and positive sides.
bool IsMarkerRecordUsable(const float* marker);
