// The 3-D view's projection and mouse-controlled view transform, centring on
// the shown camera, the plane grids' frames and the track filter. The
// matrices are computed here rather than read back from GL, so all of this
// works without a window.
#include <GL/glu.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "tracker/FrameMeasures.h"
#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

constexpr double kNear = 1e-5;
constexpr double kFar = DBL_MAX;
constexpr double kDegreesPerRadian = 57.29578;

}  // namespace

const CameraPose* TrackerDisplay::ShownPose() const {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  const CameraPose* pose = nullptr;
  if (shownFrame_ < w.keyFramePoses.Size()) {
    pose = &w.keyFramePoses[shownFrame_];
  } else if (shownFrame_ != kNone16 && tracker_.Ring().Contains(shownRingFrame_)) {
    const u32 slot = std::min<u32>(settings_[kPoseSlot], kOutput);
    pose = &tracker_.Ring()[shownRingFrame_].pose.slot[slot];
  }
  return pose != nullptr && IsPoseValid(*pose) ? pose : nullptr;
}

void TrackerDisplay::ViewportOrImage(i32 viewport[4]) const {
  for (int k = 0; k < 4; ++k) viewport[k] = viewport_[k];
  // Until the window reports its size it has the image's.
  if (viewport[2] <= 0 || viewport[3] <= 0) {
    viewport[0] = viewport[1] = 0;
    viewport[2] = tracker_.Camera().width;
    viewport[3] = tracker_.Camera().height;
  }
}

void TrackerDisplay::SetupProjection() {
  const TrackerCamera& camera = tracker_.Camera();
  const double w = camera.width, h = camera.height;
  const double fy = camera.intrinsic[0].fy[0];
  const double cx = camera.intrinsic[0].cx[0], cy = camera.intrinsic[0].cy[0];
  if (w <= 0.0 || h <= 0.0 || fy <= 0.0) return;
  // translate(2 cx / w - 1, 1 - 2 cy / h, 0) * gluPerspective(fovy, w / h,
  // near, far), column-major as GL reads it back: the principal point lands
  // on its pixel, so a camera point x projects to f x / z + c.
  const double fovy = 2.0 * std::atan(0.5 * h / fy) * kDegreesPerRadian;
  const double f = 1.0 / std::tan(fovy / kDegreesPerRadian * 0.5);
  const double aspect = w / h;
  const double deltaZ = kFar - kNear;
  const double tx = 2.0 * cx / w - 1.0, ty = 1.0 - 2.0 * cy / h;
  const double m22 = -(kFar + kNear) / deltaZ, m32 = -2.0 * kNear * kFar / deltaZ;
  double* P = projectionMatrix_;
  std::fill(P, P + 16, 0.0);
  P[0] = f / aspect;
  P[5] = f;
  P[8] = -tx;
  P[9] = -ty;
  P[10] = m22;
  P[11] = -1.0;
  P[14] = m32;
}

void TrackerDisplay::SetupView() {
  // gluLookAt(eye 0, centre (0, 0, 1), up (0, -1, 0)) is diag(1, -1, -1, 1):
  // the camera's +z forward, +y down.
  std::fill(viewMatrix_, viewMatrix_ + 16, 0.0);
  viewMatrix_[0] = 1.0;
  viewMatrix_[5] = -1.0;
  viewMatrix_[10] = -1.0;
  viewMatrix_[15] = 1.0;
  // Then scaled by 0.01 on every axis: the first three columns.
  for (int k = 0; k < 16; ++k) viewMatrixScaled_[k] = viewMatrix_[k] * (k < 12 ? 0.01 : 1.0);
}

float TrackerDisplay::ComputeViewScale(float a, float b) const {
  const TrackerCamera& camera = tracker_.Camera();
  const float sx = camera.width * camera.intrinsic[0].ifx[0];
  const float sy = camera.height * camera.intrinsic[0].ify[0];
  return std::min(sx, sy) * a * b;
}

void TrackerDisplay::UpdateViewTransform() {
  float d[3];
  for (int k = 0; k < 3; ++k) d[k] = viewTranslation_[k] - rotationPivot_[k];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) viewPose_.m[r][c] = viewRotation_[r][c];
    viewPose_.m[r][3] = viewRotation_[r][0] * d[0] + viewRotation_[r][1] * d[1] +
                        viewRotation_[r][2] * d[2] + rotationPivot_[r];
  }
}

