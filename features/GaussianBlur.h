#pragma once
// A Gaussian blur in place over buffers its caller owns, so that the
// per-frame images of the tracker blur without touching the heap once the
// buffers have grown to the frame size. It gives libCVD's float blur up to
// float rounding, by the same two methods: when both sides are multiples of
// four, a third-order recursive filter along rows then columns whose signal
// continues the edge values; otherwise separable taps reaching
// ceil(sigmas sigma) pixels each way, the edge repeated outwards.
#include <cvd/image.h>

#include <vector>

// Grown only: the horizontally blurred image and the taps, or the forward
// pass of one row or column of the recursive filter.
struct GaussianScratch {
  std::vector<float> rows;
  std::vector<float> taps;  // centre first, then one per distance
  std::vector<double> line;
};

// Blurs image in place; the taps leave an image narrower or lower than
// their reach as it is.
void BlurGaussian(CVD::BasicImage<float>& image, double sigma, double sigmas,
                  GaussianScratch& scratch);
