// The bundle adjustment solver: the Levenberg-Marquardt loop end to end, its
// degenerate runs, bad input, stop codes and ground alignment; each term's
// normal equation against its cost, and the damped step against dense answers.
// Scene options below read: cameras, points, plane points, fixed cameras,
// fixed points, noise in pixels, biases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>

#include "common/IBAScene.h"
#include "common/SolverHarness.h"

using namespace ibatest;

// The six-camera scene with one camera fixed, half a pixel of noise, moved.
static void Start(Scene& s) {
  BuildScene(SceneOptions{6, 120, 24, 1, 0, 0.5f}, s);
  Perturb(s.problem, s.state, 0.01f, 0.006f, 0.02f, 0.02f, 17);
}

// Fourteen cameras sharing their points (the Schur complement fills in
// between cameras several apart) with every term on, noise-free, the true
// biases on the prior: the truth is the optimum, and Run returns to it.
TEST(IBASolverRun, PerturbedSceneReturnsToTheTruth) {
  SceneOptions o{14, 420, 60, 1, 20, 0.0f, false};
  Scene s;
  BuildScene(o, s);
  Perturb(s.problem, s.state, 0.05f, 0.035f, 0.1f, 0.1f, 21);
  IBAState start;
  IBAState::Copy(start, s.state);
  FILE* log = std::tmpfile();
  IBASolver solver;
  solver.minRelativeReduction = 1e-6f;
  solver.Run(s.problem, s.state, 1, log);  // the stop line and the state checked below
  const std::vector<std::string> lines = LogLines(log);
  EXPECT_GT(RMSPixels(s.problem, start), 20.0);
  EXPECT_LT(RMSPixels(s.problem, s.state), 0.02);
  for (u32 i = 0; i < o.cameras; ++i) {  // positions, velocities and biases, not q
    const f32 *x = reinterpret_cast<const f32*>(&s.state.cameras[i]),
              *y = reinterpret_cast<const f32*>(&s.truth.cameras[i]);
    for (int k = 0; k < 20; ++k) EXPECT_NEAR(x[k], y[k], k / 4 == 2 ? 2.0 : 2e-3) << i << " " << k;
  }
  EXPECT_NEAR(s.state.planes[0].v[2], 1.0f, 1e-4f);
  EXPECT_NEAR(s.state.planes[0].v[3], 0.0f, 1e-3f);
  // Fixed cameras and points are bit-unchanged.
  EXPECT_EQ(std::memcmp(&s.state.cameras[0], &start.cameras[0], sizeof(CameraIMUState)), 0);
  EXPECT_EQ(std::memcmp(s.state.points.Data(), start.points.Data(), 16 * o.fixedPoints), 0);
  // A camera's map record: p, v, q, ba, bg as doubles, whatever the unused
  // fourth floats hold, and its pose cache.
  CameraIMUState c = s.state.cameras[5];
  c.p[3] = c.v[3] = c.ba[3] = c.bg[3] = NAN;
  f64 out[16];
  CameraPose pose;
  ConvertCameraIMUState(c, out, pose);
  const int lanes[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], reinterpret_cast<const f32*>(&c)[lanes[i]]) << i;
  EXPECT_EQ(std::memcmp(&pose, &c.pose, sizeof(pose)), 0);

  // Header, start cost, one line per iteration, stop line.
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], std::string(64, '-'));
  EXPECT_EQ(lines[1], "#Camera = 1 + 13, #Point = 20 + 400, #Plane = 0 + 1");
  EXPECT_EQ(lines[2], "   #LM   ||e||^2  ||e||^2_rel  ||JTe||_oo  ||dx||^2  damping   #PCG");
  EXPECT_NEAR(lines.size(), 5 + solver.iterations, 1);  // a small last step prints none
  EXPECT_EQ(lines.back().rfind("Stop by IBA_LM_", 0), 0u) << lines.back();

  // Verbose 2 at the start: each term's weighted cost, with the root mean
  // square of the (level-scaled) errors for the features and the plane.
  const IBAProblem& p = s.problem;
  log = std::tmpfile();
  const float total = solver.ComputeCost(p, start, 2, log);
  const std::vector<std::string> terms = LogLines(log);
  ASSERT_EQ(terms.size(), 11u);
  float term, rms;
  ASSERT_EQ(std::sscanf(terms[0].c_str(), "  Feature %e <-- %e", &term, &rms), 2) << terms[0];
  EXPECT_NEAR(term, solver.ComputeFeatureCost(p, start, 0, nullptr), 1e-6 * term);
  const u32 n = p.features.measurements.Size();
  EXPECT_NEAR(rms, std::sqrt(p.features.imageScale * term / n), 1e-4 * rms);
  ASSERT_EQ(std::sscanf(terms[9].c_str(), "  Plane   %e <-- %e", &term, &rms), 2) << terms[9];
  EXPECT_NEAR(rms, std::sqrt(term / p.planeWeights[0].v[0] / p.planePoints[0].size()), 1e-4 * rms);
  ASSERT_EQ(std::sscanf(terms[10].c_str(), "  Total   %e", &term), 1) << terms[10];
  EXPECT_NEAR(term, total, 1e-6 * total);  // printed to seven digits
}

