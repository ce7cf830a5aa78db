#include "features/FeatureRecords.h"

#include <cstring>

void OccupancyMask::Resize(u16 width, u16 height) {
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  stride_ = static_cast<u16>((width + 7u) & ~7u);
  stride8_ = stride_ / 8;
  stride4_ = stride_ / 4;
  stride2_ = stride_ / 2;
  size_ = static_cast<u32>(stride_) * height;
  if (size_ > capacity_) {
    buffer_.Resize(size_);
    capacity_ = size_;
  }
  rows_.resize(height);
  for (u32 y = 0; y < height; ++y) rows_[y] = buffer_.Data() + y * stride_;
}

void OccupancyMask::Clear() {
  if (size_ > 0) std::memset(buffer_.Data(), 0, size_);
}
