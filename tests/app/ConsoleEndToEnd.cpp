// ctest-labels: threads
// The console program over a written 60-frame demo sequence: it runs to the
// end with exit code 0, stops its four workers once each, writes one pose per
// frame that lies within 2 % of the path length of the truth after a
// similarity alignment, a camera track that reads back as a project, and the
// key frames' images.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/Application.h"
#include "common/TempFolder.h"
#include "common/TrajectoryAlignment.h"
#include "common/app/DemoSequence.h"
#include "mapping/ProjectFile.h"
#include "optimization/IMUParameters.h"

namespace {

// The camera centres of a pose file ("index" then three rows [R | t]).
std::vector<Centre> ReadCentres(const std::string& path, size_t* lines) {
  std::vector<Centre> centres;
  std::ifstream in(path);
  std::string line;
  *lines = 0;
  int index;
  float m[12];
  while (in >> index) {
    for (float& v : m) in >> v;
    if (!in) break;
    Centre c;
    for (int k = 0; k < 3; ++k) c[k] = -(m[k] * m[3] + m[4 + k] * m[7] + m[8 + k] * m[11]);
    centres.push_back(c);
  }
  std::ifstream count(path);
  while (std::getline(count, line)) ++*lines;
  return centres;
}

double PathLength(const std::vector<Centre>& c) {
  double length = 0.0;
  for (size_t i = 1; i < c.size(); ++i) {
    length += std::sqrt((c[i][0] - c[i - 1][0]) * (c[i][0] - c[i - 1][0]) +
                        (c[i][1] - c[i - 1][1]) * (c[i][1] - c[i - 1][1]) +
                        (c[i][2] - c[i - 1][2]) * (c[i][2] - c[i - 1][2]));
  }
  return length;
}

}  // namespace

TEST(ConsoleEndToEndTest, RunsTheDemoSequence) {
  TempFolder folder;
  const std::string dir = folder.File("demo");
  ASSERT_TRUE(WriteDemoSequence(dir, 60));
  std::ofstream(dir + "/config.txt", std::ios::app)
      << "image_file_name_output_key_frame=" << dir << "/key/frames/0000.pgm\n";
  testing::internal::CaptureStdout();
  int code = -1;
  {
    Application application(dir + "/config.txt");
    ASSERT_TRUE(application.Ready());
    code = application.Run();
  }
  const std::string printed = testing::internal::GetCapturedStdout();
  IMU::LoadParameters(Configuration());
  EXPECT_EQ(0, code);
  for (const char* stop : {"Stop 0\n", "Stop 1\n", "Stop 2\n", "Stop 3\n"}) {
    const size_t at = printed.find(stop);
    EXPECT_NE(std::string::npos, at) << stop;
    EXPECT_EQ(std::string::npos, printed.find(stop, at + 1)) << stop;
  }
  EXPECT_NE(std::string::npos, printed.find("[59] "));

  size_t lines = 0, truthLines = 0;
  const std::vector<Centre> estimate = ReadCentres(dir + "/poses.txt", &lines);
  const std::vector<Centre> truth = ReadCentres(dir + "/truth.txt", &truthLines);
  EXPECT_EQ(60u * 4u, lines);
  ASSERT_EQ(truth.size(), estimate.size());
  const double rms = AlignedTrajectoryRms(estimate, truth), path = PathLength(truth);
  EXPECT_GE(rms, 0.0);
  EXPECT_LT(rms, 0.02 * path) << "rms " << rms << " of a path of " << path;

  GlobalMap project;
  ASSERT_TRUE(LoadProjectText(project, dir + "/track.act"));
  EXPECT_GT(project.KeyFrameCount(), 0u);
  // Key-frame images land in folders made for them.
  EXPECT_TRUE(std::filesystem::exists(dir + "/key/frames/0000.pgm"));
}

