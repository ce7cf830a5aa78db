#pragma once
// Direct alignment of two alignment images under a 3x3 image map: robust
// Gauss-Newton on the pixel differences (a similarity model first, then a
// full homography), with a brightness offset, optionally pulled towards
// point correspondences. H takes pixels of the reference B into the moving
// image A: the warped image W(p) = A(H p) approximates B.
#include "features/AlignmentImage.h"

// Buffers reused from one alignment to the next (owned by the caller), so
// that nothing is allocated per iteration once warmed up.
struct AlignmentScratch {
  AlignedArray<float> residuals;  // squared residuals of the valid pixels
  AlignedArray<u32> pixels;       // their pixel indices
  AlignedArray<float> weights;
  AlignedArray<float> sortCopy;  // reordered by the robust scale
  // Twelve centred monomials per pixel, for the image size below.
  AlignedArray<float> monomials;
  int monomialWidth = 0, monomialHeight = 0;
  // Point correspondences of the extended form.
  AlignedArray<LA::Vector2<float>> movedPoints;
  AlignedArray<LA::Vector2<float>> pointDifferences;
  AlignedArray<float> pointSquaredDistances;
  AlignedArray<float> pointWeights;
  AlignedArray<float> pointMonomials;
};

// Aligns A to B from the start H (first element FLT_MAX: identity) and
// writes the last map into H whether or not it is accepted. True when the
// mapped image rectangle is not too distorted and the mean absolute residual
// (written to residual) is within the bound for B's sharpness.
bool AlignFrameImages(const CVD::BasicImage<float>& A, const CVD::BasicImage<float>& B,
                      const GradientImage& gradB, CVD::Image<float>& warped, WarpRecord& H,
                      float sharpnessB, float& residual, AlignmentScratch& scratch);

// The same with point correspondences (pixel positions, pointsA[i] in A
// matching pointsB[i] in B) weighted into every iteration, homography model
// throughout. True when the residual is within the bound and the mean squared
// point distance under the final map is below 4 pixels^2.
bool AlignFrameImagesExtended(const CVD::BasicImage<float>& A, const CVD::BasicImage<float>& B,
                              const GradientImage& gradB, CVD::Image<float>& warped,
                              const AlignedArray<LA::Vector2<float>>& pointsA,
                              const AlignedArray<LA::Vector2<float>>& pointsB, WarpRecord& H,
                              float sharpnessB, float& residual, AlignmentScratch& scratch);

// Per pixel, centred (x, y): x^2, x^3, x^4, x^3 y, y^2, y^3, y^4, x y^3, x y,
// x^2 y, x y^2, x^2 y^2. Rebuilt only when the size changes.
void BuildMonomialTable(int w, int h, AlignmentScratch& scratch);

// Per point of B, centred (x, y): x^2, x y, y^2, x, x^3, x^2 y, x y^2, y^3,
// x^2 r, x y r, y^2 r (r = x^2 + y^2), y.
void BuildPointMonomials(const AlignedArray<LA::Vector2<float>>& pointsB, int w, int h,
                         AlignedArray<float>& table);
