// The inertial step on the analytic trajectory of the inertial layer: the
// prediction follows the true motion, frames without samples, equal times
// and rejected image rotations stay finite, the preintegrations chain through
// normal and provisional key frames, and the ISO step pulls perturbed window
// frames back to the truth and writes them back. Then the small conversions.
#include "tracker/InertialStep.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "features/ImageRotation.h"
#include "optimization/IMUAlgebra.h"
#include "optimization/IMUParameters.h"
#include "tests/common/tracker/InertialStepScene.h"
#include "tracker/InertialMath.h"

namespace {

constexpr TrackingMode kTracking{true, false};
constexpr const f64* kNoPrior = InertialStepScene::kNoPrior;

bool Finite(const TrackerFrame& f) {
  const f64* d = reinterpret_cast<const f64*>(&f.state.record[kPredicted]);
  const float* p = &f.pose.slot[kVisual].m[0][0];
  auto finite = [](auto x) { return std::isfinite(x); };
  return std::all_of(d, d + 17, finite) && std::all_of(p, p + 12, finite);
}

f64 QuaternionAngle(const f64* a, const f64* b) {
  const f64 d = std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]);
  return 2.0 * std::acos(std::fmin(d, 1.0));
}

TEST(InertialStep, StoredFramesTakeThePriorWithItsGravityOrRestAtIdentity) {
  InertialStepScene s;
  s.parts.ring.ResetTo(1);
  TrackerFrame& f = s.parts.ring[0];
  const IMUState& x = f.state.record[kPredicted];
  const LA::AlignedVector4f biasA = IMU::accelerometerBiasPrior;
  IMU::accelerometerBiasPrior = {{0.1f, -0.2f, 0.3f, 1.0f}};
  // No samples: the prior keeps its time, its middle three become gravity
  // (a zero "position" there would give the gravity terms no direction).
  f64 prior[8];
  s.TruePrior(5, prior);
  s.step.StoreImuMeasurement(0, {}, prior, prior[7] + 0.01);
  const IMUAttitude truth = s.scene.TrueAttitude(5);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(f.posePrior[4 + i], truth.gravity[i], 1e-12);
  EXPECT_TRUE(std::equal(prior, prior + 4, x.quaternion));
  EXPECT_EQ(f.posePrior[7], prior[7]);
  EXPECT_EQ(x.time, prior[7] + 0.01);
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(x.accelerometerBias[i], IMU::accelerometerBiasPrior[i], 1e-7) << i;
  CameraPose expected;
  alignas(16) float scratch[16];
  PoseToCamera(x, s.scene.offset, expected, scratch);
  EXPECT_TRUE(Same(f.pose.slot[kVisual], expected));
  IMU::accelerometerBiasPrior = biasA;
  // Without a prior time the body rests at identity.
  f.Reset();
  s.step.StoreImuMeasurement(0, s.Samples(1), kNoPrior, 1.0);
  EXPECT_TRUE(x.quaternion[3] == 1.0 && x.quaternion[2] == 0.0);
  EXPECT_EQ(f.posePrior[7], DBL_MAX);
  EXPECT_EQ(f.lastImu[5], s.Samples(1).back().rotationRate[2]);
}

// Small images of a smooth texture, the second turned by a known camera
// rotation: the earlier frame's rate is that rotation over the frame time, in
// body axes. Then the same time again, an earlier time, and images of no size
// give a zero rate and a log line.
TEST(InertialStep, TheImageRotationGivesTheEarlierFramesRateInBodyAxes) {
  InertialStepScene s;
  s.parts.options.imageRotation = true;
  TrackerLog log(true, "");
  const TrackerContext c = s.parts.Context();
  InertialStep step({c.options, c.camera, c.ring, c.mapView, c.links, c.objects, log}, s.measures);
  s.parts.ring.ResetTo(5);
  for (u16 i = 0; i < 5; ++i) s.parts.ring[i].number = i;
  const Intrinsic& k = s.parts.camera.intrinsic[kPyramidLevels];
  const float fx = k.fx[0], fy = k.fy[0], cx = k.cx[0], cy = k.cy[0];
  const float turn[3] = {0.01f, -0.015f, 0.02f};
  LA::AlignedMatrix3f R;
  So3Exp(turn, R);
  auto texture = [](float u, float v) {
    return static_cast<u8>(128.0f + 50.0f * std::sin(0.45f * u) * std::cos(0.38f * v) +
                           30.0f * std::sin(0.21f * u + 0.33f * v));
  };
  // K R K^-1 takes previous to current: current(y) = previous(K R^T K^-1 y).
  CVD::Image<u8> previous(CVD::ImageRef(s.parts.camera.smallWidth, s.parts.camera.smallHeight));
  CVD::Image<u8> current(previous.size());
  for (int y = 0; y < previous.size().y; ++y)
    for (int x = 0; x < previous.size().x; ++x) {
      const float ray[3] = {(x - cx) / fx, (y - cy) / fy, 1.0f};
      float b[3];
      for (int i = 0; i < 3; ++i)
        b[i] = R.m[0][i] * ray[0] + R.m[1][i] * ray[1] + R.m[2][i] * ray[2];
      previous[y][x] = texture(x, y);
      current[y][x] = texture(fx * b[0] / b[2] + cx, fy * b[1] / b[2] + cy);
    }
  MotionJacobianTable table;
  NormalizeSmallImage(s.parts.ring[0].small, previous, k, table);
  NormalizeSmallImage(s.parts.ring[1].small, current, k, table);
  step.StoreImuMeasurement(0, s.Samples(0), kNoPrior, 1.0);
  testing::internal::CaptureStdout();
  step.PredictFromImu(0, 1, s.Samples(1), kNoPrior, 1.05);
  step.PredictFromImu(1, 2, s.Samples(2), kNoPrior, 1.05);  // the same time again
  step.PredictFromImu(2, 3, s.Samples(3), kNoPrior, 1.04);  // earlier
  step.PredictFromImu(3, 4, s.Samples(4), kNoPrior, 1.1);   // no images: rejected
  const std::string out = testing::internal::GetCapturedStdout();
  const float rate[3] = {turn[0] / 0.05f, turn[1] / 0.05f, turn[2] / 0.05f};
  f64 body[3];
  CameraRateToBodyRate(rate, body);
  for (int i = 0; i < 3; ++i)  // within 5 % of the rate's size
    EXPECT_NEAR(s.parts.ring[0].lastImu[3 + i], body[i], 0.025) << i;
  EXPECT_EQ(out.find("[1]"), std::string::npos) << out;
  for (const char* line : {"[2] Frame time", "[3] Frame time", "[4] Image rotation rejected"})
    EXPECT_NE(out.find(line), std::string::npos) << out;
  for (u16 i = 0; i < 5; ++i) {
    EXPECT_TRUE(Finite(s.parts.ring[i])) << i;
    for (int j = 3; j < 6 && i > 0 && i < 4; ++j) EXPECT_EQ(s.parts.ring[i].lastImu[j], 0.0) << i;
  }
}

