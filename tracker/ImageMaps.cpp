#include "tracker/ImageMaps.h"

#include <cmath>

#include "features/ImageMapChain.h"
#include "features/ImageMapMath.h"

namespace {

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

bool ImageMaps::AlignToPreviousFrame(u16 previous, u16 current) {
  const TrackerFrame& c = ring_[current];
  const u32 ring = static_cast<u32>(ring_.Size());
  for (u32 i = ring_.Maps().Size(); i < ring; ++i) ring_.Maps().PushBack48(Unset());
  if (previous == current) {  // the identity step: every map stays
    SetIdentityMap(ring_.Map(current));
    return true;
  }
  WarpRecord step = Unset();  // starts from the identity
  float residual = FLT_MAX;
  const bool ok =
      AlignFrameImages(ring_[previous].alignmentImage, c.alignmentImage, c.gradientImage,
                       warpedImage_, step, c.alignmentValue, residual, alignmentScratch_) &&
      step.IsSet();
  if (!ok) {
    for (u32 i = 0; i < ring; ++i) Unset(ring_.Map(i));
    for (WarpRecord& m : mapView_.KeyFrameMaps()) Unset(m);
    SetIdentityMap(ring_.Map(current));
    return false;
  }
  u32 size[2];
  ImageSize(c.alignmentImage, size);
  for (u32 i = 0; i < ring; ++i) {
    if (i == current)
      SetIdentityMap(ring_.Map(i));
    else if (i == previous)
      ring_.Map(i) = step;
    else if (ring_.Map(i).IsSet())
      CarryImageMap(ring_.Map(i), step, size);
  }
  for (WarpRecord& m : mapView_.KeyFrameMaps())
    if (m.IsSet()) CarryImageMap(m, step, size);
  return true;
}

void ImageMaps::CarryKeyFrameMaps(const std::vector<u16>& keyFrames, u16 f, u16 g) {
  if (f >= ring_.Maps().Size() || !ring_.Map(f).IsSet()) return;
  u32 size[2];
  ImageSize(ring_[g].alignmentImage, size);
  for (u16 k : keyFrames)
    if (k < mapView_.KeyFrameMaps().Size() && mapView_.KeyFrameMaps()[k].IsSet())
      CarryImageMap(mapView_.KeyFrameMaps()[k], ring_.Map(f), size);
}

bool ImageMaps::AlignKeyFrameImage(u16 keyFrame, u16 frame, KeyFrameAlignment start,
                                   float* residual) {
  AlignedArray<WarpRecord>& maps = mapView_.KeyFrameMaps();
  if (keyFrame >= maps.Size() || keyFrame >= mapView_.Working().keyFrames.size()) return false;
  const CVD::BasicImage<float>& image = mapView_.KeyFrameImage(keyFrame);
  WarpRecord& H = maps[keyFrame];
  if (start == KeyFrameAlignment::kTracking) {
    float pairs = FLT_MAX;
    if (H.IsSet()) pairs = CollectKeyFrameCorrespondences(keyFrame, frame, pointsA_, pointsB_);
    return AlignImageMap(image, frame, pairs, H, residual);
  }
  const TrackerFrame& f = ring_[frame];
  WarpRecord guess = H;
  if (!H.IsSet() || start == KeyFrameAlignment::kRecovering) Unset(guess);
  float r = FLT_MAX;
  if (!AlignFrameImages(image, f.alignmentImage, f.gradientImage, warpedImage_, guess,
                        f.alignmentValue, r, alignmentScratch_) ||
      !guess.IsSet())
    return false;
  H = guess;
  if (residual != nullptr) *residual = r;
  return true;
}

bool ImageMaps::AlignFrameImage(u16 ringFrame, u16 frame) {
  if (ringFrame >= ring_.Maps().Size() || ringFrame >= ring_.Size()) return false;
  WarpRecord& H = ring_.Map(ringFrame);
  float pairs = FLT_MAX;
  if (H.IsSet()) pairs = CollectFrameCorrespondences(ringFrame, frame, pointsA_, pointsB_);
  return AlignImageMap(ring_[ringFrame].alignmentImage, frame, pairs, H, nullptr);
}

bool ImageMaps::AlignImageMap(const CVD::BasicImage<float>& image, u16 frame, float pairResidual,
                              WarpRecord& H, float* residual) {
  const TrackerFrame& f = ring_[frame];
  const WarpRecord saved = H;
  float r = FLT_MAX;
  bool ok;
  // A residual of exactly 0 still counts: only the number of pairs decides.
  if (H.IsSet() && pairResidual != FLT_MAX && pointsA_.Size() >= kMinPairs) {
    camera_.intrinsic[4].ApplyToPoints(pointsA_);
    camera_.intrinsic[4].ApplyToPoints(pointsB_);
    ok = AlignFrameImagesExtended(image, f.alignmentImage, f.gradientImage, warpedImage_, pointsA_,
                                  pointsB_, H, f.alignmentValue, r, alignmentScratch_);
  } else {
    ok = AlignFrameImages(image, f.alignmentImage, f.gradientImage, warpedImage_, H,
                          f.alignmentValue, r, alignmentScratch_);
  }
  if (!ok || !H.IsSet()) {
    H = saved;
    return false;
  }
  if (residual != nullptr) *residual = r;
  return true;
}

float ImageMaps::CollectFrameCorrespondences(u16 ringFrame, u16 frame,
                                             AlignedArray<LA::Vector2<float>>& A,
                                             AlignedArray<LA::Vector2<float>>& B) {
  A.Clear();
  B.Clear();
  WarpRecord inverse;
  if (ringFrame >= ring_.Size() || ringFrame >= ring_.Maps().Size() ||
      !InvertMap(ring_.Map(ringFrame), inverse))
    return FLT_MAX;
  const MapWorkingCopy& w = mapView_.Working();
  const TrackerFrame& other = ring_[ringFrame];
  const TrackerFrame& f = ring_[frame];
  A.Reserve(other.MapMatchCount());
  B.Reserve(other.MapMatchCount());
  const bool posed = IsPoseValid(f.pose.slot[kVisual]);
  PairList pairs{inverse, camera_.intrinsic[4], A, B};
  LA::Vector2<float> target;
  for (int level = 0; level < kPyramidLevels; ++level) {
    const std::vector<MapMatch>& theirs = other.mapMatches[level];
    for (u32 j = 0; j < theirs.size(); ++j) {
      if (theirs[j].track >= w.trackFlags.size()) continue;  // unknown to the map copy
      GrowTo(pointMatchIndex_, theirs[j].track + size_t{1}, kNone32);
      GrowTo(pointPaired_, theirs[j].track + size_t{1}, u8{0});
      pointMatchIndex_[theirs[j].track] = j;
    }
    for (const MapMatch& m : f.mapMatches[level]) {
      if (m.track >= pointMatchIndex_.size() || pointMatchIndex_[m.track] == kNone32 ||
          pointPaired_[m.track])
        continue;
      const MapMatch& t = theirs[pointMatchIndex_[m.track]];
      if (pairs.Add({t.nx, t.ny}, {m.nx, m.ny})) pointPaired_[m.track] = 1;
    }
    for (const MapMatch& t : theirs) {
      if (t.track >= w.trackFlags.size()) continue;
      pointMatchIndex_[t.track] = kNone32;
      if (posed && !pointPaired_[t.track] && mapView_.IsInlier(t.track) &&
          Project(f.pose.slot[kVisual], w.points[t.track], target) &&
          pairs.Add({t.nx, t.ny}, target))
        pointPaired_[t.track] = 1;
    }
  }
  for (int level = 0; level < kPyramidLevels; ++level)
    for (const MapMatch& t : other.mapMatches[level])
      if (t.track < pointPaired_.size()) pointPaired_[t.track] = 0;
  return pairs.Rms(camera_.intrinsic[0]);
}

float ImageMaps::CollectKeyFrameCorrespondences(u16 keyFrame, u16 frame,
                                                AlignedArray<LA::Vector2<float>>& A,
                                                AlignedArray<LA::Vector2<float>>& B) {
  const MapWorkingCopy& w = mapView_.Working();
  const AlignedArray<LA::Vector2<float>>& normalized = mapView_.KeyFrameNormalized();
  const TrackerFrame& f = ring_[frame];
  A.Clear();
  B.Clear();
  WarpRecord inverse;
  if (keyFrame >= mapView_.KeyFrameMaps().Size() ||
      !InvertMap(mapView_.KeyFrameMaps()[keyFrame], inverse))
    return FLT_MAX;
  // A key frame the view does not hold whole leaves an empty span: no pairs.
  TrackerMapView::FeatureSpan span;
  mapView_.KeyFrameFeatures(keyFrame, span);
  const u32 count = span.count;
  A.Reserve(count);
  B.Reserve(count);
  const u32* tracks = w.measurementTracks.data() + span.trackStart;
  const LA::Vector2<float>* features = normalized.Data() + span.first;
  for (u32 j = 0; j < count; ++j) {
    if (tracks[j] >= w.trackFlags.size()) continue;  // unknown to the map copy
    GrowTo(pointMatchIndex_, tracks[j] + size_t{1}, kNone32);
    GrowTo(pointPaired_, tracks[j] + size_t{1}, u8{0});
    pointMatchIndex_[tracks[j]] = j;
  }
  PairList pairs{inverse, camera_.intrinsic[4], A, B};
  for (int level = 0; level < kPyramidLevels; ++level) {
    for (const MapMatch& m : f.mapMatches[level]) {
      if (m.track >= pointMatchIndex_.size() || pointMatchIndex_[m.track] == kNone32 ||
          pointPaired_[m.track])
        continue;
      if (pairs.Add(features[pointMatchIndex_[m.track]], {m.nx, m.ny})) pointPaired_[m.track] = 1;
    }
  }
  const bool posed = IsPoseValid(f.pose.slot[kVisual]);
  LA::Vector2<float> target;
  for (u32 j = 0; j < count; ++j) {
    const u32 t = tracks[j];
    if (t >= w.trackFlags.size()) continue;
    pointMatchIndex_[t] = kNone32;
    if (posed && !pointPaired_[t] && mapView_.IsInlier(t) &&
        Project(f.pose.slot[kVisual], w.points[t], target) && pairs.Add(features[j], target))
      pointPaired_[t] = 1;
  }
  for (u32 j = 0; j < count; ++j)
    if (tracks[j] < pointPaired_.size()) pointPaired_[tracks[j]] = 0;
  return pairs.Rms(camera_.intrinsic[0]);
}
