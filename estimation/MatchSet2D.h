#pragma once
// TEMPORARY STUB until the est branch lands. Not committed.
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
struct alignas(16) FiveMatches2D {
  float x1[4], y1[4], x2[4], y2[4];
  float fifth[4];
};
class MatchSet2D {
 public:
  u16 n = 0, packed = 0, tail = 0;
  AlignedArray<LA::AlignedVector4f> storage;
  float tail1[3][2], tail2[3][2];
  u32 Count() const { return n; }
  u32 PackedCount() const { return packed; }
  u32 TailCount() const { return tail; }
  const float* PackedData() const { return storage.Data()[0].v; }
  const float* Tail1(u32 t) const { return tail1[t]; }
  const float* Tail2(u32 t) const { return tail2[t]; }
  void Set(const float (*m)[4], u32 count) {
    n = count;
    packed = count & ~3u;
    tail = count & 3u;
    storage.Resize(4 * ((count + 3) / 4));
    float* f = storage.Data()[0].v;
    for (u32 i = 0; i < count; ++i)
      for (int c = 0; c < 4; ++c) f[(i & ~3u) * 4 + c * 4 + (i & 3)] = m[i][c];
    for (u32 t = 0; t < tail; ++t) {
      tail1[t][0] = m[packed + t][0];
      tail1[t][1] = m[packed + t][1];
      tail2[t][0] = m[packed + t][2];
      tail2[t][1] = m[packed + t][3];
    }
  }
};