// Points only: the loop runs on an empty camera system. One key frame: no
// delta. Nothing observed: rejections without end.
TEST(IBASolverRun, NoVariableCameraAndEndlessRejections) {
  Scene s;
  BuildScene(SceneOptions(), s);
  s.problem.fixedCameras = s.state.cameras.Size();
  IBASolver solver;
  Perturb(s.problem, s.state, 0.0f, 0.0f, 0.0f, 0.05f, 8);
  solver.Run(s.problem, s.state, 0, nullptr);
  EXPECT_LT(RMSPixels(s.problem, s.state), 0.05);
  EXPECT_TRUE(SameBytes(s.truth.cameras, s.state.cameras));
  // The delta between two fixed key frames costs nothing, however far apart.
  s.problem.fixedCameras = 2;
  const float deltaCost = IBASolverTestAccess(solver).ComputeDeltaCost(s.problem, s.state);
  s.state.cameras[0].v[0] += 1.0f;
  EXPECT_EQ(IBASolverTestAccess(solver).ComputeDeltaCost(s.problem, s.state), deltaCost);
  s.problem.fixedCameras = s.state.cameras.Size();

  Scene one;
  BuildScene(SceneOptions{1, 60}, one);
  Perturb(one.problem, one.state, 0.02f, 0.01f, 0.0f, 0.0f, 5);
  EXPECT_EQ(IBASolverTestAccess(solver).ComputeDeltaCost(one.problem, one.state), 0.0f);
  solver.Run(one.problem, one.state, 0, nullptr);
  EXPECT_LT(RMSPixels(one.problem, one.state), 0.05);
  // Its feature groups running past the measurements: refused, untouched.
  one.problem.features.index.back() = one.problem.features.measurements.Size() + 1;
  IBAState kept;
  IBAState::Copy(kept, one.state);
  testing::internal::CaptureStderr();
  EXPECT_EQ(solver.Run(one.problem, one.state, 0, nullptr), IBA_LM_NORMAL_EQUATION_FAIL);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "IBASolver::Run: feature groups past the measurements; state left unchanged\n");
  EXPECT_TRUE(SameBytes(kept.cameras, one.state.cameras) &&
              SameBytes(kept.points, one.state.points));

  // No measurements and no plane term: the cost is exactly 0 and every step
  // (of zero length) is a rejection. lambda grows by nu = 2, 4, 8, ... and
  // leaves the float range at the 17th rejection, long before nu would; the
  // run stops there instead of damping with an infinity.
  s.problem.features.measurements.Resize(0);
  std::fill(s.problem.features.index.begin(), s.problem.features.index.end(), 0u);
  std::fill_n(s.problem.planeWeights[0].v, 4, 0.0f);
  IBAState::Copy(s.truth, s.state);  // the points to keep
  solver.minStep = 0.0f;
  solver.maxIterations = 200;
  FILE* log = std::tmpfile();
  EXPECT_EQ(solver.Run(s.problem, s.state, 1, log), IBA_LM_LARGE_DAMPING);
  const std::vector<std::string> steps = LogLines(log);
  EXPECT_EQ(std::count_if(steps.begin(), steps.end(),
                          [](const std::string& l) { return l.rfind("--> ", 0) == 0; }),
            17);
  EXPECT_TRUE(SameBytes(s.state.points, s.truth.points));
  EXPECT_EQ(steps.back(), "Stop by IBA_LM_LARGE_DAMPING");
}

