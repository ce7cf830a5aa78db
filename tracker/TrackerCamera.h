#pragma once
// The camera as every stage sees it, taken once from the map: image sizes,
// intrinsics per pyramid level and of the alignment image, the noise, the
// image bounds, the warp-record offsets and the body-to-camera mounting.
#include "la/Pose.h"
#include "la/Types.h"

class GlobalMap;

struct TrackerCamera {
  TrackerCamera() = default;
  // Everything from the map's camera and mounting (under its shared lock).
  explicit TrackerCamera(const GlobalMap& map) { Set(map); }
  void Set(const GlobalMap& map);

  u16 width = 0, height = 0;            // level 0
  u16 smallWidth = 0, smallHeight = 0;  // width / 16, height / 16
  // Levels 0 to 3, then level 4: the alignment and small images.
  Intrinsic intrinsic[kPyramidLevels + 1]{};
  f32 pixelVariance = 0.0f;      // noise variance in normalised units
  f32 bounds[4] = {0, 0, 0, 0};  // normalised min x, min y, max x, max y
  u32 warpOffsets[4][4] = {};    // 1 + 2 (4a + b)
  CameraOffset bodyToCamera{{0, 0, 0, 1}, {0, 0, 0}};
};
