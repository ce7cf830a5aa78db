// Matching of a new key frame's features against the key frames it is
// matched with: every unsolved track of a key frame is predicted under each
// warp hypothesis, the predictions that agree with the first are searched,
// and the hypothesis whose warped patch fits best wins.
#include <boost/thread/locks.hpp>
#include <cmath>
#include <cstring>

#include "features/FastFeatureGrid.h"
#include "features/ImageMatchSelection.h"
#include "features/PatchWarp.h"
#include "la/Homography.h"
#include "tracker/ImageMatching.h"
#include "tracker/WarpHypotheses.h"

namespace {

const float (*Rows(const WarpRecord& w))[4] {
  return reinterpret_cast<const float(*)[4]>(w.m);
}

// The winner so far of one feature's search.
struct BestHypothesis {
  u32 record = kNone32;  // its pixel map
  u32 corner = kNone32;
  i32 ssd = 0;
  float q[2] = {0.0f, 0.0f};
};

}  // namespace

void ImageMatching::MatchKeyFrameImages(const std::vector<u16>& keyFrames, u16 cur,
                                        TrackingMode mode) {
  TrackerFrame& frame = c_.ring[cur];
  TrackerMapView& view = c_.mapView;
  for (auto& list : frame.misses) list.clear();
  MarkFrame(cur);
  AlignedArray<WarpRecord>& hypotheses = frame.hypotheses;
  hypotheses.Resize(0);
  const MapWorkingCopy& w = view.Working();
  for (const u16 k : keyFrames) {
    if (k >= view.Records().size()) continue;
    const u32 first = hypotheses.Size();
    u32 wideEnd = first;
    WarpRecord imageMapHypothesis{};
    if (k < view.KeyFrameMaps().Size() && view.KeyFrameMaps()[k].IsSet() &&
        AddImageMapHypothesis(c_.camera, view.KeyFrameMaps()[k], hypotheses)) {
      wideEnd = first + kHypothesisBlockSize;
      imageMapHypothesis = hypotheses[first];
    }
    if (!mode.tracking || mode.recovering) {
      if (EstimateImageFundamental(k, cur, essential_, fundamentals_))
        FilterEpipolarInliers(k, cur, essential_);
      else
        fundamentals_.Resize(0);
    } else {
      AddPlaneHypotheses(k, cur, hypotheses);
      if (k < w.keyFramePoses.Size())
        ComputeEssentialFromPoses(w.keyFramePoses[k], frame.pose.slot[kVisual], essential_,
                                  fundamentals_);
      else
        fundamentals_.Resize(0);
    }
    DetectPlanes(k, cur, mode.tracking, first, hypotheses);
    PruneHypotheses(c_.camera, first, hypotheses);
    // Pruning drops a block whose corners are not finite, the image map's too.
    if (wideEnd > first && (hypotheses.Size() == first ||
                            std::memcmp(&hypotheses[first], &imageMapHypothesis, 48) != 0))
      wideEnd = first;
    const u32 n = (hypotheses.Size() - first) / kHypothesisBlockSize;
    u32 total = 0, considered = 0, tried = 0;
    {
      // The key frame's pyramid is read in place under the shared lock.
      const GlobalMap& map = view.Map();
      boost::shared_lock<boost::shared_mutex> lock(map.mutex);
      for (int level = 0; level < kPyramidLevels && k < map.keyFrames.size(); ++level)
        total += MatchLevelUnderHypotheses(k, cur, level, first, n, wideEnd,
                                           map.keyFrames[k].pyramid[level], considered, tried);
    }
    frame.unsolvedCount = static_cast<u16>(frame.unsolvedCount + total);
    c_.log.Print("[%d] <-- [%d] Image Matches = %d + %d / %d\n", frame.number,
                 view.KeyFrameNumber(k), considered - tried, total, tried);
  }
  MatchMaximal(cur);
}

