// Plane estimators: inclusive and strict thresholds with required points,
// image-mode verification, and the distance bound written by another thread.
#include "estimation/PlaneEstimator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <set>
#include <thread>

#include "PlaneScene.h"

namespace {

// z = 0 plane and points at the given heights.
PlaneEstimatorData3D Heights(std::initializer_list<f32> zs) {
  PlaneEstimatorData3D d;
  d.points.Resize(static_cast<u32>(zs.size()));
  u32 i = 0;
  for (const f32 z : zs) {
    d.points[i] = scene::Point(0.5f * static_cast<f32>(i), 1.0f, z);
    ++i;
  }
  return d;
}

Plane ZPlane(f32 d = 0.0f) {
  Plane p;
  p.v[0] = 0.0f;
  p.v[1] = 0.0f;
  p.v[2] = 1.0f;
  p.v[3] = d;
  return p;
}

struct DistanceBound {
  explicit DistanceBound(f32 v) { PlaneDistanceThreshold.store(v); }
  ~DistanceBound() { PlaneDistanceThreshold.store(FLT_MAX); }
};

}  // namespace

TEST(PlaneEstimator3D, ThresholdIsInclusivePlainAndStrictConstrained) {
  PlaneEstimator3D est(0.25f);
  const PlaneEstimatorData3D d = Heights({0.0f, 0.25f, -0.25f, 0.5f, 0.1f});
  std::vector<u32> in;
  f64 error = -1.0;
  est.VerifyModel(d, ZPlane(), in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 1, 2, 4}));
  EXPECT_DOUBLE_EQ(error, 0.25 + 0.25 + static_cast<f64>(0.1f));
  BitMask none(5);
  est.VerifyModelConstrained(d, ZPlane(), none, in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 4}));
  // A required point on the threshold rejects the model.
  BitMask required(5);
  required.Set(1);
  est.VerifyModelConstrained(d, ZPlane(), required, in, error);
  EXPECT_TRUE(in.empty());
  EXPECT_EQ(error, 0.0);
  // A required point that passes keeps it.
  BitMask kept(5);
  kept.Set(4);
  est.VerifyModelConstrained(d, ZPlane(), kept, in, error);
  EXPECT_EQ(in, (std::vector<u32>{0, 4}));
}

TEST(PlaneEstimator2D, ImageModeNeedsObservationsAndTheDistanceBound) {
  scene::PlaneScene sc;
  sc.Build(6, 50, 0.3f, 0.01f, true, 0.0005f);
  PlaneEstimator2D est(1e-5f);
  std::vector<u32> in;
  f64 error = 0.0;
  {
    DistanceBound bound(FLT_MAX);
    est.VerifyModel(sc.data2, sc.plane, in, error);
    // Every outlier is off the plane by 0.1 or more: moved onto it, it no
    // longer reprojects onto its own observations.
    for (const u32 k : in) EXPECT_TRUE(sc.inlier[k]) << k;
    EXPECT_GE(in.size(), 33u);
  }
  {
    DistanceBound bound(0.0f);
    est.VerifyModel(sc.data2, sc.plane, in, error);
    EXPECT_TRUE(in.empty()) << "a bound of 0 rejects everything (strict)";
  }
  // A point without observations: S = 0 and 0 > 0 fails.
  PlaneEstimatorData2D d = sc.data2;
  u32 first = 0;
  while (!sc.inlier[first]) ++first;
  for (u32 i = first + 1; i < d.offsets.size(); ++i) d.offsets[i] -= 3;
  d.cameras.erase(d.cameras.begin() + d.offsets[first], d.cameras.begin() + d.offsets[first] + 3);
  for (u32 o = d.offsets[first]; o + 3 < d.measurements.Size(); ++o)
    d.measurements[o] = d.measurements[o + 3];
  d.measurements.Resize(d.measurements.Size() - 3);
  est.VerifyModel(d, sc.plane, in, error);
  EXPECT_TRUE(std::find(in.begin(), in.end(), first) == in.end());
  EXPECT_FALSE(in.empty());
}

TEST(PlaneEstimator2D, DistanceBoundWrittenWhileVerificationsRun) {
  // One thread flips the bound between two values while another verifies:
  // every verification must see one of the two, never a torn value.
  scene::PlaneScene sc;
  sc.Build(6, 200, 0.0f, 0.01f, true);
  sc.data2.mode = 1;
  std::vector<u32> loose, tight;
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
  PlaneEstimator2D reader(0.0f);
  std::vector<u32> in;
  for (int t = 0; t < 2000; ++t) {
    reader.VerifyModel(sc.data2, sc.plane, in, error);
    ASSERT_TRUE(in.size() == loose.size() || in.size() == tight.size()) << in.size();
  }
  stop.store(true);
  writer.join();
  PlaneDistanceThreshold.store(FLT_MAX);
}
