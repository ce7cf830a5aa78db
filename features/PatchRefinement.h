#pragma once
// Sub-pixel refinement of a matched 8x8 patch: inverse-compositional
// Gauss-Newton on position and brightness offset, with the template's
// gradients fixed. Patch float buffers hold 160 floats: the 64 values (bytes
// / 255, row-major), then 48 horizontal and 48 vertical central differences
// (not halved) of rows 1 .. 6, eight columns each, columns 0 and 7 zero.
#include <cvd/byte.h>
#include <cvd/image.h>

#include "la/Types.h"

// Fills a patch float buffer from template bytes, gradients included.
void PatchBytesToFloat(float buffer[160], const u8 patchBytes[64]);

// Fills a patch float buffer by bilinear sampling of img with the window's
// centre pixel at `position`, gradients included. Reads the pixel columns
// trunc(x) - 4 .. trunc(x) + 4 and rows likewise, the last ones only when their
// weight is not zero. False, with the buffer untouched, unless position lies
// in [4, w - 4] x [4, h - 4] (NaN, infinite and huge positions fail).
bool SamplePatchBilinear(float buffer[160], const CVD::BasicImage<CVD::byte>& img,
                         const float position[2]);

// Moves position to the best sub-pixel match of the template found in at most
// ten steps; true when that is better than the start. The start must lie in
// [4, w - 4] x [4, h - 4] (else false, unmoved). T and S are scratch buffers.
bool RefinePatchPosition(const u8 patchBytes[64], const CVD::BasicImage<CVD::byte>& img,
                         float position[2], float templateBuffer[160], float sampleBuffer[160]);
