// Image maps between frames: every ring frame and key frame keeps a 3x3 map
// that takes pixels of the current frame's alignment image into its own. The
// maps come from direct image alignment and are chained from frame to frame;
// a failed alignment leaves the previous, consistent maps in place.
#include <cmath>

#include "features/ImageAlignment.h"
#include "features/ImageMapChain.h"
#include "features/ImageMapMath.h"
#include "tracker/tracker.h"

namespace {

constexpr u32 kNoIndex = 0xFFFFFFFF;
// Fewer correspondences than this align on the images alone.
constexpr u32 kMinPairs = 10;

void Unset(WarpRecord& map) {
  map.m[0] = FLT_MAX;
}

WarpRecord Unset() {
  WarpRecord map{};
  map.m[0] = FLT_MAX;
  return map;
}

void ImageSize(const CVD::BasicImage<float>& img, u32 size[2]) {
  size[0] = static_cast<u32>(img.size().x);
  size[1] = static_cast<u32>(img.size().y);
}

// The inverse of a set map, affine kept affine; false when singular.
bool InvertMap(const WarpRecord& map, WarpRecord& inverse) {
  if (!map.IsSet()) return false;
  if (!map.IsAffine()) return Invert3x3(map, inverse);
  if (!Invert2x2(map, inverse)) return false;
  inverse.m[8] = FLT_MAX;
  return true;
}

// A normalised position through a pixel map (intrinsic k) back to a
// normalised position; false behind the map's horizon.
bool MapNormalised(const WarpRecord& H, const Intrinsic& k, const LA::Vector2<float>& in,
                   LA::Vector2<float>& out) {
  const float x = in.x * k.fx[0] + k.cx[0], y = in.y * k.fy[0] + k.cy[0];
  const float* m = H.m;
  float u = m[0] * x + m[1] * y + m[2], v = m[4] * x + m[5] * y + m[6];
  if (!H.IsAffine()) {
    const float w = m[8] * x + m[9] * y + m[10];
    if (!(w > FLT_EPSILON)) return false;
    u /= w, v /= w;
  }
  out.x = (u - k.cx[0]) * k.ifx[0];
  out.y = (v - k.cy[0]) * k.ify[0];
  return std::isfinite(out.x) && std::isfinite(out.y);
}

// Normalised projection of a map point; false behind the camera.
bool Project(const CameraPose& pose, const MapPoint& p, LA::Vector2<float>& out) {
  float c[3];
  for (int r = 0; r < 3; ++r)
    c[r] = pose.m[r][0] * p.v[0] + pose.m[r][1] * p.v[1] + pose.m[r][2] * p.v[2] + pose.m[r][3];
  if (!(c[2] > FLT_EPSILON)) return false;
  out.x = c[0] / c[2];
  out.y = c[1] / c[2];
  return true;
}

// Builds the pairs: a position of the other frame (mapped into frame f
// through the inverse map) against a position of frame f.
struct PairList {
  const WarpRecord& inverse;
  const Intrinsic& k;  // of the alignment image
  AlignedArray<LA::Vector2<float>>& A;
  AlignedArray<LA::Vector2<float>>& B;
  float sum = 0.0f;

  // False when a does not map into frame f.
  bool Add(const LA::Vector2<float>& a, const LA::Vector2<float>& b) {
    LA::Vector2<float> mapped;
    if (!MapNormalised(inverse, k, a, mapped)) return false;
    sum += (mapped.x - b.x) * (mapped.x - b.x) + (mapped.y - b.y) * (mapped.y - b.y);
    A.PushBack8(a);
    B.PushBack8(b);
    return true;
  }
  // The RMS in pixels of level 0 (fx fy of k0); FLT_MAX without pairs.
  float Rms(const Intrinsic& k0) const {
    return A.Empty() ? FLT_MAX : std::sqrt(sum * k0.misc[0] / static_cast<float>(A.Size()));
  }
};

template <class T>
void GrowTo(std::vector<T>& v, size_t n, T fill) {
  if (v.size() < n) v.resize(n, fill);
}

}  // namespace

