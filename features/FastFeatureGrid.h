#pragma once
// FAST corners per pyramid level, kept in row order with a row-start table so
// that the corners inside a square window are listed with two binary searches
// per row.
#include <cvd/byte.h>
#include <cvd/image.h>

#include <vector>

#include "features/FeatureRecords.h"

// FAST barrier threshold per pyramid level, shared by detection and the
// non-maximum suppression of the KLT selection.
constexpr int kFastThresholds[kPyramidLevels] = {10, 15, 15, 10};

// Fills grid with the FAST-10 corners of img at `barrier` (scratch receives the
// detector's output); returns their number.
u32 DetectFastGrid(const CVD::BasicImage<CVD::byte>& img, int barrier,
                   std::vector<CVD::ImageRef>& scratch, FeatureGrid& grid);

// Fills the four levels' grids with their thresholds; returns the total count.
u32 DetectFastFeatures(const CVD::Image<CVD::byte> levels[kPyramidLevels],
                       std::vector<CVD::ImageRef>& scratch, FeatureGrid grids[kPyramidLevels]);

// Replaces out by the indices of the corners in the window of columns
// trunc(x - r) .. trunc(x + r + 0.5) and rows likewise, clipped to the level,
// row by row and by ascending x; true when any index was written. Non-finite
// input and windows wholly outside the level give false.
bool QueryFeatureWindow(const CVD::ImageRef& size, const AlignedArray<CornerXY>& corners,
                        const std::vector<u32>& rowStarts, float x, float y, float radius,
                        std::vector<u32>& out);
