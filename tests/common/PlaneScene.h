#pragma once
// A seeded synthetic plane scene shared by the plane tests: points on a
// known plane with noise, outliers scattered off it along the normal, and a
// few cameras that observe every point (normalised image coordinates); the
// random draws are the synthetic scenes' ones.
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
  const f64 ax = a.v[0], ay = a.v[1], az = a.v[2], bx = b.v[0], by = b.v[1], bz = b.v[2];
  const f64 cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
  const f64 dot = std::fabs(ax * bx + ay * by + az * bz);
  return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), dot) * 180.0 / 3.141592653589793;
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
    const f32 len = std::sqrt(0.2f * 0.2f + 0.3f * 0.3f + 1.0f);
    plane.v[0] = 0.2f / len;
    plane.v[1] = -0.3f / len;
    plane.v[2] = 1.0f / len;
    plane.v[3] = -1.0f;
    const f32* N = plane.v;
    // Two unit vectors spanning the plane.
    const f32 ul = std::sqrt(N[2] * N[2] + N[0] * N[0]);
    const f32 e1[3] = {N[2] / ul, 0.0f, -N[0] / ul};
    const f32 e2[3] = {N[1] * e1[2] - N[2] * e1[1], N[2] * e1[0] - N[0] * e1[2],
                       N[0] * e1[1] - N[1] * e1[0]};
    // Cameras looking along +z from about 4 units in front of the plane.
    poses.assign(cameraCount, LA::AlignedMatrix3f{});
    for (u32 c = 0; c < cameraCount; ++c) {
      const f32 k = static_cast<f32>(c) - 1.0f, a = 0.15f * k;
      LA::AlignedMatrix3f& P = poses[c];
      P.m[0][0] = P.m[2][2] = std::cos(a);
      P.m[0][2] = std::sin(a);
      P.m[2][0] = -std::sin(a);
      P.m[1][1] = 1.0f;
      P.m[0][3] = 0.5f * k;
      P.m[1][3] = 0.2f;
      P.m[2][3] = 4.0f;
    }
    inlier.assign(n, true);
    for (u32 k = 0; k < static_cast<u32>(static_cast<f32>(n) * outliers + 0.5f); ++k) {
      u32 i;
      do {
        i = Random::Index(n);
      } while (!inlier[i]);
      inlier[i] = false;
    }
    data3.points.Resize(n);
    data2.points.Resize(n);
    data2.offsets.assign(1, 0u);
    data2.cameras.clear();
    data2.measurements.Resize(n * cameraCount);
    data2.mode = 0;
    data2.mseFactor = 1.0f;
    u32 o = 0;
    for (u32 i = 0; i < n; ++i) {
      const f32 a = Uniform(-1.5f, 1.5f), b = Uniform(-1.5f, 1.5f);
      f32 X[3], stored[3];
      for (int j = 0; j < 3; ++j) X[j] = stored[j] = -plane.v[3] * N[j] + a * e1[j] + b * e2[j];
      if (!inlier[i]) {
        // Inliers are seen where their point on the plane projects, outliers
        // where they are.
        const f32 off = Uniform(0.1f, 3.0f) * (Random::Next() % 2 ? 1.0f : -1.0f);
        for (int j = 0; j < 3; ++j) X[j] = stored[j] += off * N[j];
      } else if (normalOnly) {
        const f32 g = noise * Gaussian();
        for (int j = 0; j < 3; ++j) stored[j] += g * N[j];
      } else {
        for (int j = 0; j < 3; ++j) stored[j] += noise * Gaussian();
      }
      data2.points[i] = data3.points[i] = Point(stored[0], stored[1], stored[2]);
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
