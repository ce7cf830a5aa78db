#pragma once
// The tracker's per-frame record of its frame ring, the host's frame record,
// registered objects and the small lists its stages pass between them.
#include <cvd/image.h>
#include <cvd/rgb.h>

#include <vector>

#include "features/FeatureRecords.h"
#include "la/AlignedArray.h"
#include "la/IMUSample.h"
#include "la/Pose.h"
#include "optimization/IMUDelta.h"
#include "tracker/FeatureStages.h"

constexpr u16 kNoSlot = kNone16;
constexpr u16 kRingCapacity = 30;

// One frame as the host hands it in. The images are not owned.
struct TrackerInput {
  CVD::BasicImage<u8> grey{nullptr, CVD::ImageRef(0, 0)};
  const CVD::BasicImage<CVD::Rgb<u8>>* colour = nullptr;  // optional, same size as grey
  f64 time = 0.0;                                         // seconds since the first frame
  const float* marker = nullptr;                          // 10 floats, or none
};

// Three body states: 0 propagated by the inertial step, 1 the copy the ISO
// step and the map work with, 2 the state of output pose slot 2.
struct FrameState {
  IMUState record[3];
};

// Three camera poses: 0 from state 0, 1 the visual pose, 2 the output pose.
struct FramePose {
  CameraPose slot[3];
};

// One slot of the frame ring. Images and lists keep their storage when the
// slot is reused; Reset clears everything else.
struct TrackerFrame {
  i32 number = kUnsetCounter;
  CVD::Image<u8> pyramid[kPyramidLevels];
  CVD::Image<CVD::Rgb<u8>> colour;
  CVD::Image<float> alignmentImage;
  GradientImage gradientImage;
  f32 alignmentValue = 0.0f;
  FrameState state{};
  FramePose pose{};
  f64 lastImu[6] = {0, 0, 0, 0, 0, 0};
  f64 time = 0.0;
  // From the previous frame, from imuKeyFrame, from provisionalKeyFrame.
  IMUDelta delta[3]{};
  std::vector<IMUSample> samples;
  f64 posePrior[8] = {0, 0, 0, 1, 0, 0, 0, 0};
  FeatureGrid corners[kPyramidLevels];
  AlignedArray<LA::Vector2<float>> kltPixels[kPyramidLevels];
  AlignedArray<LA::Vector2<float>> kltNormalized[kPyramidLevels];
  std::vector<MapMatch> mapMatches[kPyramidLevels];
  std::vector<ImageMatch> candidates[kPyramidLevels];
  std::vector<ImageMatch> lost[kPyramidLevels];
  std::vector<ImageMatch> misses[kPyramidLevels];  // warp field: hypothesis record
  AlignedArray<WarpRecord> warps;                  // two per search candidate
  AlignedArray<WarpRecord> hypotheses;             // blocks of 33
  u16 inlierCount = 0;
  u16 unsolvedCount = 0;
  f32 mapCoverage = 0.0f;       // lost fraction
  f32 imageCoverage = 0.0f;     // matched fraction
  f32 combinedCoverage = 0.0f;  // new fraction
  f32 parallax = 0.0f;
  f32 baseline = 0.0f;
  f32 baselineRatio = 1.0f;
  f32 sceneDepth = 0.0f;
  u16 keyFrame = kNoSlot;
  u16 relocalisationKeyFrame = kNoSlot;
  u16 nearKeyFrame = kNoSlot;
  u16 parallaxKeyFrame = kNoSlot;
  u16 alignedKeyFrame = kNoSlot;
  u16 imuKeyFrame = kNoSlot;
  u16 provisionalKeyFrame = kNoSlot;
  u8 candidate = 0;
  u8 rejected = 0;
  SmallImage small;

  // Poses unset, deltas empty, lists, counts, scores and links cleared.
  void Reset();
  // Map matches over the four levels.
  u32 MapMatchCount() const;
};

// A virtual object the host registered, carried by map points.
struct TrackerObject {
  u16 anchorKeyFrame = kNoSlot;
  AlignedArray<u16> tracks;
  AlignedArray<LA::AlignedVector4f> points;
  AlignedArray<LA::AlignedMatrix4f> transforms;  // anchoring transform, current matrix
  f32 scale = 1.0f;
};

// A key frame with a score (distance, parallax or image difference).
struct ScoredKeyFrame {
  u16 keyFrame;
  f32 score;
};

// levels[0] := a copy of grey, each further level half-sampled from the one
// above; storage is reused while the size stays.
void BuildPyramid(const CVD::BasicImage<u8>& grey, CVD::Image<u8> (&levels)[kPyramidLevels]);
// The identity 3x3 image map.
void SetIdentityMap(WarpRecord& map);
// "UNSOLVED", "OUTLIER" or "INLIER" for a track flag byte.
const char* TrackStateName(u8 flags);
// Camera centre -R^T t of a pose.
void PoseCentre(const CameraPose& pose, float centre[3]);
// Dot product of two poses' optical axes (third rows of R).
float AxisDot(const CameraPose& a, const CameraPose& b);
