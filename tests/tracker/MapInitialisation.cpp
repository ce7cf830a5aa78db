// The map's start: two views of a seeded scene with a known baseline, pure
// rotation, and the first key frame anchored to the marker sheet seen from
// above and from the side, with the records and rays that must not anchor.
#include "tracker/MapInitialisation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/Draws.h"
#include "common/mapping/SyntheticMap.h"
#include "mapping/BundleAdjustorGlobal.h"
#include "mapping/PlaneDetector.h"
#include "optimization/IMUParameters.h"
#include "tests/common/tracker/NewPointsScene.h"

namespace {

Eigen::Vector3d CentreOf(const CameraPose& pose) {
  return -ToEigen(pose).transpose() * TranslationOf(pose);
}
double RotationDegrees(const CameraPose& a, const CameraPose& b) {
  const Eigen::AngleAxisd d(ToEigen(a) * ToEigen(b).transpose());
  return d.angle() * 180.0 / M_PI;
}
template <class T>
bool Same(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}
CameraPose Unset() {
  CameraPose p{};
  p.m[0][0] = FLT_MAX;
  return p;
}

// The units over one scene, the ISO step a stand-in that counts its calls.
struct Units {
  explicit Units(UnitContext& unit)
      : context(unit.Context()),
        pose(context),
        newPoints(context),
        measures(context),
        init(context, pose, newPoints, measures, [this](u16 frame) {
          isoFrames.push_back(frame);
          return 0;
        }) {}
  TrackerContext context;
  PoseEstimation pose;
  NewPoints newPoints;
  FrameMeasures measures;
  MapInitialisation init;
  std::vector<u16> isoFrames;
};

// ---- Two views -------------------------------------------------------------

// Key frame 0 at the origin, the mid-way key frame whose map pose is a few
// pixels off, two ring frames without a pose and the current frame, of
// centre `c` and yaw `yaw`: the true scene has the map's initial scale.
struct TwoView {
  static constexpr u16 kCurrent = 2;
  static inline const Eigen::Vector3d kOrigin{0.1, -0.05, 0.02};
  // The current frame's centre in most tests: 0.7 ahead and aside of key frame 0.
  static inline const Eigen::Vector3d kAhead =
      kOrigin + Eigen::Vector3d(0.62, 0.06, 0.31).normalized() * 0.7;
  TwoView(const Eigen::Vector3d& c, double yaw,
          const std::vector<Eigen::Vector3d>& points = NewPointsScene::RandomPoints(200, 31)) {
    // Key frame 0 away from the identity: the relative pose goes after its.
    using V = Eigen::Vector3d;
    auto pose = [](const V& centre, double yaw) { return NewPointsScene::Pose(centre, yaw); };
    truth = {pose(kOrigin, 4.0), pose(kOrigin + V(0.34, 0.03, 0.07), -3.0),
             pose(kOrigin + V(0.15, 0.01, 0.03), -1.0), pose(kOrigin + V(0.5, 0.04, 0.1), -4.0),
             pose(c, yaw)};
    scene.Build(points, {truth[0], truth[1]}, {truth[2], truth[3], truth[4]}, 0.3, 32);
    // The mid-way key frame as the inertial prediction left it.
    const Eigen::Matrix3d R =
        Eigen::AngleAxisd(0.3 * M_PI / 180.0, Eigen::Vector3d(1, 2, 0).normalized()) *
        ToEigen(truth[1]);
    const Eigen::Vector3d centre = CentreOf(truth[1]) + Eigen::Vector3d(0.01, -0.01, 0.01);
    scene.Working().keyFramePoses[1] = scene.unit.map->keyFramePoses[1] =
        FromEigen<CameraPose>(R, -R * centre);
    for (u16 s = 0; s < 2; ++s) scene.unit.ring[s].pose.slot[kVisual] = Unset();
    scene.unit.ring[kCurrent].pose.slot[kVisual] = truth[0];
  }
  // The scene points' median depth from key frame 0.
  double MedianDepth() const { return scene.MedianDepth(truth[0]); }
  bool Near(const CameraPose& pose, u32 k, double metres, double degrees) const {
    return (CentreOf(pose) - CentreOf(truth[k])).norm() < metres &&
           RotationDegrees(pose, truth[k]) < degrees;
  }

