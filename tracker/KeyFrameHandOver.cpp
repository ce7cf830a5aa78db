// A ring frame becomes the map's newest key frame: the map takes its
// measurements, the tracker gives every new track a patch and the frame a
// match of it, and the ring frames after it are measured from it.
#include "tracker/KeyFrameHandOver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "tracker/InertialMath.h"

namespace {

constexpr int kHalfPatch = 4;  // the template spans x - 4 .. x + 3

// The nearest pixel of a level position; positions past the int range
// saturate so that clamping still holds.
int NearestPixel(float v) {
  if (!(v > -1e6f)) return -1000000;
  if (v > 1e6f) return 1000000;
  return static_cast<int>(std::floor(v + 0.5f));
}

}  // namespace

void ReadTemplateClamped(const CVD::BasicImage<u8>& image, int x0, int y0, u8 out[64]) {
  const int w = image.size().x, h = image.size().y;
  if (w <= 0 || h <= 0) {
    std::fill(out, out + 64, 0);
    return;
  }
  for (int r = 0; r < 8; ++r) {
    const int y = std::clamp(y0 + r, 0, h - 1);
    const u8* row = image[y];
    for (int c = 0; c < 8; ++c) out[8 * r + c] = row[std::clamp(x0 + c, 0, w - 1)];
  }
}

bool IsMarkerRecordUsable(const float* marker) {
  if (marker == nullptr) return false;
  for (int i = 0; i < 8; ++i)
    if (!std::isfinite(marker[i])) return false;
  return marker[8] > 0.0f && marker[9] > 0.0f;
}

KeyFrameHandOver::KeyFrameHandOver(const TrackerContext& context)
    : c_(context), measures_(context) {}

u16 KeyFrameHandOver::PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous,
                                   bool firstKeyFrame, TrackingMode trackingMode) {
  TrackerFrame& f = c_.ring[frame];
  TrackerMapView& view = c_.mapView;
  BuildPushInput(f, marker, firstKeyFrame);
  if (firstKeyFrame) {
    view.Map().InitializeKeyFrame(input_, markerCorners_);
  } else {
    view.Map().PushKeyFrame(static_cast<u8>(mode), view.Working(), input_, 1, "Tracker");
  }
  view.Synchronize();
  const u16 k = static_cast<u16>(view.KeyFrameCount() - 1);

  const bool provisional = (static_cast<u8>(mode) & kKeyFrameWeak) != 0;
  if (!provisional) {
    const bool sync = synchronous || !c_.options.parallel;
    c_.links.SendToSurf(static_cast<u16>(k + 1), sync);
    if (trackingMode.tracking) c_.links.SendToLocalAdjustor(sync);
  }

  AlignedArray<WarpRecord>& maps = view.KeyFrameMaps();
  if (maps.Size() > k) maps.Resize(k);
  WarpRecord unset{};
  unset.m[0] = FLT_MAX;
  while (maps.Size() < k) maps.PushBack48(unset);
  maps.PushBack48(c_.ring.Map(frame));
  AppendNewTracks(frame, k);
  for (u16 i = 0; i < c_.ring.Size(); ++i) view.ComputeFrameStatistics(c_.ring[i]);
  LinkLaterFrames(frame, k, provisional, trackingMode);
  return k;
}

void KeyFrameHandOver::BuildPushInput(const TrackerFrame& f, const float* marker,
                                      bool firstKeyFrame) {
  KeyFrameInput& in = input_;
  markerCorners_.clear();
  for (int l = 0; l < kPyramidLevels; ++l) {
    const std::vector<MapMatch>& matches = f.mapMatches[l];
    in.tracks[l].clear();
    in.pixels[l].Clear();
    in.normalized[l].Clear();
    const u32 n = static_cast<u32>(matches.size()) + f.kltPixels[l].Size() + (l == 0 ? 4 : 0);
    in.pixels[l].Reserve(n);
    in.normalized[l].Reserve(n);
    for (const MapMatch& m : matches) {
      in.tracks[l].push_back(m.track);
      in.pixels[l].PushBack8({m.x, m.y});
      in.normalized[l].PushBack8({m.nx, m.ny});
    }
    if (l == 0 && firstKeyFrame && IsMarkerRecordUsable(marker)) {
      const Intrinsic& K = c_.camera.intrinsic[0];
      for (int i = 0; i < 4; ++i) {
        const float x = marker[2 * i], y = marker[2 * i + 1];
        markerCorners_.push_back(static_cast<u16>(in.pixels[0].Size()));
        in.pixels[0].PushBack8({x, y});
        in.normalized[0].PushBack8({(x - K.cx[0]) * K.ifx[0], (y - K.cy[0]) * K.ify[0]});
      }
    }
    const u32 klt = std::min(f.kltPixels[l].Size(), f.kltNormalized[l].Size());
    in.pixels[l].Append(f.kltPixels[l].Data(), klt);
    in.normalized[l].Append(f.kltNormalized[l].Data(), klt);
    in.pyramid[l] = &f.pyramid[l];
  }
  in.frameId = static_cast<u32>(f.number);
  in.state = f.state.record[kVisual];
  in.pose = f.pose.slot[kVisual];
  // The preintegration from the newest key frame, which is the provisional
  // one when the frame was integrated from it.
  in.sincePrevious = f.delta[f.provisionalKeyFrame != kNone16 ? kFromProvisional : kFromKeyFrame];
  // The host's attitude prior, with gravity in the body frame derived from it.
  IMUAttitude& a = in.attitude;
  const f64 x = f.posePrior[0], y = f.posePrior[1], z = f.posePrior[2], w = f.posePrior[3];
  a.quaternion[0] = x;
  a.quaternion[1] = y;
  a.quaternion[2] = z;
  a.quaternion[3] = w;
  a.gravity[0] = 2.0 * (x * z - w * y);
  a.gravity[1] = 2.0 * (y * z + w * x);
  a.gravity[2] = 1.0 - 2.0 * (x * x + y * y);
  a.time = f.posePrior[7];
  in.colour = f.colour.size() == f.pyramid[0].size() && f.colour.size().x > 0 ? &f.colour : nullptr;
  in.floatImage = &f.alignmentImage;
}

