#pragma once
// The tracker's inertial step: a frame's samples and pose prior, the
// preintegrations from the frame before it and from the latest key frames,
// the predicted state and pose (the rotation from the small images when so
// set), and the ISO step over the latest frames (IsoStep.cpp).
#include <vector>

#include "features/ImageRotation.h"
#include "optimization/ISOProblem.h"
#include "optimization/ISOSolver.h"
#include "tracker/FrameMeasures.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class InertialStep {
 public:
  // Frames of the ISO window when the window is on.
  static constexpr u16 kIsoWindow = 10;

  // measures: recomputes the parallax, baseline and depth of solved frames.
  InertialStep(const TrackerContext& context, FrameMeasures& measures);

  // The start frame and the frames before it: prior, last sample, time, and
  // the state at rest in the prior's orientation.
  void StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                           const f64 posePrior[8], f64 time);
  // Every later frame, from the frame before it: its state and pose
  // propagated over the samples between them.
  void PredictFromImu(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples,
                      const f64 posePrior[8], f64 time);
  // The frame's preintegrations from the frame before it and from the latest
  // key frame (and provisional key frame), and its sample list.
  void ChainImuDeltas(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples);
  // The ISO step over the window ending at frame; the solver's stop code.
  // Solved states and poses go back to the window frames and their key frames.
  i32 RunIso(u16 frame, TrackingMode mode);

 private:
  // Readings stamped before the previous frame's time that come with a frame
  // (a host handing them over late, with the next frame) belong to the
  // frames before it that brought none: each of those frames, back to one
  // that brought readings or is a key frame (whose deltas the map holds),
  // takes its share and its deltas are made again from them instead of a
  // held reading. Returns the readings left to `frame`.
  const std::vector<IMUSample>& HandBackLateReadings(u16 previous, u16 frame,
                                                     const std::vector<IMUSample>& imuSamples);
  // Rotation rate of `previous` from the small images of the two frames;
  // zero (with a log line) when the times do not increase or the estimate
  // is rejected.
  void EstimateImageRate(u16 previous, u16 frame, f64 rate[3]);
  // State record 0 from the prior's orientation or the prediction, then
  // record 1, slots 0 and 1.
  void SetPredictedPose(TrackerFrame& f) const;
  // The window ending at frame, oldest first, into window_.
  void CollectWindow(u16 frame, u16 length);
  void BuildIsoProblem();
  // Each window frame with readings since its key frame, when that key frame
  // is not in the window, keeps the turn the gyroscope measured from the
  // key frame's place in the map. Within the window alone the frames turn
  // with the map's points, which, until their depths settle, take part of a
  // step for a turn.
  void TieToKeyFrames();
  // The frames since the current frame's key frame (with readings all the
  // way) as evidence of the map's unit in metres, handed to the map.
  void AddUnitEvidence(u16 frame);
  void WriteBack();
  void UpdateMeasures(TrackingMode mode);

  TrackerContext c_;
  FrameMeasures& measures_;
  ISOSolver isoSolver_;
  ISOProblem isoProblem_;
  ISOState isoState_;
  IBAFeatures levelWeights_;  // the feature weights per level
  RotationScratch rotationScratch_;
  std::vector<u16> window_;      // ring slots, oldest first
  std::vector<u16> lateFrames_;  // HandBackLateReadings' frames, newest first
  std::vector<IMUSample> lateShare_, ownSamples_;
  // AddUnitEvidence's times, positions and readings' displacements.
  std::vector<f64> unitTimes_;
  std::vector<std::array<f64, 3>> unitPositions_, unitMotions_;
};
