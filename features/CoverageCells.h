#pragma once
// Coverage cells: 16 x 16-pixel squares of pyramid level 0 (coarser on large
// frames, below). Positions of any level become the cell that holds them; a
// position marks the 3 x 3 cells round its own in a byte mask, and the masks
// are counted cell by cell.
#include "features/FeatureRecords.h"

// A float position truncated toward zero into a u16 pair; positions that do
// not fit (negative beyond -1, too large, not a number) become (65535,
// 65535), which lies off every grid.
inline CornerXY TruncateToCorner(float x, float y) {
  const auto one = [](float v) {
    return v > -1.0f && v < 65535.0f ? static_cast<u16>(static_cast<i32>(v)) : kNone16;
  };
  return {one(x), one(y)};
}

// How many times the 16-pixel cell is doubled for frames of width x height:
// the grid keeps about the 40 columns of a 640 x 480 frame along its longer
// side (28 to kMostCoverageColumns). The scores are shares of the frame, and
// their bars hold for such a grid; on a frame of 1280 x 720 in 16-pixel
// cells (80 columns), or of 960 x 720 (60), 50-70 well spread map matches
// touched too few cells to count, and every frame was lost.
constexpr u32 kMostCoverageColumns = 56;  // 40 times the square root of 2
int CoverageCellDoublings(u32 width, u32 height);

// In place: each (x, y) of pyramid level `level` (0 to 3; 4 for positions
// that are cells of 16 pixels already) becomes its cell (x >> (4 - level +
// doublings), likewise y). Four pairs per step with 16-bit shifts, the tail
// one by one.
void LevelPointsToCells(int level, AlignedArray<CornerXY>& list, int doublings = 0);
// The same one pair at a time; the same result.
void LevelPointsToCellsScalar(int level, AlignedArray<CornerXY>& list, int doublings = 0);

// Marks the 3 x 3 block round every cell of the list, clipped to the mask.
void MarkCellBlocks(OccupancyMask& mask, const AlignedArray<CornerXY>& cells);

// Cells set in a.
u32 CountSetCells(const OccupancyMask& a);
// Cells set in a and clear in b; both masks have the same size.
u32 CountSetCellsNotIn(const OccupancyMask& a, const OccupancyMask& b);
