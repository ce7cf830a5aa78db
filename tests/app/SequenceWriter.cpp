// ctest-labels: threads
// A hand-held sequence written for the console program reads back as it was
// rendered: the frame records' pixels, readings (without gravity, as the
// engine takes them) and attitude priors, the truth in the pose-file layout,
// a configuration whose keys run each mode with the caller's keys winning;
// unusable keys and folders are refused with a reason. The console program
// then runs a written sequence to its end and leaves a pose for the
// evaluator at every frame.
#include "common/app/SequenceWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "app/Application.h"
#include "app/ConfigFile.h"
#include "app/DiskInput.h"
#include "common/AccuracyEvaluator.h"
#include "common/TempFolder.h"
#include "mapping/SequenceFileName.h"
#include "optimization/IMUParameters.h"

namespace {

SequenceOptions Small(SequenceKind kind, u32 frames) {
  SequenceOptions o = HandHeldSequence(kind, frames);
  o.width = 160;
  o.height = 120;
  o.fx = o.fy = 125.0f;
  o.cx = 79.5f;
  o.cy = 59.5f;
  return o;
}

Configuration ReadConfig(const std::string& path) {
  Configuration config;
  testing::internal::CaptureStdout();
  LoadConfigFile(config, path);
  testing::internal::GetCapturedStdout();
  return config;
}

}  // namespace

TEST(SequenceWriterTest, RecordsHoldTheRenderedFramesReadingsAndAttitudes) {
  TempFolder folder;
  const std::string dir = folder.File("desk");
  const SequenceOptions options = Small(SequenceKind::kDesk, 8);
  std::string error;
  ASSERT_TRUE(WriteSequenceFolder(dir, options, SequenceWriteOptions(), &error)) << error;

  SequenceOptions noGravity = options;
  noGravity.gravity = 0.0;
  SequenceGenerator sequence(noGravity);
  FrameRecordReader reader;
  DiskFrame frame;
  std::vector<IMUSample> imu, expected;
  f64 prior[8];
  CVD::Image<u8> image;
  std::string name;
  PoseFileContents truth;
  ASSERT_TRUE(ReadPoseFile(dir + "/truth.txt", truth, &error)) << error;
  EXPECT_EQ(8, truth.records);
  for (u32 k = 0; k < 8; ++k) {
    MakeSequenceFileName(name, dir + "/frames/0000.dat", k);
    ASSERT_TRUE(reader.LoadFrameRecord(name, frame, imu, prior)) << name;
    sequence.RenderFrame(k, image);
    ASSERT_EQ(image.size(), frame.grey.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), frame.grey.begin())) << k;
    EXPECT_NEAR(sequence.FrameTime(k), frame.time, 1e-12);
    sequence.FrameSamples(k, expected);
    ASSERT_EQ(expected.size(), imu.size()) << k;
    for (size_t i = 0; i < imu.size(); ++i) {
      EXPECT_NEAR(expected[i].time, imu[i].time, 1e-12);
      for (int j = 0; j < 3; ++j) {
        EXPECT_NEAR(expected[i].acceleration[j], imu[i].acceleration[j], 1e-9);
        EXPECT_NEAR(expected[i].rotationRate[j], imu[i].rotationRate[j], 1e-12);
      }
    }
    // The attitude alone: the true quaternion, no position.
    const IMUState s = sequence.TrueState(k);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(s.quaternion[i], prior[i], 1e-12);
    for (int i = 4; i < 7; ++i) EXPECT_EQ(0.0, prior[i]);
    EXPECT_NEAR(sequence.FrameTime(k), prior[7], 1e-12);
    f64 c[3];
    sequence.TrueCentre(k, c);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], truth.centres.at(k)[i], 1e-5);
  }
  // Gravity is out of the readings: a hand-held desk camera's specific force
  // is a few m/s^2 at most, not 9.81.
  for (const IMUSample& s : sequence.Samples())
    EXPECT_LT(
        std::sqrt(s.acceleration[0] * s.acceleration[0] + s.acceleration[1] * s.acceleration[1] +
                  s.acceleration[2] * s.acceleration[2]),
        3.0);

  // Bare records: no readings, no prior.
  SequenceWriteOptions bare;
  bare.recordReadings = false;
  ASSERT_TRUE(WriteSequenceFolder(dir + "2", options, bare, &error)) << error;
  FrameRecordReader bareReader;
  ASSERT_TRUE(bareReader.LoadFrameRecord(dir + "2/frames/0003.dat", frame, imu, prior));
  EXPECT_TRUE(imu.empty());
  EXPECT_EQ(kNoPriorTime, prior[7]);
}

