#pragma once
// Spread selection: candidates are walked in priority order and accepted only
// where no accepted item lies within a square of radius R, R shrinking by a
// fixed schedule until N are accepted. R is a template parameter so that the
// interior square is written by a fixed sequence of wide stores.
#include <cvd/image_ref.h>

#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "features/FeatureRecords.h"
#include "la/LinearAlgebra.h"

namespace SpreadDetail {

// Sets n bytes at p to 255 with 8-, 4-, 2- and 1-byte stores.
template <int n>
inline void FillOnes(u8* p) {
  if constexpr (n >= 8) {
    const u64 ones = ~u64{0};
    std::memcpy(p, &ones, 8);
    FillOnes<n - 8>(p + 8);
  } else if constexpr (n >= 4) {
    const u32 ones = ~u32{0};
    std::memcpy(p, &ones, 4);
    FillOnes<n - 4>(p + 4);
  } else if constexpr (n >= 2) {
    const u16 ones = 0xFFFF;
    std::memcpy(p, &ones, 2);
    FillOnes<n - 2>(p + 2);
  } else if constexpr (n == 1) {
    *p = 255;
  }
}

template <int R>
inline void FillSquare(OccupancyMask& mask, u32 x, u32 y) {
  for (u32 row = y - R; row <= y + R; ++row) FillOnes<2 * R + 1>(mask.Row(row) + (x - R));
}

// The cell of a position: truncated toward zero; false outside the mask.
inline bool CellOf(const OccupancyMask& mask, float x, float y, u32& cx, u32& cy) {
  if (!(x > -1.0f && x < mask.Width() && y > -1.0f && y < mask.Height())) return false;
  cx = static_cast<u32>(x), cy = static_cast<u32>(y);
  return true;
}

}  // namespace SpreadDetail

// Sets the (2R + 1)^2 bytes round (x, y) to 255 without a bounds test: the
// caller guarantees x >= R, y >= R, x + R < width and y + R < height.
template <int R>
inline void MarkSquare(OccupancyMask& mask, u32 x, u32 y) {
  static_assert(R >= 5 && R <= 20, "MarkSquare serves radii 5 to 20");
  SpreadDetail::FillSquare<R>(mask, x, y);
}

// Sets the 3 x 3 square round a cell, clipped to the mask.
void MarkCell3x3Clipped(OccupancyMask& mask, u16 x, u16 y);

// Sets the 3 x 3 square round a cell; hands cells on the border to the
// clipped form.
inline void MarkCell3x3(OccupancyMask& mask, u16 x, u16 y) {
  if (x == 0 || y == 0 || x + 1 >= mask.Width() || y + 1 >= mask.Height())
    MarkCell3x3Clipped(mask, x, y);
  else
    SpreadDetail::FillSquare<1>(mask, x, y);
}

// Marks the square of radius R round cell (x, y) of the mask, clipped to it.
template <int R>
inline void MarkSpreadSquare(OccupancyMask& mask, u32 x, u32 y) {
  const u32 w = mask.Width(), h = mask.Height();
  if (x >= R && y >= R && x + R < w && y + R < h) {
    if constexpr (R >= 5)
      MarkSquare<R>(mask, x, y);
    else
      SpreadDetail::FillSquare<R>(mask, x, y);
    return;
  }
  const u32 x0 = x > R ? x - R : 0, x1 = x + R < w ? x + R : w - 1;
  const u32 y0 = y > R ? y - R : 0, y1 = y + R < h ? y + R : h - 1;
  for (u32 row = y0; row <= y1; ++row) std::memset(mask.Row(row) + x0, 255, x1 - x0 + 1);
}

