// Write-backs of the workers' results and track merges. A result is applied
// only when the modification counter still equals its snapshot token. Track
// ids from a worker may have been merged away since its snapshot (merges do
// not invalidate snapshots): such points are skipped, and a write-back takes
// only the adjustment's own bits from a problem's flag byte, so the merge
// bits and a survivor's IMU and MARKER bits stay.
#include <algorithm>
#include <boost/thread/locks.hpp>

#include "features/FeatureRecords.h"
#include "mapping/GlobalMap.h"

namespace {

using UpgradeLock = boost::upgrade_lock<boost::shared_mutex>;
using UniqueLock = boost::upgrade_to_unique_lock<boost::shared_mutex>;

constexpr u8 kAdjustedBits = kTrackSolved | kTrackInlier | kTrackUnreliable;

}  // namespace

void BAResultEdits::Clear() {
  clearedPlaneTracks.clear();
  retestedTracks.clear();
  retestedPoints.Clear();
  retestedFlags.clear();
  retestedPlanes.clear();
}

void GlobalMap::WriteBackCameras(const IBAState& result, const std::vector<u16>& cameraKeyFrames) {
  // The adjustment holds the camera mounting in float: a value it gave back
  // unchanged keeps the map's double, which the tracker's copy must equal
  // (a saved state is checked against it).
  for (int i = 0; i < 7; ++i)
    if (result.extrinsic[i] != static_cast<f32>(extrinsic[i])) extrinsic[i] = result.extrinsic[i];
  const u32 C = std::min<u32>(result.cameras.Size(), static_cast<u32>(cameraKeyFrames.size()));
  for (u32 i = 0; i < C; ++i) {
    const u16 k = cameraKeyFrames[i];
    if (k >= KeyFrameCount()) continue;
    ConvertCameraIMUState(result.cameras[i], reinterpret_cast<f64*>(&keyFrameStates[k]),
                          keyFramePoses[k]);
    keyFrameFlags[k] |= kKeyFrameAdjusted;
  }
}

bool GlobalMap::CleanUpPlanes() {
  const u32 P = PlaneCount();
  CountPerKeyFrame(static_cast<u16>(std::min<u32>(P, kNone16)), trackPlanes, writeCounts_);
  writePlaneMap_.assign(P, kNone16);
  u32 kept = 0;
  for (u32 p = 0; p < P; ++p) {
    if (p >= writeCounts_.size() || writeCounts_[p] < 3) continue;
    planes[kept] = planes[p];
    planeFlags[kept] = planeFlags[p];
    writePlaneMap_[p] = static_cast<u16>(kept++);
  }
  if (kept == P) return false;
  planes.Resize(kept);
  planeFlags.resize(kept);
  for (u16& p : trackPlanes) p = p < P ? writePlaneMap_[p] : kNone16;
  return true;
}

bool GlobalMap::SetBAResult(const IBAProblem& problem, const IBAState& result,
                            const std::vector<u16>& cameraKeyFrames, const std::vector<u32>& tracks,
                            const std::vector<u16>& oldPlanes, const BAResultEdits& edits,
                            const MapSnapshotToken& token, u8 stamp, const std::string& tag) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  if (!IsFresh(token)) return false;
  const u32 T = TrackCount();
  const auto live = [&](u32 t) { return t < T && !(trackFlags[t] & kTrackMergedAway); };
  WriteBackCameras(result, cameraKeyFrames);
  for (const u32 t : edits.clearedPlaneTracks) {
    if (live(t)) trackPlanes[t] = kNone16;
  }
  // Points with their plane: old planes through the list, new planes after
  // the current ones.
  const u32 before = PlaneCount();
  const u32 P = static_cast<u32>(oldPlanes.size()), Q = result.planes.Size();
  const u32 appended = Q > P ? Q - P : 0;
  const u32 N = std::min<u32>(result.points.Size(), static_cast<u32>(tracks.size()));
  for (u32 i = 0; i < N; ++i) {
    const u32 t = tracks[i];
    if (!live(t) || (trackFlags[t] & kTrackMarker)) continue;
    points[t] = result.points[i];
    const u8 f = i < problem.pointFlags.size() ? problem.pointFlags[i] : trackFlags[t];
    trackFlags[t] = static_cast<u8>((trackFlags[t] & ~kAdjustedBits) | (f & kAdjustedBits));
    const u32 j = i < problem.pointPlanes.size() ? problem.pointPlanes[i] : kNone16;
    u16 plane = kNone16;
    if (j < P) {
      plane = oldPlanes[j] < before ? oldPlanes[j] : kNone16;
    } else if (j < P + appended) {
      plane = static_cast<u16>(before + (j - P));
    }
    trackPlanes[t] = plane;
  }
  for (u32 j = 0; j < P && j < Q; ++j) {
    if (oldPlanes[j] < before) planes[oldPlanes[j]] = result.planes[j];
  }
  for (u32 j = P; j < Q; ++j) {
    planes.PushBack(result.planes[j], 100);
    planeFlags.push_back(j < problem.planeFlags.size() ? problem.planeFlags[j] : 0);
  }
  // Re-tested outliers: restored ones come back solved, the others lose
  // their inlier bits and plane.
  const size_t R =
      std::min({edits.retestedTracks.size(), static_cast<size_t>(edits.retestedPoints.Size()),
                edits.retestedFlags.size(), edits.retestedPlanes.size()});
  for (size_t i = 0; i < R; ++i) {
    const u32 t = edits.retestedTracks[i];
    if (!live(t) || (trackFlags[t] & kTrackMarker)) continue;
    const u8 f = edits.retestedFlags[i];
    if (f & kTrackInlier) {
      points[t] = edits.retestedPoints[i];
      trackFlags[t] = static_cast<u8>((trackFlags[t] & ~kTrackUnreliable) | kTrackSolved |
                                      kTrackInlier | (f & kTrackUnreliable));
      trackPlanes[t] = edits.retestedPlanes[i] < PlaneCount() ? edits.retestedPlanes[i] : kNone16;
    } else {
      trackFlags[t] &= static_cast<u8>(~(kTrackInlier | kTrackUnreliable));
      trackPlanes[t] = kNone16;
    }
  }
  const bool dropped = CleanUpPlanes();
  // A changed plane set invalidates every outstanding snapshot's plane
  // indices, stamped or not.
  if (stamp) {
    Stamp(1, tag);
  } else if (appended > 0 || dropped) {
    Stamp(0, tag);
  }
  changed = 1;
  return true;
}

