#pragma once
// 32-byte aligned allocation for every SIMD buffer of the engine.
#include <cstddef>

// Returns a 32-byte aligned block of `bytes` bytes (at least one byte is
// allocated so that a zero-size request still yields a freeable pointer).
void* AlignedMalloc(std::size_t bytes);
// Releases a block from AlignedMalloc; null is ignored.
void AlignedFree(void* p);

template <class T>
inline T* AlignedAllocate(std::size_t count) {
  return static_cast<T*>(AlignedMalloc(count * sizeof(T)));
}
