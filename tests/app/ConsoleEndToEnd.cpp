// ctest-labels: threads
// ctest-lock: port-3333
// The console program over a written 60-frame demo sequence: it runs to the
// end with exit code 0, stops its four workers once each, writes one pose per
// frame that lies within 2 % of the path length of the truth after a
// similarity alignment, a camera track that reads back as a project, and the
// key frames' images. The program itself, run as a process: a server that
// stops reading holds up no frame, SIGINT and SIGTERM end a run with every
// output written, a killed run keeps every pose it wrote, image_end far past
// the files ends where they stop, and a configuration file that cannot be
// read ends it with exit code 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Application.h"
#include "common/TempFolder.h"
#include "common/TrajectoryAlignment.h"
#include "common/WaitFor.h"
#include "common/app/DemoSequence.h"
#include "common/app/ServerPort.h"
#include "mapping/ProjectFile.h"
#include "optimization/IMUParameters.h"
#include "tracker/InertialMath.h"

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
// round stands after 25 frame periods and the two gaps between its passes
// (the jumps back to the list's start, which no reading measured), not at 5.
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
    const TrackerFrame& f = tracker.Ring()[tracker.Ring().Current()];
    EXPECT_NEAR(25.0 / 30.0 + 2 * 2 * kLongestHeldReading, f.time, 1e-9);
    // Its readings went on in time with it: all after the frame before.
    ASSERT_FALSE(f.samples.empty());
    EXPECT_GT(f.samples.front().time, f.time - 1.0 / 30.0);
    EXPECT_LE(f.samples.back().time, f.time + 1e-9);
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
    // Each new start runs its five frames again from where it begins.
    const TrackerStatus& status = application.GetTracker()->Status();
    EXPECT_GT(status.startFrame, 9);
    EXPECT_EQ(status.endFrame, status.startFrame + 4);
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

namespace {

// The console program on a configuration file, as a process of its own, with
// its standard output and error in one file.
class ConsoleProcess {
 public:
  ConsoleProcess(const std::string& config, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string program = ZEVRION_CONSOLE, argument = config;
    char* argv[] = {program.data(), argument.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ConsoleProcess() { Kill(); }
  ConsoleProcess(const ConsoleProcess&) = delete;
  ConsoleProcess& operator=(const ConsoleProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  // The wait status once the process has ended; -1 when it had not ended
  // after `seconds` and was killed.
  int Wait(double seconds) {
    int status = -1;
    if (pid_ <= 0) return -1;
    if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds)) {
      Kill();
      return -1;
    }
    pid_ = -1;
    return status;
  }

 private:
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The frame indices of a pose file: an index line, then three rows of four
// numbers, each line whole. False when the text is anything else, as a
// pose file cut in the middle of a record is.
bool PoseIndices(const std::string& text, std::vector<int>* indices) {
  indices->clear();
  std::istringstream in(text);
  std::string line;
  for (int n = 0; std::getline(in, line); ++n) {
    std::istringstream fields(line);
    float v[4];
    if (n % 4 == 0) {
      int index;
      if (!(fields >> index) || !(fields >> std::ws).eof()) return false;
      indices->push_back(index);
    } else if (!(fields >> v[0] >> v[1] >> v[2] >> v[3]) || !(fields >> std::ws).eof()) {
      return false;
    }
  }
  return !text.empty() && text.back() == '\n' && Count(text, "\n") % 4 == 0;
}

bool ExitedWith(int status, int code) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// One 80-frame demo sequence for all the process tests; each writes its own
// configuration and outputs beside it.
class ConsoleProgram : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder;
    written_ = WriteDemoSequence(folder_->File("demo"), kFrames);
  }
  static void TearDownTestSuite() { delete folder_; }
  void SetUp() override { ASSERT_TRUE(written_); }