  NewPointsScene scene;
  std::vector<CameraPose> truth;
  Units units{scene.unit};
};

// A track whose current match is 30 pixels off fails the second
// triangulation and is unsolved.
TEST(TwoView, TheInitialDepthGivesTheSceneItsScale) {
  const Eigen::Vector3d& centre = TwoView::kAhead;
  TwoView v(centre, -6.0);
  NewPointsScene& scene = v.scene;
  scene.Displace(TwoView::kCurrent, 17, 30.0);
  // The scene's own depth: the map comes out at the scene's scale.
  scene.unit.options.initialDepth = static_cast<f32>(v.MedianDepth());
  const MapStart start = v.units.init.InitializeMap(TwoView::kCurrent);
  ASSERT_TRUE(start.ok);
  EXPECT_NEAR(start.sceneScale, 0.7f, 0.005f);
  EXPECT_FLOAT_EQ(start.depthScale, 0.7f / scene.unit.options.initialDepth);
  EXPECT_FALSE(start.anchored || start.recovering);
  EXPECT_TRUE(v.units.isoFrames.empty());

  // The current pose from the essential matrix, scaled to the baseline.
  const CameraPose& f = scene.unit.ring[TwoView::kCurrent].pose.slot[kVisual];
  EXPECT_NEAR((CentreOf(f) - TwoView::kOrigin).norm(), start.sceneScale, 1e-4);
  EXPECT_TRUE(v.Near(f, 4, 0.01, 0.2));
  // Points within 1 % of the scene, which has the map's scale.
  double sum = 0.0, worst = 0.0;
  u32 solved = 0;
  for (u32 t = 0; t < scene.points.size(); ++t) {
    if (!(scene.Flags(t) & kTrackInlier)) continue;
    const double e = (scene.Point(t) - scene.points[t]).norm() / scene.points[t].norm();
    ++solved, sum += e * e, worst = std::max(worst, e);
  }
  EXPECT_GE(solved, 195u);
  EXPECT_LT(std::sqrt(sum / solved), 0.01);
  EXPECT_LT(worst, 0.04);
  EXPECT_EQ(scene.Flags(17) & (kTrackSolved | kTrackInlier), 0);
  for (const MapMatch& m : scene.unit.ring[TwoView::kCurrent].mapMatches[0])
    EXPECT_NE(m.track, 17u);
  // The mid-way key frame was re-estimated, in the map and in the tracker;
  // its points were first triangulated with its pose 17 mm off.
  EXPECT_TRUE(v.Near(scene.Working().keyFramePoses[1], 1, 0.008, 0.1));
  EXPECT_TRUE(v.Near(scene.unit.map->keyFramePoses[1], 1, 0.008, 0.1));
  // Ring frames without a pose start from it and are estimated.
  for (u16 s = 0; s < 2; ++s)
    EXPECT_TRUE(v.Near(scene.unit.ring[s].pose.slot[kVisual], 2 + s, 0.005, 0.1)) << s;
  // The current frame keeps its own matches.
  EXPECT_EQ(scene.unit.ring[TwoView::kCurrent].MapMatchCount(), solved);
}

// Whatever the baseline, the map's unit is the one the initial depth gives:
// with an initial depth a quarter over the scene points' median depth, the
// points come out a quarter larger about the first key frame, and so does
// the baseline.
TEST(TwoView, TheMapIsScaledToTheInitialDepthAboutTheFirstKeyFrame) {
  const Eigen::Vector3d& centre = TwoView::kAhead;
  TwoView v(centre, -6.0);
  NewPointsScene& scene = v.scene;
  constexpr double kScale = 1.25;
  scene.unit.options.initialDepth = static_cast<f32>(kScale * v.MedianDepth());
  const MapStart start = v.units.init.InitializeMap(TwoView::kCurrent);
  ASSERT_TRUE(start.ok);
  EXPECT_NEAR(start.sceneScale, kScale * 0.7, 0.01);
  EXPECT_FLOAT_EQ(start.depthScale, 0.7f / scene.unit.options.initialDepth);
  const CameraPose& f = scene.unit.ring[TwoView::kCurrent].pose.slot[kVisual];
  EXPECT_NEAR((CentreOf(f) - TwoView::kOrigin).norm(), start.sceneScale, 1e-4);
  std::vector<double> depths;
  u32 off = 0;
  for (u32 t = 0; t < scene.points.size(); ++t) {
    if (!(scene.Flags(t) & kTrackInlier)) continue;
    const Eigen::Vector3d X = TwoView::kOrigin + kScale * (scene.points[t] - TwoView::kOrigin);
    off += (scene.Point(t) - X).norm() > 0.02 * X.norm() ? 1 : 0;
    depths.push_back((ToEigen(v.truth[0]) * scene.Point(t) + TranslationOf(v.truth[0])).z());
  }
  ASSERT_GE(depths.size(), 195u);
  EXPECT_EQ(off, 0u);
  std::nth_element(depths.begin(), depths.begin() + depths.size() / 2, depths.end());
  EXPECT_NEAR(depths[depths.size() / 2], scene.unit.options.initialDepth,
              0.01 * scene.unit.options.initialDepth);
  // The mid-way key frame went out with the map.
  EXPECT_NEAR((CentreOf(scene.Working().keyFramePoses[1]) - TwoView::kOrigin).norm(),
              kScale * (CentreOf(v.truth[1]) - TwoView::kOrigin).norm(), 0.01);
}

// Pure rotation (worth another frame), and fewer matches than a sample
// (not).
TEST(TwoView, WithoutABaselineTheStartFailsAndChangesNothing) {
  const std::pair<Eigen::Vector3d, u32> rows[] = {
      {TwoView::kOrigin, 200}, {TwoView::kOrigin + Eigen::Vector3d(0.7, 0, 0), 4}};
  for (const auto& [centre, matches] : rows) {
    TwoView v(centre, matches == 200u ? -8.0 : -6.0);
    NewPointsScene& scene = v.scene;
    scene.unit.ring[TwoView::kCurrent].mapMatches[0].resize(matches);
    const std::vector<u8> flags = scene.Working().trackFlags;
    std::vector<CameraPose> poses;
    for (u16 s = 0; s < 3; ++s) poses.push_back(scene.unit.ring[s].pose.slot[kVisual]);
    const CameraPose midway = scene.Working().keyFramePoses[1];
    const MapStart start = v.units.init.InitializeMap(TwoView::kCurrent);
    EXPECT_FALSE(start.ok);
    // With the first key frame's features still in view a later frame may
    // see the baseline; with four matches left it is gone.
    EXPECT_EQ(start.retry, matches == 200u);
    EXPECT_EQ(scene.Working().trackFlags, flags);
    EXPECT_EQ(flags, std::vector<u8>(200, 0));
    for (u16 s = 0; s < 3; ++s) EXPECT_TRUE(Same(poses[s], scene.unit.ring[s].pose.slot[kVisual]));
    EXPECT_TRUE(Same(midway, scene.unit.map->keyFramePoses[1]));
    EXPECT_EQ(scene.unit.ring[TwoView::kCurrent].MapMatchCount(), matches);
  }
}

// The two-view scene's points, those from `near` on a hundred times deeper.
std::vector<Eigen::Vector3d> NearAndFar(u32 near) {
  std::vector<Eigen::Vector3d> points = NewPointsScene::RandomPoints(200, 31);
  for (u32 i = near; i < points.size(); ++i) points[i] *= 100.0;
  return points;
}

// Under a turn only points far away stay inliers of any translation: the
// start needs half of its inliers' rays to spread by a degree. Here the far
// points lie a hundred times deeper, their rays a few tenths of a degree
// apart.
TEST(TwoView, HalfTheRaysMustSpreadForTheBaselineToCount) {
  const Eigen::Vector3d& centre = TwoView::kAhead;
  for (const u32 near : {80u, 120u}) {
    TwoView v(centre, -6.0, NearAndFar(near));
    v.scene.unit.options.initialDepth = 3.0f;
    const MapStart start = v.units.init.InitializeMap(TwoView::kCurrent);
    EXPECT_EQ(start.ok, near == 120u) << near;
    EXPECT_EQ(start.retry, near == 80u) << near;
  }
}

// The start's pixel gate is 4 px at full resolution. Of 108 near tracks
// (54 %), twenty whose matches lie 6 px off, to either side, fall outside it,
// and the rest are under half of the inliers; 3 px off they stay in.
TEST(TwoView, MatchesAFewPixelsOffAreNoInliersOfTheStart) {
  const Eigen::Vector3d& centre = TwoView::kAhead;
  constexpr u32 kNear = 108;
  for (const double pixels : {3.0, 6.0}) {
    TwoView v(centre, -6.0, NearAndFar(kNear));
    v.scene.unit.options.initialDepth = 3.0f;
    const std::vector<u32> tracks = v.scene.Tracks(TwoView::kCurrent);
    u32 moved = 0;
    for (u32 j = 0; j < tracks.size() && moved < 20; ++j)
      if (tracks[j] < kNear) v.scene.Displace(TwoView::kCurrent, j, moved++ % 2 ? pixels : -pixels);
    ASSERT_EQ(moved, 20u);
    const MapStart start = v.units.init.InitializeMap(TwoView::kCurrent);
    EXPECT_EQ(start.ok, pixels < 4.0) << pixels;
    EXPECT_EQ(start.retry, pixels > 4.0) << pixels;
  }
}

// ---- Marker anchoring ------------------------------------------------------

// A camera whose optical axis passes through the map origin from the
// configured height (above the floor, or in front of the wall x = 0), the
// sheet's four corners as tracks of the first key frame (from `firstCorner`)
// and further points of the sheet's plane, all matched in ring slot 0.
struct Anchor {
  static constexpr f32 kSideA = 0.297f, kSideB = 0.21f;

