#include "tracker/PatchSearch.h"

#include <algorithm>
#include <boost/thread/locks.hpp>

#include "features/FastFeatureGrid.h"
#include "features/PatchRefinement.h"
#include "features/PatchWarp.h"

namespace {

// The key-frame image a patch was cut from, or null when the map no longer
// holds it. The caller holds the map's lock.
const CVD::BasicImage<u8>* SourceImage(const GlobalMap& map, const FeaturePatch& patch) {
  if (patch.keyFrame >= map.keyFrames.size() || patch.level >= kPyramidLevels) return nullptr;
  const CVD::Image<u8>& image = map.keyFrames[patch.keyFrame].pyramid[patch.level];
  return image.data() != nullptr ? &image : nullptr;
}

// Both records of a candidate's warp pair exist and are set.
bool HasWarpPair(const AlignedArray<WarpRecord>& warps, u32 index) {
  return index < warps.Size() && warps.Size() - index >= 2 && warps[index].IsSet() &&
         warps[index + 1].IsSet();
}

}  // namespace

bool PatchSearch::InRelocalisation(u16 frame) const {
  return attemptOpen_ && saved_.slot == frame && saved_.number == c_.ring[frame].number;
}

void PatchSearch::SearchMatchPatches(u16 frame, int level, std::vector<ImageMatch>& selected,
                                     float radius) {
  TrackerFrame& f = c_.ring[frame];
  found_.clear();
  f.lost[level].clear();
  if (attemptOpen_ && !InRelocalisation(frame)) attemptOpen_ = false;
  const i32 gate = InRelocalisation(frame) ? kRelocalisingSsdGate : kSsdGate;
  const CVD::BasicImage<u8>& image = f.pyramid[level];
  const FeatureGrid& grid = f.corners[level];
  AlignedArray<FeaturePatch>& patches = c_.mapView.Patches();
  const GlobalMap& map = c_.mapView.Map();
  // The key frames' pyramids are read in place; only this thread adds or
  // removes key frames, but the lock keeps the read honest.
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  // By index and by value: the misses may be appended to the list that the
  // caller passed as `selected`.
  for (size_t k = 0, n = selected.size(); k < n; ++k) {
    const ImageMatch c = selected[k];
    const bool known = c.patch < patches.Size();
    u32 corner = kNone32;
    i32 best = gate;
    if (known && HasWarpPair(f.warps, c.warp) &&
        QueryFeatureWindow(image.size(), grid.corners, grid.rowStarts, c.x, c.y, radius, window_)) {
      FeaturePatch& patch = patches[c.patch];
      const CVD::BasicImage<u8>* source = SourceImage(map, patch);
      if (source != nullptr && WarpPatch8x8(patch, *source, f.warps[c.warp], f.warps[c.warp + 1])) {
        for (const u32 i : window_) {
          const u16 xy[2] = {grid.corners[i].x, grid.corners[i].y};
          const i32 s = PatchZeroMeanSsd(patch, image, xy);
          if (s < best) best = s, corner = i;  // ties keep the first in window order
        }
      }
    }
    if (corner != kNone32) {
      const CornerXY& xy = grid.corners[corner];
      found_.push_back({c.track, c.patch, corner, static_cast<float>(xy.x),
                        static_cast<float>(xy.y), c.x, c.y, 0.0f, 0.0f, best});
    } else if (known && (patches[c.patch].flags & kPatchReliable)) {
      f.lost[level].push_back(c);
    } else {
      f.candidates[level].push_back(c);
    }
  }
  TrackerMapView::NormalizeMatchPositions(c_.camera.intrinsic[level], found_);
}

void PatchSearch::RejectOutlierMatches(u16 frame, float bound) {
  TrackerFrame& f = c_.ring[frame];
  const CameraPose& P = f.pose.slot[kVisual];
  const AlignedArray<MapPoint>& points = c_.mapView.Working().points;
  // Squared bound in normalised units: one level-0 pixel covers 1 / (fx fy),
  // and a level's pixel four times the area of the level above.
  float t = bound * bound * c_.camera.intrinsic[0].misc[1];
  for (int level = 0; level < kPyramidLevels; ++level, t *= 4.0f) {
    std::vector<MapMatch>& list = f.mapMatches[level];
    keep_.assign(list.size(), 1);
    errors_.clear();
    // Without a pose there is nothing to test against.
    if (!IsPoseValid(P)) continue;
    for (u32 i = 0; i < list.size(); ++i) {
      const MapMatch& m = list[i];
      if (!c_.mapView.IsInlier(m.track)) continue;  // kept untested
      const float e2 = TrackerMapView::SquaredMatchError(P, points[m.track], m);
      keep_[i] = e2 < t ? 1 : 0;
      if (keep_[i] && m.corner != kNone32) errors_.push_back({i, e2});
    }
    // One match per corner: the inlier of smallest error, the earlier of
    // equal ones. The index breaks ties, so an in-place sort keeps the order
    // a stable one would give without its temporary buffer.
    std::sort(errors_.begin(), errors_.end(), [](const MatchError& a, const MatchError& b) {
      return a.error2 < b.error2 || (a.error2 == b.error2 && a.index < b.index);
    });
    cornerUsed_.assign(f.corners[level].corners.Size(), 0);
    for (const MatchError& e : errors_) {
      const u32 corner = list[e.index].corner;
      if (corner >= cornerUsed_.size()) continue;
      if (cornerUsed_[corner])
        keep_[e.index] = 0;
      else
        cornerUsed_[corner] = 1;
    }
    u32 kept = 0;
    for (u32 i = 0; i < list.size(); ++i)
      if (keep_[i]) list[kept++] = list[i];
    list.resize(kept);
  }
  f.inlierCount = static_cast<u16>(c_.mapView.CountInlierMapMatches(f));
  f.unsolvedCount = static_cast<u16>(c_.mapView.CountUnsolvedMapMatches(f));
}

