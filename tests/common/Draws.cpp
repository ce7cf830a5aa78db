#include "common/Draws.h"

#include <cmath>

double UniformD(double lo, double hi) {
  return lo + (hi - lo) * (Random::Next() / static_cast<double>(Random::kMax));
}

double GaussianD() {
  const double u1 = (Random::Next() + 1.0) / (Random::kMax + 2.0);
  const double u2 = (Random::Next() + 1.0) / (Random::kMax + 2.0);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

Eigen::Matrix3d RandomRotationD(double maxAngle) {
  const Eigen::Vector3d axis = Eigen::Vector3d(GaussianD(), GaussianD(), GaussianD()).normalized();
  return Eigen::AngleAxisd(UniformD(0.0, maxAngle), axis).toRotationMatrix();
}

Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& M) {
  Eigen::Matrix3d E;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) E(r, c) = M.m[r][c];
  return E;
}

Eigen::Vector3d TranslationOf(const LA::AlignedMatrix3f& M) {
  return Eigen::Vector3d(M.m[0][3], M.m[1][3], M.m[2][3]);
}