  // Rows of R from the optical axis (world) and a world direction that is
  // roughly the image's up.
  static Eigen::Matrix3d Rotation(const Eigen::Vector3d& axis, const Eigen::Vector3d& up) {
    const Eigen::Vector3d z = axis.normalized();
    const Eigen::Vector3d y = (z * z.dot(up) - up).normalized();  // image y points down
    Eigen::Matrix3d R;
    R << y.cross(z).transpose(), y.transpose(), z.transpose();
    return R;
  }
  Anchor(const Eigen::Vector3d& axis, const Eigen::Vector3d& up, bool wall,
         const std::vector<u16>& markerTracks = {0, 1, 2, 3}, u32 firstCorner = 0)
      : R(Rotation(axis, up)) {
    const double h = IMU_INITIAL_HEIGHT, a = kSideA / 2, b = kSideB / 2;
    const double along = wall ? axis.normalized().x() : -axis.normalized().z();
    // A camera the layout cannot place still needs a view of the points.
    centre = -axis.normalized() * (std::fabs(along) > 1e-9 ? h / along : 1.5);
    truth = FromEigen<CameraPose>(R, -R * centre);
    for (const auto& [u, v] : {std::pair{a, b}, {-a, b}, {-a, -b}, {a, -b}})
      points.push_back(wall ? Eigen::Vector3d(0, v, u) : Eigen::Vector3d(u, v, 0));
    Random::Seed(77);
    while (points.size() < 44) {
      const double u = UniformD(-0.6, 0.6), v = UniformD(-0.4, 0.4);
      points.push_back(wall ? Eigen::Vector3d(0, u, v) : Eigen::Vector3d(u, v, 0));
    }
    std::rotate(points.begin(), points.begin() + 4, points.begin() + 4 + firstCorner);
    KeyFrameInput input;
    input.pose = truth;
    for (const Eigen::Vector3d& X : points) {
      const Eigen::Vector3d x = R * X + TranslationOf(truth);
      input.normalized[0].PushBack({float(x.x() / x.z()), float(x.y() / x.z())}, 64);
    }
    unit.map->InitializeKeyFrame(input, markerTracks);
    unit.view.Synchronize();
    unit.view.BuildKeyFrameRecords();
    unit.view.KeyFrameNormalized() = unit.map->measurements;
    unit.ring.ResetTo(1);
    TrackerFrame& f = unit.ring[0];
    f.number = 0;
    // The rotation is known (gravity and the sheet); the position is not.
    f.pose.slot[kVisual] = FromEigen<CameraPose>(R, Eigen::Vector3d(0.3, -0.2, 0.5));
    for (u32 t = 0; t < points.size(); ++t) {
      const LA::Vector2<float> x = input.normalized[0][t];
      f.mapMatches[0].push_back({t, t, 0, 0, 0, 0, 0, x.x, x.y, -1});
    }
    f.unsolvedCount = static_cast<u16>(points.size());
  }
  Eigen::Vector3d Point(u32 t) const {
    return Eigen::Map<const Eigen::Vector3f>(unit.view.Working().points[t].v).cast<double>();
  }
  void ExpectAnchored(const MapStart& start, bool wall) {
    EXPECT_TRUE(start.ok && start.anchored && !start.recovering);
    EXPECT_FLOAT_EQ(start.sceneScale, 0.3f);
    const TrackerFrame& f = unit.ring[0];
    EXPECT_LT((CentreOf(f.pose.slot[kVisual]) - centre).norm(), 1e-5);
    EXPECT_LT(RotationDegrees(f.pose.slot[kVisual], truth), 0.01);
    // The ISO step has run before the copies into the predicted slot.
    EXPECT_EQ(units.isoFrames, std::vector<u16>{0});
    EXPECT_TRUE(Same(f.pose.slot[kPredicted], f.pose.slot[kVisual]));
    EXPECT_EQ(f.inlierCount, points.size());
    EXPECT_EQ(f.unsolvedCount, 0);
    const GlobalMap& m = *unit.map;
    ASSERT_EQ(m.PlaneCount(), 1u);
    const float plane[4] = {wall ? -1.0f : 0.0f, 0.0f, wall ? 0.0f : 1.0f, 0.0f};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m.planes[0].v[i], plane[i]);
    EXPECT_EQ(m.planeFlags[0], wall ? 0 : kPlaneGround);
    EXPECT_FLOAT_EQ(m.scale, 0.3f);
    EXPECT_LT((CentreOf(m.keyFramePoses[0]) - centre).norm(), 1e-5);
    for (u32 t = 0; t < points.size(); ++t) {
      EXPECT_LT((Point(t) - points[t]).norm(), 2e-5) << t;
      EXPECT_EQ(m.trackFlags[t] & 0x23, 0x23) << t;
      EXPECT_EQ(m.trackPlanes[t], 0) << t;
      EXPECT_FLOAT_EQ(m.points[t].v[3], 1.0f);
    }
  }
  // The no-marker start: weak scale, recovering, the map as it was.
  void ExpectWeak(const MapStart& start) {
    EXPECT_TRUE(start.recovering && !start.anchored);
    EXPECT_FLOAT_EQ(start.sceneScale, 0.3f * unit.options.initialDepth);
    EXPECT_FLOAT_EQ(start.depthScale, 0.3f / unit.options.initialDepth);
    EXPECT_EQ(unit.map->PlaneCount(), 0u);
    for (u32 t = 0; t < points.size(); ++t)
      EXPECT_EQ(unit.map->trackFlags[t] & kTrackSolved, 0) << t;
    EXPECT_TRUE(units.isoFrames.empty());
  }
  float* Marker(f32 a = kSideA, f32 b = kSideB) {
    marker[8] = a, marker[9] = b;
    return marker;
  }

