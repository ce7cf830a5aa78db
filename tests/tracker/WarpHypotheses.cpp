// Warp hypotheses: plane blocks against true projections at every level pair,
// affine maps that stay affine, degenerate input refused, pruning's boundary.
#include "tracker/WarpHypotheses.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "features/ImageMapMath.h"
#include "la/Homography.h"

namespace {

void Apply(const WarpRecord& m, float x, float y, float out[2]) {
  const float p[2] = {x, y};
  ApplyHomography(reinterpret_cast<const float(*)[4]>(m.m), p, out);
}

WarpRecord Map(float a, float b, float c, float d, float e, float f, float g, float h, float i) {
  return WarpRecord{{a, b, c, 0, d, e, f, 0, g, h, i, 0}};
}

// Every level pair (a, b) of the block carries the key frame's level-0 pixel
// k, scaled to level a, to the current frame's c at level b and back, within
// `tol` plus `rel` of the level's scale.
void ExpectLevelPairs(const WarpRecord* block, const float k[2], const float c[2], float tol,
                      float rel) {
  float q[2];
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b) {
      const float sa = std::ldexp(1.0f, -a), sb = std::ldexp(1.0f, -b);
      Apply(block[kHypothesisOffset[a][b]], k[0] * sa, k[1] * sa, q);
      EXPECT_NEAR(q[0], c[0] * sb, tol + rel * sb) << a << b;
      EXPECT_NEAR(q[1], c[1] * sb, tol + rel * sb) << a << b;
      Apply(block[kHypothesisOffset[a][b] + 1], c[0] * sb, c[1] * sb, q);
      EXPECT_NEAR(q[0], k[0] * sa, tol + rel * sa) << a << b;
      EXPECT_NEAR(q[1], k[1] * sa, tol + rel * sa) << a << b;
    }
}

// A rotation about the axis (1, 2, 0.5) / |.|, then a translation.
CameraPose Pose(float angle, float tx, float ty, float tz) {
  const float axis[3] = {1.0f / 2.2913f, 2.0f / 2.2913f, 0.5f / 2.2913f};
  CameraPose P;
  AxisAngleToRotation(P, axis, angle);
  P.m[0][3] = tx, P.m[1][3] = ty, P.m[2][3] = tz;
  return P;
}

struct WarpHypothesesTest : testing::Test {
  UnitContext unit{640, 480, SceneRender::MakeIntrinsic(500.0f, 480.0f, 319.5f, 239.5f)};
  const TrackerCamera& camera = unit.camera;
  AlignedArray<WarpRecord> blocks;
  CameraPose keyPose = Pose(0.05f, 0.1f, -0.2f, 0.3f);
  CameraPose curPose = Pose(-0.08f, 0.4f, 0.1f, -0.2f);
  WarpHypothesesTest() { relative.m[0][0] = FLT_MAX; }  // unset
  CameraPose relative;
  float scratch[4];
  WarpRecord H;
  bool AddPlane(const CameraPose& key, const float plane[4]) {
    return AddPlaneHomography(camera, key, curPose, plane, relative, scratch, H, blocks);
  }
};

}  // namespace

