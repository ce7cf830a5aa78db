#include "features/CoverageCells.h"

#include <immintrin.h>

#include "features/SpreadingGrid.h"

namespace {

int CellShift(int level, int doublings) {
  return (level >= 4 ? 0 : 4 - level) + doublings;
}

// Non-zero bytes of a 16-byte block given as the movemask of its zero test.
inline u32 NonZero(int zeroBits) {
  return static_cast<u32>(__builtin_popcount(~zeroBits & 0xFFFF));
}

}  // namespace

int CoverageCellDoublings(u32 width, u32 height) {
  const u32 side = width > height ? width : height;
  int doublings = 0;
  while ((side >> (4 + doublings)) > kMostCoverageColumns) ++doublings;
  return doublings;
}

void LevelPointsToCellsScalar(int level, AlignedArray<CornerXY>& list, int doublings) {
  const int shift = CellShift(level, doublings);
  for (CornerXY& p : list) {
    p.x = static_cast<u16>(p.x >> shift);
    p.y = static_cast<u16>(p.y >> shift);
  }
}

void LevelPointsToCells(int level, AlignedArray<CornerXY>& list, int doublings) {
  const int s = CellShift(level, doublings);
  const __m128i shift = _mm_cvtsi32_si128(s);
  const u32 n = list.Size(), n4 = n & ~3u;
  // The storage is 32-byte aligned, so every group of four pairs is 16-byte aligned.
  __m128i* groups = reinterpret_cast<__m128i*>(list.Data());
  for (u32 i = 0; i < n4; i += 4, ++groups)
    _mm_store_si128(groups, _mm_srl_epi16(_mm_load_si128(groups), shift));
  for (u32 i = n4; i < n; ++i) {
    list[i].x = static_cast<u16>(list[i].x >> s);
    list[i].y = static_cast<u16>(list[i].y >> s);
  }
}

void MarkCellBlocks(OccupancyMask& mask, const AlignedArray<CornerXY>& cells) {
  // Lists in row order (corners) repeat a cell many times over: a repeat of
  // the cell just marked is skipped.
  CornerXY last{kNone16, kNone16};
  for (const CornerXY& c : cells) {
    if (c.x == last.x && c.y == last.y) continue;
    MarkCell3x3(mask, c.x, c.y);
    last = c;
  }
}

// The rows lie back to back with zero padding (Clear zeroes the padding and
// marks never reach it), so the mask counts as one flat byte run whose
// length is a multiple of 8.
u32 CountSetCells(const OccupancyMask& a) {
  const u32 size = a.Size();
  if (size == 0) return 0;
  const u8* p = a.Row(0);
  const __m128i zero = _mm_setzero_si128();
  u32 n = 0, i = 0;
  for (; i + 16 <= size; i += 16)
    n += NonZero(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero)));
  if (i < size)  // the last 8 bytes; the upper half of the block tests as zero
    n += NonZero(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i)), zero)));
  return n;
}

u32 CountSetCellsNotIn(const OccupancyMask& a, const OccupancyMask& b) {
  const u32 size = a.Size() < b.Size() ? a.Size() : b.Size();
  if (size == 0) return 0;
  const u8* pa = a.Row(0);
  const u8* pb = b.Row(0);
  const __m128i zero = _mm_setzero_si128();
  auto count = [&](__m128i va, __m128i vb) {
    const int zeroA = _mm_movemask_epi8(_mm_cmpeq_epi8(va, zero));
    const int zeroB = _mm_movemask_epi8(_mm_cmpeq_epi8(vb, zero));
    return static_cast<u32>(__builtin_popcount(~zeroA & zeroB & 0xFFFF));
  };
  u32 n = 0, i = 0;
  for (; i + 16 <= size; i += 16)
    n += count(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pa + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(pb + i)));
  if (i < size)
    n += count(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pa + i)),
               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pb + i)));
  return n;
}
