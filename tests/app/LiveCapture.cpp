// ctest-labels: threads
// Live capture: the conversion of each device layout against known pixels and
// libCVD's grey conversion, incomplete buffers refused, the rendezvous handing
// exactly one frame per pass of the loop in capture order, and every way the
// loop ends (the consumer declines, the stream ends, StopCamera while the loop
// or the capture thread waits) within a second.
#include <cvd/convert_image.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "app/Application.h"
#include "app/CaptureConversion.h"
#include "app/FakeCaptureDevice.h"
#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "optimization/IMUParameters.h"

namespace {

using Clock = std::chrono::steady_clock;

CaptureFrame MakeFrame(const std::vector<u8>& bytes, u32 w, u32 h, u32 stride, PixelLayout layout) {
  CaptureFrame frame;
  frame.data = bytes.data();
  frame.width = w;
  frame.height = h;
  frame.stride = stride;
  frame.bytesUsed = static_cast<u32>(bytes.size());
  frame.layout = layout;
  return frame;
}

// Rows of 3-byte pixels, each padded with 0xEE up to the stride.
std::vector<u8> PaddedPixels(u32 w, u32 h, u32 stride) {
  std::vector<u8> bytes(static_cast<size_t>(stride) * h, 0xEE);
  for (u32 r = 0; r < h; ++r) {
    for (u32 x = 0; x < 3 * w; ++x) bytes[r * stride + x] = static_cast<u8>(7 * r + 13 * x + 1);
  }
  return bytes;
}

TEST(CaptureConversion, ThreeByteLayoutsHonourOrderAndStride) {
  const u32 w = 5, h = 3, stride = 3 * w + 5;
  const std::vector<u8> bytes = PaddedPixels(w, h, stride);
  CVD::Image<CVD::Rgb<u8>> colour;
  CVD::Image<u8> grey, reference;
  const struct {
    PixelLayout layout;
    bool bottomUp, bgr;
  } cases[] = {{PixelLayout::kBgr24BottomUp, true, true},
               {PixelLayout::kBgr24, false, true},
               {PixelLayout::kRgb24, false, false}};
  for (const auto& c : cases) {
    ASSERT_TRUE(ConvertCaptureFrame(MakeFrame(bytes, w, h, stride, c.layout), colour, grey));
    ASSERT_EQ(CVD::ImageRef(w, h), colour.size());
    for (u32 r = 0; r < h; ++r) {
      const int y = static_cast<int>(c.bottomUp ? h - 1 - r : r);
      for (u32 x = 0; x < w; ++x) {
        const u8* p = &bytes[r * stride + 3 * x];
        const CVD::Rgb<u8> expected =
            c.bgr ? CVD::Rgb<u8>(p[2], p[1], p[0]) : CVD::Rgb<u8>(p[0], p[1], p[2]);
        EXPECT_EQ(expected, colour[y][x]) << "layout " << static_cast<int>(c.layout) << " r " << r;
      }
    }
    reference.resize(colour.size());
    CVD::convert_image(colour, reference);
    for (int y = 0; y < static_cast<int>(h); ++y) {
      for (int x = 0; x < static_cast<int>(w); ++x) EXPECT_EQ(reference[y][x], grey[y][x]);
    }
  }
}

TEST(CaptureConversion, YuyvGivesLumaAsGreyAndBt601Colour) {
  // Two rows of four pixels, padded to 12 bytes a row.
  const u32 w = 4, h = 2, stride = 12;
  std::vector<u8> bytes(stride * h, 0xEE);
  const u8 rows[2][8] = {{10, 128, 200, 128, 0, 128, 255, 128},
                         {128, 128, 128, 200, 90, 60, 150, 240}};
  for (u32 r = 0; r < h; ++r) std::copy(rows[r], rows[r] + 8, bytes.begin() + r * stride);
  CVD::Image<CVD::Rgb<u8>> colour;
  CVD::Image<u8> grey;
  ASSERT_TRUE(
      ConvertCaptureFrame(MakeFrame(bytes, w, h, stride, PixelLayout::kYuyv), colour, grey));
  const u8 luma[2][4] = {{10, 200, 0, 255}, {128, 128, 90, 150}};
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) EXPECT_EQ(luma[y][x], grey[y][x]) << y << " " << x;
  }
  // Neutral chroma: grey pixels.
  EXPECT_EQ(CVD::Rgb<u8>(200, 200, 200), colour[0][1]);
  EXPECT_EQ(CVD::Rgb<u8>(255, 255, 255), colour[0][3]);
  // Chroma against the full-range formula in floating point.
  for (int x = 0; x < 4; ++x) {
    const u8* pair = &bytes[stride + 4 * (x / 2)];
    const double Y = pair[(x & 1) * 2], U = pair[1] - 128.0, V = pair[3] - 128.0;
    const double expected[3] = {Y + 1.402 * V, Y - 0.344136 * U - 0.714136 * V, Y + 1.772 * U};
    const u8 got[3] = {colour[1][x].red, colour[1][x].green, colour[1][x].blue};
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(std::min(255.0, std::max(0.0, expected[c])), got[c], 1.0) << x << " " << c;
    }
  }
}

