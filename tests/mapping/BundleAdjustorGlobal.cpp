// The passes of the bundle adjustors on problems with known answers (a hand
// problem of one camera, and snapshots of the shared synthetic map), and
// whole global passes: on a noisy map with injected outliers, and on a map
// with a ground plane against the true gravity directions.
#include "mapping/BundleAdjustorGlobal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

namespace {

// A synthetic map (noisy by default; 1 plane of 240 points not flagged
// ground, 60 clutter, 10 key frames) and its global problem in `ba`, its pass
// begun.
struct MapFixture {
  static SyntheticMapOptions Noisy(f32 outliers) {
    SyntheticMapOptions o;
    o.seed = 5;
    o.keyFrames = 10;
    o.planes = 1;
    o.ground = false;
    o.pointsPerPlane = 240;
    o.clutterPoints = 60;
    o.featureNoise = 0.7f;
    o.outlierFraction = outliers;
    return o;
  }
  // The adjustor takes the camera from the map: it is built first.
  explicit MapFixture(const SyntheticMapOptions& o)
      : scene(o), ba((scene.Build(map), &map), 0, "") {
    map.GetGBAProblem(ba.problem, ba.state, ba.index, ba.token);
    ba.BeginPass();
    PlaneDistanceThreshold = 0.05f;
  }
  SyntheticMap scene;
  GlobalMap map;
  BundleAdjustorGlobal ba;
};

// One camera at the origin and N points at depth 5, point i (track 100 + i)
// measured with a squared error of errors[i] (normalised units); the first
// `fixed` fixed.
void HandProblem(BundleAdjustorGlobal& ba, const std::vector<f32>& errors, u32 fixed) {
  const u32 N = static_cast<u32>(errors.size());
  IBASolver::ResizeInput(ba.problem, 0, fixed, 0, 1, N, 0, N, 0);
  ba.state.cameras.Resize(1);
  ba.state.cameras[0].pose = CameraPose{};
  for (int i = 0; i < 3; ++i) ba.state.cameras[0].pose.m[i][i] = 1.0f;
  ba.state.points.Resize(N);
  ba.state.planes.Resize(0);
  ba.index.tracks.resize(N);
  ba.index.planes.clear();
  for (u32 i = 0; i < N; ++i) {
    ba.state.points[i] = {{0.0f, 0.0f, 5.0f, 1.0f}};
    ba.problem.features.measurements[i] = {i, std::sqrt(errors[i]), 0.0f};
    ba.problem.pointFlags[i] = kTrackSolved | kTrackInlier;
    ba.index.tracks[i] = 100 + i;
  }
  ba.problem.features.index = {0, N, N, N, N};
  ba.BeginPass();
}

TEST(BundleAdjustorGlobal, RejectionThresholdIsTheRatioPositionClamped) {
  GlobalMap map;
  BundleAdjustorGlobal ba(&map, 0, "");
  std::vector<f32> errors(101);
  for (u32 i = 0; i < 101; ++i) errors[(i * 37) % 101] = 1e-4f * static_cast<f32>(i + 1);
  // Position floor(100 * 0.99) = 99 in ascending order: the 100th value;
  // errors 100e-4 and 101e-4 leave (strict <). Then clamped from below and above.
  for (const auto& [lower, upper, expected, kept] :
       {std::tuple{0.0f, 1.0f, 1e-2f, 99u}, std::tuple{0.02f, 1.0f, 0.02f, 101u},
        std::tuple{0.0f, 0.005f, 0.005f, 50u}}) {
    HandProblem(ba, errors, 0);
    ba.RejectOutliers(0.99f, lower, upper, false);
    EXPECT_FLOAT_EQ(ba.cameraThresholds[0], expected);
    EXPECT_EQ(ba.state.points.Size(), kept);
    EXPECT_EQ(ba.edits.retestedTracks.size(), 101 - kept);
  }
  // Unreliable points do not set it: with the 50 largest errors unreliable,
  // it is the same position among the 51 others.
  HandProblem(ba, errors, 0);
  for (u32 i = 0; i < 101; ++i)
    if (errors[i] > 51.5e-4f) ba.problem.pointFlags[i] |= kTrackUnreliable;
  ba.RejectOutliers(0.99f, 0.0f, 1.0f, false);
  EXPECT_FLOAT_EQ(ba.cameraThresholds[0], 50e-4f);
  // A fixed point with a gross error stays; a point behind the camera or
  // with a non-finite error leaves without upsetting the selection.
  errors[0] = 50.0f;
  errors[1] = NAN;
  HandProblem(ba, errors, 1);
  ba.state.points[2].v[2] = 0.0f;
  ba.RejectOutliers(0.99f, 0.0f, 1.0f, false);
  EXPECT_EQ(ba.pointTracks[0], 100u);
  EXPECT_EQ(ba.problem.fixedPoints, 1u);
  const std::vector<u32>& retested = ba.edits.retestedTracks;
  EXPECT_EQ(std::count(retested.begin(), retested.end(), 101) +
                std::count(retested.begin(), retested.end(), 102),
            2);
}

TEST(BundleAdjustorGlobal, ShortBaselinesAndNarrowRaysAreUnreliable) {
  GlobalMap map;
  BundleAdjustorGlobal ba(&map, 0, "");
  // The baseline is judged against half the map's scale.
  for (const auto& [baseline, scale] :
       {std::pair{0.01f, 1.0f}, {1.0f, 1.0f}, {1.0f, 4.0f}, {3.0f, 4.0f}}) {
    // Point 1 at depth 3 seen by cameras at x = 0 and x = baseline.
    HandProblem(ba, {0.0f, 0.0f}, 0);
    IBAProblem& P = ba.problem;
    IBASolver::ResizeInput(P, 0, 0, 0, 2, 2, 0, 4, 0);
    const CameraPose identity = ba.state.cameras[0].pose;
    ba.state.cameras.Resize(2);  // new storage: both poses written here
    ba.state.cameras[0].pose = ba.state.cameras[1].pose = identity;
    ba.state.cameras[1].pose.m[0][3] = -baseline;
    ba.state.points[1] = {{0.0f, 0.0f, 3.0f, 1.0f}};
    P.features.measurements[0] = {1, 0.0f, 0.0f};
    P.features.measurements[1] = {1, -baseline / 3.0f, 0.0f};
    P.features.measurements.Resize(2);
    P.features.index = {0, 1, 1, 1, 1, 2, 2, 2, 2};
    P.pointFlags = {kTrackInlier | kTrackImu, kTrackInlier};
    ba.index.scale = scale;
    ba.MarkUnreliablePoints();
    EXPECT_EQ((P.pointFlags[1] & kTrackUnreliable) != 0, baseline < 0.5f * scale)
        << baseline << " " << scale;
    EXPECT_EQ(P.pointFlags[0] & kTrackUnreliable, 0);  // IMU points are left alone
  }
}

// Small planes dissolve unless ground; halves of one plane merge; planes
// refitted from the newest camera's points take back their own points.
TEST(BundleAdjustorGlobal, PlanePasses) {
  {
    // 14 points kept on each plane: the wall dissolves, the ground stays and
    // leads.
    MapFixture m{SyntheticMapOptions()};
    BundleAdjustorGlobal& ba = m.ba;
    PlaneDistanceThreshold = FLT_MAX;
    for (std::vector<u32>& list : ba.problem.planePoints) {
      for (size_t i = 14; i < list.size(); ++i) ba.problem.pointPlanes[list[i]] = kNone16;
      list.resize(14);
    }
    ba.RejectOutliers(0.99f, 1.0f, 1.0f, true);  // thresholds far above every error
    ASSERT_EQ(ba.state.planes.Size(), 1u);
    EXPECT_EQ(ba.edits.clearedPlaneTracks.size(), 14u);
    EXPECT_EQ(ba.problem.groundPlane, 0u);
    EXPECT_EQ(ba.problem.planeFlags[0] & kPlaneGround, kPlaneGround);
  }
  MapFixture m{SyntheticMapOptions()};
  BundleAdjustorGlobal& ba = m.ba;
  IBAProblem& P = ba.problem;
  ASSERT_EQ(ba.state.planes.Size(), 2u);
  const u32 wall = 1;
  const std::vector<u32> wallPoints = P.planePoints[wall];
  // The wall's second half becomes plane 2, a copy 1 cm off.
  const std::vector<u32> half(wallPoints.begin() + wallPoints.size() / 2, wallPoints.end());
  P.planePoints[wall].resize(wallPoints.size() / 2);
  LA::AlignedVector4f copy = ba.state.planes[wall];
  copy.v[3] += 0.01f;
  ba.state.planes.PushBack16(copy);
  P.planePoints.push_back(half);
  for (const u32 p : half) P.pointPlanes[p] = 2;
  P.planeFlags.push_back(0);
  P.planeWeights.PushBack16(P.planeWeights[wall]);
  ba.planeIds.push_back(7);
  ba.MergePlanes();
  ASSERT_EQ(ba.state.planes.Size(), 2u);
  EXPECT_EQ(P.planePoints[wall].size(), wallPoints.size());
  EXPECT_NEAR(std::fabs(ba.state.planes[wall].v[3]), 1.0f, 0.01f);  // y = 1
  for (const u32 p : half) EXPECT_EQ(P.pointPlanes[p], wall);
  // With nothing left to take, a plane is not refitted: the wall keeps a
  // tilt and an offset that a fit to its points would remove.
  const LA::AlignedVector4f fitted = ba.state.planes[wall];
  const LA::AlignedVector4f moved = {{0.0599f, 0.9982f, 0.0f, -0.99f}};  // 3.4 degrees, unit
  ba.state.planes[wall] = moved;
  ba.MergePlanes();
  ASSERT_EQ(ba.state.planes.Size(), 2u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ba.state.planes[wall].v[i], moved.v[i]) << i;
  ba.state.planes[wall] = fitted;

  // The newest camera meets only the wall: ground points are set aside as
  // unreliable, without a plane, and half its wall points lose their plane.
  const u32 C = ba.state.cameras.Size();
  u32 cleared = 0;
  std::vector<u32> seen, setAside;
  for (u32 i = P.features.index[4 * (C - 1)]; i < P.features.index[4 * C]; ++i) {
    const u32 p = P.features.measurements[i].point;
    if (P.pointPlanes[p] == 0) {
      P.pointFlags[p] |= kTrackUnreliable;
      P.pointPlanes[p] = kNone16;
      setAside.push_back(p);
    }
    if (P.pointPlanes[p] == wall) {
      seen.push_back(p);
      if (++cleared % 2) P.pointPlanes[p] = kNone16;
    }
  }
  ASSERT_GT(seen.size(), 30u);
  ASSERT_GT(setAside.size(), 30u);
  ba.UpdatePlanes();
  // Unreliable points stay out of the refit, though they lie on the ground.
  for (const u32 p : setAside) EXPECT_EQ(P.pointPlanes[p], kNone16) << p;
  u32 onWall = 0;
  for (const u32 p : seen) onWall += P.pointPlanes[p] == wall;
  EXPECT_GE(onWall, 0.9 * seen.size());
  for (const u32 p : seen) EXPECT_NE(P.pointPlanes[p], 0u);
  for (u32 j = 0; j < ba.state.planes.Size(); ++j)
    for (const u32 p : P.planePoints[j]) EXPECT_EQ(P.pointPlanes[p], j);
}

TEST(BundleAdjustorGlobal, GoodOutliersComeBackGrossOnesDoNot) {
  MapFixture m(MapFixture::Noisy(0.0f));
  BundleAdjustorGlobal& ba = m.ba;
  // Ten points seen at least four times moved 1.5 away, beyond the 40-pixel
  // clamp (their observations are good); five more get one measurement
  // moved 40 pixels.
  const f32 s = m.scene.Camera().misc[1];
  IBAFeatures& f = ba.problem.features;
  std::vector<u32> seen(ba.state.points.Size(), 0);
  for (u32 i = 0; i < f.measurements.Size(); ++i) ++seen[f.measurements[i].point];
  std::vector<u8> role(ba.state.points.Size(), 0);  // 1 moved, 2 gross, 3 gross done
  u32 chosen = 0;
  for (u32 p = ba.problem.fixedPoints; p < seen.size() && chosen < 15; ++p) {
    if (seen[p] >= 4) role[p] = ++chosen <= 10 ? 1 : 2;
    if (role[p] == 1) ba.state.points[p].v[1] += 1.5f;
  }
  for (u32 i = 0; i < f.measurements.Size(); ++i) {
    u8& r = role[f.measurements[i].point];
    if (r != 2) continue;
    f.measurements[i].x += 40.0f * std::sqrt(s);
    r = 3;
  }
  const u32 last = ba.state.cameras.Size() - 1;
  ba.RejectOutliers(0.9f, 16.0f * s, 1600.0f * s, false);
  ASSERT_GE(ba.outlierRecords.size(), 15u);
  // The newest camera left without measurements (its mean depth is 0) and a
  // record seen twice by it alone (rays in one direction: the depth prior).
  for (u32 g = 4 * last + 1; g <= 4 * last + 4; ++g) f.index[g] = f.index[4 * last];
  ba.outlierRecords.push_back({kNone16, static_cast<u32>(ba.outlierObservations.size()), 2});
  for (int k = 0; k < 2; ++k)
    ba.outlierObservations.push_back({static_cast<u16>(last), 0.01f, 0.02f});
  ba.edits.retestedTracks.push_back(kNone32);
  ba.index.scale = 0.05f;  // the cameras here stand over 2 apart, far beyond half of it
  ba.RecoverInliers();
  u32 back = 0, gross = 0;
  for (size_t i = 0; i < ba.outlierRecords.size(); ++i) {
    const bool inlier = (ba.edits.retestedFlags[i] & kTrackInlier) != 0;
    for (int k = 0; k < 4; ++k)
      EXPECT_TRUE(!inlier || std::isfinite(ba.edits.retestedPoints[i].v[k])) << i;
    const u32 track = ba.edits.retestedTracks[i];
    if (track == kNone32) continue;
    const u32 p = ba.index.trackPoints[track];
    const MapPoint& X = m.scene.ScenePoints()[m.scene.TrackScenePoint()[track]];
    if (role[p] == 1 && inlier) {
      ++back;
      for (int k = 0; k < 3; ++k)
        EXPECT_LT(std::fabs(ba.edits.retestedPoints[i].v[k] - X.v[k]), 0.05f) << i << ", " << k;
      // Seen from well apart for the map's scale: reliable.
      EXPECT_EQ(ba.edits.retestedFlags[i] & kTrackUnreliable, 0) << i;
    }
    gross += role[p] == 3 && inlier;
  }
  EXPECT_EQ(back, 10u);
  EXPECT_EQ(gross, 0u);
}

TEST(BundleAdjustorGlobal, GlobalPassReachesTheNoiseAndFlagsTheOutliers) {
  // About 5 % of the tracks get a gross measurement. One plane (no ground):
  // key frame 0 holds the gauge. Points start 3 cm off.
  MapFixture m(MapFixture::Noisy(0.007f));
  GlobalMap& map = m.map;
  Random::Seed(3);
  for (u32 t = 0; t < map.TrackCount(); ++t)
    for (int k = 0; k < 3; ++k)
      map.points[t].v[k] += 0.03f * (static_cast<f32>(Random::Next() % 2001) / 1000.0f - 1.0f);
  // Each pass takes out the worst share of every camera's points and gives
  // back those that fit again: a few passes clear the gross ones.
  const u8 request = kGlobalRequestPass;
  for (int pass = 0; pass < 6; ++pass) m.ba.Run(&request);
  EXPECT_FALSE(m.ba.IsBusy());
  EXPECT_EQ(InvariantError(map), "");
  // Tracks with a gross measurement (by the truth) against the others.
  const f32 fx = m.scene.Camera().fx[0];
  u32 bad = 0, badFlagged = 0, good = 0, goodLost = 0, count = 0;
  f64 sum = 0.0;
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    // With fewer views a gross measurement cannot be told from the others.
    if (map.trackMeasurements[t].size() < 4) continue;
    const MapPoint& X = m.scene.ScenePoints()[m.scene.TrackScenePoint()[t]];
    bool gross = false;
    f64 trackSum = 0.0;
    for (const u32 e : map.trackMeasurements[t]) {
      const u32 k = GlobalMap::MeasurementKeyFrame(e);
      const MapMeasurement& z = MeasurementOf(map, e);
      f32 x[3], y[3];
      SceneRender::ToCamera(m.scene.TruePose(m.scene.KeyFramePoses()[k]), X.v, x);
      SceneRender::ToCamera(map.keyFramePoses[k], map.points[t].v, y);  // the adjusted map
      gross = gross || std::hypot(z.x - x[0] / x[2], z.y - x[1] / x[2]) * fx > 10.0f;
      trackSum += std::pow((z.x - y[0] / y[2]) * fx, 2) + std::pow((z.y - y[1] / y[2]) * fx, 2);
    }
    const bool inlier = (map.trackFlags[t] & kTrackInlier) != 0;
    bad += gross;
    badFlagged += gross && !inlier;
    good += !gross;
    goodLost += !gross && !inlier;
    if (!gross && inlier) {
      sum += trackSum;
      count += static_cast<u32>(map.trackMeasurements[t].size());
    }
  }
  ASSERT_GT(bad, 10u);
  EXPECT_GE(badFlagged, 0.9 * bad);
  EXPECT_LE(goodLost, 0.01 * good);
  // Per-axis RMS of the good measurements against the adjusted map: the noise.
  EXPECT_LT(std::sqrt(sum / (2.0 * count)), 1.2 * 0.7);
}

