// ctest-env: OPENBLAS_NUM_THREADS=1
// The 3-D map view: without a window, rotation and frustum geometry against
// known answers, the trackball, the projection through unprojected pixels,
// the view scale, centring, plane grid frames and the track filter; in a
// window under Xvfb, the drawn view read back against where the fixed
// scene's cube, grid, frusta, paths and points project (PNGs in
// build/screenshots for a person to look at).
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/tracker/DisplayScene.h"
#include "la/Random.h"
#include "tracker/Tracker.h"

namespace {

using display_scene::ExpectSamePose;
using display_scene::Mid;
using display_scene::ReadBack;
using display_scene::Save;
using display_scene::Scene;
using display_scene::Screenshot;

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
    for (int k = 0; k < 3; ++k)
      v[k] = static_cast<float>(Random::Next()) / static_cast<float>(Random::kMax) * 2 - 1;
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
  const float opposite[][3] = {
      {1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {0.48f, 0.6f, 0.64f}, {0.64f, 0.6f, 0.48f}};
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
  // A ball of no size (a window of no size) puts every press at its near pole.
  Arcball point;
  point.Reset(centre, 0.0f);
  float onSphere[3] = {7.0f, 7.0f, 7.0f};
  point.Project(press, onSphere);
  EXPECT_EQ(onSphere[0], 0.0f);
  EXPECT_EQ(onSphere[1], 0.0f);
  EXPECT_EQ(onSphere[2], -1.0f);
}

TEST(DisplayMapView, ViewScaleTakesTheNarrowerFieldAndPixelsUnprojectOntoTheirRays) {
  CameraOnly a(640, 480, 500.0f, 500.0f, 320.0f, 240.0f);
  EXPECT_NEAR(a.Display().ComputeViewScale(1.0f, 1.0f), 0.96f, 1e-6f);
  EXPECT_NEAR(a.Display().ComputeViewScale(2.0f, 0.4f), 0.768f, 1e-6f);
  CameraOnly b(640, 480, 800.0f, 500.0f, 320.0f, 240.0f);
  EXPECT_NEAR(b.Display().ComputeViewScale(1.0f, 1.0f), 0.8f, 1e-6f);
  // Unprojected pixels lie on their camera rays; an off-centre principal
  // point must land on its pixel.
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

// The median depth of the inlier points a pose sees inside the image.
float MedianDepth(Scene& scene, const CameraPose& pose) {
  std::vector<float> depths;
  const Intrinsic& K = scene.Camera().intrinsic[0];
  for (u32 t = 0; t < scene.TrackCount(); ++t) {
    float uv[2], z = 0.0f;
    if (!(scene.Working().trackFlags[t] & kTrackInlier)) continue;
    if (!display_scene::ProjectToLevel(pose, K, scene.Point(t), uv, &z)) continue;
    if (uv[0] >= 0 && uv[1] >= 0 && uv[0] < display_scene::kWidth && uv[1] < display_scene::kHeight)
      depths.push_back(z);
  }
  std::sort(depths.begin(), depths.end());
  return depths.empty() ? 0.0f : depths[depths.size() / 2];
}

TEST(DisplayMapView, CenterViewShowsTheShownCameraAndTheViewTransformKeepsIt) {
  Scene scene;
  TrackerDisplay& d = scene.tracker.Display();
  d.SetupProjection();
  d.SetupView();
  d.SetCurrentFrame(1);  // key frame 1
  d.CenterView();
  const CameraPose& pose = scene.KeyFramePose(1);
  ExpectSamePose(d.CurrentViewPose(), pose, 1e-6f);
  // The view transform rebuilt from rotation, translation and pivot is the same pose.
  d.UpdateViewTransform();
  ExpectSamePose(d.CurrentViewPose(), pose, 1e-4f);
  // Frusta reach a tenth of the median depth and span the image there.
  const float depth = MedianDepth(scene, pose);
  const float* size = d.FrustumSize();
  const Intrinsic& K = scene.Camera().intrinsic[0];
  EXPECT_NEAR(size[2], 0.1f * depth, 0.005f * depth);
  EXPECT_NEAR(size[0] / size[2], 0.5f * display_scene::kWidth / K.fx[0], 1e-5f);
  EXPECT_NEAR(size[1] / size[2], 0.5f * display_scene::kHeight / K.fy[0], 1e-5f);
  // No window height yet: the wheel step keeps its value; with one it follows the depth.
  EXPECT_EQ(d.WheelStep(), 0.0f);
  scene.tracker.OnResize(CVD::ImageRef(display_scene::kWidth, display_scene::kHeight));
  d.CenterView();
  EXPECT_NEAR(d.WheelStep(), 10.0f * size[2] / display_scene::kHeight * 100.0f, 1e-4f);

  // A drag turns the view about the pivot: the point at the median depth
  // straight ahead stays where it is seen.
  scene.tracker.OnKeyDown(9);  // the 3-D view
  ASSERT_FALSE(d.ImageView());
  const float pivotDepth = 10.0f * size[2];
  float pivot[3];
  for (int r = 0; r < 3; ++r)  // R^T ((0, 0, D) - t)
    pivot[r] =
        pose.m[2][r] * pivotDepth -
        (pose.m[0][r] * pose.m[0][3] + pose.m[1][r] * pose.m[1][3] + pose.m[2][r] * pose.m[2][3]);
  scene.tracker.OnMouseDown(CVD::ImageRef(320, 240), 1);
  scene.tracker.OnMouseDrag(CVD::ImageRef(320, 240), CVD::ImageRef(380, 200), 1);
  const ViewPose& v = d.CurrentViewPose();
  float seen[3];
  for (int r = 0; r < 3; ++r)
    seen[r] = v.m[r][0] * pivot[0] + v.m[r][1] * pivot[1] + v.m[r][2] * pivot[2] + v.m[r][3];
  EXPECT_NEAR(seen[0], 0.0f, 1e-3f);
  EXPECT_NEAR(seen[1], 0.0f, 1e-3f);
  EXPECT_NEAR(seen[2], pivotDepth, 1e-3f);
  EXPECT_GT(std::fabs(v.m[0][2] - pose.m[0][2]), 1e-3f);  // it did turn

  // Centring on an unset pose (every output pose of the ring is) changes nothing.
  const ViewPose before = d.CurrentViewPose();
  d.SetSetting(kPoseSlot, kOutput);
  d.SetCurrentFrame(2 + 1);  // ring slot 1
  d.CenterView();
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(d.CurrentViewPose().m[r][c], before.m[r][c]);
  EXPECT_NEAR(d.FrustumSize()[2], 0.1f * depth, 0.005f * depth);
}

TEST(DisplayMapView, PlaneGridsLieInTheirPlanesAndSpanTheirInliers) {
  Scene scene;
  MapWorkingCopy& w = scene.tracker.MapView().Working();
  TrackerDisplay& d = scene.tracker.Display();
  // A second plane facing -z with no tracks, and a third tilted about both
  // image axes, so that each plane axis mixes all three coordinates.
  w.planes.PushBack16(LA::AlignedVector4f{{0.0f, 0.0f, -1.0f, 2.0f}});
  w.planes.PushBack16(LA::AlignedVector4f{{0.48f, 0.6f, -0.64f, 1.0f}});
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
  // Each plane's extent is exactly the span of its inlier points' plane
  // coordinates: plane 0's from the scene, the tilted plane's from four
  // points put on it.
  const float onTilted[3][3] = {
      {0.0f, 0.0f, 1.5625f}, {1.0f, 1.0f, 3.25f}, {-2.0f, -1.0f, -0.875f}};
  for (const auto& X : onTilted) {
    w.points.PushBack16(LA::AlignedVector4f{{X[0], X[1], X[2], 1.0f}});
    w.trackFlags.push_back(kTrackSolved | kTrackInlier);
    w.trackPlanes.push_back(2);
  }
  // Track 0 too, beyond the others (the plane is z = 0.75 x + 0.9375 y + 1.5625).
  w.points[0] = LA::AlignedVector4f{{3.0f, 2.0f, 5.6875f, 1.0f}};
  w.trackFlags[0] = kTrackSolved | kTrackInlier;
  w.trackPlanes[0] = 2;
  d.UpdatePlaneGrids();
  const auto expectSpan = [&](u16 plane) {
    const float* e = d.PlaneExtent(plane)->v;
    const LA::AlignedMatrix4f& F = *d.PlaneFrame(plane);
    float span[4] = {FLT_MAX, FLT_MAX, -FLT_MAX, -FLT_MAX};
    u32 counted = 0;
    for (u32 t = 0; t < w.points.Size(); ++t) {
      if (w.trackPlanes[t] != plane || !(w.trackFlags[t] & kTrackInlier)) continue;
      const float* X = w.points[t].v;
      float D[3];
      for (int r = 0; r < 3; ++r) D[r] = X[r] - F.m[3][r];
      const float u = F.m[0][0] * D[0] + F.m[0][1] * D[1] + F.m[0][2] * D[2];
      const float v = F.m[1][0] * D[0] + F.m[1][1] * D[1] + F.m[1][2] * D[2];
      span[0] = std::min(span[0], u), span[1] = std::min(span[1], v);
      span[2] = std::max(span[2], u), span[3] = std::max(span[3], v);
      ++counted;
    }
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(e[i], span[i], 1e-5f) << plane << " " << i;
    return counted;
  };
  EXPECT_GT(expectSpan(0), 10u);
  EXPECT_EQ(expectSpan(2), 4u);
  // The plane without inliers has no extent (DrawPlanes skips it).
  EXPECT_EQ(d.PlaneExtent(1)->v[0], FLT_MAX);
  EXPECT_EQ(d.PlaneExtent(1)->v[2], -FLT_MAX);
  // A map without planes (after a reset or a reload) keeps no grid.
  w.planes.Clear();
  d.UpdatePlaneGrids();
  EXPECT_EQ(d.PlaneFrame(0), nullptr);
  EXPECT_EQ(d.PlaneExtent(0), nullptr);
}

TEST(DisplayMapView, FilterTrackFollowsItsTableAndDrawingNeedsAWindow) {
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

  // Without a window drawing returns at once: a GL call would crash here.
  d.SetCurrentFrame(0);
  d.UpdatePlaneGrids();
  d.DrawMapPoints();
  d.DrawObjects();
  d.DrawCameras();
  const double ray[6] = {0, 0, 0, 1, 0, 0};
  d.DrawRay(ray, 1.0);
  d.DrawPointStem(scene.KeyFramePose(0), ray);
  EXPECT_FALSE(scene.tracker.HasWindow());
}

// --- The 3-D view drawn in a window (under Xvfb): read back and compared
// with where the scene's objects project; skipped without a display.

// Pixel of a world point in the 3-D view (the view pose through the
// projection: f x / z + c with fy for both axes).
bool ViewPixel(TrackerDisplay& d, const Intrinsic& K, const float X[3], float uv[2]) {
  const ViewPose& v = d.CurrentViewPose();
  float x[3];
  for (int r = 0; r < 3; ++r)
    x[r] = v.m[r][0] * X[0] + v.m[r][1] * X[1] + v.m[r][2] * X[2] + v.m[r][3];
  if (x[2] <= 0.0f) return false;
  uv[0] = K.fy[0] * x[0] / x[2] + K.cx[0];
  uv[1] = K.fy[0] * x[1] / x[2] + K.cy[0];
  return true;
}

class MapViewWindow : public display_scene::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    TrackerDisplay& d = Display();
    scene->tracker.OnKeyDown(9);  // the 3-D view
    ASSERT_FALSE(d.ImageView());
    d.UpdatePlaneGrids();
    d.SelectPlane(static_cast<u16>(scene->Working().planes.Size()), false);  // all planes
    d.SetCurrentFrame(0);
    d.CenterView();
    // Back from the shown camera by two wheel notches, so that its frustum is in view.
    scene->tracker.OnMouseUp(CVD::ImageRef(320, 240), 64);
    scene->tracker.OnMouseUp(CVD::ImageRef(320, 240), 64);
  }
};