TEST(CaptureConversion, IncompleteFramesAreRefusedUntouched) {
  const u32 w = 4, h = 3, stride = 16;
  std::vector<u8> bytes = PaddedPixels(w, h, stride);
  CVD::Image<CVD::Rgb<u8>> colour(CVD::ImageRef(2, 2), CVD::Rgb<u8>(1, 2, 3));
  CVD::Image<u8> grey(CVD::ImageRef(2, 2), 9);
  CaptureFrame frame = MakeFrame(bytes, w, h, stride, PixelLayout::kBgr24BottomUp);
  EXPECT_TRUE(CaptureFrameComplete(frame));
  frame.bytesUsed = stride * h - 1;  // the last row's padding is read too
  EXPECT_FALSE(ConvertCaptureFrame(frame, colour, grey));
  frame.bytesUsed = stride * h;
  frame.stride = 3 * w - 1;
  EXPECT_FALSE(CaptureFrameComplete(frame));
  frame.stride = stride;
  frame.layout = PixelLayout::kYuyv;
  frame.width = 3;  // half a pixel pair
  EXPECT_FALSE(CaptureFrameComplete(frame));
  frame.width = 0;
  EXPECT_FALSE(CaptureFrameComplete(frame));
  frame.width = w;
  frame.data = nullptr;
  EXPECT_FALSE(CaptureFrameComplete(frame));
  EXPECT_EQ(CVD::ImageRef(2, 2), colour.size());
  EXPECT_EQ(CVD::Rgb<u8>(1, 2, 3), colour[1][1]);
  EXPECT_EQ(9, grey[1][1]);
}

