#include "tracker/KeyFrameNeighbourhood.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "features/AlignmentImage.h"

namespace {

const float kCos30 = std::cos(0.5235988f);
constexpr size_t kNearbyLimit = 10;
constexpr size_t kMatchListLimit = 2;
constexpr size_t kRelocalisationCandidates = 50;
constexpr size_t kRelocalisationTries = 4;

// Stable insertion sort by score: the lists are short (at most 50 after the
// cut, 30 ring frames) and must not allocate per frame.
void SortByScore(std::vector<ScoredKeyFrame>& list) {
  for (size_t i = 1; i < list.size(); ++i) {
    const ScoredKeyFrame e = list[i];
    size_t j = i;
    for (; j > 0 && e.score < list[j - 1].score; --j) list[j] = list[j - 1];
    list[j] = e;
  }
}

float SquaredDistance(const float a[3], const float b[3]) {
  return (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
         (a[2] - b[2]) * (a[2] - b[2]);
}

}  // namespace

bool KeyFrameNeighbourhood::FacesFrame(u16 keyFrame, const CameraPose& pose,
                                       TrackingMode mode) const {
  return !(mode.tracking && IsPoseValid(pose) &&
           AxisDot(mapView_.Working().keyFramePoses[keyFrame], pose) < kCos30);
}

NearKeyFrames KeyFrameNeighbourhood::CollectNearbyKeyFrames(u16 frame, TrackingMode mode,
                                                            f32 sceneScale) {
  nearby_.clear();
  NearKeyFrames links;
  const u32 count = mapView_.KeyFrameCount();
  if (!mode.tracking) {
    if (count == 0) return links;
    links.nearKeyFrame = static_cast<u16>(count - 1);
    // Until the map starts the first key frame leads: the start pairs the
    // frame with its features, and the mid-way key frame only carries its
    // own new tracks.
    nearby_.push_back({0, 0.0f});
    if (count > 1) nearby_.push_back({links.nearKeyFrame, 0.0f});
    return links;
  }
  const CameraPose& pose = ring_[frame].pose.slot[kVisual];
  if (!IsPoseValid(pose)) return links;
  const float radius = 3.0f * sceneScale;
  float c[3];
  CameraCentre(pose, c);
  const u16 provisional = mapView_.ProvisionalKeyFrame();
  for (u32 k = 0; k < count; ++k) {
    if (k == provisional) {
      nearby_.push_back({provisional, 0.0f});
      continue;
    }
    const CameraPose& kp = mapView_.Working().keyFramePoses[k];
    float ck[3];
    CameraCentre(kp, ck);
    const float d = std::sqrt(SquaredDistance(c, ck));
    if (d <= radius && !(AxisDot(kp, pose) > kCos30)) continue;
    nearby_.push_back({static_cast<u16>(k), d});
  }
  SortByScore(nearby_);
  if (nearby_.size() > kNearbyLimit) nearby_.resize(kNearbyLimit);
  u32 kept = 0;
  for (const ScoredKeyFrame& e : nearby_) {
    if (e.keyFrame == provisional) {
      nearby_[kept++] = e;
      continue;
    }
    const float p = stages_.ComputeParallax(e.keyFrame, frame, mode, nullptr);
    if (p < 0.0f) continue;  // no parallax to speak of
    nearby_[kept++] = {e.keyFrame, p};
  }
  nearby_.resize(kept);
  SortByScore(nearby_);
  for (const ScoredKeyFrame& e : nearby_) {
    if (e.keyFrame == provisional) {
      links.parallaxKeyFrame = provisional;
    } else if (links.nearKeyFrame == kNone16) {
      links.nearKeyFrame = e.keyFrame;
    }
  }
  return links;
}

AlignedFrames KeyFrameNeighbourhood::AlignToCandidateKeyFrames(u16 frame, TrackingMode mode) {
  AlignedFrames aligned;
  candidateFrames_.clear();
  for (u16 i = ring_.Next(frame); i != frame; i = ring_.Next(i)) {
    const TrackerFrame& f = ring_[i];
    if ((f.rejected != 0) == mode.recovering && f.imageCoverage > 0.0f)
      candidateFrames_.push_back({i, f.imageCoverage});
  }
  SortByScore(candidateFrames_);
  for (const ScoredKeyFrame& c : candidateFrames_) {
    if (stages_.AlignFrameImage(c.keyFrame, frame)) {
      aligned.alignedFrame = c.keyFrame;
      break;
    }
  }
  const CameraPose& pose = ring_[frame].pose.slot[kVisual];
  for (const ScoredKeyFrame& e : nearby_) {
    if (!FacesFrame(e.keyFrame, pose, mode)) continue;
    float residual = 0.0f;
    if (stages_.AlignKeyFrameImage(e.keyFrame, frame, KeyFrameAlignment::kTracking, &residual)) {
      aligned.alignedKeyFrame = e.keyFrame;
      break;
    }
  }
  return aligned;
}

const std::vector<u16>& KeyFrameNeighbourhood::AlignToKeyFrameList(u16 frame, TrackingMode mode) {
  matchList_.clear();
  const CameraPose& pose = ring_[frame].pose.slot[kVisual];
  for (const ScoredKeyFrame& e : nearby_) {
    if (matchList_.size() == kMatchListLimit) break;
    if (!FacesFrame(e.keyFrame, pose, mode)) continue;
    float residual = 0.0f;
    if (stages_.AlignKeyFrameImage(e.keyFrame, frame, KeyFrameAlignment::kTracking, &residual))
      matchList_.push_back(e.keyFrame);
  }
  return matchList_;
}

u16 KeyFrameNeighbourhood::FindRelocalisationKeyFrame(u16 frame, bool recovering) {
  const u32 count = mapView_.KeyFrameCount();
  const TrackerFrame& f = ring_[frame];
  const CameraPose& pose = f.pose.slot[kVisual];
  std::vector<ScoredKeyFrame>& candidates = relocalisationCandidates_;
  candidates.clear();
  if (IsPoseValid(pose)) {
    float c[3];
    CameraCentre(pose, c);
    for (u32 k = 0; k < count; ++k) {
      const CameraPose& kp = mapView_.Working().keyFramePoses[k];
      if (!(AxisDot(kp, pose) > kCos30)) continue;
      float ck[3];
      CameraCentre(kp, ck);
      candidates.push_back({static_cast<u16>(k), SquaredDistance(c, ck)});
    }
    SortByScore(candidates);
    if (candidates.size() > kRelocalisationCandidates) candidates.resize(kRelocalisationCandidates);
    // A key frame keeps the alignment image of the frame it was made from:
    // only the frame's own alignment image compares with it.
    for (ScoredKeyFrame& e : candidates)
      e.score = ImageSsdFloat(mapView_.KeyFrameImage(e.keyFrame), f.alignmentImage);
  } else {
    for (u32 k = 0; k < count; ++k)
      candidates.push_back(
          {static_cast<u16>(k),
           ImageSsdFloat(mapView_.KeyFrameImage(static_cast<u16>(k)), f.alignmentImage)});
  }
  SortByScore(candidates);
  // A stale map of the key frame would pull a recovering frame astray.
  const KeyFrameAlignment start =
      recovering ? KeyFrameAlignment::kRecovering : KeyFrameAlignment::kRelocalising;
  const size_t tries = std::min(kRelocalisationTries, candidates.size());
  u16 best = kNone16;
  float bestError = FLT_MAX;
  for (size_t i = 0; i < tries; ++i) {
    float error = FLT_MAX;
    const u16 k = candidates[i].keyFrame;
    if (stages_.AlignKeyFrameImage(k, frame, start, &error) &&
        (best == kNone16 || error <= bestError)) {
      best = k;
      bestError = error;
    }
  }
  if (best != kNone16) log_.Print("[%d] <-- [%d]\n", f.number, mapView_.KeyFrameNumber(best));
  return best;
}