// A frustum drawn with its image: points across its far rectangle show, in
// grey, the texel at the same fraction of the image (within the range of its
// 13 x 13 neighbourhood).
void ExpectFrustumShowsImage(const Screenshot& t, TrackerDisplay& d, const Intrinsic& K,
                             const CameraPose& pose, const CVD::Image<u8>& image) {
  float points[5][3], uv[2];
  ComputeFrustum(pose, d.FrustumSize(), points, nullptr);
  ASSERT_EQ(image.size(), CVD::ImageRef(display_scene::kWidth, display_scene::kHeight));
  int checked = 0;
  for (const float a : {0.3f, 0.5f, 0.7f})
    for (const float b : {0.3f, 0.6f}) {
      float X[3];
      for (int r = 0; r < 3; ++r)
        X[r] = points[1][r] + a * (points[2][r] - points[1][r]) + b * (points[4][r] - points[1][r]);
      ASSERT_TRUE(ViewPixel(d, K, X, uv));
      const u8* p = t.At(static_cast<int>(uv[0]), static_cast<int>(uv[1]));
      EXPECT_EQ(p[0], p[1]);  // grey
      EXPECT_EQ(p[1], p[2]);
      const int tx = static_cast<int>(a * display_scene::kWidth);
      const int ty = static_cast<int>(b * display_scene::kHeight);
      int lo = 255, hi = 0;
      for (int y = ty - 6; y <= ty + 6; ++y)
        for (int x = tx - 6; x <= tx + 6; ++x) {
          lo = std::min<int>(lo, image[y][x]);
          hi = std::max<int>(hi, image[y][x]);
        }
      EXPECT_GE(p[0], lo);
      EXPECT_LE(p[0], hi);
      ++checked;
    }
  EXPECT_EQ(checked, 6);
}

