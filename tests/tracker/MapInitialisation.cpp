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
        init(context, pose, newPoints, [this](u16 frame) {
          isoFrames.push_back(frame);
          return 0;
        }) {}
  TrackerContext context;
  PoseEstimation pose;
  NewPoints newPoints;
  MapInitialisation init;
  std::vector<u16> isoFrames;
};

// ---- Two views -------------------------------------------------------------

// Key frame 0 at the origin, the mid-way key frame whose map pose is a few
// pixels off, two ring frames without a pose and the current frame 0.7 away
// from key frame 0: the true scene has the map's initial scale.
struct TwoViewTest : ::testing::Test {
  static constexpr u16 kCurrent = 2;
  const Eigen::Vector3d kOrigin{0.1, -0.05, 0.02};
  void Build(const CameraPose& current, double noise = 0.3) {
    // Key frame 0 away from the identity: the relative pose goes after its.
    truth = {NewPointsScene::Pose(kOrigin, 4.0),
             NewPointsScene::Pose(kOrigin + Eigen::Vector3d(0.34, 0.03, 0.07), -3.0),
             NewPointsScene::Pose(kOrigin + Eigen::Vector3d(0.15, 0.01, 0.03), -1.0),
             NewPointsScene::Pose(kOrigin + Eigen::Vector3d(0.5, 0.04, 0.1), -4.0), current};
    scene.Build(NewPointsScene::RandomPoints(200, 31), {truth[0], truth[1]},
                {truth[2], truth[3], truth[4]}, noise, 32);
    // The mid-way key frame as the inertial prediction left it.
    const Eigen::Matrix3d dR =
        Eigen::AngleAxisd(0.3 * M_PI / 180.0, Eigen::Vector3d(1, 2, 0).normalized())
            .toRotationMatrix();
    const Eigen::Vector3d c = CentreOf(truth[1]) + Eigen::Vector3d(0.01, -0.01, 0.01);
    const Eigen::Matrix3d R = dR * ToEigen(truth[1]);
    const CameraPose off = FromEigen<CameraPose>(R, -R * c);
    scene.Working().keyFramePoses[1] = off;
    scene.unit.map->keyFramePoses[1] = off;
    for (u16 s = 0; s < 2; ++s) scene.unit.ring[s].pose.slot[kVisual] = Unset();
    scene.unit.ring[kCurrent].pose.slot[kVisual] = truth[0];
  }
  double PointError(u32 track) {
    return (scene.Point(track) - scene.points[track]).norm() / scene.points[track].norm();
  }

  NewPointsScene scene;
  std::vector<CameraPose> truth;
  Units units{scene.unit};
};

TEST_F(TwoViewTest, BaselineOfSevenTenthsGivesTheSceneItsScale) {
  const Eigen::Vector3d centre = kOrigin + Eigen::Vector3d(0.62, 0.06, 0.31).normalized() * 0.7;
  Build(NewPointsScene::Pose(centre, -6.0));
  const MapStart start = units.init.InitializeMap(kCurrent);
  ASSERT_TRUE(start.ok);
  EXPECT_FLOAT_EQ(start.sceneScale, 0.7f);
  EXPECT_FLOAT_EQ(start.depthScale, 0.7f / scene.unit.options.initialDepth);
  EXPECT_FALSE(start.anchored);
  EXPECT_FALSE(start.recovering);
  EXPECT_TRUE(units.isoFrames.empty());

  // The current pose from the essential matrix, scaled to the baseline.
  const CameraPose& f = scene.unit.ring[kCurrent].pose.slot[kVisual];
  EXPECT_NEAR((CentreOf(f) - kOrigin).norm(), 0.7, 1e-4);
  EXPECT_LT((CentreOf(f) - centre).norm(), 0.01);
  EXPECT_LT(RotationDegrees(f, truth[4]), 0.2);
  // Points within 1 % of the scene, which has the map's scale.
  double sum = 0.0, worst = 0.0;
  u32 solved = 0;
  for (u32 t = 0; t < scene.points.size(); ++t) {
    if (!(scene.Flags(t) & kTrackInlier)) continue;
    ++solved;
    sum += PointError(t) * PointError(t);
    worst = std::max(worst, PointError(t));
  }
  EXPECT_GE(solved, 195u);
  EXPECT_LT(std::sqrt(sum / solved), 0.01);
  EXPECT_LT(worst, 0.04);
  // The mid-way key frame was re-estimated, in the map and in the tracker.
  for (const CameraPose* kf :
       {&scene.Working().keyFramePoses[1], &scene.unit.map->keyFramePoses[1]}) {
    // Its points were first triangulated with its pose 17 mm off.
    EXPECT_LT((CentreOf(*kf) - CentreOf(truth[1])).norm(), 0.008);
    EXPECT_LT(RotationDegrees(*kf, truth[1]), 0.1);
  }
  // Ring frames without a pose start from it and are estimated.
  for (u16 s = 0; s < 2; ++s) {
    const CameraPose& g = scene.unit.ring[s].pose.slot[kVisual];
    EXPECT_LT((CentreOf(g) - CentreOf(truth[2 + s])).norm(), 0.005) << s;
    EXPECT_LT(RotationDegrees(g, truth[2 + s]), 0.1) << s;
  }
  // The current frame keeps its own matches.
  EXPECT_EQ(scene.unit.ring[kCurrent].MapMatchCount(), solved);
}

