// The normal equations against the cost: for each term alone the right-hand
// side is minus half the numerical gradient of ComputeCost, at a
// zero-residual state b(x + dx) = -H dx with H assembled densely from the
// solver's blocks. Also a camera after a state update, converted back to the
// map's double record.
#include <gtest/gtest.h>

#include "common/IBAScene.h"

using namespace ibatest;

namespace {

enum Term { kFeature, kDelta, kBias, kGravity, kPlane };

SceneOptions OnlyTerm(int term) {
  SceneOptions o;
  o.cameras = 5;
  o.points = 60;
  o.planePoints = 12;
  o.fixedCameras = 1;
  o.fixedPoints = 4;
  o.feature = term == kFeature ? 1.0f : 0.0f;
  if (term != kDelta) o.wp = o.wv = o.wr = o.wsa = o.wsg = 0.0f;
  o.biasPrior = term == kBias ? 1.0f : 0.0f;
  o.gravity = term == kGravity ? 1.0f : 0.0f;
  o.plane = term == kPlane ? 1.0f : 0.0f;
  return o;
}

// Moves parameter n of the dense order (cameras 15 each, then points 3
// each; rotations through UpdateQuaternion) by h.
void Nudge(const IBAProblem& problem, IBAState& state, u32 n, float h) {
  const u32 nc = state.cameras.Size() - problem.fixedCameras;
  if (n >= 15 * nc) {
    state.points[problem.fixedPoints + (n - 15 * nc) / 3].v[(n - 15 * nc) % 3] += h;
    return;
  }
  CameraIMUState& c = state.cameras[problem.fixedCameras + n / 15];
  float* lanes[5] = {c.p, c.v, nullptr, c.ba, c.bg};
  const int g = n % 15 / 3, k = n % 3;
  if (g == 2) {
    float d[3] = {0, 0, 0}, q[4];
    d[k] = h;
    LA::UpdateQuaternion(d, c.q, q);
    std::memcpy(c.q, q, sizeof(q));
  } else {
    lanes[g][k] += h;
  }
  RefreshCaches(state.extrinsic, c);
}

}  // namespace

TEST(IBASolverNormalEquation, EachTermsRightHandSideIsMinusHalfTheCostGradient) {
  const char* names[5] = {"Feature", "Delta", "Bias", "Gravity", "Plane"};
  for (int t = kFeature; t <= kPlane; ++t) {
    Scene s;
    BuildScene(OnlyTerm(t), s);
    Perturb(s.problem, s.state, 0.02f, 0.01f, 0.05f, 0.02f, 11);
    IBASolver solver;
    solver.BuildStructure(s.problem, s.state);
    solver.ConstructNormalEquation(s.problem, s.state);
    MatrixX H;
    VectorX b;
    AssembleDense(solver, H, b);
    VectorX gradient(b.size());
    for (int n = 0; n < b.size(); ++n) {
      const float h = n < 15 * int(solver.cameraBlocks.Size()) && n % 15 / 3 == 2 ? 1e-3f : 2e-3f;
      IBAState plus, minus;
      IBAState::Copy(plus, s.state);
      IBAState::Copy(minus, s.state);
      Nudge(s.problem, plus, n, h);
      Nudge(s.problem, minus, n, -h);
      gradient(n) = (double(solver.ComputeCost(s.problem, plus, 0, nullptr)) -
                     double(solver.ComputeCost(s.problem, minus, 0, nullptr))) /
                    (2.0 * h);
    }
    const double largest = b.lpNorm<Eigen::Infinity>();
    EXPECT_GT(largest, 0.0) << names[t];
    for (int n = 0; n < b.size(); ++n)
      EXPECT_NEAR(b(n), -0.5 * gradient(n), 0.01 * largest + 1e-4)
          << names[t] << " parameter " << n;
  }
}

TEST(IBASolverNormalEquation, AtZeroResidualTheRightHandSideMovesByMinusHTimesTheStep) {
  SceneOptions o;
  o.cameras = 6;
  o.points = 80;
  o.fixedCameras = 2;
  o.fixedPoints = 5;
  o.biasPrior = 0.0f;  // the true biases are off the prior
  Scene s;
  BuildScene(o, s);
  s.problem.fixedPlanes = 1;  // keep the plane where it is
  IBASolver solver;
  solver.BuildStructure(s.problem, s.state);
  solver.ConstructNormalEquation(s.problem, s.state);
  MatrixX H, H1;
  VectorX b0, b1;
  AssembleDense(solver, H, b0);
  EXPECT_LT(b0.lpNorm<Eigen::Infinity>(), 1e-2 * H.lpNorm<Eigen::Infinity>() * 1e-3);

  Random::Seed(5);
  VectorX dx(H.rows());
  for (int i = 0; i < dx.size(); ++i) dx(i) = static_cast<float>(1e-4 * Gaussian());
  SetStep(solver, dx);
  solver.UpdateState(s.problem, s.state);
  solver.ConstructNormalEquation(s.problem, s.state);
  AssembleDense(solver, H1, b1);
  const VectorX expected = -H * dx;
  const double scale = expected.lpNorm<Eigen::Infinity>();
  ASSERT_GT(scale, 0.0);
  for (int i = 0; i < b1.size(); ++i)
    EXPECT_NEAR(b1(i), expected(i), 0.02 * scale) << "entry " << i;
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
  solver.BuildStructure(s.problem, s.state);
  VectorX dx = VectorX::Zero(15 + 3 * solver.pointStep.Size());
  // p, v, rotation 0.2 about z, ba, bg
  dx.head<15>() << 1, 2, 3, 0.5, -0.25, 0.125, 0, 0, 0.2, 0.01, 0.02, 0.03, -1e-3, 2e-3, -3e-3;
  SetStep(solver, dx);
  solver.UpdateState(s.problem, s.state);
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
