// Ground alignment: the ground plane becomes z = 0 with the ground camera at
// the requested horizontal position, residuals stay as they were, the
// degenerate axis choice gives no NaN, "none" indices leave the run as
// without alignment, and a non-finite alignment is rolled back.
#include <gtest/gtest.h>

#include "common/IBAScene.h"

using namespace ibatest;

namespace {

// Gravity is tied to the old world's up, the other terms are not.
void BuildGroundScene(Scene& s, u32 camera, u32 planePoints = 20) {
  SceneOptions o;
  o.fixedCameras = 1;
  o.gravity = 0.0f;
  o.planePoints = planePoints;
  BuildScene(o, s);
  s.problem.ground = 1;
  s.problem.groundCamera = camera;
  s.problem.groundPlane = 0;
  s.problem.groundPosition[0] = 0.5f;
  s.problem.groundPosition[1] = -0.2f;
}

void ExpectGroundPlane(const IBAState& state, u32 camera) {
  const float plane[4] = {0.0f, 0.0f, 1.0f, 0.0f};
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(state.planes[0].v[k], plane[k], 1e-5f);
  EXPECT_NEAR(state.cameras[camera].p[0], 0.5f, 1e-5f);
  EXPECT_NEAR(state.cameras[camera].p[1], -0.2f, 1e-5f);
}

bool StateFinite(const IBAState& s) {
  const float* c = reinterpret_cast<const float*>(s.cameras.Data());
  for (u32 i = 0; i < 56 * s.cameras.Size(); ++i)
    if (!std::isfinite(c[i])) return false;
  for (u32 k = 0; k < s.points.Size(); ++k)
    for (int r = 0; r < 4; ++r)
      if (!std::isfinite(s.points[k].v[r])) return false;
  return true;
}

bool Same(const IBAState& a, const IBAState& b) {
  return SameBytes(a.cameras, b.cameras) && SameBytes(a.points, b.points) &&
         SameBytes(a.planes, b.planes);
}

}  // namespace

// Case 1: a downward normal is flipped first. Case 2: the ground camera's
// body x axis (row 0 of R) lies along -n = (0, -1, 0), so that the first
// choice's cross product vanishes.
TEST(IBASolverGround, AlignmentMovesThePlaneToZEqualsZeroAndKeepsResiduals) {
  for (int which = 0; which < 3; ++which) {
    Scene s;
    BuildGroundScene(s, 2);
    Perturb(s.problem, s.state, 0.01f, 0.01f, 0.02f, 0.01f, 6);
    if (which == 1)
      for (float& x : s.state.planes[0].v) x = -x;
    if (which == 2) {
      RotationToQuaternion(LA::AlignedMatrix3f{{{0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}}},
                           s.state.cameras[2].q);
      if (s.state.cameras[2].q[3] < 0)
        for (float& x : s.state.cameras[2].q) x = -x;
      RefreshCaches(s.state.extrinsic, s.state.cameras[2]);
    }
    IBASolver solver;
    const float before[3] = {solver.ComputeFeatureCost(s.problem, s.state, 0, nullptr),
                             solver.ComputeDeltaCost(s.problem, s.state, 0, nullptr),
                             solver.ComputePlaneCost(s.problem, s.state, 0, nullptr)};
    ASSERT_TRUE(solver.AlignToGroundPlane(s.problem, s.state)) << which;
    EXPECT_TRUE(StateFinite(s.state)) << which;
    ExpectGroundPlane(s.state, 2);
    const float after[3] = {solver.ComputeFeatureCost(s.problem, s.state, 0, nullptr),
                            solver.ComputeDeltaCost(s.problem, s.state, 0, nullptr),
                            solver.ComputePlaneCost(s.problem, s.state, 0, nullptr)};
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(after[k], before[k], 1e-3f * before[k] + 1e-6f) << which << " term " << k;
    // The fixed camera moved with the world; quaternions stay in w >= 0.
    EXPECT_NE(std::memcmp(&s.state.cameras[0], &s.truth.cameras[0], sizeof(CameraIMUState)), 0);
    for (u32 i = 0; i < s.state.cameras.Size(); ++i) EXPECT_GE(s.state.cameras[i].q[3], 0.0f);
  }
}

TEST(IBASolverGround, NoneIndicesLeaveTheRunAsWithoutAlignment) {
  Scene plain;
  BuildGroundScene(plain, 2);
  plain.problem.ground = 0;
  Perturb(plain.problem, plain.state, 0.01f, 0.01f, 0.02f, 0.01f, 6);
  IBAState start;
  IBAState::Copy(start, plain.state);
  IBASolver solver;
  solver.Run(plain.problem, plain.state, 0, nullptr);
  for (const int which : {0, 1}) {
    Scene s;
    BuildGroundScene(s, 2);
    IBAState::Copy(s.state, start);
    (which == 0 ? s.problem.groundCamera : s.problem.groundPlane) = 0xFFFFFFFFu;
    EXPECT_FALSE(solver.AlignToGroundPlane(s.problem, s.state));
    solver.Run(s.problem, s.state, 0, nullptr);
    EXPECT_TRUE(Same(s.state, plain.state)) << which;
  }
}

TEST(IBASolverGround, NonFiniteAlignmentIsRolledBack) {
  Scene s;
  BuildGroundScene(s, 2, 0);
  Perturb(s.problem, s.state, 0.02f, 0.01f, 0.05f, 0.02f, 12);
  // A fixed plane without points whose normal overflows when normalised.
  s.state.planes.Resize(1);
  s.state.planes[0] = LA::AlignedVector4f{{1e30f, 0.0f, 1e30f, 0.0f}};
  s.problem.planeWeights.Resize(1);
  s.problem.planeWeights[0] = LA::AlignedVector4f{{0, 0, 0, 0}};
  s.problem.planePoints.resize(1);
  s.problem.fixedPlanes = 1;
  IBAState before;
  IBAState::Copy(before, s.state);
  IBASolver solver;
  FILE* log = std::tmpfile();
  EXPECT_EQ(solver.Run(s.problem, s.state, 1, log), IBA_LM_INFINIT_SSE);
  std::fclose(log);
  EXPECT_TRUE(StateFinite(s.state));
  EXPECT_TRUE(Same(before, s.state));
}
