// The synthetic sequence against what it claims: IMU samples that integrate to
// the true motion, frames that show the scene where the true poses put it,
// the marker in view and detectable at the start, and repeatable bytes.
#include "tests/common/SequenceGenerator.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cstring>

#include "la/Pose.h"
#include "optimization/IMUDelta.h"
#include "tests/common/SceneRenderer.h"
#include "viewer/MarkerDetector.h"

namespace {

Eigen::Quaterniond Quaternion(const f64* q) {
  return Eigen::Quaterniond(q[3], q[0], q[1], q[2]);
}
Eigen::Vector3d Vector(const f64* v) {
  return Eigen::Vector3d(v[0], v[1], v[2]);
}

// One generator for the whole file: its textures take a while to build.
SequenceGenerator& Sequence() {
  static SequenceGenerator* generator = new SequenceGenerator();
  return *generator;
}

// Preintegration from frame k0 to frame k1 as the tracker forms it: from the
// last sample k0 brought, over every sample the later frames bring.
IMUDelta Preintegrate(const SequenceGenerator& g, u32 k0, u32 k1) {
  u32 first, end, unused;
  g.FrameSampleRange(k0 + 1, first, unused);
  g.FrameSampleRange(k1, unused, end);
  IMUDelta delta;
  IMUDelta::Initialize(g.Samples().data() + first, end - first, g.Samples()[first - 1],
                       g.FrameTime(k1), delta);
  return delta;
}

// Errors of a delta against the true motion from frame k0 to k1: velocity,
// position (plus half a step of the velocity change, the lag of a sum that
// takes each step's starting velocity) and rotation.
struct DeltaErrors {
  f64 dv, dp, dq;
};
DeltaErrors CompareWithTruth(const SequenceGenerator& g, u32 k0, u32 k1, const IMUDelta& d,
                             f64 step) {
  const IMUState s0 = g.TrueState(k0), s1 = g.TrueState(k1);
  const f64 T = g.FrameTime(k1) - g.FrameTime(k0);
  EXPECT_NEAR(d.dt, T, 1e-12);
  // In the first body frame; the accelerometer also felt gravity's pull.
  const Eigen::Matrix3d H0T = Quaternion(s0.quaternion).toRotationMatrix().transpose();
  const Eigen::Vector3d up(0, 0, g.Options().gravity);
  const Eigen::Vector3d dv = H0T * (Vector(s1.velocity) - Vector(s0.velocity) + up * T);
  const Eigen::Vector3d dp = H0T * (Vector(s1.position) - Vector(s0.position) -
                                    Vector(s0.velocity) * T + 0.5 * up * T * T);
  const Eigen::Quaterniond dq = Quaternion(s0.quaternion).conjugate() * Quaternion(s1.quaternion);
  return {(Vector(d.dv) - dv).norm(), (Vector(d.dp) + 0.5 * step * Vector(d.dv) - dp).norm(),
          dq.angularDistance(Quaternion(d.dq))};
}

// The same span sampled every `step` seconds from the path's derivatives.
IMUDelta PreintegrateDensely(const SequenceGenerator& g, u32 k0, u32 k1, f64 step) {
  const f64 t0 = g.FrameTime(k0), t1 = g.FrameTime(k1);
  std::vector<IMUSample> samples;
  for (int i = 1; t0 + i * step < t1 + 0.5 * step; ++i)
    samples.push_back(g.SampleAt(t0 + i * step));
  IMUDelta delta;
  IMUDelta::Initialize(samples.data(), static_cast<u32>(samples.size()), g.SampleAt(t0), t1, delta);
  return delta;
}

}  // namespace

