#pragma once
// Seeded synthetic two-view scenes for the two-view estimator tests: a random
// relative pose (X2 = R X1 + t) and points in front of both cameras, seen in
// normalised camera coordinates; conversions to the packed match containers
// and between the library's 3x3 matrices and Eigen.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <vector>

#include "estimation/MatchSet2D.h"
#include "la/LinearAlgebra.h"
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
  s.R = RandomRotation(maxAngleRad);
  s.t = Eigen::Vector3d(Gaussian(), Gaussian(), Gaussian()).normalized();
  while (static_cast<int>(s.matches.size()) < n) {
    const double z = Uniform(2.0, 8.0);
    const Eigen::Vector3d X(Uniform(-1, 1) * z, Uniform(-1, 1) * z, z);
    const Eigen::Vector3d X2 = s.R * X + s.t;
    if (X2.z() < 0.5 || std::fabs(X2.x()) > X2.z() || std::fabs(X2.y()) > X2.z()) continue;
    s.matches.push_back({X.x() / X.z(), X.y() / X.z(), X2.x() / X2.z(), X2.y() / X2.z()});
  }
  return s;
}

// Gaussian noise of sigma on every coordinate; the first `outliers` matches
// become random pairs with x in [lo, hiX] and y in [lo, hiY].
inline void Corrupt(std::vector<Match>& m, double sigma, int outliers, double lo, double hiX,
                    double hiY) {
  for (Match& p : m) {
    p.x1 += sigma * Gaussian();
    p.y1 += sigma * Gaussian();
    p.x2 += sigma * Gaussian();
    p.y2 += sigma * Gaussian();
  }
  for (int i = 0; i < outliers; ++i)
    m[i] = {Uniform(lo, hiX), Uniform(lo, hiY), Uniform(lo, hiX), Uniform(lo, hiY)};
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

inline double SmallestToLargestSingularValue(const Eigen::Matrix3d& M) {
  const Eigen::Vector3d sv = Eigen::JacobiSVD<Eigen::Matrix3d>(M).singularValues();
  return sv(2) / sv(0);
}

// The 3x3 part of any of the library's 3x4 matrices, and back (the fourth
// column holds t, zero unless given).
inline Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& M) {
  Eigen::Matrix3d E;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) E(r, c) = M.m[r][c];
  return E;
}

inline Eigen::Vector3d TranslationOf(const LA::AlignedMatrix3f& M) {
  return Eigen::Vector3d(M.m[0][3], M.m[1][3], M.m[2][3]);
}

template <class M = LA::AlignedMatrix3f>
M FromEigen(const Eigen::Matrix3d& E, const Eigen::Vector3d& t = Eigen::Vector3d::Zero()) {
  M out;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) out.m[r][c] = static_cast<float>(E(r, c));
    out.m[r][3] = static_cast<float>(t(r));
  }
  return out;
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

// Packed containers filled from plain matches.
template <class Sample>  // FourMatches2D or the first four of FiveMatches2D
void FillFour(const std::vector<Match>& m, Sample& s) {
  for (int i = 0; i < 4; ++i) {
    s.x1[i] = static_cast<float>(m[i].x1);
    s.y1[i] = static_cast<float>(m[i].y1);
    s.x2[i] = static_cast<float>(m[i].x2);
    s.y2[i] = static_cast<float>(m[i].y2);
  }
}

inline void FillFive(const std::vector<Match>& m, FiveMatches2D& s) {
  FillFour(m, s);
  const float fifth[4] = {float(m[4].x1), float(m[4].y1), float(m[4].x2), float(m[4].y2)};
  for (int k = 0; k < 4; ++k) s.fifth[k] = fifth[k];
}

inline void FillEight(const std::vector<Match>& m, EightMatches2D& s) {
  for (int i = 0; i < 8; ++i) {
    s.px1[i] = static_cast<float>(m[i].x1);
    s.py1[i] = static_cast<float>(m[i].y1);
    s.px2[i] = static_cast<float>(m[i].x2);
    s.py2[i] = static_cast<float>(m[i].y2);
  }
}

inline void FillSet(const std::vector<Match>& m, MatchSet2D& set) {
  set.Resize(static_cast<u16>(m.size()));
  for (size_t i = 0; i < m.size(); ++i) {
    set.SetMatch(static_cast<u32>(i), static_cast<float>(m[i].x1), static_cast<float>(m[i].y1),
                 static_cast<float>(m[i].x2), static_cast<float>(m[i].y2));
  }
}

// Mean distance from the origin of each image's points, read from the packed
// blocks and from the tail copy: both must be normalised.
inline Eigen::Vector2d MeanDistances(const MatchSet2D& d) {
  Eigen::Vector2d sum(0.0, 0.0);
  float m[4];
  for (u32 i = 0; i < d.packedCount; ++i) {
    d.GetMatch(i, m);
    sum += Eigen::Vector2d(std::hypot(m[0], m[1]), std::hypot(m[2], m[3]));
  }
  for (u32 t = 0; t < d.tailCount; ++t)
    sum += Eigen::Vector2d(std::hypot(d.tail1[t].x, d.tail1[t].y),
                           std::hypot(d.tail2[t].x, d.tail2[t].y));
  return sum / d.Size();
}

}  // namespace twoview