  static std::string Demo(const std::string& name) { return folder_->File("demo/" + name); }
  // A configuration of `keys` followed by the demo's own (the first value of
  // a key is the one taken); its path.
  static std::string Config(const std::string& name, const std::string& keys) {
    const std::string path = Demo(name);
    std::ofstream(path) << keys << ReadText(Demo("config.txt"));
    return path;
  }

  // 54 frames in, the demo pushes a key frame after enough messages to fill
  // the socket buffers of a server that does not read.
  static constexpr u32 kFrames = 80;
  static inline TempFolder* folder_ = nullptr;
  static inline bool written_ = false;
};

TEST_F(ConsoleProgram, AServerThatStopsReadingHoldsUpNoFrame) {
  StalledServer server;
  ASSERT_TRUE(server.Listening());
  const std::string config =
      Config("stalled.txt",
             "server=127.0.0.1\ncamera_file_name_output=" + Demo("stalled-poses.txt") + "\n");
  ConsoleProcess console(config, Demo("stalled-output.txt"));
  ASSERT_TRUE(console.Started());
  // A stuck run is freed by dropping the connection, then killed, so that
  // the failure ends.
  int status = -1;
  if (!WaitFor([&] { return server.Accepted(); }, 60.0) || (status = console.Wait(120.0)) == -1) {
    server.Release();
    console.Wait(10.0);
  }
  const std::string printed = ReadText(Demo("stalled-output.txt"));
  EXPECT_TRUE(ExitedWith(status, 0)) << status << printed;
  std::vector<int> indices;
  EXPECT_TRUE(PoseIndices(ReadText(Demo("stalled-poses.txt")), &indices));
  EXPECT_EQ(kFrames, indices.size());
  EXPECT_EQ(1u, Count(printed, "Server link: ")) << printed;
  EXPECT_EQ(1u, Count(printed, "Stop 4\n"));
  EXPECT_EQ(1u, Count(printed, "Stop 5\n"));
}

// Sent once the run is under way (a replayed list runs until then), either
// signal stops it as Escape does: exit code 0, the workers stopped, a pose
// per frame run and the camera track of as many frames.
TEST_F(ConsoleProgram, SigintAndSigtermEndTheRunWithEveryOutputWritten) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const std::string name = "signal" + std::to_string(signal);
    const std::string poses = Demo(name + "-poses.txt");
    std::remove(poses.c_str());
    const std::string config =
        Config(name + ".txt", "replay=1\ncamera_file_name_output=" + poses +
                                  "\nact_file_name_output=../" + name + ".act\n");
    ConsoleProcess console(config, Demo(name + "-output.txt"));
    ASSERT_TRUE(console.Started());
    EXPECT_TRUE(WaitFor([&] { return Count(ReadText(poses), "\n") >= 12; }, 60.0));
    console.Signal(signal);
    const int status = console.Wait(60.0);
    const std::string printed = ReadText(Demo(name + "-output.txt"));
    EXPECT_TRUE(ExitedWith(status, 0)) << status << printed;
    for (const char* stop : {"Stop 0\n", "Stop 1\n", "Stop 2\n", "Stop 3\n"})
      EXPECT_EQ(1u, Count(printed, stop)) << stop;
    std::vector<int> indices;
    ASSERT_TRUE(PoseIndices(ReadText(poses), &indices));
    ASSERT_GE(indices.size(), 3u);
    for (size_t k = 0; k < indices.size(); ++k)
      EXPECT_EQ(static_cast<int>(k % kFrames), indices[k]);
    EXPECT_NE(std::string::npos,
              printed.find("Stopped after " + std::to_string(indices.size()) + " frames"));
    GlobalMap track;
    ASSERT_TRUE(LoadProjectText(track, Demo(name + ".act")));
    EXPECT_EQ(indices.size(), track.KeyFrameCount());
  }
}

