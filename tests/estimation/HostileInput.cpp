// Hostile input to the estimators, kept from the faults the fuzz harnesses
// found: non-finite and overflowing coordinates (the five-point SVD used to
// hang, normalisations overflowed into NaN models reported as success),
// order, bin and observation tables that name data that is not there, and
// plane fits on repeated or collinear points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/PlaneScene.h"
#include "common/ProjectiveScene.h"
#include "estimation/CameraEstimator.h"
#include "estimation/EssentialMatrixEstimator.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"
#include "estimation/PlaneEstimator.h"
#include "estimation/Point3DEstimator.h"
#include "estimation/SimilarityTransformationEstimator.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kHostile[] = {kNaN, kInf, -kInf, FLT_MAX, -FLT_MAX, 1e30f};

template <class Model>
bool AllFinite(const AlignedArray<Model>& models) {
  for (const Model& m : models)
    if (!IsFiniteModel(m)) return false;
  return true;
}

template <class Set>
void FillTwoView(Set& set, u32 seed, int n, bool pixels) {
  Random::Seed(seed);
  std::vector<scene::Match> m = scene::MakeScene(n).matches;
  if (pixels) m = scene::ToPixels(m);
  scene::FillSet(m, set);
}

void Spoil(MatchSet2D& set, u32 i, int coordinate, float value) {
  f32 m[4];
  set.GetMatch(i, m);
  m[coordinate] = value;
  set.SetMatch(i, m[0], m[1], m[2], m[3]);
}

TEST(HostileCoordinates, FivePointSolverReturnsAtOnceAndTheLoopStaysFinite) {
  for (const float bad : kHostile) {
    EssentialMatrixEstimatorData data;
    FillTwoView(data, 3, 40, false);
    EssentialMatrixEstimator estimator(1e-4f);
    FiveMatches2D sample;
    Random::Seed(1);
    estimator.GenerateMinimalSample(data, sample);
    sample.x1[1] = bad;
    AlignedArray<EssentialMatrix> models;
    if (estimator.SolveMinimal(sample, models)) {
      EXPECT_TRUE(AllFinite(models)) << bad;
    }
    // One spoilt match among forty exact ones: the loop still finds E.
    Spoil(data, 7, 2, bad);
    EssentialMatrix E{};
    std::vector<u16> inliers;
    estimator.maxIterations = 200;
    estimator.RunLoRansac(data, E, inliers);
    EXPECT_TRUE(IsFiniteModel(E)) << bad;
    EXPECT_GE(inliers.size(), 35u) << bad;
    EXPECT_FALSE(std::binary_search(inliers.begin(), inliers.end(), u16{7})) << bad;
  }
}

TEST(HostileCoordinates, HomographyFitsAndRefinementsNeverReturnNonFiniteModels) {
  for (const float bad : kHostile) {
    HomographyEstimatorData data;
    FillTwoView(data, 5, 30, true);
    HomographyEstimator estimator(1.0f);
    FourMatches2D sample;
    Random::Seed(2);
    estimator.GenerateMinimalSample(data, sample);
    AlignedArray<Homography> models;
    ASSERT_TRUE(estimator.SolveMinimal(sample, models));
    const Homography start = models[0];
    sample.y2[3] = bad;
    EXPECT_FALSE(estimator.SolveMinimal(sample, models) && !AllFinite(models)) << bad;
    Spoil(data, 4, 1, bad);
    if (estimator.SolveNonMinimal(static_cast<const HomographyEstimatorData&>(data), models)) {
      EXPECT_TRUE(AllFinite(models)) << bad;
    }
    // Refinement on all data: never a non-finite model; false on data that
    // is not finite, and the caller's model stays.
    Homography H = start;
    if (estimator.OptimizeOnAllData(data, H)) {
      EXPECT_TRUE(std::isfinite(bad) && IsFiniteModel(H)) << bad;
    } else {
      EXPECT_EQ(std::memcmp(&H, &start, sizeof(H)), 0) << bad;
    }
  }
}

TEST(HostileCoordinates, CameraRefinementOnAllDataKeepsThePoseOnNonFiniteData) {
  for (const float bad : kHostile) {
    Random::Seed(9);
    const scene::Pose pose = scene::RandomPose();
    CameraEstimatorData data;
    scene::Fill(scene::MakeMatches(pose, 40, 1.0f), data);
    CameraEstimator estimator(1e-5f);
    const Camera start = scene::ToCamera(pose);
    Camera refined = start;
    ASSERT_TRUE(estimator.OptimizeOnAllData(data, refined));
    EXPECT_TRUE(IsFiniteModel(refined));
    data.worldPoints[11].v[1] = bad;
    Camera C = start;
    if (estimator.OptimizeOnAllData(data, C)) {
      EXPECT_TRUE(std::isfinite(bad) && IsFiniteModel(C)) << bad;
    } else {
      EXPECT_EQ(std::memcmp(&C, &start, sizeof(C)), 0) << bad;
    }
  }
}

