// The compact 6x6 pose normal-equation kernels against a dense reference.
#include "estimation/ProjectionNormalEquation.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include "la/Random.h"

namespace {

float Uniform() {
  return Random::Next() / float(Random::kMax) * 2.0f - 1.0f;
}

void Pack(const Eigen::Matrix<float, 2, 6>& J, float* out) {
  for (int k = 0; k < 4; ++k) out[k] = J(0, k), out[8 + k] = J(1, k);
  out[4] = J(0, 4), out[5] = J(0, 5), out[6] = J(1, 4), out[7] = J(1, 5);
}

}  // namespace

TEST(ProjectionNormalEquation, AccumulateScaleAndMirrorMatchDenseProducts) {
  Random::Seed(2);
  LA::AlignedCompactMatrix6f A{};
  Eigen::Matrix<float, 6, 6> ref = Eigen::Matrix<float, 6, 6>::Zero();
  for (int match = 0; match < 9; ++match) {
    Eigen::Matrix<float, 2, 6> J;
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 6; ++c) J(r, c) = Uniform();
    alignas(16) float packed[12];
    Pack(J, packed);
    AccumulateProjectionNormalEquation(packed, A);
    ref += J.transpose() * J;
  }
  CopyUpperToLower(A);
  for (int r = 0; r < 6; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_NEAR(A(r, c), ref(r, c), 1e-5f) << r << "," << c;

  LA::AlignedVector6f s;
  for (int k = 0; k < 6; ++k) s.v[k] = 0.5f + k;
  s.v[6] = s.v[4], s.v[7] = s.v[5];
  ScaleNormalEquation(s, A);
  for (int r = 0; r < 6; ++r)
    for (int c = 0; c < 6; ++c)
      EXPECT_NEAR(A(r, c), ref(r, c) * s.v[r] * s.v[c], 1e-4f) << r << "," << c;
}
