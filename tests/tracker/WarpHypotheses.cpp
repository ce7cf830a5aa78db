// Warp hypotheses: a plane's block against the homography and the
// projections it must reproduce at every pair of levels, affine maps that
// stay affine, degenerate planes and maps that give no block, and pruning
// at its distance boundary.
#include "tracker/WarpHypotheses.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "features/ImageMapMath.h"
#include "la/Homography.h"
#include "mapping/GlobalMap.h"

namespace {

void Apply(const WarpRecord& m, float x, float y, float out[2]) {
  const float p[2] = {x, y};
  ApplyHomography(reinterpret_cast<const float(*)[4]>(m.m), p, out);
}

WarpRecord Map(float a, float b, float c, float d, float e, float f, float g, float h, float i) {
  return WarpRecord{{a, b, c, 0, d, e, f, 0, g, h, i, 0}};
}

CameraPose Pose(float angle, float tx, float ty, float tz) {
  // A rotation about the axis (1, 2, 0.5) / |.|, then a translation.
  const float axis[3] = {1.0f / 2.2913f, 2.0f / 2.2913f, 0.5f / 2.2913f};
  CameraPose P;
  AxisAngleToRotation(P, axis, angle);
  P.m[0][3] = tx, P.m[1][3] = ty, P.m[2][3] = tz;
  return P;
}

// Normalised projection of a world point; false behind the camera.
bool Project(const CameraPose& P, const float X[3], float out[2]) {
  float x[3];
  for (int r = 0; r < 3; ++r)
    x[r] = P.m[r][0] * X[0] + P.m[r][1] * X[1] + P.m[r][2] * X[2] + P.m[r][3];
  out[0] = x[0] / x[2], out[1] = x[1] / x[2];
  return x[2] > 0.0f;
}

struct WarpHypothesesTest : testing::Test {
  WarpHypothesesTest() {
    Intrinsic k;
    k.Set(500.0f, 480.0f, 319.5f, 239.5f);
    map = std::make_unique<GlobalMap>(640, 480, k, kNoMounting);
    camera.Set(*map);
  }
  static constexpr f64 kNoMounting[7] = {0, 0, 0, 1, 0, 0, 0};
  std::unique_ptr<GlobalMap> map;
  TrackerCamera camera;
  AlignedArray<WarpRecord> blocks;
  CameraPose keyPose = Pose(0.05f, 0.1f, -0.2f, 0.3f);
  CameraPose curPose = Pose(-0.08f, 0.4f, 0.1f, -0.2f);
  // The plane z = 5: n = (0, 0, 1), d = -5.
  const float plane[4] = {0.0f, 0.0f, 1.0f, -5.0f};
};

}  // namespace

