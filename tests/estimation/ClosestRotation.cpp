// The closest proper rotation: reflections are mended by flipping the weakest
// direction (not by negating a row), which is the Procrustes optimum; the
// similarity and EPnP tests cover the proper-rotation cases.
#include "estimation/ClosestRotation.h"

#include <gtest/gtest.h>

#include "common/ProjectiveScene.h"

using namespace scene;

TEST(ClosestRotation, ReflectionBecomesTheBestProperRotationAndNaNFails) {
  Random::Seed(6);
  LA::AlignedMatrix3f out{};
  for (int trial = 0; trial < 200; ++trial) {
    // H = P S Q^T with det(P Q^T) = -1.
    Eigen::Matrix3d P = RandomRotationD(3.0), Q = RandomRotationD(3.0);
    P.col(0) = -P.col(0);
    const Eigen::Matrix3d H = P * Eigen::Vector3d(3.0, 2.0, 0.5).asDiagonal() * Q.transpose();
    ASSERT_TRUE(ComputeClosestRotation(FromEigen(H), out));
    // The optimum: also flip the direction of the smallest singular value.
    P.col(2) = -P.col(2);
    EXPECT_LT((ToEigen(out) - P * Q.transpose()).norm(), 1e-4);
  }
  // Non-finite input fails and leaves the output.
  LA::AlignedMatrix3f H = out;
  H.m[1][2] = NAN;
  out.m[0][0] = 2.0f;
  EXPECT_TRUE(!ComputeClosestRotation(H, out) && out.m[0][0] == 2.0f);
}
