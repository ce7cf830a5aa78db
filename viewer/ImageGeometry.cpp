#include "viewer/ImageGeometry.h"

#include <cfloat>

void ApplyHomography(const float H[3][4], const float p[2], float out[2]) {
  const float x = H[0][0] * p[0] + H[0][1] * p[1] + H[0][2];
  const float y = H[1][0] * p[0] + H[1][1] * p[1] + H[1][2];
  if (H[2][0] == FLT_MAX) {
    out[0] = x;
    out[1] = y;
    return;
  }
  const float iw = 1.0f / (H[2][0] * p[0] + H[2][1] * p[1] + H[2][2]);
  out[0] = x * iw;
  out[1] = y * iw;
}

void ComputeRelativePose(const CameraPose& P0, const CameraPose& P1, CameraPose& out) {
  CameraPose R;
  // R1 R0^T: rows of R1 dotted with rows of R0; the fourth floats stay free.
  LA::MultiplyABT(P1, P0, R);
  for (int i = 0; i < 3; ++i) {
    R.m[i][3] =
        P1.m[i][3] - (R.m[i][0] * P0.m[0][3] + R.m[i][1] * P0.m[1][3] + R.m[i][2] * P0.m[2][3]);
  }
  out = R;
}
