#include "tracker/ImageMatching.h"

#include <boost/thread/locks.hpp>
#include <cmath>
#include <cstring>

#include "features/FastFeatureGrid.h"
#include "features/ImageMatchSelection.h"
#include "features/PatchWarp.h"
#include "features/WarpGeometry.h"
#include "la/Homography.h"

namespace {

const float (*Rows(const WarpRecord& w))[4] {
  return reinterpret_cast<const float(*)[4]>(w.m);
}

u8 FlagOf(const std::vector<u8>& flags, u32 track) {
  return track < flags.size() ? flags[track] : 0;
}

}  // namespace

ImageMatching::ImageMatching(const TrackerContext& context) : c_(context) {
  fundamentals_.Reserve(kPyramidLevels);
}

void ImageMatching::MatchImages(u16 alignedKeyFrame, u16 alignedFrame, u16 cur, TrackingMode mode) {
  MarkFrame(cur);
  if (alignedFrame != kNone16 && c_.ring.Contains(alignedFrame)) {
    PrepareFrameEpipolar(alignedFrame, cur, mode);
    MatchImagesToFrame(alignedFrame, cur);
  }
  if (alignedKeyFrame != kNone16) {
    PrepareKeyFrameEpipolar(alignedKeyFrame, cur, mode);
    MatchImagesToKeyFrame(alignedKeyFrame, cur);
  }
  MatchMaximal(cur);
}

void ImageMatching::MarkFrame(u16 cur) {
  MarkMatchedPoints(cur);
  c_.mapView.MarkFrameTracks(c_.ring[cur], matched_);
}

bool ImageMatching::PrepareImageMap(const WarpRecord& M, WarpRecord& toOther,
                                    WarpRecord& toCurrent) const {
  if (!M.IsSet()) return false;
  // The maps live in alignment-image pixels, one sixteenth of level 0.
  const float s = static_cast<float>(c_.camera.width) /
                  static_cast<float>(c_.camera.smallWidth > 0 ? c_.camera.smallWidth : 1);
  return MakeLevelZeroWarps(M, s, toOther, toCurrent);
}

bool ImageMatching::EpipolarLine(int level, float x, float y, float line[3]) const {
  if (fundamentals_.Size() != kPyramidLevels) return false;
  const float* F = fundamentals_[level].m;
  for (int r = 0; r < 3; ++r) line[r] = F[4 * r] * x + F[4 * r + 1] * y + F[4 * r + 2];
  const float n = std::sqrt(line[0] * line[0] + line[1] * line[1]);
  // At the epipole every direction is a line: nothing to test against.
  if (!(n > 0.0f) || !std::isfinite(n)) return false;
  for (int r = 0; r < 3; ++r) line[r] /= n;
  return true;
}

u32 ImageMatching::SearchFeature(FeaturePatch& patch, const CVD::BasicImage<u8>& source,
                                 const WarpRecord& N, const WarpRecord& M, u16 cur, int level,
                                 float x, float y, float radius, float q[2], i32& ssd) {
  const TrackerFrame& frame = c_.ring[cur];
  const float p[2] = {x, y};
  ApplyHomography(Rows(N), p, q);
  const FeatureGrid& grid = frame.corners[level];
  const CVD::BasicImage<u8>& image = frame.pyramid[level];
  if (!QueryFeatureWindow(image.size(), grid.corners, grid.rowStarts, q[0], q[1], radius, window_))
    return kNone32;
  float line[3];
  const bool withLine = EpipolarLine(level, x, y, line);
  const float bound = kEpipolarBound / static_cast<float>(1 << level);
  // The mask holds with or without a line: corners by the frame's map
  // matches are theirs.
  FilterEpipolarCandidates(masks_[level], withLine ? line : nullptr, grid, window_, bound);
  if (window_.empty() || !WarpPatch8x8(patch, source, N, M)) return kNone32;
  i32 best = kSsdGate;
  u32 corner = kNone32;
  for (const u32 i : window_) {
    const u16 xy[2] = {grid.corners[i].x, grid.corners[i].y};
    const i32 s = PatchZeroMeanSsd(patch, image, xy);
    if (s < best) best = s, corner = i;  // strict: the first of equal scores wins
  }
  ssd = best;
  return corner;
}

u32 ImageMatching::MatchImagesToFrame(u16 f, u16 cur) {
  WarpRecord toOther0, toCurrent0;
  if (!c_.ring.Contains(f) || !c_.ring.Contains(cur) || f == cur ||
      !PrepareImageMap(c_.ring.Map(f), toOther0, toCurrent0))
    return 0;
  const TrackerFrame& other = c_.ring[f];
  TrackerFrame& frame = c_.ring[cur];
  const std::vector<u8>& flags = c_.mapView.Working().trackFlags;
  if (matched_.size() < flags.size()) matched_.resize(flags.size(), 0);
  u32 total = 0, tried = 0;
  for (int level = 0; level < kPyramidLevels; ++level) {
    WarpRecord M, N;
    ScaleWarpToLevel(toOther0, level, M);
    ScaleWarpToLevel(toCurrent0, level, N);
    const float radius = kFrameRadius / static_cast<float>(1 << level);
    found_.clear();
    for (const MapMatch& m : other.mapMatches[level]) {
      if (m.track >= flags.size() || (flags[m.track] & kTrackSolved) || matched_[m.track]) continue;
      ++tried;
      // A template cut from the ring frame itself, with nothing cached.
      FeaturePatch patch;
      std::memset(&patch, 0, sizeof(patch));
      patch.x = m.x, patch.y = m.y, patch.level = static_cast<u8>(level);
      float q[2];
      i32 ssd = 0;
      const u32 corner =
          SearchFeature(patch, other.pyramid[level], N, M, cur, level, m.x, m.y, radius, q, ssd);
      if (corner == kNone32) continue;
      const CornerXY& xy = frame.corners[level].corners[corner];
      found_.push_back({m.track, m.patch, corner, static_cast<float>(xy.x),
                        static_cast<float>(xy.y), q[0], q[1], 0.0f, 0.0f, ssd});
      matched_[m.track] = 1;
    }
    TrackerMapView::NormalizeMatchPositions(c_.camera.intrinsic[level], found_);
    frame.mapMatches[level].insert(frame.mapMatches[level].end(), found_.begin(), found_.end());
    total += static_cast<u32>(found_.size());
  }
  frame.unsolvedCount = static_cast<u16>(frame.unsolvedCount + total);
  c_.log.Print("[%d] <-- [%d] Image Matches = %d / %d\n", frame.number, other.number, total, tried);
  return total;
}

