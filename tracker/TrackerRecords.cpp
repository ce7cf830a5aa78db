#include "tracker/TrackerRecords.h"

#include <cfloat>
#include <cstring>

void TrackerFrame::Reset() {
  number = kUnsetCounter;
  std::memset(static_cast<void*>(&state), 0, sizeof(state));
  for (CameraPose& p : pose.slot) p.m[0][0] = FLT_MAX;
  std::memset(lastImu, 0, sizeof(lastImu));
  time = 0.0;
  lastReadingTime = kNoReading;
  for (IMUDelta& d : delta) SetEmptyIMUDelta(d);
  samples.clear();
  posePrior[7] = DBL_MAX;
  for (int l = 0; l < kPyramidLevels; ++l) {
    corners[l].corners.Clear();
    corners[l].rowStarts.clear();
    kltPixels[l].Clear();
    kltNormalized[l].Clear();
    mapMatches[l].clear();
    candidates[l].clear();
    lost[l].clear();
    misses[l].clear();
  }
  warps.Clear();
  hypotheses.Clear();
  inlierCount = unsolvedCount = 0;
  mapCoverage = imageCoverage = combinedCoverage = 0.0f;
  parallax = baseline = sceneDepth = 0.0f;
  baselineRatio = 1.0f;
  keyFrame = relocalisationKeyFrame = nearKeyFrame = parallaxKeyFrame = kNone16;
  alignedKeyFrame = imuKeyFrame = provisionalKeyFrame = kNone16;
  candidate = rejected = 0;
  startedAtRest = false;
}

u32 TrackerFrame::MapMatchCount() const {
  u32 n = 0;
  for (const auto& list : mapMatches) n += static_cast<u32>(list.size());
  return n;
}

void SetIdentityMap(WarpRecord& map) {
  std::memset(map.m, 0, sizeof(map.m));
  map.m[0] = map.m[5] = map.m[10] = 1.0f;
}

const char* TrackStateName(u8 flags) {
  if (!(flags & kTrackSolved)) return "UNSOLVED";
  return (flags & kTrackInlier) ? "INLIER" : "OUTLIER";
}

float AxisDot(const CameraPose& a, const CameraPose& b) {
  return a.m[2][0] * b.m[2][0] + a.m[2][1] * b.m[2][1] + a.m[2][2] * b.m[2][2];
}