TEST(SequenceWriterTest, ConfigurationRunsEachModeAndTheCallersKeysWin) {
  TempFolder folder;
  const SequenceOptions options = Small(SequenceKind::kBoard, 2);
  std::string error;
  SequenceWriteOptions write;
  ASSERT_TRUE(WriteSequenceFolder(folder.File("r"), options, write, &error)) << error;
  Configuration c = ReadConfig(folder.File("r/config.txt"));
  EXPECT_EQ(folder.File("r/frames/0000.dat"), c["image_file_name_input"]);
  EXPECT_EQ(folder.File("r/poses.txt"), c["camera_file_name_output"]);
  EXPECT_EQ("0", c["view"]);
  EXPECT_EQ("1", c["parallel"]);
  EXPECT_EQ(
      0u, c.count("simulate_imu") + c.count("initial_frames") + c.count("marker_file_name_input"));

  write.mode = RunMode::kVisualOnly;
  write.parallel = false;
  ASSERT_TRUE(WriteSequenceFolder(folder.File("v"), options, write, &error)) << error;
  c = ReadConfig(folder.File("v/config.txt"));
  EXPECT_EQ("1", c["simulate_imu"]);
  EXPECT_EQ("0", c["parallel"]);

  write.mode = RunMode::kTwoViewStart;
  write.initialFrames = 20;
  write.keys = {{"initial_depth", "0.37"}, {"view", "1"}};
  ASSERT_TRUE(WriteSequenceFolder(folder.File("t"), options, write, &error)) << error;
  c = ReadConfig(folder.File("t/config.txt"));
  EXPECT_EQ("20", c["initial_frames"]);
  EXPECT_EQ("0.37", c["initial_depth"]);
  EXPECT_EQ("1", c["view"]);
  // The calibration: fx 0 cx / 0 fy cy / 0 0 1.
  std::ifstream in(folder.File("t/K.txt"));
  float k[9];
  for (float& v : k) in >> v;
  EXPECT_FLOAT_EQ(125.0f, k[0]);
  EXPECT_FLOAT_EQ(79.5f, k[2]);
  EXPECT_FLOAT_EQ(59.5f, k[5]);

  // Keys the console would read differently, and folders that cannot be
  // made, are refused with a reason.
  for (const auto& key : std::vector<std::pair<std::string, std::string>>{
           {"", "1"}, {"a b", "1"}, {"a=b", "1"}, {"//x", "1"}, {"x", ""}, {"x", "a b"}}) {
    write.keys = {key};
    error.clear();
    EXPECT_FALSE(WriteSequenceFolder(folder.File("bad"), options, write, &error)) << key.first;
    EXPECT_FALSE(error.empty());
  }
  write.keys.clear();
  // A folder whose name the console would cut at a space: refused before
  // anything is rendered into it.
  EXPECT_FALSE(WriteSequenceFolder(folder.File("a b"), options, write, &error));
  EXPECT_NE(std::string::npos, error.find("unusable"));
  EXPECT_FALSE(std::filesystem::exists(folder.File("a b")));
  folder.Write("file", "x");
  EXPECT_FALSE(WriteSequenceFolder(folder.File("file/sub"), options, write, &error));
  EXPECT_NE(std::string::npos, error.find("cannot create"));
  SequenceOptions none = options;
  none.frames = 0;
  EXPECT_FALSE(WriteSequenceFolder(folder.File("none"), none, write, &error));
}

TEST(SequenceWriterTest, TheConsoleRunsAWrittenSequenceToItsEnd) {
  TempFolder folder;
  const std::string dir = folder.File("room");
  SequenceOptions options = Small(SequenceKind::kRoomWalk, 24);
  options.width = 320;
  options.height = 240;
  options.fx = options.fy = 250.0f;
  options.cx = 159.5f;
  options.cy = 119.5f;
  std::string error;
  ASSERT_TRUE(WriteSequenceFolder(dir, options, SequenceWriteOptions(), &error)) << error;
  testing::internal::CaptureStdout();
  int code = -1;
  {
    Application application(dir + "/config.txt");
    ASSERT_TRUE(application.Ready());
    code = application.Run();
  }
  testing::internal::GetCapturedStdout();
  IMU::LoadParameters(Configuration());
  EXPECT_EQ(0, code);
  PoseFileContents poses, truth;
  ASSERT_TRUE(ReadPoseFile(dir + "/poses.txt", poses, &error)) << error;
  ASSERT_TRUE(ReadPoseFile(dir + "/truth.txt", truth, &error)) << error;
  EXPECT_EQ(24, poses.records);
  const AccuracyReport report = EvaluateAccuracy(poses.centres, truth.centres);
  EXPECT_EQ(24, report.frames);
  EXPECT_GT(report.pathLength, 0.05);
}
