// The road of one frame: input, initialisation or tracking, the frame's
// verdict, the choice of the next key frame, hand-over and reporting. Every
// threshold that decides whether a frame is lost, rejected or a key frame
// lives here; the stages themselves are members defined elsewhere.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "la/Homography.h"
#include "la/Random.h"
#include "tracker/tracker.h"

namespace {

const char kKeyFrameSeparator[] =
    "****************************************************************\n";
const char kFrameSeparator[] = "----------------------------------------------------------------\n";

}  // namespace

void Tracker::Run(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
                  const f64 posePrior[8], CameraPose& poseOut,
                  AlignedArray<LA::AlignedVector4f>& planesOut,
                  AlignedArray<LA::AlignedMatrix4f>& objectsOut, float* parallaxOut,
                  float* progressOut, char* text, size_t textCapacity) {
  poseOut.m[0][0] = FLT_MAX;
  const CVD::ImageRef size = frame.grey.size();
  if (frame.grey.data() == nullptr || size.x < 64 || size.y < 64 ||
      (width != 0 && (size.x != width || size.y != height)))
    return;
  Random::Seed(5);
  StartTimer(kTimerFrame);
  StartTimer(kTimerOH);
  InputFrame(frame, imuSamples, posePrior);
  StopTimer(kTimerOH);

  if (tracking) {
    RunTrackingPhase();
    JudgeFrame();
    recovering = rejectedCount >= 1 ? 1 : 0;
    ChooseKeyFrame();
    HandOverKeyFrame();
  } else {
    RunInitialisationPhase(frame, parallaxOut, progressOut);
  }

  StartTimer(kTimerOH);
  GetOutput(poseOut, planesOut, objectsOut);
  StopTimer(kTimerOH);
  StopTimer(kTimerFrame);
  ReportFrame(text, textCapacity);
}

void Tracker::RunTrackingPhase() {
  const u16 cur = currentFrame;
  TrackerFrame& f = frames[cur];
  StartTimer(kTimerFE);
  DetectFastFeatures(cur);
  StopTimer(kTimerFE);
  StartTimer(kTimerIM);
  AlignToPreviousFrame(referenceFrame, cur);
  StopTimer(kTimerIM);
  StartTimer(kTimerCT);
  PredictPoseFromFrame(referenceFrame, cur);
  MatchMap(cur);
  f.mapCoverage = ComputeMapCoverage(cur);
  StopTimer(kTimerCT);

  relocalising = (f.inlierCount < 30 || f.mapCoverage > 0.6f) ? 1 : 0;
  if (relocalising) {
    StartTimer(kTimerOH);
    f.relocalisationKeyFrame = FindRelocalisationKeyFrame(cur);
    StopTimer(kTimerOH);
    if (f.relocalisationKeyFrame != kNoSlot) {
      SaveFrameMatches(cur);
      const u16 nBefore = f.inlierCount;
      const f32 mBefore = f.mapCoverage;
      StartTimer(kTimerCT);
      RelocaliseFromKeyFrame(f.relocalisationKeyFrame, cur);
      MatchMap(cur);
      f.mapCoverage = ComputeMapCoverage(cur);
      StopTimer(kTimerCT);
      bool accepted = f.inlierCount >= 10 && f.inlierCount >= nBefore && f.mapCoverage <= mBefore;
      if (recovering) accepted = accepted && f.inlierCount >= 50 && f.mapCoverage <= 0.6f;
      if (!accepted) {
        RestoreFrameMatches(cur);
        f.relocalisationKeyFrame = kNoSlot;
        f.mapCoverage = mBefore;
      } else if (recovering) {
        // Re-express the frames lost since the last good one.
        CameraPose T;
        ComputeRelativePose(savedFrame.pose.slot[1], f.pose.slot[1], T);
        float scratch[32];
        for (u16 j = Prev(cur); j != cur && frames[j].rejected; j = Prev(j)) {
          TrackerFrame& g = frames[j];
          if (!IsPoseValid(g.pose.slot[1])) continue;
          ComposePose(g.pose.slot[1], T, g.pose.slot[1], scratch);
          CameraToPose(g.state.record[1], bodyToCamera, g.pose.slot[1], scratch);
        }
      }
    }
    relocalising = 0;
  }

  StartTimer(kTimerIM);
  CollectNearbyKeyFrames(cur, nearbyKeyFrames, &f.nearKeyFrame, &f.parallaxKeyFrame);
  AlignToCandidateKeyFrames(cur, nearbyKeyFrames, &f.alignedKeyFrame, &alignedFrame);
  MatchImages(f.alignedKeyFrame, &alignedFrame, cur);
  StopTimer(kTimerIM);
  StartTimer(kTimerISO);
  RunIso(cur);
  StopTimer(kTimerISO);
  StartTimer(kTimerMU);
  CreateNewPoints(cur);
  StopTimer(kTimerMU);
  StartTimer(kTimerOH);
  f.mapCoverage = ComputeMapCoverage(cur);
  f.imageCoverage = ComputeImageCoverage(cur);
  f.combinedCoverage = ComputeCombinedCoverage(cur);
}

