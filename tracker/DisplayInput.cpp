// Keys and the mouse in the tracker's window: the views and the pause, the
// 3-D view's arcball, translation and wheel, the double click's selection,
// and objects placed from what the window shows.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "tracker/FrameMeasures.h"
#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

void ToRotation3(const float in[3][4], float out[3][3]) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r][c] = in[r][c];
}

bool IsFinite3(const float v[3]) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// The first key-frame link of a ring frame, in the order of trust.
u16 AnchorKeyFrame(const TrackerFrame& f) {
  for (const u16 k : {f.alignedKeyFrame, f.nearKeyFrame, f.relocalisationKeyFrame, f.imuKeyFrame})
    if (k != kNone16) return k;
  return kNone16;
}

}  // namespace

bool TrackerDisplay::OnKeyDown(int key) {
  switch (key) {
    case 1:  // Ctrl+A: one frame on from the pause
      singleStep_ = 1;
      return true;
    case 19:  // Ctrl+S
      paused_ = !paused_;
      return true;
    case 9:
      imageView_ = !imageView_;
      return true;
    case 111:  // 'o'
      AddObjectFromView();
      return true;
    default:
      return false;
  }
}

void TrackerDisplay::OnMouseDown(const CVD::ImageRef& position, int button) {
  if (imageView_) return;
  if (button == 1) {
    dragStartPoint_ = UnprojectPoint(position);
    float R[3][3];
    ToRotation3(viewRotation_, R);
    arcball_.Begin(dragStartPoint_.v, R);
  } else if (button == 4) {
    std::copy(viewTranslation_, viewTranslation_ + 4, dragStartTranslation_);
    dragStartPoint_ = UnprojectAtDepth(position, pivotDepth_);
  }
}

bool TrackerDisplay::OnMouseDrag(const CVD::ImageRef&, const CVD::ImageRef& position, int button) {
  // The image view has no drag of its own.
  if (imageView_) return false;
  if (button == 1) {
    const LA::AlignedVector4f p = UnprojectPoint(position);
    if (!IsFinite3(p.v)) return true;
    float R[3][3];
    arcball_.Drag(p.v, R);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) viewRotation_[r][c] = R[r][c];
  } else if (button == 4) {
    const LA::AlignedVector4f p = UnprojectAtDepth(position, pivotDepth_);
    if (!IsFinite3(p.v) || !IsFinite3(dragStartPoint_.v)) return true;
    // The scene follows the mouse across the view at the pivot's depth.
    const float dx = p.v[0] - dragStartPoint_.v[0], dy = p.v[1] - dragStartPoint_.v[1];
    for (int i = 0; i < 3; ++i)
      viewTranslation_[i] =
          dragStartTranslation_[i] + dx * viewRotation_[0][i] + dy * viewRotation_[1][i];
  } else {
    return false;
  }
  UpdateViewTransform();
  return true;
}

void TrackerDisplay::OnMouseUp(const CVD::ImageRef&, int button) {
  const bool wheel = button == 32 || button == 64;
  if (imageView_ || (!wheel && !tracker_.handler.dragging)) return;
  const float d = MedianDepth(viewPose_.m);
  const bool depthKnown = std::isfinite(d) && d > 0.0f;
  if (wheel) {
    if (depthKnown && viewport_[3] > 0) wheelStep_ = d / static_cast<float>(viewport_[3]) * 100.0f;
    // Along the viewing axis: up moves the view forward.
    const float step = button == 32 ? -wheelStep_ : wheelStep_;
    for (int i = 0; i < 3; ++i) viewTranslation_[i] += step * viewRotation_[2][i];
  }
  if (depthKnown) {
    // The pivot moves to depth d straight ahead; the translation follows so
    // that the view itself stays where it is.
    const float* P = rotationPivot_;
    const float Q[3] = {0.0f, 0.0f, d};
    float t[3];
    for (int r = 0; r < 3; ++r)
      t[r] = viewRotation_[r][0] * (viewTranslation_[0] - P[0]) +
             viewRotation_[r][1] * (viewTranslation_[1] - P[1]) +
             viewRotation_[r][2] * (viewTranslation_[2] - P[2]) + P[r];
    for (int i = 0; i < 3; ++i)
      viewTranslation_[i] = viewRotation_[0][i] * (t[0] - Q[0]) +
                            viewRotation_[1][i] * (t[1] - Q[1]) +
                            viewRotation_[2][i] * (t[2] - Q[2]) + Q[i];
    std::copy(Q, Q + 3, rotationPivot_);
    rotationPivot_[3] = 1.0f;
    pivotDepth_ = d;
    arcball_.Reset(Q, ComputeViewScale(d, 0.4f));
  }
  UpdateViewTransform();
}