// Frame pairs in the still phase, the ramp, the walk and over a whole second;
// the frame times fall on samples (every third frame at 30 and 200 Hz). The
// preintegration holds each reading over its step, so it is first order:
// only samples that are the path's true derivatives converge to the true
// motion at the rate of the step.
TEST(SequenceGenerator, ImuSamplesIntegrateAndPredictTheTrueMotion) {
  const SequenceGenerator& g = Sequence();
  const f64 step = 1.0 / g.Options().imuRate;
  for (const auto& [k0, k1] : {std::pair<u32, u32>(0, 3), {45, 48}, {150, 153}, {240, 270}}) {
    SCOPED_TRACE(testing::Message() << "frames " << k0 << " to " << k1);
    const f64 T = g.FrameTime(k1) - g.FrameTime(k0);
    const DeltaErrors coarse = CompareWithTruth(g, k0, k1, Preintegrate(g, k0, k1), step);
    const DeltaErrors fine =
        CompareWithTruth(g, k0, k1, PreintegrateDensely(g, k0, k1, 0.1 * step), 0.1 * step);
    // Bounds of the handed-out 5 ms step (the widest at the ramp's jolt);
    // ten times denser samples come ten times closer.
    EXPECT_LT(coarse.dv, 3e-3 * T);
    EXPECT_LT(coarse.dp, 7e-4 * T);
    EXPECT_LT(coarse.dq, 1.6e-3 * T);
    EXPECT_LT(fine.dv, 0.12 * coarse.dv);
    EXPECT_LT(fine.dp, 0.12 * coarse.dp);
    EXPECT_LT(fine.dq, 0.12 * coarse.dq);
  }
  // Without gravity the state prediction over a dense delta lands on the
  // true state.
  SequenceOptions options;
  options.gravity = 0.0;
  options.frames = 200;
  const SequenceGenerator noGravity(options);
  for (const u32 k0 : {60u, 180u}) {
    IMUState predicted;
    IMUDelta::PredictState(noGravity.TrueState(k0),
                           PreintegrateDensely(noGravity, k0, k0 + 6, 1e-4), 1.0, predicted);
    const IMUState truth = noGravity.TrueState(k0 + 6);
    EXPECT_LT((Vector(predicted.position) - Vector(truth.position)).norm(), 1e-5);
    EXPECT_LT((Vector(predicted.velocity) - Vector(truth.velocity)).norm(), 5e-5);
    EXPECT_LT(Quaternion(predicted.quaternion).angularDistance(Quaternion(truth.quaternion)), 3e-6);
    EXPECT_NEAR(predicted.time, truth.time, 1e-12);
  }
}

// Frames hand out every sample once, each with the frame whose interval
// (t(k-1), t(k)] holds it; a sample at a frame's time belongs to that frame.
TEST(SequenceGenerator, FramesPartitionTheSamples) {
  const SequenceGenerator& g = Sequence();
  const std::vector<IMUSample>& samples = g.Samples();
  ASSERT_EQ(samples.size(), 1994u);  // 0 .. 9.965 s at 200 Hz
  u32 first, end = 0;
  for (u32 k = 0; k < g.FrameCount(); ++k) {
    const u32 expected = end;
    g.FrameSampleRange(k, first, end);
    ASSERT_EQ(first, expected) << "frame " << k;
    ASSERT_GT(end, first) << "frame " << k;
    EXPECT_LE(samples[end - 1].time, g.FrameTime(k));
    if (end < samples.size()) {
      EXPECT_GT(samples[end].time, g.FrameTime(k));
    }
  }
  EXPECT_EQ(end, samples.size());
  g.FrameSampleRange(3, first, end);  // 0.1 s: sample 20 is the frame's last
  EXPECT_EQ(end, 21u);
  g.FrameSampleRange(0, first, end);
  EXPECT_EQ(end - first, 1u);
  g.FrameSampleRange(g.FrameCount() + 5, first, end);
  EXPECT_EQ(first, end);
}

