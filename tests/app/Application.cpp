// The console application's start-up: every fatal failure (no frames, an
// unloadable first frame, a bad step or initial depth, a missing calibration, an unknown source
// or map file) leaves it not ready with a non-zero exit code and builds no
// engine; a good configuration builds one sized by its first frame.
#include "app/Application.h"

#include <gtest/gtest.h>

#include "common/TempFolder.h"
#include "common/app/DemoSequence.h"
#include "optimization/IMUParameters.h"

namespace {

class ApplicationTest : public testing::Test {
 protected:
  void WriteRecord(const std::string& name, i32 w, i32 h) {
    ASSERT_TRUE(WriteFlatFrameRecord(folder_.File(name), w, h));
  }
  int Start(const std::string& config) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Application app(folder_.Write("config.txt", config));
    printed_ = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    ready_ = app.Ready();
    return app.Ready() ? 0 : app.ExitCode();
  }
  // Back to the default inertial parameters the start-up adjusted.
  void TearDown() override { IMU::LoadParameters(Configuration()); }

  TempFolder folder_;
  std::string printed_;
  bool ready_ = false;
};

}  // namespace

TEST_F(ApplicationTest, FatalStartsExitNonZero) {
  WriteRecord("f0000.dat", 64, 48);
  folder_.Write("K.txt", "60 0 32\n0 60 24\n0 0 1\n");
  const std::string frames = "image_file_name_input=" + folder_.File("f0000.dat") + "\n";
  EXPECT_EQ(0, Start(frames));
  EXPECT_TRUE(ready_) << printed_;

  EXPECT_NE(0, Start("image_file_name_input=" + folder_.File("g0000.dat") + "\n"));
  EXPECT_NE(std::string::npos, printed_.find("No input frames"));
  EXPECT_NE(0, Start(frames + "image_start=5\nimage_end=2\n"));
  EXPECT_NE(0, Start(frames + "image_step=0\n"));
  EXPECT_NE(std::string::npos, printed_.find("image_step"));
  for (const char* depth : {"0", "-0.5", "nan", "inf", "1e39"}) {
    EXPECT_NE(0, Start(frames + "initial_depth=" + depth + "\n")) << depth;
    EXPECT_NE(std::string::npos, printed_.find("initial_depth")) << depth;
  }
  EXPECT_EQ(0, Start(frames + "initial_depth=0.37\n"));
  WriteRecord("h0000.dat", 0, 48);
  EXPECT_NE(0, Start("image_file_name_input=" + folder_.File("h0000.dat") + "\n"));
  EXPECT_NE(std::string::npos, printed_.find("first frame"));
  EXPECT_NE(0, Start(frames + "calib_file_name=" + folder_.File("none.txt") + "\n"));
  EXPECT_NE(std::string::npos, printed_.find("calibration"));
  folder_.Write("bad.txt", "not a calibration\n");
  EXPECT_NE(0, Start(frames + "calib_file_name=" + folder_.File("bad.txt") + "\n"));
  EXPECT_NE(0, Start(frames + "source_type=FILE\n"));
  EXPECT_NE(0, Start(frames + "source_type=CAMERA\n"));
  EXPECT_NE(std::string::npos, printed_.find("No camera!"));
  EXPECT_NE(0, Start("source_type=MAP\nmap_file_name=" + folder_.File("map.bin") + "\n"));
  folder_.Write("map.txt", "garbage");
  EXPECT_NE(0, Start("source_type=MAP\nmap_file_name=" + folder_.File("map.txt") + "\n"));
}
