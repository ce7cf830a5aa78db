// Stand-ins until the display is written; the pragma goes with them.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "tracker/Pending.h"
#include "tracker/TrackerDisplay.h"

void RotationBetweenVectors(const float[3], const float[3], float[3][3]) {
  Pending(__func__);
}
void InvertScaledPose(const float[3][4], const float[3], float[3][4], float[3]) {
  Pending(__func__);
}
void QuaternionToRotation3f(const double[4], float[3][3]) {
  Pending(__func__);
}
void DrawRectangleOutline(float, float, float, float, float[8][2]) {
  Pending(__func__);
}
void SetFrustumCorners(const float[4], float[4][3]) {
  Pending(__func__);
}
void ComputeFrustum(const CameraPose&, const float[4], float[5][3], float[3][3]) {
  Pending(__func__);
}
void PlaneRotation(const float[3], float[3][3]) {
  Pending(__func__);
}
void Arcball::Reset(const float[3], float) {
  Pending(__func__);
}
void Arcball::Project(const float[3], float[3]) const {
  Pending(__func__);
}
void Arcball::Begin(const float[3], const float[3][3]) {
  Pending(__func__);
}
void Arcball::Drag(const float[3], float[3][3]) const {
  Pending(__func__);
}
