#include "tracker/TrackerMapView.h"

#include <algorithm>
#include <cfloat>

namespace {

u8 FlagOf(const std::vector<u8>& flags, u32 track) {
  return track < flags.size() ? flags[track] : 0;
}

u32 Renumber(const std::vector<u32>& table, u32 track) {
  return track < table.size() ? table[track] : track;
}

ImageMatch AsImageMatch(const MapMatch& m) {
  return {m.track, m.patch, kNone32, m.px, m.py};
}

// Sort key of a match: inliers before the rest, then the track, then the
// place in the list, so that an unstable sort of the keys orders the list as
// a stable partition and two stable sorts would, without their temporary
// buffers.
u64 OrderKey(bool inlier, u32 track, u32 place) {
  return (static_cast<u64>(inlier ? 0u : 1u) << 63) | (static_cast<u64>(track) << 31) | place;
}
constexpr u64 kPlaceMask = (u64{1} << 31) - 1;

// The key frame's range in the concatenated track lists.
bool KeyFrameTrackRange(const MapWorkingCopy& w, u16 keyFrame, u32& begin, u32& end) {
  if (static_cast<size_t>(keyFrame) + 1 >= w.keyFrameMeasurementStart.size()) return false;
  begin = w.keyFrameMeasurementStart[keyFrame];
  end = std::min<u32>(w.keyFrameMeasurementStart[keyFrame + 1],
                      static_cast<u32>(w.measurementTracks.size()));
  return begin <= end;
}

}  // namespace

bool TrackerMapView::Synchronize() {
  if (!map_.Synchronize(working_)) return false;
  constexpr u8 kOwnBits = kTrackSolved | kTrackInlier | kTrackUnreliable;
  const size_t tracks = std::min<size_t>(working_.trackFlags.size(), working_.points.Size());
  size_t kept = 0;
  for (const OwnPoint& e : ownPoints_) {
    // Gone from the map, solved by it (it holds the point now) or merged
    // into another track: the map's word stands.
    if (e.track >= tracks || (working_.trackFlags[e.track] & (kTrackSolved | kTrackMergedAway))) {
      ownIndex_[e.track] = kNone32;
      continue;
    }
    u8& flags = working_.trackFlags[e.track];
    working_.points[e.track] = e.point;
    flags = static_cast<u8>((flags & ~kOwnBits) | (e.flags & kOwnBits));
    ownIndex_[e.track] = static_cast<u32>(kept);
    ownPoints_[kept++] = e;
  }
  ownPoints_.resize(kept);
  return true;
}

void TrackerMapView::NoteOwnPoint(u32 track) {
  if (track >= working_.trackFlags.size() || track >= working_.points.Size()) return;
  if (ownIndex_.size() <= track) ownIndex_.resize(working_.trackFlags.size(), kNone32);
  const u8 flags = working_.trackFlags[track];
  u32& index = ownIndex_[track];
  if (flags & kTrackSolved) {
    if (index == kNone32) {
      index = static_cast<u32>(ownPoints_.size());
      ownPoints_.push_back({working_.points[track], track, flags});
    } else {
      ownPoints_[index].point = working_.points[track];
      ownPoints_[index].flags = flags;
    }
  } else if (index != kNone32) {
    // Swap the last entry into the freed place.
    const OwnPoint last = ownPoints_.back();
    ownPoints_[index] = last;
    ownIndex_[last.track] = index;
    ownPoints_.pop_back();
    index = kNone32;
  }
}

void TrackerMapView::ForgetOwnPoints() {
  for (const OwnPoint& e : ownPoints_) ownIndex_[e.track] = kNone32;
  ownPoints_.clear();
}

void TrackerMapView::Clear() {
  ForgetOwnPoints();
  working_.Clear();
  patches_.Clear();
  records_.clear();
  keyFramePixels_.Clear();
  keyFrameNormalized_.Clear();
  keyFrameMaps_.Clear();
}