TEST(HostileCoordinates, TriangulationNeverReturnsANonFinitePoint) {
  Random::Seed(4);
  std::vector<Camera> poses;
  for (int i = 0; i < 3; ++i) poses.push_back(scene::ToCamera(scene::RandomPose()));
  for (const float bad : kHostile) {
    Point3DEstimatorData data;
    for (const Camera& C : poses) {
      data.cameras.push_back(&C);
      data.measurements.PushBack({C.m[0][3] / C.m[2][3], C.m[1][3] / C.m[2][3]}, 4);
    }
    data.measurements[1].x = bad;
    // Threshold 0 runs no verification: the prior-depth start used to come
    // back true with a NaN point.
    Point3DEstimator estimator(0.0f);
    const Point3D before = {{1.0f, 2.0f, 3.0f, 1.0f}};
    for (const f32 depth : {5.0f, FLT_MAX}) {
      Point3D point = before;
      EXPECT_FALSE(estimator.Triangulate(data, point, depth)) << bad << " at " << depth;
      EXPECT_EQ(std::memcmp(&point, &before, sizeof(point)), 0) << bad;
    }
    // The solver's in-front test wants a finite depth.
    Point3DSolver solver;
    Point3D p{};
    if (solver.RunNonMinimalData(data.cameras.data(), data.measurements.Data(), 3, p)) {
      EXPECT_TRUE(IsFiniteModel(p)) << bad;
    }
  }
}

TEST(CallerTables, OrderAndBinEntriesPastTheDataFailCleanly) {
  // Twelve items; the order names item 40.
  const std::vector<u16> order = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 40};
  EssentialMatrixEstimatorData e;
  FillTwoView(e, 1, 12, false);
  FiveMatches2D five{};
  EXPECT_FALSE(
      EssentialMatrixEstimator(1e-4f).GenerateMinimalSampleProsac(e, order, 12, true, five));
  FundamentalMatrixEstimatorData f;
  FillTwoView(f, 1, 12, true);
  FundamentalMatrixEstimator fundamental(1.0f);
  EightMatches2D eight;
  EXPECT_FALSE(fundamental.GenerateMinimalSampleProsac(f, order, 12, true, eight));
  std::vector<std::vector<u16>> bins(8);
  for (u16 i = 0; i < 8; ++i) bins[i] = {static_cast<u16>(i == 5 ? 300 : i)};
  EXPECT_FALSE(fundamental.GenerateMinimalSampleArsac(f, bins, eight));
  HomographyEstimatorData h;
  FillTwoView(h, 1, 12, true);
  FourMatches2D four{};
  EXPECT_FALSE(HomographyEstimator(1.0f).GenerateMinimalSampleProsac(h, order, 12, true, four));
  CameraEstimatorData c;
  Random::Seed(2);
  scene::Fill(scene::MakeMatches(scene::RandomPose(), 12, 0.0f), c);
  MatchSet3DTo2DN<6> six{};
  EXPECT_FALSE(CameraEstimator(1e-5f).GenerateMinimalSampleProsac(c, order, 12, true, six));
  scene::PlaneScene s;
  s.Build(1, 12, 0.0f, 0.0f);
  const std::vector<u32> planeOrder = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 4000000000u};
  PlaneEstimatorMinimalSample three{};
  EXPECT_FALSE(
      PlaneEstimator3D(0.1f).GenerateMinimalSampleProsac(s.data3, planeOrder, 12, true, three));
}

