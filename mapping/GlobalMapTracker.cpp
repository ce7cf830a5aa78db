// The tracker's writes to the shared map and the display readers.
#include <boost/thread/locks.hpp>
#include <cfloat>
#include <cmath>

#include "features/FeatureRecords.h"
#include "la/RefillInPlace.h"
#include "mapping/GlobalMap.h"

namespace {

using UpgradeLock = boost::upgrade_lock<boost::shared_mutex>;
using UniqueLock = boost::upgrade_to_unique_lock<boost::shared_mutex>;
using SharedLock = boost::shared_lock<boost::shared_mutex>;

constexpr u8 kAdjustedBits = kTrackSolved | kTrackInlier | kTrackUnreliable;

// Images of a new key frame: copied when the view has pixels.
void CopyKeyFrameImages(KeyFrame& kf, const KeyFrameInput& input) {
  if (input.floatImage) RefillImage(kf.floatImage, *input.floatImage);
  for (int l = 0; l < kPyramidLevels; ++l) {
    if (input.pyramid[l]) RefillImage(kf.pyramid[l], *input.pyramid[l]);
  }
}

// Feature indices within a key frame are 16 bits wide.
constexpr u32 kMaxKeyFrameFeatures = 0xFFFF;

// Offsets from the per-level counts.
void SetLevelOffsets(KeyFrame& kf, const u32* counts) {
  u32 total = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    kf.levelOffsets[l] = static_cast<u16>(total);
    total += counts[l];
  }
  kf.levelOffsets[4] = kf.levelOffsets[5] = static_cast<u16>(total);
}

MapPoint UnsetPoint() {
  MapPoint p;
  p.v[0] = FLT_MAX;
  p.v[1] = p.v[2] = 0.0f;
  p.v[3] = 1.0f;
  return p;
}

}  // namespace

void GlobalMap::AppendTrackColor(const CVD::BasicImage<TrackColor>* image,
                                 const LA::Vector2<float>& pixel, u32 level) {
  const int w = image ? image->size().x : 0, h = image ? image->size().y : 0;
  if (w <= 0 || h <= 0) {
    trackColors.push_back(TrackColor(0, 255, 255));
    return;
  }
  // Level pixels to level 0; positions from the host (marker corners) may lie
  // outside the image, so the lookup is clamped.
  const float s = static_cast<float>(1u << level);
  const float fx = pixel.x * s + 0.5f, fy = pixel.y * s + 0.5f;
  const int x = std::isfinite(fx) ? static_cast<int>(std::fmin(std::fmax(fx, 0.0f), w - 1.0f)) : 0;
  const int y = std::isfinite(fy) ? static_cast<int>(std::fmin(std::fmax(fy, 0.0f), h - 1.0f)) : 0;
  trackColors.push_back((*image)[y][x]);
}

void GlobalMap::InitializeKeyFrame(const KeyFrameInput& input,
                                   const std::vector<u16>& markerTracks) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  ClearContent();
  keyFrameStates.PushBack136(input.state);
  keyFramePoses.PushBack48(input.pose);
  keyFrameFlags.assign(1, 0);
  keyFrames.resize(1);
  KeyFrame& kf = keyFrames[0];
  kf.frameId = input.frameId;
  kf.attitude = input.attitude;
  CopyKeyFrameImages(kf, input);
  u32 counts[kPyramidLevels];
  u32 room = kMaxKeyFrameFeatures;
  for (int l = 0; l < kPyramidLevels; ++l) {
    counts[l] = std::min(input.normalized[l].Size(), room);
    room -= counts[l];
  }
  SetLevelOffsets(kf, counts);
  for (int l = 0; l < kPyramidLevels; ++l)
    measurements.Append(input.normalized[l].Data(), counts[l]);
  const u32 total = measurements.Size();
  keyFrameMeasurementStart.push_back(total);
  keyFrameTrackRange.assign(1, {0u, total == 0 ? 0u : total - 1});
  trackMeasurements.resize(total);
  measurementTracks.resize(total);
  trackFlags.assign(total, 0);
  trackPlanes.assign(total, kNone16);
  points.Resize(total);
  const MapPoint unset = UnsetPoint();
  u32 t = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (u32 i = 0; i < counts[l]; ++i, ++t) {
      trackMeasurements[t].assign(1, PackMeasurement(0, t));
      measurementTracks[t] = t;
      points[t] = unset;
      const LA::Vector2<float> pixel =
          i < input.pixels[l].Size() ? input.pixels[l][i] : LA::Vector2<float>{0.0f, 0.0f};
      AppendTrackColor(input.colour, pixel, l);
    }
  }
  for (const u16 m : markerTracks) {
    if (m < total) trackFlags[m] |= kTrackMarker;
  }
  // A new map: ids of anything before belong to another map.
  ++structureVersion;
  Stamp(0, std::string());
}

