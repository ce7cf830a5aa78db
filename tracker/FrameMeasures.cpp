#include "tracker/FrameMeasures.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "features/CoverageCells.h"
#include "features/ImageMapMath.h"

namespace {

// Weights of the pyramid levels in the frame RMS: squared lengths quarter per level.
constexpr float kLevelWeights[kPyramidLevels] = {1.0f, 0.25f, 0.0625f, 0.015625f};

// The map point in the camera of the pose.
inline void ToCamera(const CameraPose& pose, const MapPoint& X, float c[3]) {
  for (int r = 0; r < 3; ++r)
    c[r] = pose.m[r][0] * X.v[0] + pose.m[r][1] * X.v[1] + pose.m[r][2] * X.v[2] + pose.m[r][3];
}

// Squared normalised error of a position against the point's projection;
// false when the point is not in front of the camera.
inline bool SquaredError(const CameraPose& pose, const MapPoint& X, float x, float y, float& e2) {
  float c[3];
  ToCamera(pose, X, c);
  if (!(c[2] > FLT_EPSILON)) return false;
  const float dx = x - c[0] / c[2], dy = y - c[1] / c[2];
  e2 = dx * dx + dy * dy;
  return true;
}

// Depth and normalised projection of a point seen strictly inside the bounds.
inline bool SeenInside(const CameraPose& pose, const MapPoint& X, const float bounds[4],
                       float& depth, float& x, float& y) {
  float c[3];
  ToCamera(pose, X, c);
  if (!(c[2] > 0.0f)) return false;
  depth = c[2], x = c[0] / c[2], y = c[1] / c[2];
  return x > bounds[0] && x < bounds[2] && y > bounds[1] && y < bounds[3];
}

// The inverse of a set map, affine kept affine; false when singular.
bool InvertImageMap(const WarpRecord& map, WarpRecord& inverse) {
  if (!map.IsSet()) return false;
  if (!map.IsAffine()) return Invert3x3(map, inverse);
  if (!Invert2x2(map, inverse)) return false;
  inverse.m[8] = FLT_MAX;
  return true;
}

// A position through a map; false behind a projective map's horizon.
bool ApplyMap(const WarpRecord& map, float x, float y, float& u, float& v) {
  const float* m = map.m;
  u = m[0] * x + m[1] * y + m[2];
  v = m[4] * x + m[5] * y + m[6];
  if (map.IsAffine()) return true;
  const float d = m[8] * x + m[9] * y + m[10];
  if (!(d > FLT_EPSILON)) return false;
  u /= d, v /= d;
  return true;
}

// Depths beyond this many times the median are left out of a frame's mean.
constexpr float kFarDepthFactor = 10.0f;

float Median(std::vector<float>& values) {
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Displacements summed for an RMS and a mean direction.
struct Displacements {
  float sx = 0.0f, sy = 0.0f, s2 = 0.0f;
  u32 n = 0;
  void Add(float dx, float dy) {
    sx += dx, sy += dy, s2 += dx * dx + dy * dy;
    ++n;
  }
};

}  // namespace

FrameMeasures::FrameMeasures(const TrackerContext& context)
    : c_(context),
      cellDoublings_(CoverageCellDoublings(context.camera.width, context.camera.height)),
      gridWidth_(static_cast<u16>(context.camera.width >> (4 + cellDoublings_))),
      gridHeight_(static_cast<u16>(context.camera.height >> (4 + cellDoublings_))) {
  // Every mask at its size from the start: the first frame allocates nothing.
  for (OccupancyMask* mask : {&maskA_, &maskB_, &maskC_}) ResetMask(*mask);
  cells_.Reserve(4096);
}

float FrameMeasures::ComputeParallax(u16 keyFrame, u16 frame, TrackingMode mode, float* angleOut) {
  const TrackerFrame& f = c_.ring[frame];
  const MapWorkingCopy& w = c_.mapView.Working();
  TrackerMapView::FeatureSpan span;
  if (!c_.mapView.KeyFrameFeatures(keyFrame, span)) return -1.0f;
  const u32 count = span.count;
  const LA::Vector2<float>* x = c_.mapView.KeyFrameNormalized().Data() + span.first;
  const u32* tracks = w.measurementTracks.data() + span.trackStart;
  const u32 trackCount = static_cast<u32>(w.trackFlags.size());
  auto solved = [&](u32 t) { return t < trackCount && (w.trackFlags[t] & kTrackSolved); };
  Displacements d;
  const CameraPose& pose = f.pose.slot[kVisual];
  const bool tracking = mode.tracking && !mode.recovering && !f.rejected;
  // While tracking, the key frame's features are first turned by the
  // rotation between the two views (that of the relative pose): only the
  // displacement the camera's move brings counts. A turn alone triangulates
  // nothing, and a key frame it called for would start points from a
  // baseline of a few hundredths of their depth.
  CameraPose turn;
  const bool turned = tracking && IsPoseValid(pose) && keyFrame < w.keyFramePoses.Size() &&
                      IsPoseValid(w.keyFramePoses[keyFrame]);
  if (turned) ComputeRelativePose(w.keyFramePoses[keyFrame], pose, turn);
  // The key-frame position a displacement starts from; false behind the frame.
  const auto start = [&](const LA::Vector2<float>& p, float s[2]) {
    if (!turned) {
      s[0] = p.x, s[1] = p.y;
      return true;
    }
    const auto& R = turn.m;
    float r[3];
    for (int i = 0; i < 3; ++i) r[i] = R[i][0] * p.x + R[i][1] * p.y + R[i][2];
    if (!(r[2] > FLT_EPSILON)) return false;
    s[0] = r[0] / r[2], s[1] = r[1] / r[2];
    return true;
  };
  float s[2];
  if (tracking) {
    // The map's points where the frame's pose puts them. A point that lands
    // farther than the image's diagonal from its feature has not moved with
    // the view: the pose places it almost at the camera (a bad triangulation
    // on a short baseline), and one such point would outweigh all the others
    // and call for a key frame the camera never moved to.
    const float fxfy = c_.camera.intrinsic[0].misc[0];
    const float w2 = static_cast<float>(c_.camera.width) * c_.camera.width;
    const float h2 = static_cast<float>(c_.camera.height) * c_.camera.height;
    const float farthest2 = fxfy > 0.0f ? (w2 + h2) / fxfy : FLT_MAX;
    float e[2], c[3];
    if (IsPoseValid(pose))
      for (u32 j = 0; j < count; ++j) {
        if (!c_.mapView.IsInlier(tracks[j])) continue;
        ToCamera(pose, w.points[tracks[j]], c);
        if (!(c[2] > FLT_EPSILON) || !start(x[j], s)) continue;
        e[0] = s[0] - c[0] / c[2], e[1] = s[1] - c[1] / c[2];
        if (!(e[0] * e[0] + e[1] * e[1] <= farthest2)) continue;
        d.Add(e[0], e[1]);
      }
  } else if (keyFrame < c_.mapView.KeyFrameMaps().Size()) {
    // Without a pose the key frame's image map predicts its features in the frame.
    WarpRecord inverse, normalised;
    if (InvertImageMap(c_.mapView.KeyFrameMaps()[keyFrame], inverse)) {
      MapToNormalised(inverse, normalised);
      float u, v;
      for (u32 j = 0; j < count; ++j)
        if (!solved(tracks[j]) && ApplyMap(normalised, x[j].x, x[j].y, u, v))
          d.Add(x[j].x - u, x[j].y - v);
    }
  }
  // Where the frame matched the key frame's tracks that have no point yet.
  if (trackFeature_.size() < trackCount) trackFeature_.resize(trackCount, kNone32);
  for (u32 j = 0; j < count; ++j)
    if (tracks[j] < trackCount) trackFeature_[tracks[j]] = j;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) {
      if (m.track >= trackCount || trackFeature_[m.track] == kNone32 || solved(m.track)) continue;
      const u32 j = trackFeature_[m.track];
      if (start(x[j], s)) d.Add(s[0] - m.nx, s[1] - m.ny);
    }
  for (u32 j = 0; j < count; ++j)
    if (tracks[j] < trackCount) trackFeature_[tracks[j]] = kNone32;
  if (d.n == 0) return -1.0f;
  const float n = static_cast<float>(d.n);
  if (angleOut != nullptr) *angleOut = std::atan2(d.sy / n, d.sx / n);
  return std::sqrt(d.s2 / n * c_.camera.intrinsic[0].misc[0]);
}

