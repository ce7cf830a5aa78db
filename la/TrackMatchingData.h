#pragma once
// Snapshot of one tracked frame (four-level pyramid, alignment images, map
// matches per level, pose) that the tracking thread hands to the track
// matcher. Items are created once by their pool and refilled in place, so
// their arrays keep their capacity from one frame to the next. Entry i of a
// level's points, measurements, normalised measurements, track indices, track
// flags and plane indices describe the same map match.
#include <cvd/image.h>

#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"
#include "la/RefillInPlace.h"
#include "la/Types.h"

class TrackMatchingData {
 public:
  // Frame id of a reset request: the matcher only returns such an item.
  static constexpr u32 kResetFrameId = kNone32;
  // Track flag bit the matcher reads: the track is an inlier with a 3-D point.
  static constexpr u8 kInlierFlag = 2;

  // Empty images, arrays and lists; a zeroed 32-byte-aligned pose block.
  TrackMatchingData();
  ~TrackMatchingData();
  TrackMatchingData(const TrackMatchingData&) = delete;
  TrackMatchingData& operator=(const TrackMatchingData&) = delete;

  bool IsReset() const { return frameId == kResetFrameId; }
  // Copies the images that have pixels; an empty source keeps the field.
  void SetImages(const CVD::BasicImage<u8>* levels, const CVD::BasicImage<float>& alignment,
                 const CVD::BasicImage<LA::Vector2<float>>& gradient);
  // Copies one level's corner list and its row-start table.
  void SetCorners(int level, const LA::Vector2<u16>* cornerList, u32 count, const int* rowStarts,
                  u32 rows);
  // Sizes one level's per-match arrays to `count` for the filler to write in
  // place; buffers are reallocated only when they must grow.
  void ResizeMatches(int level, u32 count);
  u32 MatchCount(int level) const { return points[level].Size(); }

  u32 frameId = 0;
  CVD::Image<u8> pyramid[kPyramidLevels];
  // Image-alignment float image; its width over the level-0 width scales the
  // matcher's intrinsics.
  CVD::Image<float> floatImage;
  CVD::Image<LA::Vector2<float>> gradientImage;
  // Mean absolute discrete Laplacian of the image the two above come from.
  f32 texture = 0.0f;
  // Per level, per map match: the map point (x, y, z, w).
  AlignedArray<LA::AlignedVector4f> points[kPyramidLevels];
  // Per level: the frame's corners and the row-start table of that list.
  AlignedArray<LA::Vector2<u16>> corners[kPyramidLevels];
  std::vector<int> cornerRowStarts[kPyramidLevels];
  // Per level, per map match: measured position in pixels of the level, and
  // in normalised camera coordinates with that level's intrinsics.
  AlignedArray<LA::Vector2<float>> measurements[kPyramidLevels];
  AlignedArray<LA::Vector2<float>> normalizedMeasurements[kPyramidLevels];
  // Per level, per map match: track index, track flags, plane index
  // (kNone16: none).
  std::vector<u32> trackIndices[kPyramidLevels];
  std::vector<u8> trackFlags[kPyramidLevels];
  std::vector<u16> planeIndices[kPyramidLevels];
  // The frame's input pose prior, unchanged (DBL_MAX: none).
  f64 posePrior[8] = {};
  // Owned block holding the frame's visual pose.
  CameraPose* pose = nullptr;
  // Key frame the frame was relocalised from, and the one its image was
  // aligned to (kNone16: none); mean depth of its inlier matches (0: none).
  u16 relocalisationKeyFrame = 0;
  u16 alignmentKeyFrame = 0;
  f32 meanDepth = 0.0f;
};