  UnitContext unit{640, 480, SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f)};
  Units units{unit};
  const Eigen::Matrix3d R;
  Eigen::Vector3d centre;
  CameraPose truth{};
  std::vector<Eigen::Vector3d> points;
  float marker[10] = {100, 100, 200, 100, 200, 200, 100, 200, 0, 0};
};

// From above the sheet lies on the ground, wherever its tracks start; from
// the side it hangs on a wall that is not ground: the global passes would
// turn the gravity-aligned world onto a wall flagged as ground.
TEST(Anchor, TheSheetLiesOnTheGroundFromAboveAndOnAWallFromTheSide) {
  Anchor above({0.2, -0.3, -1.0}, {0, 1, 0}, false);
  above.ExpectAnchored(above.units.init.AnchorToMarker(0, above.Marker()), false);
  EXPECT_NEAR(above.centre.z(), IMU_INITIAL_HEIGHT, 1e-6);
  Anchor later({-0.1, 0.2, -1.0}, {1, 0, 0}, false, {7, 8, 9, 10}, 7);
  later.unit.options.initialDepth = 2.5f;  // the sheet, not the guess, gives the unit
  later.ExpectAnchored(later.units.init.AnchorToMarker(0, later.Marker()), false);
  Anchor side({1.0, 0.3, -0.5}, {0, 0, 1}, true);
  ASSERT_LE(std::fabs(side.truth.m[2][2]), 0.70710677f);
  side.ExpectAnchored(side.units.init.AnchorToMarker(0, side.Marker()), true);
}