// The preintegrations chain through a normal and a provisional key frame;
// then a frame without samples holds the last one over the gap (its deltas
// lose their translation), and the frame after it starts from a zero rate.
TEST(InertialStep, DeltasChainThroughNormalAndProvisionalKeyFramesAndGaps) {
  InertialStepScene s;
  s.parts.ring.ResetTo(5);
  s.parts.view.Working().keyFrameFlags = {0, kKeyFrameWeak};
  s.Start();
  TrackerFrame* f[5];
  for (u16 i = 0; i < 5; ++i) f[i] = &s.parts.ring[i];
  // Each prediction follows the true motion: dead reckoning with the
  // first-order scheme (no a dt^2 / 2 term) stays within about 3e-4 here.
  auto followsTheTruth = [&](u16 i) {
    const IMUState &r = f[i]->state.record[kPredicted], &t = s.scene.keyFrames[i].state;
    EXPECT_EQ(r.time, s.scene.keyFrames[i].time);
    EXPECT_TRUE(Same(f[i]->state.record[kVisual], r));
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(r.position[j], t.position[j], 1e-3) << i;
      EXPECT_NEAR(r.velocity[j], t.velocity[j], 1e-3) << i;
    }
    EXPECT_LT(QuaternionAngle(r.quaternion, t.quaternion), 1e-3) << i;
  };
  f[0]->keyFrame = 0;
  // Only the frame stored without one to predict from starts at rest, also
  // in a slot that held such a frame before.
  EXPECT_TRUE(f[0]->startedAtRest);
  f[1]->startedAtRest = true;
  s.Predict(0, 1, 1);
  EXPECT_FALSE(f[1]->startedAtRest);
  followsTheTruth(1);
  EXPECT_EQ(f[1]->imuKeyFrame, 0);
  EXPECT_EQ(f[1]->provisionalKeyFrame, kNone16);
  EXPECT_TRUE(Same(f[1]->delta[kFromKeyFrame], f[1]->delta[kFromPrevious]));
  f[1]->keyFrame = 1;  // provisional: the delta from key frame 0 runs on
  s.Predict(1, 2, 2);
  s.Predict(2, 3, 3);
  followsTheTruth(2);
  followsTheTruth(3);
  for (u16 i = 2; i < 4; ++i) {
    EXPECT_EQ(f[i]->imuKeyFrame, 0) << i;
    EXPECT_EQ(f[i]->provisionalKeyFrame, 1) << i;
  }
  EXPECT_TRUE(Same(f[2]->delta[kFromProvisional], f[2]->delta[kFromPrevious]));
  // Chained deltas equal one preintegration over the whole span.
  const std::pair<int, u32> spans[] = {
      {kFromPrevious, 2}, {kFromKeyFrame, 0}, {kFromProvisional, 1}};
  for (const auto& [slot, k0] : spans) {
    const IMUDelta &d = f[3]->delta[slot], e = s.scene.Preintegrate(k0, 3);
    EXPECT_NEAR(d.dt, e.dt, 1e-12);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(d.dp[i] + d.dv[i], e.dp[i] + e.dv[i], 1e-10);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(d.dq[i], e.dq[i], 1e-12);
  }
  EXPECT_EQ(f[3]->samples.back().time, s.scene.keyFrames[3].time);

  s.step.PredictFromImu(3, 4, {}, kNoPrior, s.scene.keyFrames[4].time);
  EXPECT_TRUE(std::equal(f[3]->lastImu, f[3]->lastImu + 6, f[4]->lastImu));
  EXPECT_NEAR(f[4]->delta[kFromPrevious].dt, f[4]->time - f[3]->time, 1e-12);
  // Over 35 ms the held sample stays close to the true motion.
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(f[4]->state.record[kPredicted].position[i], s.scene.keyFrames[4].state.position[i],
                1e-3);
  // Within the bound of one reading the held one measures the motion, as it
  // does up to any frame's first reading: every delta keeps its translation.
  EXPECT_EQ(f[4]->lastReadingTime, f[3]->samples.back().time);
  for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(IMUDelta::HasTranslation(f[4]->delta[slot]));
  f[0]->Reset();
  s.Predict(4, 0, 5);
  // The frame without readings holds the last rate, and the next frame's
  // delta turns from it as the camera did (1.8e-3 rad off from a rate of 0).
  for (int i = 3; i < 6; ++i) EXPECT_EQ(f[4]->lastImu[i], f[3]->lastImu[i]);
  EXPECT_LT(QuaternionAngle(f[0]->delta[kFromPrevious].dq, s.scene.Preintegrate(4, 5).dq), 1e-4);
  EXPECT_TRUE(Finite(*f[0]));
  for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(IMUDelta::HasTranslation(f[0]->delta[slot]));
  // Past the bound the held reading says nothing of the motion: every delta
  // across the gap keeps its rotation but loses its translation.
  f[2]->Reset();
  s.step.PredictFromImu(0, 2, {}, kNoPrior, f[0]->time + 0.11);
  EXPECT_TRUE(Finite(*f[2]));
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_FALSE(IMUDelta::HasTranslation(f[2]->delta[slot])) << slot;
    EXPECT_GT(f[2]->delta[slot].wr, 0.0) << slot;
  }
  // A prior with samples turns to the frame time over the last rate.
  f64 prior[8];
  s.TruePrior(5, prior);
  f[1]->Reset();
  s.Predict(0, 1, 6, prior);
  EXPECT_EQ(f[1]->posePrior[7], s.scene.keyFrames[6].time);
  const f64* q = s.scene.keyFrames[6].state.quaternion;
  EXPECT_LT(QuaternionAngle(f[1]->posePrior, q), 0.25 * QuaternionAngle(prior, q));
  // A key frame the view does not list yet (the map added it after the last
  // copy) ends no delta: the one from key frame 0 runs on.
  ASSERT_GT(s.scene.keyFrames.size(), 7u);
  std::vector<u8>& flags = s.parts.view.Working().keyFrameFlags;
  flags = {0, kKeyFrameWeak, 0};
  flags.resize(2);  // a read past the end would find a normal key frame's flags
  f[1]->keyFrame = 2;
  f[1]->imuKeyFrame = 0;
  s.Predict(1, 2, 7);
  EXPECT_EQ(f[2]->imuKeyFrame, 0);
  EXPECT_EQ(f[2]->provisionalKeyFrame, f[1]->provisionalKeyFrame);
}

