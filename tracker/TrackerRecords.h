#pragma once
// The tracker's per-frame record of its frame ring, the host's frame record,
// registered objects and the small lists its stages pass between them.
#include <cvd/image.h>
#include <cvd/rgb.h>

#include <vector>

#include "features/AlignmentImage.h"
#include "features/FeatureRecords.h"
#include "features/ImageRotation.h"
#include "la/AlignedArray.h"
#include "la/IMUSample.h"
#include "la/Pose.h"
#include "mapping/MapExchange.h"
#include "optimization/IMUDelta.h"
#include "tracker/InertialMath.h"

constexpr u16 kRingCapacity = 30;

// The three body states and the three camera poses of a frame.
enum FrameSlot : int {
  kPredicted = 0,  // propagated by the inertial step
  kVisual = 1,     // the copy the ISO step and the map work with
  kOutput = 2,     // the output pose, once a stage sets one
};

// The three preintegrations of a frame.
enum DeltaSlot : int {
  kFromPrevious = 0,     // from the frame before it in the ring
  kFromKeyFrame = 1,     // from its imuKeyFrame
  kFromProvisional = 2,  // from its provisionalKeyFrame
};

// How a key frame enters the map: the map's key-frame flag byte.
enum class PushMode : u8 {
  kNormal = 0,
  kProvisional = kKeyFrameWeak,  // pushed while recovering; no worker hears of it
};
// One frame as the host hands it in. The images are not owned.
struct TrackerInput {
  CVD::BasicImage<u8> grey{nullptr, CVD::ImageRef(0, 0)};
  const CVD::BasicImage<CVD::Rgb<u8>>* colour = nullptr;  // optional, same size as grey
  f64 time = 0.0;                                         // seconds since the first frame
  const float* marker = nullptr;                          // 10 floats, or none
};

// Three body states, by FrameSlot.
struct FrameState {
  IMUState record[3];
};

// Three camera poses, by FrameSlot; each from the state of its slot.
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
  // Time of the last reading lastImu holds, the frame's own or one held on
  // from the frames before; kNoReading when none was ever taken.
  f64 lastReadingTime = kNoReading;
  IMUDelta delta[3]{};  // by DeltaSlot
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
  u16 keyFrame = kNone16;
  u16 relocalisationKeyFrame = kNone16;
  u16 nearKeyFrame = kNone16;
  u16 parallaxKeyFrame = kNone16;
  u16 alignedKeyFrame = kNone16;
  u16 imuKeyFrame = kNone16;
  u16 provisionalKeyFrame = kNone16;
  u8 candidate = 0;
  u8 rejected = 0;
  // Its state was started at rest, with no frame to predict it from: the
  // velocity is a guess until the window solves it.
  bool startedAtRest = false;
  SmallImage small;

  // Poses unset, deltas empty, lists, counts, scores and links cleared.
  void Reset();
  // Map matches over the four levels.
  u32 MapMatchCount() const;
};

// A virtual object the host registered, carried by map points.
struct TrackerObject {
  u16 anchorKeyFrame = kNone16;  // kNone16: frozen, its key frame was trimmed away
  // Its support points as feature indices within the anchor key frame (track
  // ids outgrow 16 bits in long runs), and their 3-D points at registration.
  AlignedArray<u16> features;
  AlignedArray<LA::AlignedVector4f> points;
  // The registration matrix, the current matrix and the 2-D similarity model.
  AlignedArray<LA::AlignedMatrix4f> transforms;
  f32 scale = 1.0f;
};

// Where a key frame's own tracks and features live in the tracker's arrays.
struct KeyFrameRecord {
  // Per level the first FeaturePatch of a track the key frame created (one
  // patch per track), then the end.
  u32 firstPatch[kPyramidLevels + 1] = {0, 0, 0, 0, 0};
  // Its first feature in the key-frame feature arrays, which run parallel to
  // its track list.
  u32 featureStart = 0;
};

// A key frame with a score (distance, parallax or image difference).
struct ScoredKeyFrame {
  u16 keyFrame;
  f32 score;
};

// The identity 3x3 image map.
void SetIdentityMap(WarpRecord& map);
// "UNSOLVED", "OUTLIER" or "INLIER" for a track flag byte.
const char* TrackStateName(u8 flags);
// Dot product of two poses' optical axes (third rows of R).
float AxisDot(const CameraPose& a, const CameraPose& b);