// The truth and the priors agree with the library's body-to-camera
// conversion, so the tracker sees the camera the frames were drawn from.
TEST(SequenceGenerator, PosesAndPriorsFollowTheTrackerConventions) {
  const SequenceGenerator& g = Sequence();
  // A mounting with a lever arm as well as the default one.
  const CameraOffset levered = {{0.1, -0.2, 0.05, 0.97}, {0.03, -0.02, 0.05}};
  for (const u32 k : {0u, 77u, 299u}) {
    const IMUState s = g.TrueState(k);
    for (CameraOffset unit : {g.Options().offset, levered}) {
      Eigen::Map<Eigen::Vector4d>(unit.quaternion).normalize();
      CameraPose library;
      float scratch[16], centre[3];
      f64 c[3];
      PoseToCamera(s, unit, library, scratch);
      const CameraPose truth = CameraPoseOfState(s, unit);
      for (int r = 0; r < 3; ++r)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(truth.m[r][j], library.m[r][j], 2e-6);
      CameraCentreOfState(s, unit, c);
      CameraCentre(library, centre);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(c[i], centre[i], 1e-5);
    }
    f64 prior[8];
    g.PosePrior(k, prior);
    EXPECT_GE(prior[3], 0.0);
    EXPECT_EQ(std::memcmp(prior, s.quaternion, 4 * sizeof(f64)), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(prior[4 + i], -s.position[i]);
    EXPECT_EQ(prior[7], g.FrameTime(k));
  }
}

// The fast renderer draws what the ray-casting reference draws (rounding
// apart), also with planes cut by the near plane and boxes half out of the
// image.
TEST(SequenceGenerator, FramesMatchTheReferenceRenderer) {
  SequenceGenerator& g = Sequence();
  const float c = std::cos(0.3f), s = std::sin(0.3f);
  const float r0[3] = {0, 1, 0}, r1[3] = {s, 0, -c}, r2[3] = {-c, 0, -s};
  const float centre[3] = {1.9f, 1.6f, 0.35f};  // low, looking across a box at the wall
  const CameraPose close = SceneRender::MakePose(r0, r1, r2, centre);
  for (const CameraPose& pose : {g.TruePose(0), g.TruePose(200), close}) {
    CVD::Image<unsigned char> fast, reference(CVD::ImageRef(640, 480));
    g.RenderPose(pose, fast);
    SceneRender::Render(g.Scene().Planes(), pose, g.Camera(), reference, 90, 2);
    int worst = 0;
    for (int i = 0; i < 640 * 480; ++i)
      worst = std::max(worst, std::abs(fast.data()[i] - reference.data()[i]));
    EXPECT_LE(worst, 1);
  }
}

// The opening second keeps the whole sheet (0.297 by 0.21) well inside the
// image, seen from about 1.1 above it within 45 degrees of the vertical, x
// along the sheet's long side; frames show it where its corners project
// (1.5 pixels inside each corner the paper's plain margin, outside the dark
// floor); the marker detector, given the true attitude, reports it on the
// 20th frame at the true corners. Then the camera walks off: a monocular
// start needs a baseline.
TEST(SequenceGenerator, OpeningFramesShowTheWholeMarkerToTheDetector) {
  SequenceGenerator& g = Sequence();
  CVD::Image<unsigned char> frame;
  for (u32 k = 0; k < 41; ++k) {
    float c[10];
    g.MarkerObservation(k, c);
    EXPECT_FLOAT_EQ(c[8], 0.21f);
    EXPECT_FLOAT_EQ(c[9], 0.297f);
    for (int j = 0; k < 36 && j < 4; ++j) {
      EXPECT_TRUE(c[2 * j] > 20.0f && c[2 * j] < 620.0f) << k;
      EXPECT_TRUE(c[2 * j + 1] > 20.0f && c[2 * j + 1] < 460.0f) << k;
    }
    f64 centre[3];
    g.TrueCentre(k, centre);
    if (k < 36) {
      EXPECT_NEAR(centre[2], 1.1, 0.01);
      EXPECT_LT(g.TruePose(k).m[2][2], -0.7072f);
    }
    if (k % 40 != 0) continue;
    g.RenderFrame(k, frame);
    const float mx = 0.25f * (c[0] + c[2] + c[4] + c[6]), my = 0.25f * (c[1] + c[3] + c[5] + c[7]);
    for (int j = 0; j < 4; ++j) {
      const float x = c[2 * j], y = c[2 * j + 1], sx = mx > x ? 1.5f : -1.5f,
                  sy = my > y ? 1.5f : -1.5f;
      EXPECT_GE(frame[std::lround(y + sy)][std::lround(x + sx)], 235) << "corner " << j;
      EXPECT_LE(frame[std::lround(y - sy)][std::lround(x - sx)], 150) << "corner " << j;
    }
  }
  EXPECT_NEAR(g.TruePose(0).m[0][0], 1.0f, 1e-3f);
  EXPECT_LT(g.TruePose(0).m[2][2], -0.9f);  // still, it looks straight down
  MarkerDetector detector(640, 480, &g.Camera(), nullptr, 0, nullptr);
  float corners[8] = {}, truth[10];
  for (u32 k = 0; k < 20; ++k) {
    g.RenderFrame(k, frame);
    EXPECT_EQ(detector.Run(frame, g.TruePose(k), corners), k == 19) << "frame " << k;
  }
  g.MarkerObservation(19, truth);
  EXPECT_LT(MeanCornerDistance(corners, truth), 1.5f);
  f64 a[3], b[3];
  g.TrueCentre(30, a);
  g.TrueCentre(90, b);
  EXPECT_GT((Vector(b) - Vector(a)).norm(), 0.25);
}

// Same options, same bytes, whatever order the frames are asked for; the
// seed changes them.
TEST(SequenceGenerator, RepeatsByteForByte) {
  SequenceOptions options;
  options.frames = 150;
  options.accelerometerNoise = 0.05;
  options.gyroscopeNoise = 0.002;
  options.pixelNoise = 2.0f;
  SequenceGenerator a(options), b(options);
  ASSERT_EQ(a.Samples().size(), b.Samples().size());
  EXPECT_EQ(
      std::memcmp(a.Samples().data(), b.Samples().data(), a.Samples().size() * sizeof(IMUSample)),
      0);
  EXPECT_NE(a.Samples()[10].acceleration[0], a.SampleAt(a.Samples()[10].time).acceleration[0]);
  options.seed = 2;
  SequenceGenerator c(options);
  const auto frame = [](SequenceGenerator& g, u32 k) {
    CVD::Image<unsigned char> image;
    g.RenderFrame(k, image);
    return std::vector<u8>(image.data(), image.data() + 640 * 480);
  };
  const std::vector<u8> a0 = frame(a, 0), a1 = frame(a, 137);
  EXPECT_TRUE(frame(b, 137) == a1);
  EXPECT_TRUE(frame(b, 0) == a0);
  EXPECT_TRUE(frame(c, 0) != a0);
}