LA::AlignedVector4f TrackerDisplay::UnprojectPoint(const CVD::ImageRef& position) const {
  i32 viewport[4];
  ViewportOrImage(viewport);
  const GLint vp[4] = {viewport[0], viewport[1], viewport[2], viewport[3]};
  double X = 0.0, Y = 0.0, Z = 0.0;
  LA::AlignedVector4f p{{0.0f, 0.0f, 0.0f, 1.0f}};
  // Window y grows downwards, GL's upwards.
  if (gluUnProject(position.x, vp[3] - position.y, 0.0, viewMatrix_, projectionMatrix_, vp, &X, &Y,
                   &Z) != GL_TRUE)
    return p;
  p.v[0] = static_cast<float>(X);
  p.v[1] = static_cast<float>(Y);
  p.v[2] = static_cast<float>(Z);
  return p;
}

LA::AlignedVector4f TrackerDisplay::UnprojectAtDepth(const CVD::ImageRef& position,
                                                     float depth) const {
  LA::AlignedVector4f p = UnprojectPoint(position);
  if (p.v[2] == 0.0f) return {{0.0f, 0.0f, depth, 1.0f}};
  const float s = depth / p.v[2];
  return {{p.v[0] * s, p.v[1] * s, depth, 1.0f}};
}

void TrackerDisplay::CenterView() {
  const CameraPose* pose = ShownPose();
  if (pose == nullptr || measures_ == nullptr) return;
  const float d = measures_->ComputeMedianDepth(*pose, depthScratch_);
  // A depth of 0 would collapse the frusta and the trackball: keep the view.
  if (!(d > 0.0f) || !std::isfinite(d)) return;
  const TrackerCamera& camera = tracker_.Camera();
  const float s = 0.1f * d;
  frustumSize_[0] = 0.5f * camera.width * s * camera.intrinsic[0].ifx[0];
  frustumSize_[1] = 0.5f * camera.height * s * camera.intrinsic[0].ify[0];
  frustumSize_[2] = s;
  frustumSize_[3] = 1.0f;

  const float centre[3] = {0.0f, 0.0f, d};
  arcball_.Reset(centre, ComputeViewScale(d, 0.4f));
  rotationPivot_[0] = rotationPivot_[1] = 0.0f;
  rotationPivot_[2] = d;
  rotationPivot_[3] = 1.0f;
  pivotDepth_ = d;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) {
      viewPose_.m[r][c] = pose->m[r][c];
      viewRotation_[r][c] = c < 3 ? pose->m[r][c] : 0.0f;
    }
  // The translation UpdateViewTransform turns back into the pose's own:
  // R (T - p) + p = t gives T = R^T (t - p) + p.
  float e[3];
  for (int k = 0; k < 3; ++k) e[k] = pose->m[k][3] - rotationPivot_[k];
  for (int r = 0; r < 3; ++r)
    viewTranslation_[r] =
        pose->m[0][r] * e[0] + pose->m[1][r] * e[1] + pose->m[2][r] * e[2] + rotationPivot_[r];
  viewTranslation_[3] = 1.0f;
  if (viewport_[3] > 0) wheelStep_ = d / static_cast<float>(viewport_[3]) * 100.0f;
}

void TrackerDisplay::UpdatePlaneGrids() {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  const u32 P = w.planes.Size();
  // Sized first: a map that lost its planes leaves no stale frames behind.
  planeFrames_.resize(P);
  planeExtents_.resize(P);
  if (P == 0) return;
  for (u32 i = 0; i < P; ++i) {
    const float* plane = w.planes[i].v;
    float R[3][3];
    PlaneRotation(plane, R);
    // The inverse of [R | (0, 0, d)], column-major: m[c][r] is row r of column c.
    LA::AlignedMatrix4f& F = planeFrames_[i];
    for (int c = 0; c < 3; ++c) {
      for (int r = 0; r < 3; ++r) F.m[c][r] = R[c][r];
      F.m[c][3] = 0.0f;
    }
    for (int r = 0; r < 3; ++r) F.m[3][r] = -plane[3] * R[2][r];
    F.m[3][3] = 1.0f;
    planeExtents_[i] = {{FLT_MAX, FLT_MAX, -FLT_MAX, -FLT_MAX}};
  }
  const size_t T = std::min({w.trackPlanes.size(), w.trackFlags.size(), size_t{w.points.Size()}});
  for (size_t i = 0; i < T; ++i) {
    const u16 p = w.trackPlanes[i];
    if (p >= P || !(w.trackFlags[i] & kTrackInlier)) continue;
    // Plane coordinates R X + t; t moves z only. F.m[a][b] is R[a][b].
    const LA::AlignedMatrix4f& F = planeFrames_[p];
    const float* X = w.points[i].v;
    const float x = F.m[0][0] * X[0] + F.m[0][1] * X[1] + F.m[0][2] * X[2];
    const float y = F.m[1][0] * X[0] + F.m[1][1] * X[1] + F.m[1][2] * X[2];
    float* e = planeExtents_[p].v;
    e[0] = std::min(e[0], x);
    e[1] = std::min(e[1], y);
    e[2] = std::max(e[2], x);
    e[3] = std::max(e[3], y);
  }
}

