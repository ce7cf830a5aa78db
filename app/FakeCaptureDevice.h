#pragma once
// A capture source without hardware: `frames` frames of a known pattern in
// BGR24 bottom-up at `fps`, then the end of the stream. It stands in for a
// camera where none is attached (tests, benchmarks, camera_device=fake).
#include <atomic>
#include <thread>
#include <vector>

#include "app/CaptureSource.h"

class FakeCaptureDevice final : public CaptureSource {
 public:
  FakeCaptureDevice(u16 width, u16 height, u32 frames);
  ~FakeCaptureDevice() override;

  bool Open(int fps, u16* width, u16* height) override;
  bool Start(FrameCallback onFrame) override;
  void Stop() override;

  // Byte c (0 B, 1 G, 2 R) of the pixel in buffer row `row` (bottom image row
  // first), column `column` of frame k.
  static u8 PatternByte(u32 k, u32 row, u32 column, u32 c) {
    return static_cast<u8>(column * (c + 1) + row * (3 - c) + k * (2 * c + 1) + 17 * c);
  }

 private:
  void Stream();

  u16 width_, height_;
  u32 frames_;
  int fps_ = 30;
  std::vector<u8> buffer_;
  FrameCallback onFrame_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
