#pragma once
// A seeded plane scene: points on a known plane with noise, outliers off it
// along the normal, and cameras that observe every point (normalised image
// coordinates).
#include <cmath>
#include <vector>

#include "common/ProjectiveScene.h"
#include "estimation/PlaneEstimatorData.h"

namespace scene {

inline LA::AlignedVector4f Point(f32 x, f32 y, f32 z) {
  return {{x, y, z, 1.0f}};
}

// Angle between the normals of two planes, either orientation; atan2 keeps
// tiny angles exact where acos of a rounded dot product would give 0.
inline f64 AngleDegrees(const Plane& a, const Plane& b) {
  const Eigen::Vector3d na(a.v[0], a.v[1], a.v[2]), nb(b.v[0], b.v[1], b.v[2]);
  return std::atan2(na.cross(nb).norm(), std::fabs(na.dot(nb))) * 180.0 / 3.141592653589793;
}

struct PlaneScene {
  Plane plane{};                           // the true plane, |n| = 1, d = -1
  std::vector<LA::AlignedMatrix3f> poses;  // cameras; never resized after build
  std::vector<bool> inlier;                // ground truth per point
  PlaneEstimatorData3D data3;
  PlaneEstimatorData2D data2;

  // n points, a share `outliers` of them off the plane (distance 0.1 to 3),
  // inliers with Gaussian noise `noise` on every coordinate (or only along the
  // normal when normalOnly) and image noise `pixelNoise` on the observations.
  void Build(u32 seed, u32 n, f32 outliers, f32 noise, bool normalOnly = false,
             f32 pixelNoise = 0.0f, u32 cameraCount = 3) {
    Random::Seed(seed);
    const Eigen::Vector3f N = Eigen::Vector3f(0.2f, -0.3f, 1.0f).normalized();
    plane = {{N.x(), N.y(), N.z(), -1.0f}};
    // Two unit vectors spanning the plane.
    const Eigen::Vector3f e1 = Eigen::Vector3f(N.z(), 0.0f, -N.x()).normalized(), e2 = N.cross(e1);
    // Cameras looking along +z from about 4 units in front of the plane.
    poses.clear();
    for (u32 c = 0; c < cameraCount; ++c) {
      const f32 k = static_cast<f32>(c) - 1.0f;
      const Eigen::Matrix3f R = Eigen::AngleAxisf(0.15f * k, Eigen::Vector3f::UnitY()).matrix();
      poses.push_back(ToCamera({R, Eigen::Vector3f(0.5f * k, 0.2f, 4.0f)}));
    }
    inlier.assign(n, true);
    for (u32 k = 0; k < static_cast<u32>(static_cast<f32>(n) * outliers + 0.5f); ++k) {
      u32 i = Random::Index(n);
      while (!inlier[i]) i = Random::Index(n);
      inlier[i] = false;
    }
    data3.points.Resize(n);
    data2 = PlaneEstimatorData2D();
    data2.points.Resize(n);
    data2.offsets.assign(1, 0u);
    data2.measurements.Resize(n * cameraCount);
    for (u32 i = 0, o = 0; i < n; ++i) {
      const f32 a = Uniform(-1.5f, 1.5f), b = Uniform(-1.5f, 1.5f);
      // Inliers are seen where their point on the plane projects.
      Eigen::Vector3f X = -plane.v[3] * N + a * e1 + b * e2, stored = X;
      if (!inlier[i]) {
        X = stored += Uniform(0.1f, 3.0f) * (Random::Next() % 2 ? 1.0f : -1.0f) * N;
      } else if (normalOnly) {
        stored += noise * Gaussian() * N;
      } else {
        for (int j = 0; j < 3; ++j) stored[j] += noise * Gaussian();
      }
      data2.points[i] = data3.points[i] = Point(stored.x(), stored.y(), stored.z());
      for (u32 c = 0; c < cameraCount; ++c, ++o) {
        const LA::AlignedMatrix3f& P = poses[c];
        f32 r[3];
        for (int j = 0; j < 3; ++j)
          r[j] = ((P.m[j][0] * X[0] + P.m[j][1] * X[1]) + P.m[j][2] * X[2]) + P.m[j][3];
        data2.cameras.push_back(&poses[c]);
        data2.measurements[o] = {r[0] / r[2] + pixelNoise * Gaussian(),
                                 r[1] / r[2] + pixelNoise * Gaussian()};
      }
      data2.offsets.push_back(o);
    }
  }
};

}  // namespace scene
