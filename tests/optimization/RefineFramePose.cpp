// Rotation-only pose refinement: the normal equation against the cost, a run
// through rejected steps, a known rotation recovered, and bad input.
#include "optimization/RefineFramePose.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/Draws.h"

namespace {

using Pose = Eigen::Matrix<float, 3, 4, Eigen::RowMajor>;

// The start of every refinement: no rotation, some translation.
const CameraPose kStart{{{{1, 0, 0, -1}, {0, 1, 0, -0.5f}, {0, 0, 1, 0}}}};

// Correspondences of a pure rotation (the truth, with the start's
// translation) over a field of +-0.6 x +-0.45 (times `wide`), observed with
// Gaussian noise in normalised units, in `levels` groups weighing 1, 1/4, ...
struct Scene {
  AlignedArray<LA::AlignedVector4f> records;
  FramePoseProblem problem;
  CameraPose truth;

  Scene(const float* axis, float angle, u32 count, float noise, u32 levels, float wide = 1.0f) {
    truth = kStart;
    AxisAngleToRotation(truth, axis, angle);
    records.Resize(count);
    for (u32 i = 0; i < count; ++i) {
      const float m[3] = {0.6f * wide * Uniform(-1, 1), 0.45f * wide * Uniform(-1, 1), 1.0f};
      const Eigen::Vector3f y =
          Eigen::Map<const Pose>(truth.m[0]).leftCols<3>() * Eigen::Map<const Eigen::Vector3f>(m);
      records[i] = {
          {m[0], m[1], y[0] / y[2] + noise * Gaussian(), y[1] / y[2] + noise * Gaussian()}};
    }
    problem.scale = 500.0f * 500.0f;
    problem.weights.Resize(levels);
    for (u32 l = 0; l < levels; ++l) {
      problem.groupStarts.push_back(count * l / levels);
      for (float& w : problem.weights[l].v) w = std::ldexp(1.0f, -2 * static_cast<int>(l));
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

// Largest difference of two poses (the translation is never touched).
float Gap(const CameraPose& a, const CameraPose& b) {
  return (Eigen::Map<const Pose>(a.m[0]) - Eigen::Map<const Pose>(b.m[0]))
      .lpNorm<Eigen::Infinity>();
}

const float kAxis[3] = {0.48f, -0.6f, 0.64f};

// b = -1/2 d cost / d theta on every level away from the truth; at the truth
// of exact correspondences b moves by -A dtheta.
TEST(RefineFramePose, NormalEquationIsTheCostsGaussNewtonSystem) {
  Random::Seed(5);
  for (float noise : {0.01f, 0.0f}) {
    Scene scene(kAxis, 0.1f, 60, noise, 4);
    const float start[3] = {0.02f, -0.03f, 0.01f};
    const CameraPose at = noise > 0 ? Rotated(scene.truth, start) : scene.truth;
    LA::AlignedMatrix3f A, unused;
    LA::AlignedVector3f b, moved;
    ConstructFramePoseNormalEquation(scene.problem, at, A, b);
    for (int k = 0; k < 3; ++k) {
      float d[3] = {0, 0, 0}, h = noise > 0 ? 1e-3f : 1e-4f;
      d[k] = h;
      if (noise > 0) {
        const float plus = ComputeFramePoseCost(scene.problem, Rotated(at, d));
        d[k] = -h;
        const float minus = ComputeFramePoseCost(scene.problem, Rotated(at, d));
        EXPECT_NEAR(b.v[k], -0.25f * (plus - minus) / h, 2e-3f * std::fabs(b.v[k]) + 1e-3f);
        continue;
      }
      ConstructFramePoseNormalEquation(scene.problem, Rotated(at, d), unused, moved);
      for (int r = 0; r < 3; ++r)
        EXPECT_NEAR(moved.v[r] - b.v[r], -A.m[r][k] * h, 2e-3f * A.m[k][k] * h) << r << k;
    }
  }
}

// A large rotation with wide correspondences (one pixel of noise) makes the
// first Gauss-Newton steps overshoot. After r rejections the damping is
// lambda0 2^(r(r+1)/2), and the accepted step equals a fresh run's first
// step at that damping only if the rejected solves left the system intact.
// The full run still finds the rotation, with a good fit.
TEST(RefineFramePose, RunThroughRejectedSteps) {
  Random::Seed(1);
  Scene scene(kAxis, 0.8f, 30, 1.0f / 500.0f, 1, 1.6f);
  FramePoseRefinement solver;
  u32 rejections = 0;
  CameraPose moved = kStart;
  for (; rejections < 8; ++rejections) {
    solver.parameters.maxIterations = rejections + 1;
    moved = kStart;
    RefineFramePose(solver, scene.problem, moved);
    if (std::memcmp(&moved, &kStart, sizeof moved) != 0) break;
  }
  ASSERT_GT(rejections, 0u);
  ASSERT_LT(rejections, 8u);
  FramePoseRefinement fresh;
  fresh.parameters.maxIterations = 1;
  fresh.parameters.initialDamping *= std::ldexp(1.0f, rejections * (rejections + 1) / 2);
  CameraPose direct = kStart, pose = kStart;
  RefineFramePose(fresh, scene.problem, direct);
  EXPECT_EQ(std::memcmp(&moved, &direct, sizeof moved), 0);
  FramePoseRefinement full;
  EXPECT_FALSE(RefineFramePose(full, scene.problem, pose));
  EXPECT_LT(Gap(pose, scene.truth), 3e-3f);
}

// Input with nothing to fit or malformed groups leaves the pose as it was;
// an empty group between two levels is valid and, run to the end rather
// than to a thousandth of a radian, finds the rotation with the translation
// column kept; noise of ten pixels is a poor fit.
TEST(RefineFramePose, DegenerateInput) {
  const struct {
    const char* what;
    float angle, noise;
    u32 count;
    std::vector<u32> starts;
    u32 weights;
    bool changes, poor;
  } cases[] = {{"exact at the start", 0.0f, 0.0f, 10, {0, 10}, 1, false, false},
               {"no correspondences", 0.1f, 0.0f, 0, {0, 0}, 1, false, false},
               {"no groups", 0.1f, 0.0f, 10, {}, 0, false, false},
               {"a group past the end", 0.1f, 0.0f, 10, {0, 11}, 1, false, false},
               {"groups falling", 0.1f, 0.0f, 10, {0, 6, 4, 10}, 3, false, false},
               {"two groups, one weight", 0.1f, 0.0f, 10, {0, 5, 10}, 1, false, false},
               {"an empty level", 0.1f, 0.0f, 10, {0, 5, 5, 10}, 3, true, false},
               {"ten pixels of noise", 0.1f, 0.02f, 10, {0, 10}, 1, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Random::Seed(5);
    Scene scene(kAxis, c.angle, c.count, c.noise, 3);
    scene.problem.groupStarts = c.starts;
    scene.problem.weights.Resize(c.weights);
    FramePoseRefinement solver;
    solver.parameters.minStep = 1e-14f;
    CameraPose pose = kStart;
    EXPECT_EQ(c.poor, RefineFramePose(solver, scene.problem, pose));
    EXPECT_EQ(c.changes, std::memcmp(&pose, &kStart, sizeof pose) != 0);
    EXPECT_TRUE(!c.changes || c.poor || Gap(pose, scene.truth) < 2e-6f) << Gap(pose, scene.truth);
  }
}

}  // namespace