TEST_F(MapViewWindow, CubeFacesGridLinesFrustaAndTheShownImage) {
  TrackerDisplay& d = Display();
  d.SetSetting(kShowFrustumImage, 0);
  const Screenshot s = Draw();
  Save(s, "map_view.png");
  const Intrinsic& K = scene->Camera().intrinsic[0];

  // The cube (identity rotation) turns its z = -1 face, blue, to the cameras;
  // a point of that face off the frustum's diagonals (drawn over it).
  const float size = display_scene::kObjectSize;
  const float* o = display_scene::kObjectOrigin;
  const float face[3] = {o[0] + 0.6f * size, o[1] - 0.1f * size, o[2] - size};
  float uv[2];
  ASSERT_TRUE(ViewPixel(d, K, face, uv));
  const u8 blue[3] = {0, 0, 255};
  EXPECT_TRUE(s.Near(uv[0], uv[1], blue));
  // Off to its x = -1 side nothing of the cube: the face seen is the near one only.
  const float side[3] = {display_scene::kObjectOrigin[0] - 2.0f * size,
                         display_scene::kObjectOrigin[1], display_scene::kObjectOrigin[2] - size};
  ASSERT_TRUE(ViewPixel(d, K, side, uv));
  EXPECT_FALSE(s.Near(uv[0], uv[1], blue, 0));
  // The object scale grows the cube about its origin: twice the size puts
  // its near face twice as far out.
  {
    const float outer[3] = {o[0] + 1.6f * size, o[1] - 0.2f * size, o[2] - 2.0f * size};
    ASSERT_TRUE(ViewPixel(d, K, outer, uv));
    EXPECT_FALSE(s.Near(uv[0], uv[1], blue, 0));
    d.SetScale(kObjectScale, 2.0f);
    const Screenshot twice = Draw();
    d.SetScale(kObjectScale, 1.0f);
    EXPECT_TRUE(twice.Near(uv[0], uv[1], blue));
  }

  // White grid lines: the grid's corner vertices lie in the plane and are drawn.
  const LA::AlignedMatrix4f& F = *d.PlaneFrame(0);
  const float* e = d.PlaneExtent(0)->v;
  const u8 white[3] = {255, 255, 255};
  int drawn = 0, inside = 0;
  for (const float u : {e[0], e[2]})
    for (const float v : {e[1], e[3]}) {
      float X[3];
      for (int r = 0; r < 3; ++r) X[r] = F.m[0][r] * u + F.m[1][r] * v + F.m[3][r];
      const float* n = scene->Working().planes[0].v;
      EXPECT_NEAR(n[0] * X[0] + n[1] * X[1] + n[2] * X[2] + n[3], 0.0f, 1e-4f);
      if (!ViewPixel(d, K, X, uv) || uv[0] < 2 || uv[1] < 2 || uv[0] > 637 || uv[1] > 477) continue;
      ++inside;
      drawn += s.Near(uv[0], uv[1], white) ? 1 : 0;
    }
  ASSERT_GT(inside, 0);
  EXPECT_EQ(drawn, inside);

  // The shown key frame's frustum in light blue, the other key frame's in blue
  // (display mode 1 draws every key frame).
  float points[5][3];
  const u8 lightBlue[3] = {135, 204, 234};
  for (u16 k = 0; k < 2; ++k) {
    ComputeFrustum(scene->KeyFramePose(k), d.FrustumSize(), points, nullptr);
    if (!ViewPixel(d, K, Mid(points[1], points[2]).v, uv) || uv[0] < 0 || uv[1] < 0 ||
        uv[0] >= 640 || uv[1] >= 480) {
      EXPECT_NE(k, 0) << "the shown frustum is in view";
      continue;
    }
    EXPECT_TRUE(s.Near(uv[0], uv[1], k == 0 ? lightBlue : blue)) << "key frame " << k;
  }

  d.SetSetting(kShowFrustumImage, 1);
  const Screenshot t = Draw();
  Save(t, "map_view_frustum_image.png");
  ExpectFrustumShowsImage(t, d, K, scene->KeyFramePose(0), scene->map.keyFrames[0].pyramid[0]);
}

