#pragma once
// Scene points seen by the key frames of a real map and by the frames of a
// ring, for the new-points unit: every view sees every point on level 0,
// with Gaussian noise in pixels; tracks start unsolved, the newest ring
// frame is current, and the view's key-frame records and features are
// filled as the tracker's pushes would fill them.
#include <Eigen/Dense>
#include <vector>

#include "tests/common/Draws.h"
#include "tests/common/tracker/UnitContext.h"

struct NewPointsScene {
  static constexpr u16 kWidth = 640, kHeight = 480;
  static constexpr double kFocal = 500.0;

  static Intrinsic Camera() {
    Intrinsic k;
    k.Set(500.0f, 500.0f, 319.5f, 239.5f);
    return k;
  }
  // [R | -R c] of a camera at centre c turned by `yaw` degrees about y.
  static CameraPose Pose(const Eigen::Vector3d& centre, double yawDegrees = 0.0) {
    const Eigen::Matrix3d R =
        Eigen::AngleAxisd(yawDegrees * M_PI / 180.0, Eigen::Vector3d::UnitY()).toRotationMatrix();
    return FromEigen<CameraPose>(R, -R * centre);
  }
  static Eigen::Vector2d Project(const CameraPose& pose, const Eigen::Vector3d& X) {
    const Eigen::Vector3d x = ToEigen(pose) * X + TranslationOf(pose);
    return x.head<2>() / x.z();
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

  NewPointsScene() : unit(kWidth, kHeight, Camera()) {}

  // The map's key frames and the ring's frames (the last one current), each
  // seeing every point with `noise` pixels of deviation.
  void Build(const std::vector<Eigen::Vector3d>& scenePoints,
             const std::vector<CameraPose>& keyFrames, const std::vector<CameraPose>& ringFrames,
             double noise, u32 seed) {
    points = scenePoints;
    Random::Seed(seed);
    const u32 n = static_cast<u32>(points.size());
    for (size_t k = 0; k < keyFrames.size(); ++k) {
      KeyFrameInput input;
      input.frameId = static_cast<u32>(k);
      input.state.quaternion[3] = 1.0;
      input.pose = keyFrames[k];
      for (u32 j = 0; j < n; ++j) {
        const Eigen::Vector2d x = Observe(keyFrames[k], j, noise);
        input.normalized[0].PushBack({static_cast<float>(x.x()), static_cast<float>(x.y())}, 64);
        if (k > 0) input.tracks[0].push_back(j);
      }
      unit.view.Synchronize();
      if (k == 0)
        unit.map->InitializeKeyFrame(input, {});
      else
        unit.map->PushKeyFrame(0, unit.view.Working(), input, 1, "Tracker");
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
      for (u32 j = 0; j < n; ++j)
        f.mapMatches[0].push_back(Match(j, Observe(ringFrames[s], j, noise)));
    }
  }

  // A level-0 match of a track at a normalised position.
  static MapMatch Match(u32 track, const Eigen::Vector2d& x) {
    MapMatch m{};
    m.track = track;
    m.patch = track;
    m.nx = static_cast<float>(x.x());
    m.ny = static_cast<float>(x.y());
    m.x = static_cast<float>(kFocal * x.x() + 319.5);
    m.y = static_cast<float>(kFocal * x.y() + 239.5);
    return m;
  }
  Eigen::Vector2d Observe(const CameraPose& pose, u32 point, double noise) const {
    return Project(pose, points[point]) +
           Eigen::Vector2d(GaussianD(), GaussianD()) * (noise / kFocal);
  }
  // Moves the first match of the track in ring slot s by (dx, dy) pixels.
  void Displace(u16 s, u32 track, double dx, double dy) {
    for (auto& list : unit.ring[s].mapMatches)
      for (MapMatch& m : list)
        if (m.track == track) {
          m.nx += static_cast<float>(dx / kFocal);
          m.ny += static_cast<float>(dy / kFocal);
          return;
        }
  }

  MapWorkingCopy& Working() { return unit.view.Working(); }
  u8& Flags(u32 track) { return Working().trackFlags[track]; }
  Eigen::Vector3d Point(u32 track) {
    const MapPoint& p = Working().points[track];
    return {p.v[0], p.v[1], p.v[2]};
  }
  void SetPoint(u32 track, const Eigen::Vector3d& X) {
    Working().points[track] = {
        {static_cast<float>(X.x()), static_cast<float>(X.y()), static_cast<float>(X.z()), 1.0f}};
  }
  // Mean and largest distance of the tracks' points from the truth.
  void Errors(double& mean, double& largest) {
    mean = largest = 0.0;
    for (u32 j = 0; j < points.size(); ++j) {
      const double e = (Point(j) - points[j]).norm();
      mean += e / static_cast<double>(points.size());
      largest = std::max(largest, e);
    }
  }

  UnitContext unit;
  std::vector<Eigen::Vector3d> points;
};
