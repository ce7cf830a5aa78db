// Hostile input to the estimators, from faults the fuzz harnesses found:
// non-finite coordinates (the five-point SVD used to hang, normalisations
// overflowed into NaN models reported as success), tables naming data that is
// not there, share parameters that are not numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "common/PlaneScene.h"
#include "common/ProjectiveScene.h"
#include "estimation/CameraEstimator.h"
#include "estimation/EssentialMatrixEstimator.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"
#include "estimation/PlaneEstimator.h"
#include "estimation/SimilarityTransformationEstimator.h"

namespace {

// False when a solve reports success with a model that is not finite.
template <class Model>
bool NoFalseSuccess(bool solved, const AlignedArray<Model>& models) {
  return !solved ||
         std::all_of(models.begin(), models.end(), [](auto& m) { return IsFiniteModel(m); });
}

template <class Set>
Set TwoView(u32 seed, int n, bool pixels, u32 spoilt = 0, float bad = 0.0f) {
  Random::Seed(seed);
  std::vector<scene::Match> m = scene::MakeScene(n).matches;
  if (pixels) m = scene::ToPixels(m);
  if (spoilt) m[spoilt].y1 = bad;
  Set set;
  scene::FillSet(m, set);
  return set;
}

// Refinement on all data spoilt by `bad`: a finite model, or false with the
// caller's model kept bit for bit (always false when `bad` is not finite).
template <class Estimator, class Data, class Model>
void ExpectRefinedOrKept(Estimator& estimator, const Data& data, const Model& start, float bad) {
  Model m = start;
  const bool refined = estimator.OptimizeOnAllData(data, m);
  EXPECT_TRUE(refined ? std::isfinite(bad) && IsFiniteModel(m)
                      : std::memcmp(&m, &start, sizeof(m)) == 0)
      << bad;
}

}  // namespace

TEST(HostileCoordinates, FitsAndRefinementsNeverReturnNonFiniteModels) {
  for (const float bad : {NAN, INFINITY, -INFINITY, FLT_MAX, -FLT_MAX, 1e30f}) {
    // One spoilt five-point coordinate returns at once; one spoilt match
    // among forty exact ones leaves the loop finding E.
    const auto e = TwoView<EssentialMatrixEstimatorData>(3, 40, false, 7, bad);
    EssentialMatrixEstimator essential(1e-4f);
    FiveMatches2D five;
    essential.GenerateMinimalSample(e, five);
    five.x1[1] = bad;
    AlignedArray<EssentialMatrix> Es;
    EXPECT_TRUE(NoFalseSuccess(essential.SolveMinimal(five, Es), Es)) << bad;
    EssentialMatrix E{};
    std::vector<u16> inliers;
    essential.maxIterations = 200;
    essential.RunLoRansac(e, E, inliers);
    EXPECT_TRUE(IsFiniteModel(E)) << bad;
    EXPECT_GE(inliers.size(), 35u) << bad;
    EXPECT_FALSE(std::binary_search(inliers.begin(), inliers.end(), u16{7})) << bad;

    const auto h = TwoView<HomographyEstimatorData>(5, 30, true, 4, bad);
    HomographyEstimator homography(1.0f);
    FourMatches2D four;
    homography.GenerateMinimalSample(h, four);
    four.y2[3] = bad;
    AlignedArray<Homography> Hs;
    EXPECT_TRUE(NoFalseSuccess(homography.SolveMinimal(four, Hs), Hs)) << bad;
    EXPECT_TRUE(NoFalseSuccess(homography.SolveNonMinimal(std::as_const(h), Hs), Hs)) << bad;
    ExpectRefinedOrKept(homography, h, FromEigen<Homography>(Eigen::Matrix3d::Identity()), bad);

    const scene::Pose pose = scene::RandomPose();
    CameraEstimatorData points;
    scene::Fill(scene::MakeMatches(pose, 40, 1.0f), points);
    points.worldPoints[11].v[1] = bad;
    CameraEstimator camera(1e-5f);
    ExpectRefinedOrKept(camera, points, scene::ToCamera(pose), bad);
  }
  for (int i = 0; i < 4; ++i) {  // a model is finite only when every entry it uses is
    Plane p = {{0.0f, 0.0f, 1.0f, 1.0f}};
    Point3D X = {{1.0f, 2.0f, 3.0f, 1.0f}};
    p.v[i] = X.v[i] = NAN;
    EXPECT_TRUE(!IsFiniteModel(p) && IsFiniteModel(X) == (i == 3)) << i;
  }
}

