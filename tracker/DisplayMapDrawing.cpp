// The 3-D map view's cameras: key-frame and ring paths, frusta with the
// shown image on them, rays and stems. Immediate-mode GL inside the display
// update; nothing is drawn without a window.
#include <GL/glew.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "mapping/KeyFrame.h"
#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

constexpr u8 kKeyFrameBlue[3] = {0, 0, 255};
constexpr u8 kLightBlue[3] = {135, 204, 234};
constexpr u8 kGrey[3] = {127, 127, 127};
// The shown ring frame's frustum by pose slot: predicted, visual, output.
constexpr u8 kSlotColours[3][3] = {{0, 255, 0}, {135, 204, 234}, {255, 255, 0}};

void Colour(const u8 c[3]) {
  glColor3ub(c[0], c[1], c[2]);
}

void Vertex(const float p[3]) {
  glVertex3f(p[0], p[1], p[2]);
}

// The pose slot a ring frame's grey path and frustum show beside poseSlot.
u32 OtherSlot(u32 poseSlot) {
  return poseSlot == kVisual ? kPredicted : kVisual;
}

}  // namespace

void TrackerDisplay::DrawTextureQuad3D(const GLTexture& texture, const float corners[4][3]) {
  const float w = texture.width, h = texture.height;
  const GLboolean culling = glIsEnabled(GL_CULL_FACE);
  glDisable(GL_CULL_FACE);
  glEnable(GL_TEXTURE_RECTANGLE);
  texture.Bind();
  glColor3ub(255, 255, 255);
  glBegin(GL_QUADS);
  glTexCoord2f(0.0f, 0.0f);
  Vertex(corners[0]);
  glTexCoord2f(0.0f, h);
  Vertex(corners[1]);
  glTexCoord2f(w, h);
  Vertex(corners[2]);
  glTexCoord2f(w, 0.0f);
  Vertex(corners[3]);
  glEnd();
  glDisable(GL_TEXTURE_RECTANGLE);
  if (culling) glEnable(GL_CULL_FACE);
}

void TrackerDisplay::DrawFrustum(const float points[5][3], bool sides) {
  glBegin(GL_LINE_LOOP);
  for (int k = 1; k <= 4; ++k) Vertex(points[k]);
  glEnd();
  if (!sides) return;
  glBegin(GL_LINES);
  for (int k = 1; k <= 4; ++k) {
    Vertex(points[0]);
    Vertex(points[k]);
  }
  glEnd();
}

void TrackerDisplay::DrawAxes(const float centre[3], const float axes[3][3]) {
  glBegin(GL_LINES);
  for (int a = 0; a < 3; ++a) {
    glColor3ub(a == 0 ? 255 : 0, a == 1 ? 255 : 0, a == 2 ? 255 : 0);
    Vertex(centre);
    Vertex(axes[a]);
  }
  glEnd();
}

const GLTexture* TrackerDisplay::UploadFrustumImage() {
  const int level = shownLevel_ >= 4 ? 0 : shownLevel_;
  // The second texture of each size is the 3-D view's; the image view keeps the first.
  GLTexture& texture = textures_[level == 0 ? 1 : 2 + 2 * level + 1];
  if (texture.id == 0) texture.Create();
  texture.Bind();
  const MapWorkingCopy& w = tracker_.MapView().Working();
  if (shownFrame_ < w.keyFramePoses.Size()) {
    bool uploaded = false;
    tracker_.MapView().ReadKeyFrame(shownFrame_, [&](const KeyFrame& k) {
      const CVD::Image<u8>& image = k.pyramid[level];
      if (image.size().area() == 0) return;
      texture.Resize(static_cast<u16>(image.size().x), static_cast<u16>(image.size().y));
      texture.UploadLuminanceBytes(image.data());
      uploaded = true;
    });
    return uploaded ? &texture : nullptr;
  }
  if (!tracker_.Ring().Contains(shownRingFrame_)) return nullptr;
  const TrackerFrame& f = tracker_.Ring()[shownRingFrame_];
  const CVD::Image<u8>& grey = f.pyramid[level];
  if (level == 0 && f.colour.size().area() != 0 && f.colour.size() == grey.size()) {
    texture.ResizeRgb(static_cast<u16>(grey.size().x), static_cast<u16>(grey.size().y));
    texture.UploadRgbBytes(reinterpret_cast<const u8*>(f.colour.data()));
    return &texture;
  }
  if (grey.size().area() == 0) return nullptr;
  texture.Resize(static_cast<u16>(grey.size().x), static_cast<u16>(grey.size().y));
  texture.UploadLuminanceBytes(grey.data());
  return &texture;
}

void TrackerDisplay::DrawCameraFrustum(const CameraPose& pose, const u8 colour[3], bool image) {
  float points[5][3];
  ComputeFrustum(pose, frustumSize_, points, nullptr);
  if (image) {
    if (const GLTexture* texture = UploadFrustumImage()) {
      // Image corners top-left, bottom-left, bottom-right, top-right.
      const float quad[4][3] = {{points[1][0], points[1][1], points[1][2]},
                                {points[4][0], points[4][1], points[4][2]},
                                {points[3][0], points[3][1], points[3][2]},
                                {points[2][0], points[2][1], points[2][2]}};
      DrawTextureQuad3D(*texture, quad);
    }
  }
  Colour(colour);
  DrawFrustum(points, settings_[kShowFrustum] != 0);
}