void GlobalMap::PushKeyFrame(u8 keyFrameFlag, const MapWorkingCopy& tracker, KeyFrameInput& input,
                             u8 stamp, const std::string& tag) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  const u32 k = KeyFrameCount();
  const u32 oldTracks = TrackCount();
  // 1. The tracker's states and poses refine the map's (its inertial step
  // works on them); taken only when they describe the same key frames.
  std::memcpy(extrinsic, tracker.extrinsic, sizeof(extrinsic));
  if (tracker.keyFrameStates.Size() == k && tracker.keyFramePoses.Size() == k) {
    keyFrameStates.Assign(tracker.keyFrameStates);
    keyFramePoses.Assign(tracker.keyFramePoses);
  }
  keyFrameStates.PushBack136(input.state);
  keyFramePoses.PushBack48(input.pose);
  keyFrameFlags.push_back(keyFrameFlag);
  // 2. The record; the previous key frame's delta now reaches this one.
  if (k > 0) keyFrames[k - 1].delta = input.sincePrevious;
  keyFrames.emplace_back();
  KeyFrame& kf = keyFrames.back();
  kf.frameId = input.frameId;
  kf.attitude = input.attitude;
  CopyKeyFrameImages(kf, input);
  // 3. One measurement per track and key frame over all levels.
  writeMarks_.assign(oldTracks, 0);
  u32 kept[kPyramidLevels], counts[kPyramidLevels];
  for (int l = 0; l < kPyramidLevels; ++l) {
    std::vector<u32>& ids = input.tracks[l];
    AlignedArray<LA::Vector2<float>>& px = input.pixels[l];
    AlignedArray<MapMeasurement>& nx = input.normalized[l];
    const u32 n = nx.Size();
    const u32 matched = static_cast<u32>(std::min<size_t>(ids.size(), n));
    u32 keep = 0;
    for (u32 i = 0; i < matched; ++i) {
      const u32 r = ResolveTrack(ids[i]);
      if (r >= oldTracks || writeMarks_[r]) continue;
      const std::vector<u32>& list = trackMeasurements[r];
      if (list.empty() || MeasurementKeyFrame(list.back()) >= k) continue;
      writeMarks_[r] = 1;
      ids[keep] = ids[i];
      nx[keep] = nx[i];
      if (i < px.Size()) px[keep] = px[i];
      ++keep;
    }
    // The level's new-track features follow the kept matches.
    for (u32 i = matched; i < n; ++i) {
      const u32 j = keep + (i - matched);
      nx[j] = nx[i];
      if (i < px.Size()) px[j] = px[i];
    }
    const u32 fresh = n - matched;
    nx.Resize(keep + fresh);
    if (px.Size() >= n) px.Resize(keep + fresh);
    ids.resize(keep);
    kept[l] = keep;
    counts[l] = keep + fresh;
  }
  // Feature indices are 16 bits: features beyond the limit are cut, the
  // last levels first.
  u32 room = kMaxKeyFrameFeatures;
  for (int l = 0; l < kPyramidLevels; ++l) {
    counts[l] = std::min(counts[l], room);
    kept[l] = std::min(kept[l], counts[l]);
    room -= counts[l];
    input.normalized[l].Resize(counts[l]);
    if (input.pixels[l].Size() > counts[l]) input.pixels[l].Resize(counts[l]);
    input.tracks[l].resize(kept[l]);
  }
  SetLevelOffsets(kf, counts);
  // 4. Measurements.
  const u32 start = measurements.Size();
  for (int l = 0; l < kPyramidLevels; ++l) {
    measurements.Append(input.normalized[l].Data(), input.normalized[l].Size());
  }
  keyFrameMeasurementStart.push_back(measurements.Size());
  // 5. New tracks.
  u32 newTracks = 0;
  for (int l = 0; l < kPyramidLevels; ++l) newTracks += counts[l] - kept[l];
  const u32 total = oldTracks + newTracks;
  trackMeasurements.resize(total);
  trackFlags.resize(total, 0);
  trackPlanes.resize(total, kNone16);
  points.Reserve(total);
  const MapPoint unset = UnsetPoint();
  for (u32 t = oldTracks; t < total; ++t) points.PushBack(unset, 1000);
  measurementTracks.resize(measurements.Size());
  // 6 and 7. Measurements of matched and new tracks.
  u32 lowest = oldTracks, next = oldTracks, f = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (u32 i = 0; i < counts[l]; ++i, ++f) {
      u32 r;
      if (i < kept[l]) {
        const u32 id = input.tracks[l][i];
        r = ResolveTrack(id);
        if (!(trackFlags[r] & kTrackMarker)) {
          if (id < tracker.points.Size()) points[r] = tracker.points[id];
          if (id < tracker.trackFlags.size()) {
            trackFlags[r] = static_cast<u8>((trackFlags[r] & ~kAdjustedBits) |
                                            (tracker.trackFlags[id] & kAdjustedBits));
          }
        }
        if (r < lowest) lowest = r;
      } else {
        r = next++;
        const LA::Vector2<float> pixel =
            i < input.pixels[l].Size() ? input.pixels[l][i] : LA::Vector2<float>{0.0f, 0.0f};
        AppendTrackColor(input.colour, pixel, l);
      }
      measurementTracks[start + f] = r;
      trackMeasurements[r].push_back(PackMeasurement(k, f));
    }
  }
  // 8. Track range: lowest matched (or first new) to the last track.
  keyFrameTrackRange.push_back({lowest, total == 0 ? 0u : total - 1});
  // Appending keeps every outstanding snapshot's ids valid: only a stamped
  // push moves the counter.
  changed = 1;
  if (stamp) Stamp(1, tag);
}

