// Which key frames a frame is compared with: the nearby list, the key frames
// and ring frames its image is aligned to, and the relocalisation choice.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "tracker/tracker.h"

namespace {

const float kCos30 = std::cos(0.5235988f);

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

}  // namespace

void Tracker::CollectNearbyKeyFrames(u16 frame, std::vector<ScoredKeyFrame>& list,
                                     u16* nearKeyFrame, u16* parallaxKeyFrame) {
  list.clear();
  const u32 count = KeyFrameCount();
  *nearKeyFrame = *parallaxKeyFrame = kNoSlot;
  if (!tracking) {
    if (count == 0) return;
    *nearKeyFrame = static_cast<u16>(count - 1);
    list.push_back({*nearKeyFrame, 0.0f});
    return;
  }
  const CameraPose& pose = frames[frame].pose.slot[1];
  if (!IsPoseValid(pose)) return;
  const float radius = 3.0f * sceneScale;
  float c[3];
  PoseCentre(pose, c);
  const u16 provisional = (count > 0 && (working.keyFrameFlags[count - 1] & kKeyFrameWeak))
                              ? static_cast<u16>(count - 1)
                              : kNoSlot;
  for (u32 k = 0; k < count; ++k) {
    if (k == provisional) {
      list.push_back({provisional, 0.0f});
      continue;
    }
    const CameraPose& kp = working.keyFramePoses[k];
    float ck[3];
    PoseCentre(kp, ck);
    const float d = std::sqrt((c[0] - ck[0]) * (c[0] - ck[0]) + (c[1] - ck[1]) * (c[1] - ck[1]) +
                              (c[2] - ck[2]) * (c[2] - ck[2]));
    if (d <= radius && !(AxisDot(kp, pose) > kCos30)) continue;
    list.push_back({static_cast<u16>(k), d});
  }
  SortByScore(list);
  if (list.size() > 10) list.resize(10);
  u32 kept = 0;
  for (const ScoredKeyFrame& e : list) {
    if (e.keyFrame == provisional) {
      list[kept++] = e;
      continue;
    }
    const float p = ComputeParallax(e.keyFrame, frame, nullptr);
    if (p < 0.0f) continue;  // no parallax to speak of
    list[kept++] = {e.keyFrame, p};
  }
  list.resize(kept);
  SortByScore(list);
  for (const ScoredKeyFrame& e : list) {
    if (e.keyFrame == provisional) {
      *parallaxKeyFrame = provisional;
    } else if (*nearKeyFrame == kNoSlot) {
      *nearKeyFrame = e.keyFrame;
    }
  }
}

void Tracker::AlignToCandidateKeyFrames(u16 frame, const std::vector<ScoredKeyFrame>& list,
                                        u16* alignedKeyFrame, u16* alignedFrameOut) {
  candidateFrames.clear();
  for (u16 i = Next(frame); i != frame; i = Next(i)) {
    const TrackerFrame& f = frames[i];
    if (f.rejected == recovering && f.imageCoverage > 0.0f)
      candidateFrames.push_back({i, f.imageCoverage});
  }
  SortByScore(candidateFrames);
  *alignedFrameOut = kNoSlot;
  for (const ScoredKeyFrame& c : candidateFrames) {
    if (AlignFrameImage(c.keyFrame, frame)) {
      *alignedFrameOut = c.keyFrame;
      break;
    }
  }
  *alignedKeyFrame = kNoSlot;
  const CameraPose& pose = frames[frame].pose.slot[1];
  for (const ScoredKeyFrame& e : list) {
    if (tracking && IsPoseValid(pose) && AxisDot(working.keyFramePoses[e.keyFrame], pose) < kCos30)
      continue;
    float residual = 0.0f;
    if (AlignKeyFrameImage(e.keyFrame, frame, &residual)) {
      *alignedKeyFrame = e.keyFrame;
      break;
    }
  }
}

void Tracker::AlignToKeyFrameList(u16 frame, const std::vector<ScoredKeyFrame>& list,
                                  std::vector<u16>& out) {
  out.clear();
  const CameraPose& pose = frames[frame].pose.slot[1];
  for (const ScoredKeyFrame& e : list) {
    if (out.size() == 2) break;
    if (tracking && IsPoseValid(pose) && AxisDot(working.keyFramePoses[e.keyFrame], pose) < kCos30)
      continue;
    float residual = 0.0f;
    if (AlignKeyFrameImage(e.keyFrame, frame, &residual)) out.push_back(e.keyFrame);
  }
}

u16 Tracker::FindRelocalisationKeyFrame(u16 frame) {
  const u32 count = KeyFrameCount();
  const TrackerFrame& f = frames[frame];
  const CameraPose& pose = f.pose.slot[1];
  const CVD::Image<float> none;
  auto keyFrameImage = [&](u16 k) -> const CVD::BasicImage<float>& {
    return k < map->keyFrames.size() ? map->keyFrames[k].floatImage : none;
  };
  relocalisationCandidates.clear();
  if (IsPoseValid(pose)) {
    float c[3];
    PoseCentre(pose, c);
    for (u32 k = 0; k < count; ++k) {
      const CameraPose& kp = working.keyFramePoses[k];
      if (!(AxisDot(kp, pose) > kCos30)) continue;
      float ck[3];
      PoseCentre(kp, ck);
      const float d2 = (c[0] - ck[0]) * (c[0] - ck[0]) + (c[1] - ck[1]) * (c[1] - ck[1]) +
                       (c[2] - ck[2]) * (c[2] - ck[2]);
      relocalisationCandidates.push_back({static_cast<u16>(k), d2});
    }
    SortByScore(relocalisationCandidates);
    if (relocalisationCandidates.size() > 50) relocalisationCandidates.resize(50);
    for (ScoredKeyFrame& e : relocalisationCandidates)
      e.score = ImageSsdFloat(keyFrameImage(e.keyFrame), f.small.image);
  } else {
    for (u32 k = 0; k < count; ++k)
      relocalisationCandidates.push_back(
          {static_cast<u16>(k), ImageSsdFloat(keyFrameImage(static_cast<u16>(k)), f.small.image)});
  }
  SortByScore(relocalisationCandidates);
  const size_t tries = std::min<size_t>(4, relocalisationCandidates.size());
  u16 best = kNoSlot;
  float bestError = FLT_MAX;
  for (size_t i = 0; i < tries; ++i) {
    float error = FLT_MAX;
    const u16 k = relocalisationCandidates[i].keyFrame;
    if (AlignKeyFrameImage(k, frame, &error) && (best == kNoSlot || error <= bestError)) {
      best = k;
      bestError = error;
    }
  }
  if (best != kNoSlot) {
    const i32 keyNumber =
        best < map->keyFrames.size() ? static_cast<i32>(map->keyFrames[best].frameId) : -1;
    PrintLine("[%d] <-- [%d]\n", f.number, keyNumber);
  }
  return best;
}
