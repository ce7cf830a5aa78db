#pragma once
// Resampling of every frame the host hands in from its real lens into the
// ideal pinhole camera the engine works in: the source square and bilinear
// weights of each output pixel are computed once, so that a frame costs one
// weighted sum per pixel.
#include <cvd/image.h>

#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"

// The host's lens: fx, fy, cx, cy of the real camera (pixels), k1, k2
// (radial), p1, p2 (tangential), k3 (radial).
struct LensModel {
  float fx, fy, cx, cy, k1, k2, p1, p2, k3;
};

class UndistortionTable {
 public:
  // One entry per pixel of a w x h image of the ideal camera. The weight
  // buffer is replaced only when the image has more pixels than it holds.
  void Build(int w, int h, const Intrinsic& ideal, const LensModel& lens);
  // Empty: frames pass unchanged. The weight buffer keeps its capacity.
  void Clear();
  bool Present() const { return !source_.empty(); }
  int Width() const { return width_; }
  int Height() const { return height_; }
  u32 WeightCapacity() const { return weights_.Capacity(); }

  // Keeps a copy of the frame to resample from.
  void CopyFrameForRemap(const CVD::BasicImage<u8>& frame);
  // Writes every pixel of image (the table's size) from the copy; pixels
  // whose lens point falls outside the frame are 0.
  void RemapFrame(CVD::BasicImage<u8>& image) const;

  // Top-left source pixel of output pixel i, x = -1 outside the frame.
  struct SourcePixel {
    i32 x, y;
  };
  const std::vector<SourcePixel>& Sources() const { return source_; }

 private:
  int width_ = 0, height_ = 0;
  std::vector<SourcePixel> source_;
  // Per pixel the offset of its square in the frame (0 outside).
  std::vector<u32> offset_;
  // Four floats per pixel, by blocks of four pixels: the weights of (x, y)
  // of the block's pixels, then of (x+1, y), (x, y+1) and (x+1, y+1); zero
  // outside the frame, so that those pixels sum to 0.
  AlignedArray<LA::AlignedVector4f> weights_;
  CVD::Image<u8> frame_;
};
