// The image view's overlay primitives. Positions are normalised image
// coordinates; the image view's modelview carries them to window pixels.
// The warped variants carry positions of the shown item into the current
// frame through its image map first.
#include <GL/glew.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "la/Homography.h"
#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

// The point drawn alone, in the caller's colour and size.
void EmitPoint(const float p[2]) {
  glBegin(GL_POINTS);
  glVertex2f(p[0], p[1]);
  glEnd();
}

// A blue line of width 1 from a to b; the caller's colour and width survive.
void EmitBlueLine(const float a[2], const float b[2]) {
  glPushAttrib(GL_CURRENT_BIT | GL_LINE_BIT);
  glLineWidth(1.0f);
  glColor3ub(0, 0, 255);
  glBegin(GL_LINES);
  glVertex2f(a[0], a[1]);
  glVertex2f(b[0], b[1]);
  glEnd();
  glPopAttrib();
}

}  // namespace

bool TrackerDisplay::ProjectTrack(u32 track, const float pose[3][4], float out[2],
                                  float& depth) const {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  depth = -1.0f;
  if (track >= w.trackFlags.size() || track >= w.points.Size() ||
      !(w.trackFlags[track] & kTrackSolved))
    return false;
  if (pose[0][0] == FLT_MAX) return false;
  const float* X = w.points[track].v;
  float c[3];
  for (int r = 0; r < 3; ++r)
    c[r] = pose[r][0] * X[0] + pose[r][1] * X[1] + pose[r][2] * X[2] + pose[r][3];
  depth = c[2];
  // A point in the camera's plane has no image.
  if (!(depth > 0.0f)) return false;
  out[0] = c[0] / depth;
  out[1] = c[1] / depth;
  return std::isfinite(out[0]) && std::isfinite(out[1]);
}

bool TrackerDisplay::WarpToCurrent(const float in[2], float out[2]) const {
  const float* map = ShownImageMap();
  if (map == nullptr) {
    out[0] = in[0], out[1] = in[1];
    return true;
  }
  ApplyHomography(reinterpret_cast<const float(*)[4]>(map), in, out);
  return std::isfinite(out[0]) && std::isfinite(out[1]);
}

void TrackerDisplay::PatchOutlineVertices(const FeaturePatch& patch, float vertices[5][2]) const {
  const Intrinsic& k = tracker_.Camera().intrinsic[std::min<int>(patch.level, kPyramidLevels - 1)];
  const float s = scales_[kSquareScale];
  static constexpr int kOrder[5] = {0, 1, 3, 2, 0};
  for (int i = 0; i < 5; ++i) {
    const float* corner = patch.corners[kOrder[i]];
    const float x = patch.x + s * (corner[0] - patch.x), y = patch.y + s * (corner[1] - patch.y);
    vertices[i][0] = (x - k.cx[0]) * k.ifx[0];
    vertices[i][1] = (y - k.cy[0]) * k.ify[0];
  }
}

void TrackerDisplay::DrawCross(float x, float y, float w, float h, u32 track) {
  if (!tracker_.HasWindow()) return;
  if (IsSelected(track))
    glColor3ub(0, 0, 255);
  else
    glColor3ub(0, 255, 0);
  glBegin(GL_LINES);
  glVertex2f(x - w, y);
  glVertex2f(x + w, y);
  glVertex2f(x, y - h);
  glVertex2f(x, y + h);
  glEnd();
}

void TrackerDisplay::DrawPoint(float x, float y, const Intrinsic& level) {
  if (!tracker_.HasWindow()) return;
  const float p[2] = {(x - level.cx[0]) * level.ifx[0], (y - level.cy[0]) * level.ify[0]};
  EmitPoint(p);
}

void TrackerDisplay::DrawPointWarped(float x, float y, const Intrinsic& level) {
  if (!tracker_.HasWindow()) return;
  const float p[2] = {(x - level.cx[0]) * level.ifx[0], (y - level.cy[0]) * level.ify[0]};
  float q[2];
  if (WarpToCurrent(p, q)) EmitPoint(q);
}

