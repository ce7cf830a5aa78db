#pragma once
// Seeded synthetic 3-D/2-D scenes shared by the estimation tests: random
// poses, world points in front of the camera, their normalised projections
// with pixel noise (focal length 500) and outliers, the matches as estimator
// data, and pose error measures.
#include <Eigen/Dense>
#include <cmath>
#include <vector>

#include "estimation/Camera.h"
#include "estimation/MatchSet3DTo2D.h"
#include "la/Random.h"

namespace synthetic {

constexpr float kFocal = 500.0f;

inline float Uniform(float lo = -1.0f, float hi = 1.0f) {
  return lo + (hi - lo) * (Random::Next() / float(Random::kMax));
}

// Standard normal by Box-Muller over the engine's generator.
inline float Gaussian() {
  const float u1 = std::max(Uniform(0.0f, 1.0f), 1e-7f), u2 = Uniform(0.0f, 1.0f);
  return std::sqrt(-2.0f * std::log(u1)) * std::cos(6.2831853f * u2);
}

inline Eigen::Matrix3f RandomRotation(float maxAngle = 3.1f) {
  const Eigen::Vector3f axis = Eigen::Vector3f(Uniform(), Uniform(), Uniform()).normalized();
  return Eigen::AngleAxisf(Uniform(-maxAngle, maxAngle), axis).toRotationMatrix();
}

struct Pose {
  Eigen::Matrix3f R;
  Eigen::Vector3f t;
  Eigen::Vector3f Apply(const Eigen::Vector3f& X) const { return R * X + t; }
};

inline Camera ToCamera(const Pose& p) {
  Camera c{};
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) c.m[r][k] = p.R(r, k);
    c.m[r][3] = p.t(r);
  }
  return c;
}

inline Pose FromCamera(const Camera& c) {
  Pose p;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) p.R(r, k) = c.m[r][k];
    p.t(r) = c.m[r][3];
  }
  return p;
}

// A random pose looking at the world origin from a distance of 4 to 6.
inline Pose RandomPose() {
  Pose p;
  p.R = RandomRotation();
  p.t = Eigen::Vector3f(Uniform(-0.5f, 0.5f), Uniform(-0.5f, 0.5f), Uniform(4.0f, 6.0f));
  return p;
}

// Angle of R_a R_b^T in radians.
// Through the chord ||a - b||_F = 2 sqrt(2) sin(angle / 2), which stays
// accurate for small angles where the trace formula loses them in rounding.
inline float RotationError(const Eigen::Matrix3f& a, const Eigen::Matrix3f& b) {
  const double chord = (a - b).cast<double>().norm() / (2.0 * std::sqrt(2.0));
  return static_cast<float>(2.0 * std::asin(std::min(1.0, chord)));
}

// Relative error of the camera centres -R^T t.
inline float CentreError(const Pose& a, const Pose& b) {
  const Eigen::Vector3f ca = -a.R.transpose() * a.t, cb = -b.R.transpose() * b.t;
  return (ca - cb).norm() / cb.norm();
}

inline bool AllFinite(const Camera& c) {
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 4; ++k)
      if (!std::isfinite(c.m[r][k])) return false;
  return true;
}

// World points in the cube [-extent, extent]^3 (flatness scales z) with
// their projections under `pose`; pixel noise sigma; the first
// `outliers` matches get random image points instead.
struct Matches {
  std::vector<Eigen::Vector3f> world;
  std::vector<Eigen::Vector2f> image;
};

inline Matches MakeMatches(const Pose& pose, int n, float noisePixels, int outliers = 0,
                           float flatness = 1.0f, float extent = 1.0f) {
  Matches m;
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3f X(Uniform(-extent, extent), Uniform(-extent, extent),
                            flatness * Uniform(-extent, extent));
    const Eigen::Vector3f x = pose.Apply(X);
    Eigen::Vector2f u(x.x() / x.z(), x.y() / x.z());
    if (i < outliers) {
      u = Eigen::Vector2f(Uniform(-0.6f, 0.6f), Uniform(-0.45f, 0.45f));
    } else {
      u += Eigen::Vector2f(Gaussian(), Gaussian()) * (noisePixels / kFocal);
    }
    m.world.push_back(X);
    m.image.push_back(u);
  }
  return m;
}

// The matches as the estimators' 3-D/2-D data (camera data included).
inline void Fill(const Matches& m, MatchSet3DTo2DX& data) {
  data.Resize(static_cast<u32>(m.world.size()));
  for (u32 i = 0; i < m.world.size(); ++i) {
    data.worldPoints[i] = {{m.world[i].x(), m.world[i].y(), m.world[i].z(), 1.0f}};
    data.imagePoints[i] = {m.image[i].x(), m.image[i].y()};
  }
}

}  // namespace synthetic
