#include "tracker/InertialStep.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "optimization/IMUParameters.h"
#include "tracker/InertialMath.h"

namespace {

// The frame's last sample as the start of the next preintegration.
IMUSample LastSample(const TrackerFrame& f) {
  IMUSample s;
  for (int i = 0; i < 3; ++i) {
    s.acceleration[i] = f.lastImu[i];
    s.rotationRate[i] = f.lastImu[3 + i];
  }
  s.time = f.time;
  return s;
}

void CopyReadings(const IMUSample& s, f64 lastImu[6]) {
  for (int i = 0; i < 3; ++i) {
    lastImu[i] = s.acceleration[i];
    lastImu[3 + i] = s.rotationRate[i];
  }
}

bool HasPrior(const f64* posePrior) {
  return posePrior != nullptr && posePrior[7] != DBL_MAX;
}

// The frame's prior from the host's: always with the gravity of its
// quaternion in the middle three doubles (the gravity terms read them), and
// carried to the frame time over the last sample's rate when there is one.
void StorePrior(TrackerFrame& f, const std::vector<IMUSample>& samples, const f64* posePrior) {
  if (!HasPrior(posePrior)) return;
  const f64* rate = samples.empty() ? nullptr : samples.back().rotationRate;
  CarryPosePrior(posePrior, rate, f.time, f.posePrior);
}

}  // namespace

InertialStep::InertialStep(const TrackerContext& context, FrameMeasures& measures)
    : c_(context), measures_(measures) {
  ISOParameters& p = isoSolver_.parameters;
  p.maxIterations = 20;
  p.initialDamping = 0.001f;
  p.minRelativeReduction = 0.0005f;
  p.minGradient = 1e-5f;
  p.minStep = 1e-6f;
  p.pcgMinIterations = 10;
  p.pcgMaxIterations = 500;
  p.pcgRelativeTolerance = 0.001f;
  p.pcgDivergenceFactor = 10.0f;
}

void InertialStep::StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                                       const f64 posePrior[8], f64 time) {
  TrackerFrame& f = c_.ring[frame];
  f.time = time;
  f.startedAtRest = true;
  // Kept so that the next frame's prediction starts from this frame's rate.
  f.samples.assign(imuSamples.begin(), imuSamples.end());
  if (imuSamples.empty()) {
    for (f64& v : f.lastImu) v = 0.0;
  } else {
    CopyReadings(imuSamples.back(), f.lastImu);
  }
  f.lastReadingTime = LastReadingTime(imuSamples, kNoReading);
  if (HasPrior(posePrior)) {
    StorePrior(f, imuSamples, posePrior);
  } else if (posePrior != nullptr) {
    for (int i = 0; i < 8; ++i) f.posePrior[i] = posePrior[i];
  }

  IMUState& s = f.state.record[kPredicted];
  for (int i = 0; i < 3; ++i) {
    s.position[i] = s.velocity[i] = 0.0;
    s.accelerometerBias[i] = IMU::accelerometerBiasPrior[i];
    s.gyroscopeBias[i] = IMU::gyroscopeBiasPrior[i];
  }
  const bool prior = f.posePrior[7] != DBL_MAX;
  for (int i = 0; i < 4; ++i) s.quaternion[i] = prior ? f.posePrior[i] : (i == 3 ? 1.0 : 0.0);
  s.time = time;
  SetPredictedPose(f);
}

const std::vector<IMUSample>& InertialStep::HandBackLateReadings(
    u16 p, u16 c, const std::vector<IMUSample>& imuSamples) {
  FrameRing& ring = c_.ring;
  if (imuSamples.empty() || !(imuSamples.front().time <= ring[p].time)) return imuSamples;
  lateFrames_.clear();
  for (u16 j = p; j != c;) {
    const TrackerFrame& g = ring[j];
    const u16 q = ring.Prev(j);
    if (!g.samples.empty() || g.keyFrame != kNone16 || !(g.time > imuSamples.front().time) ||
        q == c || ring[q].number == kUnsetCounter || !(ring[q].time <= g.time))
      break;
    lateFrames_.push_back(j);
    j = q;
  }
  if (lateFrames_.empty()) return imuSamples;
  size_t next = 0;
  for (auto it = lateFrames_.rbegin(); it != lateFrames_.rend(); ++it) {
    const u16 j = *it, q = ring.Prev(j);
    TrackerFrame& g = ring[j];
    lateShare_.clear();
    for (; next < imuSamples.size() && imuSamples[next].time <= g.time; ++next)
      if (imuSamples[next].time > ring[q].time) lateShare_.push_back(imuSamples[next]);
    // A frame whose span none of them falls in holds the last one before it.
    ChainImuDeltas(q, j, lateShare_);
    if (lateShare_.empty())
      std::copy(ring[q].lastImu, ring[q].lastImu + 6, g.lastImu);
    else
      CopyReadings(lateShare_.back(), g.lastImu);
    g.lastReadingTime = LastReadingTime(lateShare_, ring[q].lastReadingTime);
  }
  ownSamples_.assign(imuSamples.begin() + static_cast<std::ptrdiff_t>(next), imuSamples.end());
  return ownSamples_;
}

