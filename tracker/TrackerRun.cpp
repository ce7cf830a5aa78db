// The road of one frame: input, initialisation or tracking, the frame's
// verdict, the choice of the next key frame, hand-over and reporting. Every
// threshold that decides whether a frame is lost, accepted, rejected or a
// key frame lives here.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "la/Random.h"
#include "optimization/IMUDelta.h"
#include "tracker/Tracker.h"

namespace {

// --- Lost and relocalised.
constexpr u32 kLostInliers = 30;          // fewer map inliers: the frame is lost
constexpr f32 kLostCoverage = 0.6f;       // more of the image lost: the same
constexpr u32 kRelocalisedInliers = 10;   // a relocalisation keeps at least this many
constexpr u32 kRecoveredInliers = 50;     // and while recovering this many
constexpr f32 kRecoveredCoverage = 0.6f;  // with no more of the image lost
// --- Rejected and key-frame candidates.
constexpr u32 kRejectedInliers = 10;     // fewer: the frame is rejected
constexpr f32 kRejectedCoverage = 0.9f;  // more lost: the same
constexpr u32 kCandidatePoints = 30;     // inliers and unsolved a candidate needs
constexpr f32 kCandidateLoss = 0.6f;     // largest lost fraction of a candidate (offset by 0.5)
constexpr f32 kRecoveringCandidateLoss = 0.3f;
constexpr f32 kCandidateMatched = 0.32f;  // least matched fraction (offset by 0.3)
constexpr u32 kProvisionalTracks = 30;  // a provisional key frame keeps at least this many inliers
constexpr f32 kPatchStatisticsRms = 20.0f;  // pixels of motion that count new patch statistics
// --- The next key frame.
constexpr f64 kMaxSpeed2 = 25.0;         // squared body speed of a key frame
constexpr f32 kKeyFrameDistance = 0.8f;  // of the scene scale, 0.6 while recovering
constexpr f32 kRecoveringKeyFrameDistance = 0.6f;
constexpr f32 kEarlierCandidateFactor = 0.7f;  // relaxes the distances for earlier frames
constexpr f32 kStrongParallax = 100.0f;        // the current frame; earlier frames 70
constexpr f32 kEarlierStrongParallax = 70.0f;
// Without readings since the last key frame only the points the key frames
// share carry the scale from one to the next. At the full parallax a room
// walk got a key frame every 2-4 s, the scales fitted on its 50-frame
// stretches after the second one differed by 23-48 %, and from the one-frame
// start the frames stood on the first key frame's points at one depth for
// 4 s; at 0.4 of it by 2-15 % on the same walks.
constexpr f32 kBlindParallaxShare = 0.4f;
constexpr u32 kFewPoints = 50;            // a frame seeing this few points ...
constexpr f32 kFewMatched = 0.08f;        // ... of a nearly unmatched image is a key frame
constexpr f32 kCloseRadius = 0.1f;        // of the scene scale
constexpr f32 kCloseAngle = 0.17453292f;  // 10 degrees
constexpr f32 kNewImageCoverage = 0.1f;   // a recovering key frame's least new fraction
constexpr u32 kDemotedMapMatches = 10;    // a key frame matching fewer is not pushed
constexpr u32 kTrimKeyFrames = 500;
// --- Initialisation.
constexpr f32 kFullParallax = 80.0f;  // parallax of full progress without an end frame
constexpr f32 kMidwayProgress = 0.5f;
// Fewer features than a tracked frame needs matches: no first key frame.
constexpr u32 kFewestStartFeatures = kRejectedInliers;

const char kKeyFrameSeparator[] =
    "****************************************************************\n";
const char kFrameSeparator[] = "----------------------------------------------------------------\n";

u32 CountKltFeatures(const TrackerFrame& f) {
  u32 n = 0;
  for (const auto& level : f.kltPixels) n += level.Size();
  return n;
}

bool SpeedOk(const TrackerFrame& f) {
  const f64* v = f.state.record[kVisual].velocity;
  return v[0] * v[0] + v[1] * v[1] + v[2] * v[2] <= kMaxSpeed2;
}

// Within the radius of each other and facing within the angle's cosine.
bool IsClose(const TrackerFrame& a, const TrackerFrame& b, float radius2, float cosBound) {
  const CameraPose& pa = a.pose.slot[kVisual];
  const CameraPose& pb = b.pose.slot[kVisual];
  if (!IsPoseValid(pa) || !IsPoseValid(pb)) return false;
  float ca[3], cb[3];
  CameraCentre(pa, ca);
  CameraCentre(pb, cb);
  const float dx = ca[0] - cb[0], dy = ca[1] - cb[1], dz = ca[2] - cb[2];
  return dx * dx + dy * dy + dz * dz <= radius2 && AxisDot(pa, pb) >= cosBound;
}

}  // namespace

