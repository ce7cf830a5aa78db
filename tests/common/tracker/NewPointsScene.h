#pragma once
// Scene points that the key frames of a real map and the frames of a ring (the
// last one current) all see on level 0 with Gaussian pixel noise (640 x 480,
// f = 500); tracks start unsolved; the view's records and features are set.
#include <Eigen/Dense>
#include <algorithm>
#include <vector>

#include "tests/common/Draws.h"
#include "tests/common/SceneRenderer.h"
#include "tests/common/tracker/UnitContext.h"

struct NewPointsScene {
  static constexpr double kFocal = 500.0;

  // [R | -R c] of a camera at centre c turned by `yaw` degrees about y.
  static CameraPose Pose(const Eigen::Vector3d& centre, double yawDegrees = 0.0) {
    const Eigen::Matrix3d R =
        Eigen::AngleAxisd(yawDegrees * M_PI / 180.0, Eigen::Vector3d::UnitY()).toRotationMatrix();
    return FromEigen<CameraPose>(R, -R * centre);
  }
  // `count` points in front of the origin, depths 2 to 4, inside the view.
  static std::vector<Eigen::Vector3d> RandomPoints(u32 count, u32 seed) {
    Random::Seed(seed);
    std::vector<Eigen::Vector3d> points;
    for (u32 i = 0; i < count; ++i) {
      const double z = UniformD(2.0, 4.0);
      points.emplace_back(UniformD(-0.4, 0.4) * z, UniformD(-0.3, 0.3) * z, z);
    }
    return points;
  }
  void Build(const std::vector<Eigen::Vector3d>& scenePoints,
             const std::vector<CameraPose>& keyFrames, const std::vector<CameraPose>& ringFrames,
             double noise, u32 seed) {
    points = scenePoints;
    Random::Seed(seed);
    for (u32 k = 0; k < keyFrames.size(); ++k) {
      KeyFrameInput input;
      input.pose = keyFrames[k];
      for (u32 j = 0; j < points.size(); ++j) {
        input.normalized[0].PushBack(Observe(keyFrames[k], j, noise), 64);
        if (k > 0) input.tracks[0].push_back(j);
      }
      unit.view.Synchronize();
      if (k == 0) unit.map->InitializeKeyFrame(input, {});
      if (k > 0) unit.map->PushKeyFrame(0, unit.view.Working(), input, 1, "Tracker");
    }
    unit.view.Synchronize();
    unit.view.BuildKeyFrameRecords();
    // The tracker's key-frame features run parallel to the map's measurements.
    unit.view.KeyFrameNormalized() = unit.map->measurements;
    unit.ring.ResetTo(static_cast<u16>(ringFrames.size()));
    for (u16 s = 0; s < ringFrames.size(); ++s) {
      TrackerFrame& f = unit.ring[s];
      f.number = 100 + s;
      f.pose.slot[kVisual] = ringFrames[s];
      for (u32 j = 0; j < points.size(); ++j) {
        const LA::Vector2<float> x = Observe(ringFrames[s], j, noise);
        f.mapMatches[0].push_back({j, j, 0, 0, 0, 0, 0, x.x, x.y, -1});
      }
    }
  }
  LA::Vector2<float> Observe(const CameraPose& pose, u32 j, double noise) const {
    const Eigen::Vector3d x = ToEigen(pose) * points[j] + TranslationOf(pose);
    const Eigen::Vector2d n = Eigen::Vector2d(GaussianD(), GaussianD()) * (noise / kFocal);
    return {static_cast<float>(x.x() / x.z() + n.x()), static_cast<float>(x.y() / x.z() + n.y())};
  }
  // The scene points' median depth seen from `pose`.
  double MedianDepth(const CameraPose& pose) const {
    std::vector<double> depths;
    for (const Eigen::Vector3d& X : points)
      depths.push_back((ToEigen(pose) * X + TranslationOf(pose)).z());
    std::nth_element(depths.begin(), depths.begin() + depths.size() / 2, depths.end());
    return depths[depths.size() / 2];
  }
  // Moves track j's level-0 match in ring slot s down by `pixels`.
  void Displace(u16 s, u32 j, double pixels) {
    unit.ring[s].mapMatches[0][j].ny += static_cast<float>(pixels / kFocal);
  }
  // The tracks of the level-0 matches of ring slot s.
  std::vector<u32> Tracks(u16 s) {
    std::vector<u32> tracks;
    for (const MapMatch& m : unit.ring[s].mapMatches[0]) tracks.push_back(m.track);
    return tracks;
  }
  MapWorkingCopy& Working() { return unit.view.Working(); }
  u8& Flags(u32 track) { return Working().trackFlags[track]; }
  Eigen::Vector3d Point(u32 track) {
    return Eigen::Map<const Eigen::Vector3f>(Working().points[track].v).cast<double>();
  }
  void SetPoint(u32 track, const Eigen::Vector3d& X) {
    Eigen::Map<Eigen::Vector3f>(Working().points[track].v) = X.cast<float>();
  }

  UnitContext unit{640, 480, SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f)};
  std::vector<Eigen::Vector3d> points;
};