void InertialStep::PredictFromImu(u16 p, u16 c, const std::vector<IMUSample>& allSamples,
                                  const f64 posePrior[8], f64 time) {
  if (p == c || !c_.ring.Contains(p)) {
    // Nothing to predict from: the frame starts at rest.
    StoreImuMeasurement(c, allSamples, posePrior, time);
    return;
  }
  const std::vector<IMUSample>& imuSamples = HandBackLateReadings(p, c, allSamples);
  TrackerFrame& prev = c_.ring[p];
  TrackerFrame& f = c_.ring[c];
  f.startedAtRest = false;
  if (imuSamples.empty()) {
    for (int i = 0; i < 6; ++i) f.lastImu[i] = prev.lastImu[i];
  } else {
    CopyReadings(imuSamples.back(), f.lastImu);
  }
  f.lastReadingTime = LastReadingTime(imuSamples, prev.lastReadingTime);
  f.time = time;

  // The earlier frame's rate is its last reading's, held on by a frame that
  // brought none (the gyroscope did not read zero in between), unless the
  // images give it.
  if (c_.options.imageRotation) {
    f64 rate[3] = {0.0, 0.0, 0.0};
    EstimateImageRate(p, c, rate);
    for (int i = 0; i < 3; ++i) prev.lastImu[3 + i] = rate[i];
  }

  StorePrior(f, allSamples, posePrior);
  ChainImuDeltas(p, c, imuSamples);
  IMUDelta::PredictState(prev.state.record[kVisual], f.delta[kFromPrevious],
                         c_.mapView.Map().InertialUnitsPerMetre(), f.state.record[kPredicted]);
  SetPredictedPose(f);
}

void InertialStep::EstimateImageRate(u16 p, u16 c, f64 rate[3]) {
  const TrackerFrame& prev = c_.ring[p];
  const TrackerFrame& f = c_.ring[c];
  rate[0] = rate[1] = rate[2] = 0.0;
  const f64 dt = f.time - prev.time;
  if (!(dt > 0.0)) {
    c_.log.Print("[%d] Frame time %f not after %f: rotation rate set to zero\n", f.number, f.time,
                 prev.time);
    return;
  }
  LA::AlignedMatrix3f R;
  EstimateImageRotation(prev.small, f.small, c_.camera.intrinsic[kPyramidLevels], R,
                        rotationScratch_);
  if (R.m[0][0] == FLT_MAX) {
    c_.log.Print("[%d] Image rotation rejected: rotation rate set to zero\n", f.number);
    return;
  }
  float w[3];
  RotationLog(R, w);
  const float inverse = static_cast<float>(1.0 / dt);
  for (float& v : w) v *= inverse;
  CameraRateToBodyRate(w, rate);
}

void InertialStep::ChainImuDeltas(u16 p, u16 c, const std::vector<IMUSample>& imuSamples) {
  const TrackerFrame& prev = c_.ring[p];
  TrackerFrame& f = c_.ring[c];
  const IMUSample previous = LastSample(prev);
  StartFrameDelta(imuSamples, previous, prev.lastReadingTime, f.time,
                  c_.options.ImageRatesWeighNothing(), f.delta[kFromPrevious]);

  const std::vector<u8>& flags = c_.mapView.Working().keyFrameFlags;
  const u16 k = prev.keyFrame;
  const bool keyFrame = k != kNone16 && k < flags.size();
  f.provisionalKeyFrame = kNone16;
  if (keyFrame && !(flags[k] & kKeyFrameWeak)) {
    f.imuKeyFrame = k;
    f.delta[kFromKeyFrame] = f.delta[kFromPrevious];
  } else {
    // A provisional key frame does not end the delta from the last normal one.
    f.imuKeyFrame = prev.imuKeyFrame;
    f.delta[kFromKeyFrame] = prev.delta[kFromKeyFrame];
    ExtendFrameDelta(imuSamples, previous, prev.lastReadingTime, f.time,
                     c_.options.ImageRatesWeighNothing(), f.delta[kFromKeyFrame]);
    if (keyFrame) {
      f.provisionalKeyFrame = k;
      f.delta[kFromProvisional] = f.delta[kFromPrevious];
    } else if (prev.provisionalKeyFrame != kNone16) {
      f.provisionalKeyFrame = prev.provisionalKeyFrame;
      f.delta[kFromProvisional] = prev.delta[kFromProvisional];
      ExtendFrameDelta(imuSamples, previous, prev.lastReadingTime, f.time,
                       c_.options.ImageRatesWeighNothing(), f.delta[kFromProvisional]);
    }
  }
  f.samples.assign(imuSamples.begin(), imuSamples.end());
}

void InertialStep::SetPredictedPose(TrackerFrame& f) const {
  alignas(16) float scratch[16];
  PoseToCamera(f.state.record[kPredicted], c_.camera.bodyToCamera, f.pose.slot[kPredicted],
               scratch);
  f.state.record[kVisual] = f.state.record[kPredicted];
  f.pose.slot[kVisual] = f.pose.slot[kPredicted];
}