TEST_F(TwoViewTest, ATrackThatFailsTheSecondTriangulationIsUnsolved) {
  Build(NewPointsScene::Pose(kOrigin + Eigen::Vector3d(0.7, 0.0, 0.0), -6.0));
  scene.Displace(kCurrent, 17, 30.0);
  ASSERT_TRUE(units.init.InitializeMap(kCurrent).ok);
  EXPECT_EQ(scene.Flags(17) & (kTrackSolved | kTrackInlier), 0);
  for (const MapMatch& m : scene.unit.ring[kCurrent].mapMatches[0]) EXPECT_NE(m.track, 17u);
  EXPECT_TRUE(scene.Flags(16) & kTrackInlier);
}

TEST_F(TwoViewTest, PureRotationFailsAndChangesNothing) {
  Build(NewPointsScene::Pose(kOrigin, -8.0));
  const std::vector<u8> flags = scene.Working().trackFlags;
  std::vector<CameraPose> poses;
  for (u16 s = 0; s < 3; ++s) poses.push_back(scene.unit.ring[s].pose.slot[kVisual]);
  const CameraPose midway = scene.Working().keyFramePoses[1];
  const MapStart start = units.init.InitializeMap(kCurrent);
  EXPECT_FALSE(start.ok);
  EXPECT_EQ(scene.Working().trackFlags, flags);
  for (u16 s = 0; s < 3; ++s)
    EXPECT_EQ(std::memcmp(&poses[s], &scene.unit.ring[s].pose.slot[kVisual], sizeof(CameraPose)),
              0);
  EXPECT_EQ(std::memcmp(&midway, &scene.unit.map->keyFramePoses[1], sizeof(CameraPose)), 0);
  EXPECT_EQ(scene.unit.ring[kCurrent].MapMatchCount(), 200u);
}

TEST_F(TwoViewTest, FewerMatchesThanASampleFail) {
  Build(NewPointsScene::Pose(kOrigin + Eigen::Vector3d(0.7, 0.0, 0.0), -6.0));
  scene.unit.ring[kCurrent].mapMatches[0].resize(4);
  EXPECT_FALSE(units.init.InitializeMap(kCurrent).ok);
  EXPECT_EQ(scene.Working().trackFlags, std::vector<u8>(200, 0));
}

// ---- Marker anchoring ------------------------------------------------------

// A camera whose optical axis passes through the map origin from the
// configured height (above the floor, or in front of the wall x = 0), the
// sheet's four corners as tracks 0-3 of the first key frame and further
// points of the sheet's plane after them, all matched in ring slot 0.
struct AnchorTest : ::testing::Test {
  static constexpr f32 kSideA = 0.297f, kSideB = 0.21f;
  static constexpr u32 kPlanePoints = 40;