void TrackerDisplay::OnResize(const CVD::ImageRef& size) {
  viewport_[0] = 0, viewport_[1] = 0, viewport_[2] = size.x, viewport_[3] = size.y;
  const TrackerCamera& camera = tracker_.Camera();
  // A window or image of no size keeps the last scales.
  if (size.x <= 0 || size.y <= 0 || camera.width == 0 || camera.height == 0) return;
  imageToWindow_[0] = static_cast<float>(size.x) / camera.width;
  imageToWindow_[1] = static_cast<float>(size.y) / camera.height;
  windowToImage_[0] = 1.0f / imageToWindow_[0];
  windowToImage_[1] = 1.0f / imageToWindow_[1];
}

bool TrackerDisplay::OnMouseDoubleClick(const CVD::ImageRef& position, int button) {
  if (button == 32 || button == 64) return false;
  const float x = position.x * windowToImage_[0], y = position.y * windowToImage_[1];
  if (button == 4) {
    std::printf("click = (%f, %f)\n", x, y);
    return true;
  }
  const Intrinsic& k = tracker_.Camera().intrinsic[0];
  // Five window pixels either way.
  const float click[2] = {(x - k.cx[0]) * k.ifx[0], (y - k.cy[0]) * k.ify[0]};
  const float tolerance[2] = {5.0f * windowToImage_[0] * k.ifx[0],
                              5.0f * windowToImage_[1] * k.ify[0]};
  u32 best = kNone32;
  float distance = FLT_MAX;
  const FrameRing& ring = tracker_.Ring();
  const bool allModes = settings_[kDisplayMode] == 1;
  if (!imageView_) {
    PickTrackPoint(click, tolerance, viewPose_, best, distance);
  } else if (ShowingKeyFrame()) {
    const u16 kf = shownKeyFrame_;
    const int first = shownLevel_ < 5 ? shownLevel_ : 0, last = shownLevel_ < 5 ? shownLevel_ : 4;
    for (int l = first; l <= last; ++l) PickMaskedFeature(click, tolerance, kf, l, best, distance);
    const MapWorkingCopy& w = tracker_.MapView().Working();
    if (allModes && kf < w.keyFramePoses.Size()) {
      tracker_.MapView().MarkKeyFrameTracks(kf, trackMask_);
      PickFeature(click, tolerance, trackMask_, w.keyFramePoses[kf], best, distance);
    }
  } else if (shownFrame_ != kNone16 && ring.Contains(shownRingFrame_)) {
    const TrackerFrame& f = ring[shownRingFrame_];
    const int first = shownLevel_ < 4 ? shownLevel_ : 0;
    const int last = shownLevel_ < 4 ? shownLevel_ : kPyramidLevels - 1;
    for (int l = first; l <= last; ++l)
      PickMapMatch(click, tolerance, f.mapMatches[l], l, best, distance);
    if (allModes)
      for (int l = first; l <= last; ++l) {
        PickImageMatch(click, tolerance, f.candidates[l], l, best, distance);
        PickImageMatch(click, tolerance, f.lost[l], l, best, distance);
        PickProjectedImageMatch(click, tolerance, f.misses[l], l, best, distance);
      }
  }
  PrintSelection(best);
  return true;
}

