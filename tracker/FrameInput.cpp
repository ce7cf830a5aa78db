// The first stage of every frame: ring slot, map pull, images, inertial
// state, and the marker phase before the start frame.
#include <cfloat>

#include "tracker/Tracker.h"

void Tracker::InputFrame(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
                         const f64 posePrior[8]) {
  // A run of 2^31 frames numbers the rest with its last counter.
  if (status_.frameCounter < kLastFrameCounter) ++status_.frameCounter;
  const i32 counter = status_.frameCounter;
  ring_.ChooseSlot(counter <= status_.startFrame, status_.tracking != 0, status_.recovering != 0);
  status_.alignedFrame = status_.newKeyFrame = kNone16;
  status_.relocalising = 0;
  SynchronizeMap();

  const u16 cur = ring_.Current();
  TrackerFrame& f = ring_[cur];
  f.Reset();
  f.number = counter;
  ring_.FillImages(frame, camera_);
  if (counter > status_.startFrame) {
    // A host's attitude is taken in a level world; a map that started
    // without one has its own, and gravity read off later attitudes in it
    // would pull every frame against the map's fixed first key frame.
    static const f64 kNoPrior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
    const f64* prior = status_.levelled ? posePrior : kNoPrior;
    stages_->PredictFromImu(ring_.Reference(), cur, imuSamples, prior, frame.time);
  } else {
    if (counter == status_.startFrame)
      status_.levelled = posePrior != nullptr && posePrior[7] != DBL_MAX ? 1 : 0;
    stages_->StoreImuMeasurement(cur, imuSamples, posePrior, frame.time);
  }

  neighbourhood_.ClearMatchList();
  SetIdentityMap(ring_.Map(cur));
  if (counter >= status_.startFrame) return;
  if (marker_.Run(f, posePrior)) Quit();
}

void Tracker::SynchronizeMap() {
  if (!mapView_.Synchronize() || ring_.Size() <= 1) return;
  ring_.FollowKeyFrames(mapView_.Working(), camera_.bodyToCamera);
  const u16 cur = ring_.Current();
  for (u16 i = ring_.Next(cur); i != cur; i = ring_.Next(i)) {
    mapView_.ComputeFrameStatistics(ring_[i]);
    stages_->RejectOutlierMatches(i, 10.0f);
    UpdateKeyFrameMeasures(i);
  }
}

void Tracker::UpdateKeyFrameMeasures(u16 i) {
  TrackerFrame& f = ring_[i];
  const u16 k = f.parallaxKeyFrame != kNone16 ? f.parallaxKeyFrame : f.nearKeyFrame;
  if (k == kNone16) return;
  f.parallax = stages_->ComputeParallax(k, i, Mode(), nullptr);
  f.baseline = stages_->ComputeDistanceToKeyFrame(k, i);
  f.sceneDepth = stages_->ComputeMeanDepth(i);
  f.baselineRatio = f.sceneDepth == 0.0f ? 1.0f : f.baseline / f.sceneDepth;
}

void Tracker::UpdatePatchStatistics(u16 frame) {
  mapView_.UpdatePatchStatistics(ring_[frame]);
  status_.referencePose = ring_[frame].pose.slot[kVisual];
}
