#include "app/Application.h"

#include <cvd/image_io.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/ConfigFile.h"
#include "la/IMUSimulationFlags.h"
#include "mapping/Calibration.h"
#include "mapping/MapFile.h"
#include "mapping/ProjectFile.h"
#include "optimization/IMUParameters.h"
#include "tracker/InertialMath.h"

namespace {

using Clock = std::chrono::steady_clock;

f64 SecondsSince(Clock::time_point start) {
  return std::chrono::duration<f64>(Clock::now() - start).count();
}

// Calls take(name) with each file `list` steps over (image_step) before its
// entry i, oldest first: their readings belong to entry i's interval.
template <class Take>
void ForEachPassedOver(const FileSequence& list, u32 i, std::string& name, Take take) {
  for (u32 back = list.Skipped(); i > 0 && back > 0; --back) {
    list.NameBefore(i, back, name);
    take(name);
  }
}

}  // namespace

Application::Application(const std::string& configPath) {
  Configuration config;
  if (!LoadConfigFile(config, configPath)) {
    std::error_code error;
    const char* why = std::filesystem::is_directory(configPath, error) ? ": it is a directory"
                      : !std::filesystem::exists(configPath, error)    ? ": no such file"
                                                                       : "";
    Fail("Cannot read the configuration file '" + configPath + "'" + why);
    return;
  }
  // From the defaults: a key the file leaves out, or the simulation's
  // loosening, must not carry over from an earlier run in this process.
  IMU::ResetParameters();
  IMU::LoadParameters(config);
  const std::string calibration =
      ConfigGetString(config, "calib_file_name", GetDirectory(configPath) + "K.txt");
  const std::string source = ConfigGetString(config, "source_type", "DISK");
  if (source == "MAP") {
    ShowMap(config);
  } else if (source == "CAMERA") {
    ready_ = BuildCamera(config, calibration);
  } else if (source != "DISK") {
    Fail("Unknown source_type '" + source + "': DISK, CAMERA or MAP");
  } else {
    ready_ = BuildDisk(config, calibration, GetDirectory(configPath));
  }
}

Application::~Application() {
  if (workers_) workers_->Stop();
}

bool Application::Fail(const std::string& message, int code) {
  std::fprintf(stderr, "%s\n", message.c_str());
  ready_ = false;
  exitCode_ = code;
  return false;
}

bool Application::ShowMap(const Configuration& config) {
  const std::string name = ConfigGetString(config, "map_file_name", "");
  const std::string extension = GetFileExtension(name);
  map_ = std::make_unique<GlobalMap>();
  bool loaded = false;
  if (extension == "act") {
    loaded = LoadProjectText(*map_, name);
  } else if (extension == "actb") {
    loaded = LoadProjectBinary(*map_, name);
  } else if (extension == "txt") {
    loaded = LoadMap(*map_, name);
  } else {
    return Fail("map_file_name '" + name + "': not an .act, .actb or .txt map");
  }
  if (!loaded) return Fail("Cannot load the map '" + name + "'");
  std::printf("Loaded '%s': %u key frames, %u points\n", name.c_str(), map_->KeyFrameCount(),
              map_->points.Size());
  // The display holds the update paused until the window is closed or left
  // with Escape (or stepped once); without a window it returns at once.
  tracker_ = std::make_unique<Tracker>(*map_, true);
  tracker_->Display().SetPaused(true);
  tracker_->Display().UpdateDisplay(true);
  exitCode_ = 0;
  return false;
}