void Tracker::Run(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
                  const f64 posePrior[8], CameraPose& poseOut,
                  AlignedArray<LA::AlignedVector4f>& planesOut,
                  AlignedArray<LA::AlignedMatrix4f>& objectsOut, float* parallaxOut,
                  float* progressOut, char* text, size_t textCapacity) {
  SetPoseInvalid(poseOut);
  const CVD::ImageRef size = frame.grey.size();
  if (frame.grey.data() == nullptr || size.x < 64 || size.y < 64 ||
      (camera_.width != 0 && (size.x != camera_.width || size.y != camera_.height)))
    return;
  Random::Seed(5);
  {
    ScopedTimer frameTimer(timers_, kTimerFrame);
    {
      ScopedTimer t(timers_, kTimerOH);
      InputFrame(frame, imuSamples, posePrior);
    }
    if (status_.tracking) {
      RunTrackingPhase();
      JudgeFrame();
      status_.recovering = status_.rejectedCount >= 1 ? 1 : 0;
      ChooseKeyFrame();
      HandOverKeyFrame();
    } else {
      RunInitialisationPhase(frame, parallaxOut, progressOut);
    }
    ScopedTimer t(timers_, kTimerOH);
    GetOutput(poseOut, planesOut, objectsOut);
  }
  ReportFrame(text, textCapacity);
}

void Tracker::RunTrackingPhase() {
  const u16 cur = ring_.Current();
  const u16 reference = ring_.Reference();
  TrackerFrame& f = ring_[cur];
  {
    ScopedTimer t(timers_, kTimerFE);
    stages_->DetectFastFeatures(cur);
  }
  {
    ScopedTimer t(timers_, kTimerIM);
    stages_->AlignToPreviousFrame(reference, cur);
  }
  {
    ScopedTimer t(timers_, kTimerCT);
    stages_->PredictPoseFromFrame(reference, cur);
    stages_->MatchMap(cur, Mode());
    f.mapCoverage = stages_->ComputeMapCoverage(cur);
  }
  if (f.inlierCount < kLostInliers || f.mapCoverage > kLostCoverage) TryRelocalisation(cur);
  {
    ScopedTimer t(timers_, kTimerIM);
    MatchNeighbourhood(cur);
  }
  {
    ScopedTimer t(timers_, kTimerISO);
    stages_->RunIso(cur, Mode());
  }
  {
    ScopedTimer t(timers_, kTimerMU);
    stages_->CreateNewPoints(cur, Mode());
  }
  ScopedTimer t(timers_, kTimerOH);
  f.mapCoverage = stages_->ComputeMapCoverage(cur);
  f.imageCoverage = stages_->ComputeImageCoverage(cur);
  f.combinedCoverage = stages_->ComputeCombinedCoverage(cur);
}

void Tracker::MatchNeighbourhood(u16 cur) {
  TrackerFrame& f = ring_[cur];
  const NearKeyFrames near = neighbourhood_.CollectNearbyKeyFrames(cur, Mode(), status_.sceneScale);
  f.nearKeyFrame = near.nearKeyFrame;
  f.parallaxKeyFrame = near.parallaxKeyFrame;
  const AlignedFrames aligned = neighbourhood_.AlignToCandidateKeyFrames(cur, Mode());
  f.alignedKeyFrame = aligned.alignedKeyFrame;
  status_.alignedFrame = aligned.alignedFrame;
  stages_->MatchImages(f.alignedKeyFrame, status_.alignedFrame, cur, Mode());
}

