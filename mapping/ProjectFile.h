#pragma once
// Camera-track project files: an image sequence, the camera intrinsics,
// feature tracks with their 3-D points and per-frame pixel observations, and
// one camera pose per frame. The text form is written and read, the binary
// form only read. Loading turns every frame of the sequence into a key frame;
// a file that fails anywhere leaves the map as it was.
#include <cstdio>
#include <string>

#include "mapping/GlobalMap.h"

class TextCursor;

// Writes the text form for one pose per frame (unset poses allowed, marked by
// a focal length of -1) and one point per track (unset points allowed), every
// number with the digits that read back to the same float; false when the
// file cannot be written.
bool SaveProjectText(const std::string& fileName, const Intrinsic& intrinsic,
                     const AlignedArray<CameraPose>& framePoses,
                     const AlignedArray<MapPoint>& points);
// Reads the text form into the map; a frame whose focal length is negative
// has no pose and its key frame's pose is unset. False without a message when
// the file cannot be opened, with "Cannot load" and the reason when it is
// refused.
bool LoadProjectText(GlobalMap& map, const std::string& fileName);
// Reads the binary form into the map; unset poses and failures as
// LoadProjectText.
bool LoadProjectBinary(GlobalMap& map, const std::string& fileName);

// Three lines "%.9g %.9g %.9g %.9g" with the pose rows [R | t].
void WritePoseRows(const CameraPose& pose, FILE* f);
// Reads fx, fy, cx, cy and fills the whole record; false when they are
// missing.
bool ReadIntrinsicLine(Intrinsic& intrinsic, TextCursor& text);