  // Rows of R from the optical axis (world) and a world direction that is
  // roughly the image's up.
  static Eigen::Matrix3d Rotation(const Eigen::Vector3d& axis, const Eigen::Vector3d& up) {
    const Eigen::Vector3d z = axis.normalized();
    const Eigen::Vector3d y = (z * z.dot(up) - up).normalized();  // image y points down
    Eigen::Matrix3d R;
    R.row(0) = y.cross(z);
    R.row(1) = y;
    R.row(2) = z;
    return R;
  }
  // The corners are tracks firstCorner to firstCorner + 3.
  void Build(const Eigen::Matrix3d& R, bool wall,
             const std::vector<u16>& markerTracks = {0, 1, 2, 3}, u32 firstCorner = 0) {
    const double h = IMU_INITIAL_HEIGHT, a = kSideA / 2, b = kSideB / 2;
    const Eigen::Vector3d axis = R.row(2).transpose();
    const double along = wall ? axis.x() : -axis.z();
    // A camera the layout cannot place still needs a view of the points.
    centre = -axis * (std::fabs(along) > 1e-9 ? h / along : 1.5);
    truth = FromEigen<CameraPose>(R, -R * centre);
    points.clear();
    if (wall) {
      for (const auto& c : {Eigen::Vector3d(0, b, a), Eigen::Vector3d(0, b, -a),
                            Eigen::Vector3d(0, -b, -a), Eigen::Vector3d(0, -b, a)})
        points.push_back(c);
    } else {
      for (const auto& c : {Eigen::Vector3d(a, b, 0), Eigen::Vector3d(-a, b, 0),
                            Eigen::Vector3d(-a, -b, 0), Eigen::Vector3d(a, -b, 0)})
        points.push_back(c);
    }
    Random::Seed(77);
    while (points.size() < 4 + kPlanePoints) {
      const double u = UniformD(-0.6, 0.6), v = UniformD(-0.4, 0.4);
      points.push_back(wall ? Eigen::Vector3d(0, u, v) : Eigen::Vector3d(u, v, 0));
    }
    std::rotate(points.begin(), points.begin() + 4, points.begin() + 4 + firstCorner);
    KeyFrameInput input;
    input.pose = truth;
    for (const Eigen::Vector3d& X : points) input.normalized[0].PushBack(Observe(X), 64);
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
  LA::Vector2<float> Observe(const Eigen::Vector3d& X) const {
    const Eigen::Vector3d x = ToEigen(truth) * X + TranslationOf(truth);
    return {static_cast<float>(x.x() / x.z()), static_cast<float>(x.y() / x.z())};
  }
  Eigen::Vector3d Point(u32 t) const {
    return Eigen::Map<const Eigen::Vector3f>(unit.view.Working().points[t].v).cast<double>();
  }
  void ExpectAnchored(const MapStart& start, const float plane[4], u8 planeFlag) {
    EXPECT_TRUE(start.ok);
    EXPECT_TRUE(start.anchored);
    EXPECT_FALSE(start.recovering);
    EXPECT_FLOAT_EQ(start.sceneScale, 0.3f);
    const TrackerFrame& f = unit.ring[0];
    EXPECT_LT((CentreOf(f.pose.slot[kVisual]) - centre).norm(), 1e-5);
    EXPECT_LT(RotationDegrees(f.pose.slot[kVisual], truth), 0.01);
    for (const GlobalMap* m : {unit.map.get()}) {
      ASSERT_EQ(m->PlaneCount(), 1u);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(m->planes[0].v[i], plane[i]);
      EXPECT_EQ(m->planeFlags[0], planeFlag);
      EXPECT_FLOAT_EQ(m->scale, 0.3f);
      EXPECT_LT((CentreOf(m->keyFramePoses[0]) - centre).norm(), 1e-5);
    }
    for (u32 t = 0; t < points.size(); ++t) {
      EXPECT_LT((Point(t) - points[t]).norm(), 2e-5) << t;
      EXPECT_EQ(unit.map->trackFlags[t] & 0x23, 0x23) << t;
      EXPECT_EQ(unit.map->trackPlanes[t], 0) << t;
      EXPECT_FLOAT_EQ(unit.map->points[t].v[3], 1.0f);
    }
    EXPECT_EQ(isoCalls(), 1u);
  }
  // The no-marker start: weak scale, recovering, the map as it was.
  void ExpectWeak(const MapStart& start) {
    EXPECT_TRUE(start.recovering);
    EXPECT_FALSE(start.anchored);
    EXPECT_FLOAT_EQ(start.sceneScale, 0.3f);
    EXPECT_FLOAT_EQ(start.depthScale, 0.3f / unit.options.initialDepth);
    EXPECT_EQ(unit.map->PlaneCount(), 0u);
    for (u32 t = 0; t < points.size(); ++t)
      EXPECT_EQ(unit.map->trackFlags[t] & kTrackSolved, 0) << t;
    EXPECT_EQ(isoCalls(), 0u);
  }
  size_t isoCalls() const { return units.isoFrames.size(); }
  float* Marker(f32 a = kSideA, f32 b = kSideB) {
    marker[8] = a, marker[9] = b;
    return marker;
  }

  UnitContext unit{640, 480, SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f)};
  Units units{unit};
  Eigen::Vector3d centre;
  CameraPose truth{};
  std::vector<Eigen::Vector3d> points;
  float marker[10] = {100, 100, 200, 100, 200, 200, 100, 200, 0, 0};
};

