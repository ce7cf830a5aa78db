#pragma once
// Whole-image warps for the tracker's 2-D image view: each destination pixel
// takes the bilinear value of the source at its image under the map, 0 where
// that falls outside the source.
#include <cvd/byte.h>
#include <cvd/image.h>
#include <cvd/rgb.h>

#include "features/FeatureRecords.h"

// dst (resized to size) = src under the map m, affine or projective.
void WarpImageGray(const CVD::BasicImage<CVD::byte>& src, const CVD::ImageRef& size,
                   CVD::Image<CVD::byte>& dst, const WarpRecord& m);
// The same for an affine m.
void WarpImageGrayAffine(const CVD::BasicImage<CVD::byte>& src, const CVD::ImageRef& size,
                         CVD::Image<CVD::byte>& dst, const WarpRecord& m);
// Colour forms: the three channels are interpolated separately.
void WarpImageRgb(const CVD::BasicImage<CVD::Rgb<CVD::byte>>& src, const CVD::ImageRef& size,
                  CVD::Image<CVD::Rgb<CVD::byte>>& dst, const WarpRecord& m);
void WarpImageRgbAffine(const CVD::BasicImage<CVD::Rgb<CVD::byte>>& src, const CVD::ImageRef& size,
                        CVD::Image<CVD::Rgb<CVD::byte>>& dst, const WarpRecord& m);