bool Application::BuildDisk(const Configuration& config, const std::string& calibration,
                            const std::string& configDirectory) {
  (void)configDirectory;
  const std::string images = ConfigGetString(config, "image_file_name_input", "");
  const std::string imuPattern = ConfigGetString(config, "imu_file_name_input", "");
  initialFrames_ = ConfigGetInt(config, "initial_frames", 0);
  const f64 fps = ConfigGetDouble(config, "input_fps", FLT_MAX);
  // A rate of zero or less would stamp frames with infinite or negative times.
  inputFps_ = fps > 0.0 && fps < FLT_MAX ? static_cast<f32>(fps) : 0.0f;
  const std::string extension = GetFileExtension(images);
  frameRecords_ = extension == "txt" || extension == "dat";
  const i32 start = ConfigGetInt(config, "image_start", 0);
  const i32 step = ConfigGetInt(config, "image_step", 1);
  const i32 end = ConfigGetInt(config, "image_end", INT_MAX);
  if (images.empty()) return Fail("No image_file_name_input: nothing to run");
  if (step <= 0) return Fail("image_step must be 1 or more");
  if (start < 0) return Fail("image_start must not be negative");
  // The depth sets the first points and the map's scale: zero, negative or
  // not finite would leave every point at the camera or nowhere.
  const f32 initialDepth = static_cast<f32>(ConfigGetDouble(config, "initial_depth", 1.0));
  if (!(initialDepth > 0.0f) || !std::isfinite(initialDepth))
    return Fail("initial_depth must be a positive number");

  bool imuLoads = false;
  if (!imuPattern.empty()) {
    MakeSequenceFileName(name_, imuPattern, static_cast<u32>(start));
    f64 time = 0.0;
    imuLoads = LoadImuFile(name_, &time, imu_, prior_);
  }
  const IMUSimulationFlags flags = DecideIMUSimulation(config, imuLoads);
  simulateImu_ = flags.simulate != 0;
  IMU::ApplySimulationAdjustment(flags);
  if (initialFrames_ == 0) markerFileName_ = ConfigGetString(config, "marker_file_name_input", "");
  const bool view = ConfigGetInt(config, "view", 1) != 0;

  // With the default end the list ends at the first missing file.
  u32 count = 0;
  if (end == INT_MAX) {
    for (int64_t n = start; n <= end; n += step, ++count) {
      MakeSequenceFileName(name_, images, static_cast<u32>(n));
      if (!std::filesystem::exists(name_)) break;
    }
  } else if (end >= start) {
    count = static_cast<u32>((static_cast<int64_t>(end) - start) / step + 1);
  }
  if (count == 0) return Fail("No input frames: '" + images + "' names no file");
  frames_ = FileSequence(images, static_cast<u32>(start), static_cast<u32>(step), count);
  if (!imuPattern.empty()) {
    imuFiles_ = FileSequence(imuPattern, static_cast<u32>(start), static_cast<u32>(step), count);
  }
  if (!LoadFrame(0)) return Fail("Cannot load the first frame: nothing to run");
  width_ = static_cast<u16>(frame_.grey.size().x);
  height_ = static_cast<u16>(frame_.grey.size().y);
  if (frame_.grey.size().x > 65535 || frame_.grey.size().y > 65535) {
    return Fail("The first frame is too large");
  }

  TrackerOptions options;
  options.startFrame = 0;
  options.endFrame = initialFrames_ > 0 ? initialFrames_ - 1 : kUnsetCounter;
  options.imageRotation = simulateImu_;
  options.initialDepth = initialDepth;
  options.view = view;
  if (!BuildEngine(config, calibration, options)) return false;
  // A paused display waits for a key at every frame.
  if (ConfigGetInt(config, "stop", 0) != 0) tracker_->Display().SetPaused(true);
  stateFileName_ = ConfigGetString(config, "test_file_name", "");
  const i32 testImage = ConfigGetInt(config, "test_image", -1);
  if (!stateFileName_.empty()) tracker_->SetStateFile(stateFileName_, testImage);
  replay_ = ConfigGetInt(config, "replay", 0) != 0;
  const std::string act = ConfigGetString(config, "act_file_name_output", "");
  if (!act.empty()) projectOutput_ = GetDirectory(images) + act;
  poseOutput_ = ConfigGetString(config, "camera_file_name_output", "");
  FinishBuild(config);
  return true;
}

bool Application::BuildEngine(const Configuration& config, const std::string& calibration,
                              TrackerOptions options) {
  Intrinsic intrinsic{};
  f64 extrinsic[7];
  if (!LoadCalibration(calibration, width_, height_, intrinsic, extrinsic, imuRotation_)) {
    return Fail("Cannot load the calibration '" + calibration + "'");
  }
  map_ = std::make_unique<GlobalMap>(width_, height_, intrinsic, extrinsic);
  WorkerLogs logs;
  const auto log = [&config](const char* name) {
    return WorkerLog{static_cast<u8>(ConfigGetInt(config, std::string("verbose_") + name, 0) != 0),
                     ConfigGetString(config, std::string("log_file_name_") + name, "")};
  };
  logs.matcher = log("matcher");
  logs.surf = log("surf");
  logs.local = log("lba");
  logs.global = log("gba");
  logs.server = log("sba");
  options.parallel = ConfigGetInt(config, "parallel", 1) != 0;
  workers_ = std::make_unique<EngineWorkers>(map_.get(), options.parallel, logs);
  options.verbose = ConfigGetInt(config, "verbose_tracker", 0) != 0;
  options.logFileName = ConfigGetString(config, "log_file_name_tracker", "");
  options.isoWindow = true;
  tracker_ = std::make_unique<Tracker>(map_.get(), workers_->Channels(), options);
  return true;
}

