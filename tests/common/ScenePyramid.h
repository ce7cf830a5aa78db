#pragma once
// Image pyramids of the seeded textured-plane scene for the feature tests and
// benchmarks: a textured wall and a floor seen from a seeded pose, halved
// three times by 2x2 averaging (odd sizes drop their last column or row).
#include <cvd/image.h>

#include "la/Types.h"

namespace SceneRender {

// The plane scene at any size; the same seed gives the same image. A wall
// shift moves the camera parallel to the wall so that the wall's image (rows
// above 0.75 height) moves by exactly that many pixels.
CVD::Image<unsigned char> RenderPlaneScene(int width, int height, u32 seed, float wallShiftX = 0,
                                           float wallShiftY = 0);

// levels[0] = image, each further level the half-sample of the one above.
void BuildPyramid(const CVD::Image<unsigned char>& image, CVD::Image<unsigned char> levels[4]);

}  // namespace SceneRender
