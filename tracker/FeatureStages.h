#pragma once
// The image routines of the feature front end that the frame input uses:
// the alignment image, the small image and the float-image SSD.
#include "features/AlignmentImage.h"
#include "features/ImageRotation.h"
