// The shared map: construction, reset, the tracker's pull, stamping and the
// helpers several operations share.
#include "mapping/GlobalMap.h"

#include <boost/thread/locks.hpp>
#include <cfloat>
#include <chrono>
#include <cstring>

#include "estimation/PlaneEstimatorData.h"
#include "features/FeatureRecords.h"

f64 CurrentTimeOfDay() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  return static_cast<f64>(ms % 86400000LL) * 0.001;
}

void ComputeCameraCenters(const AlignedArray<CameraPose>& poses,
                          AlignedArray<LA::AlignedVector4f>& centers) {
  centers.Resize(poses.Size());
  for (u32 i = 0; i < poses.Size(); ++i) {
    CameraCentre(poses[i], centers[i].v);
    centers[i].v[3] = 1.0f;
  }
}

void CountPerKeyFrame(u16 n, const std::vector<u16>& ids, std::vector<u32>& counts) {
  counts.assign(n, 0);
  for (const u16 id : ids) {
    if (id < n) ++counts[id];
  }
}

GlobalMap::GlobalMap() {
  keyFrameMeasurementStart.assign(1, 0);
}

GlobalMap::GlobalMap(u16 w, u16 h, const Intrinsic& k, const f64 e[7])
    : width(w), height(h), intrinsic(k) {
  std::memcpy(extrinsic, e, sizeof(extrinsic));
  Reset();
}

void GlobalMap::ClearContent() {
  scale = 0.0f;
  inertialUnits_.Reset();
  keyFrames.clear();
  keyFrameStates.Clear();
  keyFramePoses.Clear();
  points.Clear();
  planes.Clear();
  measurements.Clear();
  trackMeasurements.clear();
  keyFrameMeasurementStart.assign(1, 0);
  keyFrameTrackRange.clear();
  measurementTracks.clear();
  trackPlanes.clear();
  keyFrameFlags.clear();
  trackFlags.clear();
  planeFlags.clear();
  trackColors.clear();
}

void GlobalMap::Reset() {
  boost::upgrade_lock<boost::shared_mutex> upgrade(mutex);
  boost::upgrade_to_unique_lock<boost::shared_mutex> lock(upgrade);
  ClearContent();
  // A new map has a unit of its own (a start without the marker sets it):
  // the plane detector measures its distance threshold again.
  PlaneDistanceThreshold.store(FLT_MAX, std::memory_order_relaxed);
  changed = 1;
  modificationTime = -1.0;
  ++modificationCounter;
  ++structureVersion;
}

void GlobalMap::NoteLoaded() {
  inertialUnits_.Reset();
  changed = 1;
  ++modificationCounter;
  ++structureVersion;
}

void GlobalMap::Stamp(u8 stamp, const std::string& tag) {
  changed = 1;
  ++modificationCounter;
  if (stamp) {
    modificationTime = CurrentTimeOfDay();
    modifier = tag;
  }
}

u32 GlobalMap::ResolveTrack(u32 track) const {
  // A well-formed chain is acyclic and shorter than the track count; the
  // bound keeps a damaged map from looping.
  const u32 n = TrackCount();
  for (u32 steps = 0; track < n && (trackFlags[track] & kTrackMergedAway) && steps <= n; ++steps) {
    const std::vector<u32>& list = trackMeasurements[track];
    if (list.empty()) break;
    track = ~list[0];
  }
  return track;
}

bool GlobalMap::TracksOverlap(u32 a, u32 b, std::vector<u8>& scratch) const {
  const std::vector<u32>& la = trackMeasurements[a];
  const std::vector<u32>& lb = trackMeasurements[b];
  if (la.empty() || lb.empty()) return false;
  const u32 a0 = MeasurementKeyFrame(la.front()), a1 = MeasurementKeyFrame(la.back());
  const u32 b0 = MeasurementKeyFrame(lb.front()), b1 = MeasurementKeyFrame(lb.back());
  if (a1 < b0 || b1 < a0) return false;
  scratch.assign(a1 - a0 + 1, 0);
  for (const u32 m : la) scratch[MeasurementKeyFrame(m) - a0] = 1;
  for (const u32 m : lb) {
    const u32 k = MeasurementKeyFrame(m);
    if (k >= a0 && k <= a1 && scratch[k - a0]) return true;
  }
  return false;
}