void PatchSearch::RefineMatches(u16 frame) {
  TrackerFrame& f = c_.ring[frame];
  const AlignedArray<FeaturePatch>& patches = c_.mapView.Patches();
  const u32 before = f.MapMatchCount();
  for (int level = 0; level < kPyramidLevels; ++level) {
    std::vector<MapMatch>& list = f.mapMatches[level];
    const CVD::BasicImage<u8>& image = f.pyramid[level];
    u32 kept = 0;
    for (MapMatch m : list) {
      float p[2] = {m.x, m.y};
      const bool refined =
          m.patch < patches.Size() &&
          RefinePatchPosition(patches[m.patch].pixels, image, p, templateBuffer_, sampleBuffer_);
      const float dx = p[0] - m.x, dy = p[1] - m.y;
      if (refined && dx * dx + dy * dy < kMaxRefinementShift2) {
        m.x = p[0], m.y = p[1];
        list[kept++] = m;
        continue;
      }
      const ImageMatch miss{m.track, m.patch, kNone32, m.px, m.py};
      (c_.mapView.IsInlier(m.track) ? f.lost[level] : f.misses[level]).push_back(miss);
    }
    list.resize(kept);
    TrackerMapView::NormalizeMatchPositions(c_.camera.intrinsic[level], list);
  }
  DropFarMatches(f);
  f.inlierCount = static_cast<u16>(c_.mapView.CountInlierMapMatches(f));
  f.unsolvedCount = static_cast<u16>(c_.mapView.CountUnsolvedMapMatches(f));
  c_.log.Print("[%d] Refined Matches = %d --> %d\n", f.number, static_cast<int>(before),
               static_cast<int>(f.MapMatchCount()));
}

void PatchSearch::DropFarMatches(TrackerFrame& f) const {
  // A key frame hands its matches to the adjustments as measurements, and
  // they weigh every one in full.
  const TrackerMapView& view = c_.mapView;
  const CameraPose& pose = f.pose.slot[kVisual];
  if (!view.DepthsMeasured() || !IsPoseValid(pose)) return;
  const AlignedArray<MapPoint>& points = view.Working().points;
  for (int level = 0; level < kPyramidLevels; ++level) {
    const float bound = TrackerMapView::FarMatchBound(c_.camera.intrinsic[0], level);
    std::vector<MapMatch>& list = f.mapMatches[level];
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const MapMatch& m) {
                                return view.IsInlier(m.track) &&
                                       !(TrackerMapView::SquaredMatchError(pose, points[m.track],
                                                                           m) < bound);
                              }),
               list.end());
  }
}

void PatchSearch::SaveFrameMatches(u16 frame) {
  const TrackerFrame& f = c_.ring[frame];
  saved_.slot = frame;
  saved_.number = f.number;
  for (int level = 0; level < kPyramidLevels; ++level) {
    saved_.mapMatches[level] = f.mapMatches[level];
    saved_.candidates[level] = f.candidates[level];
    saved_.lost[level] = f.lost[level];
  }
  saved_.inlierCount = f.inlierCount;
  saved_.unsolvedCount = f.unsolvedCount;
  saved_.state = f.state;
  saved_.pose = f.pose;
  attemptOpen_ = true;
}

void PatchSearch::RestoreFrameMatches(u16 frame) {
  if (saved_.slot != frame || !c_.ring.Contains(frame) || saved_.number != c_.ring[frame].number)
    return;
  TrackerFrame& f = c_.ring[frame];
  // Exchanged, not copied: the attempt's lists keep their storage here.
  for (int level = 0; level < kPyramidLevels; ++level) {
    f.mapMatches[level].swap(saved_.mapMatches[level]);
    f.candidates[level].swap(saved_.candidates[level]);
    f.lost[level].swap(saved_.lost[level]);
  }
  // The counts as they were: the attempt is undone completely.
  f.inlierCount = saved_.inlierCount;
  f.unsolvedCount = saved_.unsolvedCount;
  f.state = saved_.state;
  f.pose = saved_.pose;
  saved_.slot = kNone16;
  attemptOpen_ = false;
}
