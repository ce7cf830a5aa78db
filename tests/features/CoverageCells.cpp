// The coverage-cell kernels: the four-wide cell conversion against the one
// pair at a time form (every tail length, every level), and the counts
// against a cell-by-cell count on masks of odd widths.
#include "features/CoverageCells.h"

#include <gtest/gtest.h>

#include <cmath>

#include "features/SpreadingGrid.h"
#include "la/Random.h"

namespace {

u32 CountByCell(const OccupancyMask& a, const OccupancyMask* b) {
  u32 n = 0;
  for (u32 y = 0; y < a.Height(); ++y)
    for (u32 x = 0; x < a.Width(); ++x) n += a.Row(y)[x] && (!b || !b->Row(y)[x]);
  return n;
}

}  // namespace

TEST(CoverageCells, FourWideConversionEqualsThePairwiseOneAtEveryLevelAndLength) {
  Random::Seed(3);
  for (int level = 0; level <= 4; ++level)
    for (u32 n = 0; n < 12; ++n) {
      AlignedArray<CornerXY> wide, pairwise;
      for (u32 i = 0; i < n; ++i) {
        const CornerXY p{static_cast<u16>(Random::Next()), static_cast<u16>(Random::Next())};
        wide.PushBack(p, 4);
        pairwise.PushBack(p, 4);
      }
      LevelPointsToCells(level, wide);
      LevelPointsToCellsScalar(level, pairwise);
      for (u32 i = 0; i < n; ++i)
        ASSERT_TRUE(wide[i].x == pairwise[i].x && wide[i].y == pairwise[i].y) << level << " " << i;
    }
  AlignedArray<CornerXY> cells;
  for (int i = 0; i < 5; ++i) cells.PushBack({65535, 17}, 8);
  LevelPointsToCells(0, cells);
  EXPECT_TRUE(cells[0].x == 4095 && cells[0].y == 1 && cells[4].x == 4095 && cells[4].y == 1);
  LevelPointsToCells(3, cells);
  EXPECT_TRUE(cells[0].x == 2047 && cells[4].y == 0);
  EXPECT_TRUE(TruncateToCorner(-0.5f, 7.9f).x == 0 && TruncateToCorner(-0.5f, 7.9f).y == 7);
  EXPECT_EQ(TruncateToCorner(-1.0f, 0.0f).x, kNone16);
  EXPECT_EQ(TruncateToCorner(NAN, 0.0f).x, kNone16);
}

TEST(CoverageCells, CountsOverPaddedRowsMatchACellByCellCount) {
  Random::Seed(4);
  OccupancyMask a, b;
  for (u16 w : {1, 7, 8, 9, 17, 40}) {
    for (u16 h : {1, 3, 30}) {
      a.Resize(w, h), b.Resize(w, h);
      a.Clear(), b.Clear();
      for (int i = 0; i < w * h / 3 + 1; ++i) {
        MarkCell3x3(a, static_cast<u16>(Random::Index(w + 2)), static_cast<u16>(Random::Index(h)));
        MarkCell3x3(b, static_cast<u16>(Random::Index(w)), static_cast<u16>(Random::Index(h + 2)));
      }
      EXPECT_EQ(CountSetCells(a), CountByCell(a, nullptr)) << w << " x " << h;
      EXPECT_EQ(CountSetCellsNotIn(a, b), CountByCell(a, &b)) << w << " x " << h;
    }
  }
}