void Tracker::JudgeFrame() {
  const u16 cur = currentFrame;
  TrackerFrame& f = frames[cur];
  if (f.inlierCount < 10 || f.mapCoverage > 0.9f) {
    f.rejected = 1;
    ++rejectedCount;
    StopTimer(kTimerOH);
    return;
  }
  float a = (recovering ? 0.3f : 0.6f) - 0.5f;
  float b = 0.32f;
  for (u16 j = Prev(cur); j != cur && frames[j].keyFrame == kNoSlot; j = Prev(j)) {
    a = std::min(a, frames[j].mapCoverage);
    b = std::max(b, frames[j].imageCoverage);
  }
  const bool candidate = f.inlierCount + f.unsolvedCount >= 30 && f.mapCoverage <= a + 0.5f &&
                         f.imageCoverage >= b - 0.3f;
  if (candidate) {
    f.candidate = 1;
    rejectedCount = 0;
    const u32 count = KeyFrameCount();
    if (recovering && count > 0) {
      const u16 k = static_cast<u16>(count - 1);
      if ((working.keyFrameFlags[k] & kKeyFrameWeak) &&
          (CountKeyFrameTracks(k, 2) < 30 || ComputeKeyFrameOverlap(k, cur) < b - 0.3f))
        PopKeyFrame();
    }
    if (ComputeReprojectionRms(cur, referencePose) > 20.0f) UpdatePatchStatistics(cur);
  }
  StopTimer(kTimerOH);
}

bool Tracker::SpeedOk(u16 slot) const {
  const f64* v = frames[slot].state.record[1].velocity;
  return v[0] * v[0] + v[1] * v[1] + v[2] * v[2] <= 25.0;
}

bool Tracker::IsClose(u16 a, u16 b, float radius2, float cosBound) const {
  const CameraPose& pa = frames[a].pose.slot[1];
  const CameraPose& pb = frames[b].pose.slot[1];
  if (!IsPoseValid(pa) || !IsPoseValid(pb)) return false;
  float ca[3], cb[3];
  PoseCentre(pa, ca);
  PoseCentre(pb, cb);
  const float dx = ca[0] - cb[0], dy = ca[1] - cb[1], dz = ca[2] - cb[2];
  return dx * dx + dy * dy + dz * dz <= radius2 && AxisDot(pa, pb) >= cosBound;
}