TEST(Anchor, FortyFiveDegreesFromTheVerticalDivideFloorAndWall) {
  // Optical axes just either side of 45 degrees from world z.
  MarkerLayout layout;
  for (const double z : {-0.705, -0.709}) {
    const Eigen::Vector3d axis(std::sqrt(1.0 - z * z), 0.0, z);
    const CameraPose pose = FromEigen<CameraPose>(Anchor::Rotation(axis, {0, 0, 1}));
    ASSERT_TRUE(ComputeMarkerLayout(pose, 1.1f, Anchor::kSideA, Anchor::kSideB, layout));
    EXPECT_EQ(layout.wall, z > -0.7071);
    // The map origin lies on the optical axis, at the height h from the plane.
    const Eigen::Vector3d c(layout.centre[0], layout.centre[1], layout.centre[2]);
    EXPECT_LT((c + axis * (c.norm())).norm(), 1e-5);
    EXPECT_NEAR(layout.wall ? -c.x() : c.z(), 1.1, 1e-6);
  }
}

// Records that cannot anchor; a camera along world y, where r20 = r22 = 0
// leaves the side layout's centre open; fewer than four marker tracks, or
// marker tracks at the end of the list.
TEST(Anchor, WhatCannotAnchorTakesTheWeakStart) {
  Anchor a({0.2, -0.3, -1.0}, {0, 1, 0}, false);
  a.ExpectWeak(a.units.init.AnchorToMarker(0, nullptr));
  // The weak start's unit puts the scene at the initial depth, and its key
  // frames are spaced in that unit.
  a.unit.options.initialDepth = 2.5f;
  a.ExpectWeak(a.units.init.AnchorToMarker(0, nullptr));
  a.unit.options.initialDepth = 1.0f;
  a.ExpectWeak(a.units.init.AnchorToMarker(0, a.Marker(-1.0f, -1.0f)));  // a failed detection
  a.ExpectWeak(a.units.init.AnchorToMarker(0, a.Marker(Anchor::kSideA, 0.0f)));
  for (const int i : {3, 9}) {
    float* m = a.Marker();
    m[3] = 100.0f;
    m[i] = i == 3 ? NAN : INFINITY;
    a.ExpectWeak(a.units.init.AnchorToMarker(0, m));
  }
  Anchor alongY({0.0, 1.0, 0.0}, {0, 0, 1}, false);
  ASSERT_EQ(alongY.truth.m[2][0], 0.0f);
  alongY.ExpectWeak(alongY.units.init.AnchorToMarker(0, alongY.Marker()));
  for (const std::vector<u16>& tracks : {std::vector<u16>{0, 1, 2}, {42, 43}}) {
    Anchor b({0.2, -0.3, -1.0}, {0, 1, 0}, false, tracks);
    b.ExpectWeak(b.units.init.AnchorToMarker(0, b.Marker()));
  }
}

