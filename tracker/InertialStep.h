#pragma once
// The tracker's inertial step: a frame's samples and pose prior, the
// preintegrations from the frame before it and from the latest key frames,
// the predicted state and pose (the rotation from the small images when so
// set), and the ISO step over the latest frames.
#include <vector>

#include "features/ImageRotation.h"
#include "optimization/ISOProblem.h"
#include "optimization/ISOSolver.h"
#include "tracker/TrackerContext.h"

class InertialStep {
 public:
  explicit InertialStep(const TrackerContext& context);

  // The start frame and the frames before it.
  void StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                           const f64 posePrior[8], f64 time);
  // Every later frame, from the frame before it.
  void PredictFromImu(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples,
                      const f64 posePrior[8], f64 time);
  void ChainImuDeltas(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples);
  // The ISO step over the window ending at frame; the solver's stop code.
  i32 RunIso(u16 frame);

 private:
  TrackerContext c_;
  ISOSolver isoSolver_;
  ISOProblem isoProblem_;
  ISOState isoState_;
  RotationScratch rotationScratch_;
};
