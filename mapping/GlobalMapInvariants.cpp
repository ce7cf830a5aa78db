// The structural invariants of the shared map, checked in one pass.
#include <cstdio>

#include "features/FeatureRecords.h"
#include "mapping/GlobalMap.h"
#include "mapping/PackedTrackLists.h"

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

// The map's own lists, seen through the same calls as packed ones.
struct NestedTrackLists {
  const std::vector<std::vector<u32>>& lists;
  u32 Count() const { return static_cast<u32>(lists.size()); }
  const u32* Begin(u32 t) const { return lists[t].data(); }
  u32 Size(u32 t) const { return static_cast<u32>(lists[t].size()); }
};

template <class Lists>
bool CheckStructure(const GlobalMap& map, const Lists& lists, std::string* error) {
  const size_t K = map.keyFrames.size();
  if (map.keyFrameStates.Size() != K || map.keyFramePoses.Size() != K ||
      map.keyFrameTrackRange.size() != K || map.keyFrameFlags.size() != K ||
      map.keyFrameMeasurementStart.size() != K + 1) {
    return Fail(error, "per-key-frame arrays disagree with %llu key frames", K);
  }
  const size_t T = lists.Count();
  if (map.points.Size() != T || map.trackPlanes.size() != T || map.trackFlags.size() != T ||
      map.trackColors.size() != T) {
    return Fail(error, "per-track arrays disagree with %llu tracks", T);
  }
  const size_t P = map.planes.Size();
  if (map.planeFlags.size() != P) return Fail(error, "plane flags disagree with %llu planes", P);
  const u16* trackPlanes = map.trackPlanes.data();
  for (size_t t = 0; t < T; ++t) {
    if (trackPlanes[t] != kNone16 && trackPlanes[t] >= P) {
      return Fail(error, "track %llu names plane %llu", t, trackPlanes[t]);
    }
  }
  const size_t M = map.measurements.Size();
  const u32* starts = map.keyFrameMeasurementStart.data();
  if (map.measurementTracks.size() != M) return Fail(error, "measurement tracks disagree");
  if (starts[0] != 0 || starts[K] != M) {
    return Fail(error, "measurement starts do not span %llu measurements", M);
  }
  for (size_t k = 0; k < K; ++k) {
    const u32 begin = starts[k], end = starts[k + 1];
    if (end < begin) return Fail(error, "measurement starts of key frame %llu decrease", k);
    const u16* o = map.keyFrames[k].levelOffsets;
    if (o[0] != 0 || o[4] != end - begin || o[5] != o[4] || o[1] < o[0] || o[2] < o[1] ||
        o[3] < o[2] || o[4] < o[3]) {
      return Fail(error, "level offsets of key frame %llu are inconsistent", k);
    }
  }
  // Each entry of a live list names a measurement that names the track back.
  // Within a list the key frames strictly increase and the key frames' blocks
  // are disjoint, so no measurement is named twice: the entries cover every
  // measurement exactly when there are M of them.
  const u32* owner = map.measurementTracks.data();
  const u8* flags = map.trackFlags.data();
  const std::pair<u32, u32>* ranges = map.keyFrameTrackRange.data();
  size_t named = 0;
  for (size_t t = 0; t < T; ++t) {
    const u32* list = lists.Begin(static_cast<u32>(t));
    const u32 n = lists.Size(static_cast<u32>(t));
    if (flags[t] & kTrackMergedAway) {
      if (n != 1) return Fail(error, "merged-away track %llu has a list", t);
      const u32 target = ~list[0];
      if (target >= T || target == t) {
        return Fail(error, "merged-away track %llu names track %llu", t, target);
      }
      if (!(flags[t] & kTrackMerged)) return Fail(error, "merged-away track %llu lacks MERGED", t);
      continue;
    }
    long long previous = -1;  // key frame of the entry before
    for (u32 i = 0; i < n; ++i) {
      const u32 k = GlobalMap::MeasurementKeyFrame(list[i]),
                f = GlobalMap::MeasurementFeature(list[i]);
      if (k >= K) return Fail(error, "track %llu names key frame %llu", t, k);
      if (static_cast<long long>(k) <= previous) {
        return Fail(error, "track %llu is not sorted by key frame (entry %llu)", t, i);
      }
      previous = k;
      const u32 m = starts[k] + f;
      if (m >= starts[k + 1]) {
        return Fail(error, "track %llu names feature %llu outside its key frame", t, f);
      }
      if (owner[m] != t) return Fail(error, "measurement %llu does not name track %llu back", m, t);
    }
    named += n;
  }
  if (named != M) {
    // Only to name the first measurement left out.
    std::vector<u8> seen(M, 0);
    for (size_t t = 0; t < T; ++t) {
      if (flags[t] & kTrackMergedAway) continue;
      const u32* list = lists.Begin(static_cast<u32>(t));
      for (u32 i = 0, n = lists.Size(static_cast<u32>(t)); i < n; ++i) {
        const u32 k = GlobalMap::MeasurementKeyFrame(list[i]);
        seen[starts[k] + GlobalMap::MeasurementFeature(list[i])] = 1;
      }
    }
    for (size_t m = 0; m < M; ++m) {
      if (!seen[m]) return Fail(error, "measurement %llu is in no track list", m);
    }
  }
  // Every measurement is now an entry of the track it names, so the key
  // frames' track ranges are checked in one sweep over the measurements.
  for (size_t k = 0; k < K; ++k) {
    const u32 lowest = ranges[k].first, highest = ranges[k].second;
    // Without a branch per measurement: t is in range when t - lowest,
    // wrapped, is at most the range's span; an inverted range holds none.
    const u32 span = highest - lowest;
    u32 outside = highest < lowest && starts[k + 1] > starts[k];
    for (u32 m = starts[k]; m < starts[k + 1]; ++m) outside |= owner[m] - lowest > span;
    if (!outside) continue;
    for (u32 m = starts[k];; ++m) {
      if (owner[m] < lowest || owner[m] > highest) {
        return Fail(error, "track %llu outside the range of key frame %llu", owner[m], k);
      }
    }
  }
  // Merge chains end at a live track within T steps.
  for (size_t t = 0; t < T; ++t) {
    u32 r = static_cast<u32>(t);
    size_t steps = 0;
    while ((flags[r] & kTrackMergedAway) && steps <= T) {
      r = ~lists.Begin(r)[0];
      ++steps;
    }
    if (steps > T) return Fail(error, "merge chain of track %llu has a cycle", t);
  }
  return true;
}

}  // namespace

bool GlobalMap::CheckInvariants(std::string* error) const {
  return CheckStructure(*this, NestedTrackLists{trackMeasurements}, error);
}

bool CheckInvariants(const GlobalMap& map, const PackedTrackLists& lists, std::string* error) {
  return CheckStructure(map, lists, error);
}
