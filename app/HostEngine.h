#pragma once
// The engine behind the exported interface: the map, the tracker and its
// workers on their threads, the marker detector, the host's inertial
// readings turned into the tracker's samples, and the records handed back.
#include <memory>
#include <string>
#include <vector>

#include "app/EngineWorkers.h"
#include "app/ImuSequence.h"
#include "app/UndistortionTable.h"
#include "app/zevrion.h"
#include "tracker/Tracker.h"
#include "viewer/MarkerDetector.h"

struct HostSettings {
  int width = 0, height = 0;
  double hfovDegrees = 0.0;
  double extrinsicX = 0.0, extrinsicY = 0.0;
  bool parallel = false, verbose = false;
  const void* markerTemplate = nullptr;
};

class HostEngine {
 public:
  // Null, with the reason in why, for a size outside 64..65535 or a field of
  // view outside (0, 180) degrees.
  static std::unique_ptr<HostEngine> Create(const HostSettings& settings, std::string& why);
  // The tracker quits (telling the server), then every thread stops.
  ~HostEngine();
  HostEngine(const HostEngine&) = delete;
  HostEngine& operator=(const HostEngine&) = delete;

  // The ideal camera frames are resampled into when a lens is given.
  const Intrinsic& Camera() const { return intrinsic_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

  // Nothing happens when a link runs already or the connection fails.
  void SetServer(const std::string& host);
  void StartTracking(const HostImuSample* imu, int count);
  void RunTracking(TrackingResult& out, const HostFrame& frame, const HostImuSample* imu, int count,
                   const double* prior, UndistortionTable& table);
  void ResetTracking();
  void ResetMarkerDetection() { detector_->Reset(); }
  void RunMarkerDetection(float out[10], const HostFrame& frame, const double* prior,
                          UndistortionTable& table);
  bool RegisterObject(const RegisteredObject& object);
  bool DeregisterObject(int id);
  // False when the state file cannot be written; an existing one is kept.
  bool SaveFile(const std::string& path);

  Tracker& GetTracker() { return *tracker_; }
  const std::vector<IMUSample>& Samples() const { return imu_; }
  f64 StartTime() const { return startTime_; }
  const f64* Prior() const { return prior_; }

 private:
  HostEngine(const HostSettings& settings, const Intrinsic& intrinsic);
  // Copies the host's rows into the working frame, resampled through the
  // table when it is present.
  void TakeFrame(const HostFrame& frame, UndistortionTable& table);
  void ConvertImuSamples(const HostImuSample* imu, int count);

  int width_, height_;
  Intrinsic intrinsic_;
  std::unique_ptr<GlobalMap> map_;
  std::unique_ptr<EngineWorkers> workers_;
  std::unique_ptr<Tracker> tracker_;
  std::unique_ptr<MarkerDetector> detector_;
  CVD::Image<u8> frame_;
  float marker_[10] = {};
  std::vector<ImuReading> readings_;
  ImuSequenceBuilder imuBuilder_;
  std::vector<IMUSample> imu_;
  f64 prior_[8] = {0, 0, 0, 1, 0, 0, 0, 0};
  f64 startTime_;
  // A frame was timed on the clock: its start no longer moves.
  bool clockRunning_ = false;
  CameraPose pose_;
  AlignedArray<LA::AlignedVector4f> planes_;
  AlignedArray<LA::AlignedMatrix4f> objectMatrices_;
  std::vector<RegisteredObject> objects_;
  std::vector<char> text_;
  float parallax_ = 0.0f, progress_ = 0.0f;
  bool resetPending_ = true;
  bool justInitialised_ = false;
};