void Tracker::ChooseKeyFrame() {
  const u16 cur = currentFrame;
  const TrackerFrame& f = frames[cur];
  const float k = recovering ? 0.6f : 0.8f;
  const float dS = k * sceneScale, dR = k * depthScale;
  const float r2 = sceneScale * sceneScale * 0.1f * 0.1f;
  const float cosBound = std::cos(0.17453292f);
  auto score = [&](const TrackerFrame& g) { return recovering ? g.imageCoverage : g.mapCoverage; };
  auto strong = [&](const TrackerFrame& g, float parallax, float scale) {
    return g.parallax >= parallax || (g.baseline >= scale * dS && g.baselineRatio >= scale * dR) ||
           (g.inlierCount + g.unsolvedCount <= 50 && g.imageCoverage <= 0.08f);
  };
  if (f.candidate && SpeedOk(cur) && strong(f, 100.0f, 1.0f)) {
    newKeyFrame = cur;
    float s = score(f);
    for (u16 j = Prev(cur); j != cur && frames[j].keyFrame == kNoSlot; j = Prev(j)) {
      const TrackerFrame& g = frames[j];
      if (g.candidate && strong(g, 70.0f, 0.7f) && SpeedOk(j) && score(g) < s &&
          IsClose(j, cur, r2, cosBound)) {
        newKeyFrame = j;
        s = score(g);
      }
    }
  } else if (recovering && !f.candidate && f.combinedCoverage >= 0.1f && SpeedOk(cur)) {
    newKeyFrame = cur;
    float s = f.combinedCoverage;
    for (u16 j = Prev(cur); j != cur && frames[j].rejected; j = Prev(j)) {
      const TrackerFrame& g = frames[j];
      if (g.combinedCoverage > s && SpeedOk(j) && IsClose(j, cur, r2, cosBound)) {
        newKeyFrame = j;
        s = g.combinedCoverage;
        if (g.keyFrame != kNoSlot) break;
      }
    }
    const u32 count = KeyFrameCount();
    if (frames[newKeyFrame].keyFrame != kNoSlot) {
      newKeyFrame = kNoSlot;
    } else if (count > 0 && (working.keyFrameFlags[count - 1] & kKeyFrameWeak)) {
      PopKeyFrame();
    }
  }
}

void Tracker::HandOverKeyFrame() {
  const u16 cur = currentFrame;
  if (newKeyFrame == kNoSlot) {
    StartTimer(kTimerOH);
    if (frames[cur].number >= lastSentFrame + 3) SendMessage(0, cur, !parallel);
    StopTimer(kTimerOH);
  } else {
    const u16 g = newKeyFrame;
    TrackerFrame& kf = frames[g];
    StartTimer(kTimerOH);
    SendMessage(3, g, true);
    StopTimer(kTimerOH);
    StartTimer(kTimerIM);
    CollectNearbyKeyFrames(g, nearbyKeyFrames, &kf.nearKeyFrame, &kf.parallaxKeyFrame);
    AlignToKeyFrameList(g, nearbyKeyFrames, keyFrameMatchList);
    MatchKeyFrameImages(keyFrameMatchList, g);
    RefineMatches(g);
    CarryKeyFrameMaps(keyFrameMatchList, g, cur);
    StopTimer(kTimerIM);
    if (!recovering && kf.MapMatchCount() < 10) {
      kf.candidate = 0;
      kf.rejected = 1;
      recovering = 1;
      newKeyFrame = kNoSlot;
    } else {
      StartTimer(kTimerFE);
      DetectKltFeatures(g);
      StopTimer(kTimerFE);
      StartTimer(kTimerMU);
      if (!recovering) {
        PushKeyFrame(g, nullptr, 0, KeyFrameCount() < 2);
        // A provisional push may have carried the count past the limit.
        if (KeyFrameCount() >= 500) TrimKeyFrames();
      } else {
        PushKeyFrame(g, nullptr, 2, true);
      }
      StopTimer(kTimerMU);
    }
  }
  const TrackerFrame& f = frames[cur];
  if (!recovering && !f.rejected && f.candidate) {
    StartTimer(kTimerMU);
    SendToMatcher(cur);
    StopTimer(kTimerMU);
  }
}

