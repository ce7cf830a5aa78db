#pragma once
// The stages the per-frame driver calls, by what each computes. The tracker
// runs its own stage units behind this interface (StageUnits); the driver's
// tests play a script behind it instead. Stages take the driver's phase as
// an argument and return what the driver decides on.
#include <vector>

#include "la/IMUSample.h"
#include "la/TrackMatchingData.h"
#include "tracker/TrackerRecords.h"

// The driver's phase as the stages need it.
struct TrackingMode {
  bool tracking = false;    // a map exists
  bool recovering = false;  // a frame was rejected since the last key-frame candidate
};

// Where the alignment of a key frame's image starts.
enum class KeyFrameAlignment {
  kTracking,      // from the key frame's map, pulled by the matched points when enough pair
  kRelocalising,  // from the key frame's map alone, or the identity when it is unset
  kRecovering,    // from the identity: after a run of lost frames the map is stale
};

// The map's scale after it is initialised or anchored.
struct MapStart {
  bool ok = false;
  f32 sceneScale = 0.0f;
  f32 depthScale = 0.0f;
  bool recovering = false;  // anchored without a marker: no ground, weak scale
  bool anchored = false;    // the marker's points hold the map: objects may follow it
  // A two-view start that failed only for want of parallax while the frame
  // still holds the first key frame's features: a later frame may succeed.
  bool retry = false;
};

class TrackerStages {
 public:
  virtual ~TrackerStages() = default;

  // --- Feature front end: FAST grids, and KLT features of a key frame to be.
  virtual void DetectFastFeatures(u16 frame) = 0;
  virtual void DetectKltFeatures(u16 frame) = 0;

  // --- Inertial step: state and pose of a new frame, and the ISO step.
  // The start frame and the frames before it.
  virtual void StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                                   const f64 posePrior[8], f64 time) = 0;
  // Every later frame, from the frame before it.
  virtual void PredictFromImu(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples,
                              const f64 posePrior[8], f64 time) = 0;
  // The solver's stop code.
  virtual i32 RunIso(u16 frame, TrackingMode mode) = 0;

  // --- Image maps between the frame and ring frames and key frames.
  virtual bool AlignToPreviousFrame(u16 previous, u16 current) = 0;
  virtual bool AlignFrameImage(u16 ringFrame, u16 frame) = 0;
  // residual (when not null) receives the alignment error on success.
  virtual bool AlignKeyFrameImage(u16 keyFrame, u16 frame, KeyFrameAlignment start,
                                  float* residual) = 0;
  virtual void CarryKeyFrameMaps(const std::vector<u16>& keyFrames, u16 f, u16 g) = 0;

  // --- Camera pose and map matches.
  virtual void PredictPoseFromFrame(u16 referenceFrame, u16 frame) = 0;
  // Fills the frame's map matches and its inlier and unsolved counts.
  virtual void MatchMap(u16 frame, TrackingMode mode) = 0;
  virtual void RelocaliseFromKeyFrame(u16 keyFrame, u16 frame) = 0;
  // A copy of the frame's matches and pose, and its return.
  virtual void SaveFrameMatches(u16 frame) = 0;
  virtual void RestoreFrameMatches(u16 frame) = 0;
  virtual void RejectOutlierMatches(u16 frame, float bound) = 0;
  virtual void RefineMatches(u16 frame) = 0;

  // --- Image matching of tracks without a point, and new points.
  virtual void MatchImages(u16 alignedKeyFrame, u16 alignedFrame, u16 frame, TrackingMode mode) = 0;
  virtual void MatchKeyFrameImages(const std::vector<u16>& keyFrames, u16 frame,
                                   TrackingMode mode) = 0;
  virtual void CreateNewPoints(u16 frame, TrackingMode mode) = 0;

  // --- Coverage scores and frame measures.
  virtual float ComputeMapCoverage(u16 frame) = 0;       // the lost fraction
  virtual float ComputeImageCoverage(u16 frame) = 0;     // the matched fraction
  virtual float ComputeCombinedCoverage(u16 frame) = 0;  // the new fraction
  virtual float ComputeKeyFrameOverlap(u16 keyFrame, u16 frame) = 0;
  // Negative when there is no parallax to speak of.
  virtual float ComputeParallax(u16 keyFrame, u16 frame, TrackingMode mode, float* parallaxOut) = 0;
  virtual float ComputeDistanceToKeyFrame(u16 keyFrame, u16 frame) = 0;
  virtual float ComputeReprojectionRms(u16 frame, const CameraPose& pose) = 0;
  virtual float ComputeMeanDepth(u16 frame) = 0;

  // --- Key frames of the shared map and the workers that hear of them.
  // The new key frame's index. The first key frame starts the map.
  virtual u16 PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous,
                           bool firstKeyFrame, TrackingMode trackingMode) = 0;
  // The removed key frame's index.
  virtual u16 PopKeyFrame() = 0;
  // Keeps the newest key frames; the frame number of the first one left.
  virtual u32 TrimKeyFrames() = 0;
  virtual void FillTrackMatchingData(u16 frame, TrackMatchingData& item) = 0;

  // --- Map initialisation from two views, and anchoring to the marker.
  virtual MapStart InitializeMap(u16 frame) = 0;
  virtual MapStart AnchorToMarker(u16 frame, const float* marker) = 0;
};
