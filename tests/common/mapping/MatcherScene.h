#pragma once
// A textured wall z = 5 seen from two cameras looking along +z, rendered into
// pyramids, with FAST corners and alignment images from the front end; a map
// whose key frame 0 carries the first camera's corners as tracks and whose
// key frame 1 carries the second camera's view of the same points, a few of
// them under the same track ids and the rest under new ids (duplicates of
// one ground-truth point); and the track matcher's item for key frame 1.
#include <cmath>
#include <vector>

#include "common/ScenePyramid.h"
#include "common/SceneRenderer.h"
#include "common/mapping/SyntheticMap.h"
#include "features/AlignmentImage.h"
#include "features/FastFeatureGrid.h"
#include "features/FeatureRecords.h"
#include "la/TrackMatchingData.h"
#include "mapping/GlobalMap.h"

struct MatcherSceneOptions {
  int width = 320, height = 240;
  float shiftX = 0.12f, shiftY = 0.03f;  // second camera's centre
  u32 sharedTracks = 12;                 // key frame 1 features keeping key frame 0's ids
  bool weakSecond = false;               // key frame 1 pushed as provisional
  int alignmentHalvings = 1;             // alignment image size: level 0 halved this often
  u32 fillerKeyFrames = 0;  // further copies of key frame 0 after key frame 1 (a larger map)
  u32 featuresPerLevel[4] = {200, 100, 50, 25};
};

class MatcherScene {
 public:
  static constexpr float kWallDepth = 5.0f;
  static constexpr float kFloorHeight = 1.0f, kFloorNear = 3.0f;

