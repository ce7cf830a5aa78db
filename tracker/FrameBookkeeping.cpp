// Patch statistics, removal of a ring frame, re-derivation of a frame's
// matches after the map changed, and the counting helpers the stages share.
#include <algorithm>
#include <cfloat>
#include <cstring>

#include "tracker/tracker.h"

namespace {

u8 FlagOf(const std::vector<u8>& flags, u32 track) {
  return track < flags.size() ? flags[track] : 0;
}

u32 Renumber(const std::vector<u32>& table, u32 track) {
  return track < table.size() ? table[track] : track;
}

ImageMatch AsImageMatch(const MapMatch& m) {
  return {m.track, m.patch, 0xFFFFFFFF, m.px, m.py};
}

bool ByTrack(const MapMatch& a, const MapMatch& b) {
  return a.track < b.track;
}

}  // namespace

void Tracker::UpdatePatchStatistics(u16 frame) {
  TrackerFrame& f = frames[frame];
  const u32 n = patches.Size();
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const MapMatch& m : f.mapMatches[l]) {
      if (m.patch >= n) continue;
      FeaturePatch& p = patches[m.patch];
      if (!(p.flags & kPatchReliable)) {
        p.trackedCount = 1;
        p.lostCount = 0;
      } else {
        ++p.trackedCount;
      }
      p.flags |= kPatchReliable;
    }
    for (const ImageMatch& m : f.lost[l]) {
      if (m.patch >= n) continue;
      FeaturePatch& p = patches[m.patch];
      ++p.lostCount;
      if (p.lostCount > p.trackedCount || p.lostCount >= 11) p.flags &= ~kPatchReliable;
    }
  }
  referencePose = f.pose.slot[1];
}

void Tracker::RemoveFrame(u16 r) {
  if (r == currentFrame || r >= frames.size()) return;
  const u16 next = Next(r);
  TrackerFrame& removed = frames[r];
  TrackerFrame& following = frames[next];
  if (Prev(r) == currentFrame) {
    // The oldest frame has no predecessor: its samples cover time before
    // anything the ring still holds.
    std::memset(static_cast<void*>(&following.delta[0]), 0, sizeof(IMUDelta));
    following.delta[0].dq[3] = 1.0;
    following.delta[0].dr_dr[0] = following.delta[0].dr_dr[4] = following.delta[0].dr_dr[8] = 1.0;
  } else {
    following.samples.insert(following.samples.begin(), removed.samples.begin(),
                             removed.samples.end());
    const TrackerFrame& before = frames[Prev(r)];
    IMUSample previous;
    for (int i = 0; i < 3; ++i) {
      previous.acceleration[i] = before.lastImu[i];
      previous.rotationRate[i] = before.lastImu[3 + i];
    }
    previous.time = before.time;
    IMUDelta::Initialize(following.samples.data(), static_cast<u32>(following.samples.size()),
                         previous, following.time, following.delta[0]);
  }
  // Each later frame moves down one slot (storage changes owner, nothing is
  // copied); the removed frame's storage ends in the freed slot currentFrame.
  for (u16 j = r; j != currentFrame;) {
    const u16 k = Next(j);
    std::swap(frames[j], frames[k]);
    std::swap(frameMaps[j], frameMaps[k]);
    j = k;
  }
}

void Tracker::ComputeFrameStatistics(u16 frame) {
  ComputeFrameStatistics(frame, working.resolvedTracks);
}

void Tracker::ComputeFrameStatistics(u16 frame, const std::vector<u32>& table) {
  TrackerFrame& f = frames[frame];
  const std::vector<u8>& flags = working.trackFlags;
  const u32 tracks = static_cast<u32>(flags.size());
  std::vector<MapMatch> others;
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (auto* list : {&f.candidates[l], &f.lost[l], &f.misses[l]})
      for (ImageMatch& m : *list) m.track = Renumber(table, m.track);
    std::vector<MapMatch>& matches = f.mapMatches[l];
    others.clear();
    auto split = std::stable_partition(matches.begin(), matches.end(), [&](const MapMatch& m) {
      return (FlagOf(flags, m.track) & kTrackInlier) != 0;
    });
    others.assign(split, matches.end());
    matches.erase(split, matches.end());
    std::stable_sort(matches.begin(), matches.end(), ByTrack);
    std::stable_sort(others.begin(), others.end(), ByTrack);
    trackMarks.assign(tracks, 0);
    u32 kept = 0;
    for (MapMatch m : matches) {
      m.track = Renumber(table, m.track);
      if (m.track >= tracks || trackMarks[m.track]) {
        f.lost[l].push_back(AsImageMatch(m));
        continue;
      }
      trackMarks[m.track] = 1;
      matches[kept++] = m;
    }
    matches.resize(kept);
    for (MapMatch m : others) {
      m.track = Renumber(table, m.track);
      if (m.track < tracks && !trackMarks[m.track] && !(flags[m.track] & kTrackSolved)) {
        trackMarks[m.track] = 1;
        matches.push_back(m);
      } else {
        f.misses[l].push_back(AsImageMatch(m));
      }
    }
  }
  f.inlierCount = static_cast<u16>(CountInlierMapMatches(frame));
  f.unsolvedCount = static_cast<u16>(CountUnsolvedMapMatches(frame));
}