void TrackerMapView::BuildKeyFrameRecords() {
  // One patch per track, so the first track a key frame created on a level is
  // its first patch there. A feature created its track when the id is not
  // older than the key frame; features of older tracks are matches.
  const MapWorkingCopy& w = working_;
  const size_t count = std::min(w.keyFrames.size(), w.keyFrameMeasurementStart.size());
  records_.assign(count, KeyFrameRecord{});
  u32 patch = 0;
  for (size_t k = 0; k < count; ++k) {
    const u32 base = w.keyFrameMeasurementStart[k];
    const u16* offsets = w.keyFrames[k].levelOffsets;
    const u32 created = patch;
    KeyFrameRecord& record = records_[k];
    for (int l = 0; l < kPyramidLevels; ++l) {
      record.firstPatch[l] = patch;
      const u32 end = base + offsets[l + 1];
      for (u32 i = base + offsets[l]; i < end && i < w.measurementTracks.size(); ++i)
        if (w.measurementTracks[i] >= created) ++patch;
    }
    record.firstPatch[kPyramidLevels] = patch;
    record.featureStart = base;
  }
}

u16 TrackerMapView::ProvisionalKeyFrame() const {
  const u32 count = KeyFrameCount();
  return count > 0 && (working_.keyFrameFlags[count - 1] & kKeyFrameWeak)
             ? static_cast<u16>(count - 1)
             : kNone16;
}

i32 TrackerMapView::KeyFrameNumber(u16 k) const {
  return k < working_.keyFrames.size() ? static_cast<i32>(working_.keyFrames[k].frameId) : -1;
}

const CVD::BasicImage<float>& TrackerMapView::KeyFrameImage(u16 k) const {
  return k < working_.keyFrames.size() ? working_.keyFrames[k].floatImage : noImage_;
}

const u16* TrackerMapView::KeyFrameLevelOffsets(u16 k) const {
  return k < working_.keyFrames.size() ? working_.keyFrames[k].levelOffsets : nullptr;
}

bool TrackerMapView::KeyFrameFeatures(u16 keyFrame, FeatureSpan& span) const {
  span = FeatureSpan{};
  const std::vector<u32>& starts = working_.keyFrameMeasurementStart;
  const u16* offsets = KeyFrameLevelOffsets(keyFrame);
  if (offsets == nullptr || keyFrame >= records_.size() || keyFrame + size_t{1} >= starts.size())
    return false;
  const u32 trackStart = starts[keyFrame], trackEnd = starts[keyFrame + 1];
  const u32 first = records_[keyFrame].featureStart;
  const u32 features = keyFrameNormalized_.Size();
  // Differences, not sums: starts that run backwards wrap the count past
  // the last check instead of a sum past every check.
  if (trackEnd > working_.measurementTracks.size() || first > features ||
      trackEnd - trackStart > features - first)
    return false;
  span = {first, trackStart, trackEnd - trackStart, offsets};
  return true;
}

void TrackerMapView::UpdatePatchStatistics(const TrackerFrame& f) {
  const u32 n = patches_.Size();
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const MapMatch& m : f.mapMatches[l]) {
      if (m.patch >= n) continue;
      FeaturePatch& p = patches_[m.patch];
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
      FeaturePatch& p = patches_[m.patch];
      ++p.lostCount;
      if (p.lostCount > p.trackedCount || p.lostCount >= 11) p.flags &= ~kPatchReliable;
    }
  }
}

void TrackerMapView::ComputeFrameStatistics(TrackerFrame& f) {
  ComputeFrameStatistics(f, working_.resolvedTracks);
}

void TrackerMapView::ComputeFrameStatistics(TrackerFrame& f, const std::vector<u32>& table) {
  const std::vector<u8>& flags = working_.trackFlags;
  const u32 tracks = static_cast<u32>(flags.size());
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (auto* list : {&f.candidates[l], &f.lost[l], &f.misses[l]})
      for (ImageMatch& m : *list) m.track = Renumber(table, m.track);
    std::vector<MapMatch>& matches = f.mapMatches[l];
    const u32 count = static_cast<u32>(matches.size());
    orderKeys_.resize(count);
    u32 inliers = 0;
    for (u32 i = 0; i < count; ++i) {
      const bool inlier = (FlagOf(flags, matches[i].track) & kTrackInlier) != 0;
      inliers += inlier ? 1u : 0u;
      orderKeys_[i] = OrderKey(inlier, matches[i].track, i);
    }
    std::sort(orderKeys_.begin(), orderKeys_.end());
    ordered_.resize(count);
    for (u32 i = 0; i < count; ++i) ordered_[i] = matches[orderKeys_[i] & kPlaceMask];
    matches.assign(ordered_.begin(), ordered_.begin() + inliers);
    setAside_.assign(ordered_.begin() + inliers, ordered_.end());
    trackMarks_.assign(tracks, 0);
    u32 kept = 0;
    for (MapMatch m : matches) {
      m.track = Renumber(table, m.track);
      if (m.track >= tracks || trackMarks_[m.track]) {
        f.lost[l].push_back(AsImageMatch(m));
        continue;
      }
      trackMarks_[m.track] = 1;
      matches[kept++] = m;
    }
    matches.resize(kept);
    for (MapMatch m : setAside_) {
      m.track = Renumber(table, m.track);
      if (m.track < tracks && !trackMarks_[m.track] && !(flags[m.track] & kTrackSolved)) {
        trackMarks_[m.track] = 1;
        matches.push_back(m);
      } else {
        f.misses[l].push_back(AsImageMatch(m));
      }
    }
  }
  f.inlierCount = static_cast<u16>(CountInlierMapMatches(f));
  f.unsolvedCount = static_cast<u16>(CountUnsolvedMapMatches(f));
}