// The pose file is flushed frame by frame: killed, the run leaves whole
// records of consecutive frames.
TEST_F(ConsoleProgram, AKilledRunKeepsEveryPoseItWrote) {
  const std::string poses = Demo("killed-poses.txt");
  ConsoleProcess console(Config("killed.txt", "replay=1\ncamera_file_name_output=" + poses + "\n"),
                         Demo("killed-output.txt"));
  ASSERT_TRUE(console.Started());
  EXPECT_TRUE(WaitFor([&] { return Count(ReadText(poses), "\n") >= 8; }, 60.0));
  console.Signal(SIGKILL);
  const int status = console.Wait(10.0);
  EXPECT_TRUE(status != -1 && WIFSIGNALED(status));
  std::vector<int> indices;
  const std::string text = ReadText(poses);
  ASSERT_TRUE(PoseIndices(text, &indices)) << text.size() << " bytes";
  ASSERT_GE(indices.size(), 2u);
  for (size_t k = 0; k < indices.size(); ++k) EXPECT_EQ(static_cast<int>(k % kFrames), indices[k]);
}

// Ten names, 6 and 7 missing, then none: with image_end two billion frames
// on, the gap is skipped with one line and the run ends at the first long
// run of missing names, with one line; the camera track holds the 8 frames.
// The same when image_end is only two names past them.
TEST_F(ConsoleProgram, ImageEndFarPastTheFilesEndsWhereTheyStop) {
  const std::string dir = Demo("gap");
  std::filesystem::create_directories(dir);
  for (const int k : {0, 1, 2, 3, 4, 5, 8, 9}) {
    char name[16];
    std::snprintf(name, sizeof(name), "/%04d.dat", k);
    std::filesystem::create_symlink(Demo("frames") + name, dir + name);
  }
  // And with image_end just past them: the missing names reach the list's end.
  for (const std::string end : {"2000000000", "12"}) {
    SCOPED_TRACE(end);
    const std::string config = Config(
        "far" + end + ".txt", "image_file_name_input=" + dir + "/0000.dat\nimage_end=" + end +
                                  "\ncamera_file_name_output=" + dir +
                                  "/poses.txt\nact_file_name_output=track.act\n");
    ConsoleProcess console(config, Demo("far-output.txt"));
    ASSERT_TRUE(console.Started());
    const int status = console.Wait(120.0);
    const std::string printed = ReadText(Demo("far-output.txt"));
    EXPECT_TRUE(ExitedWith(status, 0)) << status << printed.substr(0, 2000);
    EXPECT_EQ(1u, Count(printed, "Frames '" + dir + "/0006.dat' to '" + dir +
                                     "/0007.dat' do not exist: skipped\n"))
        << printed;
    EXPECT_EQ(1u, Count(printed,
                        "No frame files from '" + dir + "/0010.dat' on: the sequence ends there\n"))
        << printed;
    EXPECT_EQ(0u, Count(printed, "cannot be loaded"));
    std::vector<int> indices;
    ASSERT_TRUE(PoseIndices(ReadText(dir + "/poses.txt"), &indices));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 8, 9}), indices);
    GlobalMap track;
    ASSERT_TRUE(LoadProjectText(track, dir + "/track.act"));
    EXPECT_EQ(8u, track.KeyFrameCount());
  }
}

// A directory or a missing file as the configuration: said so, exit code 1,
// and nothing about what the (empty) configuration lacks.
TEST_F(ConsoleProgram, AConfigurationThatCannotBeReadEndsWithExitCodeOne) {
  for (const std::string& config : {folder_->File("demo"), Demo("missing.txt")}) {
    SCOPED_TRACE(config);
    ConsoleProcess console(config, Demo("config-output.txt"));
    ASSERT_TRUE(console.Started());
    const int status = console.Wait(60.0);
    const std::string printed = ReadText(Demo("config-output.txt"));
    EXPECT_TRUE(ExitedWith(status, 1)) << status << printed;
    EXPECT_EQ(1u, Count(printed, "Cannot read the configuration file '" + config + "'")) << printed;
    EXPECT_EQ(0u, Count(printed, "Loaded"));
    EXPECT_EQ(0u, Count(printed, "nothing to run"));
  }
}

}  // namespace
