// The normal equations against the cost: for each term alone the right-hand
// side is minus half the numerical gradient of ComputeCost, and at a
// zero-residual state b(x + dx) = -H dx with H assembled densely from the
// solver's blocks.
#include <gtest/gtest.h>

#include "IBASolverScene.h"

using namespace ibatest;

namespace {

enum Term { kFeature, kDelta, kBias, kGravity, kPlane };

SceneOptions OnlyTerm(Term term) {
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

// Applies a step of size h to one parameter: camera group g entry k (the
// rotation through UpdateQuaternion) or point entry k.
void Nudge(IBAState& state, u32 camera, int g, int k, u32 point, bool isCamera, float h) {
  if (!isCamera) {
    state.points[point].v[k] += h;
    return;
  }
  CameraIMUState& c = state.cameras[camera];
  float* lanes[5] = {c.p, c.v, nullptr, c.ba, c.bg};
  if (g == 2) {
    float d[3] = {0, 0, 0}, q[4];
    d[k] = h;
    LA::UpdateQuaternion(d, c.q, q);
    std::memcpy(c.q, q, sizeof(q));
  } else {
    lanes[g][k] += h;
  }
  RefreshCamera(state, c);
}

// Checks b = -1/2 dF/dx for every variable parameter; returns the largest b.
double CheckGradient(IBASolver& solver, const Scene& s, const char* name) {
  const IBAProblem& problem = s.problem;
  const u32 nc = s.state.cameras.Size() - problem.fixedCameras;
  const u32 np = s.state.points.Size() - problem.fixedPoints;
  double largest = 0.0;
  std::vector<std::pair<double, double>> pairs;  // (b, -1/2 gradient)
  for (u32 i = 0; i < nc + np; ++i) {
    const bool isCamera = i < nc;
    for (int g = 0; g < (isCamera ? 5 : 1); ++g)
      for (int k = 0; k < 3; ++k) {
        const float h = (isCamera && g == 2) ? 1e-3f : 2e-3f;
        IBAState plus, minus;
        IBAState::Copy(plus, s.state);
        IBAState::Copy(minus, s.state);
        const u32 camera = problem.fixedCameras + i, point = problem.fixedPoints + (i - nc);
        Nudge(plus, camera, g, k, point, isCamera, h);
        Nudge(minus, camera, g, k, point, isCamera, -h);
        const double dF = (double(solver.ComputeCost(problem, plus, 0, nullptr)) -
                           double(solver.ComputeCost(problem, minus, 0, nullptr))) /
                          (2.0 * h);
        const double b = isCamera ? solver.cameraRHS[i].v[4 * g + k] : solver.pointRHS[i - nc].v[k];
        pairs.emplace_back(b, -0.5 * dF);
        largest = std::max(largest, std::fabs(b));
      }
  }
  EXPECT_GT(largest, 0.0) << name;
  for (size_t n = 0; n < pairs.size(); ++n) {
    EXPECT_NEAR(pairs[n].first, pairs[n].second, 0.01 * largest + 1e-4)
        << name << " parameter " << n;
  }
  return largest;
}

}  // namespace

TEST(IBASolverNormalEquation, EachTermsRightHandSideIsMinusHalfTheCostGradient) {
  const Term terms[5] = {kFeature, kDelta, kBias, kGravity, kPlane};
  const char* names[5] = {"Feature", "Delta", "Bias", "Gravity", "Plane"};
  for (int t = 0; t < 5; ++t) {
    Scene s;
    BuildScene(OnlyTerm(terms[t]), s);
    Perturb(s.problem, s.state, 0.02f, 0.01f, 0.05f, 0.02f, 11);
    IBASolver solver;
    solver.BuildStructure(s.problem, s.state);
    solver.ConstructNormalEquation(s.problem, s.state);
    CheckGradient(solver, s, names[t]);
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
  MatrixX H;
  VectorX b0;
  AssembleDense(solver, H, b0);
  EXPECT_LT(b0.lpNorm<Eigen::Infinity>(), 1e-2 * H.lpNorm<Eigen::Infinity>() * 1e-3);

  Random::Seed(5);
  VectorX dx(H.rows());
  const u32 nc = solver.cameraBlocks.Size();
  for (int i = 0; i < dx.size(); ++i) dx(i) = 1e-4 * Gaussian();
  for (u32 i = 0; i < nc; ++i)
    for (int g = 0; g < 5; ++g) {
      for (int k = 0; k < 3; ++k)
        solver.cameraStep[i].v[4 * g + k] = static_cast<float>(dx(15 * i + 3 * g + k));
      solver.cameraStep[i].v[4 * g + 3] = 0.0f;
    }
  for (u32 p = 0; p < solver.pointBlocks.Size(); ++p)
    for (int k = 0; k < 3; ++k)
      solver.pointStep[p].v[k] = static_cast<float>(dx(15 * nc + 3 * p + k));
  solver.UpdateState(s.problem, s.state);
  solver.ConstructNormalEquation(s.problem, s.state);
  MatrixX H1;
  VectorX b1;
  AssembleDense(solver, H1, b1);
  const VectorX expected = -H * dx;
  const double scale = expected.lpNorm<Eigen::Infinity>();
  ASSERT_GT(scale, 0.0);
  for (int i = 0; i < b1.size(); ++i)
    EXPECT_NEAR(b1(i), expected(i), 0.02 * scale) << "entry " << i;
}

TEST(IBASolverNormalEquation, FixedCamerasFeedPointsOnlyAndHpIsMinusHx) {
  SceneOptions o = OnlyTerm(kFeature);
  o.fixedCameras = 0;
  Scene s;
  BuildScene(o, s);
  Perturb(s.problem, s.state, 0.01f, 0.01f, 0.0f, 0.01f, 2);
  IBASolver all;
  all.BuildStructure(s.problem, s.state);
  all.ConstructNormalEquation(s.problem, s.state);
  // Every camera variable: the position rows of a point's camera-point blocks
  // add up to minus its point block.
  std::vector<LA::AlignedMatrix3f> sum(all.pointBlocks.Size());
  std::memset(sum.data(), 0, sizeof(LA::AlignedMatrix3f) * sum.size());
  for (u32 k = 0; k < all.cameraPointBlocks.Size(); ++k)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) sum[all.blockPoints[k]][r][c] += all.cameraPointBlocks[k].m[r][c];
  for (u32 p = 0; p < sum.size(); ++p)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(sum[p][r][c], -all.pointBlocks[p][r][c],
                    1e-4f * std::fabs(all.pointBlocks[p][r][r]));

  // Two cameras fixed: the point blocks still hold their measurements, the
  // remaining camera blocks are unchanged, and no block refers to them.
  s.problem.fixedCameras = 2;
  IBASolver part;
  part.BuildStructure(s.problem, s.state);
  part.ConstructNormalEquation(s.problem, s.state);
  ASSERT_EQ(part.cameraBlocks.Size(), o.cameras - 2);
  EXPECT_EQ(part.consecutiveBlocks.Size(), o.cameras - 3);
  EXPECT_EQ(
      part.cameraPointBlocks.Size(),
      all.cameraPointBlocks.Size() - std::count_if(all.blockCameras.begin(), all.blockCameras.end(),
                                                   [](u32 c) { return c < 2; }));
  for (u32 p = 0; p < part.pointBlocks.Size(); ++p)
    EXPECT_EQ(std::memcmp(&part.pointBlocks[p], &all.pointBlocks[p], sizeof(LA::AlignedMatrix3f)),
              0);
  for (u32 i = 0; i < part.cameraBlocks.Size(); ++i)
    EXPECT_EQ(
        std::memcmp(&part.cameraBlocks[i], &all.cameraBlocks[i + 2], sizeof(LA::CameraBlock15)), 0);
}

TEST(IBASolverNormalEquation, GaugeFixZeroesTheFirstVelocity) {
  SceneOptions o;
  o.fixedCameras = 0;
  Scene s;
  BuildScene(o, s);
  s.problem.gauge = 1;
  Perturb(s.problem, s.state, 0.01f, 0.01f, 0.05f, 0.01f, 3);
  IBASolver solver;
  solver.BuildStructure(s.problem, s.state);
  solver.ConstructNormalEquation(s.problem, s.state);
  MatrixX H;
  VectorX b;
  AssembleDense(solver, H, b);
  EXPECT_EQ(H.block(3, 0, 3, H.cols()).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_EQ(H.block(0, 3, H.rows(), 3).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_EQ(b.segment(3, 3).cwiseAbs().maxCoeff(), 0.0);
  EXPECT_GT(H(18, 18), 0.0);  // the second camera's velocity is untouched
}