// A state saved at test_image ends the run there; the next run loads it and
// goes on from the frame after it.
TEST(ConsoleEndToEndTest, AStateSavedAtAFrameIsContinued) {
  TempFolder folder;
  const std::string dir = folder.File("demo");
  ASSERT_TRUE(WriteDemoSequence(dir, 40));
  {
    std::ofstream config(dir + "/config.txt", std::ios::app);
    config << "test_file_name=" << dir << "/state.bin\ntest_image=25\nparallel=0\n";
  }
  const auto run = [&dir](size_t* lines, std::string* first) {
    testing::internal::CaptureStdout();
    int code = -1;
    {
      Application application(dir + "/config.txt");
      EXPECT_TRUE(application.Ready());
      code = application.Run();
    }
    testing::internal::GetCapturedStdout();
    IMU::LoadParameters(Configuration());
    ReadCentres(dir + "/poses.txt", lines);
    std::ifstream in(dir + "/poses.txt");
    std::getline(in, *first);
    return code;
  };
  size_t lines = 0;
  std::string first;
  EXPECT_EQ(0, run(&lines, &first));
  EXPECT_EQ(26u * 4u, lines);
  EXPECT_EQ("0", first);
  EXPECT_EQ(0, run(&lines, &first));
  EXPECT_EQ(14u * 4u, lines);
  EXPECT_EQ("26", first);
}

// Replayed, the list goes on in time: frame 25 of a 10-frame list played
// round stands at 25 frame periods, not at 5.
TEST(ConsoleEndToEndTest, ReplayKeepsTimeRunning) {
  TempFolder folder;
  const std::string dir = folder.File("demo");
  ASSERT_TRUE(WriteDemoSequence(dir, 10));
  {
    std::ofstream config(dir + "/config.txt", std::ios::app);
    config << "replay=1\ntest_file_name=" << dir << "/state.bin\ntest_image=25\n";
  }
  testing::internal::CaptureStdout();
  {
    Application application(dir + "/config.txt");
    ASSERT_TRUE(application.Ready());
    EXPECT_EQ(0, application.Run());
    const Tracker& tracker = *application.GetTracker();
    EXPECT_EQ(25, tracker.Status().frameCounter);
    EXPECT_NEAR(25.0 / 30.0, tracker.Ring()[tracker.Ring().Current()].time, 1e-9);
  }
  testing::internal::GetCapturedStdout();
  IMU::LoadParameters(Configuration());
  size_t lines = 0;
  ReadCentres(dir + "/poses.txt", &lines);
  EXPECT_EQ(26u * 4u, lines);
}

// A broken frame mid-run is skipped with a message. A two-view start that
// sees too little motion keeps trying with the same first key frame; once
// that key frame's features are gone (blank frames) it starts again.
TEST(ConsoleEndToEndTest, SkipsBrokenFramesAndStartsAgain) {
  TempFolder folder;
  const std::string dir = folder.File("demo");
  ASSERT_TRUE(WriteDemoSequence(dir, 16));
  std::filesystem::resize_file(dir + "/frames/0003.dat", 1000);
  for (int k = 10; k < 16; ++k) {
    char name[32];
    std::snprintf(name, sizeof(name), "/frames/%04d.dat", k);
    ASSERT_TRUE(WriteFlatFrameRecord(dir + name, 640, 480));
  }
  {
    std::ofstream config(dir + "/config.txt", std::ios::app);
    config << "initial_frames=5\nparallel=0\n";
  }
  testing::internal::CaptureStdout();
  {
    Application application(dir + "/config.txt");
    ASSERT_TRUE(application.Ready());
    EXPECT_EQ(0, application.Run());
  }
  const std::string printed = testing::internal::GetCapturedStdout();
  IMU::LoadParameters(Configuration());
  EXPECT_NE(std::string::npos, printed.find("0003.dat' is not a readable frame record"));
  // Moving too little to start at frames 4 to 8 (counted as the tracker
  // does, the broken file left out): no restart there; the first blank
  // frame, 9, loses the first key frame, and the start begins anew.
  EXPECT_EQ(std::string::npos, printed.find("starting again at frame 5\n")) << printed;
  EXPECT_NE(std::string::npos,
            printed.find("[9] The map did not start: starting again at frame 10\n"));
  size_t lines = 0;
  ReadCentres(dir + "/poses.txt", &lines);
  EXPECT_EQ(15u * 4u, lines);
}
