// The tracker's records: a reset frame has nothing set, a track's state
// prints by its flags, and two poses compare by their optical axes.
#include "tracker/TrackerRecords.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

TEST(TrackerRecords, ResetFrameTrackNamesAndAxes) {
  TrackerFrame f;
  // Every level's lists, level 0 included.
  for (int l = 0; l < kPyramidLevels; ++l) {
    f.mapMatches[l].resize(3);
    f.candidates[l].resize(2);
    f.lost[l].resize(1);
    f.misses[l].resize(1);
  }
  f.keyFrame = 4;
  f.state.record[kVisual].position[1] = 2.0;
  f.lastImu[5] = 3.0;
  f.startedAtRest = true;
  f.Reset();
  EXPECT_EQ(f.state.record[kVisual].position[1], 0.0);
  EXPECT_EQ(f.lastImu[5], 0.0);
  for (const CameraPose& p : f.pose.slot) EXPECT_FALSE(IsPoseValid(p));
  EXPECT_EQ(f.MapMatchCount(), 0u);
  for (int l = 0; l < kPyramidLevels; ++l)
    EXPECT_TRUE(f.candidates[l].empty() && f.lost[l].empty() && f.misses[l].empty()) << l;
  EXPECT_EQ(f.keyFrame, kNone16);
  EXPECT_FALSE(f.startedAtRest);
  EXPECT_EQ(f.posePrior[7], DBL_MAX);
  EXPECT_EQ(f.delta[kFromProvisional].dq[3], 1.0);

  EXPECT_STREQ(TrackStateName(0), "UNSOLVED");
  EXPECT_STREQ(TrackStateName(kTrackSolved), "OUTLIER");
  EXPECT_STREQ(TrackStateName(kTrackSolved | kTrackInlier), "INLIER");

  // Optical axes (0, 0.6, 0.8) and (0, 0.8, 0.6).
  CameraPose a{}, b{};
  a.m[2][1] = 0.6f, a.m[2][2] = 0.8f;
  b.m[2][1] = 0.8f, b.m[2][2] = 0.6f;
  b.m[2][0] = 5.0f;  // against a zero: does not count
  EXPECT_FLOAT_EQ(AxisDot(a, b), 0.96f);

  // Pitched (about x) and yawed (about y) poses: the cosine of the angle
  // between their axes, each of the three axis components counted.
  const auto turned = [](float pitch, float yaw) {
    const float d = 0.017453292f;
    CameraPose p{};  // the third row of Rx(pitch) Ry(yaw)
    p.m[2][0] = -std::cos(pitch * d) * std::sin(yaw * d);
    p.m[2][1] = std::sin(pitch * d);
    p.m[2][2] = std::cos(pitch * d) * std::cos(yaw * d);
    return p;
  };
  const float cases[][5] = {{20, 0, 0, 0, 0.9396926f},   {20, 0, -20, 0, 0.7660444f},
                            {0, 20, 0, -20, 0.7660444f}, {0, 50, 0, -40, 0.0f},
                            {20, 20, 20, 20, 1.0f},      {90, 0, -90, 0, -1.0f}};
  for (const auto& c : cases)
    EXPECT_NEAR(AxisDot(turned(c[0], c[1]), turned(c[2], c[3])), c[4], 1e-6f)
        << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
}
