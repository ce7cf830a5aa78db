// The 3-D map view's scene: map points coloured by what the shown item
// sees, foot lines and selection squares over them, plane grids, the
// marker outline and the registered objects' cubes. Immediate-mode GL
// inside the display update; nothing is drawn without a window.
#include <GL/glew.h>

#include <algorithm>
#include <boost/thread/locks.hpp>
#include <cfloat>
#include <cmath>

#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

void Vertex(const float p[3]) {
  glVertex3f(p[0], p[1], p[2]);
}

// Normalised camera coordinates of a world point under the pose; false
// behind the camera.
bool Project(const ViewPose& pose, const float X[3], float out[2]) {
  float x[3];
  for (int r = 0; r < 3; ++r)
    x[r] = pose.m[r][0] * X[0] + pose.m[r][1] * X[1] + pose.m[r][2] * X[2] + pose.m[r][3];
  if (x[2] <= 0.0f) return false;
  out[0] = x[0] / x[2];
  out[1] = x[1] / x[2];
  return true;
}

// The cube [-1, 1]^3, one colour per face.
void DrawCube() {
  struct Face {
    u8 colour[3];
    float v[4][3];
  };
  static const Face faces[6] = {
      {{0, 0, 255}, {{-1, -1, -1}, {-1, 1, -1}, {1, 1, -1}, {1, -1, -1}}},   // z = -1
      {{0, 255, 0}, {{-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}}},       // z = +1
      {{0, 255, 255}, {{1, -1, -1}, {1, 1, -1}, {1, 1, 1}, {1, -1, 1}}},     // x = +1
      {{255, 0, 0}, {{-1, -1, -1}, {-1, -1, 1}, {-1, 1, 1}, {-1, 1, -1}}},   // x = -1
      {{255, 0, 255}, {{-1, 1, -1}, {-1, 1, 1}, {1, 1, 1}, {1, 1, -1}}},     // y = +1
      {{255, 255, 0}, {{-1, -1, -1}, {1, -1, -1}, {1, -1, 1}, {-1, -1, 1}}}  // y = -1
  };
  glBegin(GL_QUADS);
  for (const Face& f : faces) {
    glColor3ub(f.colour[0], f.colour[1], f.colour[2]);
    for (const auto& v : f.v) Vertex(v);
  }
  glEnd();
}

}  // namespace

void TrackerDisplay::DrawMapPoints() {
  if (!tracker_.HasWindow()) return;
  TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& w = view.Working();
  const u32 mode = settings_[kDisplayMode];
  trackMask_.clear();
  if (mode == 1 || mode == 2) {
    if (shownFrame_ < w.keyFramePoses.Size())
      view.MarkKeyFrameTracks(shownFrame_, trackMask_);
    else if (shownFrame_ != kNone16 && tracker_.Ring().Contains(shownRingFrame_))
      view.MarkFrameTracks(tracker_.Ring()[shownRingFrame_], trackMask_);
  }
  {
    // The colours live in the shared map only, and a merge may rewrite them.
    const GlobalMap& map = view.Map();
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    trackColors_.assign(map.trackColors.begin(), map.trackColors.end());
  }
  // The grids and the sheet belong to the map as the points do; the points
  // go over them.
  DrawPlanes();
  DrawMarkerOutline();
  const u32 T = std::min<u32>(w.points.Size(), static_cast<u32>(w.trackFlags.size()));
  glPointSize(1.0f);
  glBegin(GL_POINTS);
  for (u32 i = 0; i < T; ++i) {
    const u8 f = w.trackFlags[i];
    if (!(f & kTrackSolved) || FilterTrack(i)) continue;
    if (i < trackMask_.size() && trackMask_[i])
      glColor3ub(255, (f & kTrackInlier) ? 255 : 0, 0);
    else if (i < trackColors_.size())
      glColor3ub(trackColors_[i].red, trackColors_[i].green, trackColors_[i].blue);
    else
      glColor3ub(0, 255, 255);
    Vertex(w.points[i].v);
  }
  glEnd();
  if (showFootLines_ || selectedTracks_[0] != kNone32 || selectedTracks_[1] != kNone32)
    DrawMapOverlay();
}

