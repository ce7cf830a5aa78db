// The accuracy measures against known answers: a truth carried by a known
// similarity is fitted back exactly, a map whose second half is twice as
// large drifts by 2, frames without a pose are left out of every fit, and
// pose files written as the console writes them read back, bad ones refused.
#include "common/AccuracyEvaluator.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "common/TempFolder.h"
#include "mapping/ProjectFile.h"

namespace {

// A wandering path of n frames, about a metre long.
CentreTrack Path(int n) {
  CentreTrack track;
  for (int k = 0; k < n; ++k) {
    const double t = 0.05 * k;
    track[k] = {0.4 * std::sin(0.7 * t), 0.3 * std::cos(0.5 * t) + 0.1 * t,
                1.0 + 0.1 * std::sin(t)};
  }
  return track;
}

Centre Apply(double s, const Eigen::Matrix3d& R, const Eigen::Vector3d& t, const Centre& c) {
  const Eigen::Vector3d v = s * R * Eigen::Vector3d(c[0], c[1], c[2]) + t;
  return {v[0], v[1], v[2]};
}

// A world-to-camera pose whose centre is c (rotation about a tilted axis).
CameraPose PoseWithCentre(const Centre& c, double angle) {
  const Eigen::Matrix3d R =
      Eigen::AngleAxisd(angle, Eigen::Vector3d(0.3, -0.5, 0.8).normalized()).toRotationMatrix();
  const Eigen::Vector3d t = -R * Eigen::Vector3d(c[0], c[1], c[2]);
  CameraPose pose;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) pose.m[r][k] = static_cast<float>(R(r, k));
    pose.m[r][3] = static_cast<float>(t[r]);
  }
  return pose;
}

}  // namespace

TEST(AccuracyEvaluatorTest, AKnownSimilarityIsFittedBackExactly) {
  const CentreTrack truth = Path(120);
  const Eigen::Matrix3d R =
      Eigen::AngleAxisd(1.1, Eigen::Vector3d(1, 2, -0.5).normalized()).toRotationMatrix();
  const Eigen::Vector3d t(3.0, -1.0, 0.5);
  const double s = 0.37;  // the estimate is 0.37 times the world's size
  CentreTrack estimate;
  std::vector<Centre> a, b;
  for (const auto& [k, c] : truth) {
    estimate[k] = Apply(s, R, t, c);
    a.push_back(estimate[k]);
    b.push_back(c);
  }
  const SimilarityFit fit = FitSimilarity(a, b);
  ASSERT_TRUE(fit.ok);
  EXPECT_NEAR(1.0 / s, fit.scale, 1e-9);
  EXPECT_LT(fit.rms, 1e-9);
  // The fit's rotation is R's inverse, its translation carries t back.
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(R(c, r), fit.R[r][c], 1e-9);
    EXPECT_NEAR(-(R.transpose() * t)[r] / s, fit.t[r], 1e-9);
  }

  const AccuracyReport report = EvaluateAccuracy(estimate, truth, 60);
  EXPECT_EQ(120, report.frames);
  EXPECT_EQ(120, report.tracked);
  EXPECT_EQ(0, report.firstTracked);
  EXPECT_DOUBLE_EQ(1.0, report.trackedFraction);
  EXPECT_LT(report.ateRms, 1e-9);
  EXPECT_LT(report.atePercent, 1e-7);
  EXPECT_NEAR(s, report.mapScale, 1e-9);
  EXPECT_NEAR(1.0, report.scaleDrift, 1e-9);
  EXPECT_NEAR(1.0, report.scaleJump, 1e-9);
  // The path: the sum of the truth's steps.
  double length = 0.0;
  for (int k = 1; k < 120; ++k) {
    const Centre &p = truth.at(k - 1), &q = truth.at(k);
    length += std::sqrt((p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) +
                        (p[2] - q[2]) * (p[2] - q[2]));
  }
  EXPECT_NEAR(length, report.pathLength, 1e-12);
}

TEST(AccuracyEvaluatorTest, AMapTwiceAsLargeInItsSecondHalfDriftsByTwo) {
  const CentreTrack truth = Path(100);
  CentreTrack estimate;
  for (const auto& [k, c] : truth) {
    // The second half scaled about a point of its own, as a map that grew.
    const double s = k < 50 ? 1.0 : 2.0;
    estimate[k] = {s * c[0] + 0.2, s * c[1], s * c[2] - 0.1};
  }
  const AccuracyReport report = EvaluateAccuracy(estimate, truth, 50);
  EXPECT_NEAR(2.0, report.scaleDrift, 1e-9);
  EXPECT_NEAR(2.0, report.scaleJump, 1e-9);
  EXPECT_GT(report.ateRms, 0.01);  // no single similarity fits both halves
  // A jump asked for elsewhere sees a mixture on one side, none at frame 0.
  EXPECT_GT(EvaluateAccuracy(estimate, truth, 30).scaleJump, 1.2);
  EXPECT_EQ(0.0, EvaluateAccuracy(estimate, truth, 0).scaleJump);
  EXPECT_EQ(0.0, EvaluateAccuracy(estimate, truth).scaleJump);
}

