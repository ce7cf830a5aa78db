// Essential matrices: the five-point solver's known answers (which a wrong
// polynomial product would break), the relative pose with its in-front
// threshold, triangulation, the data class and a robust run.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/FiniteDifference.h"
#include "common/ProjectiveScene.h"
#include "estimation/EssentialMatrixEstimator.h"

using namespace scene;

namespace {

alignas(16) float scratch[4 * 38];

double BestDistance(const AlignedArray<EssentialMatrix>& models, const Eigen::Matrix3d& E) {
  double best = 1e9;
  for (const EssentialMatrix& m : models) best = std::min(best, MatrixDistance(ToEigen(m), E));
  return best;
}

// Five exact matches through the minimal path: the true matrix is among at
// most ten candidates (float precision loses it in about one solve in a
// hundred); coincident matches give finite candidates or none.
TEST(EssentialMatrix, FivePointLeastSquaresRelativePoseAndInFrontThreshold) {
  Random::Seed(11);
  EssentialMatrixEstimator estimator(1e-4f);
  AlignedArray<EssentialMatrix> models;
  int found = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const TwoViewScene s = MakeScene(5);
    FiveMatches2D sample;
    const std::vector<Match> m =
        trial < 299 ? s.matches : std::vector<Match>(5, {0.1, 0.2, 0.3, 0.1});
    FillArrays(m, 4, sample.x1, sample.y1, sample.x2, sample.y2);
    FillArrays({m[4]}, 1, sample.fifth, sample.fifth + 1, sample.fifth + 2, sample.fifth + 3);
    if (!estimator.SolveMinimal(sample, models)) continue;
    EXPECT_EQ(models.Size() % 2, 0u);
    EXPECT_LE(models.Size(), 10u);
    found += BestDistance(models, s.E()) < 1e-3;
  }