// A host that hands readings over late, with the next frame: two frames come
// without readings (their deltas held the last reading, or were blind) and
// the third brings theirs with its own. The two take their share back, and
// every delta of the three equals the one the readings would have given in
// time, to the bit; the third keeps only its own readings. A key frame's
// deltas are the map's: a frame without readings that became one keeps
// them, and the readings of its span go unused.
TEST(InertialStep, ReadingsHandedOverLateGoBackToTheFramesWithout) {
  InertialStepScene s;
  s.parts.ring.ResetTo(6);
  s.parts.view.Working().keyFrameFlags = {0};
  TrackerFrame* f[6];
  for (u16 i = 0; i < 6; ++i) f[i] = &s.parts.ring[i];
  const auto run = [&](bool late, u16 keyFrame) {
    for (u16 i = 0; i < 6; ++i) {
      f[i]->Reset();
      f[i]->number = i;  // as the frame input numbers them
    }
    s.Start();
    f[0]->keyFrame = 0;
    if (keyFrame != kNone16) f[keyFrame]->keyFrame = 0;
    s.Predict(0, 1, 1);
    // The late batch repeats the reading at frame 1's time, which frame 1 took.
    std::vector<IMUSample> handed;
    if (late) handed.push_back(s.Samples(1).back());
    for (u16 k = 2; k <= 4; ++k) {
      if (late && k < 4) {
        const std::vector<IMUSample> own = s.Samples(k);
        handed.insert(handed.end(), own.begin(), own.end());
        s.step.PredictFromImu(k - 1, k, {}, kNoPrior, s.scene.keyFrames[k].time);
        continue;
      }
      std::vector<IMUSample> samples = handed;
      const std::vector<IMUSample> own = s.Samples(k);
      samples.insert(samples.end(), own.begin(), own.end());
      s.step.PredictFromImu(k - 1, k, samples, kNoPrior, s.scene.keyFrames[k].time);
    }
  };
  run(false, kNone16);
  std::vector<TrackerFrame> inTime;
  for (u16 i = 2; i <= 4; ++i) inTime.push_back(*f[i]);
  run(true, kNone16);
  for (u16 i = 2; i <= 4; ++i) {
    const TrackerFrame& t = inTime[i - 2];
    for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(Same(f[i]->delta[slot], t.delta[slot])) << i;
    EXPECT_EQ(f[i]->samples.size(), t.samples.size()) << i;
    EXPECT_TRUE(std::equal(t.lastImu, t.lastImu + 6, f[i]->lastImu)) << i;
    EXPECT_EQ(f[i]->lastReadingTime, t.lastReadingTime) << i;
    EXPECT_EQ(f[i]->imuKeyFrame, 0) << i;
  }
  // Frame 3 is a key frame: it and frame 2 before it keep what they had, and
  // frame 4 starts from the late reading at frame 3's time all the same.
  run(true, 3);
  EXPECT_TRUE(f[2]->samples.empty() && f[3]->samples.empty());
  EXPECT_FALSE(Same(f[3]->delta[kFromPrevious], inTime[1].delta[kFromPrevious]));
  EXPECT_TRUE(Same(f[4]->delta[kFromPrevious], inTime[2].delta[kFromPrevious]));
}

// A second of ring frames since key frame 0 swaying in a map of 0.45 units
// to the metre: the window hands the map the unit their sway against the
// readings shows. Frames of another key frame, without readings all the way
// or without a pose are no evidence, however far off they stand.
TEST(InertialStep, TheFramesSwayGivesTheMapItsUnit) {
  InertialStepScene s;
  constexpr u16 kFrames = 34;
  constexpr f64 kUnit = 0.45;
  s.parts.ring.ResetTo(kFrames);
  MapWorkingCopy& w = s.parts.view.Working();
  w.keyFrameStates.Resize(2);
  w.keyFrameStates[0] = s.scene.keyFrames[0].state;
  w.keyFrameStates[1] = s.scene.keyFrames[1].state;
  f64 H[9];
  QuaternionToRotationDouble(w.keyFrameStates[0].quaternion, H);
  for (u16 k = 0; k < kFrames; ++k) {
    TrackerFrame& f = s.parts.ring[k];
    const f64 t = (k + 1) / 30.0;
    // The readings' displacement from the key frame in its body axes, and
    // the frame's place: the unit times the same in world axes, from
    // anywhere, at any speed.
    IMUDelta& d = f.delta[kFromKeyFrame];
    d.dt = t;
    d.wp = d.wv = 1.0;
    d.dp[0] = 0.1 * std::sin(6.0 * t) + 0.2 * t;
    d.dp[1] = 0.08 * std::cos(5.0 * t);
    d.dp[2] = 0.15 * t * t * t;
    f64 world[3];
    MatrixVector3d(H, d.dp, world);
    IMUState x = s.scene.keyFrames[0].state;
    for (int i = 0; i < 3; ++i) x.position[i] = 2.0 - 0.7 * i + 0.3 * t + kUnit * world[i];
    s.SetVisual(k, x);
    f.imuKeyFrame = 0;
  }
  // The last four: another key frame's, one without readings, two without a pose.
  const auto away = [&](u16 k) { s.parts.ring[k].state.record[kVisual].position[1] += 40.0; };
  s.parts.ring[30].imuKeyFrame = 1;
  away(30);
  IMUDelta::DropTranslation(s.parts.ring[31].delta[kFromKeyFrame]);
  away(31);
  for (u16 k : {32, 33}) {
    SetPoseInvalid(s.parts.ring[k].pose.slot[kVisual]);
    away(k);
  }
  EXPECT_EQ(s.parts.map->InertialUnitsPerMetre(), 1.0);
  s.step.RunIso(29, kTracking);
  EXPECT_NEAR(s.parts.map->InertialUnitsPerMetre(), kUnit, 1e-9);
}

