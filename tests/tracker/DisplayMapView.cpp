// The 3-D map view without a window: rotation and frustum geometry against
// known answers, the trackball, the projection through unprojected pixels,
// the view scale, plane grid frames and the track filter.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <memory>

#include "common/tracker/DisplayScene.h"
#include "la/Random.h"
#include "tracker/Tracker.h"

namespace {

using display_scene::Scene;

float Det(const float R[3][3]) {
  return R[0][0] * (R[1][1] * R[2][2] - R[1][2] * R[2][1]) -
         R[0][1] * (R[1][0] * R[2][2] - R[1][2] * R[2][0]) +
         R[0][2] * (R[1][0] * R[2][1] - R[1][1] * R[2][0]);
}

void Apply(const float R[3][3], const float a[3], float out[3]) {
  for (int r = 0; r < 3; ++r) out[r] = R[r][0] * a[0] + R[r][1] * a[1] + R[r][2] * a[2];
}

// R is a rotation: R^T R = I and det +1, no NaN anywhere.
void ExpectRotation(const float R[3][3], float tolerance = 1e-5f) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      ASSERT_TRUE(std::isfinite(R[i][j]));
      const float d = R[0][i] * R[0][j] + R[1][i] * R[1][j] + R[2][i] * R[2][j];
      EXPECT_NEAR(d, i == j ? 1.0f : 0.0f, tolerance);
    }
  EXPECT_NEAR(Det(R), 1.0f, tolerance);
}

void RandomUnit(float v[3]) {
  float n = 0.0f;
  do {
    for (int k = 0; k < 3; ++k) v[k] = static_cast<float>(Random::Next()) / Random::kMax * 2 - 1;
    n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  } while (n < 0.1f || n > 1.0f);
  for (int k = 0; k < 3; ++k) v[k] /= n;
}

// A tracker over an empty map of the given camera.
struct CameraOnly {
  CameraOnly(u16 w, u16 h, float fx, float fy, float cx, float cy) {
    Intrinsic K;
    K.Set(fx, fy, cx, cy);
    const f64 mounting[7] = {0, 0, 0, 1, 0, 0, 0};
    map = std::make_unique<GlobalMap>(w, h, K, mounting);
    tracker = std::make_unique<Tracker>(*map);
  }
  TrackerDisplay& Display() { return tracker->Display(); }
  std::unique_ptr<GlobalMap> map;
  std::unique_ptr<Tracker> tracker;
};

TEST(DisplayGeometry, RotationBetweenVectorsTakesAOntoBAndNeverNaN) {
  Random::Seed(11);
  for (int trial = 0; trial < 50; ++trial) {
    float a[3], b[3], R[3][3], Ra[3];
    RandomUnit(a);
    RandomUnit(b);
    RotationBetweenVectors(a, b, R);
    ExpectRotation(R);
    Apply(R, a, Ra);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(Ra[k], b[k], 1e-4f) << "trial " << trial;
  }
  // Parallel: the identity (every trackball drag starts this way).
  const float a[3] = {0.0f, 0.6f, -0.8f};
  float R[3][3];
  RotationBetweenVectors(a, a, R);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(R[i][j], i == j ? 1.0f : 0.0f);
  // Opposite: a half turn, a proper rotation taking a onto -a.
  const float opposite[][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {0.48f, 0.6f, 0.64f}};
  for (const auto& v : opposite) {
    const float n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const float u[3] = {v[0] / n, v[1] / n, v[2] / n}, minus[3] = {-u[0], -u[1], -u[2]};
    float H[3][3], Hu[3];
    RotationBetweenVectors(u, minus, H);
    ExpectRotation(H);
    Apply(H, u, Hu);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(Hu[k], -u[k], 1e-5f);
  }
}

TEST(DisplayGeometry, PlaneRotationTurnsTheNormalOntoZAsAProperRotation) {
  // Including both axis-aligned normals: -z must not become a mirror.
  const float normals[][3] = {{0, 0, 1},       {0, 0, -1}, {1, 0, 0},        {0, -0.6f, -0.8f},
                              {0.6f, 0, 0.8f}, {0, 1, 0},  {1e-5f, 0, -1.0f}};
  for (const auto& n : normals) {
    float R[3][3], Rn[3];
    PlaneRotation(n, R);
    ExpectRotation(R);
    Apply(R, n, Rn);
    EXPECT_NEAR(Rn[0], 0.0f, 1e-4f);
    EXPECT_NEAR(Rn[1], 0.0f, 1e-4f);
    EXPECT_NEAR(Rn[2], 1.0f, 1e-4f) << n[0] << " " << n[1] << " " << n[2];
  }
}