TEST_F(WarpHypothesesTest, APlaneBlockCarriesPlanePointsBetweenEveryPairOfLevels) {
  const float plane[4] = {0.0f, 0.0f, 1.0f, -5.0f};   // z = 5
  blocks.PushBack48(Map(1, 0, 0, 0, 1, 0, 0, 0, 1));  // a record before the block stays
  ASSERT_TRUE(AddPlane(keyPose, plane));
  ASSERT_EQ(blocks.Size(), 1u + kHypothesisBlockSize);
  EXPECT_EQ(std::memcmp(&blocks[1], &H, sizeof(H)), 0);
  EXPECT_EQ(blocks[0].m[2], 0.0f);
  float centre[3];
  CameraCentre(keyPose, centre);
  EXPECT_NEAR(scratch[3], plane[3] + centre[2], 1e-6);  // d' = d + n.C
  // Four plane points fix the homography: record 0 between normalised
  // coordinates, and every level pair between level pixels both ways.
  const Intrinsic& k0 = camera.intrinsic[0];
  // Named arrays: compound literals would die before the loop body reads them.
  const float points[4][3] = {
      {0.3f, -0.4f, 5.0f}, {-1.2f, 0.9f, 5.0f}, {0.8f, 1.1f, 5.0f}, {-0.9f, -1.0f, 5.0f}};
  for (const float* X : points) {
    float pk[2], pc[2], q[2], xk[3], xc[3];
    SceneRender::ProjectPoint(keyPose, k0, X, pk);
    SceneRender::ProjectPoint(curPose, k0, X, pc);
    SceneRender::ToCamera(keyPose, X, xk);
    SceneRender::ToCamera(curPose, X, xc);
    Apply(blocks[1], xk[0] / xk[2], xk[1] / xk[2], q);
    EXPECT_NEAR(q[0], xc[0] / xc[2], 1e-5);
    EXPECT_NEAR(q[1], xc[1] / xc[2], 1e-5);
    // H = R + t v^T itself, not a multiple: its last row gives the depth ratio.
    const float* h = blocks[1].m + 8;
    EXPECT_NEAR(h[0] * xk[0] / xk[2] + h[1] * xk[1] / xk[2] + h[2], xc[2] / xk[2], 1e-5);
    ExpectLevelPairs(&blocks[1], pk, pc, 2e-3f, 0.0f);
  }
  // The relative pose is kept for the next plane of the same key frame.
  const CameraPose kept = relative;
  const float other[4] = {0.0f, 1.0f, 0.0f, 3.0f};
  ASSERT_TRUE(AddPlane(curPose, other));
  EXPECT_EQ(std::memcmp(&kept, &relative, sizeof(kept)), 0);
}

TEST_F(WarpHypothesesTest, APlaneThroughTheKeyFrameCentreAndSingularMapsGiveNoBlock) {
  float centre[3];
  CameraCentre(keyPose, centre);
  // d' = d + n.C: on the centre and 4e-7 off it refused, 1e-2 off a block.
  float through[4] = {0.0f, 0.0f, 1.0f, -centre[2]};
  EXPECT_FALSE(AddPlane(keyPose, through));
  EXPECT_LT(std::fabs(scratch[3]), kMinPlaneOffset);
  // So is an oblique one through it.
  const float n[3] = {0.48f, 0.6f, 0.64f};
  const float oblique[4] = {n[0], n[1], n[2],
                            -(n[0] * centre[0] + n[1] * centre[1] + n[2] * centre[2])};
  EXPECT_FALSE(AddPlane(keyPose, oblique));
  EXPECT_LT(std::fabs(scratch[3]), kMinPlaneOffset);
  through[3] = -centre[2] + 4e-7f;
  EXPECT_FALSE(AddPlane(keyPose, through));
  through[3] = -centre[2] + 1e-2f;
  EXPECT_TRUE(AddPlane(keyPose, through));
  EXPECT_EQ(blocks.Size(), kHypothesisBlockSize);
  blocks.Clear();
  const float nan = std::nanf("");
  EXPECT_FALSE(AddHomographyHypothesis(camera, Map(1, 2, 3, 2, 4, 6, 0, 0, 1), blocks));
  EXPECT_FALSE(AddHomographyHypothesis(camera, Map(1, 0, nan, 0, 1, 0, 0, 0, 1), blocks));
  EXPECT_FALSE(AddImageMapHypothesis(camera, Map(1, 1, 0, 1, 1, 0, 0, 0, 1), blocks));
  EXPECT_FALSE(AddImageMapHypothesis(camera, Map(1, 2, 5, 2, 4, 7, FLT_MAX, 0, 1), blocks));
  EXPECT_FALSE(AddImageMapHypothesis(camera, Map(FLT_MAX, 0, 0, 0, 1, 0, 0, 0, 1), blocks));
  EXPECT_EQ(blocks.Size(), 0u);
}

