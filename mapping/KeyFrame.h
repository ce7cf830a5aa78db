#pragma once
// One key frame of the shared map: the input frame it came from, its images,
// where its measurements of each pyramid level start, the inertial
// preintegration to the next key frame and the attitude at its time.
#include <cvd/image.h>

#include "la/Types.h"
#include "optimization/IMUAttitude.h"
#include "optimization/IMUDelta.h"

struct KeyFrame {
  // Frame id 0, empty images and offsets, the empty delta, an unset attitude.
  KeyFrame();

  // dst := src, images by value (each reallocated only when its size changes).
  static void Copy(KeyFrame& dst, const KeyFrame& src);

  u32 frameId = 0;
  CVD::Image<float> floatImage;
  CVD::Image<u8> pyramid[kPyramidLevels];
  // Offsets 0-3: first measurement of levels 0-3 within the key frame's
  // block; offsets 4 and 5: the key frame's measurement count.
  u16 levelOffsets[6] = {0, 0, 0, 0, 0, 0};
  // From this key frame to the next; the empty delta while it is the newest.
  IMUDelta delta;
  IMUAttitude attitude;  // time DBL_MAX: unset
};
