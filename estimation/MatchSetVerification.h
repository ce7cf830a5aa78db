#pragma once
// The verification pass and the inlier error sum of the two-view estimators
// (essential, fundamental, homography), written once over a MatchSet2D and an
// error measure: four-wide on the complete blocks, scalar on the tail. The
// measures are passed as inlined callables, so the per-match loop has no
// indirect call.
#include <vector>

#include "estimation/BitMask.h"
#include "estimation/MatchSet2D.h"

// Ascending list of the matches whose error is below `threshold` (a NaN error
// fails) and the summed error of those. With `required`, a required match
// that fails rejects the model: empty list, error 0.
// blockError(p, out): errors of the four matches of the block at p (vectors
// x1, y1, x2, y2) into the aligned out[4]; matchError(p1, p2): one match.
template <class BlockError, class MatchError>
void VerifyMatchSet(const MatchSet2D& data, f32 threshold, const BitMask* required,
                    BlockError&& blockError, MatchError&& matchError, std::vector<u16>& inliers,
                    f64& error) {
  inliers.clear();
  error = 0.0;
  alignas(16) f32 out[4];
  const f32* p = reinterpret_cast<const f32*>(data.packed.Data());
  const u32 N = data.count;
  for (u32 i = 0; i < N; ++i) {
    f32 e;
    if (i < data.packedCount) {
      if ((i & 3) == 0) {
        blockError(p, out);
        p += 16;
      }
      e = out[i & 3];
    } else {
      const u32 t = i - data.packedCount;
      e = matchError(data.tail1[t], data.tail2[t]);
    }
    if (threshold > e) {
      inliers.push_back(static_cast<u16>(i));
      error += static_cast<f64>(e);
    } else if (required && required->Test(i)) {
      inliers.clear();
      error = 0.0;
      return;
    }
  }
}

// Summed error of the matches set in `mask`, each read by ReadMatch.
template <class MatchError>
f64 SumMatchErrors(const MatchSet2D& data, const BitMask& mask, MatchError&& matchError) {
  f64 sum = 0.0;
  f32 m[4];
  for (u32 i = 0; i < data.count; ++i) {
    if (!mask.Test(i)) continue;
    data.ReadMatch(i, m);
    const LA::Vector2<f32> p1{m[0], m[1]}, p2{m[2], m[3]};
    sum += static_cast<f64>(matchError(p1, p2));
  }
  return sum;
}

// VerifyMatchSet under the symmetric epipolar error of F (essential or
// fundamental matrix). scratch: 15 four-float vectors.
void VerifyEpipolarMatches(const MatchSet2D& data, const LA::AlignedMatrix3f& F, f32 threshold,
                           const BitMask* required, LA::AlignedVector4f* scratch,
                           std::vector<u16>& inliers, f64& error);
// SumMatchErrors under the symmetric epipolar error of F.
f64 SumEpipolarErrors(const MatchSet2D& data, const LA::AlignedMatrix3f& F, const BitMask& mask);
