#pragma once
// A tracker state for the state-file tests and benchmark: a synthetic map,
// a tracker that views it, and a ring of frames, patches, key-frame arrays
// and a registered object filled with seeded values whose indices all point
// where they may.
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "common/TempFolder.h"
#include "common/mapping/SyntheticMap.h"
#include "la/Random.h"
#include "tracker/Tracker.h"

namespace state_file_scene {

inline float Uniform() {
  return static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax);
}

inline u32 Below(u32 n) {
  return Random::Index(n);
}

// Seeded values for a run of floats or doubles.
template <class T>
void FillUniform(T* values, size_t count) {
  for (size_t i = 0; i < count; ++i) values[i] = Uniform();
}

// Fills every field of one ring frame; tracks, patches and key frames below
// the given counts.
inline void FillFrame(TrackerFrame& f, i32 number, u16 width, u16 height, u32 tracks, u32 patches,
                      u32 keyFrames, bool colour) {
  f.number = number;
  CVD::Image<u8> grey(CVD::ImageRef(width, height));
  for (u8& px : grey) px = static_cast<u8>(Random::Next());
  BuildPyramid(grey, f.pyramid);
  if (colour) {
    f.colour.resize(grey.size());
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) f.colour[y][x] = CVD::Rgb<u8>(x, y, grey[y][x]);
  }
  const CVD::ImageRef small(width >> 4, height >> 4);
  f.alignmentImage.resize(small);
  f.gradientImage.resize(small);
  f.small.image.resize(small);
  FillUniform(f.alignmentImage.data(), small.area());
  for (auto& g : f.gradientImage) g = {Uniform(), -Uniform()};
  FillUniform(f.small.image.data(), small.area());
  f.alignmentValue = Uniform();
  f.small.mean = 0.5f;
  f.small.gradients.Resize(9 * 5);
  FillUniform(f.small.gradients.begin(), f.small.gradients.Size());
  for (int s = 0; s < 3; ++s) {
    FillUniform(&f.state.record[s].position[0], 17);
    FillUniform(&f.pose.slot[s].m[0][0], 12);
    SetEmptyIMUDelta(f.delta[s]);
  }
  f.delta[1].dt = 0.25;
  FillUniform(f.lastImu, std::size(f.lastImu));
  f.time = 0.1 * number;
  f.samples.assign(3, {{1, 2, 3}, {4, 5, 6}, Uniform()});
  FillUniform(f.posePrior, std::size(f.posePrior));
  f.warps.Resize(4);
  f.hypotheses.Resize(33);
  for (auto* maps : {&f.warps, &f.hypotheses})
    for (WarpRecord& w : *maps) SetIdentityMap(w);
  for (int l = 0; l < kPyramidLevels; ++l) {
    FeatureGrid& grid = f.corners[l];
    grid.corners.Resize(6);
    grid.rowStarts.assign(static_cast<size_t>((height >> l) + 1), 6);
    for (u32 i = 0; i < 6; ++i) {
      grid.corners[i] = {static_cast<u16>(i * 3), static_cast<u16>(i)};
      grid.rowStarts[i] = i;
    }
    f.kltPixels[l].Resize(2);
    f.kltNormalized[l].Resize(2);
    for (u32 i = 0; i < 2; ++i) {
      f.kltPixels[l][i] = {Uniform() * width, Uniform() * height};
      f.kltNormalized[l][i] = {Uniform(), Uniform()};
    }
    f.mapMatches[l].clear();
    for (u32 i = 0; i < 3; ++i)
      f.mapMatches[l].push_back({Below(tracks), Below(patches), i == 2 ? kNone32 : Below(6),
                                 Uniform(), Uniform(), Uniform(), Uniform(), Uniform(), Uniform(),
                                 static_cast<i32>(Below(25600))});
    f.candidates[l] = {{Below(tracks), Below(patches), 2, Uniform(), Uniform()}};
    f.lost[l] = {{Below(tracks), Below(patches), kNone32, Uniform(), Uniform()}};
    f.misses[l] = {{Below(tracks), Below(patches), 0, Uniform(), Uniform()}};
  }
  f.inlierCount = 7;
  f.unsolvedCount = 2;
  for (float* m : {&f.mapCoverage, &f.imageCoverage, &f.combinedCoverage, &f.parallax, &f.baseline,
                   &f.baselineRatio})
    *m = Uniform();
  f.sceneDepth = 5.0f;
  f.keyFrame = static_cast<u16>(Below(keyFrames));
  f.nearKeyFrame = static_cast<u16>(keyFrames - 1);
  f.imuKeyFrame = 0;
  f.candidate = 1;
}

