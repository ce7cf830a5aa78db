// ctest-labels: threads long
// The console engine without the marker sheet on a rendered hand-held poster
// filling the view at 0.37 m (640 x 480, 8 s at 30 fps, blur and read noise),
// whose second key frame comes late: with readings, and visual-only, the map
// keeps the scale the start gave it and follows the path closely (the
// inertial terms, in metres, do not drag a map the marker did not anchor).
// And frames where no map can exist, black or pure noise, get no pose.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/DiskInput.h"
#include "common/TempFolder.h"
#include "common/app/ConsoleRun.h"
#include "common/app/SequenceWriter.h"
#include "la/Random.h"

namespace {

constexpr u32 kFrames = 240;
constexpr double kBoardDepth = 0.37;  // m

TEST(MarkerlessBoard, TheScaleTheStartGaveHoldsWithAndWithoutReadings) {
  TempFolder folder;
  const SequenceFolder f(folder.File("board"));
  std::string error;
  ASSERT_TRUE(WriteSequenceFolder(f.dir, HandHeldSequence(SequenceKind::kBoard, kFrames),
                                  SequenceWriteOptions{}, &error))
      << error;
  for (const RunMode mode : {RunMode::kWithReadings, RunMode::kVisualOnly}) {
    SequenceWriteOptions write;
    write.mode = mode;
    const std::string name = RunModeName(mode);
    const ConsoleRun run = RunWrittenSequence(f, write, name);
    ASSERT_TRUE(run.ready) << run.printed;
    EXPECT_GT(run.secondKeyFrame, 0) << name;
    EXPECT_GE(run.report.trackedFraction, 0.95) << name;
    EXPECT_LT(run.report.atePercent, 1.5) << name;
    EXPECT_NEAR(run.report.scaleDrift, 1.0, 0.15) << name;
    // The first points stand at the default depth of 1: the map is about
    // 1 / 0.37 times the world, readings or not.
    EXPECT_GT(run.report.mapScale, 0.5 / kBoardDepth) << name;
    EXPECT_LT(run.report.mapScale, 2.0 / kBoardDepth) << name;
  }
}

TEST(MarkerlessBoard, BlackAndNoiseFramesGetNoPose) {
  TempFolder folder;
  CVD::Image<u8> image(CVD::ImageRef(640, 480));
  const f64 noPrior[8] = {0, 0, 0, 1, 0, 0, 0, kNoPriorTime};
  Random::Seed(3);
  for (const char* kind : {"black", "noise"}) {
    const std::string dir = folder.File(kind);
    ASSERT_TRUE(std::filesystem::create_directories(dir + "/frames"));
    for (u32 k = 0; k < 30; ++k) {
      for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
          image[y][x] = kind[0] == 'b' ? 0 : static_cast<u8>(Random::Index(256));
      char name[64];
      std::snprintf(name, sizeof(name), "/frames/%04u.dat", k);
      ASSERT_TRUE(WriteFrameRecord(dir + name, image, k / 30.0, {}, noPrior));
    }
    folder.Write(std::string(kind) + "/K.txt", "500 0 319.5\n0 500 239.5\n0 0 1\n");
    folder.Write(std::string(kind) + "/config.txt",
                 "image_file_name_input=" + dir + "/frames/0000.dat\ncamera_file_name_output=" +
                     dir + "/poses.txt\nview=0\nsimulate_imu=1\n");
    // Against a truth of its own: only the counts are read.
    const ConsoleRun run = RunConsole(dir + "/config.txt", dir + "/poses.txt", dir + "/poses.txt");
    ASSERT_TRUE(run.ready) << kind;
    EXPECT_EQ(run.exitCode, 0) << kind;
    EXPECT_EQ(run.poses.records, 30) << kind;
    EXPECT_TRUE(run.poses.centres.empty()) << kind << ": " << run.poses.centres.size() << " poses";
    // A frame without a pose is written as such in full: no left-over numbers.
    std::ifstream in(dir + "/poses.txt");
    std::string line;
    int rows = 0, unset = 0;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::vector<double> v{std::istream_iterator<double>(words), {}};
      if (v.size() != 4) continue;  // a frame number, or a row that does not read
      ++rows;
      for (double x : v) unset += static_cast<float>(x) == FLT_MAX;
    }
    EXPECT_EQ(rows, 90) << kind;
    EXPECT_EQ(unset, 360) << kind;
  }
}

}  // namespace