TEST_F(WarpHypothesesTest, APlaneBlockIsTheTrueHomographyAndCarriesProjectionsBetweenLevels) {
  CameraPose relative;
  relative.m[0][0] = FLT_MAX;
  float scratch[4];
  WarpRecord H;
  blocks.PushBack48(Map(1, 0, 0, 0, 1, 0, 0, 0, 1));  // a record before the block stays
  ASSERT_TRUE(AddPlaneHomography(camera, keyPose, curPose, plane, relative, scratch, H, blocks));
  ASSERT_EQ(blocks.Size(), 1u + kHypothesisBlockSize);
  // H = R + t v^T, v = -n'/d', computed here in double.
  double nk[3], dk = plane[3];
  for (int r = 0; r < 3; ++r) {
    nk[r] = keyPose.m[r][2];  // R_k n with n = e3
    dk -= nk[r] * keyPose.m[r][3];
  }
  EXPECT_NEAR(scratch[3], dk, 1e-6);
  double R[3][3], t[3];  // current from key frame: R_c R_k^T, t_c - R t_k
  for (int r = 0; r < 3; ++r) {
    t[r] = curPose.m[r][3];
    for (int c = 0; c < 3; ++c) {
      R[r][c] = 0;
      for (int i = 0; i < 3; ++i) R[r][c] += double(curPose.m[r][i]) * keyPose.m[c][i];
    }
    for (int c = 0; c < 3; ++c) t[r] -= R[r][c] * keyPose.m[c][3];
  }
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(blocks[1].m[4 * r + c], R[r][c] - t[r] * nk[c] / dk, 2e-5) << r << c;
      EXPECT_EQ(blocks[1].m[4 * r + c], H.m[4 * r + c]);
    }
  // Points of the plane, seen from both cameras: every level pair carries
  // the key frame's level-a pixel to the current frame's level-b pixel, and
  // the inverse carries it back.
  const Intrinsic& k0 = camera.intrinsic[0];
  for (const float* X : {(const float[3]){0.3f, -0.4f, 5.0f}, (const float[3]){-1.2f, 0.9f, 5.0f},
                         (const float[3]){0.8f, 1.1f, 5.0f}}) {
    float nkey[2], ncur[2], q[2];
    ASSERT_TRUE(Project(keyPose, X, nkey));
    ASSERT_TRUE(Project(curPose, X, ncur));
    Apply(blocks[1], nkey[0], nkey[1], q);
    EXPECT_NEAR(q[0], ncur[0], 1e-5);
    EXPECT_NEAR(q[1], ncur[1], 1e-5);
    const float pk[2] = {nkey[0] * k0.fx[0] + k0.cx[0], nkey[1] * k0.fy[0] + k0.cy[0]};
    const float pc[2] = {ncur[0] * k0.fx[0] + k0.cx[0], ncur[1] * k0.fy[0] + k0.cy[0]};
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) {
        const float sa = std::ldexp(1.0f, -a), sb = std::ldexp(1.0f, -b);
        const WarpRecord& forward = blocks[1 + kHypothesisOffset[a][b]];
        const WarpRecord& inverse = blocks[2 + kHypothesisOffset[a][b]];
        Apply(forward, pk[0] * sa, pk[1] * sa, q);
        EXPECT_NEAR(q[0], pc[0] * sb, 2e-3) << a << b;
        EXPECT_NEAR(q[1], pc[1] * sb, 2e-3) << a << b;
        Apply(inverse, pc[0] * sb, pc[1] * sb, q);
        EXPECT_NEAR(q[0], pk[0] * sa, 2e-3) << a << b;
        EXPECT_NEAR(q[1], pk[1] * sa, 2e-3) << a << b;
      }
  }
  // The relative pose is kept for the next plane of the same key frame.
  const CameraPose kept = relative;
  const float other[4] = {0.0f, 1.0f, 0.0f, 3.0f};
  ASSERT_TRUE(AddPlaneHomography(camera, curPose, curPose, other, relative, scratch, H, blocks));
  EXPECT_EQ(std::memcmp(&kept, &relative, sizeof(kept)), 0);
}

TEST_F(WarpHypothesesTest, APlaneThroughTheKeyFrameCentreAndSingularMapsGiveNoBlock) {
  float centre[3];
  CameraCentre(keyPose, centre);
  float through[4] = {0.0f, 0.0f, 1.0f, -centre[2]};
  CameraPose relative;
  relative.m[0][0] = FLT_MAX;
  float scratch[4];
  WarpRecord H;
  EXPECT_FALSE(AddPlaneHomography(camera, keyPose, curPose, through, relative, scratch, H, blocks));
  EXPECT_LT(std::fabs(scratch[3]), kMinPlaneOffset);
  // d' = d + n.C: 4e-7 off the centre is still refused, 1e-2 makes a block.
  through[3] = -centre[2] + 4e-7f;
  EXPECT_FALSE(AddPlaneHomography(camera, keyPose, curPose, through, relative, scratch, H, blocks));
  through[3] = -centre[2] + 1e-2f;
  EXPECT_TRUE(AddPlaneHomography(camera, keyPose, curPose, through, relative, scratch, H, blocks));
  EXPECT_EQ(blocks.Size(), kHypothesisBlockSize);
  blocks.Clear();
  EXPECT_EQ(blocks.Size(), 0u);

  EXPECT_FALSE(AddHomographyHypothesis(camera, Map(1, 2, 3, 2, 4, 6, 0, 0, 1), blocks));
  const float nan = std::nanf("");
  EXPECT_FALSE(AddHomographyHypothesis(camera, Map(1, 0, nan, 0, 1, 0, 0, 0, 1), blocks));
  EXPECT_FALSE(AddImageMapHypothesis(camera, Map(1, 1, 0, 1, 1, 0, 0, 0, 1), blocks));
  EXPECT_FALSE(AddImageMapHypothesis(camera, Map(1, 2, 5, 2, 4, 7, FLT_MAX, 0, 1), blocks));
  WarpRecord unset = Map(FLT_MAX, 0, 0, 0, 1, 0, 0, 0, 1);
  EXPECT_FALSE(AddImageMapHypothesis(camera, unset, blocks));
  EXPECT_EQ(blocks.Size(), 0u);
}

