// ctest-labels: threads
// The exported interface: calls without an engine are inert, sizes and
// fields of view outside the engine's range are refused, a second Create
// changes nothing and says so, a state that cannot be saved says so, calls
// from several threads take turns, the camera follows the field of view, the
// host's readings become the tracker's samples (g to m/s^2, sorted, filled
// forward, merged, on the clock of the earliest reading), priors that leave
// the double range are no priors, and marker detection without a prior
// finds the sheet seen from above.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/HostEngine.h"
#include "app/WorkerThread.h"
#include "app/zevrion.h"
#include "common/TempFolder.h"
#include "common/app/HostInput.h"
#include "tests/common/MarkerScene.h"

namespace {

TrackingResult Filled() {
  TrackingResult r;
  std::memset(&r, 0x5a, sizeof(r));
  return r;
}

void ExpectInert() {
  TrackingResult out = Filled();
  std::vector<u8> pixels(640 * 480, 0);
  const HostFrame frame{pixels.data(), 0.0, nullptr};
  EXPECT_EQ(&out, ZevrionRunTracking(&out, &frame, nullptr, 0, nullptr));
  EXPECT_EQ(0, out.status);
  EXPECT_EQ(0, out.planeCount);
  EXPECT_EQ(0, out.objectCount);
  EXPECT_EQ(nullptr, ZevrionRunTracking(nullptr, &frame, nullptr, 0, nullptr));
  const RegisteredObject object{1, 1.0f, {0, 0, 1}, {0, 0, 0}};
  EXPECT_FALSE(ZevrionRegisterObject(&object));
  EXPECT_FALSE(ZevrionDeregisterObject(1));
  float marker[10] = {};
  ZevrionRunMarkerDetection(marker, &frame, nullptr);
  EXPECT_EQ(-1.0f, marker[8]);
  ZevrionStartTracking(nullptr, 0);
  ZevrionResetTracking();
  ZevrionStartMarkerDetection();
  ZevrionSaveFile("/nonexistent/state.bin");
  ZevrionSetServer("127.0.0.1");
}

}  // namespace