float TrackerDisplay::MedianDepth(const float pose[3][4]) {
  if (measures_ == nullptr) return tracker_.Options().initialDepth;
  CameraPose P;
  std::copy(&pose[0][0], &pose[0][0] + 12, &P.m[0][0]);
  return measures_->ComputeMedianDepth(P, depthScratch_);
}

bool TrackerDisplay::AddObjectFromView() {
  const u32 keyFrames = tracker_.KeyFrameCount();
  const FrameRing& ring = tracker_.Ring();
  u16 anchor = kNone16, frame = kNone16;
  if (ShowingKeyFrame()) {
    anchor = shownKeyFrame_;
  } else if (shownFrame_ != kNone16 && ring.Contains(shownRingFrame_)) {
    frame = shownRingFrame_;
    anchor = AnchorKeyFrame(ring[frame]);
  }
  const MapWorkingCopy& w = tracker_.MapView().Working();
  if (anchor >= keyFrames || anchor >= w.keyFramePoses.Size() || measures_ == nullptr) return false;
  u16 plane = kNone16;
  if (!measures_->FindDominantPlaneFeatures(anchor, frame, objectFeatures_, plane)) return false;

  TrackerObject object;
  if (!SetSupportPoints(w, anchor, objectFeatures_, object)) return false;

  float mean[2];
  const float depth =
      measures_->ComputeKeyFrameMedianDepth(anchor, objectFeatures_, depthScratch_, mean);
  const float size = ComputeViewScale(depth, 0.1f);
  float R[3][3], X[3];
  PlaceObject(w.keyFramePoses[anchor], mean, depth, size,
              plane < w.planes.Size() ? w.planes[plane].v : nullptr, R, X);

  // The map-to-object pose [R | -R X], kept as the host's registrations are:
  // inverted, object into map.
  float pose[16], scratch[4];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) pose[4 * r + c] = R[r][c];
    pose[4 * r + 3] = -(R[r][0] * X[0] + R[r][1] * X[1] + R[r][2] * X[2]);
  }
  pose[12] = pose[13] = pose[14] = pose[15] = 1.0f;
  object.transforms.Resize(3);
  InvertSimilarityTransform(pose, &object.transforms[kRegistrationMatrix].m[0][0], scratch);
  object.transforms[kPoseMatrix] = object.transforms[kRegistrationMatrix];
  LA::AlignedMatrix4f& model = object.transforms[kModelMatrix];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) model.m[r][c] = r == c || r == 3 ? 1.0f : 0.0f;
  object.scale = size;
  tracker_.Objects().List().push_back(std::move(object));
  return true;
}

void TrackerDisplay::PlaceObject(const CameraPose& camera, const float mean[2], float depth,
                                 float size, const float* plane, float R[3][3], float X[3]) {
  // The ray from the camera centre through the mean position.
  float C[3], d[3];
  CameraCentre(camera, C);
  for (int i = 0; i < 3; ++i)
    d[i] = camera.m[0][i] * mean[0] + camera.m[1][i] * mean[1] + camera.m[2][i];
  if (plane != nullptr) {
    const float* n = plane;
    const float nd = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
    const float s =
        std::fabs(nd) < 1e-6f ? -1.0f : -(n[0] * C[0] + n[1] * C[1] + n[2] * C[2] + n[3]) / nd;
    // A ray along the plane or one meeting it behind the camera: no plane.
    if (s > 0.0f && std::isfinite(s)) {
      const float* z = camera.m[2];
      const float side = n[0] * z[0] + n[1] * z[1] + n[2] * z[2] > 0.0f ? -size : size;
      for (int i = 0; i < 3; ++i) X[i] = C[i] + s * d[i] + side * n[i];
      PlaneRotation(n, R);
      return;
    }
  }
  ToRotation3(camera.m, R);
  for (int i = 0; i < 3; ++i) X[i] = C[i] + depth * d[i];
}
