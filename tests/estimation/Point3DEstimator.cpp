// Triangulation: two-view and N-view known answers, the rays, baseline,
// inlier error and normal equations of known views, depth judged per camera
// and per observation, the refined prior-depth start, empty and non-finite
// data.
#include "estimation/Point3DEstimator.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <deque>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/Point3DSolver.h"

using namespace scene;

namespace {

// Observations of X from n random cameras, pixel noise sigma.
struct Views {
  Views(const Eigen::Vector3f& X, int n, float noisePixels) {
    for (int i = 0; i < n; ++i) Add(RandomPose(), X, noisePixels);
  }
  void Add(const Pose& pose, const Eigen::Vector3f& X, float noisePixels) {
    const Eigen::Vector3f c = pose.Apply(X);
    const float s = noisePixels / kFocal;
    poses.push_back(ToCamera(pose));
    data.cameras.push_back(&poses.back());
    data.measurements.PushBack({c.x() / c.z() + s * Gaussian(), c.y() / c.z() + s * Gaussian()},
                               64);
  }
  Point3DEstimatorMinimalSample Pair(int a, int b) const {
    return {{data.cameras[a], data.cameras[b]}, {&data.measurements[a], &data.measurements[b]}};
  }
  // N-view triangulation of the first n observations.
  bool Solve(u32 n, Point3D& p) const {
    return Point3DSolver().RunNonMinimalData(data.cameras.data(), data.measurements.Data(), n, p);
  }
  static Eigen::Vector3f Vec(const Point3D& p) { return {p.v[0], p.v[1], p.v[2]}; }
  std::deque<Camera> poses;  // stable addresses
  Point3DEstimatorData data;
};

}  // namespace

// Rays point from each camera centre to the point, the baseline is the
// widest pair of centres, A is half the Hessian at zero residual, and the
// inlier SSE of the true point is the squared offset of the one observation
// moved off it; the weighted normal equations match finite differences; a
// view from behind gives no solution and no inlier.
TEST(Point3DSolver, KnownViewsGiveThePointRaysBaselineAndNormalEquations) {
  Random::Seed(8);
  const Eigen::Vector3f X(0.2f, -0.3f, 0.5f);
  const Point3D truth = {{X.x(), X.y(), X.z(), 1.0f}};
  Views views(X, 5, 0.0f);
  Point3D p{};
  for (int pair = 0; pair < 20; ++pair) {  // every ordered pair of views
    ASSERT_TRUE(
        Point3DSolver().RunMinimalSample(views.Pair(pair / 4, (pair / 4 + 1 + pair % 4) % 5), p));
    EXPECT_TRUE((Views::Vec(p) - X).norm() < 1e-3f && p.v[3] == 1.0f) << pair;
  }
  ASSERT_TRUE(views.Solve(5, p));
  EXPECT_LT((Views::Vec(p) - X).norm(), 1e-4f);
  fd::ExpectGaussNewtonHessianAtZeroResidual(views.data, truth);
  views.data.ComputeRays();
  views.data.centres.Resize(5);
  std::vector<Eigen::Vector3f> centres;
  float widest = 0.0f;
  for (u32 i = 0; i < 5; ++i) {
    const Pose pose = FromCamera(views.poses[i]);
    centres.push_back(-(pose.R.transpose() * pose.t));
    views.data.centres[i] = {{centres[i].x(), centres[i].y(), centres[i].z(), 1.0f}};
    const Eigen::Vector3f d = (X - centres[i]).normalized();
    const LA::AlignedVector4f& r = views.data.rays[i];
    EXPECT_NEAR(r.v[0] * d.x() + r.v[1] * d.y() + r.v[2] * d.z(), 1.0f, 1e-5f) << i;
    for (u32 j = 0; j < i; ++j) widest = std::max(widest, (centres[i] - centres[j]).norm());
  }
  EXPECT_NEAR(views.data.ComputeMaxBaseline(), widest, 1e-5f);
  views.data.measurements[3].x += 0.01f;
  views.data.measurements[3].y += 0.002f;
  BitMask mask(5);
  mask.Set(3);
  f64 sse = -1.0;
  Point3DEstimator(0.0f).ComputeInlierSSE(views.data, truth, mask, sse);
  EXPECT_NEAR(sse, 1.04e-4, 1e-6);
  for (const f32 w : {0.5f, 1.5f, 2.5f, 3.5f, 4.5f}) {
    views.data.weights.PushBack(w, 8);
    views.data.squaredWeights.PushBack(w * w, 8);
  }
  fd::ExpectNormalEquationMatchesSSE(views.data, Point3D{{0.22f, -0.32f, 0.53f, 1.0f}});

  // View 5 is [-R | -t] of view 0: the same image point at negative depth.
  // The solvers want the point in front of every camera, and verification
  // takes each observation by its own depth.
  Pose behind = FromCamera(views.poses[0]);
  behind.R = -behind.R, behind.t = -behind.t;
  views.Add(behind, X, 0.0f);
  p.v[0] = 123.0f;
  EXPECT_FALSE(Point3DSolver().RunMinimalSample(views.Pair(5, 2), p));
  EXPECT_FALSE(Point3DSolver().RunMinimalSample(views.Pair(2, 5), p));
  EXPECT_TRUE(!views.Solve(6, p) && !views.Solve(0, p) && p.v[0] == 123.0f) << "no views";
  Point3DEstimator estimator(0.0f);
  estimator.threshold = 1e-6f;
  std::vector<u16> inliers;
  estimator.VerifyModel(views.data, truth, inliers, sse);
  EXPECT_EQ(inliers, (std::vector<u16>{0, 1, 2, 4})) << "3 was moved off, 5 is behind";
}

