#pragma once
// A separable Gaussian blur in place over buffers its caller owns, so that
// the per-frame images of the tracker blur without touching the heap once
// the buffers have grown to the frame size. Taps reach ceil(sigmas sigma)
// pixels each way; the image edge repeats outwards.
#include <cvd/image.h>

#include <vector>

// Grown only: the horizontally blurred image and the taps.
struct GaussianScratch {
  std::vector<float> rows;
  std::vector<float> taps;  // centre first, then one per distance
};

// Blurs image in place; an image narrower or lower than the tap reach is
// left as it is.
void BlurGaussian(CVD::BasicImage<float>& image, double sigma, double sigmas,
                  GaussianScratch& scratch);
