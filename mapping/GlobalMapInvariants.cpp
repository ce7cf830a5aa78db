// The structural invariants of the shared map, checked in one pass.
#include <cstdio>

#include "features/FeatureRecords.h"
#include "mapping/GlobalMap.h"

namespace {

bool Fail(std::string* error, const char* format, unsigned long long a = 0,
          unsigned long long b = 0) {
  if (error) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b);
    *error = text;
  }
  return false;
}

}  // namespace

bool GlobalMap::CheckInvariants(std::string* error) const {
  const size_t K = keyFrames.size();
  if (keyFrameStates.Size() != K || keyFramePoses.Size() != K || keyFrameTrackRange.size() != K ||
      keyFrameFlags.size() != K || keyFrameMeasurementStart.size() != K + 1) {
    return Fail(error, "per-key-frame arrays disagree with %llu key frames", K);
  }
  const size_t T = trackMeasurements.size();
  if (points.Size() != T || trackPlanes.size() != T || trackFlags.size() != T ||
      trackColors.size() != T) {
    return Fail(error, "per-track arrays disagree with %llu tracks", T);
  }
  const size_t P = planes.Size();
  if (planeFlags.size() != P) return Fail(error, "plane flags disagree with %llu planes", P);
  for (size_t t = 0; t < T; ++t) {
    if (trackPlanes[t] != kNone16 && trackPlanes[t] >= P) {
      return Fail(error, "track %llu names plane %llu", t, trackPlanes[t]);
    }
  }
  const size_t M = measurements.Size();
  if (measurementTracks.size() != M) return Fail(error, "measurement tracks disagree");
  if (keyFrameMeasurementStart[0] != 0 || keyFrameMeasurementStart[K] != M) {
    return Fail(error, "measurement starts do not span %llu measurements", M);
  }
  for (size_t k = 0; k < K; ++k) {
    const u32 begin = keyFrameMeasurementStart[k], end = keyFrameMeasurementStart[k + 1];
    if (end < begin) return Fail(error, "measurement starts of key frame %llu decrease", k);
    const u16* o = keyFrames[k].levelOffsets;
    if (o[0] != 0 || o[4] != end - begin || o[5] != o[4] || o[1] < o[0] || o[2] < o[1] ||
        o[3] < o[2] || o[4] < o[3]) {
      return Fail(error, "level offsets of key frame %llu are inconsistent", k);
    }
  }
  // Each measurement belongs to exactly one list entry, and the entry names it back.
  std::vector<u8> seen(M, 0);
  for (size_t t = 0; t < T; ++t) {
    const std::vector<u32>& list = trackMeasurements[t];
    if (trackFlags[t] & kTrackMergedAway) {
      if (list.size() != 1) return Fail(error, "merged-away track %llu has a list", t);
      const u32 target = ~list[0];
      if (target >= T || target == t) {
        return Fail(error, "merged-away track %llu names track %llu", t, target);
      }
      if (!(trackFlags[t] & kTrackMerged))
        return Fail(error, "merged-away track %llu lacks MERGED", t);
      continue;
    }
    for (size_t i = 0; i < list.size(); ++i) {
      const u32 k = MeasurementKeyFrame(list[i]), f = MeasurementFeature(list[i]);
      if (k >= K) return Fail(error, "track %llu names key frame %llu", t, k);
      if (i > 0 && MeasurementKeyFrame(list[i - 1]) >= k) {
        return Fail(error, "track %llu is not sorted by key frame (entry %llu)", t, i);
      }
      const u32 m = keyFrameMeasurementStart[k] + f;
      if (m >= keyFrameMeasurementStart[k + 1]) {
        return Fail(error, "track %llu names feature %llu outside its key frame", t, f);
      }
      if (measurementTracks[m] != t || seen[m]) {
        return Fail(error, "measurement %llu does not name track %llu back", m, t);
      }
      seen[m] = 1;
      const auto& range = keyFrameTrackRange[k];
      if (t < range.first || t > range.second) {
        return Fail(error, "track %llu outside the range of key frame %llu", t, k);
      }
    }
  }
  for (size_t m = 0; m < M; ++m) {
    if (!seen[m]) return Fail(error, "measurement %llu is in no track list", m);
  }
  // Merge chains end at a live track within T steps.
  for (size_t t = 0; t < T; ++t) {
    u32 r = static_cast<u32>(t);
    size_t steps = 0;
    while ((trackFlags[r] & kTrackMergedAway) && steps <= T) {
      r = ~trackMeasurements[r][0];
      ++steps;
    }
    if (steps > T) return Fail(error, "merge chain of track %llu has a cycle", t);
  }
  return true;
}