bool Tracker::AlignToPreviousFrame(u16 previous, u16 current) {
  const TrackerFrame& c = frames[current];
  const u32 ring = static_cast<u32>(frames.size());
  for (u32 i = frameMaps.Size(); i < ring; ++i) frameMaps.PushBack48(Unset());
  if (previous == current) {  // the identity step: every map stays
    SetIdentityMap(frameMaps[current]);
    return true;
  }
  WarpRecord step = Unset();  // starts from the identity
  float residual = FLT_MAX;
  const bool ok =
      AlignFrameImages(frames[previous].alignmentImage, c.alignmentImage, c.gradientImage,
                       warpedImage, step, c.alignmentValue, residual, alignmentScratch) &&
      step.IsSet();
  if (!ok) {
    for (u32 i = 0; i < ring; ++i) Unset(frameMaps[i]);
    for (WarpRecord& m : keyFrameMaps) Unset(m);
    SetIdentityMap(frameMaps[current]);
    return false;
  }
  u32 size[2];
  ImageSize(c.alignmentImage, size);
  for (u32 i = 0; i < ring; ++i) {
    if (i == current)
      SetIdentityMap(frameMaps[i]);
    else if (i == previous)
      frameMaps[i] = step;
    else if (frameMaps[i].IsSet())
      CarryImageMap(frameMaps[i], step, size);
  }
  for (WarpRecord& m : keyFrameMaps)
    if (m.IsSet()) CarryImageMap(m, step, size);
  return true;
}

void Tracker::CarryKeyFrameMaps(const std::vector<u16>& keyFrames, u16 f, u16 g) {
  if (f >= frameMaps.Size() || !frameMaps[f].IsSet()) return;
  u32 size[2];
  ImageSize(frames[g].alignmentImage, size);
  for (u16 k : keyFrames)
    if (k < keyFrameMaps.Size() && keyFrameMaps[k].IsSet())
      CarryImageMap(keyFrameMaps[k], frameMaps[f], size);
}

bool Tracker::AlignKeyFrameImage(u16 keyFrame, u16 frame, float* residual) {
  if (keyFrame >= keyFrameMaps.Size() || map == nullptr || keyFrame >= map->keyFrames.size())
    return false;
  const CVD::BasicImage<float>& image = map->keyFrames[keyFrame].floatImage;
  WarpRecord& H = keyFrameMaps[keyFrame];
  if (!relocalising) {
    float pairs = FLT_MAX;
    if (H.IsSet()) pairs = CollectKeyFrameCorrespondences(keyFrame, frame, pointsA, pointsB);
    return AlignImageMap(image, frame, pairs, H, residual);
  }
  const TrackerFrame& f = frames[frame];
  WarpRecord start = H;
  if (!H.IsSet() || recovering) Unset(start);
  float r = FLT_MAX;
  if (!AlignFrameImages(image, f.alignmentImage, f.gradientImage, warpedImage, start,
                        f.alignmentValue, r, alignmentScratch) ||
      !start.IsSet())
    return false;
  H = start;
  if (residual != nullptr) *residual = r;
  return true;
}

bool Tracker::AlignFrameImage(u16 ringFrame, u16 frame) {
  if (ringFrame >= frameMaps.Size() || ringFrame >= frames.size()) return false;
  WarpRecord& H = frameMaps[ringFrame];
  float pairs = FLT_MAX;
  if (H.IsSet()) pairs = CollectFrameCorrespondences(ringFrame, frame, pointsA, pointsB);
  return AlignImageMap(frames[ringFrame].alignmentImage, frame, pairs, H, nullptr);
}

bool Tracker::AlignImageMap(const CVD::BasicImage<float>& image, u16 frame, float pairResidual,
                            WarpRecord& H, float* residual) {
  const TrackerFrame& f = frames[frame];
  const WarpRecord saved = H;
  float r = FLT_MAX;
  bool ok;
  // A residual of exactly 0 still counts: only the number of pairs decides.
  if (H.IsSet() && pairResidual != FLT_MAX && pointsA.Size() >= kMinPairs) {
    intrinsic[4].ApplyToPoints(pointsA);
    intrinsic[4].ApplyToPoints(pointsB);
    ok = AlignFrameImagesExtended(image, f.alignmentImage, f.gradientImage, warpedImage, pointsA,
                                  pointsB, H, f.alignmentValue, r, alignmentScratch);
  } else {
    ok = AlignFrameImages(image, f.alignmentImage, f.gradientImage, warpedImage, H,
                          f.alignmentValue, r, alignmentScratch);
  }
  if (!ok || !H.IsSet()) {
    H = saved;
    return false;
  }
  if (residual != nullptr) *residual = r;
  return true;
}