const float kFloor[4] = {0, 0, 1, 0};
const float kWall[4] = {-1, 0, 0, 0};

TEST_F(AnchorTest, FromAboveTheSheetLiesOnTheGround) {
  Build(Rotation({0.2, -0.3, -1.0}, {0, 1, 0}), false);
  const MapStart start = units.init.AnchorToMarker(0, Marker());
  ExpectAnchored(start, kFloor, kPlaneGround);
  EXPECT_NEAR(centre.z(), IMU_INITIAL_HEIGHT, 1e-6);
  EXPECT_EQ(unit.ring[0].inlierCount, points.size());
  EXPECT_EQ(unit.ring[0].unsolvedCount, 0);
  // The ISO step has run before the copies into the predicted slot.
  EXPECT_EQ(units.isoFrames, std::vector<u16>{0});
  const TrackerFrame& f = unit.ring[0];
  EXPECT_EQ(std::memcmp(&f.pose.slot[kPredicted], &f.pose.slot[kVisual], sizeof(CameraPose)), 0);
}

TEST_F(AnchorTest, TheSheetsTracksStartAtTheFirstMarkerTrack) {
  Build(Rotation({-0.1, 0.2, -1.0}, {1, 0, 0}), false, {7, 8, 9, 10}, 7);
  ExpectAnchored(units.init.AnchorToMarker(0, Marker()), kFloor, kPlaneGround);
}

TEST_F(AnchorTest, FortyFiveDegreesFromTheVerticalDivideFloorAndWall) {
  // Optical axes just either side of 45 degrees from world z.
  MarkerLayout layout;
  for (const double z : {-0.705, -0.709}) {
    const Eigen::Vector3d axis(std::sqrt(1.0 - z * z), 0.0, z);
    const CameraPose pose = FromEigen<CameraPose>(Rotation(axis, {0, 0, 1}));
    ASSERT_TRUE(ComputeMarkerLayout(pose, 1.1f, kSideA, kSideB, layout));
    EXPECT_EQ(layout.wall, z > -0.7071);
    // The map origin lies on the optical axis, at the height h from the plane.
    const Eigen::Vector3d c(layout.centre[0], layout.centre[1], layout.centre[2]);
    EXPECT_LT((c + axis * (c.norm())).norm(), 1e-5);
    EXPECT_NEAR(layout.wall ? -c.x() : c.z(), 1.1, 1e-6);
  }
}