float FrameMeasures::ComputeDistanceToKeyFrame(u16 keyFrame, u16 frame) {
  const CameraPose& pose = c_.ring[frame].pose.slot[kVisual];
  const AlignedArray<CameraPose>& poses = c_.mapView.Working().keyFramePoses;
  if (!IsPoseValid(pose) || keyFrame >= poses.Size()) return 0.0f;
  float a[3], b[3];
  CameraCentre(poses[keyFrame], a);
  CameraCentre(pose, b);
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

float FrameMeasures::ComputeFrameRms(u16 frame, const CameraPose& pose) {
  if (!IsPoseValid(pose)) return FLT_MAX;
  const TrackerFrame& f = c_.ring[frame];
  const MapWorkingCopy& w = c_.mapView.Working();
  float sum = 0.0f, weight = 0.0f, e2;
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const MapMatch& m : f.mapMatches[l]) {
      if (!c_.mapView.IsInlier(m.track)) continue;
      if (!SquaredError(pose, w.points[m.track], m.nx, m.ny, e2)) return FLT_MAX;
      sum += kLevelWeights[l] * e2;
      weight += kLevelWeights[l];
    }
  if (weight == 0.0f) return FLT_MAX;
  return std::sqrt(sum * c_.camera.intrinsic[0].misc[0] / weight);
}

