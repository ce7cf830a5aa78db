#pragma once
// The error of an estimated trajectory against the truth after the
// similarity (rotation, translation, scale) that fits one to the other best
// in the least-squares sense (Horn's quaternion method): a monocular map is
// right only up to such a transformation.
#include <array>
#include <cmath>
#include <vector>

#include "la/Lapack.h"

using Centre = std::array<double, 3>;

// Root mean square distance between the aligned estimate and the truth, or
// -1 when fewer than three pairs are given.
inline double AlignedTrajectoryRms(const std::vector<Centre>& estimate,
                                   const std::vector<Centre>& truth) {
  const size_t n = estimate.size();
  if (n < 3 || truth.size() != n) return -1.0;
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
  // Horn's symmetric matrix; its top eigenvector is the rotation (w, x, y, z).
  float N[16] = {float(S[0][0] + S[1][1] + S[2][2]),
                 float(S[1][2] - S[2][1]),
                 float(S[2][0] - S[0][2]),
                 float(S[0][1] - S[1][0]),
                 float(S[1][2] - S[2][1]),
                 float(S[0][0] - S[1][1] - S[2][2]),
                 float(S[0][1] + S[1][0]),
                 float(S[2][0] + S[0][2]),
                 float(S[2][0] - S[0][2]),
                 float(S[0][1] + S[1][0]),
                 float(-S[0][0] + S[1][1] - S[2][2]),
                 float(S[1][2] + S[2][1]),
                 float(S[0][1] - S[1][0]),
                 float(S[2][0] + S[0][2]),
                 float(S[1][2] + S[2][1]),
                 float(-S[0][0] - S[1][1] + S[2][2])};
  float w[4], work[64];
  if (Lapack::Syev('V', 'U', 4, N, 4, w, work, 64) != 0) return -1.0;
  const double q0 = N[12], qx = N[13], qy = N[14], qz = N[15];  // largest eigenvalue last
  const double R[3][3] = {
      {q0 * q0 + qx * qx - qy * qy - qz * qz, 2 * (qx * qy - q0 * qz), 2 * (qx * qz + q0 * qy)},
      {2 * (qy * qx + q0 * qz), q0 * q0 - qx * qx + qy * qy - qz * qz, 2 * (qy * qz - q0 * qx)},
      {2 * (qz * qx - q0 * qy), 2 * (qz * qy + q0 * qx), q0 * q0 - qx * qx - qy * qy + qz * qz}};
  const double s = sa > 0.0 ? std::sqrt(sb / sa) : 0.0;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    for (int r = 0; r < 3; ++r) {
      double v = mb[r] - truth[i][r];
      for (int c = 0; c < 3; ++c) v += s * R[r][c] * (estimate[i][c] - ma[c]);
      sum += v * v;
    }
  }
  return std::sqrt(sum / n);
}