  // Five or more matches through least squares; the relative pose, with
  // rotations up to 1.2 rad so that the candidate rotations are far from the
  // identity and the determinant decides their sign; every match
  // triangulates onto its scene point.
  Random::Seed(22);
  for (int n : {40, 7, 5, 4, 3}) {
    for (int trial = 0; trial < 20; ++trial) {
      const TwoViewScene s = MakeScene(n, 1.2);
      EssentialMatrixEstimatorData set;
      FillSet(s.matches, set);
      if (n >= 5) {
        ASSERT_TRUE(estimator.SolveNonMinimal(set, models));
        found += BestDistance(models, s.E()) < 1e-3;
      }
      for (double sign : {1.0, -1.0}) {
        RigidTransformation3D pose{};
        ASSERT_TRUE(EssentialMatrix::ToRelativePose(FromEigen<EssentialMatrix>(sign * 2.5 * s.E()),
                                                    set, pose, 0.8f, scratch))
            << "n = " << n;
        EXPECT_LT((ToEigen(pose) - s.R).norm(), 1e-4);
        EXPECT_LT((TranslationOf(pose) - s.t).norm(), 1e-4);
      }
      // A match moved off its epipolar line l = E p triangulates onto the
      // point of the first ray that projects onto the foot of the
      // perpendicular from q to l.
      const RigidTransformation3D truth = FromEigen<RigidTransformation3D>(s.R, s.t);
      for (const Match& m : s.matches) {
        const Eigen::Vector3d l = s.E() * Eigen::Vector3d(m.x1, m.y1, 1.0);
        const Eigen::Vector2d q = Eigen::Vector2d(m.x2, m.y2) + 0.01 * l.head<2>().normalized();
        const Eigen::Vector2d foot =
            q - l.dot(Eigen::Vector3d(q.x(), q.y(), 1.0)) / l.head<2>().squaredNorm() * l.head<2>();
        const float p1[2] = {float(m.x1), float(m.y1)}, p2[2] = {float(q.x()), float(q.y())};
        float X[4];
        EssentialMatrix::TriangulatePoint(FromEigen<EssentialMatrix>(s.E()), truth, p1, p2, X);
        const Eigen::Vector3d X2 = s.R * Eigen::Vector3d(X[0], X[1], X[2]) + s.t;
        EXPECT_LT((X2.head<2>() / X2.z() - foot).norm(), 1e-4);
      }
    }
  }
  EXPECT_GE(found, 296 + 58);  // of 300 minimal and 60 least-squares solves
  // The in-front threshold rounds half up, ties fail, and it does not wrap.
  // Two of ten matches moved to the other side of their epipole triangulate
  // behind: 8 in front passes 0.75 (k = 8) but not 0.85 (k = 9).
  TwoViewScene s = MakeScene(10);
  const Eigen::Vector3d e2 = s.t / s.t.z();
  for (int i = 0; i < 2; ++i) {
    s.matches[i].x2 = 2 * e2.x() - s.matches[i].x2;
    s.matches[i].y2 = 2 * e2.y() - s.matches[i].y2;
  }
  MatchSet2D set;
  FillSet(s.matches, set);
  const EssentialMatrix E = FromEigen<EssentialMatrix>(s.E());
  RigidTransformation3D pose{};
  EXPECT_FALSE(EssentialMatrix::ToRelativePose(E, set, pose, 0.85f, scratch));
  EXPECT_TRUE(EssentialMatrix::ToRelativePose(E, set, pose, 0.75f, scratch));
  EXPECT_FALSE(EssentialMatrix::ToRelativePose(E, set, pose, 1.5f, scratch));
  // A match seen at the epipole triangulates at depth exactly 0: neither in
  // front nor behind.
  FillSet({{0.1, 0.2, e2.x(), e2.y()}}, set);
  u16 inFront = 9, behind = 9;
  EssentialMatrix::CountPointsInFront(E, FromEigen<RigidTransformation3D>(s.R, e2), set, inFront,
                                      behind, scratch);
  EXPECT_EQ(inFront + behind, 0);
  // An empty set ties 0:0, which fails even at ratio 0.
  FillSet({}, set);
  EXPECT_FALSE(EssentialMatrix::ToRelativePose(E, set, pose, 0.0f, scratch));
  // 60000 matches at ratio 1.2 ask for 72000 in front: through 16 bits the
  // threshold would wrap to 6464 and pass.
  const TwoViewScene big = MakeScene(60000);
  FillSet(big.matches, set);
  const EssentialMatrix Eb = FromEigen<EssentialMatrix>(big.E());
  EXPECT_TRUE(EssentialMatrix::ToRelativePose(Eb, set, pose, 0.9f, scratch));
  EXPECT_FALSE(EssentialMatrix::ToRelativePose(Eb, set, pose, 1.2f, scratch));
}

// Points on either side of each camera, half of them within 0.1 of the
// second camera's plane, seen off their epipolar lines: the four-at-a-time
// count must classify every match as the one-match triangulation (checked
// against the foot of the perpendicular above) places it. Exact matches
// would not do: any plane through the second ray meets the first at the
// same point, so a wrong line there changes nothing.
TEST(EssentialMatrix, FourAtATimeCountAgreesWithOneMatchTriangulation) {
  Random::Seed(41);
  for (int trial = 0; trial < 10; ++trial) {
    TwoViewScene s;
    s.R = RandomRotationD(1.2);
    s.t = Eigen::Vector3d(GaussianD(), GaussianD(), GaussianD()).normalized();
    const Eigen::Matrix3d& R = s.R;
    const Eigen::Vector3d& t = s.t;
    const EssentialMatrix E = FromEigen<EssentialMatrix>(s.E());
    const RigidTransformation3D pose = FromEigen<RigidTransformation3D>(R, t);
    std::vector<Match> matches;
    int inFrontBoth = 0, behindBoth = 0;
    while (matches.size() < 64) {
      const double z2 = (UniformD(-1, 1) < 0 ? -1.0 : 1.0) *
                        (matches.size() % 2 == 0 ? UniformD(0.03, 0.1) : UniformD(1.0, 6.0));
      const Eigen::Vector3d X2 = Eigen::Vector3d(UniformD(-1, 1), UniformD(-1, 1), 1.0) * z2;
      const Eigen::Vector3d X = R.transpose() * (X2 - t);
      if (std::fabs(X.z()) < 0.05 || std::fabs(X.x()) > 20 * std::fabs(X.z()) ||
          std::fabs(X.y()) > 20 * std::fabs(X.z()))
        continue;
      const Match m = {X.x() / X.z(), X.y() / X.z(), X2.x() / X2.z() + UniformD(-0.05, 0.05),
                       X2.y() / X2.z() + UniformD(-0.05, 0.05)};
      matches.push_back(m);
      const float p1[2] = {float(m.x1), float(m.y1)}, p2[2] = {float(m.x2), float(m.y2)};
      float Y[4];
      EssentialMatrix::TriangulatePoint(E, pose, p1, p2, Y);
      const Eigen::Vector3d Y2 = R * Eigen::Vector3d(Y[0], Y[1], Y[2]) + t;
      inFrontBoth += Y[2] > 0 && Y2.z() > 0;
      behindBoth += !(Y[2] > 0) && !(Y2.z() > 0);
    }
    MatchSet2D set;
    FillSet(matches, set);
    ASSERT_EQ(set.tailCount, 0u);
    u16 inFront = 0, behind = 0;
    EssentialMatrix::CountPointsInFront(E, pose, set, inFront, behind, scratch);
    EXPECT_EQ(inFront, inFrontBoth) << trial;
    EXPECT_EQ(behind, behindBoth) << trial;
  }
}

