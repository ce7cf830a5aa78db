#include "app/CaptureConversion.h"

#include <algorithm>

namespace {

// libCVD's grey weights, exact in 16 bits: the integer sum floors as its
// double sum does.
inline u8 Grey(u32 r, u32 g, u32 b) {
  return static_cast<u8>((19595 * r + 38470 * g + 7471 * b) >> 16);
}

inline u8 Clamp(i32 v) {
  return static_cast<u8>(std::min(255, std::max(0, v)));
}

u32 BytesPerPixel(PixelLayout layout) {
  return layout == PixelLayout::kYuyv ? 2 : 3;
}

void ConvertRow3(const u8* in, u32 width, bool bgr, CVD::Rgb<u8>* colour, u8* grey) {
  const u32 r = bgr ? 2 : 0, b = bgr ? 0 : 2;
  for (u32 x = 0; x < width; ++x, in += 3) {
    const u8 R = in[r], G = in[1], B = in[b];
    colour[x] = CVD::Rgb<u8>(R, G, B);
    grey[x] = Grey(R, G, B);
  }
}

// Full-range BT.601; the grey image takes the luma the camera measured.
void ConvertRowYuyv(const u8* in, u32 width, CVD::Rgb<u8>* colour, u8* grey) {
  for (u32 x = 0; x < width; ++x) {
    const u8* pair = in + 4 * (x / 2);
    const i32 y = pair[(x & 1) * 2], u = pair[1] - 128, v = pair[3] - 128;
    // Fixed point with 16 fraction bits.
    colour[x] = CVD::Rgb<u8>(Clamp(y + ((91881 * v + 32768) >> 16)),
                             Clamp(y - ((22554 * u + 46802 * v + 32768) >> 16)),
                             Clamp(y + ((116130 * u + 32768) >> 16)));
    grey[x] = static_cast<u8>(y);
  }
}

}  // namespace

bool CaptureFrameComplete(const CaptureFrame& frame) {
  if (frame.data == nullptr || frame.width == 0 || frame.height == 0) return false;
  if (frame.layout == PixelLayout::kYuyv && frame.width % 2 != 0) return false;
  const u64 row = static_cast<u64>(frame.width) * BytesPerPixel(frame.layout);
  if (frame.stride < row) return false;
  // Every row is read up to its stride, so the buffer must hold stride x height.
  return frame.bytesUsed >= static_cast<u64>(frame.stride) * frame.height;
}

bool ConvertCaptureFrame(const CaptureFrame& frame, CVD::Image<CVD::Rgb<u8>>& colour,
                         CVD::Image<u8>& grey) {
  if (!CaptureFrameComplete(frame)) return false;
  const CVD::ImageRef size(static_cast<int>(frame.width), static_cast<int>(frame.height));
  if (colour.size() != size) colour.resize(size);
  if (grey.size() != size) grey.resize(size);
  const bool bottomUp = frame.layout == PixelLayout::kBgr24BottomUp;
  for (u32 y = 0; y < frame.height; ++y) {
    const u32 row = bottomUp ? frame.height - 1 - y : y;
    const u8* in = frame.data + static_cast<size_t>(row) * frame.stride;
    CVD::Rgb<u8>* out = colour[static_cast<int>(y)];
    u8* g = grey[static_cast<int>(y)];
    switch (frame.layout) {
      case PixelLayout::kBgr24BottomUp:
      case PixelLayout::kBgr24:
        ConvertRow3(in, frame.width, true, out, g);
        break;
      case PixelLayout::kRgb24:
        ConvertRow3(in, frame.width, false, out, g);
        break;
      case PixelLayout::kYuyv:
        ConvertRowYuyv(in, frame.width, out, g);
        break;
    }
  }
  return true;
}
