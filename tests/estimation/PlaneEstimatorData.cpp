// Plane data classes: normal equations against finite differences through
// the renormalising update in every mode, and subsets with empty ranges.
#include "estimation/PlaneEstimatorData.h"

#include <gtest/gtest.h>

#include <cmath>

#include "FiniteDifference.h"
#include "PlaneScene.h"
#include "estimation/OptimizerTemplate.h"

namespace {

using PlaneOptimizer = OptimizerTemplate<Plane, LA::AlignedVector4f, LA::AlignedMatrix4f>;

Plane Perturbed(const Plane& p) {
  Plane q = p;
  q.v[0] += 0.05f;
  q.v[1] -= 0.04f;
  q.v[3] += 0.1f;
  const f32 l = std::sqrt(q.v[0] * q.v[0] + q.v[1] * q.v[1] + q.v[2] * q.v[2]);
  for (int i = 0; i < 3; ++i) q.v[i] /= l;
  return q;
}

class PlaneDataTest : public ::testing::Test {
 protected:
  void SetUp() override { s.Build(3, 60, 0.0f, 0.02f, false, 0.0f); }
  scene::PlaneScene s;
};

}  // namespace

TEST_F(PlaneDataTest, NormalEquationsMatchFiniteDifferencesInEveryMode) {
  fd::ExpectNormalEquationMatchesSSE(s.data3, Perturbed(s.plane));
  for (const u32 mode : {0u, 1u}) {
    s.data2.mode = mode;
    fd::ExpectNormalEquationMatchesSSE(s.data2, Perturbed(s.plane));
  }
  // At zero residual A is half the Hessian. Small steps: the renormalisation
  // of n is strongly curved along the weakly determined normal component.
  scene::PlaneScene exact;
  exact.Build(4, 40, 0.0f, 0.0f);
  fd::ExpectGaussNewtonHessianAtZeroResidual(exact.data3, exact.plane, {2e-3, 5e-3, 1e-6});
  fd::ExpectGaussNewtonHessianAtZeroResidual(exact.data2, exact.plane, {2e-3, 5e-3, 1e-6});
  // With noise only along the normal, points moved onto the true plane
  // reproject exactly onto their observations.
  exact.Build(8, 60, 0.0f, 0.05f, true);
  EXPECT_LT(exact.data2.ComputeSSE(exact.plane), 1e-9);
}

TEST_F(PlaneDataTest, SubsetCarriesObservationsInListOrder) {
  s.data2.mseFactor = 3.0f;
  s.data2.mode = 0;
  // Point 7 loses its observations: subsets must cope with empty ranges.
  PlaneEstimatorData2D source;
  PlaneEstimatorData2D::GetSubset(s.data2, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, source);
  source.offsets[8] = source.offsets[7];
  const std::vector<u32> list = {9, 2, 7, 4};
  PlaneEstimatorData2D subset;
  PlaneEstimatorData2D::GetSubset(source, list, subset);
  EXPECT_EQ(subset.mseFactor, 3.0f);
  ASSERT_EQ(subset.points.Size(), 4u);
  ASSERT_EQ(subset.offsets.size(), 5u);
  EXPECT_EQ(subset.offsets.back(), subset.measurements.Size());
  EXPECT_EQ(subset.cameras.size(), subset.measurements.Size());
  u32 o = 0;
  for (u32 i = 0; i < list.size(); ++i) {
    const u32 k = list[i];
    EXPECT_EQ(subset.points[i].v[0], source.points[k].v[0]);
    EXPECT_EQ(subset.offsets[i], o);
    for (u32 j = source.offsets[k]; j < source.offsets[k + 1]; ++j, ++o) {
      EXPECT_EQ(subset.cameras[o], source.cameras[j]);
      EXPECT_EQ(subset.measurements[o].x, source.measurements[j].x);
    }
  }
  EXPECT_EQ(subset.offsets[3] - subset.offsets[2], 0u);
  // The subset's SSE is the sum of the listed points' terms.
  const Plane p = Perturbed(s.plane);
  EXPECT_GT(subset.ComputeSSE(p), 0.0);
  PlaneEstimatorData2D single;
  f64 sum = 0.0;
  for (const u32 k : list) {
    PlaneEstimatorData2D::GetSubset(source, {k}, single);
    sum += single.ComputeSSE(p);
  }
  EXPECT_NEAR(subset.ComputeSSE(p), sum, 1e-9 + 1e-6 * sum);
}
