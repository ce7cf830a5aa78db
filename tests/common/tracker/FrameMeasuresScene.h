#pragma once
// A hand-made map in the tracker's view for the frame measures: tracks, key
// frames whose features lie where their pose projects the points, and a ring
// of two frames. f = 100 at the image centre: a normalised 0.01 is one pixel.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "tests/common/SceneRenderer.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/FrameMeasures.h"

struct FrameMeasuresScene {
  FrameMeasuresScene(u16 width, u16 height)
      : parts(width, height, SceneRender::MakeIntrinsic(100, 100, 0.5f * width, 0.5f * height)),
        measures(parts.Context()) {
    parts.ring.ResetTo(2);
    if (W().keyFrameMeasurementStart.empty()) W().keyFrameMeasurementStart.push_back(0);
  }
  MapWorkingCopy& W() { return parts.view.Working(); }
  TrackerFrame& Frame(u16 slot = 1) { return parts.ring[slot]; }

  // A camera at (cx, cy, cz) turned by `degrees` about y (0: looking along +z).
  static CameraPose Turned(float degrees, float cx = 0, float cy = 0, float cz = 0) {
    const float a = degrees * 3.14159265f / 180, s = std::sin(a), c = std::cos(a);
    const float r0[3] = {c, 0, -s}, r1[3] = {0, 1, 0}, r2[3] = {s, 0, c}, centre[3] = {cx, cy, cz};
    return SceneRender::MakePose(r0, r1, r2, centre);
  }
  static CameraPose Unset(CameraPose pose) {
    pose.m[0][0] = FLT_MAX;
    return pose;
  }
  u16 AddPlane(float nx, float ny, float nz, float d) {
    W().planes.PushBack16({{nx, ny, nz, d}});
    W().planeFlags.push_back(0);
    return static_cast<u16>(W().planes.Size() - 1);
  }
  // A track with its point; its patch comes from `patchKeyFrame`.
  u32 AddTrack(float x, float y, float z, u8 flags = kTrackSolved | kTrackInlier,
               u16 plane = kNone16, u16 patchKeyFrame = 0) {
    W().points.PushBack16({{x, y, z, 1}});
    W().trackFlags.push_back(flags);
    W().trackPlanes.push_back(plane);
    parts.view.Patches().PushBack(FeaturePatch{}, 64);
    parts.view.Patches()[W().points.Size() - 1].keyFrame = patchKeyFrame;
    return W().points.Size() - 1;
  }
  // A key frame seeing (track, level) pairs given in level order, each
  // feature where the pose projects the point; its image map unset.
  u16 AddKeyFrame(const CameraPose& pose, const std::vector<std::pair<u32, int>>& features,
                  u8 flags = 0) {
    parts.view.Records().emplace_back().featureStart = parts.view.KeyFrameNormalized().Size();
    WorkingKeyFrame& kf = W().keyFrames.emplace_back();
    for (int l = 1; l <= kPyramidLevels + 1; ++l)
      kf.levelOffsets[l] = static_cast<u16>(std::count_if(
          features.begin(), features.end(), [l](const auto& f) { return f.second < l; }));
    for (const auto& [track, level] : features) {
      float X[3];
      SceneRender::ToCamera(pose, W().points[track].v, X);
      const MapMatch m = Match(track, level, X[0] / X[2], X[1] / X[2]);
      parts.view.KeyFrameNormalized().PushBack8({m.nx, m.ny});
      parts.view.KeyFramePixels().PushBack8({m.x, m.y});
      W().measurementTracks.push_back(track);
    }
    W().keyFramePoses.PushBack(pose, 8);
    W().keyFrameFlags.push_back(flags);
    W().keyFrameMeasurementStart.push_back(static_cast<u32>(W().measurementTracks.size()));
    parts.view.KeyFrameMaps().PushBack48(WarpRecord{{FLT_MAX}});
    return static_cast<u16>(W().keyFramePoses.Size() - 1);
  }
  // A match of the track at a normalised position, or at level pixels.
  MapMatch Match(u32 track, int level, float nx, float ny) const {
    const Intrinsic& K = parts.camera.intrinsic[level];
    return {track, track, 0, nx * K.fx[0] + K.cx[0], ny * K.fy[0] + K.cy[0], 0, 0, nx, ny, 0};
  }
  MapMatch MatchAt(u32 track, int level, float x, float y) const {
    const Intrinsic& K = parts.camera.intrinsic[level];
    return Match(track, level, (x - K.cx[0]) * K.ifx[0], (y - K.cy[0]) * K.ify[0]);
  }
  // A miss of the track (its patch has the track's index) at level pixels.
  static ImageMatch Miss(u32 track, float x, float y) { return {track, track, 0, x, y}; }

  UnitContext parts;
  FrameMeasures measures;
};