// Degrees between two directions.
f64 AngleBetween(const f32* a, const f32* b) {
  const f64 dot = f64(a[0]) * b[0] + f64(a[1]) * b[1] + f64(a[2]) * b[2];
  const f64 cx = f64(a[1]) * b[2] - f64(a[2]) * b[1], cy = f64(a[2]) * b[0] - f64(a[0]) * b[2],
            cz = f64(a[0]) * b[1] - f64(a[1]) * b[0];
  return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), dot) * 180.0 / 3.141592653589793;
}

TEST(BundleAdjustorGlobal, GlobalPassesKeepGravityAndTheGroundPlane) {
  // The ground z = 0 beside the wall y = 1; points start 3 cm off. The
  // ground alignment holds the gauge: at the truth it moves nothing, so
  // each key frame's world z seen from its body stays the one its gravity
  // reading gives, and the ground stays z = 0.
  SyntheticMapOptions o = MapFixture::Noisy(0.0f);
  o.planes = 2;
  o.ground = true;
  MapFixture m(o);
  GlobalMap& map = m.map;
  Random::Seed(4);
  for (u32 t = 0; t < map.TrackCount(); ++t)
    for (int k = 0; k < 3; ++k)
      map.points[t].v[k] += 0.03f * (static_cast<f32>(Random::Next() % 2001) / 1000.0f - 1.0f);
  const u8 request = 0;
  for (int pass = 0; pass < 2; ++pass) m.ba.Run(&request);
  EXPECT_EQ(InvariantError(map), "");
  ASSERT_EQ(map.KeyFrameCount(), o.keyFrames);
  for (u32 k = 0; k < map.KeyFrameCount(); ++k) {
    // World z in the body: the third column of R(q) against the truth's.
    f32 q[4];
    for (int i = 0; i < 4; ++i) q[i] = static_cast<f32>(map.keyFrameStates[k].quaternion[i]);
    LA::AlignedMatrix3f R;
    LA::QuaternionToRotationMatrix(q, R);
    const CameraPose& truth = m.scene.TruePose(m.scene.KeyFramePoses()[k]);
    const f32 z[3] = {R.m[0][2], R.m[1][2], R.m[2][2]};
    const f32 zTrue[3] = {truth.m[0][2], truth.m[1][2], truth.m[2][2]};
    EXPECT_LT(AngleBetween(z, zTrue), 1.0) << k;
  }
  u32 grounds = 0;
  for (u32 j = 0; j < map.PlaneCount(); ++j) {
    if (!(map.planeFlags[j] & kPlaneGround)) continue;
    ++grounds;
    const f32* P = map.planes[j].v;
    const f32 n = std::sqrt(P[0] * P[0] + P[1] * P[1] + P[2] * P[2]) * (P[2] < 0.0f ? -1.0f : 1.0f);
    const f32 normal[3] = {P[0] / n, P[1] / n, P[2] / n}, up[3] = {0.0f, 0.0f, 1.0f};
    EXPECT_LT(AngleBetween(normal, up), 1.0);
    // The alignment puts the plane at z = 0 after every step; what is left
    // is single-precision rounding of coordinates of a few units.
    EXPECT_NEAR(P[3] / n, 0.0f, 1e-4f);
  }
  EXPECT_EQ(grounds, 1u);
}

}  // namespace
