// The camera every stage sees, taken from the map: each pyramid level halves
// the focal lengths and shifts the principal point by half a pixel, the
// bounds are the image corners in normalised coordinates, the mounting is
// the map's extrinsic.
#include "tracker/TrackerCamera.h"

#include <gtest/gtest.h>

#include <vector>

#include "mapping/GlobalMap.h"

TEST(TrackerCamera, LevelsBoundsSmallImageAndMountingFromTheMap) {
  Intrinsic k;
  k.Set(400.0f, 300.0f, 319.5f, 239.5f);
  const f64 extrinsic[7] = {0, 0, 0.6, 0.8, 1, 2, 3};
  const GlobalMap map(640, 480, k, extrinsic);
  const TrackerCamera camera(map);
  EXPECT_EQ(camera.smallWidth, 40);
  EXPECT_EQ(camera.smallHeight, 30);
  const Intrinsic& level2 = camera.intrinsic[2];
  EXPECT_FLOAT_EQ(level2.fx[0], 100.0f);
  EXPECT_FLOAT_EQ(level2.fy[0], 75.0f);
  EXPECT_FLOAT_EQ(level2.cx[0], 79.5f);  // the centre of 160 pixels
  EXPECT_FLOAT_EQ(level2.cy[0], 59.5f);
  EXPECT_FLOAT_EQ(camera.intrinsic[4].cx[0], 19.5f);  // the alignment image is 40 wide
  const float bounds[4] = {-319.5f / 400, -239.5f / 300, 320.5f / 400, 240.5f / 300};
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(camera.bounds[i], bounds[i]) << i;
  EXPECT_FLOAT_EQ(camera.pixelVariance, 1.0f / (400.0f * 300.0f));
  EXPECT_EQ(camera.warpOffsets[0][0], 1u);
  EXPECT_EQ(camera.warpOffsets[2][3], 1u + 2u * 11u);
  EXPECT_EQ(std::vector<f64>(camera.bodyToCamera.quaternion, camera.bodyToCamera.quaternion + 4),
            (std::vector<f64>{0, 0, 0.6, 0.8}));
  EXPECT_EQ(std::vector<f64>(camera.bodyToCamera.position, camera.bodyToCamera.position + 3),
            (std::vector<f64>{1, 2, 3}));
}