// Delivers the given frames in order as fast as the rendezvous takes them,
// then the end marker; or nothing at all until stopped.
class ScriptedSource final : public CaptureSource {
 public:
  explicit ScriptedSource(std::vector<CaptureFrame> frames, bool stall = false)
      : frames_(std::move(frames)), stall_(stall) {}
  ~ScriptedSource() override { Stop(); }
  bool Open(int, u16*, u16*) override { return true; }
  bool Start(FrameCallback onFrame) override {
    thread_ = std::thread([this, onFrame] {
      if (stall_) {
        while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
      }
      for (const CaptureFrame& frame : frames_) {
        if (stop_) return;
        onFrame(frame);
      }
      if (!stop_) onFrame(CaptureFrame());
    });
    return true;
  }
  void Stop() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::vector<CaptureFrame> frames_;
  bool stall_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class LiveCaptureTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("K.txt", "40 0 16\n0 40 12\n0 0 1\n");
    app_ = Start("camera_device=fake\ncamera_fake_width=32\ncamera_fake_height=24\n");
    ASSERT_TRUE(app_->Ready()) << printed_;
  }
  void TearDown() override {
    // A hung loop leaves its thread and application behind rather than hang here.
    if (hung_) {
      runner_.detach();
      app_.release();
    } else if (runner_.joinable()) {
      runner_.join();
    }
    IMU::LoadParameters(Configuration());
  }
  std::unique_ptr<Application> Start(const std::string& keys) {
    testing::internal::CaptureStdout();
    auto app =
        std::make_unique<Application>(folder_.Write("config.txt", "source_type=CAMERA\n" + keys));
    printed_ = testing::internal::GetCapturedStdout();
    return app;
  }
  // Runs the camera loop on its own thread; false when it is still running
  // after `seconds`.
  bool LoopWithin(CaptureSource& source, const Application::FrameConsumer& consume,
                  double seconds) {
    done_ = false;
    runner_ = std::thread([&, consume] {
      result_ = app_->RunCameraLoop(source, consume);
      done_ = true;
    });
    hung_ = !WaitFor([this] { return done_.load(); }, seconds);
    return !hung_;
  }

  TempFolder folder_;
  std::string printed_;
  std::unique_ptr<Application> app_;
  std::thread runner_;
  std::atomic<bool> done_{false};
  bool hung_ = false;
  i32 result_ = 0;
};

TEST_F(LiveCaptureTest, FakeFramesArriveOnePerPassInOrderUntilTheStreamEnds) {
  // 200 fps, but a slow consumer: the device waits in the rendezvous, so no
  // frame is skipped, repeated or written while the consumer reads.
  FakeCaptureDevice device(32, 24, 6);
  u16 w = 0, h = 0;
  ASSERT_TRUE(device.Open(200, &w, &h));
  EXPECT_EQ(32, w);
  EXPECT_EQ(24, h);
  u32 k = 0;
  f64 lastTime = -1.0;
  bool pixelsRight = true;
  ASSERT_TRUE(LoopWithin(
      device,
      [&](const DiskFrame& frame) {
        EXPECT_EQ(CVD::ImageRef(32, 24), frame.colour.size());
        // Buffer row r is image row 23 - r; bytes B, G, R become R, G, B.
        for (u32 r = 0; r < 24; ++r) {
          for (u32 x = 0; x < 32; ++x) {
            const CVD::Rgb<u8> expected(FakeCaptureDevice::PatternByte(k, r, x, 2),
                                        FakeCaptureDevice::PatternByte(k, r, x, 1),
                                        FakeCaptureDevice::PatternByte(k, r, x, 0));
            pixelsRight = pixelsRight && frame.colour[23 - r][x] == expected;
          }
        }
        if (k == 0) {
          EXPECT_EQ(0.0, frame.time);
        }
        EXPECT_GT(frame.time, lastTime);
        lastTime = frame.time;
        ++k;
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        return true;
      },
      10.0));
  EXPECT_TRUE(pixelsRight);
  EXPECT_EQ(6u, k);
  EXPECT_EQ(6, result_);
  // 200 fps: later frames at least a period apart, even with the slow consumer.
  EXPECT_GT(lastTime, 5 * 0.005 - 1e-3);
}