TEST(Anchor, RaysAlongOrAwayFromThePlaneStayUnsolved) {
  Anchor a({0.0, -0.6, -1.0}, {0, 1, 0}, false);
  const Eigen::Matrix3d& R = a.R;
  // Normalised y where the ray runs parallel to the floor (x = 0), and a
  // little above it, where it meets the floor's plane behind the camera.
  const float yParallel = static_cast<float>(-R(2, 2) / R(1, 2));
  TrackerFrame& f = a.unit.ring[0];
  f.mapMatches[0][10].nx = 0.0f, f.mapMatches[0][10].ny = yParallel;
  f.mapMatches[0][11].nx = 0.0f, f.mapMatches[0][11].ny = yParallel + (R(1, 2) > 0 ? 0.1f : -0.1f);
  EXPECT_TRUE(a.units.init.AnchorToMarker(0, a.Marker()).anchored);
  for (u32 t : {10u, 11u}) {
    EXPECT_EQ(a.unit.map->trackFlags[t] & kTrackSolved, 0) << t;
    EXPECT_EQ(a.unit.map->trackPlanes[t], kNone16) << t;
  }
  for (u32 t : {9u, 12u}) EXPECT_LT((a.Point(t) - a.points[t]).norm(), 2e-5) << t;
  EXPECT_EQ(f.inlierCount, a.points.size() - 2);
  EXPECT_EQ(f.unsolvedCount, 2);
}

