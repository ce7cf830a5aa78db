#pragma once
// Map matching's world: a textured wall z = 5, key frames rendered into the
// map's pyramids whose spread FAST corners become tracks (their points on the
// wall, their patches RELIABLE, all INLIER), and a ring of one frame rendered
// at a true pose with its corners.
#include <cvd/convolution.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "features/FastFeatureGrid.h"

struct MapMatchingScene {
  static constexpr float kWall = 5.0f;

  MapMatchingScene(int w, int h)
      : parts(static_cast<u16>(w), static_cast<u16>(h),
              SceneRender::MakeIntrinsic(0.8f * w, 0.8f * w, 0.5f * (w - 1), 0.5f * (h - 1))) {
    texture = SceneRender::MakeNoiseTexture(640, 512, 5, 10, 10, 245);
    parts.ring.ResetTo(1);
    frame().number = 7;
    parts.view.Working().keyFrameMeasurementStart.assign(1, 0);
  }

  TrackerFrame& frame() { return parts.ring[0]; }
  MapWorkingCopy& working() { return parts.view.Working(); }

  // A camera at centre c, turned by `angle` about the unit axis.
  static CameraPose Camera(float cx, float cy, float cz, const float axis[3] = nullptr,
                           float angle = 0.0f) {
    CameraPose P;
    const float y[3] = {0, 1, 0};
    AxisAngleToRotation(P, axis ? axis : y, angle);
    const float c[3] = {cx, cy, cz};
    for (int r = 0; r < 3; ++r)
      P.m[r][3] = -(P.m[r][0] * c[0] + P.m[r][1] * c[1] + P.m[r][2] * c[2]);
    return P;
  }

  void Render(const CameraPose& pose, CVD::Image<u8> (&pyramid)[kPyramidLevels]) {
    CVD::Image<u8> image(CVD::ImageRef(parts.camera.width, parts.camera.height));
    SceneRender::Render({{{-6, -5, kWall}, {1, 0, 0}, {0, 1, 0}, 12, 10, &texture}}, pose,
                        parts.camera.intrinsic[0], image, 0, 2);
    CVD::convolveGaussian(image, 0.5);  // corners from blobs, not grain
    BuildPyramid(image, pyramid);
  }

  // A key frame at `pose` whose corners, at most perLevel[l] per level and
  // `spacing` level-0 pixels apart (halved per level), become new tracks.
  u16 AddKeyFrame(const CameraPose& pose, const u32 perLevel[kPyramidLevels],
                  float spacing = 12.0f) {
    const u16 k = static_cast<u16>(parts.map->keyFrames.size());
    parts.map->keyFrames.resize(k + 1);
    CVD::Image<u8>(&pyramid)[kPyramidLevels] = parts.map->keyFrames[k].pyramid;
    Render(pose, pyramid);
    FeatureGrid grids[kPyramidLevels];
    DetectFastFeatures(pyramid, scratch, grids);
    MapWorkingCopy& w = working();
    w.keyFramePoses.PushBack48(pose);
    KeyFrameRecord record;
    record.featureStart = static_cast<u32>(w.measurementTracks.size());
    u16 feature = 0;
    float centre[3];
    CameraCentre(pose, centre);
    for (int l = 0; l < kPyramidLevels; ++l) {
      record.firstPatch[l] = parts.view.Patches().Size();
      const Intrinsic& K = parts.camera.intrinsic[l];
      const float gap = std::max(spacing / static_cast<float>(1 << l), 4.0f);
      const int right = pyramid[l].size().x - 10, bottom = pyramid[l].size().y - 10;
      std::vector<CornerXY> kept;
      for (const CornerXY& c : grids[l].corners) {
        if (kept.size() >= perLevel[l]) break;
        const auto near = [&](const CornerXY& q) {
          return std::fabs(float(q.x) - c.x) < gap && std::fabs(float(q.y) - c.y) < gap;
        };
        if (c.x < 10 || c.y < 10 || c.x >= right || c.y >= bottom ||  // a 10-pixel margin
            std::any_of(kept.begin(), kept.end(), near))
          continue;
        kept.push_back(c);
        // The corner's ray meets the wall.
        const float n[3] = {(c.x - K.cx[0]) / K.fx[0], (c.y - K.cy[0]) / K.fy[0], 1.0f};
        float ray[3];
        for (int i = 0; i < 3; ++i)
          ray[i] = pose.m[0][i] * n[0] + pose.m[1][i] * n[1] + pose.m[2][i] * n[2];
        const float s = (kWall - centre[2]) / ray[2];
        const u32 track = w.points.Size();
        w.points.PushBack16(
            {{centre[0] + s * ray[0], centre[1] + s * ray[1], centre[2] + s * ray[2], 1.0f}});
        w.trackFlags.push_back(kTrackSolved | kTrackInlier);
        w.trackPlanes.push_back(kNone16);
        w.measurementTracks.push_back(track);
        FeaturePatch patch{};
        patch.x = c.x, patch.y = c.y, patch.level = static_cast<u8>(l);
        patch.keyFrame = k, patch.feature = feature++;
        patch.flags = kPatchReliable;
        parts.view.Patches().PushBack(patch, 1000);
        levelOf.push_back(l);
        truePoints.push_back(w.points.Back());
      }
    }
    record.firstPatch[kPyramidLevels] = parts.view.Patches().Size();
    w.keyFrameMeasurementStart.push_back(static_cast<u32>(w.measurementTracks.size()));
    w.keyFrameFlags.push_back(0);
    parts.view.Records().push_back(record);
    return k;
  }

  // The frame's images and corners at the true pose; its visual pose `seen`.
  void RenderFrame(const CameraPose& truth, const CameraPose& seen) {
    truePose = truth;
    Render(truth, frame().pyramid);
    DetectFastFeatures(frame().pyramid, scratch, frame().corners);
    frame().pose.slot[kVisual] = seen;
  }

  // Track t's true position at level l (level pixels).
  void TruePosition(u32 t, int l, float p[2]) const {
    SceneRender::ProjectPoint(truePose, parts.camera.intrinsic[l], truePoints[t].v, p);
  }

  UnitContext parts;
  CVD::Image<u8> texture;
  CameraPose truePose{};
  std::vector<int> levelOf;          // per track: its patch level
  std::vector<MapPoint> truePoints;  // per track, whatever the map holds
  std::vector<CVD::ImageRef> scratch;
};