u32 ImageMatching::MatchLevelUnderHypotheses(u16 k, u16 cur, int level, u32 first, u32 n,
                                             u32 wideEnd, const CVD::BasicImage<u8>& source,
                                             u32& considered, u32& tried) {
  TrackerFrame& frame = c_.ring[cur];
  TrackerMapView& view = c_.mapView;
  const MapWorkingCopy& w = view.Working();
  const KeyFrameRecord& record = view.Records()[k];
  AlignedArray<FeaturePatch>& patches = view.Patches();
  const AlignedArray<LA::Vector2<float>>& pixels = view.KeyFramePixels();
  const AlignedArray<WarpRecord>& hypotheses = frame.hypotheses;
  const FeatureGrid& grid = frame.corners[level];
  const CVD::BasicImage<u8>& image = frame.pyramid[level];
  std::vector<ImageMatch>& misses = frame.misses[level];
  const float scale = 1.0f / static_cast<float>(1 << level);
  const float wide = kKeyFrameRadius * scale, narrow = kNarrowRadius * scale;
  const float bound = kEpipolarBound * scale, agreement2 = kAgreement2 * scale * scale;
  const u32 offset = kHypothesisOffset[level][level];
  if (matched_.size() < w.trackFlags.size()) matched_.resize(w.trackFlags.size(), 0);
  predictions_.Resize(n);
  predictionValid_.resize(n);
  found_.clear();
  const u32 end = std::min(record.firstPatch[level + 1], patches.Size());
  for (u32 p = record.firstPatch[level]; p < end && source.data() != nullptr; ++p) {
    const u32 feature = record.featureStart + patches[p].feature;
    if (feature >= w.measurementTracks.size() || feature >= pixels.Size()) continue;
    const u32 t = w.measurementTracks[feature];
    if (t >= w.trackFlags.size() || (w.trackFlags[t] & kTrackSolved)) continue;
    ++considered;
    if (matched_[t]) continue;
    ++tried;
    FeaturePatch copy = patches[p];
    const float x[2] = {pixels[feature].x, pixels[feature].y};
    float line[3];
    const bool withLine = EpipolarLine(level, x[0], x[1], line);
    for (u32 h = 0; h < n; ++h) {
      float* q = &predictions_[h].x;
      ApplyHomography(Rows(hypotheses[first + kHypothesisBlockSize * h + offset]), x, q);
      predictionValid_[h] = std::isfinite(q[0]) && std::isfinite(q[1]);
    }
    // Every surviving prediction lies near every earlier survivor.
    for (u32 h = 0; h < n; ++h) {
      if (!predictionValid_[h]) continue;
      for (u32 j = h + 1; j < n; ++j) {
        if (!predictionValid_[j]) continue;
        const float dx = predictions_[j].x - predictions_[h].x;
        const float dy = predictions_[j].y - predictions_[h].y;
        if (dx * dx + dy * dy > agreement2) predictionValid_[j] = 0;
      }
    }
    BestHypothesis best;
    for (u32 h = 0; h < n; ++h) {
      if (!predictionValid_[h]) continue;
      const u32 r = first + kHypothesisBlockSize * h + offset;
      const float q[2] = {predictions_[h].x, predictions_[h].y};
      const ImageMatch miss{t, p, r, q[0], q[1]};
      if (!QueryFeatureWindow(image.size(), grid.corners, grid.rowStarts, q[0], q[1],
                              r < wideEnd ? wide : narrow, window_)) {
        misses.push_back(miss);
        continue;
      }
      FilterEpipolarCandidates(masks_[level], withLine ? line : nullptr, grid, window_, bound);
      if (window_.empty() || !WarpPatch8x8(copy, source, hypotheses[r], hypotheses[r + 1])) {
        misses.push_back(miss);
        continue;
      }
      i32 ssd = best.record != kNone32 ? best.ssd : kSsdGate;
      u32 corner = kNone32;
      for (const u32 i : window_) {
        const u16 xy[2] = {grid.corners[i].x, grid.corners[i].y};
        const i32 s = PatchZeroMeanSsd(copy, image, xy);
        if (s <= ssd) ssd = s, corner = i;  // the last of equal scores wins
      }
      if (corner == kNone32) {
        misses.push_back(miss);
        continue;
      }
      if (best.record != kNone32) misses.push_back({t, p, best.record, best.q[0], best.q[1]});
      best = {r, corner, ssd, {q[0], q[1]}};
      // The patch keeps the warp it matched under, with its sums and corners.
      patches[p] = copy;
    }
    if (best.record == kNone32) continue;
    const CornerXY& xy = grid.corners[best.corner];
    found_.push_back({t, p, best.corner, static_cast<float>(xy.x), static_cast<float>(xy.y),
                      best.q[0], best.q[1], 0.0f, 0.0f, best.ssd});
    matched_[t] = 1;
  }
  TrackerMapView::NormalizeMatchPositions(c_.camera.intrinsic[level], found_);
  frame.mapMatches[level].insert(frame.mapMatches[level].end(), found_.begin(), found_.end());
  return static_cast<u32>(found_.size());
}
