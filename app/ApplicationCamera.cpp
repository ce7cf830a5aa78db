// The console's CAMERA source: the capture device, the rendezvous of the
// capture thread with the frame loop, and the loop that feeds the tracker.
#include <climits>
#include <cstdio>

#include "app/Application.h"
#include "app/CaptureConversion.h"
#include "app/ConfigFile.h"
#include "app/FakeCaptureDevice.h"

bool Application::BuildCamera(const Configuration& config, const std::string& calibration) {
  camera_ = true;
  cameraDevice_ = ConfigGetString(config, "camera_device", "");
  const i32 fakeWidth = ConfigGetInt(config, "camera_fake_width", 640);
  const i32 fakeHeight = ConfigGetInt(config, "camera_fake_height", 480);
  const i32 fakeFrames = ConfigGetInt(config, "camera_fake_frames", 300);
  fakeWidth_ = static_cast<u16>(fakeWidth > 0 && fakeWidth <= 65535 ? fakeWidth : 0);
  fakeHeight_ = static_cast<u16>(fakeHeight > 0 && fakeHeight <= 65535 ? fakeHeight : 0);
  fakeFrames_ = static_cast<u32>(fakeFrames > 0 ? fakeFrames : 0);
  const i32 fps = ConfigGetInt(config, "camera_fps", 30);
  if (!InitializeCamera(fps, &width_, &height_)) {
    // The message is InitializeCamera's own, on standard output.
    exitCode_ = 1;
    return false;
  }
  TrackerOptions options;
  // Marker phase only: the detector runs on the live frames until a template
  // is captured.
  options.startFrame = kUnsetCounter;
  options.endFrame = kUnsetCounter;
  options.imageRotation = true;
  if (!BuildEngine(config, calibration, options)) return false;
  FinishBuild(config);
  return true;
}

bool Application::InitializeCamera(int fps, u16* width, u16* height) {
  if (fps <= 0) {
    std::printf("camera_fps must be 1 or more\n");
    return false;
  }
  if (cameraDevice_ == "fake") {
    captureSource_ = std::make_unique<FakeCaptureDevice>(fakeWidth_, fakeHeight_, fakeFrames_);
  } else {
    captureSource_ = MakeV4L2CaptureSource(cameraDevice_);
  }
  if (captureSource_->Open(fps, width, height)) return true;
  captureSource_.reset();
  return false;
}

void Application::OnCameraFrame(const CaptureFrame& frame) {
  const bool end = frame.data == nullptr;
  // Checked before taking the request, so a refused frame leaves it for the next.
  if (!end && !CaptureFrameComplete(frame)) {
    ++skippedFrames_;
    return;
  }
  if (cameraClosing_) return;
  cameraRequests_.Get();
  // The loop's last request only releases this thread.
  if (cameraClosing_) return;
  if (end) {
    cameraReady_.TryPut(nullptr);
    return;
  }
  ConvertCaptureFrame(frame, frame_.colour, frame_.grey);
  // Seconds since the first frame: the tracker's times start there.
  if (cameraFirst_) cameraOrigin_ = frame.seconds;
  cameraFirst_ = false;
  frame_.time = frame.seconds - cameraOrigin_;
  // Never blocks: the loop asks only with an empty ready queue, which only a
  // concurrent StopCamera can have filled.
  cameraReady_.TryPut(&frameMark_);
}

void Application::StopCamera() {
  cameraClosing_ = true;
  cameraReady_.TryPut(nullptr);
}

i32 Application::RunCameraLoop(CaptureSource& source, const FrameConsumer& consume) {
  // Items a previous loop left behind.
  while (cameraRequests_.Count() > 0) cameraRequests_.TryGet();
  while (cameraReady_.Count() > 0) cameraReady_.TryGet();
  cameraClosing_ = false;
  cameraFirst_ = true;
  if (!source.Start([this](const CaptureFrame& frame) { OnCameraFrame(frame); })) {
    std::printf("Cannot start the camera!\n");
    return -1;
  }
  i32 frames = 0;
  while (!cameraClosing_) {
    cameraRequests_.Put(nullptr);
    if (cameraReady_.Get() == nullptr) break;
    ++frames;
    if (!consume(frame_)) break;
  }
  // The flag first, then a request wakes a capture thread waiting in its Get.
  cameraClosing_ = true;
  cameraRequests_.TryPut(nullptr);
  source.Stop();
  return frames;
}

int Application::RunCamera() {
  workers_->Start();
  imu_.clear();
  prior_[7] = kNoPriorTime;
  CameraPose pose;
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  float parallax = 0.0f, progress = 0.0f;
  char text[1024];
  const i32 frames = RunCameraLoop(*captureSource_, [&](const DiskFrame& frame) {
    TrackerInput input;
    input.grey = frame.grey;
    input.colour = &frame.colour;
    input.time = frame.time;
    text[0] = '\0';
    tracker_->Run(input, imu_, prior_, pose, planes, objects, &parallax, &progress, text,
                  sizeof(text));
    if (text[0] != '\0') std::printf("%s", text);
    if (stopRequested_) tracker_->Quit();  // as Escape would
    return !tracker_->StopRequested();
  });
  workers_->Stop();
  if (frames < 0) return 1;
  std::printf("%d camera frames\n", frames);
  return 0;
}
