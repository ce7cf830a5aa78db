#pragma once
// The demo sequence on disk, as the console program reads it: the synthetic
// room with its marker sheet along a known path, as frame records with 200 Hz
// inertial readings and pose priors, the calibration (K.txt), a
// configuration (config.txt), the marker observation of the first frame
// (marker.txt) and the true poses in the pose-file layout (truth.txt).
#include <string>

#include "la/Types.h"

// Writes `frames` frames into folder (created); false with a message on
// standard error when a file cannot be written.
bool WriteDemoSequence(const std::string& folder, u32 frames);

// A flat frame record (grey 0x40) of w x h with no samples and no prior.
bool WriteFlatFrameRecord(const std::string& path, i32 w, i32 h);