bool Tracker::TryRelocalisation(u16 cur) {
  TrackerFrame& f = ring_[cur];
  status_.relocalising = 1;
  {
    ScopedTimer t(timers_, kTimerOH);
    f.relocalisationKeyFrame =
        neighbourhood_.FindRelocalisationKeyFrame(cur, status_.recovering != 0);
  }
  bool accepted = false;
  if (f.relocalisationKeyFrame != kNone16) {
    stages_->SaveFrameMatches(cur);
    const CameraPose before = f.pose.slot[kVisual];
    const u16 nBefore = f.inlierCount;
    const f32 mBefore = f.mapCoverage;
    {
      ScopedTimer t(timers_, kTimerCT);
      stages_->RelocaliseFromKeyFrame(f.relocalisationKeyFrame, cur);
      stages_->MatchMap(cur, Mode());
      f.mapCoverage = stages_->ComputeMapCoverage(cur);
    }
    accepted = f.inlierCount >= kRelocalisedInliers && f.inlierCount >= nBefore &&
               f.mapCoverage <= mBefore;
    if (status_.recovering)
      accepted =
          accepted && f.inlierCount >= kRecoveredInliers && f.mapCoverage <= kRecoveredCoverage;
    if (!accepted) {
      stages_->RestoreFrameMatches(cur);
      f.relocalisationKeyFrame = kNone16;
      f.mapCoverage = mBefore;
    } else if (status_.recovering) {
      // The frames lost since the last good one move with the frame.
      CameraPose T;
      ComputeRelativePose(before, f.pose.slot[kVisual], T);
      ring_.MoveRejectedFrames(cur, T, camera_.bodyToCamera);
    }
  }
  status_.relocalising = 0;
  return accepted;
}

void Tracker::JudgeFrame() {
  ScopedTimer timer(timers_, kTimerOH);
  const u16 cur = ring_.Current();
  TrackerFrame& f = ring_[cur];
  if (f.inlierCount < kRejectedInliers || f.mapCoverage > kRejectedCoverage) {
    f.rejected = 1;
    ++status_.rejectedCount;
    return;
  }
  float a = (status_.recovering ? kRecoveringCandidateLoss : kCandidateLoss) - 0.5f;
  float b = kCandidateMatched;
  ring_.WalkBack(cur, [&](u16 j) {
    const TrackerFrame& g = ring_[j];
    if (g.keyFrame != kNone16) return false;
    a = std::min(a, g.mapCoverage);
    b = std::max(b, g.imageCoverage);
    return true;
  });
  const bool candidate = f.inlierCount + f.unsolvedCount >= kCandidatePoints &&
                         f.mapCoverage <= a + 0.5f && f.imageCoverage >= b - 0.3f;
  if (!candidate) return;
  f.candidate = 1;
  status_.rejectedCount = 0;
  const u16 k = mapView_.ProvisionalKeyFrame();
  if (status_.recovering && k != kNone16 &&
      (mapView_.CountKeyFrameTracks(k, kTrackInlier) < kProvisionalTracks ||
       stages_->ComputeKeyFrameOverlap(k, cur) < b - 0.3f))
    PopKeyFrame();
  if (stages_->ComputeReprojectionRms(cur, status_.referencePose) > kPatchStatisticsRms)
    UpdatePatchStatistics(cur);
}

