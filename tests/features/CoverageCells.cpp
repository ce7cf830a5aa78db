// The coverage-cell kernels against one pair or one cell at a time, with
// known answers for the shifts and the truncation.
#include "features/CoverageCells.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "features/SpreadingGrid.h"
#include "la/Random.h"

TEST(CoverageCells, FourWideConversionEqualsThePairwiseOneAndShiftsLogically) {
  Random::Seed(3);
  for (int doublings = 0; doublings <= 2; ++doublings)
    for (int level = 0; level <= 4; ++level)
      for (u32 n = 0; n < 12; ++n) {  // every tail length
        AlignedArray<CornerXY> wide;
        for (u32 i = 0; i < n; ++i)
          wide.PushBack({static_cast<u16>(Random::Next()), static_cast<u16>(Random::Next())}, 4);
        AlignedArray<CornerXY> pairwise = wide;
        LevelPointsToCells(level, wide, doublings);
        LevelPointsToCellsScalar(level, pairwise, doublings);
        for (u32 i = 0; i < n; ++i)
          ASSERT_TRUE(wide[i].x == pairwise[i].x && wide[i].y == pairwise[i].y)
              << doublings << " " << level << " " << i;
      }
  AlignedArray<CornerXY> cells;  // four in a step and a tail of one
  for (int i = 0; i < 5; ++i) cells.PushBack({65535, 17}, 8);
  LevelPointsToCells(0, cells);  // by 16, then by 2
  LevelPointsToCells(3, cells);
  EXPECT_TRUE(cells[0].x == 2047 && cells[0].y == 0 && cells[4].x == 2047 && cells[4].y == 0);
  // Cells of 32 pixels: a level-1 position by 16, a level-4 one by 2.
  for (int level : {1, 4}) {
    AlignedArray<CornerXY> big;
    for (int i = 0; i < 5; ++i) big.PushBack({100, 47}, 8);
    LevelPointsToCells(level, big, 1);
    const u16 x = level == 1 ? 6 : 50, y = level == 1 ? 2 : 23;
    EXPECT_TRUE(big[0].x == x && big[0].y == y && big[4].x == x && big[4].y == y) << level;
  }
  // The grid keeps 28 to 56 cells along the longer side: 16-pixel cells up
  // to 911 pixels, either way round.
  const std::pair<u32, int> sides[] = {{0, 0},    {640, 0},  {911, 0},  {912, 1},  {960, 1},
                                       {1280, 1}, {1823, 1}, {1824, 2}, {1920, 2}, {4096, 3}};
  for (const auto& [side, doublings] : sides) {
    EXPECT_EQ(CoverageCellDoublings(side, side * 3 / 4), doublings) << side;
    EXPECT_EQ(CoverageCellDoublings(side * 9 / 16, side), doublings) << side;
  }
  const CornerXY in = TruncateToCorner(-0.5f, 7.9f), out = TruncateToCorner(-1.0f, NAN);
  EXPECT_TRUE(in.x == 0 && in.y == 7 && out.x == kNone16 && out.y == kNone16);
}

TEST(CoverageCells, CountsOverPaddedRowsMatchACellByCellCount) {
  Random::Seed(4);
  OccupancyMask a, b;
  for (u16 w : {1, 7, 8, 9, 17, 40})
    for (u16 h : {1, 3, 30}) {
      a.Resize(w, h), b.Resize(w, h), a.Clear(), b.Clear();
      for (int i = 0; i < w * h / 3 + 1; ++i) {  // some blocks reach past the edges
        MarkCell3x3(a, static_cast<u16>(Random::Index(w + 2)), static_cast<u16>(Random::Index(h)));
        MarkCell3x3(b, static_cast<u16>(Random::Index(w)), static_cast<u16>(Random::Index(h + 2)));
      }
      u32 inA = 0, onlyA = 0;
      for (u32 y = 0; y < h; ++y)
        for (u32 x = 0; x < w; ++x) inA += a.Row(y)[x] != 0, onlyA += a.Row(y)[x] && !b.Row(y)[x];
      EXPECT_EQ(CountSetCells(a), inA) << w << " x " << h;
      EXPECT_EQ(CountSetCellsNotIn(a, b), onlyA) << w << " x " << h;
    }
}
