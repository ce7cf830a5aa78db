#include "common/TrajectoryAlignment.h"

#include <Eigen/Eigenvalues>
#include <cmath>

SimilarityFit FitSimilarity(const std::vector<Centre>& estimate, const std::vector<Centre>& truth) {
  SimilarityFit fit;
  const size_t n = estimate.size();
  if (n < 3 || truth.size() != n) return fit;
  Centre ma{0, 0, 0}, mb{0, 0, 0};
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) {
      ma[k] += estimate[i][k] / n;
      mb[k] += truth[i][k] / n;
    }
  }
  double S[3][3] = {}, sa = 0.0, sb = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double a[3], b[3];
    for (int k = 0; k < 3; ++k) {
      a[k] = estimate[i][k] - ma[k];
      b[k] = truth[i][k] - mb[k];
      sa += a[k] * a[k];
      sb += b[k] * b[k];
    }
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) S[r][c] += a[r] * b[c];
    }
  }
  // No spread, rounding apart: every point where the others are.
  const auto spread = [n](double s2, const Centre& m) {
    return s2 > 0.0 && std::isfinite(s2) &&
           std::sqrt(s2 / n) > 1e-12 * (1.0 + std::fabs(m[0]) + std::fabs(m[1]) + std::fabs(m[2]));
  };
  if (!spread(sa, ma) || !spread(sb, mb)) return fit;
  // Horn's symmetric matrix; its top eigenvector is the rotation (w, x, y, z).
  Eigen::Matrix4d N;
  N << S[0][0] + S[1][1] + S[2][2], S[1][2] - S[2][1], S[2][0] - S[0][2], S[0][1] - S[1][0],
      S[1][2] - S[2][1], S[0][0] - S[1][1] - S[2][2], S[0][1] + S[1][0], S[2][0] + S[0][2],
      S[2][0] - S[0][2], S[0][1] + S[1][0], -S[0][0] + S[1][1] - S[2][2], S[1][2] + S[2][1],
      S[0][1] - S[1][0], S[2][0] + S[0][2], S[1][2] + S[2][1], -S[0][0] - S[1][1] + S[2][2];
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix4d> solver(N);
  if (solver.info() != Eigen::Success) return fit;
  const Eigen::Vector4d q = solver.eigenvectors().col(3);  // largest eigenvalue last
  const double q0 = q[0], qx = q[1], qy = q[2], qz = q[3];
  const double R[3][3] = {
      {q0 * q0 + qx * qx - qy * qy - qz * qz, 2 * (qx * qy - q0 * qz), 2 * (qx * qz + q0 * qy)},
      {2 * (qy * qx + q0 * qz), q0 * q0 - qx * qx + qy * qy - qz * qz, 2 * (qy * qz - q0 * qx)},
      {2 * (qz * qx - q0 * qy), 2 * (qz * qy + q0 * qx), q0 * q0 - qx * qx - qy * qy + qz * qz}};
  fit.scale = std::sqrt(sb / sa);
  for (int r = 0; r < 3; ++r) {
    fit.t[r] = mb[r];
    for (int c = 0; c < 3; ++c) {
      fit.R[r][c] = R[r][c];
      fit.t[r] -= fit.scale * R[r][c] * ma[c];
    }
  }
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    for (int r = 0; r < 3; ++r) {
      double v = fit.t[r] - truth[i][r];
      for (int c = 0; c < 3; ++c) v += fit.scale * R[r][c] * estimate[i][c];
      sum += v * v;
    }
  }
  fit.rms = std::sqrt(sum / n);
  fit.ok = std::isfinite(fit.rms);
  return fit;
}

double AlignedTrajectoryRms(const std::vector<Centre>& estimate, const std::vector<Centre>& truth) {
  const SimilarityFit fit = FitSimilarity(estimate, truth);
  if (fit.ok) return fit.rms;
  // A collapsed estimate: all at one point, the truth's spread is the error.
  if (estimate.size() >= 3 && truth.size() == estimate.size()) {
    Centre mb{0, 0, 0};
    for (const Centre& c : truth)
      for (int k = 0; k < 3; ++k) mb[k] += c[k] / truth.size();
    double sum = 0.0;
    for (const Centre& c : truth)
      for (int k = 0; k < 3; ++k) sum += (c[k] - mb[k]) * (c[k] - mb[k]);
    return std::sqrt(sum / truth.size());
  }
  return -1.0;
}
