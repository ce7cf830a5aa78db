// Rotation-only pose refinement: recovery of a known rotation from noisy
// correspondences, the re-damping after rejected steps and bad input.
#include "optimization/RefineFramePose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/InertialScene.h"

namespace {

CameraPose Identity(float tx, float ty, float tz) {
  CameraPose pose;
  const float t[3] = {tx, ty, tz};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose.m[r][c] = r == c ? 1.0f : 0.0f;
    pose.m[r][3] = t[r];
  }
  return pose;
}

// Angle of R1 R2^T in degrees.
double AngleBetween(const CameraPose& a, const CameraPose& b) {
  double trace = 0;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) trace += static_cast<double>(a.m[r][c]) * b.m[r][c];
  return std::acos(std::min(1.0, std::max(-1.0, (trace - 1) / 2))) * 57.29577951308232;
}

// Correspondences of a pure rotation, observed with Gaussian noise (in
// normalised units), one group per level of `levels`.
struct Scene {
  AlignedArray<LA::AlignedVector4f> records;
  FramePoseProblem problem;

  Scene(const CameraPose& truth, u32 count, float noise, u32 levels = 1) {
    records.Resize(count);
    for (u32 i = 0; i < count; ++i) {
      const float m[3] = {0.6f * Uniform(-1, 1), 0.45f * Uniform(-1, 1), 1.0f};
      float y[3];
      for (int k = 0; k < 3; ++k)
        y[k] = truth.m[k][0] * m[0] + truth.m[k][1] * m[1] + truth.m[k][2] * m[2];
      records[i].v[0] = m[0];
      records[i].v[1] = m[1];
      records[i].v[2] = y[0] / y[2] + noise * Gaussian();
      records[i].v[3] = y[1] / y[2] + noise * Gaussian();
    }
    problem.scale = 500.0f * 500.0f;
    problem.groupStarts.clear();
    problem.weights.Resize(levels);
    float w = 1.0f;
    for (u32 l = 0; l < levels; ++l, w *= 0.25f) {
      problem.groupStarts.push_back(count * l / levels);
      for (int k = 0; k < 4; ++k) problem.weights[l].v[k] = w;
    }
    problem.groupStarts.push_back(count);
    problem.correspondences = records.Data();
    problem.count = count;
  }
};

// The pose rotated by theta as the refinement steps it (translation kept).
CameraPose Rotated(const CameraPose& pose, const float* theta) {
  float q[4], updated[4];
  CameraPose out = pose;
  RotationToQuaternion(pose, q);
  LA::UpdateQuaternion(theta, q, updated);
  LA::QuaternionToRotationMatrix(updated, out);
  return out;
}

// b = -1/2 d cost / d theta on every level, and at the truth of exact
// correspondences b moves by -A dtheta.
TEST(RefineFramePose, NormalEquationIsTheCostsGaussNewtonSystem) {
  Random::Seed(5);
  const float axis[3] = {0.6f, 0.0f, -0.8f}, start[3] = {0.02f, -0.03f, 0.01f};
  CameraPose truth;
  AxisAngleToRotation(truth, axis, 0.1f);
  for (float noise : {0.01f, 0.0f}) {
    Scene scene(truth, 60, noise, 4);
    const CameraPose at = noise > 0 ? Rotated(truth, start) : truth;
    LA::AlignedMatrix3f A;
    LA::AlignedVector3f b;
    ConstructFramePoseNormalEquation(scene.problem, at, A, b);
    for (int k = 0; k < 3; ++k) {
      float d[3] = {0, 0, 0};
      if (noise > 0) {
        d[k] = 1e-3f;
        const float plus = ComputeFramePoseCost(scene.problem, Rotated(at, d));
        d[k] = -1e-3f;
        const float minus = ComputeFramePoseCost(scene.problem, Rotated(at, d));
        EXPECT_NEAR(b.v[k], -0.25f * (plus - minus) / 1e-3f, 2e-3f * std::fabs(b.v[k]) + 1e-3f);
        continue;
      }
      d[k] = 1e-4f;
      LA::AlignedVector3f moved;
      LA::AlignedMatrix3f unused;
      ConstructFramePoseNormalEquation(scene.problem, Rotated(at, d), unused, moved);
      for (int r = 0; r < 3; ++r)
        EXPECT_NEAR(moved.v[r] - b.v[r], -A.m[r][k] * 1e-4f, 2e-3f * A.m[k][k] * 1e-4f) << r << k;
    }
  }
}

