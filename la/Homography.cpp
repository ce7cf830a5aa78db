#include "la/Homography.h"

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