TEST_F(LiveCaptureTest, FakeDeviceRefusesNoFrameRateOrAnEmptyFrame) {
  // A rate of 0 would make the stream's period infinite; an empty frame has
  // nothing to show. Neither opens, and an unopened device does not start.
  struct Case {
    u16 width, height;
    int fps;
  };
  for (const Case c : {Case{32, 24, 0}, Case{32, 24, -30}, Case{0, 24, 30}, Case{32, 0, 30}}) {
    FakeCaptureDevice device(c.width, c.height, 2);
    u16 w = 7, h = 9;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(device.Open(c.fps, &w, &h)) << c.width << " x " << c.height << " at " << c.fps;
    EXPECT_EQ("No camera!\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(7, w);
    EXPECT_EQ(9, h);
    EXPECT_FALSE(device.Start([](const CaptureFrame&) {}));
  }
  FakeCaptureDevice device(32, 24, 2);
  u16 w = 0, h = 0;
  EXPECT_TRUE(device.Open(1, &w, &h));
}

TEST_F(LiveCaptureTest, IncompleteFrameIsSkippedAndTheNextOneServed) {
  const u32 w = 4, h = 2;
  const std::vector<u8> first(w * h * 3, 10), short_(w * h * 3 - 1, 20), last(w * h * 3, 30);
  std::vector<CaptureFrame> frames = {MakeFrame(first, w, h, 3 * w, PixelLayout::kRgb24),
                                      MakeFrame(short_, w, h, 3 * w, PixelLayout::kRgb24),
                                      MakeFrame(last, w, h, 3 * w, PixelLayout::kRgb24)};
  for (u32 i = 0; i < 3; ++i) frames[i].seconds = 100.0 + i;
  ScriptedSource source(frames);
  std::vector<int> seen;
  std::vector<f64> times;
  ASSERT_TRUE(LoopWithin(
      source,
      [&](const DiskFrame& frame) {
        seen.push_back(frame.colour[h - 1][w - 1].red);
        times.push_back(frame.time);
        return true;
      },
      5.0));
  EXPECT_EQ((std::vector<int>{10, 30}), seen);
  EXPECT_EQ((std::vector<f64>{0.0, 2.0}), times);
  EXPECT_EQ(1u, app_->SkippedCameraFrames());
  EXPECT_EQ(2, result_);
}

TEST_F(LiveCaptureTest, DecliningConsumerStopsWhileTheCaptureThreadWaitsForARequest) {
  FakeCaptureDevice device(32, 24, 100000);
  u16 w, h;
  ASSERT_TRUE(device.Open(1000, &w, &h));
  Clock::time_point declined;
  ASSERT_TRUE(LoopWithin(
      device,
      [&](const DiskFrame&) {
        // Long enough for the next frame to block in the request Get.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        declined = Clock::now();
        return false;
      },
      5.0));
  EXPECT_EQ(1, result_);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - declined).count(), 1.0);
}

TEST_F(LiveCaptureTest, StopCameraEndsALoopWaitingForAFrame) {
  ScriptedSource stalled({}, true);
  int consumed = 0;
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    app_->StopCamera();
  });
  const Clock::time_point start = Clock::now();
  const bool ended = LoopWithin(
      stalled, [&](const DiskFrame&) { return ++consumed > 0; }, 5.0);
  stopper.join();
  ASSERT_TRUE(ended);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.1);
  EXPECT_EQ(0, consumed);
  EXPECT_EQ(0, result_);
  // A second loop on the same rendezvous starts clean.
  runner_.join();
  FakeCaptureDevice device(32, 24, 2);
  u16 w, h;
  ASSERT_TRUE(device.Open(100, &w, &h));
  ASSERT_TRUE(LoopWithin(
      device, [&](const DiskFrame&) { return ++consumed > 0; }, 5.0));
  EXPECT_EQ(2, result_);
}

TEST_F(LiveCaptureTest, ConsoleRunsTheFakeStreamToItsEndAndReportsAMissingCamera) {
  app_ = Start(
      "camera_device=fake\ncamera_fake_width=160\ncamera_fake_height=120\n"
      "camera_fake_frames=12\ncamera_fps=120\n");
  ASSERT_TRUE(app_->Ready()) << printed_;
  testing::internal::CaptureStdout();
  const int code = app_->Run();
  printed_ = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, code);
  EXPECT_NE(std::string::npos, printed_.find("12 camera frames")) << printed_;

  app_ = Start("camera_device=" + folder_.File("video-none") + "\n");
  EXPECT_FALSE(app_->Ready());
  EXPECT_NE(0, app_->ExitCode());
  EXPECT_NE(std::string::npos, printed_.find("No camera!\n")) << printed_;
  app_ = Start("camera_device=fake\ncamera_fake_width=0\n");
  EXPECT_FALSE(app_->Ready());
  EXPECT_NE(0, app_->ExitCode());
}

}  // namespace