void Tracker::ChooseKeyFrame() {
  const u16 cur = ring_.Current();
  const TrackerFrame& f = ring_[cur];
  const bool recovering = status_.recovering != 0;
  const float k = recovering ? kRecoveringKeyFrameDistance : kKeyFrameDistance;
  const float dS = k * status_.sceneScale, dR = k * status_.depthScale;
  const float r2 = status_.sceneScale * status_.sceneScale * kCloseRadius * kCloseRadius;
  const float cosBound = std::cos(kCloseAngle);
  auto score = [&](const TrackerFrame& g) { return recovering ? g.imageCoverage : g.mapCoverage; };
  auto strong = [&](const TrackerFrame& g, float parallax, float scale) {
    return g.parallax >= parallax || (g.baseline >= scale * dS && g.baselineRatio >= scale * dR) ||
           (g.inlierCount + g.unsolvedCount <= kFewPoints && g.imageCoverage <= kFewMatched);
  };
  const float share = IMUDelta::HasTranslation(f.delta[kFromKeyFrame]) ? 1.0f : kBlindParallaxShare;
  u16& chosen = status_.newKeyFrame;
  if (f.candidate && SpeedOk(f) && strong(f, share * kStrongParallax, 1.0f)) {
    // The candidate since the last key frame that lost the least.
    chosen = cur;
    float s = score(f);
    ring_.WalkBack(cur, [&](u16 j) {
      const TrackerFrame& g = ring_[j];
      if (g.keyFrame != kNone16) return false;
      if (g.candidate && strong(g, share * kEarlierStrongParallax, kEarlierCandidateFactor) &&
          SpeedOk(g) && score(g) < s && IsClose(g, f, r2, cosBound)) {
        chosen = j;
        s = score(g);
      }
      return true;
    });
  } else if (recovering && !f.candidate && f.combinedCoverage >= kNewImageCoverage && SpeedOk(f)) {
    // The rejected frame that saw the most that is new, pushed provisionally.
    chosen = cur;
    float s = f.combinedCoverage;
    ring_.WalkBack(cur, [&](u16 j) {
      const TrackerFrame& g = ring_[j];
      if (!g.rejected) return false;
      if (g.combinedCoverage > s && SpeedOk(g) && IsClose(g, f, r2, cosBound)) {
        chosen = j;
        s = g.combinedCoverage;
        if (g.keyFrame != kNone16) return false;
      }
      return true;
    });
    if (ring_[chosen].keyFrame != kNone16)
      chosen = kNone16;
    else if (mapView_.ProvisionalKeyFrame() != kNone16)
      PopKeyFrame();
  }
}

void Tracker::HandOverKeyFrame() {
  const u16 cur = ring_.Current();
  const u16 g = status_.newKeyFrame;
  const bool serverLost = status_.serverFlag != 0;
  if (g == kNone16) {
    ScopedTimer t(timers_, kTimerOH);
    links_.SendFrameMessage(ring_[cur], status_.firstKeyFrameNumber, serverLost,
                            !options_.parallel);
  } else {
    TrackerFrame& kf = ring_[g];
    {
      ScopedTimer t(timers_, kTimerOH);
      links_.SendMessage(kMessageKeyFrame, &kf, status_.firstKeyFrameNumber, serverLost, true);
    }
    {
      ScopedTimer t(timers_, kTimerIM);
      const NearKeyFrames near =
          neighbourhood_.CollectNearbyKeyFrames(g, Mode(), status_.sceneScale);
      kf.nearKeyFrame = near.nearKeyFrame;
      kf.parallaxKeyFrame = near.parallaxKeyFrame;
      const std::vector<u16>& matchList = neighbourhood_.AlignToKeyFrameList(g, Mode());
      stages_->MatchKeyFrameImages(matchList, g, Mode());
      stages_->RefineMatches(g);
      stages_->CarryKeyFrameMaps(matchList, g, cur);
    }
    if (!status_.recovering && kf.MapMatchCount() < kDemotedMapMatches) {
      kf.candidate = 0;
      kf.rejected = 1;
      status_.recovering = 1;
      status_.newKeyFrame = kNone16;
    } else {
      {
        ScopedTimer t(timers_, kTimerFE);
        stages_->DetectKltFeatures(g);
      }
      ScopedTimer t(timers_, kTimerMU);
      if (!status_.recovering) {
        PushKeyFrame(g, nullptr, PushMode::kNormal, KeyFrameCount() < 2);
        // A provisional push may have carried the count past the limit.
        if (KeyFrameCount() >= kTrimKeyFrames) {
          const u32 before = KeyFrameCount();
          status_.firstKeyFrameNumber = stages_->TrimKeyFrames();
          display_.OnKeyFramesDropped(before - KeyFrameCount());
        }
      } else {
        PushKeyFrame(g, nullptr, PushMode::kProvisional, true);
      }
    }
  }
  const TrackerFrame& f = ring_[cur];
  if (!status_.recovering && !f.rejected && f.candidate) {
    ScopedTimer t(timers_, kTimerMU);
    links_.SendToMatcher(options_.parallel != 0, [&](TrackMatchingData& item) {
      stages_->FillTrackMatchingData(cur, item);
    });
  }
}

