// Helpers the benchmarks share: seeded samplers on the project generator,
// the error measures their rows report, the pinhole camera of the image
// benchmarks, and the quaternion algebra of the Ceres cost functions.
#pragma once

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "common/Draws.h"

namespace bench {

constexpr double kFocal = 500.0, kCx = 320.0, kCy = 240.0;

inline const cv::Mat& CvK() {
  static const cv::Mat k = (cv::Mat_<double>(3, 3) << kFocal, 0, kCx, 0, kFocal, kCy, 0, 0, 1);
  return k;
}

inline double RotationErrorDeg(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  const double chord = (a - b).norm() / (2.0 * std::sqrt(2.0));
  return 2.0 * std::asin(std::min(1.0, chord)) * 180.0 / M_PI;
}
inline double DirectionErrorDeg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const double c = std::max(-1.0, std::min(1.0, a.normalized().dot(b.normalized())));
  return std::acos(c) * 180.0 / M_PI;
}
// Share of the true inliers (indices from `outliers` to `total`) in the list.
template <class List>
double Recall(const List& inliers, int outliers, int total) {
  int found = 0;
  for (const auto i : inliers) found += static_cast<int>(i) >= outliers ? 1 : 0;
  return double(found) / double(total - outliers);
}
inline std::vector<int> MaskToList(const cv::Mat& mask) {
  std::vector<int> list;
  for (int i = 0; i < mask.rows; ++i)
    if (mask.at<uchar>(i)) list.push_back(i);
  return list;
}

// Top-left 3x3 of a model with rows m[r], or of rows 3 block.. of a double cv::Mat.
template <class M>
Eigen::Matrix3d ToEigen(const M& m) {
  Eigen::Matrix3d E;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) E(r, c) = m.m[r][c];
  return E;
}
inline Eigen::Matrix3d ToEigen(const cv::Mat& m, int block = 0) {
  Eigen::Matrix3d E;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) E(r, c) = m.at<double>(3 * block + r, c);
  return E;
}

