#pragma once
// A hand-made map in the tracker's view for the frame measures: tracks with
// points, flags and planes, key frames whose features lie exactly where
// their pose projects the points, and a ring of frames to fill with
// matches, misses and corners. Camera f = 100 with the principal point at
// the image centre, so that a normalised error of 0.01 is one pixel.
#include <cmath>
#include <utility>
#include <vector>

#include "tests/common/SceneRenderer.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/FrameMeasures.h"

class FrameMeasuresScene {
 public:
  static constexpr float kFocal = 100.0f;

  FrameMeasuresScene(u16 width, u16 height)
      : parts(width, height,
              SceneRender::MakeIntrinsic(kFocal, kFocal, 0.5f * width, 0.5f * height)),
        measures(parts.Context()) {
    parts.ring.ResetTo(2);
    if (W().keyFrameMeasurementStart.empty()) W().keyFrameMeasurementStart.push_back(0);
  }

  MapWorkingCopy& W() { return parts.view.Working(); }
  TrackerFrame& Frame(u16 slot = 1) { return parts.ring[slot]; }

  // A camera at `centre` turned by `degrees` about the y axis (0: looking along +z).
  static CameraPose Turned(float degrees, float cx = 0.0f, float cy = 0.0f, float cz = 0.0f) {
    const float a = degrees * 3.14159265f / 180.0f, s = std::sin(a), c = std::cos(a);
    const float r0[3] = {c, 0, -s}, r1[3] = {0, 1, 0}, r2[3] = {s, 0, c}, centre[3] = {cx, cy, cz};
    return SceneRender::MakePose(r0, r1, r2, centre);
  }

  u16 AddPlane(float nx, float ny, float nz, float d) {
    W().planes.PushBack16({{nx, ny, nz, d}});
    W().planeFlags.push_back(0);
    return static_cast<u16>(W().planes.Size() - 1);
  }
  // A track with its point, flags, plane and the key frame its patch comes from.
  u32 AddTrack(float x, float y, float z, u8 flags = kTrackSolved | kTrackInlier,
               u16 plane = kNone16, u16 patchKeyFrame = 0) {
    W().points.PushBack16({{x, y, z, 1.0f}});
    W().trackFlags.push_back(flags);
    W().trackPlanes.push_back(plane);
    FeaturePatch patch{};
    patch.keyFrame = patchKeyFrame;
    parts.view.Patches().PushBack(patch, 64);
    return W().points.Size() - 1;
  }
  // A key frame seeing the tracks, per level in order; each feature where
  // the pose projects its point.
  u16 AddKeyFrame(const CameraPose& pose, const std::vector<std::pair<u32, int>>& features,
                  u8 flags = 0) {
    const u16 k = static_cast<u16>(W().keyFramePoses.Size());
    W().keyFramePoses.PushBack(pose, 8);
    W().keyFrameFlags.push_back(flags);
    WorkingKeyFrame kf;
    KeyFrameRecord record;
    record.featureStart = parts.view.KeyFrameNormalized().Size();
    int level = 0;
    for (u16 j = 0; j < features.size(); ++j) {
      while (level < features[j].second) kf.levelOffsets[++level] = j;
      float X[3];
      SceneRender::ToCamera(pose, W().points[features[j].first].v, X);
      const LA::Vector2<float> n{X[0] / X[2], X[1] / X[2]};
      const Intrinsic& K = parts.camera.intrinsic[features[j].second];
      parts.view.KeyFrameNormalized().PushBack8(n);
      parts.view.KeyFramePixels().PushBack8({n.x * K.fx[0] + K.cx[0], n.y * K.fy[0] + K.cy[0]});
      W().measurementTracks.push_back(features[j].first);
    }
    while (level < kPyramidLevels) kf.levelOffsets[++level] = static_cast<u16>(features.size());
    kf.levelOffsets[5] = static_cast<u16>(features.size());
    W().keyFrames.push_back(kf);
    W().keyFrameMeasurementStart.push_back(static_cast<u32>(W().measurementTracks.size()));
    parts.view.Records().push_back(record);
    WarpRecord unset{};
    unset.m[0] = FLT_MAX;
    parts.view.KeyFrameMaps().PushBack48(unset);
    return k;
  }

  // A match of the track at a normalised position, its pixels of the level.
  MapMatch Match(u32 track, int level, float nx, float ny) const {
    const Intrinsic& K = parts.camera.intrinsic[level];
    MapMatch m{};
    m.track = track;
    m.patch = track;
    m.x = nx * K.fx[0] + K.cx[0], m.y = ny * K.fy[0] + K.cy[0];
    m.nx = nx, m.ny = ny;
    return m;
  }
  // A match at a pixel position of the level.
  MapMatch MatchAt(u32 track, int level, float x, float y) const {
    const Intrinsic& K = parts.camera.intrinsic[level];
    return Match(track, level, (x - K.cx[0]) * K.ifx[0], (y - K.cy[0]) * K.ify[0]);
  }
  // A miss of the track (its patch has the track's index) at level pixels.
  static ImageMatch Miss(u32 track, float x, float y) { return {track, track, 0, x, y}; }

  UnitContext parts;
  FrameMeasures measures;
};