// Moves the candidates whose cell is free from `candidates` to the end of
// `selected` in walk order, keeping accepted items (earlier ones included)
// R cells apart, until selected holds N.
template <int R>
void SpreadSelectMatches(const CVD::ImageRef& size, OccupancyMask& mask,
                         std::vector<ImageMatch>& candidates, std::vector<ImageMatch>& selected,
                         u32 N) {
  static_assert(R >= 1 && R <= 20, "radii 1 to 20");
  mask.Resize(static_cast<u16>(size.x), static_cast<u16>(size.y));
  mask.Clear();
  u32 cx, cy;
  for (const ImageMatch& s : selected)
    if (SpreadDetail::CellOf(mask, s.x, s.y, cx, cy)) MarkSpreadSquare<R>(mask, cx, cy);
  if (selected.size() < N) {
    for (ImageMatch& c : candidates) {
      if (!SpreadDetail::CellOf(mask, c.x, c.y, cx, cy) || mask.Row(cy)[cx] != 0) continue;
      selected.push_back(c);
      c.track = kNone32;
      if (selected.size() >= N) break;
      MarkSpreadSquare<R>(mask, cx, cy);
    }
  }
  size_t kept = 0;
  for (const ImageMatch& c : candidates)
    if (c.track != kNone32) candidates[kept++] = c;
  candidates.resize(kept);
}

// Appends the corners whose cell is free to `out` in walk order (descending
// score), keeping them R cells from each other and from the level's map
// matches, until out holds N; the accepted corners leave `corners`.
template <int R>
void SpreadSelectCorners(const CVD::ImageRef& size, const std::vector<MapMatch>& matches,
                         OccupancyMask& mask, std::vector<ScoredCorner>& corners,
                         AlignedArray<LA::Vector2<float>>& out, u32 N) {
  static_assert(R >= 1 && R <= 20, "radii 1 to 20");
  mask.Resize(static_cast<u16>(size.x), static_cast<u16>(size.y));
  mask.Clear();
  u32 cx, cy;
  for (const MapMatch& m : matches)
    if (SpreadDetail::CellOf(mask, m.x, m.y, cx, cy)) MarkSpreadSquare<R>(mask, cx, cy);
  out.Reserve(out.Size() + static_cast<u32>(corners.size()));
  if (out.Size() < N) {
    for (ScoredCorner& c : corners) {
      if (c.x >= mask.Width() || c.y >= mask.Height() || mask.Row(c.y)[c.x] != 0) continue;
      out.PushBack8({static_cast<float>(c.x), static_cast<float>(c.y)});
      const u32 x = c.x, y = c.y;
      c.x = kNone16;
      if (out.Size() >= N) break;
      MarkSpreadSquare<R>(mask, x, y);
    }
  }
  size_t kept = 0;
  for (const ScoredCorner& c : corners)
    if (c.x != kNone16) corners[kept++] = c;
  corners.resize(kept);
}

// The radius that follows a run at radius R in the schedule; 0 ends it.
constexpr int NextSpreadRadius(int R) {
  constexpr int next[21] = {0,  0,  1,  2,  2,  4,  4,  6,  6,  8, 8,
                            10, 10, 10, 12, 12, 12, 14, 14, 16, 18};
  return R >= 20 ? 18 : next[R];
}

// The first radius: half the side of the square area per item, w h / N
// in integers; 0 for N = 0.
inline int StartSpreadRadius(const CVD::ImageRef& size, u32 N) {
  if (N == 0 || size.x <= 0 || size.y <= 0) return 0;
  const u32 area = static_cast<u32>(size.x) * static_cast<u32>(size.y) / N;
  return static_cast<int>(0.5f * std::sqrt(static_cast<float>(area)));
}

namespace SpreadDetail {

template <int R = 1, class Member>
u32 RunAtRadius(int radius, Member& member) {
  if constexpr (R >= 20) {
    return member(std::integral_constant<int, 20>{});
  } else {
    if (radius == R) return member(std::integral_constant<int, R>{});
    return RunAtRadius<R + 1>(radius, member);
  }
}

}  // namespace SpreadDetail

// Runs a selection family member at shrinking radii until it reports N
// selected items or the radius-1 run is over. `member` is called with a
// std::integral_constant holding the radius and returns the selection's size.
// Nothing runs for N = 0.
template <class Member>
void RunSpreadSchedule(const CVD::ImageRef& size, u32 N, Member&& member) {
  if (N == 0) return;
  int radius = StartSpreadRadius(size, N);
  if (radius < 1 || radius > 19) radius = 20;
  for (;;) {
    const u32 count = SpreadDetail::RunAtRadius(radius, member);
    if (radius == 1 || count >= N) return;
    radius = NextSpreadRadius(radius);
  }
}
