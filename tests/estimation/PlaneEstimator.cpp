// ctest-labels: threads
// Plane estimation: known planes and degenerate input to both solvers, the
// data classes' normal equations against finite differences through the
// renormalising update in every mode, inclusive and strict thresholds with
// required points, and the distance bound written by another thread.
#include "estimation/PlaneEstimator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <thread>

#include "common/FiniteDifference.h"
#include "common/PlaneScene.h"
#include "estimation/PlaneSolver.h"

using scene::Point;

namespace {

PlaneEstimatorData3D Points(const std::vector<LA::AlignedVector4f>& points) {
  PlaneEstimatorData3D d;
  d.points.Resize(static_cast<u32>(points.size()));
  for (u32 i = 0; i < points.size(); ++i) d.points[i] = points[i];
  return d;
}

}  // namespace

// Both solvers: the plane of the first three points and the least-squares
// plane of all, against the known plane n . X + d = 0 (d > 0), or failure
// with the plane left alone. Degeneracy is judged by shape, not size.
TEST(PlaneSolver, KnownPlanesAndDegenerateInput) {
  const f32 n[3] = {2.0f / 7.0f, 3.0f / 7.0f, -6.0f / 7.0f}, d = 4.0f;
  std::vector<LA::AlignedVector4f> tilted, tiny, copies, line, sliver;
  for (u32 k = 0; k < 30; ++k) {
    const f32 x = 1.0f + 0.5f * (k % 3), y = 2.0f - 0.75f * (k * k % 5), f = f32(k);
    if (k < 12) tilted.push_back(Point(x, y, (d + n[0] * x + n[1] * y) / -n[2]));
    tiny.push_back(Point(1e-3f * ((k + 4) % 5), 1e-3f * ((k + 4) / 5), 1));
    copies.push_back(Point(0.3f, 1.7f, 2.9f));
    line.push_back(Point(0.1f * f, 1.0f + 0.2f * f, 2.0f - 0.3f * f));
    sliver.push_back(Point(1e-5f * (k % 2), 0.3f * f, 1));  // two lines: the spread of one
  }
  struct Case {
    const char* what;
    bool minimal, all;
    Plane plane;
    std::vector<LA::AlignedVector4f> points;
  };
  const Case cases[] = {
      {"tilted, far from the origin", true, true, {{n[0], n[1], n[2], d}}, tilted},
      {"tiny", true, true, {{0, 0, -1, 1}}, tiny},
      {"collinear", false, false, {}, {Point(0, 0, 0), Point(1, 1, 1), Point(2, 2, 2)}},
      {"collinear, the float cross product not 0",
       false,
       false,
       {},
       {Point(0.1f, 0.2f, 0.3f), Point(0.2f, 0.4f, 0.6f), Point(0.3f, 0.6f, 0.9f)}},
      {"repeated", false, false, {}, {Point(1, 2, 3), Point(1, 2, 3), Point(0, 5, 1)}},
      {"thirty copies", false, false, {}, copies},
      {"thirty on a line", false, false, {}, line},
      {"sliver", true, false, {}, sliver},
      // a . X + 1 = 0 has no solution.
      {"through the origin",
       true,
       false,
       {},
       {Point(1, 0, 0), Point(0, 1, 0), Point(1, 1, 0), Point(-2, 1, 0)}}};
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PlaneEstimatorMinimalSample s = {{c.points[0], c.points[1], c.points[2]}};
    Plane minimal = {{7, 7, 7, 7}}, all = minimal;
    ASSERT_EQ(solver.RunMinimalSample(s, minimal, work), c.minimal);
    ASSERT_EQ(solver.RunNonMinimalData(Points(c.points), all), c.all);
    EXPECT_TRUE(c.minimal || minimal.v[0] == 7.0f) << "a failed solve leaves the plane";
    if (!c.all) {
      EXPECT_EQ(all.v[0], 7.0f);
      continue;
    }
    const f32 sign = minimal.v[3] > 0.0f ? 1.0f : -1.0f;
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(sign * minimal.v[k], c.plane.v[k], 1e-4f) << k;
      EXPECT_NEAR(all.v[k], c.plane.v[k], 1e-3f) << k;
    }
  }
  Plane p{};
  EXPECT_FALSE(solver.RunNonMinimalData(Points({}), p));
}

