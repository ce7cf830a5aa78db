#pragma once
// Converts a captured frame into the working colour image (top row first,
// R, G, B) and its grey image (the CIE weights of libCVD's conversion).
#include <cvd/image.h>
#include <cvd/rgb.h>

#include "app/CaptureSource.h"

// True when the frame's size, stride and used bytes cover every pixel of its
// layout; a frame that fails must not be read.
bool CaptureFrameComplete(const CaptureFrame& frame);

// Converts a complete frame; the images are resized only when the frame size
// changes. False, with the images untouched, for an incomplete frame.
bool ConvertCaptureFrame(const CaptureFrame& frame, CVD::Image<CVD::Rgb<u8>>& colour,
                         CVD::Image<u8>& grey);
