// The normal equations against the cost: for each term alone the right-hand
// side is minus half the numerical gradient of ComputeCost, at a
// zero-residual state b(x + dx) = -H dx with H assembled densely from the
// solver's blocks. Also a camera after a state update, converted back to the
// map's double record.
// Also the alignment to the ground plane.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/IBAScene.h"
#include "common/SolverHarness.h"

using namespace ibatest;

namespace {

// Every term alone: the feature levels 0-3, the five delta weights, the two
// bias priors, gravity and the plane.
struct Term {
  const char* name;
  int level = -1, delta = -1, bias = -1;
  bool gravity = false, plane = false;
};

SceneOptions OnlyTerm(const Term& t) {
  SceneOptions o;
  o.cameras = 5;
  o.points = 60;
  o.planePoints = 12;
  o.fixedCameras = 1;
  o.fixedPoints = 4;
  o.feature = t.level >= 0 ? 1.0f : 0.0f;
  float* w[5] = {&o.wp, &o.wv, &o.wr, &o.wsa, &o.wsg};
  for (int k = 0; k < 5; ++k)
    if (k != t.delta) *w[k] = 0.0f;
  o.biasPrior = t.bias >= 0 ? 1.0f : 0.0f;
  o.gravity = t.gravity ? 1.0f : 0.0f;
  o.plane = t.plane ? 1.0f : 0.0f;
  return o;
}

std::vector<Term> AllTerms() {
  std::vector<Term> terms;
  const char* levels[4] = {"level 0", "level 1", "level 2", "level 3"};
  const char* deltas[5] = {"wp", "wv", "wr", "wsa", "wsg"};
  for (int l = 0; l < 4; ++l) terms.push_back({levels[l], l});
  for (int k = 0; k < 5; ++k) terms.push_back({deltas[k], -1, k});
  terms.push_back({"accelerometer bias prior", -1, -1, 0});
  terms.push_back({"gyroscope bias prior", -1, -1, 1});
  terms.push_back({"gravity", -1, -1, -1, true});
  terms.push_back({"plane", -1, -1, -1, false, true});
  return terms;
}

// Zeroes the feature levels and the bias prior the term does not name.
void Isolate(const Term& t, IBAProblem& P) {
  for (u32 l = 0; l < 4 && t.level >= 0; ++l)
    if (l != u32(t.level)) std::fill_n(P.features.levelWeights[l].v, 4, 0.0f);
  if (t.bias >= 0) P.biasWeights[1 - t.bias] = 0.0f;
}

}  // namespace

TEST(IBASolverNormalEquation, EveryTermAloneIsMinusHalfTheCostGradient) {
  for (const Term& t : AllTerms()) {
    Scene s;
    BuildScene(OnlyTerm(t), s);
    IBAProblem& P = s.problem;
    Isolate(t, P);
    Perturb(P, s.state, 0.02f, 0.1f, 0.05f, 0.02f, 11);
    IBASolver solver;
    IBASolverTestAccess stages(solver);
    stages.BuildStructure(P, s.state);
    stages.ConstructNormalEquation(P, s.state);
    MatrixX H;
    VectorX b;
    AssembleDense(solver, H, b);
    const int nc = 15 * int(stages.cameraBlocks.Size());
    ExpectMinusHalfCostSlope(
        b,
        [&](int n, float h) {
          IBAState moved;
          IBAState::Copy(moved, s.state);
          if (n < nc)
            NudgeCamera(moved.extrinsic, moved.cameras[P.fixedCameras + n / 15], n % 15, h);
          else
            moved.points[P.fixedPoints + (n - nc) / 3].v[(n - nc) % 3] += 2 * h;
          return double(solver.ComputeCost(P, moved, 0, nullptr)) * (n < nc ? 1.0 : 0.5);
        },
        [](int) { return false; }, t.name, 1e-3);
  }
}

