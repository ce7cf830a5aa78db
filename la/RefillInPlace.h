#pragma once
// Refilling of pre-allocated hand-over items: every field keeps its buffer
// from one use to the next, so a steady stream of frames allocates nothing.
#include <cvd/image.h>

#include <cstring>
#include <vector>

#include "la/AlignedArray.h"

// Copies src into dst when src has pixels (dst is reallocated only when the
// size changes); an empty source leaves dst holding what it held.
template <class T>
inline void RefillImage(CVD::Image<T>& dst, const CVD::BasicImage<T>& src) {
  if (src.size().x <= 0 || src.size().y <= 0) return;
  dst.copy_from(src);
}

// dst = the n records at src; reallocates only when n exceeds the capacity.
template <class T>
inline void RefillArray(AlignedArray<T>& dst, const T* src, u32 n) {
  dst.Resize(n);
  if (n > 0) std::memcpy(static_cast<void*>(dst.Data()), src, sizeof(T) * n);
}

// dst = the n values at src; a vector keeps its capacity when it shrinks.
template <class T>
inline void RefillVector(std::vector<T>& dst, const T* src, size_t n) {
  dst.assign(src, src + n);
}
