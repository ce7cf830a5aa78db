#include "tracker/FrameRing.h"

#include <cvd/vision.h>

#include <cstring>
#include <utility>

#include "features/AlignmentImage.h"
#include "features/ImageMapMath.h"
#include "features/ImageRotation.h"
#include "mapping/MapExchange.h"
#include "tracker/InertialMath.h"

namespace {

void SetIdentityPose(CameraPose& pose) {
  std::memset(pose.m, 0, sizeof(pose.m));
  pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
}

// visual := visual then T; the visual state and, when asked, the predicted
// pose follow it.
void MovePose(TrackerFrame& f, const CameraPose& T, const CameraOffset& bodyToCamera,
              bool predicted) {
  float scratch[32];
  CameraPose& visual = f.pose.slot[kVisual];
  ComposePose(visual, T, visual, scratch);
  CameraToPose(f.state.record[kVisual], bodyToCamera, visual, scratch);
  if (predicted)
    PoseToCamera(f.state.record[kVisual], bodyToCamera, f.pose.slot[kPredicted], scratch);
}

}  // namespace

void BuildPyramid(const CVD::BasicImage<u8>& grey, CVD::Image<u8> (&levels)[kPyramidLevels]) {
  const CVD::ImageRef size = grey.size();
  levels[0].resize(size);
  for (int y = 0; y < size.y; ++y) std::memcpy(levels[0][y], grey[y], static_cast<size_t>(size.x));
  for (int l = 1; l < kPyramidLevels; ++l) {
    levels[l].resize(levels[l - 1].size() / 2);
    CVD::halfSample(levels[l - 1], levels[l]);
  }
}

FrameRing::FrameRing() {
  frames_.reserve(kRingCapacity);
}

void FrameRing::Clear() {
  frames_.clear();
  maps_.Clear();
  current_ = reference_ = kNone16;
}

void FrameRing::Restore(std::vector<TrackerFrame>& frames, const AlignedArray<WarpRecord>& maps,
                        u16 current, u16 reference) {
  frames_.swap(frames);
  maps_.Assign(maps);
  current_ = current;
  reference_ = reference;
}

void FrameRing::ResetTo(u16 n) {
  frames_.resize(n);
  maps_.Resize(n);
  for (u16 i = 0; i < n; ++i) {
    frames_[i].Reset();
    maps_[i].m[0] = FLT_MAX;
  }
  current_ = reference_ = n == 0 ? kNone16 : static_cast<u16>(n - 1);
}

void FrameRing::ChooseSlot(bool startPhase, bool tracking, bool recovering) {
  if (startPhase || frames_.empty() || current_ >= frames_.size()) {
    // Every frame up to the start frame lives in slot 0.
    current_ = reference_ = 0;
    if (frames_.empty()) frames_.emplace_back();
    frames_.resize(1);
    maps_.Resize(1);
    return;
  }
  const bool dropReference = tracking && reference_ < frames_.size() &&
                             frames_[reference_].rejected &&
                             frames_[reference_].keyFrame == kNone16;
  if (!dropReference) {
    reference_ = current_;
  } else if (!recovering) {
    RemoveFrame(reference_);
  } else {
    // Keep the best frames of the rejected run (by image and by combined
    // coverage) and the key frames; remove the oldest other one.
    u16 bestImage = current_, bestCombined = current_;
    u16 j = reference_;
    while (j != current_ && frames_[j].rejected) {
      if (frames_[j].imageCoverage > frames_[bestImage].imageCoverage) bestImage = j;
      if (frames_[j].combinedCoverage > frames_[bestCombined].combinedCoverage) bestCombined = j;
      j = Prev(j);
    }
    u16 removed = kNone16;
    for (u16 i = Next(j); i != current_; i = Next(i)) {
      if (frames_[i].keyFrame == kNone16 && i != bestImage && i != bestCombined) {
        removed = i;
        break;
      }
    }
    if (removed != kNone16)
      RemoveFrame(removed);
    else
      reference_ = current_;
  }
  if (reference_ != current_) return;  // RemoveFrame freed slot current_
  if (frames_.size() == kRingCapacity) {
    current_ = Next(current_);
    return;
  }
  ++current_;
  frames_.emplace_back();
  maps_.Reserve(kRingCapacity);
  maps_.Resize(static_cast<u32>(frames_.size()));
}

