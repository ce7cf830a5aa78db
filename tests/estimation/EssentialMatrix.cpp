// Essential-matrix projection and decomposition into a relative pose.
#include "estimation/EssentialMatrix.h"

#include <gtest/gtest.h>

#include "TwoViewScene.h"

using namespace twoview;

namespace {

alignas(16) float scratch[4 * 38];

TEST(EssentialMatrix, ProjectionKeepsSingularVectorsAndSetsValuesOneOneZero) {
  Random::Seed(21);
  for (int trial = 0; trial < 20; ++trial) {
    const Eigen::Matrix3d M = Eigen::Matrix3d::Random() * 3.0;
    EssentialMatrix E = FromEigen<EssentialMatrix>(M);
    ASSERT_TRUE(EssentialMatrix::ProjectToEssentialSpace(E, scratch));
    Eigen::JacobiSVD<Eigen::Matrix3d> in(M, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::Matrix3d expected =
        in.matrixU() * Eigen::Vector3d(1, 1, 0).asDiagonal() * in.matrixV().transpose();
    EXPECT_LT((ToEigen(E) - expected).norm(), 1e-4);
  }
}

TEST(EssentialMatrix, RelativePoseFromEAndMinusE) {
  Random::Seed(22);
  for (int n : {40, 7, 4, 3}) {
    for (int trial = 0; trial < 10; ++trial) {
      const TwoViewScene s = MakeScene(n);
      MatchSet2D set;
      FillSet(s.matches, set);
      for (double sign : {1.0, -1.0}) {
        RigidTransformation3D pose;
        ASSERT_TRUE(EssentialMatrix::ToRelativePose(FromEigen<EssentialMatrix>(sign * 2.5 * s.E()),
                                                    set, pose, 0.8f, scratch))
            << "n = " << n;
        EXPECT_LT((ToEigen(pose) - s.R).norm(), 1e-4);
        EXPECT_LT((TranslationOf(pose) - s.t).norm(), 1e-4);
      }
    }
  }
}

TEST(EssentialMatrix, InFrontThresholdRoundsHalfUpTiesFailAndDoesNotWrap) {
  Random::Seed(24);
  // Two of ten matches moved to the other side of their epipole triangulate
  // behind: 8 in front passes 0.75 (k = 8) but not 0.85 (k = 9).
  TwoViewScene s = MakeScene(10);
  for (int i = 0; i < 2; ++i) {
    const Eigen::Vector3d e2 = s.t / s.t.z();
    s.matches[i].x2 = 2 * e2.x() - s.matches[i].x2;
    s.matches[i].y2 = 2 * e2.y() - s.matches[i].y2;
  }
  MatchSet2D set;
  FillSet(s.matches, set);
  const EssentialMatrix E = FromEigen<EssentialMatrix>(s.E());
  RigidTransformation3D pose;
  EXPECT_FALSE(EssentialMatrix::ToRelativePose(E, set, pose, 0.85f, scratch));
  EXPECT_TRUE(EssentialMatrix::ToRelativePose(E, set, pose, 0.75f, scratch));
  EXPECT_FALSE(EssentialMatrix::ToRelativePose(E, set, pose, 1.5f, scratch));
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

}  // namespace