void TrackerMapView::UpdateFrameCounts(TrackerFrame& f, const std::vector<u32>& trackTable,
                                       u32 patchShift) const {
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
  f.inlierCount = static_cast<u16>(CountInlierMapMatches(f));
  f.unsolvedCount = static_cast<u16>(CountUnsolvedMapMatches(f));
}

void TrackerMapView::NormalizeMatchPositions(const Intrinsic& k, std::vector<MapMatch>& list) {
  for (MapMatch& m : list) {
    m.nx = (m.x - k.cx[0]) * k.ifx[0];
    m.ny = (m.y - k.cy[0]) * k.ify[0];
  }
}

float TrackerMapView::SquaredMatchError(const CameraPose& P, const MapPoint& point,
                                        const MapMatch& m) {
  const float* X = point.v;
  float x[3];
  for (int r = 0; r < 3; ++r)
    x[r] = P.m[r][0] * X[0] + P.m[r][1] * X[1] + P.m[r][2] * X[2] + P.m[r][3];
  if (!(x[2] > 0.0f)) return FLT_MAX;
  const float du = m.nx - x[0] / x[2], dv = m.ny - x[1] / x[2];
  return du * du + dv * dv;
}

float TrackerMapView::FarMatchBound(const Intrinsic& level0, int level) {
  // One level-0 pixel covers 1 / (fx fy) of the normalised plane.
  const float pixels = kFarMatchPixels * static_cast<float>(1 << level);
  return pixels * pixels * level0.misc[1];
}

bool TrackerMapView::IsInlier(u32 track) const {
  return track < working_.trackFlags.size() && track < working_.points.Size() &&
         (working_.trackFlags[track] & kTrackInlier);
}

u32 TrackerMapView::CountInlierMapMatches(const TrackerFrame& f) const {
  u32 n = 0;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list)
      n += (FlagOf(working_.trackFlags, m.track) & kTrackInlier) ? 1 : 0;
  return n;
}

u32 TrackerMapView::CountUnsolvedMapMatches(const TrackerFrame& f) const {
  u32 n = 0;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list)
      n += (FlagOf(working_.trackFlags, m.track) & kTrackSolved) ? 0 : 1;
  return n;
}

u32 TrackerMapView::CountMarkedMapMatches(const TrackerFrame& f,
                                          const std::vector<u8>& marks) const {
  u32 n = 0;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) n += (m.track < marks.size() && marks[m.track]) ? 1 : 0;
  return n;
}

u32 TrackerMapView::CountKeyFrameTrackMatches(const TrackerFrame& f,
                                              const std::vector<u16>& table) const {
  u32 n = 0;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list)
      n += (m.track < table.size() && table[m.track] < kNone16) ? 1 : 0;
  return n;
}

void TrackerMapView::MarkFrameTracks(const TrackerFrame& f, std::vector<u8>& marks) const {
  marks.assign(working_.trackFlags.size(), 0);
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list)
      if (m.track < marks.size()) marks[m.track] = 1;
}

u32 TrackerMapView::CountKeyFrameTracks(u16 keyFrame, u8 mask) const {
  u32 begin = 0, end = 0, n = 0;
  if (!KeyFrameTrackRange(working_, keyFrame, begin, end)) return 0;
  for (u32 i = begin; i < end; ++i)
    n += (FlagOf(working_.trackFlags, working_.measurementTracks[i]) & mask) ? 1 : 0;
  return n;
}

