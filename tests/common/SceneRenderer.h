#pragma once
// A seeded test renderer: textured planar rectangles seen by a pinhole camera,
// drawn into 8-bit grey images with bilinear texture lookups, so that sub-pixel
// camera motion moves the image smoothly and alignment code has gradients.
#include <cvd/image.h>

#include <algorithm>
#include <vector>

#include "la/Pose.h"
#include "la/Random.h"
#include "la/Types.h"

namespace SceneRender {

// A textured rectangle: its point (s, t), 0 <= s <= width, 0 <= t <= height,
// lies at origin + s u + t v (u, v orthonormal); the texture spans it whole
// and is not owned.
struct TexturedPlane {
  float origin[3], u[3], v[3];
  float width, height;
  const CVD::Image<unsigned char>* texture;
};

// Fills an intrinsic record from fx, fy, cx, cy.
inline Intrinsic MakeIntrinsic(float fx, float fy, float cx, float cy) {
  Intrinsic K;
  K.Set(fx, fy, cx, cy);
  return K;
}

// World-to-camera pose of a camera at centre c whose rotation rows are
// r0, r1, r2 (camera x, y and optical axis in world coordinates).
inline CameraPose MakePose(const float r0[3], const float r1[3], const float r2[3],
                           const float c[3]) {
  CameraPose pose;
  const float* rows[3] = {r0, r1, r2};
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 3; ++k) pose.m[i][k] = rows[i][k];
    pose.m[i][3] = -(rows[i][0] * c[0] + rows[i][1] * c[1] + rows[i][2] * c[2]);
  }
  return pose;
}

// X = pose P: a world point in camera coordinates.
inline void ToCamera(const CameraPose& pose, const float P[3], float X[3]) {
  for (int i = 0; i < 3; ++i)
    X[i] = pose.m[i][0] * P[0] + pose.m[i][1] * P[1] + pose.m[i][2] * P[2] + pose.m[i][3];
}

// The pixel of the world point P (pinhole, no distortion).
inline void ProjectPoint(const CameraPose& pose, const Intrinsic& K, const float P[3], float p[2]) {
  float X[3];
  ToCamera(pose, P, X);
  p[0] = K.fx[0] * X[0] / X[2] + K.cx[0];
  p[1] = K.fy[0] * X[1] / X[2] + K.cy[0];
}

// Renders the planes into out (sized already) from the world-to-camera pose;
// the nearest plane in front wins, pixels seeing none get background. Each
// pixel averages samples x samples rays spread over its area.
void Render(const std::vector<TexturedPlane>& planes, const CameraPose& worldToCamera,
            const Intrinsic& intrinsic, CVD::Image<unsigned char>& out,
            unsigned char background = 0, int samples = 2);

// Bilinear texture value at texel coordinates (x, y) (texel centres at
// integer + 0.5), clamped at the border.
float SampleBilinear(const CVD::Image<unsigned char>& texture, float x, float y);
// The same on a raw w x h texture (rows back to back), inline for the
// renderers' sample loops.
inline float SampleBilinear(const unsigned char* data, int w, int h, float x, float y) {
  x = std::min(std::max(x - 0.5f, 0.0f), static_cast<float>(w - 1));
  y = std::min(std::max(y - 0.5f, 0.0f), static_cast<float>(h - 1));
  const int ix = std::min(static_cast<int>(x), std::max(w - 2, 0));
  const int iy = std::min(static_cast<int>(y), std::max(h - 2, 0));
  const int ix1 = std::min(ix + 1, w - 1), iy1 = std::min(iy + 1, h - 1);
  const float ax = x - ix, ay = y - iy;
  const unsigned char* r0 = data + static_cast<size_t>(iy) * w;
  const unsigned char* r1 = data + static_cast<size_t>(iy1) * w;
  const float top = r0[ix] + (r0[ix1] - r0[ix]) * ax;
  const float bottom = r1[ix] + (r1[ix1] - r1[ix]) * ax;
  return top + (bottom - top) * ay;
}

// Seeded smooth value noise in [low, high]: two octaves on grids of cellSize
// and cellSize / 3 texels. Reseeds the thread's generator.
CVD::Image<unsigned char> MakeNoiseTexture(int width, int height, u32 seed, int cellSize = 8,
                                           unsigned char low = 0, unsigned char high = 255);

// The printed marker sheet: bright paper (245), a plain margin of
// marginFraction of the smaller side and dark seeded blobs inside it.
CVD::Image<unsigned char> MakeMarkerSheetTexture(int width, int height, u32 seed = 7,
                                                 float marginFraction = 0.12f);

}  // namespace SceneRender