// With the map's unit set, the prediction carries the readings' motion in it.
TEST(InertialStep, ThePredictionTakesTheMapsUnit) {
  InertialStepScene s;
  s.parts.ring.ResetTo(2);
  s.parts.map->AddInertialUnitEvidence(0.45 * 0.02, 0.02);
  s.Start();
  s.Predict(0, 1, 1);
  const TrackerFrame& f = s.parts.ring[1];
  IMUState metres, units;
  IMUDelta::PredictState(s.parts.ring[0].state.record[kVisual], f.delta[kFromPrevious], 1.0,
                         metres);
  IMUDelta::PredictState(s.parts.ring[0].state.record[kVisual], f.delta[kFromPrevious], 0.45,
                         units);
  EXPECT_TRUE(Same(f.state.record[kPredicted], units));
  EXPECT_FALSE(Same(units, metres));
}

// Twelve frames at the scene's key frames, each moved off the truth.
class IsoWindowTest : public ::testing::Test {
 protected:
  IsoWindowTest() : s(Options()) {
    s.FillMap();
    s.parts.ring.ResetTo(kFrames);
    Random::Seed(7);
    for (u16 k = 0; k < kFrames; ++k) {
      IMUState x = s.scene.keyFrames[k].state;
      for (int i = 0; i < 3; ++i) {
        x.position[i] += 0.03 * GaussianD();
        x.velocity[i] += 0.05 * GaussianD();
      }
      s.SetFrame(k, x);
    }
  }
  static InertialSceneOptions Options() {
    InertialSceneOptions o;
    o.pointsPerKeyFrame = 40;
    return o;
  }
  // The window on, and a map view with n key frames.
  MapWorkingCopy& WindowWithKeyFrames(u32 n) {
    s.parts.options.isoWindow = true;
    MapWorkingCopy& w = s.parts.view.Working();
    w.keyFrameStates.Resize(n);
    w.keyFramePoses.Resize(n);
    w.cameraCenters.Resize(n);
    return w;
  }
  static constexpr u16 kFrames = 12, kLast = kFrames - 1;
  InertialStepScene s;
};

