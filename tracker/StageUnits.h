#pragma once
// The tracker's own stages behind the driver's interface: each stage unit
// owns its scratch, and this forwards every stage to the unit that does it.
#include "tracker/EarlyMapSolve.h"
#include "tracker/FeatureFrontEnd.h"
#include "tracker/FrameMeasures.h"
#include "tracker/ImageMaps.h"
#include "tracker/ImageMatching.h"
#include "tracker/InertialStep.h"
#include "tracker/KeyFrameHandOver.h"
#include "tracker/MapInitialisation.h"
#include "tracker/MapMatching.h"
#include "tracker/NewPoints.h"
#include "tracker/PatchSearch.h"
#include "tracker/PoseEstimation.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

class StageUnits : public TrackerStages {
 public:
  explicit StageUnits(const TrackerContext& context);

  void DetectFastFeatures(u16 frame) override { frontEnd_.DetectFastFeatures(frame); }
  void DetectKltFeatures(u16 frame) override { frontEnd_.DetectKltFeatures(frame); }

  void StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                           const f64 posePrior[8], f64 time) override {
    inertial_.StoreImuMeasurement(frame, imuSamples, posePrior, time);
  }
  void PredictFromImu(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples,
                      const f64 posePrior[8], f64 time) override {
    inertial_.PredictFromImu(previous, frame, imuSamples, posePrior, time);
  }
  i32 RunIso(u16 frame, TrackingMode mode) override { return inertial_.RunIso(frame, mode); }

  bool AlignToPreviousFrame(u16 previous, u16 current) override {
    return imageMaps_.AlignToPreviousFrame(previous, current);
  }
  bool AlignFrameImage(u16 ringFrame, u16 frame) override {
    return imageMaps_.AlignFrameImage(ringFrame, frame);
  }
  bool AlignKeyFrameImage(u16 keyFrame, u16 frame, KeyFrameAlignment start,
                          float* residual) override {
    return imageMaps_.AlignKeyFrameImage(keyFrame, frame, start, residual);
  }
  void CarryKeyFrameMaps(const std::vector<u16>& keyFrames, u16 f, u16 g) override {
    imageMaps_.CarryKeyFrameMaps(keyFrames, f, g);
  }

  void PredictPoseFromFrame(u16 referenceFrame, u16 frame) override {
    pose_.PredictPoseFromFrame(referenceFrame, frame);
  }
  void MatchMap(u16 frame, TrackingMode mode) override { mapMatching_.MatchMap(frame, mode); }
  void RelocaliseFromKeyFrame(u16 keyFrame, u16 frame) override {
    pose_.RelocaliseFromKeyFrame(keyFrame, frame);
  }
  void SaveFrameMatches(u16 frame) override { patchSearch_.SaveFrameMatches(frame); }
  void RestoreFrameMatches(u16 frame) override { patchSearch_.RestoreFrameMatches(frame); }
  void RejectOutlierMatches(u16 frame, float bound) override {
    patchSearch_.RejectOutlierMatches(frame, bound);
  }
  void RefineMatches(u16 frame) override { patchSearch_.RefineMatches(frame); }

  void MatchImages(u16 alignedKeyFrame, u16 alignedFrame, u16 frame, TrackingMode mode) override {
    imageMatching_.MatchImages(alignedKeyFrame, alignedFrame, frame, mode);
  }
  void MatchKeyFrameImages(const std::vector<u16>& keyFrames, u16 frame,
                           TrackingMode mode) override {
    imageMatching_.MatchKeyFrameImages(keyFrames, frame, mode);
  }
  void CreateNewPoints(u16 frame, TrackingMode mode) override {
    newPoints_.CreateNewPoints(frame, mode);
    earlyMap_.Solve(frame);
  }

  float ComputeMapCoverage(u16 frame) override { return measures_.ComputeMapCoverage(frame); }
  float ComputeImageCoverage(u16 frame) override { return measures_.ComputeImageCoverage(frame); }
  float ComputeCombinedCoverage(u16 frame) override {
    return measures_.ComputeCombinedCoverage(frame);
  }
  float ComputeKeyFrameOverlap(u16 keyFrame, u16 frame) override {
    return measures_.ComputeKeyFrameOverlap(keyFrame, frame);
  }
  float ComputeParallax(u16 keyFrame, u16 frame, TrackingMode mode, float* parallaxOut) override {
    return measures_.ComputeParallax(keyFrame, frame, mode, parallaxOut);
  }
  float ComputeDistanceToKeyFrame(u16 keyFrame, u16 frame) override {
    return measures_.ComputeDistanceToKeyFrame(keyFrame, frame);
  }
  float ComputeReprojectionRms(u16 frame, const CameraPose& pose) override {
    return measures_.ComputeReprojectionRms(frame, pose);
  }
  float ComputeMeanDepth(u16 frame) override { return measures_.ComputeMeanDepth(frame); }

  u16 PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous,
                   bool firstKeyFrame, TrackingMode trackingMode) override {
    return handOver_.PushKeyFrame(frame, marker, mode, synchronous, firstKeyFrame, trackingMode);
  }
  u16 PopKeyFrame() override { return handOver_.PopKeyFrame(); }
  u32 TrimKeyFrames() override { return handOver_.TrimKeyFrames(); }
  void FillTrackMatchingData(u16 frame, TrackMatchingData& item) override {
    handOver_.FillTrackMatchingData(frame, item);
  }

  MapStart InitializeMap(u16 frame) override { return initialisation_.InitializeMap(frame); }
  MapStart AnchorToMarker(u16 frame, const float* marker) override {
    return initialisation_.AnchorToMarker(frame, marker);
  }

 private:
  FeatureFrontEnd frontEnd_;
  InertialStep inertial_;
  ImageMaps imageMaps_;
  PoseEstimation pose_;
  PatchSearch patchSearch_;
  MapMatching mapMatching_;
  ImageMatching imageMatching_;
  NewPoints newPoints_;
  EarlyMapSolve earlyMap_;
  FrameMeasures measures_;
  KeyFrameHandOver handOver_;
  MapInitialisation initialisation_;
};