// A non-finite measurement (the PCG fails), a measurement of a missing point,
// or a ground plane whose normal overflows when normalised (the alignment
// after the first step is rolled back) fail with the state untouched, as does
// a run with everything fixed. Then each bound: every step too small (state
// untouched), too small a reduction (the first accepted step kept), gradient.
TEST(IBASolverRun, BadInputAndEachBoundStopWithTheirCodes) {
  const IBAStopReason codes[7] = {IBA_LM_NORMAL_EQUATION_FAIL,
                                  IBA_LM_NORMAL_EQUATION_FAIL,
                                  IBA_LM_INFINIT_SSE,
                                  IBA_LM_ENOUGH_ITERATIONS,
                                  IBA_LM_SMALL_DELTA,
                                  IBA_LM_SMALL_RELATIVE_REDUCTION,
                                  IBA_LM_SMALL_JTE};
  for (int which = 0; which < 7; ++which) {
    Scene s;
    Start(s);
    IBAProblem& p = s.problem;
    if (which == 0) p.features.measurements[p.features.index[4]].x = INFINITY;
    if (which == 1) p.features.measurements[0].point = 100000;  // the first is checked too
    if (which == 2) {
      p.ground = 1, p.groundCamera = 2, p.fixedPlanes = 1;
      p.planePoints[0].clear();
      std::fill(p.pointPlanes.begin(), p.pointPlanes.end(), kNone16);
      s.state.planes[0] = LA::AlignedVector4f{{1e30f, 0.0f, 1e30f, 0.0f}};
    }
    if (which == 3) p.fixedCameras = s.state.cameras.Size(), p.fixedPoints = s.state.points.Size();
    IBAState before;
    IBAState::Copy(before, s.state);
    IBASolver solver;
    if (which == 4) solver.minStep = 1e10f;
    if (which == 5) solver.minRelativeReduction = 2.0f;
    if (which == 6) solver.minGradient = 1e30f;
    testing::internal::CaptureStderr();
    EXPECT_EQ(solver.Run(p, s.state, 0, nullptr), codes[which]) << which;
    const char* expected =
        "IBASolver::Run: a measurement names a point that does not exist; state left unchanged\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), which == 1 ? expected : "");
    EXPECT_EQ(SameBytes(before.cameras, s.state.cameras), which < 5) << which;
    EXPECT_TRUE(which < 5 ? SameBytes(before.points, s.state.points)
                          : solver.ComputeCost(p, s.state, 0, nullptr) <
                                solver.ComputeCost(p, before, 0, nullptr))
        << which;
  }
}

