// ctest-labels: threads
// The console run's per-frame times: one positive duration per frame that
// was read and tracked, none for a frame record that was skipped, all of
// them together within the run's own wall time.
#include <gtest/gtest.h>

#include <chrono>

#include "app/Application.h"
#include "common/TempFolder.h"
#include "common/app/DemoSequence.h"
#include "optimization/IMUParameters.h"

namespace {

// A binary PGM of one grey level.
std::string FlatPgm(int w, int h, u8 level) {
  std::string pgm = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  pgm.append(static_cast<size_t>(w * h), static_cast<char>(level));
  return pgm;
}

}  // namespace

TEST(ConsoleFrameTimesTest, OneDurationPerTrackedFrame) {
  TempFolder folder;
  for (int i = 0; i < 6; ++i) {
    // The fourth frame is of another size: skipped.
    ASSERT_TRUE(WriteFlatFrameRecord(folder.File("f000" + std::to_string(i) + ".dat"),
                                     i == 3 ? 64 : 128, 96));
  }
  folder.Write("K.txt", "100 0 64\n0 100 48\n0 0 1\n");
  const std::string config = folder.Write(
      "config.txt", "image_file_name_input=" + folder.File("f0000.dat") + "\nparallel=1\nview=0\n");
  testing::internal::CaptureStdout();
  std::vector<f64> frames;
  double seconds = 0.0;
  {
    Application application(config);
    ASSERT_TRUE(application.Ready());
    EXPECT_TRUE(application.FrameSeconds().empty());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, application.Run());
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    frames = application.FrameSeconds();
  }
  const std::string printed = testing::internal::GetCapturedStdout();
  IMU::LoadParameters(Configuration());
  EXPECT_NE(std::string::npos, printed.find("skipped")) << printed;
  ASSERT_EQ(5u, frames.size()) << printed;
  double sum = 0.0;
  for (f64 s : frames) {
    EXPECT_GT(s, 0.0);
    sum += s;
  }
  EXPECT_LE(sum, seconds);
}

// Image files likewise: every frame of the first one's size is tracked, one
// that differs in height alone is skipped.
TEST(ConsoleFrameTimesTest, ImagesOfAnotherHeightAloneAreSkipped) {
  TempFolder folder;
  for (int i = 0; i < 6; ++i) {
    folder.Write("f000" + std::to_string(i) + ".pgm",
                 FlatPgm(128, i == 3 ? 64 : 96, static_cast<u8>(40 + 20 * i)));
  }
  folder.Write("K.txt", "100 0 64\n0 100 48\n0 0 1\n");
  const std::string config = folder.Write(
      "config.txt", "image_file_name_input=" + folder.File("f0000.pgm") + "\nparallel=1\nview=0\n");
  testing::internal::CaptureStdout();
  std::vector<f64> frames;
  {
    Application application(config);
    ASSERT_TRUE(application.Ready());
    EXPECT_EQ(0, application.Run());
    frames = application.FrameSeconds();
  }
  const std::string printed = testing::internal::GetCapturedStdout();
  IMU::LoadParameters(Configuration());
  EXPECT_NE(std::string::npos, printed.find("f0003.pgm' is 128x64, not 128x96: skipped"))
      << printed;
  EXPECT_EQ(5u, frames.size()) << printed;
}

// A run that steps over frames (image_step 3) still hands the tracker every
// reading, from frame records and from IMU text files beside images: the last
// frame's samples span the two frames passed over.
TEST(ConsoleFrameTimesTest, SteppedOverFramesKeepTheirReadings) {
  for (const bool records : {true, false}) {
    TempFolder folder;
    const CVD::Image<u8> grey(CVD::ImageRef(128, 96), 0x40);
    const f64 noPrior[8] = {0, 0, 0, 1, 0, 0, 0, kNoPriorTime};
    for (int i = 0; i < 7; ++i) {
      const f64 t = i / 30.0;
      const std::string n = std::to_string(i);
      if (records) {
        const std::vector<IMUSample> imu = {{{0.0, 0.0, 9.81}, {0.01 * i, 0.0, 0.0}, t - 0.01},
                                            {{0.0, 0.0, 9.81}, {0.01 * i, 0.0, 0.0}, t}};
        ASSERT_TRUE(WriteFrameRecord(folder.File("f000" + n + ".dat"), grey, t, imu, noPrior));
      } else {
        folder.Write("f000" + n + ".pgm", FlatPgm(128, 96, 0x40));
        char text[256];
        std::snprintf(
            text, sizeof(text),
            "%.17g 2\n0 0 9.81 %.17g 0 0 %.17g\n0 0 9.81 %.17g 0 0 %.17g\n0 0 0 1 0 0 0 -1\n", t,
            0.01 * i, t - 0.01, 0.01 * i, t);
        folder.Write("i000" + n + ".txt", text);
      }
    }
    folder.Write("K.txt", "100 0 64\n0 100 48\n0 0 1\n");
    const std::string input = records ? "image_file_name_input=" + folder.File("f0000.dat")
                                      : "image_file_name_input=" + folder.File("f0000.pgm") +
                                            "\nimu_file_name_input=" + folder.File("i0000.txt");
    const std::string config =
        folder.Write("config.txt", input + "\nimage_step=3\nparallel=0\nview=0\n");
    testing::internal::CaptureStdout();
    std::vector<IMUSample> samples;
    {
      Application application(config);
      ASSERT_TRUE(application.Ready());
      EXPECT_EQ(0, application.Run());
      const FrameRing& ring = application.GetTracker()->Ring();
      samples = ring[ring.Current()].samples;
    }
    testing::internal::GetCapturedStdout();
    IMU::LoadParameters(Configuration());
    // Frames 4, 5 and 6; records count time from the first one's earliest sample.
    const f64 origin = records ? -0.01 : 0.0;
    ASSERT_EQ(samples.size(), 6u) << records;
    for (size_t k = 0; k < 6; ++k) {
      const int frame = 4 + static_cast<int>(k / 2);
      const f64 t = frame / 30.0 - (k % 2 == 0 ? 0.01 : 0.0);
      EXPECT_NEAR(samples[k].time, t - origin, 1e-9) << records << " " << k;
      EXPECT_DOUBLE_EQ(samples[k].rotationRate[0], 0.01 * frame) << records << " " << k;
    }
  }
}
