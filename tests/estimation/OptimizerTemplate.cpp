// Levenberg-Marquardt loop: every stop code and the model kept or moved, on a
// scripted problem.
#include "estimation/OptimizerTemplate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using V3 = LA::AlignedVector3f;
using M3 = LA::AlignedMatrix3f;
using Optimizer3 = OptimizerTemplate<V3, V3, M3>;

// SSE values and right-hand sides (b = (r, 0, 0)) are scripted, A = diagonal
// I and the scale is 1, so that each step is dx = b / (1 + damping).
struct ScriptedData : OptimizerDataTemplate<V3, V3, M3> {
  ScriptedData(std::vector<double> s, std::vector<float> r, float a)
      : sse(std::move(s)), rhs(std::move(r)), diagonal(a) {}
  std::vector<double> sse;
  std::vector<float> rhs;
  float diagonal;
  size_t sseCalls = 0, builds = 0, updates = 0;

  f64 ComputeSSE(const V3&) override { return sse[std::min(sseCalls++, sse.size() - 1)]; }
  f64 GetFactorSSEToMSE() override { return 1.0; }
  void ConstructNormalEquation(const V3&, const V3&, M3& A, V3& b) override {
    A = M3{};
    for (int i = 0; i < 3; ++i) A.m[i][i] = diagonal;
    b = V3{{rhs[std::min(builds++, rhs.size() - 1)], 0.0f, 0.0f, 0.0f}};
  }
  void ConstructNormalEquationAndScale(const V3& x, M3& A, V3& b, V3& s) override {
    s = V3{{1.0f, 1.0f, 1.0f, 0.0f}};
    ConstructNormalEquation(x, s, A, b);
  }
  void UpdateModel(const V3& s, const V3& dx, const V3& old, V3& updated) override {
    for (int i = 0; i < 3; ++i) updated.v[i] = old.v[i] + s.v[i] * dx.v[i];
    ++updates;
  }
};

}  // namespace

TEST(OptimizerTemplate, EveryStopCode) {
  struct Case {
    const char* what;
    std::vector<double> sse;
    std::vector<float> rhs;
    float diagonal, minDelta, minMSE;
    u32 maxIterations;
    OptimizerStopCode code;
    size_t steps;
    float moved;  // of x, by accepted steps dx = b / (1 + damping)
  };
  // clang-format off
  const Case cases[] = {
      {"no iterations", {1.0}, {1}, 1, 1e-6f, 0, 0, OPT_LM_ENOUGH_ITERATIONS, 0, 0},
      {"singular system", {1.0}, {1}, 0, 1e-6f, 0, 100, OPT_LM_NORMAL_EQUATION_FAIL, 0, 0},
      {"step below minDelta", {1.0}, {1e-7f}, 1, 1e-6f, 0, 100, OPT_LM_SMALL_DELTA, 0, 0},
      {"non-finite SSE", {1.0, INFINITY}, {1}, 1, 1e-6f, 0, 100, OPT_LM_INFINIT_SSE, 1, 0},
      {"below minMSE", {1.0, 0.25}, {1}, 1, 1e-6f, 0.5f, 100, OPT_LM_SMALL_MSE, 1, 0.999001f},
      {"SSE 0 with minMSE 0", {1.0, 0.0}, {1}, 1, 1e-6f, 0, 5, OPT_LM_ENOUGH_ITERATIONS, 5, 0.999001f},
      {"reduction 1e-5", {1.0, 0.99999}, {1}, 1, 1e-6f, 0, 100, OPT_LM_SMALL_RELATIVE_REDUCTION, 1, 0.999001f},
      {"small gradient", {1.0, 0.5}, {1, 1e-6f}, 1, 1e-6f, 0, 100, OPT_LM_SMALL_JTE, 1, 0.999001f},
      // Every step rejected: nu overflows at the 127th consecutive rejection,
      // so never below 127 iterations.
      {"damping overflow", {1.0, 2.0}, {1}, 1, 0, 0, 1000, OPT_LM_LARGE_DAMPING, 127, 0},
      // Rejected (damping doubled to 2e-3), then accepted twice at 2e-3.
      {"rejected, accepted", {1.0, 2.0, 0.5, 0.49999}, {1, 0.5}, 1, 1e-6f, 0, 100, OPT_LM_SMALL_RELATIVE_REDUCTION, 3, 1.497006f},
      {"126 rejections", {1.0, 2.0}, {1}, 1, 0, 0, 126, OPT_LM_ENOUGH_ITERATIONS, 126, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    ScriptedData d(c.sse, c.rhs, c.diagonal);
    Optimizer3 opt;
    opt.minDelta = c.minDelta;
    opt.minMSE = c.minMSE;
    opt.maxIterations = c.maxIterations;
    V3 x{{5.0f, 6.0f, 7.0f, 0.0f}};
    EXPECT_EQ(opt.Optimize(d, x, 0), c.code) << c.what;
    EXPECT_EQ(d.updates, c.steps) << c.what;
    EXPECT_NEAR(x.v[0], 5.0f + c.moved, 1e-6f) << c.what;
  }
}
