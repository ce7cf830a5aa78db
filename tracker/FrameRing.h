#pragma once
// The ring of the latest frames (at most 30) with one image map per slot:
// which slot a new frame takes, removal of a frame with its inertial samples
// carried on, the walks back from the current frame that the driver's
// decisions make, and the poses of the ring following a changed map.
#include <vector>

#include "features/FeatureRecords.h"
#include "features/GaussianBlur.h"
#include "tracker/TrackerCamera.h"
#include "tracker/TrackerRecords.h"

struct MapWorkingCopy;

// levels[0] := a copy of grey, each further level half-sampled from the one
// above; storage is reused while the size stays.
void BuildPyramid(const CVD::BasicImage<u8>& grey, CVD::Image<u8> (&levels)[kPyramidLevels]);

class FrameRing {
 public:
  FrameRing();

  u16 Size() const { return static_cast<u16>(frames_.size()); }
  bool Contains(u16 slot) const { return slot < frames_.size(); }
  TrackerFrame& operator[](u16 slot) { return frames_[slot]; }
  const TrackerFrame& operator[](u16 slot) const { return frames_[slot]; }
  // The image map of a slot: pixels of the current frame's alignment image
  // into that frame's.
  WarpRecord& Map(u16 slot) { return maps_[slot]; }
  const WarpRecord& Map(u16 slot) const { return maps_[slot]; }
  AlignedArray<WarpRecord>& Maps() { return maps_; }
  const AlignedArray<WarpRecord>& Maps() const { return maps_; }
  u16 Prev(u16 i) const { return static_cast<u16>((i + frames_.size() - 1) % frames_.size()); }
  u16 Next(u16 i) const { return static_cast<u16>((i + 1) % frames_.size()); }
  // The slot of the frame being processed, and of the frame before it (the
  // one it is predicted and aligned from); kNone16 in an empty ring.
  u16 Current() const { return current_; }
  u16 Reference() const { return reference_; }

  // No frames, no slots.
  void Clear();
  // Takes over a loaded ring: the frames by exchange, the maps by copy.
  void Restore(std::vector<TrackerFrame>& frames, const AlignedArray<WarpRecord>& maps, u16 current,
               u16 reference);
  // A ring of n reset frames with unset maps, the last one current.
  void ResetTo(u16 n);
  // The slot of a new frame: slot 0 alone up to the start frame; later the
  // next slot (the oldest frame is overwritten when the ring is full), or the
  // slot a removed rejected frame freed. While tracking, a rejected frame that
  // is not a key frame leaves when the next frame comes; while recovering the
  // best two of the rejected run stay and the oldest other frame leaves.
  void ChooseSlot(bool startPhase, bool tracking, bool recovering);
  // Takes frame r out: later frames move down one slot (their storage changes
  // owner, nothing is copied) and slot Current() is free. Its samples go to
  // the frame after it, whose preintegration is rebuilt over them.
  void RemoveFrame(u16 r);
  // Whether a rebuilt preintegration without readings weighs nothing
  // (TrackerOptions::ImageRatesWeighNothing).
  void SetUnweighedRates(bool on) { unweighedRates_ = on; }
  // Visits prev(from), prev(prev(from)), ... while visit(slot) returns true,
  // never reaching `from` again. Returns the slot the walk stopped at, or
  // `from` when it went all the way round.
  template <class Visit>
  u16 WalkBack(u16 from, Visit visit) const;
  // After the map changed: each frame's visual pose follows the correction of
  // the key frame at or before it (the oldest frames that of the first key
  // frame in the ring); states and predicted poses are recomputed.
  void FollowKeyFrames(const MapWorkingCopy& working, const CameraOffset& bodyToCamera);
  // Applies T after the visual pose of every rejected frame back from `from`.
  void MoveRejectedFrames(u16 from, const CameraPose& T, const CameraOffset& bodyToCamera);
  // The current frame's images from the host's: pyramid, alignment image with
  // its gradients, colour copy and small image.
  void FillImages(const TrackerInput& input, const TrackerCamera& camera);

 private:
  std::vector<TrackerFrame> frames_;
  AlignedArray<WarpRecord> maps_;  // per slot
  u16 current_ = kNone16;
  u16 reference_ = kNone16;
  bool unweighedRates_ = false;
  CVD::Image<u8> alignmentSource_;  // level 3 half-sampled
  MotionJacobianTable smallTable_;  // of the small image, rebuilt when its size changes
  GaussianScratch blur_;            // both images' blurs
};

template <class Visit>
u16 FrameRing::WalkBack(u16 from, Visit visit) const {
  u16 j = Prev(from);
  for (; j != from; j = Prev(j))
    if (!visit(j)) return j;
  return j;
}
