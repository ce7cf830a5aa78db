#include "tracker/MapMatching.h"

#include <algorithm>
#include <utility>

#include "features/SpreadingGrid.h"
#include "la/Random.h"

namespace {

u32 TotalSize(const std::vector<ImageMatch> (&lists)[kPyramidLevels]) {
  u32 n = 0;
  for (const auto& list : lists) n += static_cast<u32>(list.size());
  return n;
}

// Fisher-Yates over the tracker's generator, which the driver reseeds every
// frame, so that two runs over one input search the same candidates.
void Shuffle(std::vector<ImageMatch>& group) {
  for (u32 i = 1; i < group.size(); ++i) std::swap(group[i], group[Random::Index(i + 1)]);
}

}  // namespace

void MapMatching::MatchMap(u16 frame, TrackingMode) {
  if (!c_.ring.Contains(frame)) return;
  TrackerFrame& f = c_.ring[frame];
  for (auto& list : f.mapMatches) list.clear();
  for (const float radius : kPassRadius) {
    ProjectMapPoints(frame);
    float levelRadius = radius;
    for (int level = 0; level < kPyramidLevels; ++level, levelRadius *= 0.5f) {
      SelectMatchCandidates(f.pyramid[level].size(), f.candidates[level], selected_, masks_[level],
                            kCandidateCap[level]);
      search_.SearchMatchPatches(frame, level, selected_, levelRadius);
      const std::vector<MapMatch>& found = search_.Found();
      f.mapMatches[level].insert(f.mapMatches[level].end(), found.begin(), found.end());
    }
    // The next pass and the outlier test use whatever pose this leaves.
    pose_.EstimateCameraPose(frame);
    const u32 lost = TotalSize(f.lost), matched = f.MapMatchCount();
    const u32 projected = TotalSize(f.candidates) + lost + matched;
    search_.RejectOutlierMatches(frame, kOutlierRadius);
    c_.log.Print("[%d] Map Matches = %d --> %d --> %d --> %d\n", f.number,
                 static_cast<u16>(projected), static_cast<u16>(lost + matched),
                 static_cast<u16>(matched), static_cast<u16>(f.MapMatchCount()));
  }
}

void MapMatching::SelectMatchCandidates(const CVD::ImageRef& levelSize,
                                        std::vector<ImageMatch>& candidates,
                                        std::vector<ImageMatch>& selected, OccupancyMask& mask,
                                        i32 N) {
  selected.clear();
  if (N <= 0) return;
  const u32 cap = static_cast<u32>(N);
  if (candidates.size() < cap) {
    // Copied, not swapped: each list keeps the storage it has grown.
    selected.assign(candidates.begin(), candidates.end());
    candidates.clear();
    return;
  }
  // Planar reliable tracks first, then reliable ones, then the rest (walked
  // backwards).
  const AlignedArray<FeaturePatch>& patches = c_.mapView.Patches();
  const MapWorkingCopy& w = c_.mapView.Working();
  for (auto& group : groups_) group.clear();
  for (size_t i = candidates.size(); i-- > 0;) {
    const ImageMatch& m = candidates[i];
    const bool reliable = m.patch < patches.Size() && (patches[m.patch].flags & kPatchReliable) &&
                          m.track < w.trackFlags.size() &&
                          !(w.trackFlags[m.track] & kTrackUnreliable);
    const bool planar = m.track < w.trackPlanes.size() && w.trackPlanes[m.track] != kNone16;
    groups_[reliable ? (planar ? 0 : 1) : 2].push_back(m);
  }
  std::reverse(groups_[0].begin(), groups_[0].end());
  std::reverse(groups_[1].begin(), groups_[1].end());
  candidates.clear();
  for (auto& group : groups_) {
    Shuffle(group);
    candidates.insert(candidates.end(), group.begin(), group.end());
  }
  RunSpreadSchedule(levelSize, cap, [&](auto radius) {
    SpreadSelectMatches<decltype(radius)::value>(levelSize, mask, candidates, selected, cap);
    return static_cast<u32>(selected.size());
  });
}
