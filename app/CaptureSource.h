#pragma once
// Live frames from a capture device. A source is opened once, then streams on
// its own capture thread, calling the frame callback with each frame it takes
// from the device; Stop ends the stream and joins that thread.
#include <functional>
#include <memory>
#include <string>

#include "la/Types.h"

// The pixel layouts a source delivers; every other device format is refused
// when the source is opened, so a frame never holds bytes it cannot convert.
enum class PixelLayout : u8 {
  kBgr24BottomUp,  // 3 bytes B, G, R; the bottom image row first
  kRgb24,          // 3 bytes R, G, B; the top row first
  kBgr24,          // 3 bytes B, G, R; the top row first
  kYuyv,           // Y0 U Y1 V for each two pixels; the top row first
};

// One frame as the device handed it over; the bytes are valid only during the
// callback. A frame with null data marks the end of the stream.
struct CaptureFrame {
  const u8* data = nullptr;
  u32 width = 0, height = 0;
  u32 stride = 0;     // bytes from one buffer row to the next
  u32 bytesUsed = 0;  // bytes the device filled
  PixelLayout layout = PixelLayout::kBgr24BottomUp;
  f64 seconds = 0.0;  // capture time on a monotonic clock
};

class CaptureSource {
 public:
  using FrameCallback = std::function<void(const CaptureFrame&)>;

  virtual ~CaptureSource() = default;
  // Finds and sets up the device at `fps` frames per second and returns its
  // frame size; false, with the message printed on standard output, when
  // there is none.
  virtual bool Open(int fps, u16* width, u16* height) = 0;
  // Starts streaming: onFrame runs on the capture thread for every frame and
  // once more with the end marker when the stream ends by itself.
  virtual bool Start(FrameCallback onFrame) = 0;
  // Ends the stream and joins the capture thread; returns while onFrame
  // still runs only if onFrame itself never returns, so callbacks must
  // honour their owner's closing flag.
  virtual void Stop() = 0;
};

// The kernel's video capture devices: with an empty `device` the first usable
// one of /dev/video0 ... /dev/video63, else that device node alone.
std::unique_ptr<CaptureSource> MakeV4L2CaptureSource(const std::string& device);
