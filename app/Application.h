#pragma once
// The console program's engine: built from the configuration file, it runs
// the tracker over a disk sequence with the workers on their threads, writes
// the pose file, the camera track and the key-frame images, or loads and
// describes a stored map.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/DiskInput.h"
#include "app/EngineWorkers.h"
#include "mapping/SequenceFileName.h"
#include "tracker/Tracker.h"

class Application {
 public:
  // Reads the configuration and builds the engine. A fatal failure is
  // reported on standard error and leaves Ready() false with ExitCode() set.
  explicit Application(const std::string& configPath);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  bool Ready() const { return ready_; }
  int ExitCode() const { return exitCode_; }
  // Starts the workers, runs the frame loop and stops the workers; the
  // process's exit code.
  int Run();

  Tracker* GetTracker() { return tracker_.get(); }
  // Wall seconds of each frame of the last run's first pass (read, track,
  // pose written), for the benchmarks.
  const std::vector<f64>& FrameSeconds() const { return frameSeconds_; }

 private:
  bool Fail(const std::string& message, int code = 1);
  bool BuildDisk(const Configuration& config, const std::string& calibration,
                 const std::string& configDirectory);
  bool ShowMap(const Configuration& config);
  // Loads frame i of the list into the working frame; false, with a message,
  // when it cannot be used.
  bool LoadFrame(u32 i);
  void WriteOutputs(f64 framesPerSecond);

  bool ready_ = false;
  int exitCode_ = 0;
  u16 width_ = 0, height_ = 0;
  bool replay_ = false;
  bool frameRecords_ = false;
  std::string markerFileName_;
  FileSequence frames_;
  FileSequence imuFiles_;
  std::string keyFramePattern_, projectOutput_, poseOutput_, stateFileName_;
  DiskFrame frame_;
  std::string name_;  // scratch of one frame's file name
  float marker_[10] = {};
  std::vector<IMUSample> imu_;
  f64 prior_[8] = {0, 0, 0, 1, 0, 0, 0, kNoPriorTime};
  FrameRecordReader recordReader_;
  f32 inputFps_ = 0.0f;  // 0: unset
  bool simulateImu_ = false;
  i32 initialFrames_ = 0;
  f64 imuRotation_[9] = {};
  std::unique_ptr<GlobalMap> map_;
  std::unique_ptr<EngineWorkers> workers_;
  std::unique_ptr<Tracker> tracker_;
  AlignedArray<CameraPose> cameraTrack_;
  std::vector<f64> frameSeconds_;
};