// The plane set by hand: 0 tilted, 1 flipped (downward normal), 2 along the
// ground camera's body x axis (cross product zero). It becomes z = 0, the
// ground camera lands on its position keeping its heading (body y, further
// from the normal, stays in the y-z plane), residuals are kept. 3: no ground
// camera, nothing moves.
TEST(IBASolverRun, GroundAlignmentMovesThePlaneToZEqualsZeroAndKeepsResiduals) {
  for (int which = 0; which < 4; ++which) {
    Scene s;
    Start(s);
    IBAProblem& p = s.problem;
    for (IBAGravity& g : p.gravity) std::fill_n(g.weight, 4, 0.0f);  // tied to the old up
    p.ground = 1, p.groundCamera = 2, p.groundPlane = 0;
    p.groundPosition[0] = 0.5f, p.groundPosition[1] = -0.2f;
    CameraIMUState& c = s.state.cameras[2];
    using V = Eigen::Map<const Eigen::Vector3f>;
    Eigen::Vector3f n = 0.6f * V(c.R[0]) + 0.5f * V(c.R[1]) + 0.9f * V(c.R[2]);
    if (which == 2) {
      RotationToQuaternion(LA::AlignedMatrix3f{{{0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}}}, c.q);
      RefreshCaches(s.state.extrinsic, c);
      n = Eigen::Vector3f(0.0f, 1.0f, 0.0f);
    }
    n.normalize();
    const float sign = which == 1 ? -1.0f : 1.0f;
    s.state.planes[0] = LA::AlignedVector4f{{sign * n[0], sign * n[1], sign * n[2], -0.3f * sign}};
    if (which == 3) p.groundCamera = kNone32;
    IBAState before;
    IBAState::Copy(before, s.state);
    IBASolver solver;
    const float start = solver.ComputeCost(p, s.state, 0, nullptr);
    EXPECT_EQ(IBASolverTestAccess(solver).AlignToGroundPlane(p, s.state), which != 3);
    // The fixed camera moves with the world too.
    EXPECT_EQ(SameBytes(before.cameras, s.state.cameras), which == 3);
    if (which == 3) continue;
    EXPECT_NEAR(solver.ComputeCost(p, s.state, 0, nullptr), start, 1e-3f * start);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(s.state.planes[0].v[k], k == 2, 1e-5f) << which;
    for (int k = 0; k < 2; ++k) EXPECT_NEAR(c.p[k], p.groundPosition[k], 1e-5f);
    EXPECT_NEAR(c.R[1][0], 0.0f, 1e-5f) << which;
    // Quaternions stay in w >= 0.
    for (u32 i = 0; i < s.state.cameras.Size(); ++i) EXPECT_GE(s.state.cameras[i].q[3], 0.0f);
  }
}

