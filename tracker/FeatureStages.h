#pragma once
// The image routines of the feature front end that the frame input uses:
// the alignment image, the small image and the float-image SSD. Where the
// front end's headers are present they are the declarations; otherwise the
// same operations are declared here and defined by the tracker's stand-ins.
#include <cvd/image.h>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"

#if __has_include("features/AlignmentImage.h") && __has_include("features/ImageRotation.h")
#include "features/AlignmentImage.h"
#include "features/ImageRotation.h"
#define ZEVRION_FEATURE_STAGES 1
#else
#define ZEVRION_FEATURE_STAGES 0

using GradientImage = CVD::Image<LA::Vector2<float> >;

// A frame's small image (half-sampled level 3, mean removed) with its
// per-pixel gradient records.
struct SmallImage {
  CVD::Image<float> image;
  float mean = 0.0f;
  AlignedArray<float> gradients;
  CVD::Image<u8> halfSampled;
};

// Motion Jacobians per small-image pixel for one size and camera.
struct MotionJacobianTable {
  int width = -1, height = -1;
  float fx = 0.0f, fy = 0.0f, cx = 0.0f, cy = 0.0f;
  AlignedArray<float> rows;
};

// Mean-free, blurred, sharpened float copy of img with its gradients.
void PrepareAlignmentImage(const CVD::BasicImage<u8>& img, CVD::Image<float>& out,
                           GradientImage& grad, float& sharpness);
// Half-samples level 3 into the small image and normalises it.
void MakeSmallImage(SmallImage& out, const CVD::BasicImage<u8>& level3, const Intrinsic& k,
                    MotionJacobianTable& table);
// Sum of squared differences; FLT_MAX when the sizes differ.
float ImageSsdFloat(const CVD::BasicImage<float>& a, const CVD::BasicImage<float>& b);
#endif
