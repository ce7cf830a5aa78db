#pragma once
// The console program's engine: built from the configuration file, it runs
// the tracker over a disk sequence with the workers on their threads, writes
// the pose file, the camera track and the key-frame images, or loads and
// describes a stored map.
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CaptureSource.h"
#include "app/DiskInput.h"
#include "app/EngineWorkers.h"
#include "la/MutexBuffer.h"
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
  // Ends a running frame loop at the next frame as Escape would: the
  // workers stopped and every output written. Safe in a signal handler.
  void RequestStop() { stopRequested_ = true; }

  // A run of this many names in a row whose files do not exist ends the
  // list there; a shorter one is a gap, skipped.
  static constexpr u32 kMissingFramesToEnd = 100;

  Tracker* GetTracker() { return tracker_.get(); }
  // Wall seconds of each frame of the last run's first pass (read, track,
  // pose written), for the benchmarks.
  const std::vector<f64>& FrameSeconds() const { return frameSeconds_; }

  // Takes one working frame per pass; false ends the loop.
  using FrameConsumer = std::function<bool(const DiskFrame& frame)>;
  // The camera frame loop: streams `source`, hands exactly one converted frame
  // to `consume` per pass, and stops the source when consume declines, the
  // stream ends or StopCamera is called. The number of frames consumed.
  i32 RunCameraLoop(CaptureSource& source, const FrameConsumer& consume);
  // Ends a running camera loop from any thread.
  void StopCamera();
  // The capture thread's side of the rendezvous: waits for the loop's
  // request, converts the frame into the working frame and hands it over.
  void OnCameraFrame(const CaptureFrame& frame);
  // Frames the capture thread refused as incomplete.
  u32 SkippedCameraFrames() const { return skippedFrames_.load(); }

 private:
  bool Fail(const std::string& message, int code = 1);
  bool BuildDisk(const Configuration& config, const std::string& calibration,
                 const std::string& configDirectory);
  bool ShowMap(const Configuration& config);
  bool BuildCamera(const Configuration& config, const std::string& calibration);
  // The map, the workers and the tracker over the calibration at the frame size.
  bool BuildEngine(const Configuration& config, const std::string& calibration,
                   TrackerOptions options);
  // The outputs and the server link every source that tracks shares.
  void FinishBuild(const Configuration& config);
  // Opens the capture device (the fake one with camera_device=fake) and
  // returns its frame size; false, with its message printed, when none opens.
  bool InitializeCamera(int fps, u16* width, u16* height);
  int RunCamera();
  // Moves i past a gap of missing files, with one line for the gap. False,
  // with one line and count cut to i, when the files stop existing at i.
  bool SkipMissingFrames(u32& i, u32& count);
  // Loads frame i of the list into the working frame; false, with a message,
  // when it cannot be used.
  bool LoadFrame(u32 i);
  void WriteOutputs(f64 framesPerSecond);

  bool ready_ = false;
  int exitCode_ = 0;
  std::atomic<bool> stopRequested_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in signal handlers");
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
  std::vector<IMUSample> skippedImu_;  // samples of the IMU files image_step passes over
  f32 inputFps_ = 0.0f;                // 0: unset
  bool simulateImu_ = false;
  i32 initialFrames_ = 0;
  f64 imuRotation_[9] = {};
  std::unique_ptr<GlobalMap> map_;
  std::unique_ptr<EngineWorkers> workers_;
  std::unique_ptr<Tracker> tracker_;
  AlignedArray<CameraPose> cameraTrack_;
  std::vector<f64> frameSeconds_;

  // Live capture. The capture thread writes the working frame only between
  // its request Get and its ready Put; the loop reads it only between its
  // ready Get and its next request Put.
  bool camera_ = false;
  std::string cameraDevice_;
  u16 fakeWidth_ = 640, fakeHeight_ = 480;
  u32 fakeFrames_ = 300;
  std::unique_ptr<CaptureSource> captureSource_;
  MutexBufferQueue<u8> cameraRequests_{1};
  MutexBufferQueue<u8> cameraReady_{1};  // a frame, or null when none will come
  std::atomic<bool> cameraClosing_{false};
  std::atomic<u32> skippedFrames_{0};
  bool cameraFirst_ = true;
  f64 cameraOrigin_ = 0.0;
  u8 frameMark_ = 0;  // the ready queue's "a frame" item
};
