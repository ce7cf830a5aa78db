// Plane through three points and the least-squares plane.
#include "estimation/PlaneSolver.h"

#include <gtest/gtest.h>

#include <cmath>

#include "PlaneScene.h"

namespace {

PlaneEstimatorMinimalSample Sample(const LA::AlignedVector4f& a, const LA::AlignedVector4f& b,
                                   const LA::AlignedVector4f& c) {
  PlaneEstimatorMinimalSample s;
  s.points[0] = a;
  s.points[1] = b;
  s.points[2] = c;
  return s;
}

f32 Distance(const Plane& p, const LA::AlignedVector4f& X) {
  return p.v[0] * X.v[0] + p.v[1] * X.v[1] + p.v[2] * X.v[2] + p.v[3];
}

}  // namespace

TEST(PlaneSolver, ThreePointsDegenerateCasesFail) {
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  Plane p{};
  p.v[0] = 7.0f;
  using scene::Point;
  EXPECT_FALSE(
      solver.RunMinimalSample(Sample(Point(0, 0, 0), Point(1, 1, 1), Point(2, 2, 2)), p, work));
  EXPECT_FALSE(
      solver.RunMinimalSample(Sample(Point(1, 2, 3), Point(1, 2, 3), Point(0, 5, 1)), p, work));
  EXPECT_EQ(p.v[0], 7.0f) << "a failed solve must leave the plane alone";
}

TEST(PlaneSolver, ThreePointsGiveAUnitNormalThatFollowsTheirOrder) {
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  const auto a = scene::Point(1.0f, 0.5f, 2.0f), b = scene::Point(-1.0f, 2.0f, 2.5f),
             c = scene::Point(0.3f, -1.0f, 1.0f);
  Plane p, q;
  ASSERT_TRUE(solver.RunMinimalSample(Sample(a, b, c), p, work));
  ASSERT_TRUE(solver.RunMinimalSample(Sample(b, a, c), q, work));
  EXPECT_NEAR(p.v[0] * p.v[0] + p.v[1] * p.v[1] + p.v[2] * p.v[2], 1.0f, 1e-6f);
  for (const auto& X : {a, b, c}) EXPECT_NEAR(Distance(p, X), 0.0f, 1e-6f);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(q.v[i], -p.v[i], 1e-6f) << "swap must flip the plane";
  // (p1 - p0) x (p2 - p1) for the axis points gives +z.
  ASSERT_TRUE(solver.RunMinimalSample(
      Sample(scene::Point(0, 0, 1), scene::Point(1, 0, 1), scene::Point(1, 1, 1)), p, work));
  EXPECT_FLOAT_EQ(p.v[2], 1.0f);
  EXPECT_FLOAT_EQ(p.v[3], -1.0f);
}

TEST(PlaneSolver, LeastSquaresFailsCleanlyOnDegenerateInput) {
  PlaneSolver solver;
  PlaneEstimatorData3D data;
  Plane p{};
  // Through the origin: a . X + 1 = 0 has no solution.
  data.points.Resize(4);
  data.points[0] = scene::Point(1, 0, 0);
  data.points[1] = scene::Point(0, 1, 0);
  data.points[2] = scene::Point(1, 1, 0);
  data.points[3] = scene::Point(-2, 1, 0);
  EXPECT_FALSE(solver.RunNonMinimalData(data, p));
  // Collinear points and an empty set.
  data.points.Resize(3);
  data.points[0] = scene::Point(0, 0, 1);
  data.points[1] = scene::Point(1, 1, 2);
  data.points[2] = scene::Point(2, 2, 3);
  EXPECT_FALSE(solver.RunNonMinimalData(data, p));
  data.points.Resize(0);
  EXPECT_FALSE(solver.RunNonMinimalData(data, p));
}

TEST(PlaneSolver, LeastSquaresPlaneOfNoisyPoints) {
  scene::PlaneScene s;
  s.Build(2, 500, 0.0f, 0.01f);
  PlaneSolver solver;
  Plane p;
  ASSERT_TRUE(solver.RunNonMinimalData(s.data3, p));
  EXPECT_LT(scene::AngleDegrees(p, s.plane), 0.5);
  // a . X + 1 = 0 puts the origin on the positive side: the scene plane has
  // d = -1, so the fit comes back with the opposite orientation.
  EXPECT_NEAR(p.v[3], 1.0f, 0.02f);
}