TEST(CallerTables, ObservationOffsetsThatRunBackwardsOrPastTheDataAreRefused) {
  scene::PlaneScene s;
  s.Build(2, 20, 0.0f, 0.0f);
  SimilarityTransformationEstimatorData2D data;
  data.sources = s.data2.points;
  data.targets = s.data2.points;
  data.cameras = s.data2.cameras;
  data.measurements = s.data2.measurements;
  std::vector<u32> all(20);
  for (u32 k = 0; k < 20; ++k) all[k] = k;
  SimilarityTransformationEstimatorData2D subset;
  for (const bool backwards : {true, false}) {
    data.offsets = s.data2.offsets;
    // Backwards offsets used to size a 34 GB copy; offsets past the
    // observations made it write past the end.
    if (backwards) {
      data.offsets[5] = data.offsets[4] - 1;
    } else {
      data.offsets[19] = 1000;
    }
    EXPECT_FALSE(CopyGroupedSubset(data, all, subset));
    EXPECT_EQ(subset.Size(), 0u);
    EXPECT_TRUE(subset.IsConsistent());
    SimilarityTransformationEstimator2D estimator(1e-3f);
    SimilarityTransformation3D T{};
    std::vector<u32> inliers;
    estimator.RunLoRansac(data, T, inliers);
    EXPECT_TRUE(inliers.empty());
  }
  data.offsets = s.data2.offsets;
  ASSERT_TRUE(CopyGroupedSubset(data, {3, 1}, subset));
  EXPECT_EQ(subset.ObservationCount(), 2 * 3u);
  EXPECT_FALSE(CopyGroupedSubset(data, {3, 20}, subset)) << "point 20 does not exist";

  // The plane data measures a point whose range is bad as unobserved.
  PlaneEstimatorData2D& plane = s.data2;
  plane.offsets[7] = 100000;
  u32 first = 0, count = 0;
  plane.ObservationRange(6, first, count);
  EXPECT_EQ(count, 0u);
  plane.ObservationRange(8, first, count);
  EXPECT_EQ(count, 3u);
  PlaneEstimator2D estimator(1e-4f);
  Plane p{};
  std::vector<u32> inliers;
  estimator.RunLoRansac(plane, p, inliers);
  EXPECT_TRUE(IsFiniteModel(p));
}

TEST(PlaneSolver, DegeneracyIsJudgedAgainstThePointsSpread) {
  PlaneSolver solver;
  AlignedArray<LA::AlignedVector4f> work;
  const auto sample = [](const LA::AlignedVector4f& a, const LA::AlignedVector4f& b,
                         const LA::AlignedVector4f& c) {
    PlaneEstimatorMinimalSample s;
    s.points[0] = a, s.points[1] = b, s.points[2] = c;
    return s;
  };
  using scene::Point;
  Plane p{};
  p.v[0] = 7.0f;
  // Collinear, but the float cross product rounds to non-zero.
  EXPECT_FALSE(solver.RunMinimalSample(
      sample(Point(0.1f, 0.2f, 0.3f), Point(0.2f, 0.4f, 0.6f), Point(0.3f, 0.6f, 0.9f)), p, work));
  PlaneEstimatorData3D data;
  data.points.Resize(30);
  for (LA::AlignedVector4f& X : data.points) X = Point(0.3f, 1.7f, 2.9f);
  EXPECT_FALSE(solver.RunNonMinimalData(data, p)) << "thirty copies of one point";
  for (u32 k = 0; k < 30; ++k) data.points[k] = Point(0.1f * k, 1.0f + 0.2f * k, 2.0f - 0.3f * k);
  EXPECT_FALSE(solver.RunNonMinimalData(data, p)) << "thirty points on one line";
  EXPECT_EQ(p.v[0], 7.0f);
  // A tiny but well-shaped triangle and cloud still fit.
  ASSERT_TRUE(solver.RunMinimalSample(
      sample(Point(1e-3f, 0, 1), Point(0, 1e-3f, 1), Point(1e-3f, 1e-3f, 1)), p, work));
  EXPECT_NEAR(std::fabs(p.v[2]), 1.0f, 1e-6f);
  for (u32 k = 0; k < 30; ++k) data.points[k] = Point(1e-3f * (k % 5), 1e-3f * (k / 5), 1.0f);
  ASSERT_TRUE(solver.RunNonMinimalData(data, p));
  EXPECT_NEAR(std::fabs(p.v[2]), 1.0f, 1e-4f);
  EXPECT_NEAR(std::fabs(p.v[3]), 1.0f, 1e-4f);
}

TEST(HostileParameters, NegativeOrNaNInlierRatiosAskForNoInliers) {
  scene::PlaneScene s;
  s.Build(3, 60, 0.2f, 0.01f);
  for (const float ratio : {-0.5f, -1e30f, kNaN, 1e30f}) {
    PlaneEstimator3D estimator(0.05f);
    estimator.minInlierRatio = ratio;
    estimator.loSampleRatio = ratio;
    Plane p{};
    std::vector<u32> inliers;
    estimator.RunLoRansac(s.data3, p, inliers);
    EXPECT_TRUE(IsFiniteModel(p)) << ratio;
    if (!(ratio > 1.0f)) {
      EXPECT_GE(inliers.size(), 40u) << ratio;
    }
  }
}

}  // namespace
