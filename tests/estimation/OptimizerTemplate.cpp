// Levenberg-Marquardt loop: stop codes, damping schedule, convergence on a
// linear problem, log lines; and the finite-difference harness itself (it
// must flag a wrong sign and a wrong-side step).
#include "estimation/OptimizerTemplate.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "FiniteDifference.h"
#include "la/Random.h"

namespace {

using V3 = LA::AlignedVector3f;
using M3 = LA::AlignedMatrix3f;
using Optimizer3 = OptimizerTemplate<V3, V3, M3>;

// A problem whose SSE values and right-hand sides are scripted, with A = I
// and unit scale, so that each step is dx = b / (1 + damping).
struct ScriptedData : OptimizerDataTemplate<V3, V3, M3> {
  std::vector<double> sse;
  std::vector<std::array<float, 3>> rhs;
  float diagonal = 1.0f;
  size_t sseCalls = 0, builds = 0;
  std::vector<std::array<float, 3>> steps;

  f64 ComputeSSE(const V3&) override { return sse[std::min(sseCalls++, sse.size() - 1)]; }
  f64 GetFactorSSEToMSE() override { return 1.0; }
  void ConstructNormalEquation(const V3&, const V3&, M3& A, V3& b) override { Build(A, b); }
  void ConstructNormalEquationAndScale(const V3&, M3& A, V3& b, V3& s) override {
    s = V3{{1.0f, 1.0f, 1.0f, 0.0f}};
    Build(A, b);
  }
  void UpdateModel(const V3& s, const V3& dx, const V3& old, V3& updated) override {
    for (int i = 0; i < 3; ++i) updated.v[i] = old.v[i] + s.v[i] * dx.v[i];
    steps.push_back({dx.v[0], dx.v[1], dx.v[2]});
  }
  void Build(M3& A, V3& b) {
    A = M3{};
    for (int i = 0; i < 3; ++i) A.m[i][i] = diagonal;
    const auto& r = rhs[std::min(builds++, rhs.size() - 1)];
    b = V3{{r[0], r[1], r[2], 0.0f}};
  }
};

// r = y - M x over n rows: a linear least-squares problem in x.
struct LinearData : OptimizerDataTemplate<V3, V3, M3> {
  Eigen::MatrixXf M;
  Eigen::VectorXf y;
  int updates = 0;
  float sign = 1.0f;       // -1 flips b (a sign error)
  bool wrongSide = false;  // applies the step without its scale

  Eigen::VectorXf Residual(const V3& x) const {
    return y - M * Eigen::Vector3f(x.v[0], x.v[1], x.v[2]);
  }
  f64 ComputeSSE(const V3& x) override {
    const Eigen::VectorXf r = Residual(x);
    f64 sse = 0.0;
    for (int i = 0; i < r.size(); ++i) sse += static_cast<f64>(r(i) * r(i));
    return sse;
  }
  f64 GetFactorSSEToMSE() override { return 1.0 / M.rows(); }
  void ConstructNormalEquation(const V3& x, const V3& s, M3& A, V3& b) override {
    const Eigen::VectorXf r = Residual(x);
    const Eigen::Matrix3f JtJ = M.transpose() * M;
    const Eigen::Vector3f Jtr = M.transpose() * r;
    A = M3{};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) A.m[i][j] = JtJ(i, j) * s.v[i] * s.v[j];
      b.v[i] = sign * Jtr(i) * s.v[i];
    }
  }
  void ConstructNormalEquationAndScale(const V3& x, M3& A, V3& b, V3& s) override {
    for (int i = 0; i < 3; ++i) s.v[i] = 1.0f / M.col(i).norm();
    ConstructNormalEquation(x, s, A, b);
  }
  void UpdateModel(const V3& s, const V3& dx, const V3& old, V3& updated) override {
    for (int i = 0; i < 3; ++i) updated.v[i] = old.v[i] + (wrongSide ? 1.0f : s.v[i]) * dx.v[i];
    ++updates;
  }
};