void Tracker::RunInitialisationPhase(const TrackerInput& frame, float* parallaxOut,
                                     float* progressOut) {
  const u16 cur = currentFrame;
  bool wasReset = false;
  if (startFrame < frameCounter) {
    TrackerFrame& f = frames[cur];
    StartTimer(kTimerFE);
    DetectFastFeatures(cur);
    StopTimer(kTimerFE);
    StartTimer(kTimerIM);
    AlignToPreviousFrame(referenceFrame, cur);
    CollectNearbyKeyFrames(cur, nearbyKeyFrames, &f.nearKeyFrame, &f.parallaxKeyFrame);
    AlignToCandidateKeyFrames(cur, nearbyKeyFrames, &f.alignedKeyFrame, &alignedFrame);
    MatchImages(f.alignedKeyFrame, &alignedFrame, cur);
    AlignToKeyFrameList(cur, nearbyKeyFrames, keyFrameMatchList);
    MatchKeyFrameImages(keyFrameMatchList, cur);
    StopTimer(kTimerIM);
    StartTimer(kTimerOH);
    f.parallax = ComputeParallax(0, cur, parallaxOut);
    if (endFrame == kUnsetCounter)
      initProgress = f.parallax / 80.0f;
    else
      initProgress =
          static_cast<float>(frameCounter - startFrame) / static_cast<float>(endFrame - startFrame);
    if (progressOut != nullptr) *progressOut = initProgress;
    StopTimer(kTimerOH);
    auto prepareKeyFrame = [&]() {
      newKeyFrame = cur;
      StartTimer(kTimerIM);
      RefineMatches(cur);
      StopTimer(kTimerIM);
      StartTimer(kTimerFE);
      DetectKltFeatures(cur);
      StopTimer(kTimerFE);
      StartTimer(kTimerOH);
      UpdatePatchStatistics(cur);
      StopTimer(kTimerOH);
    };
    if (initProgress >= 0.5f && KeyFrameCount() == 1) {
      prepareKeyFrame();
      StartTimer(kTimerMU);
      PushKeyFrame(cur, nullptr, 0, true);
      StopTimer(kTimerMU);
    } else if (initProgress >= 1.0f) {
      prepareKeyFrame();
      StartTimer(kTimerMU);
      const bool initialised = InitializeMap(cur);
      if (initialised) {
        tracking = 1;
        endFrame = frameCounter;
        PushKeyFrame(cur, nullptr, 0, true);
      }
      StopTimer(kTimerMU);
      if (initialised) {
        StartTimer(kTimerOH);
        SendMessage(2, cur, true);
        StopTimer(kTimerOH);
      } else {
        Reset(true);
        wasReset = true;
      }
    }
    if (!tracking && !wasReset) {
      StartTimer(kTimerOH);
      if (frames[cur].number >= lastSentFrame + 3) SendMessage(0, cur, !parallel);
      StopTimer(kTimerOH);
    }
  } else {
    StartTimer(kTimerFE);
    DetectFastFeatures(cur);
    DetectKltFeatures(cur);
    StopTimer(kTimerFE);
    if (frameCounter == startFrame) {
      newKeyFrame = alignedFrame = cur;
      StartTimer(kTimerMU);
      PushKeyFrame(cur, frame.marker, 0, true);
      if (endFrame == kUnsetCounter) {
        AnchorToMarker(cur, frame.marker);
        tracking = 1;
        endFrame = frameCounter;
      }
      StopTimer(kTimerMU);
      StartTimer(kTimerOH);
      SendMessage(1, cur, true);
      StopTimer(kTimerOH);
    }
  }
  if (!wasReset && currentFrame < frames.size()) frames[currentFrame].candidate = 1;
}

void Tracker::ReportFrame(char* text, size_t textCapacity) {
  for (TimerStats& t : timers) t.Advance();
  PrintLine("%s", newKeyFrame != kNoSlot ? kKeyFrameSeparator : kFrameSeparator);
  if (view) UpdateDisplay(true);
  int means[6];
  for (int i = 0; i < 6; ++i) means[i] = static_cast<int>(timers[kTimerFE + i].mean * 1000.0);
  const double fps = timers[kTimerFrame].Rate();
  if (text != nullptr && textCapacity > 0) {
    u32 points = 0;
    if (currentFrame < frames.size())
      points = frames[currentFrame].inlierCount + frames[currentFrame].unsolvedCount;
    u32 inliers = 0;
    for (u8 flags : working.trackFlags) inliers += (flags & kTrackInlier) ? 1 : 0;
    std::snprintf(text, textCapacity,
                  "FPS %.2f  Frames %d  Points %d / %d\nFE %d CT %d IM %d MU %d OH %d ISO %d\n",
                  fps, static_cast<int>(KeyFrameCount()), static_cast<int>(points),
                  static_cast<int>(inliers), means[0], means[1], means[2], means[3], means[4],
                  means[5]);
  }
  if (logFile != nullptr) {
    std::fprintf(logFile, "FPS %.2f, FE %d, CT %d, IM %d, MU %d, OH %d, ISO %d\n", fps, means[0],
                 means[1], means[2], means[3], means[4], means[5]);
    std::fflush(logFile);
  }
  if (!stateFileName.empty() && frameCounter == testFrame) {
    SaveStateIfRequested();
    OnKeyDown(27);
  }
}
