#pragma once
// A seeded scene of a few planes among clutter, seen by a short row of
// cameras of a 640 x 480 image (f = 500): a floor, a back wall and a side
// wall, each point seen by every camera, with 3-D noise on the stored points
// and pixel noise on the observations. Shared by the plane-detection tests
// and benchmarks; `data` is what the detector takes.
#include <cmath>
#include <vector>

#include "common/Draws.h"
#include "common/PlaneScene.h"
#include "estimation/PlaneEstimatorData.h"
#include "la/Pose.h"

namespace planescene {

// Angle in degrees between two plane normals, either orientation.
using scene::AngleDegrees;

struct Scene {
  static constexpr u16 kWidth = 640, kHeight = 480;
  Intrinsic intrinsic{};
  std::vector<Plane> planes;               // the true planes
  std::vector<LA::AlignedMatrix3f> poses;  // never resized after Build
  std::vector<u16> truth;                  // true plane per point, kNone16 for clutter
  PlaneEstimatorData2D data;

  // n points, a share `clutter` of them scattered off the planes; `planeCount`
  // (1 to 3) planes share the rest equally. Four cameras; 4 mm of noise on
  // the stored points, 0.3 pixels on the observations.
  void Build(u32 seed, u32 n, u32 planeCount = 3, f32 clutter = 0.15f) {
    const u32 cameraCount = 4;
    Random::Seed(seed);
    intrinsic.Set(500.0f, 500.0f, 320.0f, 240.0f);
    const Plane all[3] = {{{0.0f, 1.0f, 0.0f, -1.0f}},  // floor y = 1
                          {{0.0f, 0.0f, 1.0f, -5.5f}},  // back wall z = 5.5
                          {{1.0f, 0.0f, 0.0f, 1.8f}}};  // side wall x = -1.8
    planes.assign(all, all + planeCount);
    poses.assign(cameraCount, LA::AlignedMatrix3f{});
    for (u32 c = 0; c < cameraCount; ++c) {
      LA::AlignedMatrix3f& P = poses[c];
      P.m[0][0] = P.m[1][1] = P.m[2][2] = 1.0f;
      P.m[0][3] = -0.5f * (static_cast<f32>(c) - 0.5f * static_cast<f32>(cameraCount - 1));
    }
    truth.clear();
    data.points.Resize(0);
    data.offsets.assign(1, 0u);
    data.cameras.clear();
    data.measurements.Resize(0);
    data.mode = 0;
    data.mseFactor = 1.0f;
    const u32 clutterCount = static_cast<u32>(clutter * static_cast<f32>(n) + 0.5f);
    while (truth.size() < n) {
      const bool isClutter = truth.size() < clutterCount;
      const u16 p = isClutter ? kNone16 : static_cast<u16>(truth.size() % planeCount);
      f32 X[3];
      if (isClutter) {
        X[0] = Uniform(-1.7f, 1.7f), X[1] = Uniform(-0.9f, 0.9f), X[2] = Uniform(2.5f, 5.0f);
      } else if (p == 0) {
        X[0] = Uniform(-1.8f, 1.8f), X[1] = 1.0f, X[2] = Uniform(2.5f, 5.5f);
      } else if (p == 1) {
        X[0] = Uniform(-1.8f, 2.5f), X[1] = Uniform(-1.2f, 1.0f), X[2] = 5.5f;
      } else {
        X[0] = -1.8f, X[1] = Uniform(-1.0f, 1.0f), X[2] = Uniform(3.0f, 5.5f);
      }
      if (!AddPoint(X, 0.004f, 0.3f)) continue;
      truth.push_back(p);
    }
  }

  // Appends a point seen by every camera where it projects (plus noise);
  // false, nothing added, when a camera does not see it inside the image.
  bool AddPoint(const f32 X[3], f32 noise, f32 pixelNoise, bool requireInside = true) {
    LA::Vector2<f32> seen[8];
    for (u32 c = 0; c < poses.size(); ++c) {
      const LA::AlignedMatrix3f& P = poses[c];
      f32 r[3];
      for (int j = 0; j < 3; ++j)
        r[j] = P.m[j][0] * X[0] + P.m[j][1] * X[1] + P.m[j][2] * X[2] + P.m[j][3];
      const f32 x = r[0] / r[2] + pixelNoise * Gaussian() / 500.0f;
      const f32 y = r[1] / r[2] + pixelNoise * Gaussian() / 500.0f;
      const f32 u = 500.0f * x + 320.0f, v = 500.0f * y + 240.0f;
      if (requireInside &&
          (r[2] <= 0.1f || u < 1.0f || u >= kWidth - 1 || v < 1.0f || v >= kHeight - 1))
        return false;
      seen[c] = {x, y};
    }
    for (u32 c = 0; c < poses.size(); ++c) {
      data.measurements.PushBack8(seen[c]);
      data.cameras.push_back(&poses[c]);
    }
    LA::AlignedVector4f stored{
        {X[0] + noise * Gaussian(), X[1] + noise * Gaussian(), X[2] + noise * Gaussian(), 1.0f}};
    data.points.PushBack16(stored);
    data.offsets.push_back(data.measurements.Size());
    return true;
  }
};

}  // namespace planescene