void GlobalMap::PopKeyFrame(u8 stamp, const std::string& tag) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  if (keyFrames.empty()) return;
  const u32 k = KeyFrameCount() - 1;
  const u32 begin = keyFrameMeasurementStart[k], end = keyFrameMeasurementStart[k + 1];
  u32 tracks = TrackCount();
  for (u32 m = begin; m < end; ++m) {
    const u32 r = ResolveTrack(measurementTracks[m]);
    std::vector<u32>& list = trackMeasurements[r];
    if (list.empty()) continue;
    if (MeasurementKeyFrame(list.front()) == k) tracks = std::min(tracks, r);
    // A key frame's measurement is the last of its track's sorted list.
    if (MeasurementKeyFrame(list.back()) == k) list.pop_back();
    if (list.size() <= 1 && !(trackFlags[r] & (kTrackImu | kTrackMarker))) {
      trackFlags[r] &= static_cast<u8>(~kAdjustedBits);
    }
  }
  // The key frame's own tracks are the newest ids, and they go. After a
  // trim an older track may also have had its first kept measurement here:
  // it stays, now empty, and so does every track after it that still holds
  // measurements.
  for (u32 t = tracks; t < TrackCount(); ++t) {
    if (!trackMeasurements[t].empty() && !(trackFlags[t] & kTrackMergedAway)) tracks = t + 1;
  }
  keyFrameStates.Resize(k);
  keyFramePoses.Resize(k);
  keyFrameFlags.resize(k);
  keyFrames.pop_back();
  if (k > 0) SetEmptyIMUDelta(keyFrames[k - 1].delta);
  measurements.Resize(begin);
  measurementTracks.resize(begin);
  keyFrameMeasurementStart.resize(k + 1);
  keyFrameTrackRange.resize(k);
  points.Resize(tracks);
  trackMeasurements.resize(tracks);
  trackFlags.resize(tracks);
  trackColors.resize(tracks);
  trackPlanes.resize(tracks);
  ++structureVersion;
  Stamp(stamp, tag);
}

