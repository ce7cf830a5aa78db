// Linear triangulation: two-view and N-view known answers, the depth tests,
// and singular inputs.
#include "estimation/Point3DSolver.h"

#include <gtest/gtest.h>

#include <vector>

#include "SyntheticScene.h"

using namespace synthetic;

namespace {

struct View {
  Camera camera;
  LA::Vector2<float> x;
};

View Observe(const Pose& pose, const Eigen::Vector3f& X, float noise = 0.0f) {
  const Eigen::Vector3f c = pose.Apply(X);
  return {ToCamera(pose), {c.x() / c.z() + noise * Gaussian(), c.y() / c.z() + noise * Gaussian()}};
}

}  // namespace

TEST(Point3DSolver, TwoViewsGiveBackThePoint) {
  Point3DSolver solver;
  Random::Seed(1);
  for (int trial = 0; trial < 200; ++trial) {
    const Pose a = RandomPose(), b = RandomPose();
    const Eigen::Vector3f X(Uniform(), Uniform(), Uniform());
    const View va = Observe(a, X), vb = Observe(b, X);
    const Point3DEstimatorMinimalSample sample = {{&va.camera, &vb.camera}, {&va.x, &vb.x}};
    Point3D p;
    ASSERT_TRUE(solver.RunMinimalSample(sample, p)) << trial;
    EXPECT_LT((Eigen::Vector3f(p.v[0], p.v[1], p.v[2]) - X).norm(), 1e-3f) << trial;
    EXPECT_EQ(p.v[3], 1.0f);
  }
}

TEST(Point3DSolver, NViewsOfANoisyPointLandNearIt) {
  Point3DSolver solver;
  Random::Seed(2);
  std::vector<View> views;
  std::vector<const LA::AlignedMatrix3f*> cameras;
  std::vector<LA::Vector2<float>> xs;
  const Eigen::Vector3f X(0.3f, -0.2f, 0.4f);
  for (int i = 0; i < 10; ++i) views.push_back(Observe(RandomPose(), X, 1.0f / kFocal));
  for (const View& v : views) cameras.push_back(&v.camera), xs.push_back(v.x);
  Point3D p;
  ASSERT_TRUE(solver.RunNonMinimalData(cameras.data(), xs.data(), 10, p));
  EXPECT_LT((Eigen::Vector3f(p.v[0], p.v[1], p.v[2]) - X).norm(), 0.02f);
  EXPECT_FALSE(solver.RunNonMinimalData(cameras.data(), xs.data(), 0, p));
}

TEST(Point3DSolver, APointBehindACameraOrASingleViewFails) {
  Point3DSolver solver;
  // Camera a looks along +z from the origin, camera b along -z from z = 10;
  // the point at z = -2 is in front of b only.
  Pose a, b;
  a.R.setIdentity();
  a.t.setZero();
  b.R = Eigen::AngleAxisf(3.14159265f, Eigen::Vector3f::UnitY()).toRotationMatrix();
  b.t = Eigen::Vector3f(0.0f, 0.0f, 10.0f);
  const Eigen::Vector3f X(0.5f, 0.2f, -2.0f);
  ASSERT_GT(b.Apply(X).z(), 0.0f);
  const View va = Observe(a, X), vb = Observe(b, X);
  Point3D p;
  p.v[0] = 123.0f;
  Point3DEstimatorMinimalSample sample = {{&va.camera, &vb.camera}, {&va.x, &vb.x}};
  EXPECT_FALSE(solver.RunMinimalSample(sample, p));
  // Seen from b first, the same pair still fails: every camera must see it in front.
  sample = {{&vb.camera, &va.camera}, {&vb.x, &va.x}};
  EXPECT_FALSE(solver.RunMinimalSample(sample, p));
  // One view twice is singular.
  sample = {{&va.camera, &va.camera}, {&va.x, &va.x}};
  EXPECT_FALSE(solver.RunMinimalSample(sample, p));
  EXPECT_EQ(p.v[0], 123.0f);
}