LinearData MakeLinearProblem(int n) {
  Random::Seed(11);
  LinearData d;
  d.M.resize(n, 3);
  d.y.resize(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < 3; ++j) d.M(i, j) = (Random::Next() % 2001) / 1000.0f - 1.0f + (j == 0);
    d.M(i, 2) *= 10.0f;  // unequal column norms exercise the scale
    const float noise = ((Random::Next() % 2001) / 1000.0f - 1.0f) * 0.05f;
    d.y(i) = 0.5f * d.M(i, 0) - 2.0f * d.M(i, 1) + 0.25f * d.M(i, 2) + noise;
  }
  return d;
}

ScriptedData Scripted(std::vector<double> sse, std::vector<std::array<float, 3>> rhs) {
  ScriptedData d;
  d.sse = std::move(sse);
  d.rhs = std::move(rhs);
  return d;
}

}  // namespace

TEST(OptimizerTemplate, ZeroIterationsEvaluatesOnceAndTakesNoStep) {
  ScriptedData d = Scripted({1.0}, {{1.0f, 0.0f, 0.0f}});
  Optimizer3 opt;
  opt.maxIterations = 0;
  V3 x{{1.0f, 2.0f, 3.0f, 0.0f}};
  EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_ENOUGH_ITERATIONS);
  EXPECT_EQ(d.sseCalls, 1u);
  EXPECT_EQ(d.builds, 1u);
  EXPECT_TRUE(d.steps.empty());
  EXPECT_EQ(x.v[0], 1.0f);
}

TEST(OptimizerTemplate, EveryStopCode) {
  V3 x{{0.0f, 0.0f, 0.0f, 0.0f}};
  {  // The factorisation of a zero system fails.
    ScriptedData d = Scripted({1.0}, {{1.0f, 0.0f, 0.0f}});
    d.diagonal = 0.0f;
    Optimizer3 opt;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_NORMAL_EQUATION_FAIL);
  }
  {  // A step shorter than minDelta.
    ScriptedData d = Scripted({1.0}, {{1e-7f, 0.0f, 0.0f}});
    Optimizer3 opt;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_SMALL_DELTA);
    EXPECT_TRUE(d.steps.empty());
  }
  {  // A non-finite SSE restores the model.
    ScriptedData d = Scripted({1.0, std::numeric_limits<double>::infinity()}, {{1.0f, 0, 0}});
    Optimizer3 opt;
    V3 y{{5.0f, 6.0f, 7.0f, 0.0f}};
    EXPECT_EQ(opt.Optimize(d, y, 0), OPT_LM_INFINIT_SSE);
    EXPECT_EQ(y.v[0], 5.0f);
  }
  {  // Accepted step below minMSE.
    ScriptedData d = Scripted({1.0, 0.25}, {{1.0f, 0, 0}});
    Optimizer3 opt;
    opt.minMSE = 0.5f;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_SMALL_MSE);
  }
  {  // With the default minMSE of 0 an SSE of 0 is not a stop.
    ScriptedData d = Scripted({1.0, 0.0}, {{1.0f, 0, 0}});
    Optimizer3 opt;
    opt.maxIterations = 5;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_ENOUGH_ITERATIONS);
  }
  {  // Relative reduction 1e-5 < 1e-4.
    ScriptedData d = Scripted({1.0, 0.99999}, {{1.0f, 0, 0}});
    Optimizer3 opt;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_SMALL_RELATIVE_REDUCTION);
  }
  {  // The gradient after the accepted step falls below minJTe.
    ScriptedData d = Scripted({1.0, 0.5}, {{1.0f, 0, 0}, {1e-6f, 0, 0}});
    Optimizer3 opt;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_SMALL_JTE);
    EXPECT_EQ(d.steps.size(), 1u);
  }
  {  // Every step rejected: nu overflows at the 127th consecutive rejection.
    ScriptedData d = Scripted({1.0, 2.0}, {{1.0f, 0, 0}});
    Optimizer3 opt;
    opt.minDelta = 0.0f;
    opt.maxIterations = 1000;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_LARGE_DAMPING);
    EXPECT_EQ(d.steps.size(), 127u);
  }
  {  // ... so never below 127 iterations.
    ScriptedData d = Scripted({1.0, 2.0}, {{1.0f, 0, 0}});
    Optimizer3 opt;
    opt.minDelta = 0.0f;
    opt.maxIterations = 126;
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_ENOUGH_ITERATIONS);
  }
}

