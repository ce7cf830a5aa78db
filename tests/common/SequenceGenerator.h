#pragma once
// The synthetic visual-inertial sequence: by default a room with boxes and
// the printed marker sheet, a smooth known camera path that starts by
// looking at the sheet (other kinds: a desk, a room walk, a poster, fast
// pans, hand-held from the first frame), grey frames rendered on demand,
// IMU samples taken exactly from the path's derivatives, per-frame pose
// priors and the true states and poses. The same options give the same
// bytes, whatever the order frames are asked for. Nothing per frame is
// stored: a long run stays small in memory.
//
// Forms handed out, as the tracker takes them:
// - IMUSample: accelerations in m/s^2 as the readers leave them (readings in
//   g already multiplied by -9.81), that is the specific force H(q)^T (a +
//   g e_z) in the body frame with world z up; rates in rad/s; times in
//   seconds from frame 0. Sample i is at i / imuRate.
// - Pose prior, eight doubles: the body quaternion (x, y, z, w; H(q) maps
//   body to world, w >= 0), the body position negated (the readers negate
//   the host's position), the frame time.
// - Marker observation, ten floats: the sheet's true corners in pixels in
//   model-corner order, then the sheet's height and width.
#include <cvd/image.h>

#include <vector>

#include "la/IMUSample.h"
#include "la/Pose.h"
#include "la/Types.h"
#include "tests/common/SequenceScene.h"
#include "tests/common/SequenceTrajectory.h"

struct SequenceOptions {
  u32 frames = 300;
  f64 frameRate = 30.0;  // frame k at k / frameRate
  f64 imuRate = 200.0;
  int width = 640, height = 480;
  float fx = 500.0f, fy = 500.0f, cx = 319.5f, cy = 239.5f;
  // Camera-to-body mounting (x_cam = R(q) x_body + p): the calibration
  // file's default, the camera looking out of the back of the body.
  CameraOffset offset = {{-0.70710678, 0.70710678, 0.0, 0.0}, {0.0, 0.0, 0.0}};
  // The body turned against the motion (SequenceTrajectory::SetBodyTurn).
  f64 bodyTurn[4] = {0.0, 0.0, 0.0, 1.0};
  f64 gravity = 9.81;
  u32 seed = 1;  // textures and noise
  // Seeded noise, off by default: per IMU reading (m/s^2, rad/s) and per
  // pixel (grey levels).
  f64 accelerometerNoise = 0.0, gyroscopeNoise = 0.0;
  float pixelNoise = 0.0f;
  int samplesPerPixel = 2;  // per side
  // The world and motion; the hand-held kinds have no marker sheet.
  SequenceKind kind = SequenceKind::kDemo;
  // Camera realism, off by default: a Gaussian optical blur (sigma in
  // pixels) and an exposure in seconds, centred on the frame time, over
  // which renders along the path are averaged (motion blur; as many as the
  // image motion needs, up to maxExposureRenders). With either, pixelNoise
  // is added before a single rounding to 8 bits.
  float opticalBlur = 0.0f;
  f64 exposure = 0.0;
  int maxExposureRenders = 16;
};

// A hand-held sequence of that kind as a real camera gives it: 0.6 px
// optical blur, 10 ms exposure, read noise of 2 grey levels; exact IMU.
SequenceOptions HandHeldSequence(SequenceKind kind, u32 frames = 300);

// Frames of width x height seeing as much as 640 pixels do at fx 500: the
// focal length follows the width, the principal point is the centre.
void SetFrameSize(SequenceOptions& options, int width, int height);

// The body turned by the rotation c (x, y, z, w) against the motion and the
// mounting turned back: the same views, with the readings and attitudes in
// the turned body's axes (another device's inertial unit).
void TurnBody(SequenceOptions& options, const f64 c[4]);

class SequenceGenerator {
 public:
  explicit SequenceGenerator(const SequenceOptions& options = SequenceOptions());

  const SequenceOptions& Options() const { return options_; }
  const Intrinsic& Camera() const { return intrinsic_; }
  const SequenceScene& Scene() const { return scene_; }
  const SequenceTrajectory& Trajectory() const { return trajectory_; }
  u32 FrameCount() const { return options_.frames; }
  f64 FrameTime(u32 k) const { return k / options_.frameRate; }

  // Renders frame k into image (resized when its size differs). With pixel
  // noise it reseeds this thread's generator.
  void RenderFrame(u32 k, CVD::Image<unsigned char>& image);
  // Renders the scene from any world-to-camera pose, noise-free.
  void RenderPose(const CameraPose& pose, CVD::Image<unsigned char>& image);
  // Renders averaged over frame k's exposure; how many of them.
  int ExposureRenders(u32 k) const;

  // Every IMU sample of the run, in time order.
  const std::vector<IMUSample>& Samples() const { return samples_; }
  // The samples frame k brings: times in (t(k-1), t(k)], frame 0 those at or
  // before its time, a frame past the run none. Indices into Samples():
  // [first, end).
  void FrameSampleRange(u32 k, u32& first, u32& end) const;
  void FrameSamples(u32 k, std::vector<IMUSample>& out) const;
  // A noise-free sample at any time (for a preintegration that starts
  // between samples).
  IMUSample SampleAt(f64 t) const;

  void PosePrior(u32 k, f64 prior[8]) const;
  // True body state and camera pose of frame k.
  IMUState TrueState(u32 k) const { return trajectory_.At(FrameTime(k)).state; }
  CameraPose TruePose(u32 k) const;
  void TrueCentre(u32 k, f64 centre[3]) const;
  // The sheet's corners as frame k sees them, with height and width.
  void MarkerObservation(u32 k, float out[10]) const;
  // Length of the camera centre's path over all frames.
  f64 PathLength() const;

 private:
  // Exposure, optical blur, read noise and rounding, as a camera's.
  void RenderCamera(u32 k, CVD::Image<unsigned char>& image);

  SequenceOptions options_;
  Intrinsic intrinsic_;
  SequenceTrajectory trajectory_;
  SequenceScene scene_;
  PlaneRasterizer rasterizer_;
  PlaneRasterizer sweepRasterizer_;  // one ray a pixel, for long exposures
  std::vector<IMUSample> samples_;
  std::vector<float> exposed_, blurred_;  // scratch of the realistic camera
};