void Tracker::UpdateFrameCounts(u16 frame, const std::vector<u32>& trackTable, u32 patchShift) {
  TrackerFrame& f = frames[frame];
  auto keep = [&](auto& list) {
    u32 kept = 0;
    for (auto m : list) {
      if (m.patch < patchShift) continue;
      const u32 track = Renumber(trackTable, m.track);
      if (track == kNone32) continue;
      m.track = track;
      m.patch -= patchShift;
      list[kept++] = m;
    }
    list.resize(kept);
  };
  for (int l = 0; l < kPyramidLevels; ++l) {
    keep(f.mapMatches[l]);
    keep(f.candidates[l]);
    keep(f.lost[l]);
    keep(f.misses[l]);
  }
  f.inlierCount = static_cast<u16>(CountInlierMapMatches(frame));
  f.unsolvedCount = static_cast<u16>(CountUnsolvedMapMatches(frame));
}

void Tracker::NormalizeMatchPositions(const Intrinsic& k, std::vector<MapMatch>& list) {
  for (MapMatch& m : list) {
    m.nx = (m.x - k.cx[0]) * k.ifx[0];
    m.ny = (m.y - k.cy[0]) * k.ify[0];
  }
}

void NormalizePointArray(const Intrinsic& k, AlignedArray<LA::Vector2<float>>& points) {
  for (LA::Vector2<float>& p : points) {
    p.x = (p.x - k.cx[0]) * k.ifx[0];
    p.y = (p.y - k.cy[0]) * k.ify[0];
  }
}

u32 Tracker::CountInlierMapMatches(u16 frame) const {
  u32 n = 0;
  for (const auto& list : frames[frame].mapMatches)
    for (const MapMatch& m : list)
      n += (FlagOf(working.trackFlags, m.track) & kTrackInlier) ? 1 : 0;
  return n;
}

u32 Tracker::CountUnsolvedMapMatches(u16 frame) const {
  u32 n = 0;
  for (const auto& list : frames[frame].mapMatches)
    for (const MapMatch& m : list)
      n += (FlagOf(working.trackFlags, m.track) & kTrackSolved) ? 0 : 1;
  return n;
}

u32 Tracker::CountMarkedMapMatches(u16 frame, const std::vector<u8>& marks) const {
  u32 n = 0;
  for (const auto& list : frames[frame].mapMatches)
    for (const MapMatch& m : list) n += (m.track < marks.size() && marks[m.track]) ? 1 : 0;
  return n;
}

u32 Tracker::CountKeyFrameTrackMatches(u16 frame, const std::vector<u16>& table) const {
  u32 n = 0;
  for (const auto& list : frames[frame].mapMatches)
    for (const MapMatch& m : list)
      n += (m.track < table.size() && table[m.track] < kNoSlot) ? 1 : 0;
  return n;
}

void Tracker::MarkFrameTracks(u16 frame, std::vector<u8>& marks) const {
  marks.assign(working.trackFlags.size(), 0);
  for (const auto& list : frames[frame].mapMatches)
    for (const MapMatch& m : list)
      if (m.track < marks.size()) marks[m.track] = 1;
}

namespace {

// The key frame's range in the concatenated track lists.
bool KeyFrameTrackRange(const MapWorkingCopy& w, u16 keyFrame, u32& begin, u32& end) {
  if (static_cast<size_t>(keyFrame) + 1 >= w.keyFrameMeasurementStart.size()) return false;
  begin = w.keyFrameMeasurementStart[keyFrame];
  end = std::min<u32>(w.keyFrameMeasurementStart[keyFrame + 1],
                      static_cast<u32>(w.measurementTracks.size()));
  return begin <= end;
}

}  // namespace

u32 Tracker::CountKeyFrameTracks(u16 keyFrame, u8 mask) const {
  u32 begin = 0, end = 0, n = 0;
  if (!KeyFrameTrackRange(working, keyFrame, begin, end)) return 0;
  for (u32 i = begin; i < end; ++i)
    n += (FlagOf(working.trackFlags, working.measurementTracks[i]) & mask) ? 1 : 0;
  return n;
}

u32 Tracker::CountKeyFrameTracksWithFlags(u16 keyFrame, int level, u8 mask) const {
  u32 begin = 0, end = 0, n = 0;
  if (!KeyFrameTrackRange(working, keyFrame, begin, end) || keyFrame >= map->keyFrames.size())
    return 0;
  const u16* offsets = map->keyFrames[keyFrame].levelOffsets;
  const u32 first = begin + offsets[level];
  const u32 last = std::min(end, begin + offsets[level + 1]);
  for (u32 i = first; i < last; ++i)
    n += (FlagOf(working.trackFlags, working.measurementTracks[i]) & mask) ? 1 : 0;
  return n;
}