TEST_F(WarpHypothesesTest, AnAffineImageMapKeepsItsMarkerAtEveryLevelAndMapsLikeTheOriginal) {
  // Current alignment-image pixels (level 4, 16 level-0 pixels) into the
  // key frame's.
  const WarpRecord M = Map(1.02f, 0.03f, 1.5f, -0.02f, 0.98f, -0.75f, FLT_MAX, 0.0f, 1.0f);
  ASSERT_TRUE(AddImageMapHypothesis(camera, M, blocks));
  ASSERT_EQ(blocks.Size(), kHypothesisBlockSize);
  for (u32 r = 0; r < kHypothesisBlockSize; ++r) EXPECT_EQ(blocks[r].m[8], FLT_MAX) << r;
  const Intrinsic& k4 = camera.intrinsic[4];
  const float pixels[2][2] = {{5.0f, 7.0f}, {33.0f, 21.0f}};
  for (const float* p4 : pixels) {
    // Solve M cur4 = p4: the key frame's p4 is the current frame's cur4.
    const float det = M.m[0] * M.m[5] - M.m[1] * M.m[4];
    const float u = p4[0] - M.m[2], v = p4[1] - M.m[6];
    const float cur4[2] = {(M.m[5] * u - M.m[1] * v) / det, (-M.m[4] * u + M.m[0] * v) / det};
    const float k0[2] = {16 * p4[0], 16 * p4[1]}, c0[2] = {16 * cur4[0], 16 * cur4[1]};
    ExpectLevelPairs(&blocks[0], k0, c0, 0.0f, 16e-3f);
    float q[2];
    // Record 0 between normalised coordinates: K4^-1 N K4.
    Apply(blocks[0], (p4[0] - k4.cx[0]) / k4.fx[0], (p4[1] - k4.cy[0]) / k4.fy[0], q);
    EXPECT_NEAR(q[0], (cur4[0] - k4.cx[0]) / k4.fx[0], 1e-5);
    EXPECT_NEAR(q[1], (cur4[1] - k4.cy[0]) / k4.fy[0], 1e-5);
  }
  // An affine homography stays affine as well, even taken from the array
  // that grows under it.
  ASSERT_TRUE(AddHomographyHypothesis(camera, blocks[0], blocks));
  for (u32 r = kHypothesisBlockSize; r < 2 * kHypothesisBlockSize; ++r)
    EXPECT_EQ(blocks[r].m[8], FLT_MAX) << r;
  for (int i : {0, 1, 2, 4, 5, 6}) EXPECT_EQ(blocks[kHypothesisBlockSize].m[i], blocks[0].m[i]);
}

TEST_F(WarpHypothesesTest, PaddingFloatsDoNotDecideWhetherAMapIsSound) {
  // The padding of the maps built on the stack is never written; whatever it
  // holds, a sound map gives its block.
  const float nan = std::nanf("");
  WarpRecord H = Map(0.99f, 0.02f, 0.01f, -0.02f, 1.01f, 0.0f, 0.05f, -0.03f, 1.0f);
  H.m[3] = H.m[7] = H.m[11] = nan;
  EXPECT_TRUE(AddHomographyHypothesis(camera, H, blocks));
  WarpRecord M = Map(1.02f, 0.03f, 1.5f, -0.02f, 0.98f, -0.75f, 0.001f, 0.002f, 1.0f);
  M.m[3] = M.m[7] = M.m[11] = nan;
  EXPECT_TRUE(AddImageMapHypothesis(camera, M, blocks));
  EXPECT_EQ(blocks.Size(), 2 * kHypothesisBlockSize);
}

TEST_F(WarpHypothesesTest, BlocksWithinASummedSquaredCornerDistanceOf100ArePruned) {
  // Shifts of the whole image along x: the four corners each move by it, so
  // the summed squared distance is 4 shift^2.
  const float fx = camera.intrinsic[0].fx[0];
  for (float shift : {0.0f, 0.0f, 4.97f, 5.03f, 30.0f, 0.1f, 30.5f})
    ASSERT_TRUE(AddHomographyHypothesis(camera, Map(1, 0, shift / fx, 0, 1, 0, 0, 0, 1), blocks));
  const u32 first = kHypothesisBlockSize;  // the first block lies before `first`
  PruneHypotheses(camera, first, blocks);
  // 4.97 goes (98.8), 5.03 stays (101.2), 0.1 and 30.5 go as copies of 0 and 30.
  ASSERT_EQ(blocks.Size(), first + 3 * kHypothesisBlockSize);
  const float expected[3] = {0.0f, 5.03f, 30.0f};
  for (int i = 0; i < 3; ++i) {
    const u32 r = first + i * kHypothesisBlockSize;
    EXPECT_NEAR(blocks[r].m[2] * fx, expected[i], 1e-3) << i;
    EXPECT_NEAR(blocks[r + kHypothesisOffset[0][0]].m[2], expected[i], 1e-3) << i;
  }
  // One block, or none, is left alone.
  PruneHypotheses(camera, first + 2 * kHypothesisBlockSize, blocks);
  PruneHypotheses(camera, blocks.Size(), blocks);
  EXPECT_EQ(blocks.Size(), first + 3 * kHypothesisBlockSize);
}
