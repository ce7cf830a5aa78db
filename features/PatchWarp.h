#pragma once
// 8x8 patch primitives: rendering a track's template under a pair of image
// maps, the zero-mean SSD against a window at a FAST corner, the corner score
// that ranks KLT candidates and the pyramid level at which to search a
// warped patch.
#include <cvd/byte.h>
#include <cvd/image.h>

#include "features/FeatureRecords.h"

// Renders the template from `source` (the patch level's key-frame image): map
// a takes the patch centre into the search image, map b takes search-image
// points back into the source. False, with the patch untouched, when the patch
// does not fit; true without re-rendering when the warped corners match the
// cached ones. A re-render stores the corners and clears kPatchSumsValid.
bool WarpPatch8x8(FeaturePatch& patch, const CVD::BasicImage<CVD::byte>& source,
                  const WarpRecord& a, const WarpRecord& b);

// Fills the template's sum and sum of squares unless kPatchSumsValid is set.
void ComputePatchSums(FeaturePatch& patch);

// Zero-mean SSD between the template and the 8x8 window whose centre pixel
// (column 4, row 4 of the window) is `corner`; 0x7fffffff outside the image.
i32 PatchZeroMeanSsd(FeaturePatch& patch, const CVD::BasicImage<CVD::byte>& img,
                     const u16 corner[2]);

// Twice the smaller eigenvalue of the structure tensor of central differences
// over the 8x8 window at `corner`; 0 within the border margin.
float ComputeCornerScore(const CVD::BasicImage<CVD::byte>& img, const u32 corner[2]);

// Checks that the patch round `position` mapped by m stays inside an image of
// `size` with a plausible area, and picks the pyramid level to search it at.
bool PatchSearchLevel(const u32 size[2], const float position[2], const WarpRecord& m, u8& level);
