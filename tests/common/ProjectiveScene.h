#pragma once
// Seeded synthetic projective scenes of the estimation tests and benchmarks.
// 3-D/2-D: random poses, world points in front of the camera, their
// normalised projections with pixel noise (focal length 500) and outliers,
// the matches as estimator data, and pose error measures. Two views: a random
// relative pose (X2 = R X1 + t) and points in front of both cameras in
// normalised coordinates, their pixel form, and the packed match containers.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/Draws.h"
#include "estimation/Camera.h"
#include "estimation/MatchSet2D.h"
#include "estimation/MatchSet3DTo2D.h"

namespace scene {

constexpr float kFocal = 500.0f;

struct Pose {
  Eigen::Matrix3f R;
  Eigen::Vector3f t;
  Eigen::Vector3f Apply(const Eigen::Vector3f& X) const { return R * X + t; }
};

using CameraMatrix = Eigen::Matrix<float, 3, 4, Eigen::RowMajor>;

inline Camera ToCamera(const Pose& p) {
  Camera c{};
  Eigen::Map<CameraMatrix>(&c.m[0][0]) << p.R, p.t;
  return c;
}

inline Pose FromCamera(const Camera& c) {
  const Eigen::Map<const CameraMatrix> M(&c.m[0][0]);
  return {M.leftCols<3>(), M.col(3)};
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
  return Eigen::Map<const CameraMatrix>(&c.m[0][0]).allFinite();
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

// Two views.
struct Match {
  double x1, y1, x2, y2;
};

struct TwoViewScene {
  Eigen::Matrix3d R;
  Eigen::Vector3d t;  // unit length
  std::vector<Match> matches;
  Eigen::Matrix3d E() const {  // [t]x R
    Eigen::Matrix3d S;
    S << 0, -t.z(), t.y(), t.z(), 0, -t.x(), -t.y(), t.x(), 0;
    return S * R;
  }
};

// n points at depths 2..8 inside a field of view of about 90 degrees of both
// cameras.
inline TwoViewScene MakeScene(int n, double maxAngleRad = 0.5) {
  TwoViewScene s;
  s.R = RandomRotationD(maxAngleRad);
  s.t = Eigen::Vector3d(GaussianD(), GaussianD(), GaussianD()).normalized();
  while (static_cast<int>(s.matches.size()) < n) {
    const double z = UniformD(2.0, 8.0);
    const Eigen::Vector3d X(UniformD(-1, 1) * z, UniformD(-1, 1) * z, z);
    const Eigen::Vector3d X2 = s.R * X + s.t;
    if (X2.z() < 0.5 || std::fabs(X2.x()) > X2.z() || std::fabs(X2.y()) > X2.z()) continue;
    s.matches.push_back({X.x() / X.z(), X.y() / X.z(), X2.x() / X2.z(), X2.y() / X2.z()});
  }
  return s;
}

// Gaussian noise of sigma on every coordinate; the first `outliers` matches
// become random pairs in [-0.6, 0.6]^2.
inline void Corrupt(std::vector<Match>& m, double sigma, int outliers) {
  for (Match& p : m) {
    p.x1 += sigma * GaussianD();
    p.y1 += sigma * GaussianD();
    p.x2 += sigma * GaussianD();
    p.y2 += sigma * GaussianD();
  }
  for (int i = 0; i < outliers; ++i)
    m[i] = {UniformD(-0.6, 0.6), UniformD(-0.6, 0.6), UniformD(-0.6, 0.6), UniformD(-0.6, 0.6)};
}

// Frobenius-normalised, sign-agnostic distance between two 3x3 matrices.
inline double MatrixDistance(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  const Eigen::Matrix3d an = a / a.norm(), bn = b / b.norm();
  return std::min((an - bn).norm(), (an + bn).norm());
}

// Entries uniform in [-scale, scale].
inline Eigen::Matrix3d RandomMatrix(double scale = 1.0) {
  Eigen::Matrix3d M;
  for (int i = 0; i < 9; ++i) M(i / 3, i % 3) = UniformD(-scale, scale);
  return M;
}

// Pinhole intrinsics of the pixel tests: f = 500, principal point (320, 240).
inline Eigen::Matrix3d PixelIntrinsics() {
  Eigen::Matrix3d K;
  K << 500, 0, 320, 0, 500, 240, 0, 0, 1;
  return K;
}

inline std::vector<Match> ToPixels(const std::vector<Match>& m) {
  std::vector<Match> out(m.size());
  for (size_t i = 0; i < m.size(); ++i)
    out[i] = {500 * m[i].x1 + 320, 500 * m[i].y1 + 240, 500 * m[i].x2 + 320, 500 * m[i].y2 + 240};
  return out;
}

// Fundamental matrix of a scene for pixel matches, scaled to F33 = 1.
inline Eigen::Matrix3d PixelFundamental(const TwoViewScene& s) {
  const Eigen::Matrix3d Kinv = PixelIntrinsics().inverse();
  const Eigen::Matrix3d F = Kinv.transpose() * s.E() * Kinv;
  return F / F(2, 2);
}

// Packed containers filled from plain matches: the first n into the
// coordinate arrays of a sample, all into a set.
inline void FillArrays(const std::vector<Match>& m, int n, float* x1, float* y1, float* x2,
                       float* y2) {
  for (int i = 0; i < n; ++i) {
    x1[i] = static_cast<float>(m[i].x1);
    y1[i] = static_cast<float>(m[i].y1);
    x2[i] = static_cast<float>(m[i].x2);
    y2[i] = static_cast<float>(m[i].y2);
  }
}

inline void FillSet(const std::vector<Match>& m, MatchSet2D& set) {
  set.Resize(static_cast<u16>(m.size()));
  for (size_t i = 0; i < m.size(); ++i) {
    set.SetMatch(static_cast<u32>(i), static_cast<float>(m[i].x1), static_cast<float>(m[i].y1),
                 static_cast<float>(m[i].x2), static_cast<float>(m[i].y2));
  }
}

}  // namespace scene