TEST(DisplayGeometry, InvertedPoseUndoesThePoseAndQuaternionMatchesTheFloatHelper) {
  const double q[4] = {0.1, -0.3, 0.2, 0.927362};  // unit to 1e-6
  float R[3][3];
  QuaternionToRotation3f(q, R);
  const float qf[4] = {0.1f, -0.3f, 0.2f, 0.927362f};
  LA::AlignedMatrix3f M;
  LA::QuaternionToRotationMatrix(qf, M);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(R[i][j], M.m[i][j], 1e-6f);

  float pose[3][4], inverse[3][4], is[3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose[r][c] = R[r][c];
    pose[r][3] = 0.5f * r - 1.0f;
  }
  const float scale[3] = {2.0f, 0.5f, 0.0f};
  InvertScaledPose(pose, scale, inverse, is);
  // inverse after pose is the identity on a point.
  const float X[3] = {0.3f, -1.2f, 2.5f};
  float x[3], back[3];
  for (int r = 0; r < 3; ++r)
    x[r] = pose[r][0] * X[0] + pose[r][1] * X[1] + pose[r][2] * X[2] + pose[r][3];
  for (int r = 0; r < 3; ++r)
    back[r] = inverse[r][0] * x[0] + inverse[r][1] * x[1] + inverse[r][2] * x[2] + inverse[r][3];
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[k], X[k], 1e-5f);
  EXPECT_FLOAT_EQ(is[0], 0.5f);
  EXPECT_FLOAT_EQ(is[1], 2.0f);
  EXPECT_EQ(is[2], 0.0f);  // no inf for a zero scale
}

TEST(DisplayGeometry, RectangleOutlineIsFourClosedEdges) {
  float v[8][2];
  DrawRectangleOutline(1.0f, 2.0f, 3.0f, 4.0f, v);
  const float corners[4][2] = {{-2, -2}, {4, -2}, {4, 6}, {-2, 6}};
  for (int e = 0; e < 4; ++e) {
    EXPECT_EQ(v[2 * e][0], corners[e][0]);
    EXPECT_EQ(v[2 * e][1], corners[e][1]);
    // Each edge ends where the next begins.
    EXPECT_EQ(v[2 * e + 1][0], v[(2 * e + 2) % 8][0]);
    EXPECT_EQ(v[2 * e + 1][1], v[(2 * e + 2) % 8][1]);
  }
}

TEST(DisplayGeometry, FrustumCornersProjectOntoTheImageCorners) {
  Scene scene;
  const CameraPose& pose = scene.KeyFramePose(1);
  const Intrinsic& K = scene.Camera().intrinsic[0];
  const float w = display_scene::kWidth, h = display_scene::kHeight, s = 0.3f;
  const float size[4] = {0.5f * w * s / K.fx[0], 0.5f * h * s / K.fy[0], s, 1.0f};
  float points[5][3], axes[3][3], centre[3];
  ComputeFrustum(pose, size, points, axes);
  CameraCentre(pose, centre);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(points[0][k], centre[k], 1e-5f);
  // Top-left, top-right, bottom-right, bottom-left of the image, at depth s.
  const float expected[4][2] = {{K.cx[0] - w / 2, K.cy[0] - h / 2},
                                {K.cx[0] + w / 2, K.cy[0] - h / 2},
                                {K.cx[0] + w / 2, K.cy[0] + h / 2},
                                {K.cx[0] - w / 2, K.cy[0] + h / 2}};
  for (int k = 0; k < 4; ++k) {
    float uv[2], depth = 0.0f;
    ASSERT_TRUE(display_scene::ProjectToLevel(pose, K, points[k + 1], uv, &depth));
    EXPECT_NEAR(depth, s, 1e-4f);
    EXPECT_NEAR(uv[0], expected[k][0], 1e-2f) << "corner " << k;
    EXPECT_NEAR(uv[1], expected[k][1], 1e-2f) << "corner " << k;
  }
  // The third axis is the viewing direction, s long.
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(axes[2][r] - centre[r], s * pose.m[2][r], 1e-5f);
  // An unset size (before the view was centred) collapses onto the centre.
  const float none[4] = {0, 0, 0, 1};
  ComputeFrustum(pose, none, points, nullptr);
  for (int k = 1; k < 5; ++k)
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(points[k][r], centre[r], 1e-6f);
}

