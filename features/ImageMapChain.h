#pragma once
// Carrying image maps from frame to frame. A frame's map takes positions of
// the current frame into that frame; when the current frame moves on by a
// step map (new current frame into the old one), every map is chained with
// the step and dropped when the chained map distorts the image too much.
#include "features/FeatureRecords.h"

// out = a b (b applied first). An affine record counts with the third row
// (0, 0, 1) and the product of two affine records stays affine; either map
// unset gives an unset out. out may alias a or b.
void ChainImageMaps(const WarpRecord& a, const WarpRecord& b, WarpRecord& out);

// map <- map step, then unset (first element FLT_MAX) unless IsWarpValid on
// an image of the given size. False when the map is unset afterwards.
bool CarryImageMap(WarpRecord& map, const WarpRecord& step, const u32 size[2]);