TEST_F(WarpHypothesesTest, AnAffineImageMapKeepsItsMarkerAtEveryLevelAndMapsLikeTheOriginal) {
  // Current alignment-image pixels into the key frame's (level 4).
  const WarpRecord M = Map(1.02f, 0.03f, 1.5f, -0.02f, 0.98f, -0.75f, FLT_MAX, 0.0f, 1.0f);
  ASSERT_TRUE(AddImageMapHypothesis(camera, M, blocks));
  ASSERT_EQ(blocks.Size(), kHypothesisBlockSize);
  for (u32 r = 0; r < kHypothesisBlockSize; ++r) {
    EXPECT_EQ(blocks[r].m[8], FLT_MAX) << r;
    for (int i : {0, 1, 2, 4, 5, 6}) EXPECT_TRUE(std::isfinite(blocks[r].m[i])) << r;
  }
  const float s = 16.0f;  // 640 / 40
  for (const float* p4 : {(const float[2]){5.0f, 7.0f}, (const float[2]){33.0f, 21.0f}}) {
    float cur4[2], q[2];  // the key frame's point p4 is the current frame's cur4
    const WarpRecord& Mr = M;
    // Solve M cur4 = p4 for the affine M.
    const float det = Mr.m[0] * Mr.m[5] - Mr.m[1] * Mr.m[4];
    const float u = p4[0] - Mr.m[2], v = p4[1] - Mr.m[6];
    cur4[0] = (Mr.m[5] * u - Mr.m[1] * v) / det;
    cur4[1] = (-Mr.m[4] * u + Mr.m[0] * v) / det;
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) {
        const float sa = s * std::ldexp(1.0f, -a), sb = s * std::ldexp(1.0f, -b);
        Apply(blocks[kHypothesisOffset[a][b]], p4[0] * sa, p4[1] * sa, q);
        EXPECT_NEAR(q[0], cur4[0] * sb, 1e-3f * sb) << a << b;
        EXPECT_NEAR(q[1], cur4[1] * sb, 1e-3f * sb) << a << b;
        Apply(blocks[kHypothesisOffset[a][b] + 1], cur4[0] * sb, cur4[1] * sb, q);
        EXPECT_NEAR(q[0], p4[0] * sa, 1e-3f * sa) << a << b;
        EXPECT_NEAR(q[1], p4[1] * sa, 1e-3f * sa) << a << b;
      }
    // Record 0 between normalised coordinates: K4^-1 N K4.
    const Intrinsic& k4 = camera.intrinsic[4];
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

TEST_F(WarpHypothesesTest, BlocksWithinASummedSquaredCornerDistanceOf100ArePruned) {
  const float fx = camera.intrinsic[0].fx[0];
  // Shifts in pixels along x of the whole image: four corners each move by
  // it, so the summed squared distance is 4 shift^2.
  auto shifted = [&](float pixels) { return Map(1, 0, pixels / fx, 0, 1, 0, 0, 0, 1); };
  ASSERT_TRUE(AddHomographyHypothesis(camera, shifted(0.0f), blocks));  // before `first`
  const u32 first = blocks.Size();
  for (float shift : {0.0f, 4.97f, 5.03f, 30.0f, 0.1f, 30.5f})
    ASSERT_TRUE(AddHomographyHypothesis(camera, shifted(shift), blocks));
  PruneHypotheses(camera, first, blocks);
  // 4.97^2 * 4 = 98.8 goes, 5.03^2 * 4 = 101.2 stays, 0.1 goes as a copy of
  // 0, 30.5 goes as a copy of 30.
  ASSERT_EQ(blocks.Size(), first + 3 * kHypothesisBlockSize);
  const float expected[3] = {0.0f, 5.03f, 30.0f};
  for (int i = 0; i < 3; ++i) {
    const u32 r = first + i * kHypothesisBlockSize;
    EXPECT_NEAR(blocks[r].m[2] * fx, expected[i], 1e-3) << i;
    EXPECT_NEAR(blocks[r + kHypothesisOffset[0][0]].m[2], expected[i], 1e-3) << i;
  }
  EXPECT_NEAR(blocks[0].m[2], 0.0f, 1e-9);  // the block before first is untouched
  // One block, or none, is left alone.
  PruneHypotheses(camera, first + 2 * kHypothesisBlockSize, blocks);
  PruneHypotheses(camera, blocks.Size(), blocks);
  EXPECT_EQ(blocks.Size(), first + 3 * kHypothesisBlockSize);
}