TEST_F(MapViewWindow, RingPathAndShownFrameFrustumFollowThePoseSlot) {
  TrackerDisplay& d = Display();
  const Intrinsic& K = scene->Camera().intrinsic[0];
  d.SetSetting(kShowFrustumImage, 0);
  d.SetSetting(kDisplayMode, 3);  // paths and the shown camera
  const u16 K2 = 2;
  d.SetCurrentFrame(K2 + 2);  // the newest ring frame: slot 2
  ASSERT_EQ(d.ShownFrame(), 2);
  const u8 green[3] = {0, 255, 0}, lightBlue[3] = {135, 204, 234}, orange[3] = {204, 102, 0};
  for (const u32 slot : {u32{kVisual}, u32{kPredicted}}) {
    d.SetSetting(kPoseSlot, slot);
    const Screenshot s = Draw();
    if (slot == kVisual) Save(s, "map_view_ring.png");
    // The path joins the ring frames' centres from the oldest (slot 0) on.
    float a[3], b[3], uv[2];
    CameraCentre(scene->Frame(0).pose.slot[slot], a);
    CameraCentre(scene->Frame(1).pose.slot[slot], b);
    ASSERT_TRUE(ViewPixel(d, K, Mid(a, b).v, uv));
    EXPECT_TRUE(s.Near(uv[0], uv[1], orange)) << "slot " << slot;
    // The shown frame's frustum: light blue for the visual pose, green for the predicted.
    float points[5][3];
    ComputeFrustum(scene->Frame(2).pose.slot[slot], d.FrustumSize(), points, nullptr);
    ASSERT_TRUE(ViewPixel(d, K, Mid(points[2], points[3]).v, uv));
    EXPECT_TRUE(s.Near(uv[0], uv[1], slot == kVisual ? lightBlue : green)) << "slot " << slot;
    EXPECT_FALSE(s.Near(uv[0], uv[1], slot == kVisual ? green : lightBlue)) << "slot " << slot;
    // Without the grey path the other slot's pose gets no grey frustum.
    const u8 grey[3] = {127, 127, 127};
    ComputeFrustum(scene->Frame(2).pose.slot[slot == kVisual ? kPredicted : kVisual],
                   d.FrustumSize(), points, nullptr);
    ASSERT_TRUE(ViewPixel(d, K, Mid(points[2], points[3]).v, uv));
    EXPECT_FALSE(s.Near(uv[0], uv[1], grey)) << "slot " << slot;
  }
  // Showing the middle frame, the path ends there.
  d.SetSetting(kPoseSlot, kVisual);
  d.SetCurrentFrame(K2 + 1);
  ASSERT_EQ(d.ShownFrame(), 1);
  const Screenshot s = Draw();
  float a[3], b[3], c[3], uv[2];
  CameraCentre(scene->Frame(0).pose.slot[kVisual], a);
  CameraCentre(scene->Frame(1).pose.slot[kVisual], b);
  CameraCentre(scene->Frame(2).pose.slot[kVisual], c);
  ASSERT_TRUE(ViewPixel(d, K, Mid(a, b).v, uv));
  EXPECT_TRUE(s.Near(uv[0], uv[1], orange));
  ASSERT_TRUE(ViewPixel(d, K, Mid(b, c).v, uv));
  EXPECT_FALSE(s.Near(uv[0], uv[1], orange));
  // Past the ring path's end the key frames' path shows, in cyan, from the first key frame on.
  float k0[3], k1[3];
  CameraCentre(scene->KeyFramePose(0), k0);
  CameraCentre(scene->KeyFramePose(1), k1);
  const u8 cyan[3] = {0, 255, 255};
  ASSERT_TRUE(ViewPixel(d, K, Mid(Mid(k0, k1).v, k1).v, uv));
  EXPECT_TRUE(s.Near(uv[0], uv[1], cyan));
  // With the image on, the shown ring frame's frustum holds its own image:
  // its grey level 0 when it has no colour image.
  d.SetSetting(kShowFrustumImage, 1);
  scene->Frame(1).colour = decltype(scene->Frame(1).colour)();
  ExpectFrustumShowsImage(Draw(), d, K, scene->Frame(1).pose.slot[kVisual],
                          scene->Frame(1).pyramid[0]);
}