TEST_F(AnchorTest, FromTheSideTheSheetHangsOnAWallThatIsNotGround) {
  Build(Rotation({1.0, 0.3, -0.5}, {0, 0, 1}), true);
  ASSERT_LE(std::fabs(truth.m[2][2]), 0.70710677f);
  ExpectAnchored(units.init.AnchorToMarker(0, Marker()), kWall, 0);
}

TEST_F(AnchorTest, RecordsThatCannotAnchorTakeTheWeakStart) {
  Build(Rotation({0.2, -0.3, -1.0}, {0, 1, 0}), false);
  ExpectWeak(units.init.AnchorToMarker(0, nullptr));
  ExpectWeak(units.init.AnchorToMarker(0, Marker(-1.0f, -1.0f)));  // a failed detection
  ExpectWeak(units.init.AnchorToMarker(0, Marker(kSideA, 0.0f)));
  float* m = Marker();
  m[3] = NAN;
  ExpectWeak(units.init.AnchorToMarker(0, m));
  m[3] = 100.0f;
  m[9] = INFINITY;
  ExpectWeak(units.init.AnchorToMarker(0, m));
}

TEST_F(AnchorTest, ACameraAlongWorldYLeavesTheWallCentreOpen) {
  // r20 = 0 and r22 = 0: the side layout's system is singular.
  Build(Rotation({0.0, 1.0, 0.0}, {0, 0, 1}), false);
  ASSERT_EQ(truth.m[2][0], 0.0f);
  ExpectWeak(units.init.AnchorToMarker(0, Marker()));
}

TEST_F(AnchorTest, FewerThanFourMarkerTracksTakeTheWeakStart) {
  Build(Rotation({0.2, -0.3, -1.0}, {0, 1, 0}), false, {0, 1, 2});
  ExpectWeak(units.init.AnchorToMarker(0, Marker()));
}

TEST_F(AnchorTest, MarkerTracksAtTheEndOfTheListTakeTheWeakStart) {
  Build(Rotation({0.2, -0.3, -1.0}, {0, 1, 0}), false, {42, 43});
  ExpectWeak(units.init.AnchorToMarker(0, Marker()));
}

TEST_F(AnchorTest, RaysAlongOrAwayFromThePlaneStayUnsolved) {
  const Eigen::Matrix3d R = Rotation({0.0, -0.6, -1.0}, {0, 1, 0});
  Build(R, false);
  // Normalised y where the ray runs parallel to the floor (x = 0), and a
  // little above it, where it meets the floor's plane behind the camera.
  const float yParallel = static_cast<float>(-R(2, 2) / R(1, 2));
  TrackerFrame& f = unit.ring[0];
  f.mapMatches[0][10].nx = 0.0f, f.mapMatches[0][10].ny = yParallel;
  f.mapMatches[0][11].nx = 0.0f, f.mapMatches[0][11].ny = yParallel + (R(1, 2) > 0 ? 0.1f : -0.1f);
  const MapStart start = units.init.AnchorToMarker(0, Marker());
  EXPECT_TRUE(start.anchored);
  for (u32 t : {10u, 11u}) {
    EXPECT_EQ(unit.map->trackFlags[t] & kTrackSolved, 0) << t;
    EXPECT_EQ(unit.map->trackPlanes[t], kNone16) << t;
  }
  for (u32 t : {9u, 12u}) EXPECT_LT((Point(t) - points[t]).norm(), 2e-5) << t;
  EXPECT_EQ(f.inlierCount, points.size() - 2);
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

TEST_F(AnchorTest, ASideAnchoredMapKeepsItsGravityOnceTheMarkerIsReleased) {
  Build(Rotation({1.0, 0.3, -0.5}, {0, 0, 1}), true);
  ASSERT_TRUE(units.init.AnchorToMarker(0, Marker()).anchored);
  const u8 wallFlag = unit.map->planeFlags[0];
  EXPECT_LT(WorstGravityAfterTwoPasses(wallFlag), 1.0);
  // The contrast: a wall flagged as ground turns the world onto it.
  EXPECT_GT(WorstGravityAfterTwoPasses(kPlaneGround), 5.0);
}

}  // namespace
