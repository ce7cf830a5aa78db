// Copy of the bundle adjustment's state and conversion of a camera back to
// the map's double record.
#include "optimization/IBAState.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

CameraIMUState MakeCamera(f32 base) {
  f32 f[56];
  for (int i = 0; i < 56; ++i) f[i] = base + i;
  CameraIMUState c;
  std::memcpy(static_cast<void*>(&c), f, sizeof(c));
  return c;
}

}  // namespace

TEST(IBAStateTest, CopyTakesHeadAndArraysAndOnlyGrows) {
  IBAState src;
  for (int i = 0; i < 7; ++i) src.extrinsic[i] = 0.5f * i;
  src.extra[0] = 7, src.extra[1] = 8, src.extra[2] = 9;
  for (int i = 0; i < 3; ++i) src.cameras.PushBack(MakeCamera(100.0f * i), 4);
  src.points.PushBack({{1, 2, 3, 1}}, 4);
  src.planes.PushBack({{0, 0, 1, -0.5f}}, 4);
  src.cameraIds = {11, 12, 13};

  IBAState dst;
  for (int i = 0; i < 5; ++i) dst.cameras.PushBack(MakeCamera(-1), 8);
  const CameraIMUState* storage = dst.cameras.Data();
  IBAState::Copy(dst, src);
  EXPECT_EQ(0, std::memcmp(dst.extrinsic, src.extrinsic, sizeof(src.extrinsic)));
  EXPECT_EQ(9u, dst.extra[2]);
  ASSERT_EQ(3u, dst.cameras.Size());
  EXPECT_EQ(storage, dst.cameras.Data());  // large enough: no reallocation
  EXPECT_EQ(0, std::memcmp(dst.cameras.Data(), src.cameras.Data(), 3 * sizeof(CameraIMUState)));
  ASSERT_EQ(1u, dst.points.Size());
  EXPECT_EQ(3.0f, dst.points[0][2]);
  EXPECT_EQ(-0.5f, dst.planes[0][3]);
  EXPECT_EQ(src.cameraIds, dst.cameraIds);
  // Independent storage: changing the copy leaves the source alone.
  dst.cameras[0].p[0] = -7;
  EXPECT_EQ(0.0f, src.cameras[0].p[0]);
  IBAState::Copy(dst, dst);  // self-copy is harmless
  EXPECT_EQ(3u, dst.cameras.Size());
}

TEST(IBAStateTest, ConvertCameraIgnoresFourthFloats) {
  CameraIMUState c = MakeCamera(1.0f);
  f64 out[16];
  CameraPose pose;
  ConvertCameraIMUState(c, out, pose);
  const f64 expected[16] = {1, 2, 3, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(expected[i], out[i]) << i;
  EXPECT_EQ(0, std::memcmp(&pose, &c.pose, sizeof(pose)));
}
