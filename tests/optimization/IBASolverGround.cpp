// Ground alignment: the ground plane becomes z = 0 with the ground camera at
// the requested horizontal position, residuals stay as they were, the
// degenerate axis choice gives no NaN, "none" indices leave the state alone,
// and a non-finite alignment is rolled back.
#include <gtest/gtest.h>

#include "IBASolverScene.h"

using namespace ibatest;

namespace {

SceneOptions GroundScene() {
  SceneOptions o;
  o.fixedCameras = 1;
  o.gravity = 0.0f;  // gravity is tied to the old world's up, the rest is not
  return o;
}

void PrepareGround(Scene& s, u32 camera) {
  s.problem.ground = 1;
  s.problem.groundCamera = camera;
  s.problem.groundPlane = 0;
  s.problem.groundPosition[0] = 0.5f;
  s.problem.groundPosition[1] = -0.2f;
}

void ExpectGroundPlane(const IBAState& state, u32 camera) {
  const float* P = state.planes[0].v;
  EXPECT_NEAR(P[0], 0.0f, 1e-5f);
  EXPECT_NEAR(P[1], 0.0f, 1e-5f);
  EXPECT_NEAR(P[2], 1.0f, 1e-5f);
  EXPECT_NEAR(P[3], 0.0f, 1e-5f);
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

}  // namespace

TEST(IBASolverGround, AlignmentMovesThePlaneToZEqualsZeroAndKeepsResiduals) {
  for (const float sign : {1.0f, -1.0f}) {  // a downward normal is flipped first
    Scene s;
    BuildScene(GroundScene(), s);
    Perturb(s.problem, s.state, 0.01f, 0.01f, 0.02f, 0.01f, 6);
    for (float& x : s.state.planes[0].v) x *= sign;
    PrepareGround(s, 3);
    IBASolver solver;
    const float feature = solver.ComputeFeatureCost(s.problem, s.state, 0, nullptr);
    const float delta = solver.ComputeDeltaCost(s.problem, s.state, 0, nullptr);
    const float plane = solver.ComputePlaneCost(s.problem, s.state, 0, nullptr);
    ASSERT_TRUE(solver.AlignToGroundPlane(s.problem, s.state));
    ExpectGroundPlane(s.state, 3);
    EXPECT_NEAR(solver.ComputeFeatureCost(s.problem, s.state, 0, nullptr), feature,
                1e-3f * feature);
    EXPECT_NEAR(solver.ComputeDeltaCost(s.problem, s.state, 0, nullptr), delta, 1e-3f * delta);
    EXPECT_NEAR(solver.ComputePlaneCost(s.problem, s.state, 0, nullptr), plane,
                1e-3f * plane + 1e-6f);
    // The fixed camera moved with the world; its quaternion stays in w >= 0.
    EXPECT_NE(std::memcmp(&s.state.cameras[0], &s.truth.cameras[0], sizeof(CameraIMUState)), 0);
    for (u32 i = 0; i < s.state.cameras.Size(); ++i) EXPECT_GE(s.state.cameras[i].q[3], 0.0f);
  }
}

TEST(IBASolverGround, BodyAxisAlongMinusNormalGivesNoNaN) {
  Scene s;
  BuildScene(GroundScene(), s);
  PrepareGround(s, 2);
  // Body x axis (row 0 of R) along -n = (0, -1, 0): the first choice's cross
  // product vanishes.
  LA::AlignedMatrix3f R = {{{0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}}};
  RotationToQuaternion(R, s.state.cameras[2].q);
  if (s.state.cameras[2].q[3] < 0)
    for (float& x : s.state.cameras[2].q) x = -x;
  RefreshCamera(s.state, s.state.cameras[2]);
  IBASolver solver;
  ASSERT_TRUE(solver.AlignToGroundPlane(s.problem, s.state));
  EXPECT_TRUE(StateFinite(s.state));
  ExpectGroundPlane(s.state, 2);
}

TEST(IBASolverGround, NoneIndicesLeaveTheRunAsWithoutAlignment) {
  Scene plain;
  BuildScene(GroundScene(), plain);
  Perturb(plain.problem, plain.state, 0.01f, 0.01f, 0.02f, 0.01f, 6);
  IBASolver solver;
  Scene s;
  BuildScene(GroundScene(), s);
  IBAState::Copy(s.state, plain.state);
  solver.Run(plain.problem, plain.state, 0, nullptr);
  for (const int which : {0, 1}) {
    IBAState state;
    IBAState::Copy(state, s.state);
    PrepareGround(s, 2);
    (which == 0 ? s.problem.groundCamera : s.problem.groundPlane) = 0xFFFFFFFFu;
    EXPECT_FALSE(solver.AlignToGroundPlane(s.problem, state));
    solver.Run(s.problem, state, 0, nullptr);
    EXPECT_EQ(std::memcmp(state.cameras.Data(), plain.state.cameras.Data(),
                          sizeof(CameraIMUState) * state.cameras.Size()),
              0);
    EXPECT_EQ(std::memcmp(state.points.Data(), plain.state.points.Data(), 16 * state.points.Size()),
              0);
  }
}

TEST(IBASolverGround, RunWithGroundFlagEndsOnTheGround) {
  Scene s;
  BuildScene(GroundScene(), s);
  Perturb(s.problem, s.state, 0.02f, 0.01f, 0.05f, 0.02f, 12);
  PrepareGround(s, 4);
  IBASolver solver;
  const IBAStopReason reason = solver.Run(s.problem, s.state, 0, nullptr);
  EXPECT_NE(reason, IBA_LM_INFINIT_SSE);
  ExpectGroundPlane(s.state, 4);
  EXPECT_TRUE(StateFinite(s.state));
}

TEST(IBASolverGround, NonFiniteAlignmentIsRolledBack) {
  SceneOptions o = GroundScene();
  o.planePoints = 0;
  Scene s;
  BuildScene(o, s);
  Perturb(s.problem, s.state, 0.02f, 0.01f, 0.05f, 0.02f, 12);
  // A fixed plane without points whose normal overflows when normalised.
  s.state.planes.Resize(1);
  s.state.planes[0] = LA::AlignedVector4f{{1e30f, 0.0f, 1e30f, 0.0f}};
  s.problem.planeWeights.Resize(1);
  s.problem.planeWeights[0] = LA::AlignedVector4f{{0, 0, 0, 0}};
  s.problem.planePoints.resize(1);
  s.problem.fixedPlanes = 1;
  PrepareGround(s, 2);
  IBAState before;
  IBAState::Copy(before, s.state);
  IBASolver solver;
  FILE* log = std::tmpfile();
  EXPECT_EQ(solver.Run(s.problem, s.state, 1, log), IBA_LM_INFINIT_SSE);
  std::fclose(log);
  EXPECT_TRUE(StateFinite(s.state));
  EXPECT_EQ(std::memcmp(before.cameras.Data(), s.state.cameras.Data(),
                        sizeof(CameraIMUState) * o.cameras),
            0);
  EXPECT_EQ(std::memcmp(before.planes.Data(), s.state.planes.Data(), 16), 0);
}