TEST(RefineFramePose, RecoversTwoDegreesFromNoisyCorrespondences) {
  Random::Seed(11);
  const float axis[3] = {0.48f, -0.6f, 0.64f};
  CameraPose truth;
  AxisAngleToRotation(truth, axis, 2.0f * 0.017453292f);
  // One pixel of noise at a focal length of 500, spread over four levels.
  Scene scene(truth, 100, 1.0f / 500.0f, 4);
  CameraPose pose = Identity(0.5f, -1.25f, 3.0f);
  FramePoseRefinement solver;
  const bool poor = RefineFramePose(solver, scene.problem, pose);
  EXPECT_LT(AngleBetween(pose, truth), 0.05);
  EXPECT_EQ(pose.m[0][3], 0.5f);
  EXPECT_EQ(pose.m[1][3], -1.25f);
  EXPECT_EQ(pose.m[2][3], 3.0f);
  // About one squared pixel per correspondence: well below the bound of 100.
  EXPECT_FALSE(poor);
}

// A large rotation with wide correspondences makes the first Gauss-Newton
// steps overshoot. After r rejections the damping is lambda0 2^(r(r+1)/2);
// the accepted step must equal a fresh run's first step at that damping,
// which holds only if the rejected solves left the system intact.
TEST(RefineFramePose, StepAfterRejectionsMatchesFreshSolve) {
  u32 cases = 0;
  for (u32 seed = 1; seed < 40 && cases < 3; ++seed) {
    Random::Seed(seed);
    float axis[3] = {Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1)};
    const float n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    for (float& a : axis) a /= n;
    CameraPose truth;
    AxisAngleToRotation(truth, axis, 1.0f + 0.2f * Uniform(-1, 1));
    Scene scene(truth, 30, 0.05f);
    for (u32 i = 0; i < 30; ++i) {
      scene.records[i].v[0] *= 1.6f;
      scene.records[i].v[1] *= 2.2f;
    }
    const CameraPose start = Identity(1, 2, 3);
    FramePoseRefinement solver;
    u32 rejections = 0;
    CameraPose moved = start;
    for (u32 iterations = 1; iterations < 8; ++iterations) {
      solver.parameters.maxIterations = iterations;
      moved = start;
      RefineFramePose(solver, scene.problem, moved);
      if (std::memcmp(&moved, &start, sizeof moved) != 0) break;
      ++rejections;
    }
    if (rejections == 0 || rejections == 7) continue;
    FramePoseRefinement fresh;
    fresh.parameters.maxIterations = 1;
    fresh.parameters.initialDamping =
        solver.parameters.initialDamping * std::ldexp(1.0f, rejections * (rejections + 1) / 2);
    CameraPose direct = start;
    RefineFramePose(fresh, scene.problem, direct);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_EQ(moved.m[r][c], direct.m[r][c]) << "seed " << seed;
    ++cases;
  }
  EXPECT_EQ(cases, 3u);
}

TEST(RefineFramePose, ExactOrEmptyOrMalformedInputKeepsThePose) {
  Random::Seed(5);
  const CameraPose start = Identity(0, 0, 0);
  Scene exact(start, 10, 0.0f);
  FramePoseRefinement solver;
  CameraPose pose = start;
  // Zero residuals: zero step, stop on the step size, and a good fit.
  EXPECT_FALSE(RefineFramePose(solver, exact.problem, pose));
  EXPECT_EQ(std::memcmp(&pose, &start, sizeof pose), 0);

  FramePoseProblem empty;
  empty.groupStarts = {0};
  EXPECT_FALSE(RefineFramePose(solver, empty, pose));
  EXPECT_EQ(std::memcmp(&pose, &start, sizeof pose), 0);

  Scene bad(start, 10, 0.1f);
  bad.problem.groupStarts = {0, 11};  // past the last correspondence
  EXPECT_FALSE(RefineFramePose(solver, bad.problem, pose));
  bad.problem.groupStarts = {0, 5, 10};  // two groups, one weight lane
  EXPECT_FALSE(RefineFramePose(solver, bad.problem, pose));
  EXPECT_EQ(std::memcmp(&pose, &start, sizeof pose), 0);
}

}  // namespace