float FrameMeasures::ComputeKeyFrameRms(u16 keyFrame) {
  const MapWorkingCopy& w = c_.mapView.Working();
  TrackerMapView::FeatureSpan span;
  if (keyFrame >= w.keyFramePoses.Size() || !c_.mapView.KeyFrameFeatures(keyFrame, span))
    return FLT_MAX;
  const CameraPose& pose = w.keyFramePoses[keyFrame];
  const LA::Vector2<float>* x = c_.mapView.KeyFrameNormalized().Data() + span.first;
  float sum = 0.0f, e2;
  u32 n = 0;
  for (u32 j = 0; j < span.count; ++j) {
    const u32 t = w.measurementTracks[span.trackStart + j];
    if (!c_.mapView.IsInlier(t)) continue;
    if (!SquaredError(pose, w.points[t], x[j].x, x[j].y, e2)) return FLT_MAX;
    sum += e2;
    ++n;
  }
  return n == 0 ? FLT_MAX : std::sqrt(sum * c_.camera.intrinsic[0].misc[0] / n);
}

float FrameMeasures::ComputeReprojectionRms(u16 frame, const CameraPose& pose) {
  // An unset pose (the reference pose before the first patch statistics)
  // explains nothing: the caller then refreshes the statistics.
  const TrackerFrame& f = c_.ring[frame];
  if (!IsPoseValid(pose) || f.inlierCount == 0) return FLT_MAX;
  const MapWorkingCopy& w = c_.mapView.Working();
  float sum = 0.0f, e2;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) {
      if (!c_.mapView.IsInlier(m.track)) continue;
      if (!SquaredError(pose, w.points[m.track], m.nx, m.ny, e2)) return FLT_MAX;
      sum += e2;
    }
  const float rms = std::sqrt(sum * c_.camera.intrinsic[0].misc[0] / f.inlierCount);
  return std::isfinite(rms) ? rms : FLT_MAX;
}

float FrameMeasures::ComputeMedianDepth(const CameraPose& pose, std::vector<float>& scratch) {
  const MapWorkingCopy& w = c_.mapView.Working();
  scratch.clear();
  if (IsPoseValid(pose)) {
    const u32 n = std::min(w.points.Size(), static_cast<u32>(w.trackFlags.size()));
    float depth, x, y;
    for (u32 t = 0; t < n; ++t)
      if ((w.trackFlags[t] & kTrackInlier) &&
          SeenInside(pose, w.points[t], c_.camera.bounds, depth, x, y))
        scratch.push_back(depth);
  }
  return scratch.empty() ? c_.options.initialDepth : Median(scratch);
}

float FrameMeasures::ComputeMeanDepth(u16 frame) {
  const TrackerFrame& f = c_.ring[frame];
  const CameraPose& pose = f.pose.slot[kVisual];
  if (!IsPoseValid(pose)) return 0.0f;
  const MapWorkingCopy& w = c_.mapView.Working();
  std::vector<float>& depths = depthScratch_;
  depths.clear();
  float c[3];
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) {
      if (!c_.mapView.IsInlier(m.track)) continue;
      ToCamera(pose, w.points[m.track], c);
      depths.push_back(c[2]);
    }
  if (depths.empty()) return 0.0f;
  // An adjustment can walk a point with little parallax out along its ray
  // to thousands of times the scene's depth. One such point made the mean
  // thirty times the median, and every new point without parallax, which
  // starts at this depth, went out with it.
  const float bound = kFarDepthFactor * Median(depths);
  float sum = 0.0f;
  u32 n = 0;
  for (const float d : depths)
    if (d <= bound) sum += d, ++n;
  return n == 0 ? 0.0f : sum / static_cast<float>(n);
}