bool TrackerDisplay::FilterTrack(u32 track) const {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  if (track >= w.trackFlags.size()) return true;
  const u8 f = w.trackFlags[track];
  const bool solved = f & kTrackSolved, inlier = f & kTrackInlier;
  const bool unreliable = f & kTrackUnreliable;
  bool hidden = false;
  switch (settings_[kTrackFilter]) {
    case 0:
      return true;
    case 2:
      hidden = !inlier || unreliable;
      break;
    case 3:
      hidden = !solved || inlier;
      break;
    case 4:
      hidden = !unreliable;
      break;
    case 5:
      hidden = solved;
      break;
    default:
      break;
  }
  if (hidden) return true;
  if (planeFilter_ == 0 || selectedPlane_ == kNone16) return false;
  const u16 plane = track < w.trackPlanes.size() ? w.trackPlanes[track] : kNone16;
  return plane >= planeShown_.size() || planeShown_[plane] == 0;
}

bool DisplayViewState::Stored() const {
  for (const auto& row : rotation)
    for (const float v : row)
      if (v != 0.0f) return true;
  return false;
}

void TrackerDisplay::GetViewState(DisplayViewState& s) const {
  std::copy(&viewRotation_[0][0], &viewRotation_[0][0] + 12, &s.rotation[0][0]);
  std::copy(rotationPivot_, rotationPivot_ + 4, s.pivot);
  s.pose = viewPose_;
  std::copy(frustumSize_, frustumSize_ + 4, s.frustumSize);
  s.arcball = arcball_;
  s.pivotDepth = pivotDepth_;
  std::copy(viewTranslation_, viewTranslation_ + 4, s.translation);
  s.wheelStep = wheelStep_;
  s.imageView = imageView_;
  s.shownLevel = shownLevel_;
  s.poseView = poseView_;
  s.planeFilter = planeFilter_;
  s.selectedPlane = selectedPlane_;
  s.planeShown = planeShown_;
  s.planeFrames = planeFrames_;
  s.planeExtents = planeExtents_;
  std::copy(projectionMatrix_, projectionMatrix_ + 16, s.projection);
  std::copy(viewMatrix_, viewMatrix_ + 16, s.modelView);
}

void TrackerDisplay::RestoreViewState(const DisplayViewState& s, i32 frame) {
  if (!s.Stored()) return;
  std::copy(&s.rotation[0][0], &s.rotation[0][0] + 12, &viewRotation_[0][0]);
  std::copy(s.pivot, s.pivot + 4, rotationPivot_);
  viewPose_ = s.pose;
  std::copy(s.frustumSize, s.frustumSize + 4, frustumSize_);
  arcball_ = s.arcball;
  pivotDepth_ = s.pivotDepth;
  std::copy(s.translation, s.translation + 4, viewTranslation_);
  wheelStep_ = s.wheelStep;
  imageView_ = s.imageView;
  shownLevel_ = s.shownLevel;
  poseView_ = s.poseView;
  planeFilter_ = s.planeFilter;
  selectedPlane_ = s.selectedPlane;
  planeShown_ = s.planeShown;
  planeFrames_ = s.planeFrames;
  planeExtents_ = s.planeExtents;
  // The projection and model-view stay the display's own: they follow from
  // the camera, which the state shares.
  centred_ = true;
  centredFrame_ = frame;
}