float Tracker::CollectFrameCorrespondences(u16 ringFrame, u16 frame,
                                           AlignedArray<LA::Vector2<float>>& A,
                                           AlignedArray<LA::Vector2<float>>& B) {
  const TrackerFrame& other = frames[ringFrame];
  const TrackerFrame& f = frames[frame];
  A.Clear();
  B.Clear();
  WarpRecord inverse;
  if (ringFrame >= frameMaps.Size() || !InvertMap(frameMaps[ringFrame], inverse)) return FLT_MAX;
  A.Reserve(other.MapMatchCount());
  B.Reserve(other.MapMatchCount());
  const bool posed = IsPoseValid(f.pose.slot[1]);
  PairList pairs{inverse, intrinsic[4], A, B};
  LA::Vector2<float> target;
  for (int level = 0; level < kPyramidLevels; ++level) {
    const std::vector<MapMatch>& theirs = other.mapMatches[level];
    for (u32 j = 0; j < theirs.size(); ++j) {
      if (theirs[j].track >= working.trackFlags.size()) continue;  // unknown to the map copy
      GrowTo(pointMatchIndex, theirs[j].track + size_t{1}, kNoIndex);
      GrowTo(pointPaired, theirs[j].track + size_t{1}, u8{0});
      pointMatchIndex[theirs[j].track] = j;
    }
    for (const MapMatch& m : f.mapMatches[level]) {
      if (m.track >= pointMatchIndex.size() || pointMatchIndex[m.track] == kNoIndex ||
          pointPaired[m.track])
        continue;
      const MapMatch& t = theirs[pointMatchIndex[m.track]];
      if (pairs.Add({t.nx, t.ny}, {m.nx, m.ny})) pointPaired[m.track] = 1;
    }
    for (const MapMatch& t : theirs) {
      if (t.track >= working.trackFlags.size()) continue;
      pointMatchIndex[t.track] = kNoIndex;
      if (posed && !pointPaired[t.track] && IsInlier(t.track) &&
          Project(f.pose.slot[1], working.points[t.track], target) &&
          pairs.Add({t.nx, t.ny}, target))
        pointPaired[t.track] = 1;
    }
  }
  for (int level = 0; level < kPyramidLevels; ++level)
    for (const MapMatch& t : other.mapMatches[level])
      if (t.track < pointPaired.size()) pointPaired[t.track] = 0;
  return pairs.Rms(intrinsic[0]);
}

float Tracker::CollectKeyFrameCorrespondences(u16 keyFrame, u16 frame,
                                              AlignedArray<LA::Vector2<float>>& A,
                                              AlignedArray<LA::Vector2<float>>& B) {
  const TrackerFrame& f = frames[frame];
  A.Clear();
  B.Clear();
  WarpRecord inverse;
  if (keyFrame >= keyFrameMaps.Size() || !InvertMap(keyFrameMaps[keyFrame], inverse))
    return FLT_MAX;
  // The key frame's features run parallel to its track list.
  u32 count = 0, first = 0, trackStart = 0;
  if (keyFrame < keyFrameRecords.size() &&
      keyFrame + size_t{1} < working.keyFrameMeasurementStart.size()) {
    first = keyFrameRecords[keyFrame][5];
    trackStart = working.keyFrameMeasurementStart[keyFrame];
    count = working.keyFrameMeasurementStart[keyFrame + 1] - trackStart;
    if (trackStart + count > working.measurementTracks.size() ||
        first > keyFrameNormalized.Size() || first + count > keyFrameNormalized.Size())
      count = 0;
  }
  A.Reserve(count);
  B.Reserve(count);
  const u32* tracks = working.measurementTracks.data() + trackStart;
  const LA::Vector2<float>* features = keyFrameNormalized.Data() + first;
  for (u32 j = 0; j < count; ++j) {
    if (tracks[j] >= working.trackFlags.size()) continue;  // unknown to the map copy
    GrowTo(pointMatchIndex, tracks[j] + size_t{1}, kNoIndex);
    GrowTo(pointPaired, tracks[j] + size_t{1}, u8{0});
    pointMatchIndex[tracks[j]] = j;
  }
  PairList pairs{inverse, intrinsic[4], A, B};
  for (int level = 0; level < kPyramidLevels; ++level) {
    for (const MapMatch& m : f.mapMatches[level]) {
      if (m.track >= pointMatchIndex.size() || pointMatchIndex[m.track] == kNoIndex ||
          pointPaired[m.track])
        continue;
      if (pairs.Add(features[pointMatchIndex[m.track]], {m.nx, m.ny})) pointPaired[m.track] = 1;
    }
  }
  const bool posed = IsPoseValid(f.pose.slot[1]);
  LA::Vector2<float> target;
  for (u32 j = 0; j < count; ++j) {
    const u32 t = tracks[j];
    if (t >= working.trackFlags.size()) continue;
    pointMatchIndex[t] = kNoIndex;
    if (posed && !pointPaired[t] && IsInlier(t) &&
        Project(f.pose.slot[1], working.points[t], target) && pairs.Add(features[j], target))
      pointPaired[t] = 1;
  }
  for (u32 j = 0; j < count; ++j)
    if (tracks[j] < pointPaired.size()) pointPaired[tracks[j]] = 0;
  return pairs.Rms(intrinsic[0]);
}

bool Tracker::IsInlier(u32 track) const {
  return track < working.trackFlags.size() && track < working.points.Size() &&
         (working.trackFlags[track] & kTrackInlier);
}