TEST(Point3DEstimator, PriorDepthStartConvergesSilentlyEmptyOrNonFiniteDataFail) {
  Random::Seed(33);
  Point3DEstimator estimator(0.0f);
  estimator.threshold = 9.0f / (kFocal * kFocal);
  const Eigen::Vector3f X(0.2f, -0.1f, 0.3f);
  Point3D p{};
  // Four views with a start 20 % too far are refined silently onto the
  // point; one view: the prior depth alone puts it on its ray.
  for (const u32 n : {4u, 1u}) {
    Views views(X, n, 0.0f);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(estimator.Triangulate(
        views.data, p, (n == 1 ? 1.0f : 1.2f) * FromCamera(views.poses[0]).Apply(X).z()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the refinement runs silently";
    EXPECT_LT((Views::Vec(p) - X).norm(), 1e-4f) << n;
    EXPECT_EQ(estimator.inliers.size(), n);
  }
  // Without observations nothing is read and the point stays.
  Point3DEstimatorData empty;
  p = {{1, 2, 3, 1}};
  for (const f32 depth : {FLT_MAX, 2.0f}) EXPECT_FALSE(estimator.Triangulate(empty, p, depth));
  EXPECT_TRUE(!estimator.RefinePoint(empty, p) && p.v[0] == 1.0f);
  // A non-finite observation: threshold 0 runs no verification, and the
  // prior-depth start used to come back true with a NaN point.
  Point3DEstimator plain(0.0f);
  for (const float bad : {NAN, INFINITY, -INFINITY, FLT_MAX, -FLT_MAX, 1e30f}) {
    Random::Seed(4);
    Views spoilt(Eigen::Vector3f::Zero(), 3, 0.0f);
    spoilt.data.measurements[1].x = bad;
    const Point3D before = {{1.0f, 2.0f, 3.0f, 1.0f}};
    for (const f32 depth : {5.0f, FLT_MAX}) {
      Point3D point = before;
      EXPECT_TRUE(!plain.Triangulate(spoilt.data, point, depth) &&
                  std::memcmp(&point, &before, sizeof(point)) == 0)
          << bad << " at " << depth;
    }
    // The solver's in-front test wants a finite depth.
    EXPECT_TRUE(!spoilt.Solve(3, p) || IsFiniteModel(p)) << bad;
  }
}