u32 TrackerMapView::CountKeyFrameTracksWithFlags(u16 keyFrame, int level, u8 mask) const {
  u32 begin = 0, end = 0, n = 0;
  const u16* offsets = KeyFrameLevelOffsets(keyFrame);
  if (!KeyFrameTrackRange(working_, keyFrame, begin, end) || offsets == nullptr) return 0;
  const u32 first = begin + offsets[level];
  const u32 last = std::min(end, begin + offsets[level + 1]);
  for (u32 i = first; i < last; ++i)
    n += (FlagOf(working_.trackFlags, working_.measurementTracks[i]) & mask) ? 1 : 0;
  return n;
}

void TrackerMapView::MarkKeyFrameTracks(u16 keyFrame, std::vector<u8>& marks) const {
  marks.assign(working_.trackFlags.size(), 0);
  u32 begin = 0, end = 0;
  if (!KeyFrameTrackRange(working_, keyFrame, begin, end)) return;
  for (u32 i = begin; i < end; ++i)
    if (working_.measurementTracks[i] < marks.size()) marks[working_.measurementTracks[i]] = 1;
}

void TrackerMapView::MapKeyFrameTrackIndices(u16 keyFrame, std::vector<u16>& table) const {
  table.assign(working_.trackFlags.size(), kNone16);
  u32 begin = 0, end = 0;
  if (!KeyFrameTrackRange(working_, keyFrame, begin, end)) return;
  for (u32 i = begin; i < end; ++i)
    if (working_.measurementTracks[i] < table.size())
      table[working_.measurementTracks[i]] = static_cast<u16>(i - begin);
}

void TrackerMapView::CountPlaneTracks(std::vector<u32>& counts) const {
  counts.assign(working_.planes.Size(), 0);
  for (u16 plane : working_.trackPlanes)
    if (plane < counts.size()) ++counts[plane];
}

void TrackerMapView::BuildKeyFrameMatchSet(u16 keyFrame, const TrackerFrame& frame, MatchSet2D& set,
                                           std::vector<u32> (&trackLists)[kPyramidLevels]) const {
  std::vector<u16> table;
  MapKeyFrameTrackIndices(keyFrame, table);
  const u32 featureStart = keyFrame < records_.size() ? records_[keyFrame].featureStart : 0;
  u32 n = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    trackLists[l].clear();
    for (const MapMatch& m : frame.mapMatches[l])
      if (m.track < table.size() && table[m.track] != kNone16 &&
          featureStart + table[m.track] < keyFrameNormalized_.Size())
        ++n;
  }
  set.Resize(static_cast<u16>(n));
  u32 i = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const MapMatch& m : frame.mapMatches[l]) {
      if (m.track >= table.size() || table[m.track] == kNone16) continue;
      const u32 feature = featureStart + table[m.track];
      if (feature >= keyFrameNormalized_.Size()) continue;
      const LA::Vector2<float>& x1 = keyFrameNormalized_[feature];
      set.SetMatch(i++, x1.x, x1.y, m.nx, m.ny);
      trackLists[l].push_back(m.track);
    }
  }
}

void TrackerMapView::BuildFrameMatchSet(const TrackerFrame& frameA, const TrackerFrame& frameB,
                                        MatchSet2D& set,
                                        std::vector<u32> (&lists)[kPyramidLevels]) const {
  // Track -> position of its match in frame A.
  std::vector<u32> where(working_.trackFlags.size(), kNone32);
  std::vector<const MapMatch*> matchesA;
  for (const auto& list : frameA.mapMatches)
    for (const MapMatch& m : list)
      if (m.track < where.size()) {
        where[m.track] = static_cast<u32>(matchesA.size());
        matchesA.push_back(&m);
      }
  u32 n = 0;
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const MapMatch& m : frameB.mapMatches[l])
      n += (m.track < where.size() && where[m.track] != kNone32) ? 1 : 0;
  set.Resize(static_cast<u16>(n));
  u32 i = 0;
  for (int l = 0; l < kPyramidLevels; ++l) {
    lists[l].clear();
    for (const MapMatch& m : frameB.mapMatches[l]) {
      if (m.track >= where.size() || where[m.track] == kNone32) continue;
      const MapMatch& a = *matchesA[where[m.track]];
      set.SetMatch(i++, a.nx, a.ny, m.nx, m.ny);
      lists[l].push_back(m.track);
    }
  }
}