TEST(IBASolverNormalEquation, EveryTermAloneMatchesItsCost) {
  // Term n alone: feature levels 0-3, delta weights, bias priors, gravity, plane.
  const char* kTerms[13] = {"level 0", "level 1", "level 2", "level 3", "wp",      "wv",   "wr",
                            "wsa",     "wsg",     "bias ba", "bias bg", "gravity", "plane"};
  for (int term = 0; term < 13; ++term) {
    // Five cameras (two fixed), four fixed points, the term at weight 1.
    SceneOptions o{5, 60, 12, 2, 4};
    float* w[10] = {&o.feature, &o.wp,        &o.wv,        &o.wr,      &o.wsa,
                    &o.wsg,     &o.biasPrior, &o.biasPrior, &o.gravity, &o.plane};
    for (float* x : w) *x = 0.0f;
    *w[std::max(term - 3, 0)] = 1.0f;
    Scene s;
    BuildScene(o, s);
    IBAProblem& P = s.problem;
    for (int l = 0; l < 4 && term < 4; ++l)  // one level, one bias prior
      if (l != term) std::fill_n(P.features.levelWeights[l].v, 4, 0.0f);
    if (term == 9 || term == 10) P.biasWeights[10 - term] = 0.0f;
    // Records run from the last camera down. Camera 3 loses its record, which
    // stays past the end; the first record is the last camera's.
    const u32 g = P.gravity.Size() - 1;
    std::swap(P.gravity[1], P.gravity[g]);
    std::swap(P.gravityCameras[1], P.gravityCameras[g]);
    P.gravity.Resize(g);
    P.gravityCameras.pop_back();
    P.fixedPlanes = 1;  // a step re-fits a variable plane
    // b = -1/2 d cost / dx at a perturbed state.
    Perturb(P, s.state, 0.02f, 0.1f, 0.05f, 0.02f, 11);
    IBASolver solver;
    IBASolverTestAccess stages(solver);
    Eigen::MatrixXd H, H1;
    Eigen::VectorXd b, b1;
    stages.Assemble(P, s.state, H, b);
    const int nc = 15 * int(o.cameras - o.fixedCameras);
    ExpectMinusHalfCostSlope(
        b,
        [&](int n, float h) {
          IBAState moved;
          IBAState::Copy(moved, s.state);
          if (n < nc)
            NudgeCamera(moved.extrinsic, moved.cameras[o.fixedCameras + n / 15], n % 15, h);
          else
            moved.points[o.fixedPoints + (n - nc) / 3].v[(n - nc) % 3] += 2 * h;
          return double(solver.ComputeCost(P, moved, 0, nullptr)) * (n < nc ? 1.0 : 0.5);
        },
        [](int) { return false; }, kTerms[term], 1e-3);

    // At a zero-residual state b(x + dx) - b(x) = -H dx. Velocities against
    // the motion give the deltas' position-rotation coupling some weight.
    IBAState::Copy(s.state, s.truth);
    for (u32 i = 0; i < o.cameras; ++i) {
      for (int k = 0; k < 3; ++k) s.state.cameras[i].v[k] *= -2.0f;
      if (i > 0) TrueDelta(s.state.cameras[i - 1], s.state.cameras[i], 0.1f, o, P.deltas[i - 1]);
    }
    stages.Assemble(P, s.state, H, b);
    Random::Seed(5);
    Eigen::VectorXd dx(H.rows());
    for (int i = 0; i < dx.size(); ++i) dx(i) = static_cast<float>(1e-4 * Gaussian());
    stages.SetStep(dx);
    stages.UpdateState(P, s.state);
    stages.Assemble(P, s.state, H1, b1);
    const double scale = (H * dx).lpNorm<Eigen::Infinity>();
    ASSERT_GT(scale, 0.0) << kTerms[term];
    EXPECT_LT((b1 - b + H * dx).lpNorm<Eigen::Infinity>(), 2e-3 * scale) << kTerms[term];
  }
}

// Eight perturbed cameras damped as Run damps them: the Schur complement, PCG
// and back-substitution solve the dense system; the predicted reduction is
// b.dx + lambda dx^T D dx with the unreduced b; Run's accepted step scales the
// damping by max(1/3, 1 - (2 rho - 1)^3), rho the gain ratio.
TEST(IBASolverNormalEquation, DampedStepMatchesTheDenseSolveAndTheGainRatio) {
  Scene s;
  BuildScene(SceneOptions{8, 160, 24, 2, 6}, s);
  const float k = 30.0f;  // far enough for a step of gain ratio well below 1
  Perturb(s.problem, s.state, 0.02f * k, 0.01f * k, 0.05f * k, 0.02f * k, 9);
  IBASolver solver, run;  // run: one step of Run
  IBASolverTestAccess stages(solver);
  const float lambda = solver.initialDamping;
  Eigen::MatrixXd H, undamped;
  Eigen::VectorXd b;
  stages.Assemble(s.problem, s.state, undamped, b);
  stages.Damp(lambda);
  stages.AssembleDense(H, b);
  // Damping scales every diagonal entry, cameras' and points', and nothing else.
  undamped.diagonal() *= double(1.0f + lambda);
  EXPECT_LT((H - undamped).lpNorm<Eigen::Infinity>(), 1e-6 * H.lpNorm<Eigen::Infinity>());
  // Points no camera sees get no step; a unit diagonal keeps the dense
  // system regular without coupling them.
  for (int i = 15 * stages.Cameras(); i < H.rows(); ++i)
    if (H(i, i) == 0.0) H(i, i) = 1.0;
  ASSERT_GT(stages.Solve(), 0u);
  Eigen::VectorXd dx = stages.Step();
  const double damped = lambda / (1.0 + lambda) * dx.dot(H.diagonal().asDiagonal() * dx);
  const double unreduced = b.dot(dx) + damped;
  const double predicted = stages.ComputePredictedReduction(lambda);
  EXPECT_NEAR(predicted, unreduced, 1e-4 * unreduced);
  // Solved to the end (afresh: the solve reduced the blocks), the step
  // solves the damped system.
  solver.pcgRelativeTolerance = 1e-12f;
  solver.pcgMinIterations = 1;
  solver.pcgMaxIterations = 2000;
  stages.Assemble(s.problem, s.state, undamped, b);
  stages.Damp(lambda);
  EXPECT_GT(stages.Solve(), 1u);
  dx = stages.Step();
  EXPECT_LT((H * dx - b).lpNorm<Eigen::Infinity>(), 1e-4 * b.lpNorm<Eigen::Infinity>());

  run.maxIterations = 1;
  const float before = run.ComputeCost(s.problem, s.state, 0, nullptr);
  FILE* log = std::tmpfile();
  ASSERT_EQ(run.Run(s.problem, s.state, 1, log), IBA_LM_ENOUGH_ITERATIONS);
  const std::string line = LogLines(log)[4];
  float after, damping;
  ASSERT_EQ(std::sscanf(line.c_str(), "--> %*d %f %*f %*f %*f %e %*d", &after, &damping), 2)
      << line;
  const double t = 2.0 * (before - after) / predicted - 1.0;
  ASSERT_GT(1.0 - t * t * t, 0.4) << "a step this good shrinks the damping by less than 3";
  EXPECT_NEAR(damping, lambda * (1.0 - t * t * t), 1e-2 * lambda);
}

