// Stand-ins until the display is written; the pragma goes with them.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "tracker/Pending.h"
#include "tracker/TrackerDisplay.h"

void TrackerDisplay::SetupProjection() {
  Pending(__func__);
}

void TrackerDisplay::SetupView() {
  Pending(__func__);
}

float TrackerDisplay::ComputeViewScale(float a, float b) const {
  Pending(__func__);
}

void TrackerDisplay::UpdateViewTransform() {
  Pending(__func__);
}

LA::AlignedVector4f TrackerDisplay::UnprojectPoint(const CVD::ImageRef& position) const {
  Pending(__func__);
}

LA::AlignedVector4f TrackerDisplay::UnprojectAtDepth(const CVD::ImageRef& position,
                                                     float depth) const {
  Pending(__func__);
}

void TrackerDisplay::CenterView() {
  Pending(__func__);
}

void TrackerDisplay::UpdatePlaneGrids() {
  Pending(__func__);
}

bool TrackerDisplay::FilterTrack(u32 track) const {
  Pending(__func__);
}

void TrackerDisplay::DrawCameras() {
  Pending(__func__);
}

void TrackerDisplay::DrawMapPoints() {
  Pending(__func__);
}

void TrackerDisplay::DrawPlanes() {
  Pending(__func__);
}

void TrackerDisplay::DrawObjects() {
  Pending(__func__);
}

void TrackerDisplay::DrawMarkerOutline() {
  Pending(__func__);
}

void TrackerDisplay::DrawRay(const double point[6], double length) {
  Pending(__func__);
}

void TrackerDisplay::DrawPointStem(const CameraPose& pose, const double v[3]) {
  Pending(__func__);
}

void TrackerDisplay::DrawTextureQuad3D(const GLTexture& texture, const float corners[4][3]) {
  Pending(__func__);
}