// Order, bin and observation-offset entries past the data (or running
// backwards) fail cleanly, and so do share parameters that are not numbers.
TEST(CallerTables, EntriesPastTheDataAndRatiosThatAreNotNumbersFailCleanly) {
  // Twelve items; the order names item 40 (4e9 for the plane), a bin item 300.
  const std::vector<u16> order = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 40};
  const auto refused = [](auto&& estimator, const auto& data, const auto& order, auto sample,
                          u32 n = 12) {
    return !estimator.GenerateMinimalSampleProsac(data, order, n, true, sample);
  };
  const auto f = TwoView<FundamentalMatrixEstimatorData>(1, 12, true);
  EXPECT_TRUE(refused(EssentialMatrixEstimator(0.1f),
                      TwoView<EssentialMatrixEstimatorData>(1, 12, false), order, FiveMatches2D{}));
  EXPECT_TRUE(refused(FundamentalMatrixEstimator(1.0f), f, order, EightMatches2D{}));
  EXPECT_TRUE(refused(FundamentalMatrixEstimator(1.0f), f, order, EightMatches2D{}, 7));
  EXPECT_TRUE(refused(HomographyEstimator(1.0f), TwoView<HomographyEstimatorData>(1, 12, true),
                      order, FourMatches2D{}));
  CameraEstimatorData c;
  scene::Fill(scene::MakeMatches(scene::RandomPose(), 12, 0.0f), c);
  EXPECT_TRUE(refused(CameraEstimator(1e-5f), c, order, MatchSet3DTo2DN<6>{}));
  scene::PlaneScene s;
  s.Build(1, 12, 0.0f, 0.0f);
  const std::vector<u32> planeOrder = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 4000000000u};
  EXPECT_TRUE(refused(PlaneEstimator3D(0.1f), s.data3, planeOrder, PlaneEstimatorMinimalSample{}));
  std::vector<std::vector<u16>> bins(8);
  for (u16 i = 0; i < 8; ++i) bins[i] = {static_cast<u16>(i == 5 ? 300 : i)};
  EightMatches2D eight;
  EXPECT_FALSE(FundamentalMatrixEstimator(1.0f).GenerateMinimalSampleArsac(f, bins, eight));

  s.Build(2, 20, 0.0f, 0.0f);
  SimilarityTransformationEstimatorData2D data, subset;
  data.sources = data.targets = s.data2.points;
  data.cameras = s.data2.cameras;
  data.measurements = s.data2.measurements;
  std::vector<u32> all(20);
  std::iota(all.begin(), all.end(), 0u);
  // Backwards offsets used to size a 34 GB copy; offsets past the
  // observations made it write past the end.
  SimilarityTransformationEstimator2D similarity(1e-3f);
  SimilarityTransformation3D T{};
  std::vector<u32> inliers;
  for (const bool backwards : {true, false}) {
    data.offsets = s.data2.offsets;
    data.offsets[backwards ? 5 : 19] = backwards ? data.offsets[4] - 1 : 1000;
    EXPECT_FALSE(CopyGroupedSubset(data, all, subset));
    EXPECT_TRUE(subset.Size() == 0 && subset.IsConsistent());
    similarity.RunLoRansac(data, T, inliers);
    EXPECT_TRUE(inliers.empty());
  }
  data.offsets = s.data2.offsets;
  ASSERT_TRUE(CopyGroupedSubset(data, {3, 1}, subset));
  EXPECT_EQ(subset.ObservationCount(), 2 * 3u);
  EXPECT_FALSE(CopyGroupedSubset(data, {3, 20}, subset)) << "point 20 does not exist";

  // The plane data measures a point whose range is bad as unobserved.
  s.data2.offsets[7] = 100000;
  u32 first = 0, count = 0, next = 0;
  s.data2.ObservationRange(6, first, count);
  s.data2.ObservationRange(8, first, next);
  EXPECT_TRUE(count == 0u && next == 3u);
  Plane p{};
  PlaneEstimator2D(1e-4f).RunLoRansac(s.data2, p, inliers);
  EXPECT_TRUE(IsFiniteModel(p));

  // Negative or NaN share parameters ask for no inliers; a ratio of 1e30
  // asks for more than exist, so no model need pass.
  s.Build(3, 60, 0.2f, 0.01f);
  for (const float ratio : {-0.5f, -1e30f, NAN, 1e30f}) {
    PlaneEstimator3D plane(0.05f);
    plane.minInlierRatio = plane.loSampleRatio = ratio;
    p = Plane{};
    plane.RunLoRansac(s.data3, p, inliers);
    EXPECT_TRUE(IsFiniteModel(p)) << ratio;
    EXPECT_TRUE(ratio > 1.0f || inliers.size() >= 40u) << ratio;
  }
}