float TrackerDisplay::DrawTrackPoint(u32 track, const CameraPose& pose) {
  float p[2], depth;
  if (ProjectTrack(track, pose.m, p, depth) && tracker_.HasWindow()) EmitPoint(p);
  return depth;
}

float TrackerDisplay::DrawTrackPointWarped(u32 track, const CameraPose& pose) {
  float p[2], q[2], depth;
  if (ProjectTrack(track, pose.m, p, depth) && WarpToCurrent(p, q) && tracker_.HasWindow())
    EmitPoint(q);
  return depth;
}

void TrackerDisplay::DrawTrackLine(u32 track, const float predicted[2], const CameraPose& pose,
                                   float out[2]) {
  float p[2], depth;
  if (!ProjectTrack(track, pose.m, p, depth)) {
    out[0] = predicted[0], out[1] = predicted[1];
    return;
  }
  out[0] = p[0], out[1] = p[1];
  if (!tracker_.HasWindow()) return;
  EmitPoint(p);
  if (trackLines_ == 1) EmitBlueLine(predicted, p);
}

void TrackerDisplay::DrawTrackLineWarped(u32 track, const float predicted[2],
                                         const CameraPose& pose, float out[2]) {
  float p[2], q[2], from[2], depth;
  const bool fromKnown = WarpToCurrent(predicted, from);
  if (!ProjectTrack(track, pose.m, p, depth) || !WarpToCurrent(p, q)) {
    out[0] = fromKnown ? from[0] : predicted[0];
    out[1] = fromKnown ? from[1] : predicted[1];
    return;
  }
  out[0] = q[0], out[1] = q[1];
  if (!tracker_.HasWindow()) return;
  EmitPoint(q);
  if (fromKnown && (trackLines_ == 1 || IsSelected(track))) EmitBlueLine(from, q);
}

void TrackerDisplay::DrawSquare(float x, float y, float focal) {
  if (!tracker_.HasWindow() || !(focal > 0.0f)) return;
  // Side 8 pixels times the square scale.
  const float h = 4.0f * scales_[kSquareScale] / focal;
  const float c[4][2] = {{x - h, y - h}, {x + h, y - h}, {x + h, y + h}, {x - h, y + h}};
  glBegin(GL_LINES);
  for (int i = 0; i < 4; ++i) {
    glVertex2f(c[i][0], c[i][1]);
    glVertex2f(c[(i + 1) % 4][0], c[(i + 1) % 4][1]);
  }
  glEnd();
}

void TrackerDisplay::DrawPatchOutline(const FeaturePatch& patch) {
  if (!tracker_.HasWindow() || patch.keyFrame != shownKeyFrame_) return;
  float v[5][2];
  PatchOutlineVertices(patch, v);
  glBegin(GL_LINE_STRIP);
  for (const auto& p : v) glVertex2f(p[0], p[1]);
  glEnd();
}

void TrackerDisplay::DrawPatchOutlineWarped(const FeaturePatch& patch) {
  if (!tracker_.HasWindow() || patch.keyFrame != shownKeyFrame_) return;
  float v[5][2], q[5][2];
  PatchOutlineVertices(patch, v);
  for (int i = 0; i < 5; ++i)
    if (!WarpToCurrent(v[i], q[i])) return;
  glBegin(GL_LINE_STRIP);
  for (const auto& p : q) glVertex2f(p[0], p[1]);
  glEnd();
}

void TrackerDisplay::FlipRecordingImageRows() {
  const int h = recording_.size().y, w = recording_.size().x;
  for (int top = 0, bottom = h - 1; top < bottom; ++top, --bottom)
    std::swap_ranges(recording_[top], recording_[top] + w, recording_[bottom]);
}
