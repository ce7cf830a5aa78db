#pragma once
// A seeded synthetic plane scene shared by the plane tests: points on a
// known plane with noise along its normal, outliers scattered off it, and a
// few cameras that observe every point (normalised image coordinates).
#include <cmath>
#include <vector>

#include "estimation/PlaneEstimatorData.h"
#include "la/Random.h"

namespace scene {

inline f32 Uniform(f32 a, f32 b) {
  return a + (b - a) * (static_cast<f32>(Random::Next()) / static_cast<f32>(Random::kMax));
}

inline f32 Gaussian() {
  // Box-Muller on two draws from the project's generator.
  const f64 u1 = (static_cast<f64>(Random::Next()) + 1.0) / (static_cast<f64>(Random::kMax) + 2.0);
  const f64 u2 = static_cast<f64>(Random::Next()) / static_cast<f64>(Random::kMax);
  return static_cast<f32>(std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2));
}

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
  Plane plane;                             // the true plane, |n| = 1
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
    f32 nx = 0.2f, ny = -0.3f, nz = 1.0f;
    const f32 len = std::sqrt(nx * nx + ny * ny + nz * nz);
    plane.v[0] = nx / len;
    plane.v[1] = ny / len;
    plane.v[2] = nz / len;
    plane.v[3] = -1.0f;
    // Two unit vectors spanning the plane.
    const f32 u[3] = {plane.v[2], 0.0f, -plane.v[0]};
    const f32 ul = std::sqrt(u[0] * u[0] + u[2] * u[2]);
    const f32 e1[3] = {u[0] / ul, 0.0f, u[2] / ul};
    const f32 e2[3] = {plane.v[1] * e1[2] - plane.v[2] * e1[1],
                       plane.v[2] * e1[0] - plane.v[0] * e1[2],
                       plane.v[0] * e1[1] - plane.v[1] * e1[0]};
    poses.clear();
    poses.reserve(cameraCount);
    for (u32 c = 0; c < cameraCount; ++c) {
      // Looking along +z from about 4 units in front of the plane.
      const f32 a = 0.15f * (static_cast<f32>(c) - 1.0f);
      LA::AlignedMatrix3f P{};
      P.m[0][0] = std::cos(a);
      P.m[0][2] = std::sin(a);
      P.m[1][1] = 1.0f;
      P.m[2][0] = -std::sin(a);
      P.m[2][2] = std::cos(a);
      P.m[0][3] = 0.5f * (static_cast<f32>(c) - 1.0f);
      P.m[1][3] = 0.2f;
      P.m[2][3] = 4.0f;
      poses.push_back(P);
    }
    const u32 outlierCount = static_cast<u32>(static_cast<f32>(n) * outliers + 0.5f);
    inlier.assign(n, true);
    for (u32 k = 0; k < outlierCount; ++k) {
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
      f32 X[3];
      for (int j = 0; j < 3; ++j) X[j] = -plane.v[3] * plane.v[j] + a * e1[j] + b * e2[j];
      f32 stored[3] = {X[0], X[1], X[2]};
      if (inlier[i]) {
        if (normalOnly) {
          const f32 g = noise * Gaussian();
          for (int j = 0; j < 3; ++j) stored[j] += g * plane.v[j];
        } else {
          for (int j = 0; j < 3; ++j) stored[j] += noise * Gaussian();
        }
      } else {
        const f32 off = Uniform(0.1f, 3.0f) * (Random::Next() % 2 ? 1.0f : -1.0f);
        for (int j = 0; j < 3; ++j) stored[j] += off * plane.v[j];
        for (int j = 0; j < 3; ++j) X[j] = stored[j];
      }
      data3.points[i] = Point(stored[0], stored[1], stored[2]);
      data2.points[i] = data3.points[i];
      // Inliers are seen where their point on the plane projects.
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
