#pragma once
// The image matcher's world: the matcher scene's two views of a textured wall
// and floor (320 x 240, f = 256) as a map whose key frame 0 is camera 0, and a
// ring whose slot 0 is camera 0 (its matches: key frame 0's features) and
// whose current slot 1 is camera 1. The view holds the key frames' features
// in pixels and one patch per track; every track starts unsolved. The image
// maps of slot 0 and key frame 0 are the wall's shift.
#include <algorithm>

#include "common/mapping/MatcherScene.h"
#include "common/tracker/UnitContext.h"
#include "tracker/ImageMatching.h"

struct ImageMatchingScene {
  explicit ImageMatchingScene(const MatcherSceneOptions& o = MatcherSceneOptions())
      : scene(o), unit(static_cast<u16>(o.width), static_cast<u16>(o.height), scene.intrinsic) {
    scene.BuildMap(*unit.map);
    FillView();
    FillRing();
  }

  MapWorkingCopy& Working() { return unit.view.Working(); }
  TrackerFrame& Current() { return unit.ring[1]; }

  // The view's features (pixels of their level), records and patches.
  void FillView() {
    TrackerMapView& view = unit.view;
    view.Synchronize();
    view.BuildKeyFrameRecords();
    view.KeyFrameNormalized() = unit.map->measurements;
    const MapWorkingCopy& w = view.Working();
    view.KeyFramePixels().Resize(view.KeyFrameNormalized().Size());
    view.Patches().Clear();
    for (u16 k = 0; k < w.keyFrames.size(); ++k) {
      const u32 base = w.keyFrameMeasurementStart[k], created = view.Patches().Size();
      for (int l = 0; l < kPyramidLevels; ++l) {
        const Intrinsic K = scene.LevelIntrinsic(l);
        const u16* offsets = w.keyFrames[k].levelOffsets;
        for (u32 i = base + offsets[l]; i < base + offsets[l + 1]; ++i) {
          const LA::Vector2<float>& n = view.KeyFrameNormalized()[i];
          LA::Vector2<float>& p = view.KeyFramePixels()[i];
          p = {std::round(n.x * K.fx[0] + K.cx[0]), std::round(n.y * K.fy[0] + K.cy[0])};
          if (w.measurementTracks[i] < created) continue;
          FeaturePatch patch{};
          patch.x = p.x, patch.y = p.y, patch.keyFrame = k;
          patch.feature = static_cast<u16>(i - base), patch.level = static_cast<u8>(l);
          view.Patches().PushBack(patch, 256);
        }
      }
    }
    view.KeyFrameMaps().Resize(static_cast<u32>(w.keyFrames.size()));
    for (u32 k = 0; k < w.keyFrames.size(); ++k) view.KeyFrameMaps()[k].m[0] = FLT_MAX;
    for (u8& f : view.Working().trackFlags) f = 0;
  }

  // The wall's shift from camera 1 to camera 0 in alignment-image pixels
  // (a sixteenth of level 0), as a projective or an affine map.
  WarpRecord WallMap(bool affine = false) const {
    const float f = scene.intrinsic.fx[0] / 16.0f / MatcherScene::kWallDepth;
    const float dx = f * scene.options.shiftX, dy = f * scene.options.shiftY;
    return {{1, 0, dx, 0, 0, 1, dy, 0, affine ? FLT_MAX : 0.0f, 0, 1, 0}};
  }

  // Slot 0 (camera 0) saw key frame 0's features; slot 1 is camera 1.
  void FillRing() {
    unit.ring.ResetTo(2);
    for (u16 s = 0; s < 2; ++s) {
      TrackerFrame& f = unit.ring[s];
      f.number = 20 + s;
      for (int l = 0; l < kPyramidLevels; ++l) {
        f.pyramid[l].copy_from(scene.pyramids[s][l]);
        f.corners[l].corners = scene.grids[s][l].corners;
        f.corners[l].rowStarts = scene.grids[s][l].rowStarts;
      }
      f.pose.slot[kVisual] = scene.poses[s];
    }
    const KeyFrameRecord& r = unit.view.Records()[0];
    for (int l = 0; l < kPyramidLevels; ++l)
      for (u32 p = r.firstPatch[l]; p < r.firstPatch[l + 1]; ++p) {
        const u32 i = r.featureStart + unit.view.Patches()[p].feature;
        const LA::Vector2<float> x = unit.view.KeyFramePixels()[i];
        const LA::Vector2<float> n = unit.view.KeyFrameNormalized()[i];
        unit.ring[0].mapMatches[l].push_back(
            {Working().measurementTracks[i], p, 0, x.x, x.y, x.x, x.y, n.x, n.y, 0});
      }
    unit.ring.Map(0) = unit.view.KeyFrameMaps()[0] = WallMap();
  }

  // Track t's true level-l position in camera 1; false when near the border.
  bool TruePosition(u32 t, int l, float p[2]) const {
    return t < scene.truePoint.size() && scene.Project(1, scene.truePoint[t], l, p);
  }
  // The current frame's matches at level l (every level: -1) within
  // `tolerance` level pixels of the truth, and their number.
  u32 CountCorrect(int l, float tolerance = 1.0f) {
    u32 n = 0;
    for (int k = std::max(l, 0); k <= (l < 0 ? kPyramidLevels - 1 : l); ++k)
      for (const MapMatch& m : Current().mapMatches[k]) {
        float p[2];
        n += TruePosition(m.track, k, p) && std::hypot(m.x - p[0], m.y - p[1]) <= tolerance;
      }
    return n;
  }
  // Key frame 0's tracks on level l (every level: -1) that camera 1 sees well inside.
  u32 CountVisible(int l) {
    const KeyFrameRecord& r = unit.view.Records()[0];
    u32 n = 0;
    float q[2];
    for (u32 p = r.firstPatch[std::max(l, 0)]; p < r.firstPatch[l < 0 ? kPyramidLevels : l + 1];
         ++p)
      n += TruePosition(p, l < 0 ? unit.view.Patches()[p].level : l, q);
    return n;
  }
  // The current frame's true match of key-frame-0 track t at level 0,
  // normalised, moved dy pixels down.
  MapMatch TrueMatch(u32 t, float dy = 0.0f) const {
    float p[2] = {0.0f, 0.0f};
    TruePosition(t, 0, p);
    p[1] += dy;
    const Intrinsic& K = unit.camera.intrinsic[0];
    return {
        t, t, 0, p[0], p[1], p[0], p[1], (p[0] - K.cx[0]) * K.ifx[0], (p[1] - K.cy[0]) * K.ify[0],
        0};
  }

  MatcherScene scene;
  UnitContext unit;
  ImageMatching matching{unit.Context()};
};
