#pragma once
// Stages that play a script: per frame number the values the stages report,
// and a log of the calls. The driver's tests and benchmark run a tracker
// over them (ScriptedTracker), so that the driver's decisions can be checked
// on chosen numbers without images or a map.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tracker/Tracker.h"

using Names = std::vector<std::string>;

struct FrameScript {
  u16 n = 100, relocN = 0;      // inliers after map matching, and after a relocalisation attempt
  f32 M = 0.1f, relocM = 1.0f;  // map coverage, the same
  u16 u = 0;                    // unsolved after map matching
  f32 I = 0.5f, S = 0.0f;       // image and combined coverage
  f32 parallax = 0.0f;
  bool initialiseOk = true;
  u32 keyFrameMapMatches = 100;      // map matches of a chosen key frame after its matching
  f64 speed = 0.0;                   // of the body, along x
  f32 x = 0.0f, y = 0.0f, z = 0.0f;  // camera centre
  f32 baseline = 0.0f, baselineRatio = 1.0f;  // to its key frame
  f32 rms = 0.0f;                             // reprojection error against the reference pose
  bool readings = true;  // false: no readings since the key frame (its delta has no translation)
  u32 features = 10;     // found by the key-frame feature detection, as few as a start needs
};

struct Script {
  std::map<int, FrameScript> frames;  // by frame number; missing: defaults
  // Key-frame alignment error by key-frame index; missing: alignment fails.
  std::map<u16, float> keyFrameAlignment;
  std::map<u16, float> keyFrameParallax;  // missing: 1.0
  std::vector<int> aligningFrames;        // frame numbers whose images align; others fail
  bool record = true;                     // false: per-frame calls are not logged (benchmarks)
  int relocalisedFrame = -1;              // frame number of the last relocalisation attempt
  // Where the last relocalisation's key-frame alignments started.
  KeyFrameAlignment relocalisationStart = KeyFrameAlignment::kTracking;
  f32 sceneScale = 1.0f;  // of the map when it starts, its depth scale the same
  Names calls;
  Names pushes;  // "slot,mode,sync" or "...,async" per key-frame push
  // Per frame after the start, the time of the prior the inertial step took
  // (DBL_MAX: none).
  std::vector<f64> priorTimes;

  FrameScript For(int number) const {
    const auto it = frames.find(number);
    return it != frames.end() ? it->second : FrameScript();
  }
};

class ScriptedStages : public TrackerStages {
 public:
  ScriptedStages(const TrackerContext& context, Script& script) : c_(context), s_(script) {}

  void DetectFastFeatures(u16) override {}
  void DetectKltFeatures(u16 frame) override;
  void StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imuSamples,
                           const f64 posePrior[8], f64 time) override;
  void PredictFromImu(u16 previous, u16 frame, const std::vector<IMUSample>& imuSamples,
                      const f64 posePrior[8], f64 time) override;
  i32 RunIso(u16, TrackingMode) override { return 0; }
  bool AlignToPreviousFrame(u16, u16) override { return true; }
  bool AlignFrameImage(u16 ringFrame, u16 frame) override;
  bool AlignKeyFrameImage(u16 keyFrame, u16 frame, KeyFrameAlignment start,
                          float* residual) override;
  void CarryKeyFrameMaps(const std::vector<u16>&, u16, u16) override {}
  void PredictPoseFromFrame(u16, u16) override {}
  void MatchMap(u16 frame, TrackingMode mode) override;
  void RelocaliseFromKeyFrame(u16 keyFrame, u16 frame) override;
  void SaveFrameMatches(u16 frame) override;
  void RestoreFrameMatches(u16 frame) override;
  void RejectOutlierMatches(u16, float) override {}
  void RefineMatches(u16 frame) override;
  void MatchImages(u16, u16, u16, TrackingMode) override {}
  void MatchKeyFrameImages(const std::vector<u16>&, u16, TrackingMode) override {}
  void CreateNewPoints(u16, TrackingMode) override {}
  float ComputeMapCoverage(u16 frame) override;
  float ComputeImageCoverage(u16 frame) override { return For(frame).I; }
  float ComputeCombinedCoverage(u16 frame) override { return For(frame).S; }
  float ComputeKeyFrameOverlap(u16, u16) override { return 1.0f; }
  float ComputeParallax(u16 keyFrame, u16 frame, TrackingMode mode, float* parallaxOut) override;
  float ComputeDistanceToKeyFrame(u16, u16) override { return 0.0f; }
  float ComputeReprojectionRms(u16 frame, const CameraPose&) override { return For(frame).rms; }
  float ComputeMeanDepth(u16) override { return 0.0f; }
  u16 PushKeyFrame(u16 frame, const float* marker, PushMode mode, bool synchronous,
                   bool firstKeyFrame, TrackingMode trackingMode) override;
  u16 PopKeyFrame() override;
  u32 TrimKeyFrames() override;
  void FillTrackMatchingData(u16 frame, TrackMatchingData& item) override;
  MapStart InitializeMap(u16 frame) override;
  MapStart AnchorToMarker(u16 frame, const float* marker) override;

 private:
  FrameScript For(u16 slot) const { return s_.For(c_.ring[slot].number); }

  TrackerContext c_;
  Script& s_;
};

// A tracker over scripted stages whose output, state save and Escape key are
// scripted too: the pose output is the visual pose while tracking, the save
// and the key are logged, and Escape quits.
class ScriptedTracker : public Tracker {
 public:
  ScriptedTracker(GlobalMap* map, const WorkerChannels& channels, const TrackerOptions& options,
                  Script& script);

  void GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>& planesOut,
                 AlignedArray<LA::AlignedMatrix4f>& objectsOut) override;
  bool SaveStateIfRequested() override;
  bool OnKeyDown(int key) override;

 private:
  Script& script_;
};