  explicit MatcherScene(const MatcherSceneOptions& o = MatcherSceneOptions()) : options(o) {
    texture = SceneRender::MakeNoiseTexture(512, 384, 11, 12, 30, 225);
    SceneRender::TexturedPlane wall{
        {-5.0f, -4.0f, kWallDepth}, {1, 0, 0}, {0, 1, 0}, 10.0f, 5.0f, &texture};
    // A floor in front of the wall, so that the points are not all on one plane.
    SceneRender::TexturedPlane floor{{-5.0f, kFloorHeight, kFloorNear}, {1, 0, 0}, {0, 0, 1}, 10.0f,
                                     kWallDepth - kFloorNear,           &texture};
    const float f = 0.8f * static_cast<float>(o.width);
    intrinsic = SceneRender::MakeIntrinsic(f, f, 0.5f * o.width, 0.5f * o.height);
    const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1};
    const float c0[3] = {0, 0, 0}, c1[3] = {o.shiftX, o.shiftY, 0};
    poses[0] = SceneRender::MakePose(r0, r1, r2, c0);
    poses[1] = SceneRender::MakePose(r0, r1, r2, c1);
    for (int k = 0; k < 2; ++k) {
      CVD::Image<u8> image(CVD::ImageRef(o.width, o.height));
      SceneRender::Render({wall, floor}, poses[k], intrinsic, image, 0, 2);
      SceneRender::BuildPyramid(image, pyramids[k]);
      DetectFastFeatures(pyramids[k], scratch, grids[k]);
      const int h = o.alignmentHalvings;
      CVD::Image<u8> smaller[4];  // the tracker's size: level 3 halved once more
      if (h > 3) SceneRender::BuildPyramid(pyramids[k][3], smaller);
      PrepareAlignmentImage(h <= 3 ? pyramids[k][h] : smaller[h - 3], floatImages[k], gradients[k],
                            sharpness[k]);
    }
  }

  // Level intrinsics (level pixels).
  Intrinsic LevelIntrinsic(int l) const {
    const float s = 1.0f / static_cast<float>(1 << l);
    return SceneRender::MakeIntrinsic(intrinsic.fx[0] * s, intrinsic.fy[0] * s, intrinsic.cx[0] * s,
                                      intrinsic.cy[0] * s);
  }

  // Builds the two-key-frame map described above; `oldPose` replaces key
  // frame 0's stored pose when given (the points stay true).
  void BuildMap(GlobalMap& map, const CameraPose* oldPose = nullptr) {
    ResetMap(map, static_cast<u16>(options.width), static_cast<u16>(options.height), intrinsic);
    truePoint.clear();
    // Key frame 0: its corners, each a new track.
    KeyFrameInput in0;
    Fill(in0, 0);
    for (int l = 0; l < 4; ++l) {
      const Intrinsic K = LevelIntrinsic(l);
      // Features spread as the tracker spreads them: far enough apart that
      // after snapping to corners no corner lies within 10 level-0 pixels
      // (halved per level) of two of them.
      const float spacing = std::max(24.0f / static_cast<float>(1 << l), 5.0f);
      std::vector<CornerXY> kept;
      for (u32 i = 0; i < grids[0][l].corners.Size(); ++i) {
        const CornerXY& c = grids[0][l].corners[i];
        bool free = kept.size() < options.featuresPerLevel[l];
        for (const CornerXY& k : kept) {
          const float dx = static_cast<float>(k.x) - c.x, dy = static_cast<float>(k.y) - c.y;
          if (dx * dx + dy * dy < spacing * spacing) free = false;
        }
        if (!free) continue;
        const float nx = (c.x - K.cx[0]) / K.fx[0], ny = (c.y - K.cy[0]) / K.fy[0];
        // The ray of camera 0 (at the origin) meets the floor before the wall
        // below the horizon.
        float depth = kWallDepth;
        if (ny > 0.0f && kFloorHeight / ny < kWallDepth) depth = kFloorHeight / ny;
        if (depth < kFloorNear + 0.1f) continue;
        MapPoint X;
        X.v[0] = depth * nx, X.v[1] = depth * ny, X.v[2] = depth, X.v[3] = 1.0f;
        // Key frame 1 must see it well inside its image.
        float p[2];
        if (!Project(1, X, l, p) || !SnapToCorner(l, p)) continue;
        kept.push_back(c);
        in0.pixels[l].PushBack8({static_cast<float>(c.x), static_cast<float>(c.y)});
        in0.normalized[l].PushBack8({nx, ny});
        truePoint.push_back(X);
      }
    }
    map.InitializeKeyFrame(in0, {});
    const u32 T0 = static_cast<u32>(truePoint.size());
    // Key frame 1: the same points, a few under the old ids.
    MapWorkingCopy working;
    map.Synchronize(working);
    KeyFrameInput in1;
    Fill(in1, 1);
    std::vector<u32> fresh[4];
    // Key frame 1's feature of point t at its corner.
    const auto add = [&](int l, u32 t) {
      const Intrinsic K = LevelIntrinsic(l);
      float p[2];
      Project(1, truePoint[t], l, p);
      SnapToCorner(l, p);
      in1.pixels[l].PushBack8({p[0], p[1]});
      in1.normalized[l].PushBack8({(p[0] - K.cx[0]) / K.fx[0], (p[1] - K.cy[0]) / K.fy[0]});
    };
    u32 t = 0;
    for (int l = 0; l < 4; ++l) {
      for (u32 i = 0; i < in0.pixels[l].Size(); ++i, ++t) {
        if (t >= options.sharedTracks) {
          fresh[l].push_back(t);
          continue;
        }
        add(l, t);
        in1.tracks[l].push_back(t);
        working.points[t] = truePoint[t];
        working.trackFlags[t] |= kTrackSolved | kTrackInlier;
      }
    }
    // Matched features lead each level; the duplicates follow as new tracks.
    duplicateOf.assign(T0, kNone32);
    for (int l = 0; l < 4; ++l) {
      for (const u32 s : fresh[l]) {
        add(l, s);
        truePoint.push_back(truePoint[s]);
        duplicateOf.push_back(s);
      }
    }
    map.PushKeyFrame(options.weakSecond ? kKeyFrameWeak : 0, working, in1, 1, "Tracker");
    const std::vector<MapPoint> seen0(truePoint.begin(), truePoint.begin() + T0);
    for (u32 k = 0; k < options.fillerKeyFrames; ++k) {
      map.Synchronize(working);
      KeyFrameInput filler;
      Fill(filler, 0);
      filler.frameId = 100 + k;
      filler.state.time = 0.2 + 0.1 * k;
      for (int l = 0; l < 4; ++l) filler.pixels[l].Assign(in0.pixels[l]);
      for (int l = 0; l < 4; ++l) filler.normalized[l].Assign(in0.normalized[l]);
      map.PushKeyFrame(0, working, filler, 1, "Tracker");
      truePoint.insert(truePoint.end(), seen0.begin(), seen0.end());
      duplicateOf.resize(truePoint.size(), kNone32);
    }
    // Every track solved at its true point.
    map.Synchronize(working);
    const u32 T = working.points.Size();
    for (u32 k = 0; k < T && k < truePoint.size(); ++k) {
      working.points[k] = truePoint[k];
      working.trackFlags[k] |= kTrackSolved | kTrackInlier;
    }
    IMUState state{};
    state.quaternion[3] = 1.0;
    map.SetAnchoredStructure(1.0f, state, oldPose ? *oldPose : poses[0], working.points,
                             AlignedArray<MapPlane>(), working.trackFlags, {}, working.trackPlanes);
  }

  // The matcher's item for key frame 1 as the map holds it.
  void FillItem(const GlobalMap& map, TrackMatchingData& item) const {
    item.frameId = 11;
    const CVD::BasicImage<u8> levels[4] = {pyramids[1][0], pyramids[1][1], pyramids[1][2],
                                           pyramids[1][3]};
    item.SetImages(levels, floatImages[1], gradients[1]);
    item.texture = sharpness[1];
    MapKeyFrameCopy copy;
    map.GetKeyFrame(1, copy);
    for (int l = 0; l < 4; ++l) {
      const FeatureGrid& g = grids[1][l];
      std::vector<int> rows(g.rowStarts.begin(), g.rowStarts.end());
      item.SetCorners(l, reinterpret_cast<const LA::Vector2<u16>*>(g.corners.Data()),
                      g.corners.Size(), rows.data(), static_cast<u32>(rows.size()));
      const Intrinsic K = LevelIntrinsic(l);
      const u32 n = copy.measurements[l].Size();
      item.ResizeMatches(l, n);
      for (u32 i = 0; i < n; ++i) {
        item.points[l][i] = copy.points[l][i];
        item.normalizedMeasurements[l][i] = copy.measurements[l][i];
        item.measurements[l][i] = {copy.measurements[l][i].x * K.fx[0] + K.cx[0],
                                   copy.measurements[l][i].y * K.fy[0] + K.cy[0]};
        item.trackIndices[l][i] = copy.tracks[l][i];
        item.trackFlags[l][i] = copy.trackFlags[l][i];
        item.planeIndices[l][i] = kNone16;
      }
    }
    *item.pose = poses[1];
    item.relocalisationKeyFrame = item.alignmentKeyFrame = kNone16;
    item.meanDepth = kWallDepth;
  }

  // Level pixel of X in camera k; false unless well inside the image.
  bool Project(int k, const MapPoint& X, int l, float p[2]) const {
    SceneRender::ProjectPoint(poses[k], LevelIntrinsic(l), X.v, p);
    const float margin = 8.0f, w = static_cast<float>(options.width >> l),
                h = static_cast<float>(options.height >> l);
    return p[0] >= margin && p[1] >= margin && p[0] < w - margin && p[1] < h - margin;
  }

  // Moves p onto the nearest corner of camera 1 within one level pixel, as
  // the tracker measures features at corners; false when there is none.
  bool SnapToCorner(int l, float p[2]) const {
    float best = 1.0f;
    const CornerXY* nearest = nullptr;
    for (const CornerXY& c : grids[1][l].corners) {
      const float dx = c.x - p[0], dy = c.y - p[1];
      if (dx * dx + dy * dy < best) {
        best = dx * dx + dy * dy;
        nearest = &c;
      }
    }
    if (nearest == nullptr) return false;
    p[0] = nearest->x, p[1] = nearest->y;
    return true;
  }

  MatcherSceneOptions options;
  CVD::Image<u8> texture;
  Intrinsic intrinsic{};
  CameraPose poses[2];
  CVD::Image<u8> pyramids[2][4];
  FeatureGrid grids[2][4];
  CVD::Image<float> floatImages[2];
  GradientImage gradients[2];
  float sharpness[2] = {0, 0};
  std::vector<MapPoint> truePoint;  // per track
  std::vector<u32> duplicateOf;     // per track: the key-frame-0 track it repeats, or kNone32
  std::vector<CVD::ImageRef> scratch;

 private:
  // A fresh input of camera k.
  void Fill(KeyFrameInput& in, int k) {
    in.frameId = 10 * k + 1;
    in.pose = poses[k];
    in.state.quaternion[3] = 1.0;
    in.state.position[0] = k ? options.shiftX : 0;
    in.state.position[1] = k ? options.shiftY : 0;
    SetEmptyIMUDelta(in.sincePrevious);
    in.sincePrevious.dt = 0.1;
    in.attitude.time = DBL_MAX;
    for (int l = 0; l < 4; ++l) in.pyramid[l] = &pyramids[k][l];
    in.floatImage = &floatImages[k];
  }
};