// A first variable camera that sees only fixed points (a key frame whose
// points are all held): its blocks are absent, the first camera-point block
// is the next camera's, and the couplings still land on the cameras that
// measure them. At the truth, b(x + dx) - b(x) = -H dx.
TEST(IBASolverNormalEquation, FirstVariableCameraWithoutVariablePoints) {
  SceneOptions o{6, 120, 0, 2, 4};
  o.wp = o.wv = o.wr = o.wsa = o.wsg = o.gravity = o.biasPrior = 0.0f;  // features alone
  Scene s;
  BuildScene(o, s);
  IBAFeatures& F = s.problem.features;
  std::vector<IBAMeasurement> kept;
  std::vector<u32> index(F.index.size(), 0);
  u32 dropped = 0;
  for (u32 g = 0; g + 1 < F.index.size(); ++g) {  // (camera, level) groups
    index[g] = static_cast<u32>(kept.size());
    for (u32 m = F.index[g]; m < F.index[g + 1]; ++m) {
      const bool variable = F.measurements[m].point >= o.fixedPoints;
      if (g / 4 == o.fixedCameras && variable)
        ++dropped;
      else
        kept.push_back(F.measurements[m]);
    }
  }
  index.back() = static_cast<u32>(kept.size());
  ASSERT_GT(dropped, 0u);
  F.measurements.Resize(static_cast<u32>(kept.size()));
  std::memcpy(F.measurements.Data(), kept.data(), sizeof(kept[0]) * kept.size());
  F.index = index;

  IBASolver solver;
  IBASolverTestAccess stages(solver);
  Eigen::MatrixXd H, H1;
  Eigen::VectorXd b, b1;
  stages.Assemble(s.problem, s.state, H, b);
  Random::Seed(3);
  Eigen::VectorXd dx(H.rows());
  for (int i = 0; i < dx.size(); ++i) dx(i) = 1e-4 * Gaussian();
  stages.SetStep(dx);
  stages.UpdateState(s.problem, s.state);
  stages.Assemble(s.problem, s.state, H1, b1);
  const double scale = (H * dx).lpNorm<Eigen::Infinity>();
  ASSERT_GT(scale, 0.0);
  // A coupling on the wrong camera is off by about 1 % of the scale.
  EXPECT_LT((b1 - b + H * dx).lpNorm<Eigen::Infinity>(), 4e-3 * scale);
}