float FrameMeasures::ComputeKeyFrameMedianDepth(u16 keyFrame, const std::vector<u32>& features,
                                                std::vector<float>& scratch, float* meanOut) {
  const MapWorkingCopy& w = c_.mapView.Working();
  scratch.clear();
  float mx = 0.0f, my = 0.0f;
  TrackerMapView::FeatureSpan span;
  if (keyFrame < w.keyFramePoses.Size() && c_.mapView.KeyFrameFeatures(keyFrame, span)) {
    const CameraPose& pose = w.keyFramePoses[keyFrame];
    float depth, x, y;
    for (const u32 j : features) {
      if (j >= span.count) continue;
      const u32 t = w.measurementTracks[span.trackStart + j];
      if (!c_.mapView.IsInlier(t) || !SeenInside(pose, w.points[t], c_.camera.bounds, depth, x, y))
        continue;
      scratch.push_back(depth);
      mx += x, my += y;
    }
  }
  const u32 n = static_cast<u32>(scratch.size());
  if (meanOut != nullptr) {
    meanOut[0] = n == 0 ? 0.0f : mx / n;
    meanOut[1] = n == 0 ? 0.0f : my / n;
  }
  return n == 0 ? c_.options.initialDepth : Median(scratch);
}

void FrameMeasures::MapToNormalised(const WarpRecord& map, WarpRecord& out) const {
  if (!map.IsSet()) {
    out = map;
    return;
  }
  const Intrinsic& k = c_.camera.intrinsic[kPyramidLevels];  // the alignment image
  if (!map.IsAffine()) {
    ConjugateMapByIntrinsics(k, map, out);
    return;
  }
  WarpRecord full = map;
  full.m[8] = 0.0f, full.m[9] = 0.0f, full.m[10] = 1.0f;
  ConjugateMapByIntrinsics(k, full, out);
  out.m[8] = FLT_MAX;
}

bool FrameMeasures::FindDominantPlaneFeatures(u16 keyFrame, u16 frame, std::vector<u32>& features,
                                              u16& plane) {
  const MapWorkingCopy& w = c_.mapView.Working();
  features.clear();
  plane = kNone16;
  TrackerMapView::FeatureSpan span, newest;
  if (!c_.mapView.KeyFrameFeatures(keyFrame, span)) return false;
  // The tracks of a provisional key frame may vanish with it.
  const u32 trackCount = static_cast<u32>(w.trackFlags.size());
  if (trackMatched_.size() < trackCount) trackMatched_.resize(trackCount, 0);
  const u16 provisional = c_.mapView.ProvisionalKeyFrame();
  const bool marking = provisional != kNone16 && c_.mapView.KeyFrameFeatures(provisional, newest);
  auto mark = [&](u8 value) {
    for (u32 j = 0; marking && j < newest.count; ++j)
      if (w.measurementTracks[newest.trackStart + j] < trackCount)
        trackMatched_[w.measurementTracks[newest.trackStart + j]] = value;
  };
  mark(1);
  const u32* tracks = w.measurementTracks.data() + span.trackStart;
  for (u32 j = 0; j < span.count; ++j)
    if (c_.mapView.IsInlier(tracks[j]) && !trackMatched_[tracks[j]]) features.push_back(j);
  mark(0);
  if (frame != kNone16) {
    const CameraPose* pose = c_.ring.Contains(frame) ? &c_.ring[frame].pose.slot[kVisual] : nullptr;
    const bool posed = pose != nullptr && IsPoseValid(*pose);
    float depth, x, y;
    auto unseen = [&](u32 j) {
      return !posed || !SeenInside(*pose, w.points[tracks[j]], c_.camera.bounds, depth, x, y);
    };
    features.erase(std::remove_if(features.begin(), features.end(), unseen), features.end());
  }
  if (features.size() < 10) return false;
  planeCounts_.assign(w.planes.Size(), 0);
  auto planeOf = [&](u32 j) {
    return tracks[j] < w.trackPlanes.size() ? w.trackPlanes[tracks[j]] : kNone16;
  };
  for (const u32 j : features)
    if (planeOf(j) < planeCounts_.size()) ++planeCounts_[planeOf(j)];
  if (planeCounts_.empty()) return true;
  const u16 best = static_cast<u16>(std::max_element(planeCounts_.begin(), planeCounts_.end()) -
                                    planeCounts_.begin());
  if (planeCounts_[best] < 10) return true;
  plane = best;
  features.erase(
      std::remove_if(features.begin(), features.end(), [&](u32 j) { return planeOf(j) != best; }),
      features.end());
  return true;
}