TEST(DisplayGeometry, ArcballDragTurnsTheStartPointOntoTheCurrentOne) {
  Arcball ball;
  const float centre[3] = {0.0f, 0.0f, 2.0f};
  ball.Reset(centre, 1.0f);
  const float identity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  // Points are rays from the camera: (0, 0, 1) meets the centre's plane at the centre.
  const float press[3] = {0.0f, 0.0f, 1.0f};
  ball.Begin(press, identity);
  EXPECT_NEAR(ball.start[2], -1.0f, 1e-6f);  // the near pole faces the camera
  float R[3][3];
  ball.Drag(press, R);  // no motion: no rotation, and no NaN
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(R[i][j], identity[i][j], 1e-6f);
  // Half a radius to the right on the sphere: (0.5, 0, -sqrt(0.75)).
  const float right[3] = {0.25f, 0.0f, 1.0f};
  ball.Drag(right, R);
  ExpectRotation(R);
  const float pole[3] = {0, 0, -1};
  float moved[3];
  Apply(R, pole, moved);
  EXPECT_NEAR(moved[0], 0.5f, 1e-5f);
  EXPECT_NEAR(moved[1], 0.0f, 1e-5f);
  EXPECT_NEAR(moved[2], -std::sqrt(0.75f), 1e-5f);
  // Sphere and hyperbola meet at r / sqrt(2), and far drags stay finite.
  float in[3], out[3];
  const float edge = 1.0f / std::sqrt(2.0f);
  const float justIn[3] = {0.5f * (edge - 1e-4f), 0.0f, 1.0f};
  const float justOut[3] = {0.5f * (edge + 1e-4f), 0.0f, 1.0f};
  ball.Project(justIn, in);
  ball.Project(justOut, out);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(in[k], out[k], 1e-3f);
  const float far[3] = {50.0f, -30.0f, 1.0f};
  ball.Drag(far, R);
  ExpectRotation(R);
  // The rotation at the press is kept: the drag comes after it.
  ball.Begin(press, R);
  float R2[3][3];
  ball.Drag(press, R2);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(R2[i][j], R[i][j], 1e-6f);
}

TEST(DisplayMapView, ViewScaleTakesTheNarrowerFieldOfView) {
  CameraOnly a(640, 480, 500.0f, 500.0f, 320.0f, 240.0f);
  EXPECT_NEAR(a.Display().ComputeViewScale(1.0f, 1.0f), 0.96f, 1e-6f);
  EXPECT_NEAR(a.Display().ComputeViewScale(2.0f, 0.4f), 0.768f, 1e-6f);
  CameraOnly b(640, 480, 800.0f, 500.0f, 320.0f, 240.0f);
  EXPECT_NEAR(b.Display().ComputeViewScale(1.0f, 1.0f), 0.8f, 1e-6f);
}

TEST(DisplayMapView, UnprojectedPixelsLieOnTheirCameraRays) {
  // An off-centre principal point: the projection's shift must put it on its pixel.
  const float f = 500.0f, cx = 300.0f, cy = 260.0f;
  CameraOnly c(640, 480, f, f, cx, cy);
  TrackerDisplay& d = c.Display();
  d.SetupProjection();
  d.SetupView();
  const int pixels[][2] = {{300, 260}, {0, 0}, {639, 10}, {17, 470}};
  for (const auto& p : pixels) {
    const LA::AlignedVector4f X = d.UnprojectPoint(CVD::ImageRef(p[0], p[1]));
    ASSERT_GT(X.v[2], 0.0f);  // in front: +z forward
    EXPECT_NEAR(X.v[0] / X.v[2], (p[0] - cx) / f, 1e-4f);
    EXPECT_NEAR(X.v[1] / X.v[2], (p[1] - cy) / f, 1e-4f);  // +y down
    EXPECT_EQ(X.v[3], 1.0f);
    const LA::AlignedVector4f Y = d.UnprojectAtDepth(CVD::ImageRef(p[0], p[1]), 3.0f);
    EXPECT_FLOAT_EQ(Y.v[2], 3.0f);
    EXPECT_NEAR(Y.v[0], 3.0f * (p[0] - cx) / f, 1e-3f);
    EXPECT_NEAR(Y.v[1], 3.0f * (p[1] - cy) / f, 1e-3f);
  }
}

