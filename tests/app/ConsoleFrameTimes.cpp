// ctest-labels: threads
// The console run's per-frame times: one positive duration per frame that
// was read and tracked, none for a frame record that was skipped, all of
// them together within the run's own wall time.
#include <gtest/gtest.h>

#include <chrono>

#include "app/Application.h"
#include "common/TempFolder.h"
#include "optimization/IMUParameters.h"

namespace {

// A flat frame record of w x h with no samples and no prior.
void WriteRecord(const TempFolder& folder, const std::string& name, i32 w, i32 h) {
  std::string bytes;
  const auto put = [&bytes](const void* p, size_t n) {
    bytes.append(static_cast<const char*>(p), n);
  };
  const f64 time = 0.0, prior[8] = {0, 0, 0, 1, 0, 0, 0, -1};
  const i32 n = 0;
  put(&w, 4);
  put(&h, 4);
  put(&time, 8);
  bytes.append(static_cast<size_t>(w) * h, '\x40');
  put(&n, 4);
  put(prior, sizeof(prior));
  folder.Write(name, bytes);
}

}  // namespace

TEST(ConsoleFrameTimesTest, OneDurationPerTrackedFrame) {
  TempFolder folder;
  for (int i = 0; i < 6; ++i) {
    // The fourth frame is of another size: skipped.
    WriteRecord(folder, "f000" + std::to_string(i) + ".dat", i == 3 ? 64 : 128, 96);
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