// R(q) v with the system's convention (the transpose of Hamilton's matrix), q = (x, y, z, w).
template <class T>
void RotateR(const T* q, const T* v, T* out) {
  const T x = q[0], y = q[1], z = q[2], w = q[3], two(2.0), one(1.0);
  out[0] = (one - two * (y * y + z * z)) * v[0] + two * (x * y + z * w) * v[1] +
           two * (x * z - y * w) * v[2];
  out[1] = two * (x * y - z * w) * v[0] + (one - two * (x * x + z * z)) * v[1] +
           two * (y * z + x * w) * v[2];
  out[2] = two * (x * z + y * w) * v[0] + two * (y * z - x * w) * v[1] +
           (one - two * (x * x + y * y)) * v[2];
}
template <class T>
void Hamilton(const T* a, const T* b, T* out) {  // out = a (x) b
  out[0] = a[3] * b[0] + b[3] * a[0] + (a[1] * b[2] - a[2] * b[1]);
  out[1] = a[3] * b[1] + b[3] * a[1] + (a[2] * b[0] - a[0] * b[2]);
  out[2] = a[3] * b[2] + b[3] * a[2] + (a[0] * b[1] - a[1] * b[0]);
  out[3] = a[3] * b[3] - (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}
// Feature term, camera = extrinsic (qe, pe) after body: Xc = R(qe) R(q) (X - p) + pe.
struct FeatureResidual {
  double x, y, sw;
  const float* extrinsic;  // qe (4), then pe (3)
  template <class T>
  bool operator()(const T* p, const T* q, const T* X, T* r) const {
    const T d[3] = {X[0] - p[0], X[1] - p[1], X[2] - p[2]};
    const T qe[4] = {T(extrinsic[0]), T(extrinsic[1]), T(extrinsic[2]), T(extrinsic[3])};
    T b[3], c[3];
    RotateR(q, d, b);
    RotateR(qe, b, c);
    for (int k = 0; k < 3; ++k) c[k] += T(extrinsic[4 + k]);
    r[0] = T(sw) * (T(x) - c[0] / c[2]);
    r[1] = T(sw) * (T(y) - c[1] / c[2]);
    return true;
  }
};
// Gravity direction term: third row of R(q) against d, weighted by sw.
struct GravityResidual {
  double d[3], sw;
  template <class T>
  bool operator()(const T* q, T* r) const {
    const T x = q[0], y = q[1], z = q[2], w = q[3];
    const T c[3] = {T(2.0) * (x * z - y * w), T(2.0) * (y * z + x * w),
                    T(1.0) - T(2.0) * (x * x + y * y)};
    for (int k = 0; k < 3; ++k) r[k] = T(sw) * (c[k] - T(d[k]));
    return true;
  }
};
// Bias prior term, weighted by sa and sg.
struct BiasResidual {
  double sa, sg, pa[3], pg[3];
  BiasResidual(double a, double g, const float* priorA, const float* priorG) : sa(a), sg(g) {
    for (int k = 0; k < 3; ++k) pa[k] = priorA[k], pg[k] = priorG[k];
  }
  template <class T>
  bool operator()(const T* ba, const T* bg, T* r) const {
    for (int k = 0; k < 3; ++k) {
      r[k] = T(sa) * (ba[k] - T(pa[k]));
      r[3 + k] = T(sg) * (bg[k] - T(pg[k]));
    }
    return true;
  }
};

// The inertial delta term shared by the window and bundle solvers: position,
// velocity and rotation against the preintegrated delta with its bias
// Jacobians J (dp/dba, dp/dbg, dv/dba, dv/dbg, dr/dbg), weighted by sw.
struct DeltaTerms {
  double dp[3], dv[3], dq[4], ba[3], bg[3], dt, J[5][3][3], sw[3];
  // row(j, k): row k of Jacobian j.
  template <class Row>
  void Set(const float* p, const float* v, const float* q, const float* a, const float* g, double t,
           Row row, double wp, double wv, double wr) {
    for (int k = 0; k < 3; ++k) {
      dp[k] = p[k], dv[k] = v[k], ba[k] = a[k], bg[k] = g[k];
      for (int j = 0; j < 5; ++j)
        for (int c = 0; c < 3; ++c) J[j][k][c] = row(j, k)[c];
    }
    for (int k = 0; k < 4; ++k) dq[k] = q[k];
    dt = t, sw[0] = std::sqrt(wp), sw[1] = std::sqrt(wv), sw[2] = std::sqrt(wr);
  }
  template <class T>
  void Core(const T* pi, const T* vi, const T* qi, const T* bai, const T* bgi, const T* pj,
            const T* vj, const T* qj, T* r) const {
    T dba[3], dbg[3], d[3], u[3], g[3], h[3];
    for (int k = 0; k < 3; ++k) {
      dba[k] = bai[k] - T(ba[k]), dbg[k] = bgi[k] - T(bg[k]);
      d[k] = pj[k] - pi[k] - T(dt) * vi[k];
      u[k] = vj[k] - vi[k];
    }
    RotateR(qi, d, g);
    RotateR(qi, u, h);
    const T ci[4] = {-qi[0], -qi[1], -qi[2], qi[3]},
            cb[4] = {T(-dq[0]), T(-dq[1]), T(-dq[2]), T(dq[3])};
    T a[4], E[4];
    Hamilton(ci, qj, a);
    Hamilton(cb, a, E);
    const T s = E[3] > T(0) ? T(2) : T(-2);
    for (int k = 0; k < 3; ++k) {
      T ep = g[k] - T(dp[k]), ev = h[k] - T(dv[k]), er = s * E[k];
      for (int c = 0; c < 3; ++c) {
        ep -= T(J[0][k][c]) * dba[c] + T(J[1][k][c]) * dbg[c];
        ev -= T(J[2][k][c]) * dba[c] + T(J[3][k][c]) * dbg[c];
        er -= T(J[4][k][c]) * dbg[c];
      }
      r[k] = T(sw[0]) * ep;
      r[3 + k] = T(sw[1]) * ev;
      r[6 + k] = T(sw[2]) * er;
    }
  }
};

}  // namespace bench