// The synthetic map (cameras looking at the ground z = 0, world z their
// gravity) with its wall y = 1 flagged `wallFlag` and no marker track: the
// worst angle between a key frame's world z seen from its body and the
// truth's after two global passes from points 3 cm off.
f64 WorstGravityAfterTwoPasses(u8 wallFlag) {
  SyntheticMapOptions o;
  o.seed = 5;
  o.keyFrames = 10;
  o.planes = 2;
  o.ground = false;
  o.pointsPerPlane = 240;
  o.clutterPoints = 60;
  o.featureNoise = 0.7f;
  SyntheticMap scene(o);
  GlobalMap map;
  scene.Build(map);
  BundleAdjustorGlobal ba(&map, 0, "");
  PlaneDistanceThreshold = 0.05f;
  map.planeFlags[1] = wallFlag;
  Random::Seed(4);
  for (u32 t = 0; t < map.TrackCount(); ++t)
    for (int k = 0; k < 3; ++k) map.points[t].v[k] += 0.03f * Uniform(-1.0f, 1.0f);
  const u8 request = 0;
  for (int pass = 0; pass < 2; ++pass) ba.Run(&request);
  f64 worst = 0.0;
  for (u32 k = 0; k < map.KeyFrameCount(); ++k) {
    f32 q[4];
    for (int i = 0; i < 4; ++i) q[i] = static_cast<f32>(map.keyFrameStates[k].quaternion[i]);
    LA::AlignedMatrix3f R;
    LA::QuaternionToRotationMatrix(q, R);
    const CameraPose& truth = scene.TruePose(scene.KeyFramePoses()[k]);
    const Eigen::Vector3d z(R.m[0][2], R.m[1][2], R.m[2][2]),
        zTrue(truth.m[0][2], truth.m[1][2], truth.m[2][2]);
    worst = std::max(
        worst, std::acos(std::min(1.0, z.normalized().dot(zTrue.normalized()))) * 180.0 / M_PI);
  }
  return worst;
}

// Released from its marker points, a side-anchored map keeps its gravity
// through two global passes; a wall flagged as ground would pull the world
// toward it.
TEST(Anchor, ASideAnchoredMapKeepsItsGravityOnceTheMarkerIsReleased) {
  Anchor side({1.0, 0.3, -0.5}, {0, 0, 1}, true);
  ASSERT_TRUE(side.units.init.AnchorToMarker(0, side.Marker()).anchored);
  EXPECT_LT(WorstGravityAfterTwoPasses(side.unit.map->planeFlags[0]), 0.5);
  EXPECT_GT(WorstGravityAfterTwoPasses(kPlaneGround), 1.0);
}

}  // namespace
