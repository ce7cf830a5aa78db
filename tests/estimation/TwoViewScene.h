#pragma once
// Seeded synthetic two-view scenes for the two-view estimator tests: a random
// relative pose (X2 = R X1 + t) and points in front of both cameras, seen in
// normalised camera coordinates.
#include <Eigen/Dense>
#include <cmath>
#include <vector>

#include "la/Random.h"

namespace twoview {

inline double Uniform(double lo, double hi) {
  return lo + (hi - lo) * (static_cast<double>(Random::Next()) / Random::kMax);
}

inline double Gaussian() {
  // Box-Muller on the project's generator.
  double u1 = Uniform(1e-12, 1.0), u2 = Uniform(0.0, 1.0);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
}

inline Eigen::Matrix3d RandomRotation(double maxAngleRad) {
  Eigen::Vector3d axis(Gaussian(), Gaussian(), Gaussian());
  axis.normalize();
  return Eigen::AngleAxisd(Uniform(0.0, maxAngleRad), axis).toRotationMatrix();
}

inline Eigen::Matrix3d Skew(const Eigen::Vector3d& t) {
  Eigen::Matrix3d S;
  S << 0, -t.z(), t.y(), t.z(), 0, -t.x(), -t.y(), t.x(), 0;
  return S;
}

struct Match {
  double x1, y1, x2, y2;
};

struct TwoViewScene {
  Eigen::Matrix3d R;
  Eigen::Vector3d t;  // unit length
  std::vector<Match> matches;
  Eigen::Matrix3d E() const { return Skew(t) * R; }
};

// n points at depths 2..8 inside a field of view of about 90 degrees of both
// cameras.
inline TwoViewScene MakeScene(int n, double maxAngleRad = 0.5, double baseline = 1.0) {
  TwoViewScene s;
  s.R = RandomRotation(maxAngleRad);
  s.t = Eigen::Vector3d(Gaussian(), Gaussian(), Gaussian()).normalized();
  const Eigen::Vector3d tScaled = s.t * baseline;
  while (static_cast<int>(s.matches.size()) < n) {
    const double z = Uniform(2.0, 8.0);
    const Eigen::Vector3d X(Uniform(-1, 1) * z, Uniform(-1, 1) * z, z);
    const Eigen::Vector3d X2 = s.R * X + tScaled;
    // Both cameras see the point within a field of view of about 90 degrees.
    if (X2.z() < 0.5 || std::fabs(X2.x()) > X2.z() || std::fabs(X2.y()) > X2.z()) continue;
    s.matches.push_back({X.x() / X.z(), X.y() / X.z(), X2.x() / X2.z(), X2.y() / X2.z()});
  }
  return s;
}

// Frobenius-normalised, sign-agnostic distance between two 3x3 matrices.
inline double MatrixDistance(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  const Eigen::Matrix3d an = a / a.norm(), bn = b / b.norm();
  return std::min((an - bn).norm(), (an + bn).norm());
}

inline double RotationAngleDeg(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  const double c = std::max(-1.0, std::min(1.0, ((a.transpose() * b).trace() - 1.0) / 2.0));
  return std::acos(c) * 180.0 / M_PI;
}

inline double DirectionAngleDeg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const double c = std::max(-1.0, std::min(1.0, a.normalized().dot(b.normalized())));
  return std::acos(c) * 180.0 / M_PI;
}

}  // namespace twoview

namespace twoview {

// Pinhole intrinsics of the pixel tests: f = 500, principal point (320, 240).
inline Eigen::Matrix3d PixelIntrinsics() {
  Eigen::Matrix3d K;
  K << 500, 0, 320, 0, 500, 240, 0, 0, 1;
  return K;
}

// The scene's matches in pixels.
inline std::vector<Match> ToPixels(const std::vector<Match>& m) {
  std::vector<Match> out(m.size());
  for (size_t i = 0; i < m.size(); ++i)
    out[i] = {500 * m[i].x1 + 320, 500 * m[i].y1 + 240, 500 * m[i].x2 + 320, 500 * m[i].y2 + 240};
  return out;
}

// Fundamental matrix of a scene for pixel matches.
inline Eigen::Matrix3d PixelFundamental(const TwoViewScene& s) {
  const Eigen::Matrix3d Kinv = PixelIntrinsics().inverse();
  return Kinv.transpose() * s.E() * Kinv;
}

}  // namespace twoview