void TrackerDisplay::DrawCameraExtras(const CameraPose& pose, const IMUState& state, u16 keyFrame,
                                      const TrackerFrame* frame) {
  if (showRays_) {
    const double ray[6] = {state.position[0], state.position[1], state.position[2],
                           state.velocity[0], state.velocity[1], state.velocity[2]};
    DrawRay(ray, scales_[kRayLength]);
  }
  if (!showStems_) return;
  double v[3];
  if (frame != nullptr) {
    if (frame->posePrior[7] == DBL_MAX) return;
    // The world z axis in the body frame: the third column of R(q).
    float R[3][3];
    QuaternionToRotation3f(frame->posePrior, R);
    for (int r = 0; r < 3; ++r) v[r] = R[r][2];
  } else {
    IMUAttitude attitude{};
    attitude.time = DBL_MAX;
    tracker_.MapView().ReadKeyFrame(keyFrame, [&](const KeyFrame& k) { attitude = k.attitude; });
    if (attitude.time == DBL_MAX) return;
    for (int r = 0; r < 3; ++r) v[r] = attitude.gravity[r];
  }
  DrawPointStem(pose, v);
}

void TrackerDisplay::DrawCameras() {
  if (!tracker_.HasWindow()) return;
  const MapWorkingCopy& w = tracker_.MapView().Working();
  const FrameRing& ring = tracker_.Ring();
  const u32 K = w.keyFramePoses.Size();
  const u32 mode = settings_[kDisplayMode];
  const u32 slot = std::min<u32>(settings_[kPoseSlot], kOutput);
  const bool ringShown =
      shownFrame_ != kNone16 && shownFrame_ >= K && ring.Contains(shownRingFrame_);
  const bool greyToo = showGreyPath_ != 0 && slot != kOutput;
  float c[3];

  if (mode >= 2) {
    glLineWidth(2.0f);
    if (tracker_.Status().tracking && K > 0) {
      glColor3ub(0, 255, 255);
      glBegin(GL_LINE_STRIP);
      for (u32 k = 0; k < K; ++k) {
        CameraCentre(w.keyFramePoses[k], c);
        Vertex(c);
      }
      glEnd();
    }
    if (ringShown && ring.Contains(ring.Current())) {
      const u16 oldest = ring.Next(ring.Current());
      for (int pass = 0; pass < (greyToo ? 2 : 1); ++pass) {
        const u32 s = pass == 0 ? slot : OtherSlot(slot);
        if (pass == 0)
          glColor3ub(204, 102, 0);
        else
          Colour(kGrey);
        glBegin(GL_LINE_STRIP);
        // From the oldest frame up to the shown one; an unset pose ends the path.
        for (u16 j = oldest, n = 0; n < ring.Size(); j = ring.Next(j), ++n) {
          const CameraPose& pose = ring[j].pose.slot[s];
          if (IsPoseInvalid(pose)) break;
          CameraCentre(pose, c);
          Vertex(c);
          if (j == shownRingFrame_) break;
        }
        glEnd();
      }
    }
    glLineWidth(1.0f);
  }

  if (mode == 1 || mode == 4) {
    for (u32 k = 0; k < K && k < w.keyFrameStates.Size(); ++k) {
      DrawCameraFrustum(w.keyFramePoses[k], kKeyFrameBlue, false);
      DrawCameraExtras(w.keyFramePoses[k], w.keyFrameStates[k], static_cast<u16>(k), nullptr);
    }
  }

  if (mode == 2) return;
  const bool image = settings_[kShowFrustumImage] != 0;
  if (shownFrame_ < K) {
    DrawCameraFrustum(w.keyFramePoses[shownFrame_], kLightBlue, image);
    if (shownFrame_ < w.keyFrameStates.Size())
      DrawCameraExtras(w.keyFramePoses[shownFrame_], w.keyFrameStates[shownFrame_], shownFrame_,
                       nullptr);
  } else if (ringShown) {
    const TrackerFrame& f = ring[shownRingFrame_];
    const CameraPose& other = f.pose.slot[OtherSlot(slot)];
    if (greyToo && IsPoseValid(other)) DrawCameraFrustum(other, kGrey, false);
    if (IsPoseInvalid(f.pose.slot[slot])) return;
    DrawCameraFrustum(f.pose.slot[slot], kSlotColours[slot], image);
    DrawCameraExtras(f.pose.slot[slot], f.state.record[slot], kNone16, &f);
  }
}

void TrackerDisplay::DrawRay(const double point[6], double length) {
  if (!tracker_.HasWindow()) return;
  glColor3ub(0, 255, 0);
  glBegin(GL_LINES);
  glVertex3d(point[0], point[1], point[2]);
  glVertex3d(point[0] + length * point[3], point[1] + length * point[4],
             point[2] + length * point[5]);
  glEnd();
}

void TrackerDisplay::DrawPointStem(const CameraPose& pose, const double v[3]) {
  if (!tracker_.HasWindow()) return;
  float P[3];
  CameraCentre(pose, P);
  const float s = scales_[kStemLength];
  float A[3], B[3];
  for (int r = 0; r < 3; ++r) {
    const double Rv = pose.m[r][0] * v[0] + pose.m[r][1] * v[1] + pose.m[r][2] * v[2];
    A[r] = P[r] - s * static_cast<float>(Rv);
    B[r] = P[r] - (r == 2 ? s : 0.0f);
  }
  // The stored direction beside the vertical, and the gap between them in blue.
  glBegin(GL_LINES);
  glColor3ub(255, 255, 255);
  Vertex(P);
  Vertex(A);
  Vertex(P);
  Vertex(B);
  glColor3ub(0, 0, 255);
  Vertex(A);
  Vertex(B);
  glEnd();
}