void Tracker::MarkKeyFrameTracks(u16 keyFrame, std::vector<u8>& marks) const {
  marks.assign(working.trackFlags.size(), 0);
  u32 begin = 0, end = 0;
  if (!KeyFrameTrackRange(working, keyFrame, begin, end)) return;
  for (u32 i = begin; i < end; ++i)
    if (working.measurementTracks[i] < marks.size()) marks[working.measurementTracks[i]] = 1;
}

void Tracker::MapKeyFrameTrackIndices(u16 keyFrame, std::vector<u16>& table) const {
  table.assign(working.trackFlags.size(), kNoSlot);
  u32 begin = 0, end = 0;
  if (!KeyFrameTrackRange(working, keyFrame, begin, end)) return;
  for (u32 i = begin; i < end; ++i)
    if (working.measurementTracks[i] < table.size())
      table[working.measurementTracks[i]] = static_cast<u16>(i - begin);
}

void Tracker::CountPlaneTracks(std::vector<u32>& counts) const {
  counts.assign(working.planes.Size(), 0);
  for (u16 plane : working.trackPlanes)
    if (plane < counts.size()) ++counts[plane];
}

void Tracker::BuildKeyFrameMatchSet(u16 keyFrame, u16 frame, MatchSet2D& set,
                                    std::vector<u32> (&trackLists)[kPyramidLevels]) {
  std::vector<u16> table;
  MapKeyFrameTrackIndices(keyFrame, table);
  const u32 featureStart = keyFrame < keyFrameRecords.size() ? keyFrameRecords[keyFrame][5] : 0;
  u32 n = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    trackLists[l].clear();
    for (const MapMatch& m : frames[frame].mapMatches[l])
      if (m.track < table.size() && table[m.track] != kNoSlot &&
          featureStart + table[m.track] < keyFrameNormalized.Size())
        ++n;
  }
  set.Resize(static_cast<u16>(n));
  u32 i = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const MapMatch& m : frames[frame].mapMatches[l]) {
      if (m.track >= table.size() || table[m.track] == kNoSlot) continue;
      const u32 feature = featureStart + table[m.track];
      if (feature >= keyFrameNormalized.Size()) continue;
      const LA::Vector2<float>& x1 = keyFrameNormalized[feature];
      set.SetMatch(i++, x1.x, x1.y, m.nx, m.ny);
      trackLists[l].push_back(m.track);
    }
  }
}

void Tracker::BuildFrameMatchSet(u16 frameA, u16 frameB, MatchSet2D& set,
                                 std::vector<u32> (&lists)[kPyramidLevels]) {
  // Track -> position of its match in frame A.
  std::vector<u32> where(working.trackFlags.size(), kNone32);
  std::vector<const MapMatch*> matchesA;
  for (const auto& list : frames[frameA].mapMatches)
    for (const MapMatch& m : list)
      if (m.track < where.size()) {
        where[m.track] = static_cast<u32>(matchesA.size());
        matchesA.push_back(&m);
      }
  u32 n = 0;
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const MapMatch& m : frames[frameB].mapMatches[l])
      n += (m.track < where.size() && where[m.track] != kNone32) ? 1 : 0;
  set.Resize(static_cast<u16>(n));
  u32 i = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    lists[l].clear();
    for (const MapMatch& m : frames[frameB].mapMatches[l]) {
      if (m.track >= where.size() || where[m.track] == kNone32) continue;
      const MapMatch& a = *matchesA[where[m.track]];
      set.SetMatch(i++, a.nx, a.ny, m.nx, m.ny);
      lists[l].push_back(m.track);
    }
  }
}

void MakePixelWarp(const Intrinsic& k, const WarpRecord& map, WarpRecord& out) {
  const bool affine = map.IsAffine();
  const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
  float M[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) M[r][c] = map.m[4 * r + c];
  if (affine) {
    M[2][0] = M[2][1] = 0.0f;
    M[2][2] = 1.0f;
  }
  // K M K^-1 with K^-1 = [1/fx 0 -cx/fx; 0 1/fy -cy/fy; 0 0 1].
  float KM[3][3];
  for (int c = 0; c < 3; ++c) {
    KM[0][c] = fx * M[0][c] + cx * M[2][c];
    KM[1][c] = fy * M[1][c] + cy * M[2][c];
    KM[2][c] = M[2][c];
  }
  std::memset(out.m, 0, sizeof(out.m));
  for (int r = 0; r < 3; ++r) {
    out.m[4 * r + 0] = KM[r][0] / fx;
    out.m[4 * r + 1] = KM[r][1] / fy;
    out.m[4 * r + 2] = KM[r][2] - KM[r][0] * cx / fx - KM[r][1] * cy / fy;
  }
  if (affine) out.m[8] = FLT_MAX;
}