TEST(DisplayMapView, PlaneGridsLieInTheirPlanesAndSpanTheirInliers) {
  Scene scene;
  MapWorkingCopy& w = scene.tracker.MapView().Working();
  TrackerDisplay& d = scene.tracker.Display();
  // A second plane facing -z with no tracks, and a tilted third one.
  w.planes.PushBack16(LA::AlignedVector4f{{0.0f, 0.0f, -1.0f, 2.0f}});
  w.planes.PushBack16(LA::AlignedVector4f{{0.0f, 0.6f, -0.8f, 1.0f}});
  d.UpdatePlaneGrids();
  ASSERT_EQ(d.PlaneFrame(3), nullptr);
  for (u16 p = 0; p < 3; ++p) {
    const LA::AlignedMatrix4f& F = *d.PlaneFrame(p);
    float R[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) R[r][c] = F.m[c][r];  // column-major
    ExpectRotation(R);
    // Grid points (u, v, 0) land on n . X + d = 0.
    const float* n = w.planes[p].v;
    for (const float u : {-3.0f, 0.0f, 2.5f})
      for (const float v : {-1.0f, 4.0f}) {
        float X[3];
        for (int r = 0; r < 3; ++r) X[r] = F.m[0][r] * u + F.m[1][r] * v + F.m[3][r];
        EXPECT_NEAR(n[0] * X[0] + n[1] * X[1] + n[2] * X[2] + n[3], 0.0f, 1e-5f) << "plane " << p;
      }
  }
  // Plane 0's extent holds the plane coordinates of each of its inlier points.
  const float* e = d.PlaneExtent(0)->v;
  ASSERT_LE(e[0], e[2]);
  ASSERT_LE(e[1], e[3]);
  const LA::AlignedMatrix4f& F = *d.PlaneFrame(0);
  u32 counted = 0;
  for (u32 t = 0; t < scene.TrackCount(); ++t) {
    if (w.trackPlanes[t] != 0 || !(w.trackFlags[t] & kTrackInlier)) continue;
    const float* X = w.points[t].v;
    float D[3];
    for (int r = 0; r < 3; ++r) D[r] = X[r] - F.m[3][r];
    const float u = F.m[0][0] * D[0] + F.m[0][1] * D[1] + F.m[0][2] * D[2];
    const float v = F.m[1][0] * D[0] + F.m[1][1] * D[1] + F.m[1][2] * D[2];
    EXPECT_GE(u, e[0] - 1e-5f);
    EXPECT_LE(u, e[2] + 1e-5f);
    EXPECT_GE(v, e[1] - 1e-5f);
    EXPECT_LE(v, e[3] + 1e-5f);
    ++counted;
  }
  EXPECT_GT(counted, 10u);
  // The plane without inliers has no extent (DrawPlanes skips it).
  EXPECT_EQ(d.PlaneExtent(1)->v[0], FLT_MAX);
  EXPECT_EQ(d.PlaneExtent(1)->v[2], -FLT_MAX);
}

TEST(DisplayMapView, FilterTrackFollowsItsTable) {
  Scene scene;
  MapWorkingCopy& w = scene.tracker.MapView().Working();
  TrackerDisplay& d = scene.tracker.Display();
  const u8 S = kTrackSolved, I = kTrackInlier, U = kTrackUnreliable;
  const u8 flags[] = {
      0, S, static_cast<u8>(S | I), static_cast<u8>(S | I | U), U, static_cast<u8>(S | U)};
  for (u32 t = 0; t < 6; ++t) w.trackFlags[t] = flags[t];
  // Hidden (1) per filter 0..5 for the flag sets above.
  const int hidden[6][6] = {
      {1, 1, 1, 1, 1, 1},  // 0: nothing shown
      {0, 0, 0, 0, 0, 0},  // 1: everything
      {1, 1, 0, 1, 1, 1},  // 2: inliers that are reliable
      {1, 0, 1, 1, 1, 0},  // 3: solved outliers
      {1, 1, 1, 0, 0, 0},  // 4: unreliable
      {0, 1, 1, 1, 0, 1},  // 5: unsolved
  };
  for (u32 filter = 0; filter < 6; ++filter) {
    d.SetSetting(kTrackFilter, filter);
    for (u32 t = 0; t < 6; ++t)
      EXPECT_EQ(d.FilterTrack(t), hidden[filter][t] != 0) << "filter " << filter << " track " << t;
  }
  // A track past the arrays is never shown.
  d.SetSetting(kTrackFilter, 1);
  EXPECT_TRUE(d.FilterTrack(static_cast<u32>(w.trackFlags.size())));
}

}  // namespace
