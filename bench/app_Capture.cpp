// Live capture. Conversion: a 640 x 480 BGR24 bottom-up buffer (the fake
// device's layout) to the colour and grey working images by the capture
// layer, beside cv::flip + cv::cvtColor (BGR2RGB and BGR2GRAY) on the same
// buffer; max_grey_diff is the largest grey difference between the two.
// Hand-over: the fake device at 30 and 120 fps through the application's
// rendezvous, beside a plain std::condition_variable slot on the same device;
// p50_us and p99_us are the delays from the device's callback to the frame
// loop holding the converted frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "app/Application.h"
#include "app/CaptureConversion.h"
#include "app/FakeCaptureDevice.h"
#include "common/TempFolder.h"
#include "la/Random.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr u32 kW = 640, kH = 480;

const std::vector<u8>& Buffer() {
  static std::vector<u8> bytes;
  if (bytes.empty()) {
    Random::Seed(11);
    bytes.resize(kW * kH * 3);
    for (u8& b : bytes) b = static_cast<u8>(Random::Index(256));
  }
  return bytes;
}

CaptureFrame Frame() {
  CaptureFrame frame;
  frame.data = Buffer().data();
  frame.width = kW;
  frame.height = kH;
  frame.stride = 3 * kW;
  frame.bytesUsed = 3 * kW * kH;
  frame.layout = PixelLayout::kBgr24BottomUp;
  return frame;
}

void OpenCvConversion(const cv::Mat& buffer, cv::Mat& flipped, cv::Mat& rgb, cv::Mat& grey) {
  cv::flip(buffer, flipped, 0);
  cv::cvtColor(flipped, rgb, cv::COLOR_BGR2RGB);
  cv::cvtColor(flipped, grey, cv::COLOR_BGR2GRAY);
}

// Both conversions once, outside the timing: the largest grey difference.
void SetGreyDifference(benchmark::State& state) {
  CVD::Image<CVD::Rgb<u8>> colour;
  CVD::Image<u8> oursGrey;
  ConvertCaptureFrame(Frame(), colour, oursGrey);
  const cv::Mat buffer(kH, kW, CV_8UC3, const_cast<u8*>(Buffer().data()));
  cv::Mat flipped, rgb, theirsGrey;
  OpenCvConversion(buffer, flipped, rgb, theirsGrey);
  int worst = 0;
  for (u32 y = 0; y < kH; ++y) {
    for (u32 x = 0; x < kW; ++x) {
      worst = std::max(worst, std::abs(oursGrey[y][x] - theirsGrey.at<u8>(y, x)));
    }
  }
  state.counters["max_grey_diff"] = worst;
}

void BM_ConvertCaptureFrame(benchmark::State& state) {
  const CaptureFrame frame = Frame();
  CVD::Image<CVD::Rgb<u8>> colour;
  CVD::Image<u8> grey;
  for (auto _ : state) {
    ConvertCaptureFrame(frame, colour, grey);
    benchmark::DoNotOptimize(colour.data());
  }
  SetGreyDifference(state);
}

void BM_OpenCvFlipCvtColor(benchmark::State& state) {
  const cv::Mat buffer(kH, kW, CV_8UC3, const_cast<u8*>(Buffer().data()));
  cv::Mat flipped, rgb, grey;
  for (auto _ : state) {
    OpenCvConversion(buffer, flipped, rgb, grey);
    benchmark::DoNotOptimize(rgb.data);
  }
  SetGreyDifference(state);
}

// Stamps each frame as the device hands it on.
class StampedSource final : public CaptureSource {
 public:
  StampedSource(int fps, u32 frames) : device_(kW, kH, frames), fps_(fps) {}
  bool Open(int, u16* w, u16* h) override { return device_.Open(fps_, w, h); }
  bool Start(FrameCallback onFrame) override {
    return device_.Start([this, onFrame](const CaptureFrame& frame) {
      stamp = Clock::now();
      onFrame(frame);
    });
  }
  void Stop() override { device_.Stop(); }
  Clock::time_point stamp;

 private:
  FakeCaptureDevice device_;
  int fps_;
};

void SetPercentiles(benchmark::State& state, std::vector<double>& delays) {
  std::sort(delays.begin(), delays.end());
  const auto at = [&delays](double q) {
    return delays.empty() ? -1.0 : delays[static_cast<size_t>(q * (delays.size() - 1))];
  };
  state.counters["p50_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["frames"] = static_cast<double>(delays.size());
}

void BM_RendezvousHandOver(benchmark::State& state) {
  const int fps = static_cast<int>(state.range(0));
  TempFolder folder;
  folder.Write("K.txt", "500 0 320\n0 500 240\n0 0 1\n");
  std::vector<double> delays;
  for (auto _ : state) {
    Application app(folder.Write("config.txt", "source_type=CAMERA\ncamera_device=fake\n"));
    StampedSource source(fps, static_cast<u32>(2 * fps));
    u16 w, h;
    source.Open(fps, &w, &h);
    delays.clear();
    app.RunCameraLoop(source, [&](const DiskFrame&) {
      delays.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - source.stamp).count());
      return true;
    });
  }
  SetPercentiles(state, delays);
}

void BM_ConditionVariableHandOver(benchmark::State& state) {
  const int fps = static_cast<int>(state.range(0));
  std::vector<double> delays;
  for (auto _ : state) {
    StampedSource source(fps, static_cast<u32>(2 * fps));
    u16 w, h;
    source.Open(fps, &w, &h);
    std::mutex mutex;
    std::condition_variable changed;
    bool wanted = false, full = false, ended = false;
    CVD::Image<CVD::Rgb<u8>> colour;
    CVD::Image<u8> grey;
    source.Start([&](const CaptureFrame& frame) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return wanted; });
      wanted = false;
      if (frame.data == nullptr) {
        ended = true;
      } else {
        ConvertCaptureFrame(frame, colour, grey);
      }
      full = true;
      changed.notify_all();
    });
    delays.clear();
    while (true) {
      std::unique_lock<std::mutex> lock(mutex);
      wanted = true;
      changed.notify_all();
      changed.wait(lock, [&] { return full; });
      full = false;
      if (ended) break;
      delays.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - source.stamp).count());
    }
    source.Stop();
  }
  SetPercentiles(state, delays);
}

}  // namespace

BENCHMARK(BM_ConvertCaptureFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvFlipCvtColor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RendezvousHandOver)->Arg(30)->Arg(120)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConditionVariableHandOver)
    ->Arg(30)
    ->Arg(120)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