void GlobalMap::RemoveKeyFramesBefore(u16 first, std::vector<u32>& trackMap,
                                      const std::string& tag) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  const u32 K = KeyFrameCount();
  if (first > K) first = static_cast<u16>(K);
  const u32 m = K - first;
  // 1. Key-frame records move down.
  for (u32 j = 0; j < m; ++j) {
    if (first == 0) break;
    keyFrameStates[j] = keyFrameStates[j + first];
    keyFramePoses[j] = keyFramePoses[j + first];
    KeyFrame::Copy(keyFrames[j], keyFrames[j + first]);
    keyFrameFlags[j] = keyFrameFlags[j + first];
  }
  keyFrameStates.Resize(m);
  keyFramePoses.Resize(m);
  keyFrames.resize(m);
  keyFrameFlags.resize(m);
  // 2. The leading measurements go.
  const u32 drop = keyFrameMeasurementStart[first];
  const u32 oldCount = measurements.Size();
  std::vector<u32> starts(keyFrameMeasurementStart.begin() + first,
                          keyFrameMeasurementStart.begin() + first + m + 1);
  for (u32& s : starts) s -= drop;
  // 3. Tracks that keep a measurement get new ids in id order.
  const u32 T = TrackCount();
  trackMap.assign(T, kNone32);
  u32 next = 0;
  for (u32 t = 0; t < T; ++t) {
    if (trackFlags[t] & kTrackMergedAway) continue;
    u32 keptCount = 0;
    for (const u32 e : trackMeasurements[t]) keptCount += MeasurementKeyFrame(e) >= first ? 1 : 0;
    if (keptCount == 0) continue;
    u8 flags = trackFlags[t];
    // IMU and MARKER tracks keep their point with one measurement.
    if (keptCount == 1 && !(flags & (kTrackImu | kTrackMarker))) {
      flags &= static_cast<u8>(~(kTrackSolved | kTrackInlier));
    }
    const u32 id = next++;
    trackMap[t] = id;
    points[id] = points[t];
    trackPlanes[id] = trackPlanes[t];
    trackFlags[id] = flags;
    trackColors[id] = trackColors[t];
  }
  for (u32 t = 0; t < next; ++t) trackMeasurements[t].clear();
  trackMeasurements.resize(next);
  // 4. Measurements of kept tracks, key frame by key frame.
  keyFrameMeasurementStart.assign(m + 1, 0);
  keyFrameTrackRange.assign(m, {next, 0u});
  u32 count = 0;
  for (u32 j = 0; j < m; ++j) {
    keyFrameMeasurementStart[j] = count;
    KeyFrame& kf = keyFrames[j];
    u16 offsets[6];
    std::memcpy(offsets, kf.levelOffsets, sizeof(offsets));
    u32 feature = 0;
    for (u32 i = starts[j]; i < starts[j + 1]; ++i) {
      const u32 src = i + drop;
      // Level boundaries follow the kept measurements.
      for (int l = 1; l < kPyramidLevels; ++l) {
        if (i - starts[j] == offsets[l]) kf.levelOffsets[l] = static_cast<u16>(feature);
      }
      const u32 id = trackMap[measurementTracks[src]];
      if (id == kNone32) continue;
      measurementTracks[count] = id;
      measurements[count] = measurements[src];
      trackMeasurements[id].push_back(PackMeasurement(j, feature));
      auto& range = keyFrameTrackRange[j];
      range.first = std::min(range.first, id);
      range.second = std::max(range.second, id);
      ++count;
      ++feature;
    }
    // Levels whose offset lies at or past the end of the old block.
    for (int l = 1; l < kPyramidLevels; ++l) {
      if (offsets[l] >= starts[j + 1] - starts[j]) kf.levelOffsets[l] = static_cast<u16>(feature);
    }
    kf.levelOffsets[0] = 0;
    kf.levelOffsets[4] = kf.levelOffsets[5] = static_cast<u16>(feature);
  }
  keyFrameMeasurementStart[m] = count;
  (void)oldCount;
  measurements.Resize(count);
  measurementTracks.resize(count);
  // 5. Track arrays shrink.
  points.Resize(next);
  trackPlanes.resize(next);
  trackFlags.resize(next);
  trackColors.resize(next);
  ++structureVersion;
  Stamp(1, tag);
}