void GlobalMap::CopyKeyFrames(MapWorkingCopy& out) const {
  if (out.structureVersion != structureVersion || out.keyFrames.size() > keyFrames.size())
    out.keyFrames.clear();
  out.structureVersion = structureVersion;
  // Growing the list would copy every image it holds: grow it ahead.
  if (out.keyFrames.capacity() < keyFrames.size())
    out.keyFrames.reserve(std::max<size_t>(2 * keyFrames.size(), 64));
  for (size_t k = out.keyFrames.size(); k < keyFrames.size(); ++k) {
    const KeyFrame& source = keyFrames[k];
    out.keyFrames.emplace_back();
    WorkingKeyFrame& copy = out.keyFrames.back();
    copy.frameId = source.frameId;
    std::memcpy(copy.levelOffsets, source.levelOffsets, sizeof(copy.levelOffsets));
    // A deep copy: libCVD images share their buffers with a count no other
    // thread may touch.
    copy.floatImage.resize(source.floatImage.size());
    copy.floatImage.copy_from(source.floatImage);
  }
}

void MapWorkingCopy::Clear() {
  keyFrameStates.Clear();
  keyFramePoses.Clear();
  cameraCenters.Clear();
  points.Clear();
  planes.Clear();
  keyFrameMeasurementStart.assign(1, 0);
  measurementTracks.clear();
  trackPlanes.clear();
  keyFrameFlags.clear();
  trackFlags.clear();
  planeFlags.clear();
  resolvedTracks.clear();
  keyFrames.clear();
  structureVersion = ~u64{0};
  changed = 0;
  time = -1.0;
}

bool GlobalMap::Synchronize(MapWorkingCopy& out) {
  bool copied;
  {
    boost::shared_lock<boost::shared_mutex> lock(mutex);
    copied = changed.load() != 0;
    if (copied) {
      // Only the tracker thread pulls, and writers set the flag under the
      // exclusive lock, so clearing it under the shared lock is race-free.
      changed = 0;
      std::memcpy(out.extrinsic, extrinsic, sizeof(extrinsic));
      out.keyFrameStates.Assign(keyFrameStates);
      out.keyFramePoses.Assign(keyFramePoses);
      out.points.Assign(points);
      out.planes.Assign(planes);
      out.keyFrameMeasurementStart = keyFrameMeasurementStart;
      out.measurementTracks = measurementTracks;
      out.trackPlanes = trackPlanes;
      out.keyFrameFlags = keyFrameFlags;
      out.trackFlags = trackFlags;
      out.planeFlags = planeFlags;
      const u32 n = TrackCount();
      out.resolvedTracks.resize(n);
      u32* resolved = out.resolvedTracks.data();
      const u8* flags = trackFlags.data();
      for (u32 t = 0; t < n; ++t) resolved[t] = t;
      // Few tracks are merged away: scan the flags eight at a time.
      constexpr u64 kAway8 = 0x0101010101010101ULL * kTrackMergedAway;
      u32 t = 0;
      for (; t + 8 <= n; t += 8) {
        u64 eight;
        std::memcpy(&eight, flags + t, 8);
        if (!(eight & kAway8)) continue;
        for (u32 i = t; i < t + 8; ++i) {
          if (flags[i] & kTrackMergedAway) resolved[i] = ResolveTrack(i);
        }
      }
      for (; t < n; ++t) {
        if (flags[t] & kTrackMergedAway) resolved[t] = ResolveTrack(t);
      }
      CopyKeyFrames(out);
    }
    out.time = CurrentTimeOfDay();
  }
  out.changed = copied ? 1 : 0;
  if (copied) ComputeCameraCenters(out.keyFramePoses, out.cameraCenters);
  return copied;
}