TEST(ZevrionExportsTest, WithoutAnEngineEveryCallIsInert) {
  ExpectInert();
  testing::internal::CaptureStderr();
  for (const auto& bad : {std::make_pair(63, 480), std::make_pair(640, 63),
                          std::make_pair(65536, 480), std::make_pair(-640, 480)}) {
    ZevrionCreate(bad.first, bad.second, 60.0, 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr,
                  nullptr);
    ExpectInert();
  }
  for (const double hfov : {0.0, 180.0, -5.0, std::nan("")}) {
    ZevrionCreate(640, 480, hfov, 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
    ExpectInert();
  }
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("no engine"));

  // A second Create on a live engine starts nothing again and says which
  // engine stays; Destroy twice is harmless and leaves no engine.
  ZevrionCreate(64, 64, 90.0, 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
  testing::internal::CaptureStderr();
  ZevrionCreate(128, 96, 90.0, 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << said;
  EXPECT_NE(std::string::npos, said.find("64x64")) << said;
  EXPECT_NE(std::string::npos, said.find("ZevrionDestroy")) << said;
  // The frames are still read at the first size: a 64 x 64 frame is whole.
  std::vector<u8> small(64 * 64, 0);
  const HostFrame frame{small.data(), 0.0, nullptr};
  TrackingResult out = Filled();
  ZevrionRunTracking(&out, &frame, nullptr, 0, nullptr);
  EXPECT_EQ(0, out.status);
  const RegisteredObject object{1, 1.0f, {0, 0, 1}, {0, 0, 0}};
  EXPECT_FALSE(ZevrionRegisterObject(&object));  // no map yet
  ZevrionDestroy();
  ZevrionDestroy();
  ExpectInert();
}

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// The host learns nothing from the call itself, so a state that was not
// written prints one line naming it; a saved state is not harmed by a later
// save that fails.
TEST(ZevrionExportsTest, AStateThatCannotBeSavedSaysSo) {
  TempFolder folder;
  const std::string state = folder.File("state.bin");
  testing::internal::CaptureStderr();
  ZevrionSaveFile(state.c_str());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("no engine"));
  EXPECT_FALSE(std::filesystem::exists(state));

  ZevrionCreate(64, 64, 90.0, 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
  ZevrionStartTracking(nullptr, 0);
  testing::internal::CaptureStderr();
  ZevrionSaveFile(state.c_str());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  const std::string saved = FileBytes(state);
  ASSERT_FALSE(saved.empty());

  // The state is written beside its name first: with that name taken by a
  // folder, the save fails and the saved state stays.
  std::filesystem::create_directory(state + ".tmp");
  const std::string missing = folder.File("missing/state.bin");
  const std::string asFolder = folder.File("");
  for (const char* path : {missing.c_str(), asFolder.c_str(), "/", "", state.c_str()}) {
    testing::internal::CaptureStderr();
    ZevrionSaveFile(path);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << "'" << path << "': " << said;
    EXPECT_NE(std::string::npos, said.find(path)) << said;
  }
  testing::internal::CaptureStderr();
  ZevrionSaveFile(nullptr);
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("nothing saved"));
  EXPECT_EQ(saved, FileBytes(state));
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(std::filesystem::exists("/.tmp"));
  ZevrionDestroy();
}

// Two host threads each running the room's frames and a third making the
// other calls, all at once: the calls take turns on the engine, so the
// process lives and every result is one of a single call.
TEST(ZevrionExportsTest, CallsFromSeveralThreadsTakeTurns) {
  const SequenceOptions options = HostRoom(320, 16);
  SequenceGenerator sequence(options);
  std::vector<HostInput> frames(options.frames);
  for (u32 k = 0; k < options.frames; ++k) frames[k].Load(sequence, k);
  ZevrionCreate(320, 240, HostHfov(options), 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr,
                nullptr);
  ZevrionStartTracking(nullptr, 0);
  std::atomic<int> faults{0}, tracked{0};
  const auto host = [&] {
    for (u32 k = 0; k < options.frames; ++k) {
      const TrackingResult out = frames[k].Run(k);
      // The text and arrays belong to whichever call came last: not read here.
      if (out.status < 0 || out.status > 3 || out.text == nullptr || out.planeCount < 0 ||
          out.objectCount < 0)
        ++faults;
      if (out.status == 2) ++tracked;
    }
  };
  const auto other = [&] {
    const HostFrame frame{frames[0].pixels.data(), frames[0].time, nullptr};
    for (int i = 0; i < 16; ++i) {
      const RegisteredObject object{i, 1.0f, {0, 0, 0, 1}, {0.1f, 0.0f, 0.0f}};
      if (ZevrionRegisterObject(&object) && !ZevrionDeregisterObject(i)) ++faults;
      if (std::strlen(ZevrionLocalDay()) != 8) ++faults;
      float marker[10];
      ZevrionStartMarkerDetection();
      ZevrionRunMarkerDetection(marker, &frame, nullptr);
      if (marker[8] != -1.0f && marker[8] != 0.21f) ++faults;
    }
  };
  std::thread a(host), b(host), c(other);
  a.join();
  b.join();
  c.join();
  ZevrionDestroy();
  EXPECT_EQ(0, faults.load());
  // The room's frames still track between the other thread's calls.
  EXPECT_GT(tracked.load(), 0);
}

// Without a prior the engine assumes a camera looking straight down: frames
// of the sheet seen from above report its corners once twenty agree, and
// the sheet's size the host gave.
TEST(ZevrionExportsTest, MarkerDetectionWithoutAPriorFindsTheSheetFromAbove) {
  constexpr int kFrames = 5;
  const MarkerScene scene;
  CameraPose poses[kFrames];
  CVD::Image<unsigned char> frames[kFrames];
  scene.JitteredFrames(21, kFrames, poses, frames);
  const double hfov = 2.0 * std::atan(0.5 * MarkerScene::kWidth / scene.K.fx[0]) * 180.0 / M_PI;
  ZevrionCreate(MarkerScene::kWidth, MarkerScene::kHeight, hfov, 0, 0, MarkerScene::height,
                MarkerScene::sheetWidth, MarkerScene::sheetHeight, false, false, nullptr, nullptr);
  ZevrionStartMarkerDetection();
  int reported = 0;
  for (int i = 0; i < 22; ++i) {
    const int f = i % kFrames;
    const HostFrame frame{frames[f].data(), i / 30.0, nullptr};
    float marker[10];
    // A prior without a rotation is no prior.
    const double noRotation[8] = {0, 0, 0, 0, 0, 0, 0, frame.time};
    ZevrionRunMarkerDetection(marker, &frame, i % 2 == 0 ? nullptr : noRotation);
    if (marker[8] == -1.0f) continue;
    ++reported;
    EXPECT_EQ(marker[8], MarkerScene::sheetHeight);
    EXPECT_EQ(marker[9], MarkerScene::sheetWidth);
    float truth[8];
    scene.TrueCorners(poses[f], truth);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(marker[k], truth[k], 1.5f) << "frame " << i;
  }
  ZevrionDestroy();
  EXPECT_EQ(reported, 3);
}

TEST(ZevrionExportsTest, LocalDayIsEightDigitsOfToday) {
  char expected[16];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(expected, sizeof(expected), "%Y%m%d", &local);
  EXPECT_STREQ(expected, ZevrionLocalDay());
  EXPECT_EQ(8u, std::strlen(ZevrionLocalDay()));
}

namespace {

// A host engine of that size and field of view; null with the reason in why.
std::unique_ptr<HostEngine> MakeEngine(int width, int height, double hfovDegrees,
                                       std::string& why) {
  HostSettings s;
  s.width = width;
  s.height = height;
  s.hfovDegrees = hfovDegrees;
  return HostEngine::Create(s, why);
}

}  // namespace

TEST(HostEngineTest, CameraFromTheFieldOfView) {
  std::string why;
  std::unique_ptr<HostEngine> engine = MakeEngine(640, 480, 90.0, why);
  ASSERT_TRUE(engine) << why;
  EXPECT_FLOAT_EQ(320.0f, engine->Camera().fx[0]);
  EXPECT_FLOAT_EQ(320.0f, engine->Camera().fy[0]);
  EXPECT_EQ(319.5f, engine->Camera().cx[0]);
  EXPECT_EQ(239.5f, engine->Camera().cy[0]);
  EXPECT_FALSE(MakeEngine(70000, 480, 90.0, why));
  EXPECT_NE(std::string::npos, why.find("70000"));
}

TEST(HostEngineTest, HostReadingsBecomeTheTrackersSamples) {
  std::string why;
  std::unique_ptr<HostEngine> engine = MakeEngine(64, 64, 60.0, why);
  ASSERT_TRUE(engine) << why;
  const HostImuSample readings[] = {
      {1, 0.1, 0.2, 0.3, 10.25},   // gyroscope first: acceleration (0, 0, 0)
      {0, 1.0, 0.0, -1.0, 10.5},   // g to m/s^2
      {1, 0.4, 0.5, 0.6, 10.5},    // same time: merged, carries both
      {0, NAN, 0.0, 0.0, 10.75},   // dropped
      {0, 0.0, 2.0, 0.0, 10.0},    // out of order: the earliest
      {5, 9.0, 9.0, 9.0, 10.125},  // neither half
  };
  engine->StartTracking(readings, 6);
  EXPECT_EQ(10.0, engine->StartTime());
  // Samples start at the first gyroscope reading (rates never measured are
  // not zero), carrying the accelerations seen before it.
  const std::vector<IMUSample>& out = engine->Samples();
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ(0.25, out[0].time);
  EXPECT_DOUBLE_EQ(-19.62, out[0].acceleration[1]);  // filled forward
  EXPECT_EQ(0.1, out[0].rotationRate[0]);
  EXPECT_EQ(0.5, out[1].time);
  EXPECT_DOUBLE_EQ(-9.81, out[1].acceleration[0]);
  EXPECT_DOUBLE_EQ(9.81, out[1].acceleration[2]);
  EXPECT_EQ(0.6, out[1].rotationRate[2]);
  // Accelerometer readings alone become no sample.
  engine->StartTracking(readings + 1, 1);
  EXPECT_TRUE(engine->Samples().empty());

  // Start again: the last values are forgotten; no readings, no samples.
  engine->StartTracking(readings, 1);
  ASSERT_EQ(1u, engine->Samples().size());
  EXPECT_EQ(0.0, engine->Samples()[0].acceleration[0]);
  engine->StartTracking(readings, 0);
  EXPECT_TRUE(engine->Samples().empty());
  EXPECT_EQ(DBL_MAX, engine->StartTime());
  // A frame bringing a single reading brings it as one sample.
  std::vector<u8> pixels(64 * 64, 0);
  const HostFrame frame{pixels.data(), 10.5, nullptr};
  TrackingResult result;
  UndistortionTable none;
  const Tracker& tracker = engine->GetTracker();
  EXPECT_TRUE(tracker.Options().imageRotation);
  // The images give the rotation between frames until a gyroscope reading
  // comes: an accelerometer's does not end it, a gyroscope's does, and each
  // new run starts from the images again.
  engine->RunTracking(result, frame, readings + 1, 1, nullptr, none);
  EXPECT_TRUE(tracker.Options().imageRotation);
  engine->RunTracking(result, frame, readings, 1, nullptr, none);
  ASSERT_EQ(1u, engine->Samples().size());
  EXPECT_EQ(0.1, engine->Samples()[0].rotationRate[0]);
  EXPECT_FALSE(tracker.Options().imageRotation);
  engine->ResetTracking();
  EXPECT_TRUE(tracker.Options().imageRotation);
  engine->RunTracking(result, frame, readings, 1, nullptr, none);
  engine->StartTracking(nullptr, 0);
  EXPECT_TRUE(tracker.Options().imageRotation);
}

namespace {

struct CountingWorker : Worker<u8> {
  void Run(const u8*) override { ++runs; }
  bool IsBusy() const override { return false; }
  std::atomic<int> runs{0};
};

}  // namespace

// Starting a context whose thread runs (a second engine over the same
// contexts) keeps that thread instead of ending the process.
TEST(HostEngineTest, StartingARunningContextKeepsItsThread) {
  MutexBufferPool<u8> pool(1);
  MutexBufferQueue<u8> queue(1);
  CountingWorker worker;
  ThreadContext<u8, CountingWorker> context;
  context.id = 7;
  context.worker = &worker;
  context.in = &queue;
  context.out = &pool;
  StartWorkerThread(&context);
  StartWorkerThread(&context);
  HandOverSynchronous(pool, queue, [](u8& request) { request = 1; });
  EXPECT_EQ(1, worker.runs);
  StopWorkerThread(&context);
  EXPECT_TRUE(context.stopped);
  EXPECT_FALSE(IMU::ParametersFrozen());
}

// A prior whose numbers are finite but whose squared quaternion length or
// time on the engine's clock leaves the double range is no prior; one
// within range is taken, its quaternion as the same rotation of unit length
// with w >= 0 (a longer one scaled the frames' rotations).
TEST(HostEngineTest, PriorsBeyondTheDoubleRangeAreNone) {
  std::string why;
  std::unique_ptr<HostEngine> engine = MakeEngine(64, 64, 60.0, why);
  ASSERT_TRUE(engine) << why;
  const HostImuSample far[1] = {{1, 0.0, 0.0, 0.0, -1e308}};
  engine->StartTracking(far, 1);  // the clock starts far in the past
  ASSERT_EQ(-1e308, engine->StartTime());
  std::vector<u8> pixels(64 * 64, 0);
  const HostFrame frame{pixels.data(), 0.0, nullptr};
  TrackingResult result;
  UndistortionTable none;
  const auto run = [&](std::initializer_list<double> p) {
    double prior[8];
    std::copy(p.begin(), p.end(), prior);
    engine->RunTracking(result, frame, far, 0, prior, none);
    return engine->Prior();
  };
  EXPECT_EQ(1e308, run({0, 0, 0, 1, 1, 2, 3, 0.0})[7]);
  EXPECT_EQ(-2.0, engine->Prior()[5]);
  EXPECT_EQ(DBL_MAX, run({0, 0, 0, 1, 1, 2, 3, 1e308})[7]);
  for (const double c : {1e200, -1e200, 1e-200, 1e-160}) {
    EXPECT_EQ(DBL_MAX, run({c, c, 0, c, 1, 2, 3, 0.0})[7]) << c;
  }
  const f64* taken = run({0, 3e150, 0, 4e150, 1, 2, 3, 0.0});
  EXPECT_EQ(1e308, taken[7]);
  EXPECT_DOUBLE_EQ(0.6, taken[1]);
  EXPECT_DOUBLE_EQ(0.8, taken[3]);
  taken = run({0, 0.3, 0, -0.4, 1, 2, 3, 0.0});
  EXPECT_DOUBLE_EQ(-0.6, taken[1]);
  EXPECT_DOUBLE_EQ(0.8, taken[3]);
}

// A first frame without a time does not stop the clock: it starts with the
// first frame that has one.
TEST(HostEngineTest, TheClockStartsAtAFiniteTime) {
  std::string why;
  std::unique_ptr<HostEngine> engine = MakeEngine(64, 64, 60.0, why);
  ASSERT_TRUE(engine) << why;
  engine->StartTracking(nullptr, 0);
  std::vector<u8> pixels(64 * 64, 0);
  TrackingResult result;
  UndistortionTable none;
  const HostImuSample noReadings[1] = {};
  const double prior[8] = {0, 0, 0, 1, 0, 0, 0, 2.5};
  for (const double t : {std::nan(""), HUGE_VAL}) {
    const HostFrame untimed{pixels.data(), t, nullptr};
    engine->RunTracking(result, untimed, nullptr, 0, nullptr, none);
    engine->RunTracking(result, untimed, noReadings, 0, prior, none);
    EXPECT_EQ(DBL_MAX, engine->StartTime());
    EXPECT_EQ(DBL_MAX, engine->Prior()[7]);  // no clock to put it on
  }
  const HostFrame timed{pixels.data(), 2.0, nullptr};
  engine->RunTracking(result, timed, noReadings, 0, prior, none);
  EXPECT_EQ(2.0, engine->StartTime());
  EXPECT_EQ(0.5, engine->Prior()[7]);
  // Once a frame is timed the clock stays: readings from before its start
  // (an inertial unit that ran before the camera, handed over late) lie
  // before it instead of shifting the later frames against the first.
  const HostImuSample early[2] = {{1, 0.1, 0.2, 0.3, 1.5}, {1, 0.4, 0.5, 0.6, 2.0}};
  engine->RunTracking(result, HostFrame{pixels.data(), 2.1, nullptr}, early, 2, nullptr, none);
  EXPECT_EQ(2.0, engine->StartTime());
  ASSERT_EQ(2u, engine->Samples().size());
  EXPECT_EQ(-0.5, engine->Samples()[0].time);
  // A new run's clock starts again, from its readings.
  engine->StartTracking(early, 2);
  EXPECT_EQ(1.5, engine->StartTime());
}
