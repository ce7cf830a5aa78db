// The homography a world plane induces between two cameras, against points of
// the plane projected into both.
#include "features/WarpGeometry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "common/Draws.h"
#include "common/SceneRenderer.h"
#include "la/Random.h"

namespace {

Eigen::Vector2d Pixel(const CameraPose& pose, const Intrinsic& k, const Eigen::Vector3d& X) {
  const Eigen::Vector3d x = ToEigen(pose) * X + TranslationOf(pose);
  return {k.fx[0] * x.x() / x.z() + k.cx[0], k.fy[0] * x.y() / x.z() + k.cy[0]};
}

Eigen::Vector2d Apply(const WarpRecord& H, const Eigen::Vector2d& p) {
  const double w = H.m[8] * p.x() + H.m[9] * p.y() + H.m[10];
  return {(H.m[0] * p.x() + H.m[1] * p.y() + H.m[2]) / w,
          (H.m[4] * p.x() + H.m[5] * p.y() + H.m[6]) / w};
}

// A pose looking along +z from `centre`, turned by R.
CameraPose PoseAt(const Eigen::Matrix3d& R, const Eigen::Vector3d& centre) {
  return FromEigen<CameraPose>(R, -R * centre);
}

}  // namespace

// A plane tilted about every axis, seen by two turned cameras with their own
// intrinsics: its points' pixels in one map onto their pixels in the other.
TEST(PlaneHomography, MapsThePlanesPixelsFromOneCameraToTheOther) {
  Random::Seed(11);
  const Eigen::Vector3d n = Eigen::Vector3d(0.3, -0.5, 1.0).normalized();
  const double d = -4.0;  // n . X + d = 0, about 4 ahead of the origin
  const float plane[4] = {float(n.x()), float(n.y()), float(n.z()), float(d)};
  const Intrinsic kFrom = SceneRender::MakeIntrinsic(500, 510, 320, 240);
  const Intrinsic kTo = SceneRender::MakeIntrinsic(250, 255, 160, 120);
  const CameraPose from = PoseAt(RandomRotationD(0.2), {0.1, -0.2, 0.05});
  const CameraPose to = PoseAt(RandomRotationD(0.2), {0.6, 0.3, -0.4});
  WarpRecord H;
  ASSERT_TRUE(ComputePlaneHomography(from, to, plane, kFrom, kTo, H));
  EXPECT_FALSE(H.IsAffine());
  // Points of the plane: any (u, v) along two directions in it.
  const Eigen::Vector3d origin = -d * n, a = n.unitOrthogonal(), b = n.cross(a);
  for (int i = 0; i < 20; ++i) {
    const Eigen::Vector3d X = origin + UniformD(-1.5, 1.5) * a + UniformD(-1.5, 1.5) * b;
    const Eigen::Vector2d want = Pixel(to, kTo, X);
    const Eigen::Vector2d got = Apply(H, Pixel(from, kFrom, X));
    EXPECT_NEAR((got - want).norm(), 0.0, 2e-3) << X.transpose();
  }
  // A plane through the centre of `from` maps nothing.
  const CameraPose atOrigin = PoseAt(Eigen::Matrix3d::Identity(), Eigen::Vector3d::Zero());
  const float through[4] = {plane[0], plane[1], plane[2], 0.0f};
  EXPECT_FALSE(ComputePlaneHomography(atOrigin, to, through, kFrom, kTo, H));
}

// Records are saved byte for byte, and a map fills only nine of its twelve
// floats: one made over used memory must not carry that memory's bytes.
TEST(WarpRecordTest, AFreshRecordHoldsNoLeftoverBytes) {
  alignas(WarpRecord) unsigned char used[sizeof(WarpRecord)];
  std::memset(used, 0xA5, sizeof(used));
  const WarpRecord* r = new (used) WarpRecord;
  for (float v : r->m) EXPECT_EQ(v, 0.0f);
}
