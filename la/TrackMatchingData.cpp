#include "la/TrackMatchingData.h"

#include <cstring>

#include "la/AlignedMemory.h"

static_assert(sizeof(LA::AlignedVector4f) == 16, "map points are 16 bytes");
static_assert(sizeof(LA::Vector2<u16>) == 4, "corners are 4 bytes");
static_assert(sizeof(CameraPose) == 12 * sizeof(float), "the pose block holds 12 floats");

TrackMatchingData::TrackMatchingData() {
  pose = static_cast<CameraPose*>(AlignedMalloc(sizeof(CameraPose)));
  std::memset(static_cast<void*>(pose), 0, sizeof(CameraPose));
}

TrackMatchingData::~TrackMatchingData() {
  AlignedFree(pose);
}

void TrackMatchingData::SetImages(const CVD::BasicImage<u8>* levels,
                                  const CVD::BasicImage<float>& alignment,
                                  const CVD::BasicImage<LA::Vector2<float>>& gradient) {
  for (int l = 0; l < kPyramidLevels; ++l) RefillImage(pyramid[l], levels[l]);
  RefillImage(floatImage, alignment);
  RefillImage(gradientImage, gradient);
}

void TrackMatchingData::SetCorners(int level, const LA::Vector2<u16>* cornerList, u32 count,
                                   const int* rowStarts, u32 rows) {
  RefillArray(corners[level], cornerList, count);
  RefillVector(cornerRowStarts[level], rowStarts, rows);
}

void TrackMatchingData::ResizeMatches(int level, u32 count) {
  points[level].Resize(count);
  measurements[level].Resize(count);
  normalizedMeasurements[level].Resize(count);
  trackIndices[level].resize(count);
  trackFlags[level].resize(count);
  planeIndices[level].resize(count);
}
