#pragma once
// Two-view matches (x1, y1, x2, y2) packed for four-wide arithmetic: block k
// of the packed storage holds matches 4k..4k+3 as the vectors x1, y1, x2, y2.
// The matches of the partly filled last block are also kept in a scalar tail
// copy, so that four-wide loops run over complete blocks and scalar loops over
// the tail. Normalisation moves each image's points to mean 0 and mean
// distance sqrt(2) from the origin (isotropic normalisation of the
// eight-point and homography fits). The samples of the two-view estimators
// keep the same component layout.
#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Types.h"

class MatchSet2D {
 public:
  // Number of matches.
  u32 Size() const { return count; }
  // Holds n matches (content undefined); storage grows, never shrinks.
  void Resize(u16 n);
  // Writes match i into the packed storage and, for a tail match, the tail copy.
  void SetMatch(u32 i, f32 x1, f32 y1, f32 x2, f32 y2);
  // Reads match i (x1, y1, x2, y2) from the packed storage.
  void GetMatch(u32 i, f32* match) const {
    const f32* p = reinterpret_cast<const f32*>(packed.Data()) + (i & ~3u) * 4 + (i & 3u);
    match[0] = p[0];
    match[1] = p[4];
    match[2] = p[8];
    match[3] = p[12];
  }
  // Reads match i where the set's passes read it: the packed storage for
  // complete blocks, the tail copy after them.
  void ReadMatch(u32 i, f32* match) const {
    if (i < packedCount) {
      GetMatch(i, match);
    } else {
      const u32 t = i - packedCount;
      match[0] = tail1[t].x;
      match[1] = tail1[t].y;
      match[2] = tail2[t].x;
      match[3] = tail2[t].y;
    }
  }
  // Copies the n listed matches into the coordinate arrays of a minimal
  // sample, in list order.
  void GetMatches(const u16* items, u32 n, f32* x1, f32* y1, f32* x2, f32* y2) const {
    f32 m[4];
    for (u32 k = 0; k < n; ++k) {
      GetMatch(items[k], m);
      x1[k] = m[0];
      y1[k] = m[1];
      x2[k] = m[2];
      y2[k] = m[3];
    }
  }
  // destination = the listed matches of source, in list order.
  static void GetSubset(const MatchSet2D& source, const std::vector<u16>& list,
                        MatchSet2D& destination);
  // Normalises the set in place, each image on its own, and stores the means
  // and scales. scratch: 6 four-float vectors of the caller. An empty set, or
  // an image whose points all coincide, keeps the scale 1.
  static void Normalize(MatchSet2D& set, LA::AlignedVector4f* scratch);

  u16 count = 0;
  u16 packedCount = 0;  // count & ~3: matches in complete blocks
  u16 tailCount = 0;    // count & 3
  AlignedArray<LA::AlignedVector4f> packed;
  LA::Vector2<f32> tail1[3] = {};           // first-image points of matches packedCount + j
  LA::Vector2<f32> tail2[3] = {};           // second-image points
  f32 means[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // mean x1, y1, x2, y2
  f32 scale1 = 1.0f;
  f32 scale2 = 1.0f;
};

// Minimal sample of the homography fit: one block of four matches.
struct alignas(16) FourMatches2D {
  alignas(16) f32 x1[4];
  alignas(16) f32 y1[4];
  alignas(16) f32 x2[4];
  alignas(16) f32 y2[4];
  f32 means[4];
  f32 scale1;
  f32 scale2;

  // Normalises both images of the sample (4 sqrt(2) over the distance sum).
  // scratch: 3 four-float vectors.
  static void Normalize(FourMatches2D& sample, LA::AlignedVector4f* scratch);
};

// Minimal sample of the five-point fit: a block of four and a fifth match.
struct alignas(16) FiveMatches2D {
  alignas(16) f32 x1[4];
  alignas(16) f32 y1[4];
  alignas(16) f32 x2[4];
  alignas(16) f32 y2[4];
  f32 fifth[4];  // x1, y1, x2, y2 of the fifth match
};

// Minimal sample of the eight-point fit. The arrays are stored x2, y2, x1, y1
// one after another (the solver reads y2, x1, y1 as one run); every access
// goes through the four pointers, which always aim at this object's arrays.
struct alignas(16) EightMatches2D {
  EightMatches2D() { AimPointers(); }
  EightMatches2D(const EightMatches2D& other) { *this = other; }
  EightMatches2D& operator=(const EightMatches2D& other);

  // Normalises the first image, then the second (8 sqrt(2) over the distance
  // sum). scratch: 6 four-float vectors.
  static void Normalize(EightMatches2D& sample, LA::AlignedVector4f* scratch);

  alignas(16) f32 x2[8];
  f32 y2[8];
  f32 x1[8];
  f32 y1[8];
  f32 means[4];  // mean x1, y1, x2, y2
  f32 scale1;
  f32 scale2;
  f32* px2;
  f32* py2;
  f32* px1;
  f32* py1;

 private:
  void AimPointers() {
    px2 = x2;
    py2 = y2;
    px1 = x1;
    py1 = y1;
  }
};