TEST(AccuracyEvaluatorTest, FramesWithoutAPoseAreLeftOut) {
  const CentreTrack truth = Path(90);
  CentreTrack estimate;
  for (const auto& [k, c] : truth) {
    if (k < 12 || k % 7 == 0) continue;  // a late start and lost frames
    estimate[k] = {0.5 * c[0], 0.5 * c[1], 0.5 * c[2]};
  }
  estimate[500] = {9, 9, 9};  // a frame the truth lacks is ignored
  const AccuracyReport report = EvaluateAccuracy(estimate, truth, 40);
  EXPECT_EQ(90, report.frames);
  EXPECT_EQ(67, report.tracked);
  EXPECT_EQ(12, report.firstTracked);
  EXPECT_NEAR(67.0 / 90.0, report.trackedFraction, 1e-12);
  EXPECT_LT(report.ateRms, 1e-9);
  EXPECT_NEAR(0.5, report.mapScale, 1e-9);
  EXPECT_NEAR(1.0, report.scaleDrift, 1e-9);
  EXPECT_NEAR(1.0, report.scaleJump, 1e-9);

  // Nothing tracked, or too little to fit: no numbers, no division by zero.
  const AccuracyReport none = EvaluateAccuracy(CentreTrack(), truth, 10);
  EXPECT_EQ(0, none.tracked);
  EXPECT_EQ(-1, none.firstTracked);
  EXPECT_EQ(-1.0, none.ateRms);
  EXPECT_EQ(0.0, none.mapScale);
  EXPECT_EQ(0.0, none.scaleDrift);
  CentreTrack still;  // every pose at one point: a map of no size
  for (int k = 0; k < 90; ++k) still[k] = {1, 2, 3};
  const AccuracyReport collapsed = EvaluateAccuracy(still, truth);
  EXPECT_EQ(90, collapsed.tracked);
  EXPECT_EQ(-1.0, collapsed.ateRms);
  EXPECT_EQ(0.0, collapsed.mapScale);
  EXPECT_NE(std::string::npos, FormatAccuracy(collapsed).find("ATE RMS           -"));
}

TEST(AccuracyEvaluatorTest, PoseFilesReadBackAsTheConsoleWritesThem) {
  TempFolder folder;
  const std::string path = folder.File("poses.txt");
  const CentreTrack truth = Path(20);
  {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    for (const auto& [k, c] : truth) {
      std::fprintf(f, "%d\n", k);
      CameraPose pose = PoseWithCentre(c, 0.1 * k);
      if (k == 3) pose.m[0][0] = FLT_MAX;  // lost
      if (k == 4) pose.m[1][3] = NAN;      // broken
      WritePoseRows(pose, f);
    }
    std::fclose(f);
  }
  PoseFileContents contents;
  std::string error;
  ASSERT_TRUE(ReadPoseFile(path, contents, &error)) << error;
  EXPECT_EQ(20, contents.records);
  EXPECT_EQ(18u, contents.centres.size());
  EXPECT_EQ(0u, contents.centres.count(3));
  EXPECT_EQ(0u, contents.centres.count(4));
  for (const auto& [k, c] : contents.centres)
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(truth.at(k)[i], c[i], 2e-6) << k;

  // Bad files are refused with a reason; the output is left as it was.
  const std::string good = "0\n1 0 0 0\n0 1 0 0\n0 0 1 0\n";
  for (const std::string& bad :
       {good + "1\n1 0 0 0\n0 1 0\n", good + "x\n", good + "2\n1 0 0 a 0 1 0 0 0 0 1 0\n",
        std::string("-1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n")}) {
    error.clear();
    EXPECT_FALSE(ReadPoseFile(folder.Write("bad.txt", bad), contents, &error)) << bad;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(20, contents.records);
  }
  EXPECT_FALSE(ReadPoseFile(folder.File("missing.txt"), contents, &error));
  EXPECT_NE(std::string::npos, error.find("cannot open"));
  // An empty file is a run of no frames, not an error.
  ASSERT_TRUE(ReadPoseFile(folder.Write("empty.txt", ""), contents, &error));
  EXPECT_EQ(0, contents.records);
}