namespace {

// Median distance of the variable points from the last camera's centre.
double MedianPointDistance(const IBAProblem& p, const IBAState& s) {
  float c[3];
  CameraCentre(s.cameras[s.cameras.Size() - 1].pose, c);
  std::vector<double> d;
  for (u32 k = p.fixedPoints; k < s.points.Size(); ++k) {
    const float* X = s.points[k].v;
    d.push_back(
        std::sqrt(std::pow(X[0] - c[0], 2) + std::pow(X[1] - c[1], 2) + std::pow(X[2] - c[2], 2)));
  }
  std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
  return d[d.size() / 2];
}

// Root mean square distance of the variable cameras' centres from camera 0's.
double CameraSpread(const IBAProblem& p, const IBAState& s) {
  float c0[3], c[3];
  CameraCentre(s.cameras[0].pose, c0);
  double sum = 0.0;
  for (u32 i = p.fixedCameras; i < s.cameras.Size(); ++i) {
    CameraCentre(s.cameras[i].pose, c);
    for (int a = 0; a < 3; ++a) sum += std::pow(double(c[a]) - c0[a], 2);
  }
  return std::sqrt(sum / (s.cameras.Size() - p.fixedCameras));
}

// Scales the variable cameras and the points by s about camera 0's centre:
// every reprojection stays as it was.
void ScaleAboutFirstCamera(const IBAProblem& p, IBAState& state, float s) {
  float c0[3], c[3];
  CameraCentre(state.cameras[0].pose, c0);
  for (u32 i = p.fixedCameras; i < state.cameras.Size(); ++i) {
    CameraCentre(state.cameras[i].pose, c);
    for (int a = 0; a < 3; ++a)
      NudgeCamera(state.extrinsic, state.cameras[i], a, (s - 1) * (c[a] - c0[a]));
  }
  for (u32 k = p.fixedPoints; k < state.points.Size(); ++k)
    for (int a = 0; a < 3; ++a) state.points[k].v[a] = c0[a] + s * (state.points[k].v[a] - c0[a]);
}

}  // namespace

// One fixed camera and no fixed point or plane (a map the marker did not
// anchor): nothing measures its scale, not even inertial terms in metres, so
// the solver keeps the cameras' spread about the fixed one it was given (with
// one variable camera, the points' distances from it or the two cameras'
// distance), whatever scale that is, and still fits the reprojections. With
// fixed points the scale is measured, and a start at the wrong scale comes
// back to the truth.
// A variable plane is refitted to every one of its points, the first
// included: moved onto a tilted plane and refitted twice (the second time
// over the solver's reused buffer), they give that plane. The start is
// tilted too: about a plane along an axis the refit's system is singular.
TEST(IBASolverRun, PlanesAreRefittedToAllTheirPoints) {
  Scene s;
  Start(s);
  const std::vector<u32>& onPlane = s.problem.planePoints[0];
  ASSERT_GE(onPlane.size(), 10u);
  IBASolver solver;
  IBASolverTestAccess access(solver);
  const float norm = std::sqrt(1.04f);
  for (const float z : {0.25f, 0.5f}) {
    // z = z0 + 0.2 y: n = (0, -0.2, 1) / norm, d = -z0 / norm.
    for (const u32 k : onPlane) s.state.points[k].v[2] = z + 0.2f * s.state.points[k].v[1];
    s.state.planes[0] = LA::AlignedVector4f{{0.05f, 0.0f, std::sqrt(1.0f - 0.0025f), 0.0f}};
    access.RefitPlanes(s.problem, s.state);
    const float* plane = s.state.planes[0].v;
    const float sign = plane[2] < 0.0f ? -1.0f : 1.0f;
    EXPECT_NEAR(plane[0], 0.0f, 1e-4f) << z;
    EXPECT_NEAR(sign * plane[1], -0.2f / norm, 1e-4f) << z;
    EXPECT_NEAR(sign * plane[2], 1.0f / norm, 1e-4f) << z;
    EXPECT_NEAR(sign * plane[3], -z / norm, 1e-4f) << z;
  }
}

