#pragma once
// The frames before the start frame: the camera placed above the ground with
// the pose prior's tilt, and the marker-sheet detector run on them with its
// template cache. A template the detector captures is saved as the new cache.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tracker/TrackerCamera.h"
#include "tracker/TrackerRecords.h"
#include "viewer/MarkerDetector.h"

class MarkerPhase {
 public:
  MarkerPhase(const TrackerCamera& camera, bool view) : camera_(camera), view_(view) {}

  // The template cache; empty turns the detector off.
  void SetTemplateFile(const std::string& path) { templateFile_ = path; }
  // Sets the frame's state and poses and runs the detector on it (made on the
  // first call). True when the detector captured a template, which was then
  // written to the cache: making the cache ends the run.
  bool Run(TrackerFrame& frame, const f64 posePrior[8]);

  const MarkerDetector* Detector() const { return detector_.get(); }
  // The cache's words as read, and the capture of this run (the detector's
  // output list).
  const std::vector<int32_t>& Template() const { return template_; }
  std::vector<int32_t>& Captured() { return captured_; }

 private:
  const TrackerCamera& camera_;
  bool view_;
  std::string templateFile_ = "marker.txt";
  std::unique_ptr<MarkerDetector> detector_;
  std::vector<int32_t> template_;
  std::vector<int32_t> captured_;
};