void Application::FinishBuild(const Configuration& config) {
  const std::string outputFolder = ConfigGetString(config, "image_file_name_output", "");
  if (!outputFolder.empty()) tracker_->SetOutputFolder(outputFolder);
  keyFramePattern_ = ConfigGetString(config, "image_file_name_output_key_frame", "");
  const std::string server = ConfigGetString(config, "server", "");
  if (!server.empty()) workers_->StartServer(server, tracker_.get(), false);
}

bool Application::SkipMissingFrames(u32& i, u32& count) {
  frames_.Name(i, name_);
  if (std::filesystem::exists(name_)) return true;
  const std::string first = name_;
  u32 j = i + 1;
  while (j < count && j - i < kMissingFramesToEnd) {
    frames_.Name(j, name_);
    if (std::filesystem::exists(name_)) break;
    ++j;
  }
  if (j < count && j - i < kMissingFramesToEnd) {
    if (j == i + 1) {
      std::printf("Frame '%s' does not exist: skipped\n", first.c_str());
    } else {
      frames_.Name(j - 1, name_);
      std::printf("Frames '%s' to '%s' do not exist: skipped\n", first.c_str(), name_.c_str());
    }
    i = j;
    return true;
  }
  std::printf("No frame files from '%s' on: the sequence ends there\n", first.c_str());
  count = i;
  return false;
}

bool Application::LoadFrame(u32 i) {
  if (frameRecords_) {
    if (!simulateImu_) {
      ForEachPassedOver(frames_, i, name_,
                        [this](const std::string& name) { recordReader_.CarryReadings(name); });
    }
    frames_.Name(i, name_);
    if (!recordReader_.LoadFrameRecord(name_, frame_, imu_, prior_)) {
      std::printf("Frame '%s' is not a readable frame record of the first one's size: skipped\n",
                  name_.c_str());
      return false;
    }
    return true;
  }
  frames_.Name(i, name_);
  if (!LoadImageFrame(name_, frame_)) {
    std::printf("Frame '%s' cannot be loaded: skipped\n", name_.c_str());
    return false;
  }
  if (width_ != 0 && (frame_.grey.size().x != width_ || frame_.grey.size().y != height_)) {
    std::printf("Frame '%s' is %dx%d, not %ux%u: skipped\n", name_.c_str(), frame_.grey.size().x,
                frame_.grey.size().y, width_, height_);
    return false;
  }
  bool timed = false;
  if (imuFiles_.Count() > 0) {
    skippedImu_.clear();
    if (!simulateImu_) {
      ForEachPassedOver(imuFiles_, i, name_, [this](const std::string& name) {
        f64 time, prior[8];
        if (LoadImuFile(name, &time, imu_, prior))
          skippedImu_.insert(skippedImu_.end(), imu_.begin(), imu_.end());
      });
    }
    imuFiles_.Name(i, name_);
    timed = LoadImuFile(name_, &frame_.time, imu_, prior_);
    if (timed) imu_.insert(imu_.begin(), skippedImu_.begin(), skippedImu_.end());
  }
  if (!timed) {
    frame_.time = inputFps_ > 0.0f ? i * (1.0 / inputFps_) : static_cast<f32>(i) / 30.0f;
    imu_.clear();
    prior_[7] = kNoPriorTime;
  }
  return true;
}