void KeyFrameHandOver::AppendNewTracks(u16 frame, u16 k) {
  TrackerFrame& f = c_.ring[frame];
  TrackerMapView& view = c_.mapView;
  const MapWorkingCopy& w = view.Working();
  AlignedArray<FeaturePatch>& patches = view.Patches();
  std::vector<KeyFrameRecord>& records = view.Records();
  records.resize(k);
  KeyFrameRecord& record = records.emplace_back();
  // The feature arrays run parallel to the map's measurements.
  record.featureStart = view.KeyFramePixels().Size();
  const u32 base = w.keyFrameMeasurementStart[k];
  const u16* offsets = view.KeyFrameLevelOffsets(k);
  for (int l = 0; l < kPyramidLevels; ++l) {
    record.firstPatch[l] = patches.Size();
    const AlignedArray<LA::Vector2<float>>& px = input_.pixels[l];
    const AlignedArray<MapMeasurement>& nx = input_.normalized[l];
    const u32 count = offsets[l + 1] - offsets[l];  // the map may have cut the level
    view.KeyFramePixels().Append8(px.Data(), count);
    view.KeyFrameNormalized().Append8(nx.Data(), count);
    for (u32 i = static_cast<u32>(input_.tracks[l].size()); i < count; ++i) {
      const u32 feature = offsets[l] + i;
      const u32 track = w.measurementTracks[base + feature];
      const float x = px[i].x, y = px[i].y;
      FeaturePatch p{};
      // Marker corners may lie on or past the border: edge pixels stand in.
      ReadTemplateClamped(f.pyramid[l], NearestPixel(x) - kHalfPatch, NearestPixel(y) - kHalfPatch,
                          p.pixels);
      p.x = x;
      p.y = y;
      const float lo = -static_cast<float>(kHalfPatch), hi = kHalfPatch - 1.0f;
      const float corners[4][2] = {{lo, lo}, {lo, hi}, {hi, lo}, {hi, hi}};
      for (int c = 0; c < 4; ++c) {
        p.corners[c][0] = x + corners[c][0];
        p.corners[c][1] = y + corners[c][1];
      }
      p.keyFrame = k;
      p.feature = static_cast<u16>(feature);
      p.level = static_cast<u8>(l);
      p.flags = kPatchReliable;  // sums not yet valid
      p.trackedCount = 1;
      p.lostCount = 0;
      const u32 patch = patches.Size();
      patches.PushBack(p, 1000);
      f.mapMatches[l].push_back({track, patch, kNone32, x, y, x, y, nx[i].x, nx[i].y, -1});
      ++f.unsolvedCount;
    }
  }
  record.firstPatch[kPyramidLevels] = patches.Size();
}

void KeyFrameHandOver::MeasureAgainst(u16 frame, u16 k, TrackingMode mode) {
  TrackerFrame& g = c_.ring[frame];
  g.parallax = measures_.ComputeParallax(k, frame, mode, nullptr);
  g.baseline = measures_.ComputeDistanceToKeyFrame(k, frame);
  g.baselineRatio = g.sceneDepth == 0.0f ? 1.0f : g.baseline / g.sceneDepth;
}

void KeyFrameHandOver::LinkLaterFrames(u16 frame, u16 k, bool provisional, TrackingMode mode) {
  FrameRing& ring = c_.ring;
  ring[frame].keyFrame = k;
  const u16 cur = ring.Current();
  if (provisional) {
    // The frames since the last key frame measure from the newer key frame.
    ring.WalkBack(frame, [&](u16 j) {
      if (ring[j].keyFrame != kNone16 || j == cur) return false;
      ring[j].parallaxKeyFrame = k;
      MeasureAgainst(j, k, mode);
      return true;
    });
  }
  if (frame == cur) return;
  const DeltaSlot slot = provisional ? kFromProvisional : kFromKeyFrame;
  for (u16 prev = frame, j = ring.Next(frame);; prev = j, j = ring.Next(j)) {
    TrackerFrame& g = ring[j];
    const TrackerFrame& before = ring[prev];
    g.parallaxKeyFrame = k;
    if (provisional) {
      g.provisionalKeyFrame = k;
    } else {
      // No provisional key frame is newer than k any more.
      g.imuKeyFrame = k;
      g.nearKeyFrame = k;
      g.provisionalKeyFrame = kNone16;
    }
    MeasureAgainst(j, k, mode);
    IMUSample previous;
    for (int i = 0; i < 3; ++i) {
      previous.acceleration[i] = before.lastImu[i];
      previous.rotationRate[i] = before.lastImu[3 + i];
    }
    previous.time = before.time;
    if (prev == frame) {
      StartFrameDelta(g.samples, previous, before.lastReadingTime, g.time,
                      c_.options.ImageRatesWeighNothing(), g.delta[slot]);
    } else {
      g.delta[slot] = before.delta[slot];
      ExtendFrameDelta(g.samples, previous, before.lastReadingTime, g.time,
                       c_.options.ImageRatesWeighNothing(), g.delta[slot]);
    }
    if (j == cur) break;
  }
}
