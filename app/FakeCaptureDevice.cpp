#include "app/FakeCaptureDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

FakeCaptureDevice::FakeCaptureDevice(u16 width, u16 height, u32 frames)
    : width_(width), height_(height), frames_(frames) {}

FakeCaptureDevice::~FakeCaptureDevice() {
  Stop();
}

bool FakeCaptureDevice::Open(int fps, u16* width, u16* height) {
  if (width_ == 0 || height_ == 0 || fps <= 0) {
    std::printf("No camera!\n");
    return false;
  }
  fps_ = fps;
  buffer_.assign(static_cast<size_t>(width_) * height_ * 3, 0);
  *width = width_;
  *height = height_;
  return true;
}

bool FakeCaptureDevice::Start(FrameCallback onFrame) {
  if (buffer_.empty() || thread_.joinable()) return false;
  onFrame_ = std::move(onFrame);
  stop_ = false;
  thread_ = std::thread([this] { Stream(); });
  return true;
}

void FakeCaptureDevice::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void FakeCaptureDevice::Stream() {
  using Clock = std::chrono::steady_clock;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps_));
  Clock::time_point next = Clock::now();
  const u32 stride = 3u * width_;
  for (u32 k = 0; k < frames_ && !stop_; ++k) {
    // Short sleeps, so that Stop is heard within a few milliseconds at any rate.
    while (!stop_ && Clock::now() < next) {
      const auto left = next - Clock::now();
      std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(5)));
    }
    if (stop_) break;
    next += period;
    for (u32 row = 0; row < height_; ++row) {
      u8* out = buffer_.data() + static_cast<size_t>(row) * stride;
      for (u32 x = 0; x < width_; ++x, out += 3) {
        for (u32 c = 0; c < 3; ++c) out[c] = PatternByte(k, row, x, c);
      }
    }
    CaptureFrame frame;
    frame.data = buffer_.data();
    frame.width = width_;
    frame.height = height_;
    frame.stride = stride;
    frame.bytesUsed = static_cast<u32>(buffer_.size());
    frame.layout = PixelLayout::kBgr24BottomUp;
    frame.seconds = std::chrono::duration<f64>(Clock::now().time_since_epoch()).count();
    onFrame_(frame);
  }
  if (!stop_) onFrame_(CaptureFrame());
}
