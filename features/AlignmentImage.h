#pragma once
// The alignment image of a frame (a small, mean-free, blurred and sharpened
// float copy with its gradients) and the per-pixel routines the direct image
// alignment is built from: warping under a 3x3 map, residuals, robust
// weights, and the shape test of a map's image rectangle. Invalid pixels of a
// warped image hold FLT_MAX.
#include <cvd/image.h>

#include "features/FeatureRecords.h"
#include "features/GaussianBlur.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

using GradientImage = CVD::Image<LA::Vector2<float>>;

// Largest accepted mean absolute residual for a reference of this sharpness.
inline float AlignmentResidualBound(float sharpness) {
  return 5.0f + 0.2f * 0.5f * sharpness;
}

// Fills out (mean-free, blurred, blended half and half with the byte
// image's Laplacian, blurred again), its gradients, and sharpness, the mean
// absolute Laplacian. out and grad take img's size. The blurs work in
// scratch; the form without it makes its own.
void PrepareAlignmentImage(const CVD::BasicImage<u8>& img, CVD::Image<float>& out,
                           GradientImage& grad, float& sharpness, GaussianScratch& scratch);
void PrepareAlignmentImage(const CVD::BasicImage<u8>& img, CVD::Image<float>& out,
                           GradientImage& grad, float& sharpness);

// Central differences (not halved) of the interior pixels; the one-pixel
// border of grad is not written. grad takes img's size.
void ComputeImageGradient(const CVD::BasicImage<float>& img, GradientImage& grad);

// dst(p) = src(H p) bilinearly for every pixel whose truncated position lies
// in 1 <= x < w - 2, 1 <= y < h - 2 with four valid neighbours; FLT_MAX
// elsewhere, and wherever H p is behind the map's horizon or not finite.
void WarpFloatImage(const CVD::BasicImage<float>& src, CVD::Image<float>& dst, const WarpRecord& H);

// Images of (0, 0), (w, 0), (w, h), (0, h) under H (affine or projective).
// False, with every corner FLT_MAX, when a corner has W <= FLT_EPSILON or is
// not finite.
bool MapImageCorners(int w, int h, const WarpRecord& H, float corners[8]);

// How far the quad of mapped corners is from the image rectangle: 1.0 when
// it is not convex (or not finite), else the largest 1 - r over the sides
// with r the ratio of side length and the image diagonal (the smaller over
// the larger).
float ComputeWarpDistortion(int w, int h, const float corners[8]);

// MapImageCorners then ComputeWarpDistortion below 0.7.
bool IsWarpValid(const u32 size[2], const WarpRecord& H);

// Sum of (a - b)^2 over all pixels; FLT_MAX when the sizes differ.
float ImageSsdFloat(const CVD::BasicImage<float>& a, const CVD::BasicImage<float>& b);

// For every interior pixel whose warped value and four neighbours are valid,
// in row-major order, appends (W - B + b)^2 to squaredResiduals (emptied
// first) and, when given, the pixel's index y w + x to pixels.
void ComputeImageResiduals(const CVD::BasicImage<float>& warped, const CVD::BasicImage<float>& B,
                           float b, AlignedArray<float>& squaredResiduals,
                           AlignedArray<u32>* pixels = nullptr);

// Mean |W - B + b| over the pixels of ComputeImageResiduals; FLT_MAX when
// fewer than 0.2 w h pixels count or h < 3.
float MeanAbsoluteResidual(const CVD::BasicImage<float>& warped, const CVD::BasicImage<float>& B,
                           float b);

// d_i = moved_i - q_i and |d_i|^2 (outputs sized to the point count).
void ComputePointResiduals(const AlignedArray<LA::Vector2<float>>& moved,
                           const AlignedArray<LA::Vector2<float>>& q,
                           AlignedArray<LA::Vector2<float>>& differences,
                           AlignedArray<float>& squaredDistances);

// w_i = 1 / (r_i / s^2 + 1) with s^2 the Tukey scale of a copy (in `copy`)
// of the squared residuals r_i; every weight 1 when s^2 is 0.
void ComputeRobustWeights(const AlignedArray<float>& squaredResiduals, AlignedArray<float>& weights,
                          AlignedArray<float>& copy);