// At a state where every residual vanishes, b(x + dx) = -H dx for each term
// alone (the plane held, since a step re-fits it).
TEST(IBASolverNormalEquation, AtZeroResidualTheRightHandSideMovesByMinusHTimesTheStep) {
  for (const Term& t : AllTerms()) {
    SceneOptions o = OnlyTerm(t);
    o.fixedCameras = 2;
    Scene s;
    BuildScene(o, s);
    Isolate(t, s.problem);
    s.problem.fixedPlanes = 1;
    // Velocities against the motion, so that the position-rotation coupling
    // of the deltas weighs something.
    for (u32 i = 0; i < o.cameras; ++i) {
      for (int k = 0; k < 3; ++k) s.state.cameras[i].v[k] *= -2.0f;
      if (i > 0)
        TrueDelta(s.state.cameras[i - 1], s.state.cameras[i], 0.1f, o, s.problem.deltas[i - 1]);
    }
    IBASolver solver;
    IBASolverTestAccess stages(solver);
    stages.BuildStructure(s.problem, s.state);
    stages.ConstructNormalEquation(s.problem, s.state);
    MatrixX H, H1;
    VectorX b0, b1;
    AssembleDense(solver, H, b0);
    Random::Seed(5);
    VectorX dx(H.rows());
    for (int i = 0; i < dx.size(); ++i) dx(i) = static_cast<float>(1e-4 * Gaussian());
    SetStep(solver, dx);
    stages.UpdateState(s.problem, s.state);
    stages.ConstructNormalEquation(s.problem, s.state);
    AssembleDense(solver, H1, b1);
    const VectorX expected = -H * dx, got = b1 - b0;
    const double scale = expected.lpNorm<Eigen::Infinity>();
    ASSERT_GT(scale, 0.0) << t.name;
    for (int i = 0; i < b1.size(); ++i)
      EXPECT_NEAR(got(i), expected(i), 2e-3 * scale) << t.name << ", entry " << i;
  }
}

// A camera stepped from the origin by the state update reaches the map's
// record as known values, whatever the unused fourth floats hold, and its
// pose cache goes over unchanged.
TEST(IBASolverNormalEquation, UpdatedCameraConvertsToTheMapRecord) {
  SceneOptions o;
  o.cameras = 2;
  o.fixedCameras = 1;
  Scene s;
  BuildScene(o, s);
  CameraIMUState& c = s.state.cameras[1];
  std::memset(&c, 0, sizeof(c));
  c.q[3] = 1.0f;
  RefreshCaches(s.state.extrinsic, c);
  IBASolver solver;
  IBASolverTestAccess stages(solver);
  stages.BuildStructure(s.problem, s.state);
  VectorX dx = VectorX::Zero(15 + 3 * stages.pointStep.Size());
  // p, v, rotation 0.2 about z, ba, bg
  dx.head<15>() << 1, 2, 3, 0.5, -0.25, 0.125, 0, 0, 0.2, 0.01, 0.02, 0.03, -1e-3, 2e-3, -3e-3;
  SetStep(solver, dx);
  stages.UpdateState(s.problem, s.state);
  c.p[3] = c.v[3] = c.ba[3] = c.bg[3] = NAN;

  f64 out[16];
  CameraPose pose;
  ConvertCameraIMUState(c, out, pose);
  const double n = std::sqrt(1.01);  // q = (0, 0, 0.1, 1) / n
  const double want[16] = {1,       2,     3,    0.5,  -0.25, 0.125, 0,    0,
                           0.1 / n, 1 / n, 0.01, 0.02, 0.03,  -1e-3, 2e-3, -3e-3};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(out[i], want[i], 1e-6) << i;
  EXPECT_EQ(std::memcmp(&pose, &c.pose, sizeof(pose)), 0);
}

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
    IBASolverTestAccess stages(solver);
    const float before[3] = {solver.ComputeFeatureCost(s.problem, s.state, 0, nullptr),
                             stages.ComputeDeltaCost(s.problem, s.state, 0, nullptr),
                             stages.ComputePlaneCost(s.problem, s.state, 0, nullptr)};
    ASSERT_TRUE(stages.AlignToGroundPlane(s.problem, s.state)) << which;
    EXPECT_TRUE(StateFinite(s.state)) << which;
    ExpectGroundPlane(s.state, 2);
    const float after[3] = {solver.ComputeFeatureCost(s.problem, s.state, 0, nullptr),
                            stages.ComputeDeltaCost(s.problem, s.state, 0, nullptr),
                            stages.ComputePlaneCost(s.problem, s.state, 0, nullptr)};
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
  IBASolverTestAccess stages(solver);
  solver.Run(plain.problem, plain.state, 0, nullptr);
  for (const int which : {0, 1}) {
    Scene s;
    BuildGroundScene(s, 2);
    IBAState::Copy(s.state, start);
    (which == 0 ? s.problem.groundCamera : s.problem.groundPlane) = 0xFFFFFFFFu;
    EXPECT_FALSE(stages.AlignToGroundPlane(s.problem, s.state));
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
