#pragma once
// Records the shared map exchanges with its callers: the tracker's working
// copy and key-frame input, a worker's snapshot token and index lists, the
// adjustors' extra edits and the matcher's copy of one key frame.
#include <cvd/image.h>
#include <cvd/rgb.h>

#include <utility>
#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Pose.h"
#include "la/Types.h"
#include "optimization/IMUAttitude.h"
#include "optimization/IMUDelta.h"

using MapPoint = LA::AlignedVector4f;       // (x, y, z, w)
using MapPlane = LA::AlignedVector4f;       // the adjustment's plane record
using MapMeasurement = LA::Vector2<float>;  // normalised (x, y)
using TrackColor = CVD::Rgb<u8>;
using TrackPair = std::pair<u32, u32>;  // (survivor, absorbed) once accepted

// Key-frame flag bits.
enum KeyFrameFlag : u8 {
  kKeyFrameAdjusted = 1 << 0,
  kKeyFrameWeak = 1 << 1,  // provisional: pushed while the tracker recovers
};

// What the tracker reads of one key frame besides the arrays of the working
// copy, copied so that a map replaced on another thread never frees it under
// the tracker.
struct WorkingKeyFrame {
  u32 frameId = 0;
  u16 levelOffsets[6] = {0, 0, 0, 0, 0, 0};  // as KeyFrame::levelOffsets
  CVD::Image<float> floatImage;              // a copy of its own
};

// The tracker's private copy of the map, refreshed by GlobalMap::Synchronize.
// Arrays only grow, so a steady stream of frames allocates nothing.
struct MapWorkingCopy {
  // Empty, as after a pull of an empty map (the track-start array keeps its
  // one entry); the next pull copies every key frame again.
  void Clear();

  f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
  AlignedArray<IMUState> keyFrameStates;
  AlignedArray<CameraPose> keyFramePoses;
  AlignedArray<LA::AlignedVector4f> cameraCenters;  // (x, y, z, 1)
  AlignedArray<MapPoint> points;
  AlignedArray<MapPlane> planes;
  std::vector<u32> keyFrameMeasurementStart;
  std::vector<u32> measurementTracks;
  std::vector<u16> trackPlanes;
  std::vector<u8> keyFrameFlags;
  std::vector<u8> trackFlags;
  std::vector<u8> planeFlags;
  std::vector<u32> resolvedTracks;  // per track: itself, or the track that absorbed it
  // Key frames are only appended between structure changes: a pull copies the
  // new ones, and all of them when the structure version moved.
  std::vector<WorkingKeyFrame> keyFrames;
  u64 structureVersion = ~u64{0};
  u8 changed = 0;   // the last pull copied
  f64 time = -1.0;  // time of day of the last pull
};

// A new key frame as the tracker hands it in. Within each level the matched
// features come first (one track id each in `tracks`), the features that
// start new tracks follow. PushKeyFrame compacts the matched part in place.
struct KeyFrameInput {
  u32 frameId = 0;
  IMUState state{};
  CameraPose pose{};
  IMUDelta sincePrevious{};  // from the previous key frame to this one
  IMUAttitude attitude{};
  // The caller's images (not owned); null or empty ones are not copied.
  const CVD::BasicImage<TrackColor>* colour = nullptr;  // none: new tracks get (0, 255, 255)
  const CVD::BasicImage<u8>* pyramid[kPyramidLevels] = {nullptr, nullptr, nullptr, nullptr};
  const CVD::BasicImage<float>* floatImage = nullptr;
  AlignedArray<LA::Vector2<float>> pixels[kPyramidLevels];  // level pixels
  AlignedArray<MapMeasurement> normalized[kPyramidLevels];
  std::vector<u32> tracks[kPyramidLevels];  // matched track ids, the level's first features
};

// What a write-back compares against: fresh exactly when the map's
// modification counter has not moved since the snapshot.
struct MapSnapshotToken {
  u64 counter = 0;
  f64 time = -1.0;  // informational
};

// Lists a problem builder returns to its worker, in problem order, kept for
// the write-back; plus the builder's scratch.
struct MapProblemIndex {
  std::vector<u16> keyFrames;    // problem camera -> key frame
  std::vector<u32> tracks;       // problem point -> track
  std::vector<u16> planes;       // problem plane -> map plane
  std::vector<u32> trackPoints;  // track -> problem point, kNone32 when out
  std::vector<u16> planePlanes;  // map plane -> problem plane, kNone16 when out
  f32 scale = 0.0f;              // the map's scale value
  std::vector<u8> marks;         // scratch
};

// The adjustors' edits beyond the problem: tracks taken off their plane and
// the re-tested outliers (flag byte with INLIER: restored).
struct BAResultEdits {
  std::vector<u32> clearedPlaneTracks;
  std::vector<u32> retestedTracks;
  AlignedArray<MapPoint> retestedPoints;
  std::vector<u8> retestedFlags;
  std::vector<u16> retestedPlanes;  // map plane indices, kNone16 for none

  void Clear();
};

// A copy of one key frame for the track matcher.
struct MapKeyFrameCopy {
  u32 frameId = 0;
  CameraPose pose{};
  CVD::Image<u8> pyramid[kPyramidLevels];
  AlignedArray<MapPoint> points[kPyramidLevels];              // the tracks' points
  AlignedArray<MapMeasurement> measurements[kPyramidLevels];  // normalised
  std::vector<u32> tracks[kPyramidLevels];
  std::vector<u8> trackFlags[kPyramidLevels];
};
