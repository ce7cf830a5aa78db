// Plane estimation: degenerate input to both solvers, the data classes'
// normal equations against finite differences through the renormalising
// update in every mode, inclusive and strict thresholds with required points,
// and the distance bound written by another thread during verification.
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

PlaneEstimatorMinimalSample Sample(const LA::AlignedVector4f& a, const LA::AlignedVector4f& b,
                                   const LA::AlignedVector4f& c) {
  PlaneEstimatorMinimalSample s;
  s.points[0] = a;
  s.points[1] = b;
  s.points[2] = c;
  return s;
}

PlaneEstimatorData3D Points(std::initializer_list<LA::AlignedVector4f> points) {
  PlaneEstimatorData3D d;
  d.points.Resize(static_cast<u32>(points.size()));
  u32 i = 0;
  for (const auto& X : points) d.points[i++] = X;
  return d;
}

Plane Perturbed(const Plane& p) {
  Plane q = p;
  q.v[0] += 0.05f;
  q.v[1] -= 0.04f;
  q.v[3] += 0.1f;
  const f32 l = std::sqrt(q.v[0] * q.v[0] + q.v[1] * q.v[1] + q.v[2] * q.v[2]);
  for (int i = 0; i < 3; ++i) q.v[i] /= l;
  return q;
}

}  // namespace

// Exact points of n . X + d = 0 (d > 0, mean far from the origin): three
// give it, and so do all twelve in the least-squares fit.
TEST(PlaneSolver, ExactPointsGiveTheirPlane) {
  const f32 n[3] = {2.0f / 7.0f, 3.0f / 7.0f, -6.0f / 7.0f}, d = 4.0f;
  PlaneEstimatorData3D data;
  data.points.Resize(12);
  for (u32 i = 0; i < 12; ++i) {
    const f32 x = 1.0f + 0.5f * (i % 4), y = 2.0f - 0.75f * (i / 4);
    data.points[i] = Point(x, y, (d + n[0] * x + n[1] * y) / -n[2]);
  }
  const auto& points = data.points;
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  Plane minimal{}, all{};
  ASSERT_TRUE(solver.RunMinimalSample(Sample(points[0], points[6], points[9]), minimal, work));
  ASSERT_TRUE(solver.RunNonMinimalData(data, all));
  const f32 sign = minimal.v[3] > 0.0f ? 1.0f : -1.0f;
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(sign * minimal.v[k], n[k], 1e-5f) << k;
    EXPECT_NEAR(all.v[k], n[k], 1e-4f) << k;
  }
  EXPECT_NEAR(sign * minimal.v[3], d, 1e-4f);
  EXPECT_NEAR(all.v[3], d, 1e-3f);
}

TEST(PlaneSolver, DegenerateInputFailsAndLeavesThePlane) {
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  Plane p{};
  p.v[0] = 7.0f;
  // Collinear and coincident triples.
  EXPECT_FALSE(
      solver.RunMinimalSample(Sample(Point(0, 0, 0), Point(1, 1, 1), Point(2, 2, 2)), p, work));
  EXPECT_FALSE(
      solver.RunMinimalSample(Sample(Point(1, 2, 3), Point(1, 2, 3), Point(0, 5, 1)), p, work));
  // Through the origin a . X + 1 = 0 has no solution; collinear points; none.
  EXPECT_FALSE(solver.RunNonMinimalData(
      Points({Point(1, 0, 0), Point(0, 1, 0), Point(1, 1, 0), Point(-2, 1, 0)}), p));
  EXPECT_FALSE(
      solver.RunNonMinimalData(Points({Point(0, 0, 1), Point(1, 1, 2), Point(2, 2, 3)}), p));
  EXPECT_FALSE(solver.RunNonMinimalData(Points({}), p));
  EXPECT_EQ(p.v[0], 7.0f) << "a failed solve must leave the plane alone";
}

TEST(PlaneData, NormalEquationsMatchFiniteDifferencesInEveryMode) {
  scene::PlaneScene s;
  s.Build(3, 60, 0.0f, 0.02f, false, 0.0f);
  fd::ExpectNormalEquationMatchesSSE(s.data3, Perturbed(s.plane));
  for (const u32 mode : {0u, 1u}) {
    s.data2.mode = mode;
    fd::ExpectNormalEquationMatchesSSE(s.data2, Perturbed(s.plane));
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
  Plane z{};
  z.v[2] = 1.0f;
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
  std::vector<u32> loose, tight, in;
  f64 error = 0.0;
  PlaneEstimator2D est(0.0f);
  PlaneDistanceThreshold.store(1.0f);
  est.VerifyModel(sc.data2, sc.plane, loose, error);
  PlaneDistanceThreshold.store(0.005f);
  est.VerifyModel(sc.data2, sc.plane, tight, error);
  ASSERT_NE(loose.size(), tight.size());
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) PlaneDistanceThreshold.store(i % 2 ? 1.0f : 0.005f);
  });
  int torn = 0;
  for (int t = 0; t < 2000; ++t) {
    est.VerifyModel(sc.data2, sc.plane, in, error);
    torn += in.size() != loose.size() && in.size() != tight.size();
  }
  stop.store(true);
  writer.join();
  PlaneDistanceThreshold.store(FLT_MAX);
  EXPECT_EQ(torn, 0);
}