TEST_F(MapViewWindow, MarkerOutlineNeedsFourMarkerTracksAndEmptyPlanesDrawNoGrid) {
  TrackerDisplay& d = Display();
  const Intrinsic& K = scene->Camera().intrinsic[0];
  d.SetSetting(kShowFrustumImage, 0);
  d.SetSetting(kDisplayMode, 0);
  MapWorkingCopy& w = scene->tracker.MapView().Working();
  // The sheet outline between track 0's and track 1's points.
  float uv[2];
  const float* p0 = scene->Point(0);
  const float* p1 = scene->Point(1);
  ASSERT_TRUE(ViewPixel(d, K, Mid(p0, p1).v, uv));
  const u8 green[3] = {0, 255, 0};
  for (u32 t = 0; t < 3; ++t) w.trackFlags[t] |= kTrackMarker;
  EXPECT_FALSE(Draw().Near(uv[0], uv[1], green));  // three are not a sheet
  w.trackFlags[3] |= kTrackMarker;
  EXPECT_TRUE(Draw().Near(uv[0], uv[1], green));

  // A plane facing the camera with no inlier points has no extent: no grid,
  // so the rows above the ground grid stay black.
  w.planes.PushBack16(LA::AlignedVector4f{{0.0f, 0.0f, 1.0f, 2.0f}});
  d.UpdatePlaneGrids();
  d.SelectPlane(static_cast<u16>(w.planes.Size()), false);
  const Screenshot s = Draw();
  int white = 0;
  for (int y = 60; y < 120; ++y)
    for (int x = 0; x < s.width; ++x) {
      const u8* p = s.At(x, y);
      white += p[0] == 255 && p[1] == 255 && p[2] == 255;
    }
  EXPECT_EQ(white, 0);
}