TEST(PlaneData, NormalEquationsMatchFiniteDifferencesInEveryMode) {
  scene::PlaneScene s;
  s.Build(3, 60, 0.0f, 0.02f, false, 0.0f);
  const Eigen::Vector3f n =
      Eigen::Vector3f(s.plane.v[0] + 0.05f, s.plane.v[1] - 0.04f, s.plane.v[2]).normalized();
  const Plane q = {{n.x(), n.y(), n.z(), s.plane.v[3] + 0.1f}};  // away from the optimum
  fd::ExpectNormalEquationMatchesSSE(s.data3, q);
  for (const u32 mode : {0u, 1u}) {
    s.data2.mode = mode;
    fd::ExpectNormalEquationMatchesSSE(s.data2, q);
  }
  // At zero residual A is half the Hessian. Small steps: the renormalisation
  // of n is strongly curved along the weakly determined normal component.
  s.Build(4, 40, 0.0f, 0.0f);
  fd::ExpectGaussNewtonHessianAtZeroResidual(s.data3, s.plane, {2e-3, 5e-3, 1e-6});
  fd::ExpectGaussNewtonHessianAtZeroResidual(s.data2, s.plane, {2e-3, 5e-3, 1e-6});
  // With noise only along the normal, points moved onto the true plane
  // reproject exactly onto their observations.
  s.Build(8, 60, 0.0f, 0.05f, true);
  EXPECT_LT(s.data2.ComputeSSE(s.plane), 1e-9);
}

TEST(PlaneEstimator3D, ThresholdIsInclusivePlainAndStrictConstrained) {
  PlaneEstimator3D est(0.25f);
  const PlaneEstimatorData3D d = Points({Point(0, 1, 0), Point(0.5f, 1, 0.25f), Point(1, 1, -0.25f),
                                         Point(1.5f, 1, 0.5f), Point(2, 1, 0.1f)});
  const Plane z = {{0, 0, 1, 0}};
  std::vector<u32> in;
  f64 error = -1.0;
  est.VerifyModel(d, z, in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 1, 2, 4}));
  EXPECT_DOUBLE_EQ(error, 0.25 + 0.25 + static_cast<f64>(0.1f));
  BitMask required(5);
  required.Set(4);
  est.VerifyModelConstrained(d, z, required, in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 4}));
  // A required point on the threshold rejects the model.
  required.Set(1);
  est.VerifyModelConstrained(d, z, required, in, error);
  EXPECT_TRUE(in.empty());
  EXPECT_EQ(error, 0.0);
}

TEST(PlaneEstimator2D, DistanceBoundWrittenWhileVerificationsRun) {
  // One thread flips the bound between two values while another verifies:
  // every verification must see one of the two, never a torn value.
  scene::PlaneScene sc;
  sc.Build(6, 200, 0.0f, 0.01f, true);
  sc.data2.mode = 1;
  std::vector<u32> in;
  f64 error = 0.0;
  PlaneEstimator2D est(0.0f);
  const auto verify = [&](f32 bound) {
    if (bound > 0.0f) PlaneDistanceThreshold.store(bound);
    est.VerifyModel(sc.data2, sc.plane, in, error);
    return in.size();
  };
  const size_t loose = verify(1.0f), tight = verify(0.005f);
  ASSERT_NE(loose, tight);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) PlaneDistanceThreshold.store(i % 2 ? 1.0f : 0.005f);
  });
  int torn = 0;
  for (int t = 0; t < 2000; ++t) {
    const size_t seen = verify(0.0f);
    torn += seen != loose && seen != tight;
  }
  stop.store(true);
  writer.join();
  PlaneDistanceThreshold.store(FLT_MAX);
  EXPECT_EQ(torn, 0);
}