u32 ImageMatching::MatchImagesToKeyFrame(u16 k, u16 cur) {
  TrackerMapView& view = c_.mapView;
  WarpRecord toOther0, toCurrent0;
  if (!c_.ring.Contains(cur) || k >= view.Records().size() || k >= view.KeyFrameMaps().Size() ||
      !PrepareImageMap(view.KeyFrameMaps()[k], toOther0, toCurrent0))
    return 0;
  TrackerFrame& frame = c_.ring[cur];
  const MapWorkingCopy& w = view.Working();
  const KeyFrameRecord& record = view.Records()[k];
  AlignedArray<FeaturePatch>& patches = view.Patches();
  const AlignedArray<LA::Vector2<float>>& pixels = view.KeyFramePixels();
  const GlobalMap& map = view.Map();
  if (matched_.size() < w.trackFlags.size()) matched_.resize(w.trackFlags.size(), 0);
  // The key frame's pyramid is read in place; only this thread adds or
  // removes key frames, but the lock keeps the read honest.
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  u32 total = 0, tried = 0, considered = 0;
  for (int level = 0; level < kPyramidLevels; ++level) {
    if (k >= map.keyFrames.size()) break;
    const CVD::Image<u8>& source = map.keyFrames[k].pyramid[level];
    if (source.data() == nullptr) continue;
    WarpRecord M, N;
    ScaleWarpToLevel(toOther0, level, M);
    ScaleWarpToLevel(toCurrent0, level, N);
    const float radius = kKeyFrameRadius / static_cast<float>(1 << level);
    found_.clear();
    const u32 end = std::min(record.firstPatch[level + 1], patches.Size());
    for (u32 p = record.firstPatch[level]; p < end; ++p) {
      FeaturePatch& patch = patches[p];
      const u32 feature = record.featureStart + patch.feature;
      if (feature >= w.measurementTracks.size() || feature >= pixels.Size()) continue;
      const u32 track = w.measurementTracks[feature];
      if (track >= w.trackFlags.size() || (w.trackFlags[track] & kTrackSolved)) continue;
      ++considered;
      if (matched_[track]) continue;
      ++tried;
      float q[2];
      i32 ssd = 0;
      const u32 corner = SearchFeature(patch, source, N, M, cur, level, pixels[feature].x,
                                       pixels[feature].y, radius, q, ssd);
      if (corner == kNone32) continue;
      const CornerXY& xy = frame.corners[level].corners[corner];
      found_.push_back({track, p, corner, static_cast<float>(xy.x), static_cast<float>(xy.y), q[0],
                        q[1], 0.0f, 0.0f, ssd});
      matched_[track] = 1;
    }
    TrackerMapView::NormalizeMatchPositions(c_.camera.intrinsic[level], found_);
    frame.mapMatches[level].insert(frame.mapMatches[level].end(), found_.begin(), found_.end());
    total += static_cast<u32>(found_.size());
  }
  frame.unsolvedCount = static_cast<u16>(frame.unsolvedCount + total);
  c_.log.Print("[%d] <-- [%d] Image Matches = %d + %d / %d\n", frame.number, view.KeyFrameNumber(k),
               considered - tried, total, tried);
  return total;
}

void ImageMatching::MarkMatchedPoints(u16 f) {
  const TrackerFrame& frame = c_.ring[f];
  for (int level = 0; level < kPyramidLevels; ++level)
    MarkImageMatchesAtLevel(level, frame.pyramid[level].size(), frame.mapMatches[level],
                            masks_[level]);
}

void ImageMatching::MatchMaximal(u16 f) {
  TrackerFrame& frame = c_.ring[f];
  const std::vector<u8>& flags = c_.mapView.Working().trackFlags;
  const u32 before = frame.unsolvedCount;
  for (int level = 0; level < kPyramidLevels; ++level) {
    std::vector<MapMatch>& list = frame.mapMatches[level];
    found_.clear();
    size_t kept = 0;
    for (const MapMatch& m : list) {
      if (FlagOf(flags, m.track) & kTrackInlier)
        list[kept++] = m;
      else
        found_.push_back(m);
    }
    list.resize(kept);
    SelectMaximalMatchesAtLevel(level, frame.pyramid[level].size(), found_, masks_[level]);
    list.insert(list.end(), found_.begin(), found_.end());
  }
  const u32 after = c_.mapView.CountUnsolvedMapMatches(frame);
  frame.unsolvedCount = static_cast<u16>(after);
  c_.log.Print("[%d] Maximal Image Matches = %d - %d = %d\n", frame.number, before,
               static_cast<i32>(before) - static_cast<i32>(after), after);
}