void Tracker::RunInitialisationPhase(const TrackerInput& frame, float* parallaxOut,
                                     float* progressOut) {
  const u16 cur = ring_.Current();
  TrackerFrame& f = ring_[cur];
  const bool serverLost = status_.serverFlag != 0;
  if (status_.frameCounter <= status_.startFrame) {
    {
      ScopedTimer t(timers_, kTimerFE);
      stages_->DetectFastFeatures(cur);
      stages_->DetectKltFeatures(cur);
    }
    if (status_.frameCounter == status_.startFrame && frame.marker == nullptr &&
        CountKltFeatures(f) < kFewestStartFeatures) {
      // A blank frame (dark, or the lens covered) would be the map's first
      // key frame with no point to hold: the start waits for the next one.
      ++status_.startFrame;
      if (status_.endFrame != kUnsetCounter) ++status_.endFrame;
      log_.Print("[%d] Too few features to start the map: starting at the next frame\n", f.number);
    } else if (status_.frameCounter == status_.startFrame) {
      // The first key frame; without an end frame the marker anchors the map.
      status_.newKeyFrame = status_.alignedFrame = cur;
      {
        ScopedTimer t(timers_, kTimerMU);
        PushKeyFrame(cur, frame.marker, PushMode::kNormal, true);
        if (status_.endFrame == kUnsetCounter) {
          const MapStart start = stages_->AnchorToMarker(cur, frame.marker);
          status_.sceneScale = start.sceneScale;
          status_.depthScale = start.depthScale;
          if (start.recovering) status_.recovering = 1;
          status_.anchored = start.anchored ? 1 : 0;
          status_.tracking = 1;
          status_.endFrame = status_.frameCounter;
        }
      }
      ScopedTimer t(timers_, kTimerOH);
      links_.SendMessage(kMessageFirstKeyFrame, &f, status_.firstKeyFrameNumber, serverLost, true);
    }
    f.candidate = 1;
    return;
  }

  {
    ScopedTimer t(timers_, kTimerFE);
    stages_->DetectFastFeatures(cur);
  }
  {
    ScopedTimer t(timers_, kTimerIM);
    stages_->AlignToPreviousFrame(ring_.Reference(), cur);
    MatchNeighbourhood(cur);
    stages_->MatchKeyFrameImages(neighbourhood_.AlignToKeyFrameList(cur, Mode()), cur, Mode());
  }
  {
    ScopedTimer t(timers_, kTimerOH);
    f.parallax = stages_->ComputeParallax(0, cur, Mode(), parallaxOut);
    if (status_.endFrame == kUnsetCounter)
      status_.initProgress = f.parallax / kFullParallax;
    else
      // In double, exact: the difference of two far-apart frame numbers
      // does not fit 32 bits.
      status_.initProgress =
          static_cast<float>(static_cast<f64>(status_.frameCounter) - status_.startFrame) /
          static_cast<float>(static_cast<f64>(status_.endFrame) - status_.startFrame);
    if (progressOut != nullptr) *progressOut = status_.initProgress;
  }
  const auto prepareKeyFrame = [&] {
    status_.newKeyFrame = cur;
    {
      ScopedTimer t(timers_, kTimerIM);
      stages_->RefineMatches(cur);
    }
    {
      ScopedTimer t(timers_, kTimerFE);
      stages_->DetectKltFeatures(cur);
    }
    ScopedTimer t(timers_, kTimerOH);
    UpdatePatchStatistics(cur);
  };
  if (status_.initProgress >= kMidwayProgress && KeyFrameCount() == 1) {
    prepareKeyFrame();
    ScopedTimer t(timers_, kTimerMU);
    PushKeyFrame(cur, nullptr, PushMode::kNormal, true);
  } else if (status_.initProgress >= 1.0f) {
    prepareKeyFrame();
    MapStart start;
    {
      ScopedTimer t(timers_, kTimerMU);
      start = stages_->InitializeMap(cur);
      if (start.ok) {
        status_.sceneScale = start.sceneScale;
        status_.depthScale = start.depthScale;
        status_.tracking = 1;
        status_.endFrame = status_.frameCounter;
        PushKeyFrame(cur, nullptr, PushMode::kNormal, true);
      }
    }
    if (start.ok) {
      ScopedTimer t(timers_, kTimerOH);
      links_.SendMessage(kMessageMapInitialised, &f, status_.firstKeyFrameNumber, serverLost, true);
    } else if (start.retry) {
      // Too little parallax yet: the next frame tries again from the same
      // key frames.
      status_.newKeyFrame = kNone16;
      log_.Print("[%d] Too little parallax to start the map: trying the next frame\n", f.number);
    } else {
      // The ring is empty afterwards: the frame is neither reported nor marked.
      Reset(true);
      return;
    }
  }
  if (!status_.tracking) {
    ScopedTimer t(timers_, kTimerOH);
    links_.SendFrameMessage(f, status_.firstKeyFrameNumber, serverLost, !options_.parallel);
  }
  f.candidate = 1;
}