TEST(EssentialMatrixEstimator, NormalEquationsAndRobustRunOnNoisyMatches) {
  Random::Seed(31);
  const TwoViewScene s = MakeScene(63, 1.0);  // a tail of three
  EssentialMatrixEstimatorData data;
  FillSet(s.matches, data);
  // Away from the optimum, with a rotation far from the identity so that a
  // step taken on the wrong side of R would show.
  const Eigen::Matrix3d R = s.R * Eigen::AngleAxisd(0.05, Eigen::Vector3d::UnitY());
  const Eigen::Vector3d t = (s.t + Eigen::Vector3d(0.05, -0.03, 0.02)).normalized();
  const RigidTransformation3D off = FromEigen<RigidTransformation3D>(R, t);
  fd::ExpectNormalEquationMatchesSSE(data, off);
  // The error does not see the length of t: a step must keep it 1.
  const LA::AlignedVector6f ones{{1, 1, 1, 1, 1, 1, 1, 1}}, dx{{0, 0, 0, 0.05f, 0, 0, 0, 0}};
  RigidTransformation3D moved;
  data.UpdateModel(ones, dx, off, moved);
  EXPECT_NEAR(TranslationOf(moved).norm(), 1.0, 1e-6);
  fd::ExpectGaussNewtonHessianAtZeroResidual(data, FromEigen<RigidTransformation3D>(s.R, s.t),
                                             {1e-3, 5e-3, 1e-6});
  // A robust run on noisy matches with outliers.
  Random::Seed(33);
  TwoViewScene scene = MakeScene(500, 0.3);
  Corrupt(scene.matches, 0.5 / kFocal, 100);
  FillSet(scene.matches, data);
  EssentialMatrixEstimator estimator(static_cast<f32>(16.0 * 0.25 / (kFocal * kFocal)));
  estimator.minInFrontRatio = 0.5f;
  EssentialMatrix E{};
  std::vector<u16> inliers;
  estimator.RunLoRansac(data, E, inliers);
  ASSERT_GE(inliers.size(), 360u);
  EXPECT_LE(std::count_if(inliers.begin(), inliers.end(), [](u16 i) { return i < 100; }), 5);
  RigidTransformation3D pose{};
  ASSERT_TRUE(EssentialMatrix::ToRelativePose(E, data, pose, 0.5f, scratch));
  EXPECT_LT(MatrixDistance(ToEigen(pose), scene.R), 0.005);  // about 0.2 degrees
  EXPECT_GT(TranslationOf(pose).normalized().dot(scene.t), std::cos(2.0 * M_PI / 180.0));
  // The refined model is [t]x R with |t| = 1: singular values (1, 1, 0).
  const Eigen::Vector3d sv = Eigen::JacobiSVD<Eigen::Matrix3d>(ToEigen(E)).singularValues();
  EXPECT_LT((sv - Eigen::Vector3d(1, 1, 0)).cwiseAbs().maxCoeff(), 1e-4);
}

}  // namespace