void GlobalMap::AddInertialUnitEvidence(f64 xy, f64 xx) {
  SharedLock lock(mutex);
  if (scale == 0.0f) inertialUnits_.Add(xy, xx);
}

void GlobalMap::SetAnchoredStructure(f32 newScale, const IMUState& state, const CameraPose& pose,
                                     const AlignedArray<MapPoint>& newPoints,
                                     const AlignedArray<MapPlane>& newPlanes,
                                     const std::vector<u8>& newTrackFlags,
                                     const std::vector<u8>& newPlaneFlags,
                                     const std::vector<u16>& newTrackPlanes) {
  UpgradeLock upgrade(mutex);
  UniqueLock lock(upgrade);
  const u32 T = TrackCount();
  // Arrays that do not describe this map's tracks and planes are refused
  // rather than break the per-track invariants.
  if (newPoints.Size() != T || newTrackFlags.size() != T || newTrackPlanes.size() != T ||
      newPlaneFlags.size() != newPlanes.Size()) {
    return;
  }
  scale = newScale;
  inertialUnits_.Reset();  // the sheet's metre
  if (!keyFrames.empty()) {
    keyFrameStates[0] = state;
    keyFramePoses[0] = pose;
  }
  points.Assign(newPoints);
  planes.Assign(newPlanes);
  // Merge links live in the flags and lists; the anchoring does not touch them.
  for (u32 t = 0; t < T; ++t) {
    const u8 link = trackFlags[t] & (kTrackMerged | kTrackMergedAway);
    trackFlags[t] = static_cast<u8>((newTrackFlags[t] & ~(kTrackMerged | kTrackMergedAway)) | link);
    const u16 p = newTrackPlanes[t];
    trackPlanes[t] = p < newPlanes.Size() ? p : kNone16;
  }
  planeFlags = newPlaneFlags;
  // The plane set is replaced: outstanding snapshots name other planes.
  Stamp(0, std::string());
}

void GlobalMap::GetKeyFrameFeatures(u16 keyFrame, u8 level, AlignedArray<MapMeasurement>& out,
                                    std::vector<u32>& tracks) const {
  SharedLock lock(mutex);
  out.Clear();
  tracks.clear();
  if (keyFrame >= KeyFrameCount() || level >= kPyramidLevels) return;
  const u16* o = keyFrames[keyFrame].levelOffsets;
  const u32 begin = keyFrameMeasurementStart[keyFrame] + o[level];
  const u32 end = keyFrameMeasurementStart[keyFrame] + o[level + 1];
  RefillArray(out, measurements.Data() + begin, end - begin);
  tracks.assign(measurementTracks.begin() + begin, measurementTracks.begin() + end);
}

void GlobalMap::GetTrackMeasurements(u32& track, std::vector<u16>& keyFrameList,
                                     std::vector<u16>& features) const {
  SharedLock lock(mutex);
  keyFrameList.clear();
  features.clear();
  track = ResolveTrack(track);
  if (track >= TrackCount()) return;
  for (const u32 e : trackMeasurements[track]) {
    keyFrameList.push_back(static_cast<u16>(MeasurementKeyFrame(e)));
    features.push_back(static_cast<u16>(MeasurementFeature(e)));
  }
}