void TrackerDisplay::DrawMapOverlay() {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  const Intrinsic& K = tracker_.Camera().intrinsic[0];
  i32 vp[4];
  ViewportOrImage(vp);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0.0, vp[2], vp[3], 0.0, -1.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glScalef(imageToWindow_[0], imageToWindow_[1], 1.0f);
  glTranslatef(K.cx[0], K.cy[0], 0.0f);
  glScalef(K.fx[0], K.fy[0], 1.0f);

  const u32 T = std::min<u32>(w.points.Size(), static_cast<u32>(w.trackFlags.size()));
  glColor3ub(0, 0, 255);
  glLineWidth(1.0f);
  glBegin(GL_LINES);
  for (u32 i = 0; i < T; ++i) {
    if (!(w.trackFlags[i] & kTrackSolved) || FilterTrack(i)) continue;
    if (!showFootLines_ && !IsSelected(i)) continue;
    const u16 p = i < w.trackPlanes.size() ? w.trackPlanes[i] : kNone16;
    if (p >= w.planes.Size() || p >= planeShown_.size() || !planeShown_[p]) continue;
    const float* X = w.points[i].v;
    const float* n = w.planes[p].v;
    const float e = n[0] * X[0] + n[1] * X[1] + n[2] * X[2] + n[3];
    const float foot[3] = {X[0] - e * n[0], X[1] - e * n[1], X[2] - e * n[2]};
    float a[2], b[2];
    if (!Project(viewPose_, X, a) || !Project(viewPose_, foot, b)) continue;
    glVertex2f(a[0], a[1]);
    glVertex2f(b[0], b[1]);
  }
  glEnd();

  // Five pixels round each selected point.
  const float hx = 5.0f / std::sqrt(K.fx[0] * K.fy[0]), hy = hx;
  glLineWidth(2.0f);
  for (const u32 t : selectedTracks_) {
    float a[2];
    if (t >= T || !(w.trackFlags[t] & kTrackSolved) || !Project(viewPose_, w.points[t].v, a))
      continue;
    float v[8][2];
    DrawRectangleOutline(a[0], a[1], hx, hy, v);
    glBegin(GL_LINES);
    for (const auto& p : v) glVertex2f(p[0], p[1]);
    glEnd();
  }
  glLineWidth(1.0f);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
}

void TrackerDisplay::DrawPlanes() {
  if (!tracker_.HasWindow()) return;
  const u32 P =
      static_cast<u32>(std::min({planeFrames_.size(), planeExtents_.size(), planeShown_.size()}));
  glEnable(GL_DEPTH_TEST);
  glLineWidth(1.0f);
  glColor3ub(255, 255, 255);
  const float g = scales_[kPlaneGridScale];
  for (u32 i = 0; i < P; ++i) {
    const float* x = planeExtents_[i].v;
    // A plane without inlier points has no extent: an infinite grid would follow.
    if (!planeShown_[i] || !(x[0] <= x[2]) || !(x[1] <= x[3])) continue;
    const float m[2] = {0.5f * (x[0] + x[2]), 0.5f * (x[1] + x[3])};
    const float e[2] = {(x[2] - m[0]) * g, (x[3] - m[1]) * g};
    glPushMatrix();
    glMultMatrixf(&planeFrames_[i].m[0][0]);
    glBegin(GL_LINES);
    for (int k = 0; k <= 10; ++k) {
      const float u = m[0] - e[0] + k * (2.0f * e[0]) / 10.0f;
      const float v = m[1] - e[1] + k * (2.0f * e[1]) / 10.0f;
      glVertex3f(u, m[1] - e[1], 0.0f);
      glVertex3f(u, m[1] + e[1], 0.0f);
      glVertex3f(m[0] - e[0], v, 0.0f);
      glVertex3f(m[0] + e[0], v, 0.0f);
    }
    glEnd();
    glPopMatrix();
  }
  glDisable(GL_DEPTH_TEST);
}

void TrackerDisplay::DrawObjects() {
  if (!tracker_.HasWindow()) return;
  const std::vector<TrackerObject>& objects = tracker_.Objects().List();
  if (objects.empty()) return;
  glEnable(GL_DEPTH_TEST);
  const GLboolean culling = glIsEnabled(GL_CULL_FACE);
  glDisable(GL_CULL_FACE);
  for (const TrackerObject& o : objects) {
    if (o.transforms.Size() <= kPoseMatrix) continue;
    const LA::AlignedMatrix4f& T = o.transforms[kPoseMatrix];
    if (T.m[0][0] == FLT_MAX) continue;
    // Object to map as y = s (R x + t): rows [R | t] over (s, s, s, 1).
    const float s = T.m[3][0];
    float M[16];
    for (int c = 0; c < 4; ++c)
      for (int r = 0; r < 4; ++r) M[4 * c + r] = r < 3 ? s * T.m[r][c] : (c == 3 ? 1.0f : 0.0f);
    glPushMatrix();
    glMultMatrixf(M);
    const float size = o.scale * scales_[kObjectScale];
    glScalef(size, size, size);
    DrawCube();
    glPopMatrix();
  }
  if (culling) glEnable(GL_CULL_FACE);
  glDisable(GL_DEPTH_TEST);
}

void TrackerDisplay::DrawMarkerOutline() {
  if (!tracker_.HasWindow()) return;
  const MapWorkingCopy& w = tracker_.MapView().Working();
  if (w.points.Size() < 4 || w.trackFlags.size() < 4) return;
  for (u32 i = 0; i < 4; ++i)
    if (!(w.trackFlags[i] & kTrackMarker)) return;
  glColor3ub(0, 255, 0);
  glBegin(GL_LINE_STRIP);
  for (u32 i = 0; i <= 4; ++i) Vertex(w.points[i % 4].v);
  glEnd();
}