u16 Tracker::PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous) {
  const bool first = status_.frameCounter == status_.startFrame;
  const u16 k = stages_->PushKeyFrame(frame, marker, mode, synchronous, first, Mode());
  if (first) status_.firstKeyFrameNumber = 0;
  display_.OnKeyFramePushed(k);
  return k;
}

void Tracker::PopKeyFrame() {
  display_.OnKeyFramePopped(stages_->PopKeyFrame());
}

void Tracker::ReportFrame(char* text, size_t textCapacity) {
  timers_.Advance();
  log_.Print("%s", status_.newKeyFrame != kNone16 ? kKeyFrameSeparator : kFrameSeparator);
  if (options_.view) display_.UpdateDisplay(true);
  const int FE = timers_.MeanMilliseconds(kTimerFE), CT = timers_.MeanMilliseconds(kTimerCT),
            IM = timers_.MeanMilliseconds(kTimerIM), MU = timers_.MeanMilliseconds(kTimerMU),
            OH = timers_.MeanMilliseconds(kTimerOH), ISO = timers_.MeanMilliseconds(kTimerISO);
  const double fps = timers_.FrameRate();
  if (text != nullptr && textCapacity > 0) {
    const u16 cur = ring_.Current();
    const u32 points = ring_.Contains(cur) ? ring_[cur].inlierCount + ring_[cur].unsolvedCount : 0u;
    u32 inliers = 0;
    for (u8 flags : mapView_.Working().trackFlags) inliers += (flags & kTrackInlier) ? 1 : 0;
    std::snprintf(text, textCapacity,
                  "FPS %.2f  Frames %d  Points %d / %d\nFE %d CT %d IM %d MU %d OH %d ISO %d\n",
                  fps, static_cast<int>(KeyFrameCount()), static_cast<int>(points),
                  static_cast<int>(inliers), FE, CT, IM, MU, OH, ISO);
  }
  log_.PrintToFile("FPS %.2f, FE %d, CT %d, IM %d, MU %d, OH %d, ISO %d\n", fps, FE, CT, IM, MU, OH,
                   ISO);
  if (stateFile_.Due(status_.frameCounter)) {
    SaveStateIfRequested();
    OnKeyDown(27);
  }
}