bool GlobalMap::SetTrackMatcherResult(const IBAState& result,
                                      const std::vector<u16>& cameraKeyFrames,
                                      const std::vector<u32>& tracks,
                                      const std::vector<u16>& planeIndices,
                                      const MapSnapshotToken& token, u8 stamp,
                                      const std::string& tag) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  if (!IsFresh(token)) return false;
  const u32 T = TrackCount();
  WriteBackCameras(result, cameraKeyFrames);
  const u32 N = std::min<u32>(result.points.Size(), static_cast<u32>(tracks.size()));
  for (u32 i = 0; i < N; ++i) {
    const u32 t = tracks[i];
    if (t >= T || (trackFlags[t] & (kTrackMergedAway | kTrackMarker))) continue;
    points[t] = result.points[i];
  }
  const u32 Q = std::min<u32>(result.planes.Size(), static_cast<u32>(planeIndices.size()));
  for (u32 j = 0; j < Q; ++j) {
    if (planeIndices[j] < PlaneCount()) planes[planeIndices[j]] = result.planes[j];
  }
  if (stamp) Stamp(1, tag);
  changed = 1;
  return true;
}

void GlobalMap::MergePair(u32 a, u32 b, std::vector<u8>& scratch) {
  const u32 T = TrackCount();
  a = ResolveTrack(a);
  b = ResolveTrack(b);
  if (a >= T || b >= T || a == b || trackMeasurements[a].empty() || trackMeasurements[b].empty() ||
      TracksOverlap(a, b, scratch)) {
    return;
  }
  const bool bFirst = MeasurementKeyFrame(trackMeasurements[a].front()) >
                      MeasurementKeyFrame(trackMeasurements[b].front());
  const u32 s = bFirst ? b : a, r = bFirst ? a : b;
  std::vector<u32>& ls = trackMeasurements[s];
  std::vector<u32>& lr = trackMeasurements[r];
  const size_t middle = ls.size();
  ls.insert(ls.end(), lr.begin(), lr.end());
  std::inplace_merge(ls.begin(), ls.begin() + middle, ls.end(),
                     [](u32 x, u32 y) { return MeasurementKeyFrame(x) < MeasurementKeyFrame(y); });
  for (const u32 e : lr) {
    const u32 k = MeasurementKeyFrame(e);
    measurementTracks[keyFrameMeasurementStart[k] + MeasurementFeature(e)] = s;
    auto& range = keyFrameTrackRange[k];
    range.first = std::min(range.first, s);
    range.second = std::max(range.second, s);
  }
  lr.assign(1, ~s);
  trackFlags[s] |= kTrackMerged;
  trackFlags[r] =
      static_cast<u8>((trackFlags[r] | kTrackMerged | kTrackMergedAway) & ~kTrackInlier);
  for (const u8 bit : {kTrackImu, kTrackMarker}) {
    if (!(trackFlags[r] & bit)) continue;
    trackFlags[s] =
        static_cast<u8>((trackFlags[s] | bit | kTrackSolved | kTrackInlier) & ~kTrackUnreliable);
    points[s] = points[r];
    trackPlanes[s] = trackPlanes[r];
  }
  changed = 1;
}

bool GlobalMap::MergeTracks(u16 keyFrame, const std::vector<TrackPair>& pairs, u64 version) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  if (keyFrame >= KeyFrameCount() || version != structureVersion) return false;
  for (const TrackPair& pair : pairs) MergePair(pair.first, pair.second, writeMarks_);
  return true;
}