// The tracker's arrays beside its working copy: one patch per track, the
// key-frame features and image maps, and one registered object.
inline void FillArrays(TrackerMapView& view, TrackerObjects& objects) {
  const MapWorkingCopy& w = view.Working();
  const u32 tracks = w.points.Size(), keyFrames = static_cast<u32>(w.keyFrameFlags.size());
  view.Patches().Resize(tracks);
  for (u32 t = 0; t < tracks; ++t) {
    FeaturePatch& p = view.Patches()[t];
    std::memset(static_cast<void*>(&p), 0, sizeof(p));
    for (u8& px : p.pixels) px = static_cast<u8>(Random::Next());
    p.sum = Random::Next();
    p.sumOfSquares = Random::Next();
    p.x = Uniform();
    p.y = Uniform();
    p.keyFrame = static_cast<u16>(Below(keyFrames));
    p.feature = static_cast<u16>(Below(10));
    p.level = static_cast<u8>(Below(kPyramidLevels));
    p.flags = kPatchSumsValid | kPatchReliable;
    p.trackedCount = Below(100);
    p.lostCount = Below(10);
  }
  const u32 features = static_cast<u32>(w.measurementTracks.size());
  view.KeyFramePixels().Resize(features);
  view.KeyFrameNormalized().Resize(features);
  for (u32 i = 0; i < features; ++i) {
    view.KeyFramePixels()[i] = {Uniform() * 300, Uniform() * 200};
    view.KeyFrameNormalized()[i] = {Uniform(), Uniform()};
  }
  view.KeyFrameMaps().Resize(keyFrames);
  for (WarpRecord& m : view.KeyFrameMaps()) SetIdentityMap(m);
  TrackerObject object;
  object.anchorKeyFrame = 0;
  object.features.Resize(2);
  object.points.Resize(2);
  object.transforms.Resize(3);
  for (u16 i = 0; i < 2; ++i) {
    object.features[i] = i;
    object.points[i] = {{1.0f + 3 * i, 2.0f + 3 * i, 3.0f + 3 * i, 1}};
  }
  for (LA::AlignedMatrix4f& m : object.transforms)
    for (int i = 0; i < 16; ++i) m.m[i / 4][i % 4] = (i % 5 == 0) ? 1.0f : 0.0f;
  object.scale = 1.5f;
  objects.List().assign(1, object);
}

// A map of `keyFrames` key frames, a tracker viewing it and `ringFrames`
// filled ring frames.
struct Scene {
  Scene(const SyntheticMapOptions& options, u16 ringFrames, u32 seed = 3)
      : synthetic(options), tracker((synthetic.Build(map), map)) {
    Random::Seed(seed);
    FillArrays(tracker.MapView(), tracker.Objects());
    const MapWorkingCopy& w = tracker.MapView().Working();
    FrameRing& ring = tracker.Ring();
    ring.ResetTo(ringFrames);
    for (u16 i = 0; i < ringFrames; ++i) {
      FillFrame(ring[i], 10 + 3 * i, options.width, options.height, w.points.Size(),
                tracker.MapView().Patches().Size(), static_cast<u32>(w.keyFrameFlags.size()),
                i == 0);
      SetIdentityMap(ring.Map(i));
    }
  }

  SyntheticMap synthetic;
  GlobalMap map;
  Tracker tracker;
};

// A fresh tracker over a fresh map of the same camera.
struct Fresh {
  explicit Fresh(const SyntheticMap& synthetic) : tracker((synthetic.MakeEmptyMap(map), map)) {}
  GlobalMap map;
  Tracker tracker;
};

// Three key frames of 64 x 48 over one plane: small enough to save often.
inline SyntheticMapOptions SmallMap() {
  SyntheticMapOptions o;
  o.keyFrames = 3;
  o.planes = 1;
  o.pointsPerPlane = 12;
  o.clutterPoints = 4;
  o.width = 64;
  o.height = 48;
  return o;
}

// The bytes of a file (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace state_file_scene