TEST_F(MapViewWindow, RayAndStemPointWhereTheirVectorsSay) {
  TrackerDisplay& d = Display();
  scene->tracker.MakeCurrent();
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // Window pixels as world units, z ignored.
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, display_scene::kWidth, display_scene::kHeight, 0, -1e3, 1e3);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  const double ray[6] = {100, 100, 0, 1, 0.5, 0};
  d.DrawRay(ray, 200.0);
  // A camera at (320, 240, 0) turned a quarter about z: R v for v = (100, 0, 0)
  // is (0, -100, 0), so the stem's end lies at (320, 340), P - R v.
  CameraPose pose;
  const float R[3][3] = {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  const float P[3] = {320, 240, 0};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose.m[r][c] = R[r][c];
    pose.m[r][3] = -(R[r][0] * P[0] + R[r][1] * P[1] + R[r][2] * P[2]);
  }
  const double v[3] = {100, 0, 0};
  d.DrawPointStem(pose, v);
  // And u = (0, 100, 0) turns to (100, 0, 0): its stem ends at (220, 240).
  const double u[3] = {0, 100, 0};
  d.DrawPointStem(pose, u);
  const Screenshot s = ReadBack(display_scene::kWidth, display_scene::kHeight);
  Save(s, "ray_and_stem.png");
  const u8 green[3] = {0, 255, 0}, blue[3] = {0, 0, 255};
  EXPECT_TRUE(s.Near(200.0f, 150.0f, green));  // halfway along the ray
  EXPECT_TRUE(s.Near(300.0f, 200.0f, green));  // its end
  EXPECT_FALSE(s.Near(320.0f, 220.0f, green, 3));
  // Between A = (320, 340) and B, which lies over P in this view.
  EXPECT_TRUE(s.Near(320.0f, 290.0f, blue));
  EXPECT_FALSE(s.Near(320.0f, 190.0f, blue, 3));  // not on the far side of P
  EXPECT_FALSE(s.Near(370.0f, 240.0f, blue, 3));  // nor along v unrotated
  EXPECT_TRUE(s.Near(270.0f, 240.0f, blue));      // between u's end and B
}