int Application::Run() {
  if (!ready_) return exitCode_;
  if (camera_) return RunCamera();
  workers_->Start();
  imu_.clear();
  prior_[7] = kNoPriorTime;
  bool resumed = false;
  if (!stateFileName_.empty() && std::filesystem::exists(stateFileName_)) {
    resumed = tracker_->LoadState(stateFileName_);
    if (!resumed)
      std::printf("Cannot load the state '%s': starting afresh\n", stateFileName_.c_str());
  }
  FILE* poses = poseOutput_.empty() ? nullptr : std::fopen(poseOutput_.c_str(), "w");
  if (!poseOutput_.empty() && poses == nullptr) {
    std::printf("Cannot write the pose file '%s'\n", poseOutput_.c_str());
  }
  // The list may name far more files than exist (image_end): it is cut where
  // they stop, and what grows per frame grows as frames arrive.
  u32 count = frames_.Count();
  frameSeconds_.clear();
  frameSeconds_.reserve(std::min<u32>(count, 1u << 16));
  // A loaded state continues with the frame after its own.
  u32 i = resumed ? static_cast<u32>((tracker_->Status().frameCounter + 1) % count) : 0;
  const f64 period = inputFps_ > 0.0f ? 1.0 / inputFps_ : 1.0 / 30.0;
  f64 firstTime = 0.0, lastTime = 0.0, offset = 0.0;
  bool firstLoop = true;
  u32 ran = 0;
  CameraPose pose;
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  float parallax = 0.0f, progress = 0.0f;
  char text[1024];
  const Clock::time_point runStart = Clock::now();
  while (!tracker_->StopRequested()) {
    if (stopRequested_) {
      std::printf("Stopped after %u frames\n", ran);
      tracker_->Quit();  // as Escape would
      break;
    }
    const Clock::time_point frameStart = Clock::now();
    const bool present = SkipMissingFrames(i, count);
    if (present && LoadFrame(i)) {
      if (imuRotation_[0] != DBL_MAX) TurnReadings(imuRotation_, imu_, prior_);
      if (simulateImu_) {
        imu_.clear();
        prior_[7] = kNoPriorTime;
      }
      // A replayed list goes on in time rather than starting it again.
      if (firstLoop) {
        if (ran == 0) firstTime = frame_.time;
        lastTime = frame_.time;
      }
      frame_.time += offset;
      for (IMUSample& s : imu_) s.time += offset;
      if (prior_[7] != kNoPriorTime) prior_[7] += offset;
      const bool withMarker =
          i == 0 && !markerFileName_.empty() && LoadMarkerFile(markerFileName_, marker_);
      TrackerInput input;
      input.grey = frame_.grey;
      input.colour = frameRecords_ ? nullptr : &frame_.colour;
      input.time = frame_.time;
      input.marker = withMarker ? marker_ : nullptr;
      const bool armed = tracker_->Status().startFrame != kUnsetCounter;
      text[0] = '\0';
      tracker_->Run(input, imu_, prior_, pose, planes, objects, &parallax, &progress, text,
                    sizeof(text));
      if (text[0] != '\0') std::printf("[%u] %s", i, text);
      if (armed && tracker_->Status().startFrame == kUnsetCounter) {
        // A failed two-view start reset the tracker: start again at the next frame.
        const i32 next = tracker_->Status().frameCounter + 1;
        tracker_->SetStartFrame(next);
        tracker_->SetEndFrame(initialFrames_ > 0 ? next + initialFrames_ - 1 : kUnsetCounter);
        std::printf("[%d] The map did not start: starting again at frame %d\n",
                    tracker_->Status().frameCounter, next);
      }
      if (!projectOutput_.empty())
        cameraTrack_.PushBack(pose, std::max<u32>(1024, cameraTrack_.Size()));
      if (poses != nullptr) {
        std::fprintf(poses, "%d\n", static_cast<int>(i));
        WritePoseRows(pose, poses);
        // A run that is killed keeps every pose it wrote.
        std::fflush(poses);
      }
      ++ran;
      // Reserved above: a replayed list keeps only its first pass.
      if (frameSeconds_.size() < count) frameSeconds_.push_back(SecondsSince(frameStart));
    }
    if (!present) {
      // The list now ends before i: on to its end (or round again).
      if (count == 0) break;
      i = count - 1;
    }
    if (!replay_ && i + 1 == count) break;
    if (inputFps_ > 0.0f) {
      const f64 left = period - SecondsSince(frameStart);
      if (left > 0.0) std::this_thread::sleep_for(std::chrono::duration<f64>(left));
    }
    i = (i + 1) % count;
    if (i == 0) {
      firstLoop = false;
      // The jump back to the list's start is a move no reading measured: the
      // next pass starts after a gap longer than a reading may stand for, so
      // its first frame is placed by its images rather than carried on from
      // the last frame by the inertial step (and every pass after it with it).
      offset += lastTime - firstTime + period + 2.0 * kLongestHeldReading;
    }
  }
  const f64 seconds = SecondsSince(runStart);
  if (poses != nullptr) std::fclose(poses);
  workers_->Stop();
  WriteOutputs(seconds > 0.0 ? ran / seconds : 0.0);
  return 0;
}

void Application::WriteOutputs(f64 framesPerSecond) {
  if (inputFps_ <= 0.0f) std::printf("FPS = %f\n", framesPerSecond);
  if (!projectOutput_.empty() &&
      !SaveProjectText(projectOutput_, map_->intrinsic, cameraTrack_, map_->points)) {
    std::printf("Cannot write the camera track '%s'\n", projectOutput_.c_str());
  }
  if (keyFramePattern_.empty()) return;
  std::error_code error;
  const std::string folder = GetDirectory(keyFramePattern_);
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  for (u32 k = 0; k < map_->KeyFrameCount(); ++k) {
    MakeSequenceFileName(name_, keyFramePattern_, k);
    try {
      CVD::img_save(map_->keyFrames[k].pyramid[0], name_);
    } catch (...) {  // libCVD throws its own types
      std::printf("Cannot write the key-frame image '%s'\n", name_.c_str());
    }
  }
}