TEST(IBASolverRun, WithoutAScaleReferenceTheCamerasKeepTheirSpread) {
  // Three cameras (two variable) are the fewest that hold their spread.
  const std::tuple<float, u32, u32> cases[] = {
      {0.0f, 0, 8}, {100.0f, 0, 8}, {0.0f, 30, 8}, {0.0f, 0, 3}};
  for (const auto& [wp, fixedPoints, cameras] : cases) {
    SceneOptions o{cameras, 240, 0, 1, fixedPoints, 0.0f};
    o.wp = o.wv = wp;
    o.gravity = 0.0f;
    Scene s;
    BuildScene(o, s);
    ScaleAboutFirstCamera(s.problem, s.state, 1.3f);
    Perturb(s.problem, s.state, 0.01f, 0.006f, 0.0f, 0.02f, 31);
    const double truth = CameraSpread(s.problem, s.truth);
    const double start = CameraSpread(s.problem, s.state);
    const double points = MedianPointDistance(s.problem, s.state);
    ASSERT_GT(std::fabs(start / truth - 1.0), 0.2);
    IBASolver solver;
    solver.minRelativeReduction = 1e-6f;
    solver.Run(s.problem, s.state, 0, nullptr);
    const double end = CameraSpread(s.problem, s.state);
    if (fixedPoints == 0) {
      EXPECT_NEAR(end / start, 1.0, 1e-4) << wp << " " << cameras;
      // The points' distances from the newest camera are not what is kept:
      // the perturbed cameras move back to where the points say.
      EXPECT_GT(std::fabs(MedianPointDistance(s.problem, s.state) / points - 1.0), 1e-3)
          << wp << " " << cameras;
      if (wp == 0.0f) {
        EXPECT_LT(RMSPixels(s.problem, s.state), 0.1);
      }
    } else {
      EXPECT_NEAR(end / truth, 1.0, 0.02);  // from 1.3
      EXPECT_LT(RMSPixels(s.problem, s.state), 0.1);
    }
  }
}

TEST(IBASolverRun, WithoutAScaleReferenceAMapsFirstTwoKeyFramesKeepTheirBaseline) {
  // Asked for (a map's first two key frames), the distance between the
  // cameras is kept; otherwise the points' distances (more cameras keep
  // their spread instead).
  for (const u8 holdBaseline : {1, 0}) {
    for (const float wp : {0.0f, 100.0f}) {
      SceneOptions o{2, 240, 0, 1, 0, 0.0f};
      o.wp = o.wv = wp;
      o.gravity = 0.0f;
      Scene s;
      BuildScene(o, s);
      s.problem.holdBaseline = holdBaseline;
      ScaleAboutFirstCamera(s.problem, s.state, 1.3f);
      Perturb(s.problem, s.state, 0.01f, 0.006f, 0.0f, 0.02f, 31);
      const auto baseline = [](const IBAState& state) {
        float a[3], b[3];
        CameraCentre(state.cameras[0].pose, a);
        CameraCentre(state.cameras[1].pose, b);
        return std::sqrt(double(a[0] - b[0]) * (a[0] - b[0]) + double(a[1] - b[1]) * (a[1] - b[1]) +
                         double(a[2] - b[2]) * (a[2] - b[2]));
      };
      const double start = baseline(s.state), points = MedianPointDistance(s.problem, s.state);
      ASSERT_GT(std::fabs(start / baseline(s.truth) - 1.0), 0.2);
      IBASolver solver;
      solver.minRelativeReduction = 1e-6f;
      solver.Run(s.problem, s.state, 0, nullptr);
      if (holdBaseline) {
        EXPECT_NEAR(baseline(s.state) / start, 1.0, 1e-4) << wp;
      } else {
        EXPECT_NEAR(MedianPointDistance(s.problem, s.state) / points, 1.0, 1e-4) << wp;
      }
      if (wp == 0.0f) {
        EXPECT_LT(RMSPixels(s.problem, s.state), 0.1);
      }
    }
  }
}