TEST(OptimizerTemplate, DampingGrowsByDoublingFactorsAndResetsAfterAcceptance) {
  // Three rejections, one acceptance with gain ratio 1/2 (factor 1), one more
  // rejection, then a relative-reduction stop.
  ScriptedData d = Scripted({1.0, 2.0, 2.0, 2.0, 0.0, 2.0, 0.0}, {{1.0f, 0, 0}});
  d.sse[4] = 1.0 - 0.5 * 0.0;  // placeholder, set below from the predicted reduction
  Optimizer3 opt;
  V3 x{{0.0f, 0.0f, 0.0f, 0.0f}};
  // Expected damping before each solve: 1e-3, then x2, x4, x8.
  std::vector<float> lambda = {0.001f};
  lambda.push_back(2.0f * lambda[0]);
  lambda.push_back(4.0f * lambda[1]);
  lambda.push_back(8.0f * lambda[2]);
  // Make the accepted SSE reduction exactly half of the predicted one: rho =
  // 1/2 gives t = 0 and the factor 1, so the damping is kept.
  const float dx3 = 1.0f / (1.0f + lambda[3]);
  const double predicted =
      static_cast<double>(dx3) + static_cast<double>(lambda[3]) * static_cast<double>(dx3 * dx3);
  d.sse[4] = 1.0 - 0.5 * predicted;
  d.sse[5] = 2.0;
  d.sse[6] = d.sse[4] * (1.0 - 1e-6);
  opt.Optimize(d, x, 0);
  ASSERT_EQ(d.steps.size(), 6u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_FLOAT_EQ(d.steps[k][0], 1.0f / (1.0f + lambda[k])) << "solve " << k;
  }
  // After the acceptance nu is 2 again: the next rejection only doubles.
  EXPECT_FLOAT_EQ(d.steps[4][0], 1.0f / (1.0f + lambda[3]));
  EXPECT_FLOAT_EQ(d.steps[5][0], 1.0f / (1.0f + 2.0f * lambda[3]));
}

TEST(OptimizerTemplate, AcceptedStepShrinksDampingByAtMostAThird) {
  // A perfect quadratic prediction (rho = 1) gives f = 0, clamped to 1/3.
  ScriptedData d = Scripted({1.0, 0.0, 0.0}, {{1.0f, 0, 0}});
  Optimizer3 opt;
  opt.maxIterations = 2;
  V3 x{{0.0f, 0.0f, 0.0f, 0.0f}};
  const float dx0 = 1.0f / 1.001f;
  d.sse[1] = 1.0 - (dx0 + 0.001 * dx0 * dx0);
  d.sse[2] = d.sse[1];  // the second step is rejected (equal SSE)
  opt.Optimize(d, x, 0);
  ASSERT_EQ(d.steps.size(), 2u);
  const float lambda1 = static_cast<float>(0.001f * (1.0 / 3.0));
  EXPECT_NEAR(d.steps[1][0], 1.0f / (1.0f + lambda1), 1e-7f);
  EXPECT_EQ(x.v[0], dx0) << "a step with equal SSE must be rejected";
}

TEST(OptimizerTemplate, LinearProblemConvergesInOneAcceptedStep) {
  const Eigen::VectorXf exactX = [] {
    LinearData d = MakeLinearProblem(200);
    return Eigen::VectorXf(d.M.colPivHouseholderQr().solve(d.y));
  }();
  {  // Undamped, the first step lands on the least-squares solution.
    LinearData d = MakeLinearProblem(200);
    Optimizer3 opt;
    opt.initialDamping = 0.0f;
    opt.maxIterations = 1;
    V3 x{{3.0f, 3.0f, -3.0f, 0.0f}};
    EXPECT_EQ(opt.Optimize(d, x, 0), OPT_LM_ENOUGH_ITERATIONS);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(x.v[i], exactX(i), 1e-4f);
  }
  {  // ... and the run then stops: nothing is left to gain.
    LinearData d = MakeLinearProblem(200);
    Optimizer3 opt;
    opt.initialDamping = 0.0f;
    V3 x{{3.0f, 3.0f, -3.0f, 0.0f}};
    const OptimizerStopCode code = opt.Optimize(d, x, 0);
    EXPECT_TRUE(code == OPT_LM_SMALL_JTE || code == OPT_LM_SMALL_RELATIVE_REDUCTION) << code;
    EXPECT_LE(d.updates, 2);
  }
}

