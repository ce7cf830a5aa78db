// The closest proper rotation: reflections are mended by flipping the weakest
// direction (not by negating a row), which is the Procrustes optimum; the
// similarity and EPnP tests cover the proper-rotation cases.
#include "estimation/ClosestRotation.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>

#include "la/Random.h"

namespace {

float Uniform() {
  return Random::Next() / float(Random::kMax) * 2.0f - 1.0f;
}

Eigen::Matrix3f RandomRotation() {
  Eigen::Vector3f axis(Uniform(), Uniform(), Uniform());
  return Eigen::AngleAxisf(3.0f * Uniform(), axis.normalized()).toRotationMatrix();
}

LA::AlignedMatrix3f ToLA(const Eigen::Matrix3f& M) {
  LA::AlignedMatrix3f out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out.m[r][c] = M(r, c);
  return out;
}

Eigen::Matrix3f FromLA(const LA::AlignedMatrix3f& M) {
  Eigen::Matrix3f out;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out(r, c) = M.m[r][c];
  return out;
}

}  // namespace

TEST(ClosestRotation, ReflectionBecomesTheBestProperRotation) {
  Random::Seed(6);
  for (int trial = 0; trial < 200; ++trial) {
    // H = P S Q^T with det(P Q^T) = -1.
    Eigen::Matrix3f P = RandomRotation(), Q = RandomRotation();
    P.col(0) = -P.col(0);
    const Eigen::Vector3f S(3.0f, 2.0f, 0.5f);
    const Eigen::Matrix3f H = P * S.asDiagonal() * Q.transpose();
    LA::AlignedMatrix3f out{};
    ASSERT_TRUE(ComputeClosestRotation(ToLA(H), out));
    const Eigen::Matrix3f R = FromLA(out);
    // The optimum: flip the direction of the smallest singular value.
    Eigen::Matrix3f Pf = P;
    Pf.col(2) = -Pf.col(2);
    EXPECT_LT((R - Pf * Q.transpose()).norm(), 1e-4f);
  }
}

TEST(ClosestRotation, NonFiniteInputFailsAndLeavesTheOutput) {
  LA::AlignedMatrix3f H = ToLA(Eigen::Matrix3f::Identity());
  H.m[1][2] = NAN;
  LA::AlignedMatrix3f out = ToLA(2.0f * Eigen::Matrix3f::Identity());
  EXPECT_FALSE(ComputeClosestRotation(H, out));
  EXPECT_EQ(out.m[0][0], 2.0f);
}