TEST_F(MapViewWindow, PointsSeenByTheShownKeyFrameAreMarkedAndASelectionIsSquared) {
  TrackerDisplay& d = Display();
  const Intrinsic& K = scene->Camera().intrinsic[0];
  d.SetSetting(kShowFrustumImage, 0);
  d.SetSetting(kShowFrustum, 0);
  d.SetSetting(kDisplayMode, 1);  // marks what the shown key frame sees
  d.SetSetting(kTrackFilter, 1);
  MapWorkingCopy& w = scene->tracker.MapView().Working();
  std::vector<u8> seen;
  scene->tracker.MapView().MarkKeyFrameTracks(0, seen);
  const u8 yellow[3] = {255, 255, 0}, red[3] = {255, 0, 0}, blueFace[3] = {0, 0, 255};
  Screenshot s = Draw();
  Save(s, "map_view_points.png");
  u32 marked = 0, yellowSeen = 0;
  std::vector<u32> outliers;
  for (u32 t = 0; t < scene->TrackCount(); ++t) {
    float uv[2];
    if (!seen[t] || !(w.trackFlags[t] & kTrackInlier) || !ViewPixel(d, K, scene->Point(t), uv))
      continue;
    // Outside the window, or behind the cube (drawn after the points).
    if (uv[0] < 0 || uv[1] < 0 || uv[0] >= s.width || uv[1] >= s.height) continue;
    if (s.Near(uv[0], uv[1], blueFace, 0)) continue;
    ++marked;
    if (!s.Near(uv[0], uv[1], yellow, 0)) continue;
    ++yellowSeen;
    if (outliers.size() < 2 && !(w.trackFlags[t] & kTrackMarker)) outliers.push_back(t);
  }
  ASSERT_GT(marked, 20u);
  EXPECT_GE(yellowSeen, marked * 9 / 10);
  // Mode 0 marks nothing: the same points keep their own colours.
  d.SetSetting(kDisplayMode, 0);
  const Screenshot plain = Draw();
  u32 yellowPlain = 0;
  for (u32 t = 0; t < scene->TrackCount(); ++t) {
    float p[2];
    if (seen[t] && ViewPixel(d, K, scene->Point(t), p))
      yellowPlain += plain.Near(p[0], p[1], yellow, 0);
  }
  EXPECT_LT(yellowPlain, marked / 10);
  d.SetSetting(kDisplayMode, 1);
  // Two of them become solved outliers: red instead of yellow.
  ASSERT_EQ(outliers.size(), 2u);
  for (const u32 t : outliers) w.trackFlags[t] = kTrackSolved;
  s = Draw();
  for (const u32 t : outliers) {
    float uv[2];
    ASSERT_TRUE(ViewPixel(d, K, scene->Point(t), uv));
    EXPECT_TRUE(s.Near(uv[0], uv[1], red)) << "track " << t;
  }

  // A selected track gets a blue square five pixels round its projection.
  const u32 chosen = outliers[0];
  d.PrintSelection(chosen);
  ASSERT_EQ(d.SelectedTracks()[0], chosen);
  s = Draw();
  float uv[2];
  ASSERT_TRUE(ViewPixel(d, K, scene->Point(chosen), uv));
  const u8 blue[3] = {0, 0, 255};
  EXPECT_TRUE(s.Near(uv[0] + 5.0f, uv[1], blue));
  EXPECT_TRUE(s.Near(uv[0], uv[1] - 5.0f, blue));
  EXPECT_FALSE(s.Near(uv[0] + 10.0f, uv[1], blue, 2));

  // A selected point lifted off its plane, tilted here so that the foot
  // moves on every axis: a blue line runs from the point down to its foot,
  // and nowhere before it is selected.
  u32 lifted = kNone32;
  for (u32 t = 0; t < scene->TrackCount() && lifted == kNone32; ++t)
    if (t != chosen && seen[t] && w.trackPlanes[t] < w.planes.Size() &&
        !(w.trackFlags[t] & kTrackMarker))
      lifted = t;
  ASSERT_NE(lifted, kNone32);
  float* X = w.points[lifted].v;
  const float foot[3] = {X[0], X[1], X[2]};
  float* n = w.planes[w.trackPlanes[lifted]].v;
  const float tilt[3] = {0.48f, -0.6f, 0.64f};  // unit length
  for (int r = 0; r < 3; ++r) n[r] = tilt[r];
  n[3] = -(n[0] * foot[0] + n[1] * foot[1] + n[2] * foot[2]);
  for (int r = 0; r < 3; ++r) X[r] = foot[r] + 1.5f * n[r];
  float top[2], bottom[2];
  ASSERT_TRUE(ViewPixel(d, K, X, top) && ViewPixel(d, K, foot, bottom));
  ASSERT_GT(std::hypot(top[0] - bottom[0], top[1] - bottom[1]), 20.0f);
  // Points down the line from the top, and one past the foot, where it ends.
  const float downs[4] = {0.3f, 0.6f, 0.9f, 1.4f};
  float along[4][2];
  for (int i = 0; i < 4; ++i)
    for (int a = 0; a < 2; ++a) along[i][a] = top[a] + downs[i] * (bottom[a] - top[a]);
  s = Draw();
  for (const auto& p : along) ASSERT_FALSE(s.Near(p[0], p[1], blue, 1));
  d.PrintSelection(lifted);
  s = Draw();
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(s.Near(along[i][0], along[i][1], blue, 1), downs[i] < 1.0f) << downs[i];

  // Track filter 0 shows no point at all.
  d.SetSetting(kTrackFilter, 0);
  s = Draw();
  u32 left = 0;
  for (u32 t = 0; t < scene->TrackCount(); ++t) {
    float p[2];
    if (seen[t] && ViewPixel(d, K, scene->Point(t), p))
      left += s.Near(p[0], p[1], yellow, 0) || s.Near(p[0], p[1], red, 0);
  }
  EXPECT_EQ(left, 0u);
}

}  // namespace