TEST(OptimizerTemplate, DampedLinearProblemReachesTheLeastSquaresSolution) {
  LinearData d = MakeLinearProblem(200);
  Optimizer3 opt;
  V3 x{{0.0f, 0.0f, 0.0f, 0.0f}};
  const OptimizerStopCode code = opt.Optimize(d, x, 0);
  EXPECT_TRUE(code == OPT_LM_SMALL_JTE || code == OPT_LM_SMALL_RELATIVE_REDUCTION) << code;
  const Eigen::Vector3f exact = d.M.colPivHouseholderQr().solve(d.y);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(x.v[i], exact(i), 1e-3f);
}

TEST(OptimizerTemplate, LogLinesAtVerbosityOneAndTwo) {
  // Rejected, accepted, then a relative-reduction stop.
  const auto make = [] { return Scripted({1.0, 2.0, 0.5, 0.49999}, {{1.0f, 0, 0}, {0.5f, 0, 0}}); };
  {
    ScriptedData d = make();
    Optimizer3 opt;
    V3 x{};
    testing::internal::CaptureStdout();
    opt.Optimize(d, x, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "  MSE = 1.000000 --> 0.499990\n");
  }
  {
    ScriptedData d = make();
    Optimizer3 opt;
    V3 x{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(opt.Optimize(d, x, 2), OPT_LM_SMALL_RELATIVE_REDUCTION);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "   #LM   MSE  rel_reduction  ||JTe||_oo  ||dx||^2  damping\n"
              "       1.000000\n"
              "--> 0  2.000000\n"
              "--> 1  0.500000  0.500000  0.500000  0.998004  2.000000e-03\n"
              "--> 2  0.499990  0.000020  0.500000  0.499002  2.000000e-03\n"
              "  Stop by OPT_LM_SMALL_RELATIVE_REDUCTION\n");
  }
  {  // Verbosity 0 prints nothing.
    ScriptedData d = make();
    Optimizer3 opt;
    V3 x{};
    testing::internal::CaptureStdout();
    opt.Optimize(d, x, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

TEST(OptimizerTemplate, PrintStopReasonNamesEveryCode) {
  testing::internal::CaptureStdout();
  for (u32 c = 0; c <= 8; ++c) Optimizer3::PrintStopReason(c);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  Stop by OPT_LM_ENOUGH_ITERATIONS\n"
            "  Stop by OPT_LM_NORMAL_EQUATION_FAIL\n"
            "  Stop by OPT_LM_SMALL_DELTA\n"
            "  Stop by OPT_LM_INFINIT_SSE\n"
            "  Stop by OPT_LM_SMALL_MSE\n"
            "  Stop by OPT_LM_SMALL_RELATIVE_REDUCTION\n"
            "  Stop by OPT_LM_SMALL_JTE\n"
            "  Stop by OPT_LM_LARGE_DAMPING\n");
}

TEST(FiniteDifferenceHarness, AcceptsACorrectLinearProblem) {
  LinearData d = MakeLinearProblem(50);
  const V3 x{{0.1f, -0.3f, 0.2f, 0.0f}};
  fd::ExpectNormalEquationMatchesSSE(d, x);
  d.y = d.M * Eigen::Vector3f(0.1f, -0.3f, 0.2f);
  fd::ExpectGaussNewtonHessianAtZeroResidual(d, x, {1e-2, 2e-3, 1e-6});
}

TEST(FiniteDifferenceHarness, FlagsASignErrorAndAWrongSideStep) {
  LinearData d = MakeLinearProblem(50);
  const V3 x{{0.1f, -0.3f, 0.2f, 0.0f}};
  const auto failures = [&] {
    testing::TestPartResultArray results;
    {
      testing::ScopedFakeTestPartResultReporter reporter(
          testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
      fd::ExpectNormalEquationMatchesSSE(d, x);
    }
    return results.size();
  };
  EXPECT_EQ(failures(), 0);
  d.sign = -1.0f;
  EXPECT_GT(failures(), 0) << "a negated b passed";
  d.sign = 1.0f;
  d.wrongSide = true;
  EXPECT_GT(failures(), 0) << "a step applied without its scale passed";
}
