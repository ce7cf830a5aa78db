// The coverage scores of FrameMeasures: which 16 x 16-pixel cells of level 0
// (32 or more on large frames) the frame's matches, misses and corners touch,
// each position marking the 3 x 3 cells round its own.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "features/CoverageCells.h"
#include "la/LinearAlgebra.h"
#include "tracker/FrameMeasures.h"

namespace {

// cos 60 degrees: a miss seen from further round than this was not to be seen.
constexpr float kFacingCos = 0.5f;
// Below this share of touched cells the lost fraction means nothing.
constexpr double kTouchedShare = 0.08;

}  // namespace

void FrameMeasures::ResetMask(OccupancyMask& mask) const {
  mask.Resize(gridWidth_, gridHeight_);
  mask.Clear();
}

u32 FrameMeasures::GridCells() const {
  return static_cast<u32>(gridWidth_) * gridHeight_;
}

template <class Record>
void FrameMeasures::CollectPositions(const std::vector<Record>& list, bool inliersOnly) {
  cells_.Reserve(cells_.Size() + static_cast<u32>(list.size()));
  for (const Record& r : list) {
    if constexpr (std::is_same<Record, MapMatch>::value)
      if (inliersOnly && !c_.mapView.IsInlier(r.track)) continue;
    cells_.PushBack(TruncateToCorner(r.x, r.y), 256);
  }
}

void FrameMeasures::MarkCollected(OccupancyMask& mask, int level) {
  LevelPointsToCells(level, cells_, cellDoublings_);
  MarkCellBlocks(mask, cells_);
  cells_.Clear();
}

bool FrameMeasures::FacesCamera(const ImageMatch& e, const float zf[3]) {
  const MapWorkingCopy& w = c_.mapView.Working();
  const AlignedArray<FeaturePatch>& patches = c_.mapView.Patches();
  if (e.patch >= patches.Size()) return false;
  const u16 k = patches[e.patch].keyFrame;
  if (k >= keyFrameFacing_.size()) return false;
  const float* zk = w.keyFramePoses[k].m[2];
  const u16 p = e.track < w.trackPlanes.size() ? w.trackPlanes[e.track] : kNone16;
  if (p >= planeFacing_.size()) {
    float& c = keyFrameFacing_[k];
    if (c == FLT_MAX) c = LA::Dot3(zk, zf);
    return c > kFacingCos;
  }
  // A plane is seen from its side: the normal turned towards the key frame
  // that first asked.
  float& c = planeFacing_[p];
  if (c == FLT_MAX) {
    const float* n = w.planes[p].v;
    c = LA::Dot3(zk, n) < 0.0f ? -LA::Dot3(n, zf) : LA::Dot3(n, zf);
  }
  return c > kFacingCos;
}

float FrameMeasures::ComputeMapCoverage(u16 frame) {
  const TrackerFrame& f = c_.ring[frame];
  const MapWorkingCopy& w = c_.mapView.Working();
  ResetMask(maskB_);
  for (int l = 0; l < 2; ++l) {
    CollectPositions(f.mapMatches[l], true);
    MarkCollected(maskB_, l);
  }
  keyFrameFacing_.assign(w.keyFramePoses.Size(), FLT_MAX);
  planeFacing_.assign(w.planes.Size(), FLT_MAX);
  ResetMask(maskC_);
  const CameraPose& pose = f.pose.slot[kVisual];
  if (IsPoseValid(pose)) {
    const float* zf = pose.m[2];
    for (int l = 0; l < 2; ++l) {
      cells_.Reserve(static_cast<u32>(f.lost[l].size()));
      for (const ImageMatch& e : f.lost[l])
        if (FacesCamera(e, zf)) cells_.PushBack(TruncateToCorner(e.x, e.y), 256);
      MarkCollected(maskC_, l);
    }
  }
  const u32 covered = CountSetCells(maskB_);
  const u32 missed = CountSetCellsNotIn(maskC_, maskB_);
  const u32 touched = covered + missed;
  const u32 enough = static_cast<u32>(std::lround(GridCells() * kTouchedShare));
  if (touched == 0 || touched < enough) return 1.0f;
  return static_cast<float>(missed) / static_cast<float>(touched);
}

float FrameMeasures::ComputeImageCoverage(u16 frame) {
  const TrackerFrame& f = c_.ring[frame];
  ResetMask(maskA_);
  for (int l = 0; l < kPyramidLevels; ++l) {
    CollectPositions(f.mapMatches[l], false);
    MarkCollected(maskA_, l);
  }
  const u32 cells = GridCells();
  return cells == 0 ? 0.0f : static_cast<float>(CountSetCells(maskA_)) / cells;
}

float FrameMeasures::ComputeKeyFrameOverlap(u16 keyFrame, u16 frame) {
  const TrackerFrame& f = c_.ring[frame];
  const MapWorkingCopy& w = c_.mapView.Working();
  ResetMask(maskA_);
  if (trackMatched_.size() < w.trackFlags.size()) trackMatched_.resize(w.trackFlags.size(), 0);
  const u32 tracks = static_cast<u32>(trackMatched_.size());
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list)
      if (m.track < tracks) trackMatched_[m.track] = 1;
  TrackerMapView::FeatureSpan span;
  if (c_.mapView.KeyFrameFeatures(keyFrame, span) &&
      span.first + span.count <= c_.mapView.KeyFramePixels().Size()) {
    const u32* trackList = w.measurementTracks.data() + span.trackStart;
    const LA::Vector2<float>* pixels = c_.mapView.KeyFramePixels().Data() + span.first;
    for (int l = 0; l < kPyramidLevels; ++l) {
      const u32 end = std::min<u32>(span.levelOffsets[l + 1], span.count);
      for (u32 j = span.levelOffsets[l]; j < end; ++j)
        if (trackList[j] < tracks && trackMatched_[trackList[j]])
          cells_.PushBack(TruncateToCorner(pixels[j].x, pixels[j].y), 256);
      MarkCollected(maskA_, l);
    }
  }
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list)
      if (m.track < tracks) trackMatched_[m.track] = 0;
  const u32 cells = GridCells();
  return cells == 0 ? 0.0f : static_cast<float>(CountSetCells(maskA_)) / cells;
}

float FrameMeasures::ComputeCombinedCoverage(u16 frame) {
  const TrackerFrame& f = c_.ring[frame];
  ResetMask(maskA_);
  const AlignedArray<CornerXY>& corners = f.corners[0].corners;
  // With room to spare: the count moves from frame to frame and each new
  // largest would otherwise reallocate.
  cells_.ResizeWithRoom(corners.Size());
  if (corners.Size() > 0)
    std::memcpy(static_cast<void*>(cells_.Data()), corners.Data(),
                sizeof(CornerXY) * corners.Size());
  MarkCollected(maskA_, 0);
  ResetMask(maskB_);
  CollectPositions(f.mapMatches[0], true);
  CollectPositions(f.candidates[0], false);
  CollectPositions(f.lost[0], false);
  MarkCollected(maskB_, 0);
  const u32 cells = GridCells();
  return cells == 0 ? 0.0f : static_cast<float>(CountSetCellsNotIn(maskA_, maskB_)) / cells;
}