// The window's key frames go back to the map view; key frames outside it or
// unknown to the view are left alone.
TEST_F(IsoWindowTest, TenFramesMoveBackToTheTruthAndWriteTheirKeyFramesBack) {
  MapWorkingCopy& w = WindowWithKeyFrames(2);
  const CameraPose untouched = w.keyFramePoses[0] = s.parts.ring[0].pose.slot[kVisual];
  s.parts.ring[0].keyFrame = 0;  // outside the window
  s.parts.ring[8].keyFrame = 1;  // inside
  s.parts.ring[9].keyFrame = 7;  // unknown to the view
  const TrackerFrame before1 = s.parts.ring[1], before2 = s.parts.ring[2];
  EXPECT_NE(s.step.RunIso(kLast, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
  for (u16 k = 2; k < kFrames; ++k) {
    // The oldest frames are held only by the frames after them.
    EXPECT_LT(s.PositionError(k), k < 4 ? 1e-2 : 1e-3) << k;
    const TrackerFrame& f = s.parts.ring[k];
    CameraPose expected;  // the visual pose is the solved state's camera
    alignas(16) float scratch[16];
    PoseToCamera(f.state.record[kVisual], s.scene.offset, expected, scratch);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(f.pose.slot[kVisual][r][c], expected[r][c], 1e-4);
    EXPECT_GT(f.sceneDepth, 1.0f);  // measured under the solved pose
  }
  EXPECT_FALSE(Same(s.parts.ring[2].state, before2.state));
  EXPECT_TRUE(Same(s.parts.ring[1].state, before1.state) &&
              Same(s.parts.ring[1].pose, before1.pose));
  const TrackerFrame& f = s.parts.ring[8];
  EXPECT_TRUE(Same(w.keyFrameStates[1], f.state.record[kVisual]));
  EXPECT_TRUE(Same(w.keyFramePoses[1], f.pose.slot[kVisual]));
  EXPECT_TRUE(Same(w.keyFramePoses[0], untouched));
  float centre[3];  // -R^T t
  CameraCentre(f.pose.slot[kVisual], centre);
  EXPECT_TRUE(std::equal(centre, centre + 3, w.cameraCenters[1].v));
  EXPECT_EQ(w.cameraCenters[1].v[3], 1.0f);
}

// The same frames and points in a map of 0.45 units to the metre (points
// and camera centres scaled about the origin, so the images are the same),
// the last two frames seeing no point: the readings alone carry them on, in
// the map's unit, to the truth in that unit.
TEST_F(IsoWindowTest, InAMapOfItsOwnUnitTheReadingsCarryFramesToTheTruthInIt) {
  constexpr f64 kUnit = 0.45;
  WindowWithKeyFrames(0);
  MapWorkingCopy& w = s.parts.view.Working();
  for (MapPoint& X : w.points)
    for (int i = 0; i < 3; ++i) X.v[i] *= static_cast<f32>(kUnit);
  // A body a few centimetres off its camera moves with the centre.
  const auto centre = [&](const IMUState& x, f64 c[3]) {
    CameraPose pose;
    alignas(16) float scratch[16];
    PoseToCamera(x, s.scene.offset, pose, scratch);
    float f[3];
    CameraCentre(pose, f);
    for (int i = 0; i < 3; ++i) c[i] = f[i];
  };
  for (u16 k = 0; k < kFrames; ++k) {
    IMUState x = s.parts.ring[k].state.record[kVisual];
    f64 c[3];
    centre(x, c);
    for (int i = 0; i < 3; ++i) x.position[i] += (kUnit - 1.0) * c[i], x.velocity[i] *= kUnit;
    s.SetVisual(k, x);
    if (k >= kLast - 1) s.parts.ring[k].mapMatches[0].clear();
  }
  s.parts.map->AddInertialUnitEvidence(kUnit * 0.02, 0.02);
  EXPECT_NE(s.step.RunIso(kLast, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
  for (u16 k = 4; k < kFrames; ++k) {
    f64 got[3], truth[3];
    centre(s.parts.ring[k].state.record[kVisual], got);
    centre(s.scene.keyFrames[k].state, truth);
    // Metric readings would put the last frame some 18 units in a thousand off.
    EXPECT_LT(
        std::hypot(got[0] - kUnit * truth[0], got[1] - kUnit * truth[1], got[2] - kUnit * truth[2]),
        2e-3)
        << k;
  }
}

// The map's first key frame at the window's start, before it has points:
// it started at rest, a guess, so its velocity is solved from the frames
// after it, but its pose, which the map is built on, stays where it is. A
// first frame that did not start at rest keeps the velocity it has, and its
// pose moves with the window as before; so does one whose window has no
// readings, whose deltas say nothing of the velocity.
TEST_F(IsoWindowTest, AFirstKeyFrameWithoutPointsKeepsItsPoseAndTakesItsVelocity) {
  MapWorkingCopy& w = WindowWithKeyFrames(1);
  constexpr u16 kFirst = kFrames - InertialStep::kIsoWindow;
  const IMUState truth = s.scene.keyFrames[kFirst].state;
  IMUState rest = truth;
  for (f64& v : rest.velocity) v = 0.0;
  const f64 speed = std::hypot(truth.velocity[0], truth.velocity[1], truth.velocity[2]);
  ASSERT_GT(speed, 0.1);
  struct Case {
    bool startedAtRest, readings;
  };
  // The case without readings last: it drops the deltas' translation.
  for (const Case c : {Case{true, true}, Case{false, true}, Case{true, false}}) {
    SCOPED_TRACE(testing::Message()
                 << "at rest " << c.startedAtRest << ", readings " << c.readings);
    for (u16 k = kFirst + 1; k < kFrames; ++k) {
      s.SetVisual(k, s.scene.keyFrames[k].state);
      if (!c.readings) IMUDelta::DropTranslation(s.parts.ring[k].delta[kFromPrevious], 1.0);
    }
    TrackerFrame& f = s.parts.ring[kFirst];
    s.SetVisual(kFirst, rest);
    for (auto& list : f.mapMatches) list.clear();
    f.keyFrame = 0;
    f.startedAtRest = c.startedAtRest;
    const TrackerFrame before = f;
    w.keyFrameStates[0] = rest;
    w.keyFramePoses[0] = f.pose.slot[kVisual];
    EXPECT_NE(s.step.RunIso(kLast, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
    const bool solved = c.startedAtRest && c.readings;
    EXPECT_EQ(Same(f.pose, before.pose), solved);
    EXPECT_TRUE(Same(w.keyFramePoses[0], f.pose.slot[kVisual]));
    EXPECT_TRUE(Same(w.keyFrameStates[0], f.state.record[kVisual]));
    const f64* v = f.state.record[kVisual].velocity;
    const f64 error =
        std::hypot(v[0] - truth.velocity[0], v[1] - truth.velocity[1], v[2] - truth.velocity[2]);
    if (solved)
      EXPECT_LT(error, 0.05 * speed);
    else
      EXPECT_EQ(error, speed);
  }
}

// Window frames with readings since a key frame outside the window keep the
// turn the gyroscope measured from it: a window without features, turned
// about the vertical (which the priors' gravity does not see), comes back to
// the truth, and its first velocity stays. A key frame inside the window, or
// a delta from it without readings, ties nothing, and the turn stays.
TEST_F(IsoWindowTest, FramesKeepTheTurnTheGyroscopeMeasuredSinceTheirKeyFrame) {
  MapWorkingCopy& w = WindowWithKeyFrames(1);
  constexpr u16 kFirst = kFrames - InertialStep::kIsoWindow;
  constexpr f64 kTurn = 0.03;
  const f64 turn[4] = {0.0, 0.0, std::sin(kTurn / 2), std::cos(kTurn / 2)};  // about world z
  const auto heading = [&](u16 k) {
    return QuaternionAngle(s.parts.ring[k].state.record[kVisual].quaternion,
                           s.scene.keyFrames[k].state.quaternion);
  };
  enum Case { kTied, kKeyFrameInWindow, kWithoutReadings };
  for (const Case c : {kTied, kKeyFrameInWindow, kWithoutReadings}) {
    SCOPED_TRACE(c);
    w.keyFrameStates[0] = s.scene.keyFrames[0].state;
    alignas(16) float scratch[16];
    PoseToCamera(w.keyFrameStates[0], s.scene.offset, w.keyFramePoses[0], scratch);
    s.parts.ring[0].keyFrame = 0;
    for (u16 k = kFirst; k < kFrames; ++k) {
      IMUState x = s.scene.keyFrames[k].state;
      MultiplyQuaternionsDouble(turn, s.scene.keyFrames[k].state.quaternion, x.quaternion);
      s.SetVisual(k, x);
      TrackerFrame& f = s.parts.ring[k];
      for (auto& list : f.mapMatches) list.clear();
      f.imuKeyFrame = 0;
      f.delta[kFromKeyFrame] = s.scene.Preintegrate(0, k);
      if (c == kWithoutReadings) IMUDelta::DropTranslation(f.delta[kFromKeyFrame]);
      f.keyFrame = c == kKeyFrameInWindow && k == kFirst + 3 ? 0 : kNone16;
    }
    ASSERT_NEAR(heading(kFirst), kTurn, 1e-9);
    const IMUState before = s.parts.ring[kFirst].state.record[kVisual];
    EXPECT_NE(s.step.RunIso(kLast, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
    for (u16 k = kFirst; k < kFrames; ++k) {
      if (c == kTied)
        EXPECT_LT(heading(k), 0.05 * kTurn) << k;
      else
        EXPECT_GT(heading(k), 0.9 * kTurn) << k;
    }
    // Held in the solver's floats.
    const f64* v = s.parts.ring[kFirst].state.record[kVisual].velocity;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(v[i], before.velocity[i], 1e-6) << i;
  }
}

// Without the window only the current frame moves. Then that frame without
// features, tilted off the truth: a prior with a time brings its gravity
// direction back (its heading stays free); without one nothing turns it.
// Last, a window ends at a frame without a pose, and an unset current frame
// is refused.
TEST_F(IsoWindowTest, AloneTheCurrentFrameMovesTakesGravityFromAPriorAndEndsTheWindow) {
  const TrackerFrame before = s.parts.ring[kLast - 1];
  const f64 error = s.PositionError(kLast);
  // With no delta to tie them, the biases settle on their priors, each in
  // its own element of the record.
  const LA::AlignedVector4f priorA = IMU::accelerometerBiasPrior, priorG = IMU::gyroscopeBiasPrior;
  IMU::accelerometerBiasPrior = {{0.02f, -0.03f, 0.04f, 1.0f}};
  IMU::gyroscopeBiasPrior = {{0.002f, -0.003f, 0.004f, 1.0f}};
  EXPECT_NE(s.step.RunIso(kLast, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
  EXPECT_LT(s.PositionError(kLast), 0.25 * error);
  const IMUState& x = s.parts.ring[kLast].state.record[kVisual];
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(x.accelerometerBias[i], IMU::accelerometerBiasPrior[i], 1e-4) << i;
    EXPECT_NEAR(x.gyroscopeBias[i], IMU::gyroscopeBiasPrior[i], 1e-5) << i;
  }
  IMU::accelerometerBiasPrior = priorA, IMU::gyroscopeBiasPrior = priorG;
  EXPECT_TRUE(Same(s.parts.ring[kLast - 1].state, before.state));
  EXPECT_TRUE(Same(s.parts.ring[kLast - 1].pose, before.pose));
  // World z in the body of each orientation, and the angle between them.
  auto tilt = [](const f64* a, const f64* b) {
    f64 g[2][3];
    for (const f64* q : {a, b}) {
      f64* u = g[q == b];
      u[0] = 2.0 * (q[0] * q[2] - q[3] * q[1]);
      u[1] = 2.0 * (q[1] * q[2] + q[3] * q[0]);
      u[2] = 1.0 - 2.0 * (q[0] * q[0] + q[1] * q[1]);
    }
    return std::acos(std::fmin(g[0][0] * g[1][0] + g[0][1] * g[1][1] + g[0][2] * g[1][2], 1.0));
  };
  TrackerFrame& f = s.parts.ring[kLast];
  for (auto& list : f.mapMatches) list.clear();
  const f64 a = std::sin(0.025), b = std::cos(0.025),
            *q = s.scene.keyFrames[kLast].state.quaternion;
  for (const bool prior : {true, false}) {
    IMUState x = s.scene.keyFrames[kLast].state;
    // q (x) (sin, 0, 0, cos): a tilt of 0.05 about body x.
    x.quaternion[0] = q[3] * a + q[0] * b;
    x.quaternion[1] = q[1] * b + q[2] * a;
    x.quaternion[2] = q[2] * b - q[1] * a;
    x.quaternion[3] = q[3] * b - q[0] * a;
    s.SetVisual(kLast, x);
    if (!prior) f.posePrior[7] = DBL_MAX;
    const f64 tilted = tilt(x.quaternion, q);
    s.step.RunIso(kLast, kTracking);
    const f64 after = tilt(f.state.record[kVisual].quaternion, q);
    if (prior)
      EXPECT_LT(after, 0.1 * tilted);
    else
      EXPECT_NEAR(after, tilted, 1e-6);
  }
  s.parts.options.isoWindow = true;
  s.parts.ring[6].pose.slot[kVisual].m[0][0] = FLT_MAX;
  const TrackerFrame at6 = s.parts.ring[6], at5 = s.parts.ring[5];
  s.step.RunIso(kLast, kTracking);
  EXPECT_LT(s.PositionError(7), 1e-2);
  EXPECT_TRUE(Same(s.parts.ring[6].state, at6.state) && Same(s.parts.ring[5].state, at5.state));
  EXPECT_EQ(s.step.RunIso(6, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
  EXPECT_TRUE(Same(s.parts.ring[6].state, at6.state));
}

// A wrong corner within the matching's gate pulls the frame as much as a
// right one. Once a second key frame has measured the points it stays out of
// the window; with one key frame every match is as far off as the guessed
// depth, so all are taken. A quarter of the matches 4 pixels off, the others
// exact:
TEST_F(IsoWindowTest, MatchesFarFromTheirPointsStayOutOnceTwoKeyFramesMeasuredThem) {
  s.SetVisual(kLast, s.scene.keyFrames[kLast].state);
  std::vector<MapMatch>& list = s.parts.ring[kLast].mapMatches[0];
  ASSERT_GE(list.size(), 20u);
  for (size_t i = 0; i < list.size(); i += 4) list[i].nx += 4.0f / 500.0f;
  const TrackerFrame start = s.parts.ring[kLast];
  f64 error[2];
  for (const u32 keyFrames : {1u, 2u}) {
    s.parts.view.Working().keyFrameFlags.assign(keyFrames, 0);
    s.parts.ring[kLast] = start;
    EXPECT_NE(s.step.RunIso(kLast, kTracking), ISO_LM_NORMAL_EQUATION_FAIL);
    error[keyFrames - 1] = s.PositionError(kLast);
  }
  EXPECT_GT(error[0], 1e-3);
  EXPECT_LT(error[1], 1e-5);
  // A point a metre behind the camera is no match at all, wherever it
  // projects.
  const CameraPose& pose = start.pose.slot[kVisual];
  float centre[3];
  CameraCentre(pose, centre);
  MapPoint behind{};
  for (int i = 0; i < 3; ++i) behind.v[i] = centre[i] - pose.m[2][i];
  behind.v[3] = 1.0f;
  EXPECT_EQ(TrackerMapView::SquaredMatchError(pose, behind, list[1]), FLT_MAX);
}

// A frame without readings holds the last rotation rate, from a gyroscope or
// the images: its delta weighs its rotation as five degrees a second (not the
// gyroscope's deviation, a tenth of a degree by default), and the two agree
// once the configured gyroscope is that coarse. Where the images' rates weigh
// nothing, the delta still turns. A frame with readings keeps every weight.
TEST(InertialMath, FrameDeltasWithoutReadingsWeighTheirRotationCoarselyOrNotAtAll) {
  const IMUSample previous = {{0.2, -0.1, 0.3}, {0.3, -0.2, 0.1}, 1.0};
  const f64 saved = IMU_VARIANCE_ROTATION_RATE;
  for (const f64 deviation : {0.1, 1.0, 5.0, 20.0}) {
    const f64 factor = std::min(1.0, deviation * deviation / 25.0);
    IMU_VARIANCE_ROTATION_RATE = deviation;
    for (const bool unweighed : {false, true}) {
      const f64 expected = unweighed ? 0.0 : factor;
      IMUDelta gyroscope, blind;
      IMUDelta::Initialize(nullptr, 0, previous, 1.05, gyroscope);
      StartFrameDelta({}, previous, kNoReading, 1.05, unweighed, blind);
      EXPECT_NEAR(blind.wr, gyroscope.wr * expected, 1e-9 * gyroscope.wr);
      EXPECT_TRUE(blind.wp == 0.0 && blind.wv == 0.0);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(blind.dq[i], gyroscope.dq[i]);
      // Extended over readings it stays without translation and as coarse.
      std::vector<IMUSample> readings = {previous};
      readings[0].time = 1.07;
      ExtendFrameDelta(readings, previous, previous.time, 1.1, unweighed, blind);
      IMUDelta::Integrate(readings.data(), 1, previous, 1.1, gyroscope);
      EXPECT_NEAR(blind.wr, gyroscope.wr * expected, 1e-9 * gyroscope.wr);
      EXPECT_FALSE(IMUDelta::HasTranslation(blind));
      IMUDelta withReadings;
      StartFrameDelta(readings, previous, previous.time, 1.1, unweighed, withReadings);
      EXPECT_TRUE(IMUDelta::HasTranslation(withReadings));
      EXPECT_GT(withReadings.wr, 0.0);
    }
  }
  IMU_VARIANCE_ROTATION_RATE = saved;
}

// Readings that leave more than a tenth of a second unmeasured (frames lost
// with the readings they carried) measure no translation: the frame's delta
// and the key frame's chain through it lose theirs. Readings 5 ms apart, or
// one hole just under the bound at either end, keep it.
TEST(InertialMath, ReadingsWithAHoleMeasureNoTranslation) {
  const IMUSample previous = {{0.2, -0.1, 9.8}, {0.3, -0.2, 0.1}, 1.0};
  const auto readings = [&](std::initializer_list<f64> times) {
    std::vector<IMUSample> list;
    for (const f64 t : times) list.push_back({{0.2, -0.1, 9.8}, {0.3, -0.2, 0.1}, t});
    return list;
  };
  const std::vector<IMUSample> steady = readings({1.005, 1.01, 1.015, 1.02, 1.025, 1.03});
  const std::vector<IMUSample> late = readings({1.47, 1.475, 1.48, 1.485, 1.49, 1.495});
  EXPECT_FALSE(ReadingsLeaveAHole(steady, 0.995, 1.0, 1.033));
  EXPECT_FALSE(ReadingsLeaveAHole(readings({1.099, 1.1}), 1.0, 1.0, 1.199));
  EXPECT_TRUE(ReadingsLeaveAHole(late, 0.995, 1.0, 1.5));
  EXPECT_TRUE(ReadingsLeaveAHole(readings({1.05, 1.16}), 1.0, 1.0, 1.17));  // between two
  EXPECT_TRUE(ReadingsLeaveAHole(readings({1.005}), 1.0, 1.0, 1.2));        // after the last
  EXPECT_TRUE(ReadingsLeaveAHole(readings({1.05}), 0.93, 1.0, 1.033));      // held too long
  // Readings handed over late hold from before the span; the held one is
  // then older than they are.
  EXPECT_FALSE(ReadingsLeaveAHole(readings({0.97, 0.99, 1.01, 1.03}), 0.8, 1.0, 1.033));
  EXPECT_TRUE(ReadingsLeaveAHole(readings({0.85, 1.01, 1.03}), 0.8, 1.0, 1.033));
  // Before the run's first reading it stands for the moments before it; a
  // span with none at all, ever, is a hole.
  EXPECT_FALSE(ReadingsLeaveAHole(steady, kNoReading, 1.0, 1.033));
  EXPECT_FALSE(ReadingsLeaveAHole(readings({0.99}), kNoReading, 1.0, 1.033));
  EXPECT_TRUE(ReadingsLeaveAHole({}, kNoReading, 1.0, 1.0));
  IMUDelta frame, chain;
  StartFrameDelta(steady, previous, 0.995, 1.033, false, frame);
  EXPECT_TRUE(IMUDelta::HasTranslation(frame));
  chain = frame;
  const IMUSample held = {{0.2, -0.1, 9.8}, {0.3, -0.2, 0.1}, 1.033};
  StartFrameDelta(late, held, 1.03, 1.5, false, frame);
  EXPECT_FALSE(IMUDelta::HasTranslation(frame));
  EXPECT_GT(frame.wr, 0.0);  // the rotation still counts, coarsely
  ExtendFrameDelta(late, held, 1.03, 1.5, false, chain);
  EXPECT_FALSE(IMUDelta::HasTranslation(chain));

  // A frame that brings no readings holds the last one up to the same bound:
  // delivered again at the same time it extends the chain by nothing, a
  // frame later (its readings handed over with the next frame) by the held
  // reading, measured; past the bound, or with no reading ever taken (a
  // visual-only run), the delta is blind.
  EXPECT_EQ(LastReadingTime({}, 1.03), 1.03);
  EXPECT_EQ(LastReadingTime(steady, 0.995), 1.03);
  EXPECT_EQ(LastReadingTime(readings({0.99, 0.98}), 1.0), 1.0);  // repeated ones
  IMUDelta measured;
  StartFrameDelta(steady, previous, 0.995, 1.033, false, measured);
  IMUDelta repeated = measured;
  ExtendFrameDelta({}, held, 1.03, 1.033, false, repeated);
  ASSERT_TRUE(IMUDelta::HasTranslation(repeated));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(repeated.dp[i], measured.dp[i]);
  IMUDelta next = measured, alone;
  ExtendFrameDelta({}, held, 1.03, 1.066, false, next);
  StartFrameDelta({}, held, 1.03, 1.066, false, alone);
  EXPECT_TRUE(IMUDelta::HasTranslation(next) && IMUDelta::HasTranslation(alone));
  EXPECT_GT(alone.wv, 0.0);
  EXPECT_NEAR(alone.dv[2], 9.8 * 0.033, 1e-12);  // the held reading
  ExtendFrameDelta({}, held, 1.03, 1.131, false, next);
  StartFrameDelta({}, held, 1.03, 1.131, false, alone);
  EXPECT_FALSE(IMUDelta::HasTranslation(next) || IMUDelta::HasTranslation(alone));
  StartFrameDelta({}, held, kNoReading, 1.066, false, alone);
  EXPECT_FALSE(IMUDelta::HasTranslation(alone));
}

TEST(InertialMath, RotationLogInvertsTheExponentialFromZeroToPi) {
  Random::Seed(3);
  const float pi = static_cast<float>(M_PI);
  for (float angle : {0.0f, 1e-7f, 1e-4f, 0.3f, 1.0f, 2.5f, 3.1f, 3.14f, 3.1415f, pi - 1e-6f}) {
    for (int trial = 0; trial < 8; ++trial) {
      float axis[3] = {Gaussian(), Gaussian(), Gaussian()}, w[3], back[3];
      const float n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
      for (int i = 0; i < 3; ++i) w[i] = angle * axis[i] / n;
      LA::AlignedMatrix3f R;
      So3Exp(w, R);
      RotationLog(R, back);
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], w[i], 2e-6f + 2e-5f * angle) << angle;
    }
  }
  // Exactly pi about x keeps its angle (either sign is the same rotation);
  // a quarter turn about z in the transposed convention has r01 = 1.
  LA::AlignedMatrix3f X{}, Z{};
  X.m[0][0] = 1.0f, X.m[1][1] = X.m[2][2] = -1.0f;
  Z.m[0][1] = 1.0f, Z.m[1][0] = -1.0f, Z.m[2][2] = 1.0f;
  float w[3];
  RotationLog(X, w);
  EXPECT_NEAR(std::fabs(w[0]), pi, 1e-6f);
  EXPECT_EQ(w[1] * w[1] + w[2] * w[2], 0.0f);
  RotationLog(Z, w);
  EXPECT_NEAR(w[2], pi / 2, 1e-6f);
}

TEST(InertialMath, LoadCameraStateNormalisesTheQuaternionIntoTheUpperHemisphere) {
  f64 d[17] = {1, 2, 3, 4, 5, 6, 1, -2, 2, -4, 0.1, 0.2, 0.3, -0.1, -0.2, -0.3, 9.0};
  CameraPose pose{};
  pose.m[0][3] = 7.0f;
  CameraIMUState s;
  LoadCameraStateFromDoubles(s, d, pose);
  const float q[4] = {-0.2f, 0.4f, -0.4f, 0.8f};  // (1, -2, 2, -4) / 5, negated
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(s.q[i], q[i]);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s.p[i] + 10 * s.v[i], d[i] + 10 * d[3 + i]);
    EXPECT_FLOAT_EQ(s.ba[i] + 10 * s.bg[i], d[10 + i] + 10 * d[13 + i]);
  }
  EXPECT_TRUE(Same(s.pose, pose));
  LA::AlignedMatrix3f R;
  LA::QuaternionToRotationMatrix(q, R);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(s.R.m[r][c], R.m[r][c], 1e-6f);
      EXPECT_EQ(s.RT.m[c][r], s.R.m[r][c]);
    }
  // A positive w keeps its sign; a quaternion of no length is the identity.
  d[9] = 4;
  LoadCameraStateFromDoubles(s, d, pose);
  EXPECT_FLOAT_EQ(s.q[0], 0.2f);
  d[6] = d[7] = d[8] = d[9] = 0.0;
  LoadCameraStateFromDoubles(s, d, pose);
  EXPECT_TRUE(s.q[3] == 1.0f && s.R.m[1][1] == 1.0f);
}

TEST(InertialMath, CameraRateMapsToTheBodyThroughTheFixedMounting) {
  // Camera x along -body y, y along -body x, z along -body z (a proper
  // rotation, det +1): the body rate is R_cb^T times the camera rate.
  const float w[3] = {0.3f, -1.25f, 2.0f};
  f64 body[3];
  CameraRateToBodyRate(w, body);
  EXPECT_TRUE(body[0] == 1.25 && body[1] == f64{-0.3f} && body[2] == -2.0);
}

// A second of frames since a key frame that stood anywhere and moved at any
// speed: positions in a map of 0.45 units to the metre whose sway the
// readings measured in metres. The evidence's ratio is the unit, whatever
// the start and speed; uniform motion, too few frames and frames at one
// time are no evidence.
TEST(InertialMath, TheSwayOfTheFramesMeasuresTheMapsUnit) {
  constexpr u32 kFrames = 30;
  f64 t[kFrames];
  std::array<f64, 3> p[kFrames], a[kFrames];
  const f64 unit = 0.45, start[3] = {1.0, -2.0, 0.5}, speed[3] = {0.3, 0.1, -0.2};
  for (u32 m = 0; m < kFrames; ++m) {
    t[m] = (m + 1) / 30.0;
    // The readings' displacement from the key frame: its own velocity times
    // t plus a sway; the map sees the unit times that, from its own start.
    const f64 sway[3] = {0.05 * std::sin(4.0 * t[m]), 0.03 * t[m] * t[m],
                         -0.02 * std::cos(7.0 * t[m])};
    for (int i = 0; i < 3; ++i) {
      a[m][i] = 0.4 * speed[i] * t[m] + sway[i];
      p[m][i] = start[i] + speed[i] * t[m] + unit * sway[i];
    }
  }
  f64 xy = 0.0, xx = 0.0;
  ASSERT_TRUE(InertialUnitEvidence(t, p, a, kFrames, xy, xx));
  EXPECT_GT(xx, 1e-6);
  EXPECT_NEAR(xy / xx, unit, 1e-9);

  // Uniform motion: nothing departs from its line.
  std::array<f64, 3> line[kFrames];
  for (u32 m = 0; m < kFrames; ++m)
    for (int i = 0; i < 3; ++i) line[m][i] = 0.2 + speed[i] * t[m];
  ASSERT_TRUE(InertialUnitEvidence(t, p, line, kFrames, xy, xx));
  EXPECT_LT(xx, 1e-20);
  EXPECT_LT(std::fabs(xy), 1e-12);

  xy = xx = 7.0;
  EXPECT_FALSE(InertialUnitEvidence(t, p, a, kMinUnitFrames - 1, xy, xx));
  EXPECT_TRUE(xy == 0.0 && xx == 0.0);
  f64 same[kFrames];
  std::fill(same, same + kFrames, 0.5);
  EXPECT_FALSE(InertialUnitEvidence(same, p, a, kFrames, xy, xx));
  a[3][1] = INFINITY;
  xy = xx = 7.0;
  EXPECT_FALSE(InertialUnitEvidence(t, p, a, kFrames, xy, xx));
  EXPECT_TRUE(xy == 0.0 && xx == 0.0);
}

}  // namespace