void FrameRing::RemoveFrame(u16 r) {
  if (r == current_ || r >= frames_.size()) return;
  TrackerFrame& removed = frames_[r];
  TrackerFrame& following = frames_[Next(r)];
  if (Prev(r) == current_) {
    // The oldest frame has no predecessor: its samples cover time before
    // anything the ring still holds.
    SetEmptyIMUDelta(following.delta[kFromPrevious]);
  } else {
    following.samples.insert(following.samples.begin(), removed.samples.begin(),
                             removed.samples.end());
    const TrackerFrame& before = frames_[Prev(r)];
    IMUSample previous;
    for (int i = 0; i < 3; ++i) {
      previous.acceleration[i] = before.lastImu[i];
      previous.rotationRate[i] = before.lastImu[3 + i];
    }
    previous.time = before.time;
    StartFrameDelta(following.samples, previous, before.lastReadingTime, following.time,
                    unweighedRates_, following.delta[kFromPrevious]);
  }
  // The removed frame's storage ends in the freed slot current_.
  for (u16 j = r; j != current_;) {
    const u16 k = Next(j);
    std::swap(frames_[j], frames_[k]);
    std::swap(maps_[j], maps_[k]);
    j = k;
  }
}

void FrameRing::FollowKeyFrames(const MapWorkingCopy& working, const CameraOffset& bodyToCamera) {
  if (Size() <= 1) return;
  const u32 keyFrameCount = working.keyFramePoses.Size();
  // A key frame's correction carries its old pose onto its new one; frames
  // follow the key frame before them, the oldest ones the first key frame.
  auto correctionOf = [&](const TrackerFrame& f, CameraPose& T) {
    const u16 k = f.keyFrame;
    if (k < keyFrameCount && (working.keyFrameFlags[k] & kKeyFrameAdjusted) &&
        IsPoseValid(f.pose.slot[kVisual]))
      ComputeRelativePose(f.pose.slot[kVisual], working.keyFramePoses[k], T);
    else
      SetIdentityPose(T);
  };
  CameraPose T;
  SetIdentityPose(T);
  for (u16 i = Next(current_); i != current_; i = Next(i)) {
    if (frames_[i].keyFrame != kNone16) {
      correctionOf(frames_[i], T);
      break;
    }
  }
  for (u16 i = Next(current_); i != current_; i = Next(i)) {
    TrackerFrame& f = frames_[i];
    if (f.keyFrame != kNone16) correctionOf(f, T);
    if (IsPoseValid(f.pose.slot[kVisual])) MovePose(f, T, bodyToCamera, true);
  }
}

void FrameRing::MoveRejectedFrames(u16 from, const CameraPose& T,
                                   const CameraOffset& bodyToCamera) {
  WalkBack(from, [&](u16 j) {
    TrackerFrame& g = frames_[j];
    if (!g.rejected) return false;
    if (IsPoseValid(g.pose.slot[kVisual])) MovePose(g, T, bodyToCamera, false);
    return true;
  });
}

void FrameRing::FillImages(const TrackerInput& input, const TrackerCamera& camera) {
  TrackerFrame& f = frames_[current_];
  BuildPyramid(input.grey, f.pyramid);
  alignmentSource_.resize(f.pyramid[3].size() / 2);
  CVD::halfSample(f.pyramid[3], alignmentSource_);
  PrepareAlignmentImage(alignmentSource_, f.alignmentImage, f.gradientImage, f.alignmentValue,
                        blur_);
  if (input.colour != nullptr && input.colour->size() == input.grey.size()) {
    f.colour.resize(input.grey.size());
    f.colour.copy_from(*input.colour);
  }
  MakeSmallImage(f.small, f.pyramid[3], camera.intrinsic[4], smallTable_, blur_);
}
