// ctest-labels: threads long
// The console engine's two-view start (`initial_frames`) on a rendered walk
// through a plain room (1-3 m, 640 x 480, 5 s at 30 fps, blur and read
// noise), of a seed whose start kept failing: once the mid-way key frame was
// in, its new tracks took the corners of the first key frame's features, the
// frames kept a few pairs with the first key frame, and the start began
// again six times. It must start on its first or second attempt, and then
// track every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "common/Sanitizers.h"
#include "common/TempFolder.h"
#include "common/app/ConsoleRun.h"

namespace {

// Frame b's move from frame a in a's camera axes, and the angle of the turn
// between them, in degrees, from two world-to-camera poses.
struct Step {
  double move[3];
  double turn;
};
Step StepBetween(const PoseRows& a, const PoseRows& b) {
  Centre ca, cb;
  CentreOfPoseRows(a.data(), ca);
  CentreOfPoseRows(b.data(), cb);
  const double d[3] = {cb[0] - ca[0], cb[1] - ca[1], cb[2] - ca[2]};
  Step s;
  double trace = 0.0;  // of R_b R_a^T
  for (int r = 0; r < 3; ++r) {
    s.move[r] = a[4 * r] * d[0] + a[4 * r + 1] * d[1] + a[4 * r + 2] * d[2];
    for (int k = 0; k < 3; ++k) trace += b[4 * r + k] * a[4 * r + k];
  }
  s.turn = std::acos(std::min(1.0, std::max(-1.0, (trace - 1.0) / 2.0))) * 180.0 / M_PI;
  return s;
}
double DegreesBetween(const double u[3], const double v[3]) {
  const double dot = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
  const double n = std::sqrt((u[0] * u[0] + u[1] * u[1] + u[2] * u[2]) *
                             (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
  return std::acos(std::min(1.0, std::max(-1.0, dot / n))) * 180.0 / M_PI;
}

size_t CountLines(const std::string& text, const std::string& line) {
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

TEST(MarkerlessTwoViewRoom, APlainRoomStartsAtOnceAndThenTracksEveryFrame) {
  TempFolder folder;
  const ConsoleRun run = RunTwoViewSequence(SequenceFolder(folder.File("room6")),
                                            SequenceKind::kRoomWalk, LongTestSize(150u, 120u), 6);
  ASSERT_TRUE(run.ready) << run.printed;
  EXPECT_LE(CountLines(run.printed, "The map did not start"), 1u) << run.printed;
  // The start waits for a degree of parallax, a second or so in this room;
  // from there on every frame has a pose.
  const AccuracyReport& a = run.report;
  EXPECT_LE(a.frames - a.tracked, 45);
  EXPECT_LT(a.atePercent, 3.0);
}

// Two other seeds: with a degree of parallax the start took, at frames 10 and
// 18, poses whose direction of travel was 98 and 31 degrees off, their turns
// made up to match: its 4 pixel gate let such a pose take in the matches a
// few pixels off the true one, and a fit over all of them still turns the
// direction 11-14 degrees. The start's step, from frame 0 to the first frame
// after it with a pose, must go the walk's way and turn as it turns.
TEST(MarkerlessTwoViewRoom, TheStartTakesTheWalksDirectionNotATurnThatFitsAsWell) {
  for (const u32 seed : {13u, 25u}) {
    TempFolder folder;
    const SequenceFolder sequence(folder.File("room" + std::to_string(seed)));
    const ConsoleRun run = RunTwoViewSequence(sequence, SequenceKind::kRoomWalk, 45, seed);
    ASSERT_TRUE(run.ready) << run.printed;
    PoseFileContents truth;
    std::string error;
    ASSERT_TRUE(ReadPoseFile(sequence.Truth(), truth, &error)) << error;
    const std::map<int, PoseRows>& poses = run.poses.poses;
    const auto start = poses.upper_bound(0);
    ASSERT_TRUE(poses.count(0) == 1 && start != poses.end()) << run.printed;
    const int k = start->first;
    const Step estimate = StepBetween(poses.at(0), start->second);
    const Step actual = StepBetween(truth.poses.at(0), truth.poses.at(k));
    EXPECT_LT(DegreesBetween(estimate.move, actual.move), 8.0) << seed << " " << k;
    EXPECT_NEAR(estimate.turn, actual.turn, 1.0) << seed << " " << k;
  }
}

}  // namespace
