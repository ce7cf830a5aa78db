#include "tests/common/SequenceScene.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kNear = 0.01f;  // clip distance in front of the camera

float Dot(const float* a, const float* b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

void Rotate(const CameraPose& P, const float in[3], float out[3]) {
  for (int i = 0; i < 3; ++i) out[i] = P.m[i][0] * in[0] + P.m[i][1] * in[1] + P.m[i][2] * in[2];
}

}  // namespace

SequenceScene::SequenceScene(u32 seed) {
  BuildDemo(seed);
}

SequenceScene::SequenceScene(SequenceKind kind, u32 seed) {
  switch (kind) {
    case SequenceKind::kDemo:
      BuildDemo(seed);
      break;
    case SequenceKind::kDesk:
      BuildDesk(seed);
      break;
    case SequenceKind::kRoomWalk:
    case SequenceKind::kFastPans:
      BuildRoom(seed);
      break;
    case SequenceKind::kBoard:
      BuildBoard(seed);
      break;
  }
}

void SequenceScene::BuildDemo(u32 seed) {
  using SceneRender::MakeNoiseTexture;
  const float W = kHalfWidth * 2.0f, D = kFront - kBack;
  // Floor at 5 mm a texel with blobs of 1 to 3 cm, for corners at the density
  // of real frames; dark, so that the paper sheet stands out.
  textures_.push_back(MakeNoiseTexture(1200, 1400, seed, 6, 15, 140));
  planes_.push_back({{-kHalfWidth, kBack, 0}, {1, 0, 0}, {0, 1, 0}, W, D, &textures_.back()});
  textures_.push_back(SceneRender::MakeMarkerSheetTexture(594, 420, seed + 6));
  planes_.push_back({{-0.5f * kSheetWidth, -0.5f * kSheetHeight, kSheetLift},
                     {1, 0, 0},
                     {0, 1, 0},
                     kSheetWidth,
                     kSheetHeight,
                     &textures_.back()});
  // Walls at 1 cm a texel: back, front, left, right.
  const float wallOrigins[4][3] = {{-kHalfWidth, kBack, 0},
                                   {-kHalfWidth, kFront, 0},
                                   {-kHalfWidth, kBack, 0},
                                   {kHalfWidth, kBack, 0}};
  for (int k = 0; k < 4; ++k) {
    const bool across = k < 2;
    const float length = across ? W : D;
    textures_.push_back(
        MakeNoiseTexture(static_cast<int>(length * 100), 250, seed + 1 + k, 8, 10, 245));
    SceneRender::TexturedPlane wall = {{wallOrigins[k][0], wallOrigins[k][1], wallOrigins[k][2]},
                                       {across ? 1.0f : 0.0f, across ? 0.0f : 1.0f, 0},
                                       {0, 0, 1},
                                       length,
                                       kWallHeight,
                                       &textures_.back()};
    planes_.push_back(wall);
  }
  // Boxes off the sheet and below the camera's path.
  AddBox(-0.9f, 0.9f, 0.4f, 0.4f, 0.35f, seed + 10);
  AddBox(0.8f, 1.6f, 0.5f, 0.35f, 0.5f, seed + 20);
  AddBox(-0.3f, 2.6f, 0.6f, 0.4f, 0.3f, seed + 30);
  AddBox(1.1f, 0.2f, 0.3f, 0.3f, 0.25f, seed + 40);
  AddBox(-1.4f, 2.0f, 0.35f, 0.5f, 0.6f, seed + 50);
}

void SequenceScene::AddBox(float x, float y, float sx, float sy, float sz, u32 seed) {
  const float x0 = x - 0.5f * sx, y0 = y - 0.5f * sy;
  const SceneRender::TexturedPlane faces[5] = {
      {{x0, y0, sz}, {1, 0, 0}, {0, 1, 0}, sx, sy, nullptr},       // top
      {{x0, y0, 0}, {1, 0, 0}, {0, 0, 1}, sx, sz, nullptr},        // -y side
      {{x0, y0 + sy, 0}, {1, 0, 0}, {0, 0, 1}, sx, sz, nullptr},   // +y side
      {{x0, y0, 0}, {0, 1, 0}, {0, 0, 1}, sy, sz, nullptr},        // -x side
      {{x0 + sx, y0, 0}, {0, 1, 0}, {0, 0, 1}, sy, sz, nullptr}};  // +x side
  for (int k = 0; k < 5; ++k) {
    // About 3 mm a texel; each face its own print.
    const int tw = static_cast<int>(faces[k].width * 330) + 2;
    const int th = static_cast<int>(faces[k].height * 330) + 2;
    textures_.push_back(SceneRender::MakeNoiseTexture(tw, th, seed + k, 6, 30, 230));
    planes_.push_back(faces[k]);
    planes_.back().texture = &textures_.back();
  }
}

void SequenceScene::MarkerCorners(f64 corners[4][3]) const {
  const f64 W = 0.5 * kSheetWidth, H = 0.5 * kSheetHeight;
  const f64 model[4][2] = {{-W, -H}, {-W, H}, {W, H}, {W, -H}};
  for (int k = 0; k < 4; ++k) {
    corners[k][0] = model[k][0];
    corners[k][1] = -model[k][1];
    corners[k][2] = kSheetLift;
  }
}

void PlaneRasterizer::Render(const std::vector<SceneRender::TexturedPlane>& planes,
                             const CameraPose& pose, const Intrinsic& K,
                             CVD::Image<unsigned char>& out, unsigned char background) {
  DrawSamples(planes, pose, K, out.size().x, out.size().y, background);
  // Average the samples of each pixel, rounded as SceneRender::Render does.
  const int S = samples_, width = out.size().x * S;
  const float scale = 1.0f / static_cast<float>(S * S);
  for (int y = 0; y < out.size().y; ++y) {
    for (int x = 0; x < out.size().x; ++x) {
      float sum = 0.0f;
      for (int s = 0; s < S * S; ++s)
        sum += value_[static_cast<size_t>(y * S + s / S) * width + x * S + s % S];
      const float v = sum * scale + 0.5f;
      out[y][x] = static_cast<unsigned char>(std::min(std::max(v, 0.0f), 255.0f));
    }
  }
}

void PlaneRasterizer::RenderAdd(const std::vector<SceneRender::TexturedPlane>& planes,
                                const CameraPose& pose, const Intrinsic& K, int w, int h,
                                float* out, unsigned char background) {
  DrawSamples(planes, pose, K, w, h, background);
  const int S = samples_, width = w * S;
  const float scale = 1.0f / static_cast<float>(S * S);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      float sum = 0.0f;
      for (int s = 0; s < S * S; ++s)
        sum += value_[static_cast<size_t>(y * S + s / S) * width + x * S + s % S];
      out[static_cast<size_t>(y) * w + x] += sum * scale;
    }
  }
}

void PlaneRasterizer::DrawSamples(const std::vector<SceneRender::TexturedPlane>& planes,
                                  const CameraPose& pose, const Intrinsic& K, int w, int h,
                                  unsigned char background) {
  const int S = samples_, width = w * S, height = h * S;
  const size_t n = static_cast<size_t>(width) * height;
  if (inverseDepth_.size() < n) inverseDepth_.resize(n), value_.resize(n);
  std::fill(inverseDepth_.begin(), inverseDepth_.begin() + n, 0.0f);
  std::fill(value_.begin(), value_.begin() + n, static_cast<float>(background));
  // Planes in camera coordinates, drawn near to far so that the depth test
  // rejects most hidden samples before their texture lookup.
  const size_t count = planes.size();
  if (distance_.size() < 10 * count) distance_.resize(10 * count), order_.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const SceneRender::TexturedPlane& p = planes[i];
    float* o = &distance_[10 * i];
    float centre[3];
    for (int k = 0; k < 3; ++k)
      centre[k] = p.origin[k] + 0.5f * (p.width * p.u[k] + p.height * p.v[k]);
    SceneRender::ToCamera(pose, p.origin, o);
    Rotate(pose, p.u, o + 3);
    Rotate(pose, p.v, o + 6);
    float c[3];
    SceneRender::ToCamera(pose, centre, c);
    o[9] = Dot(c, c);
    order_[i] = static_cast<int>(i);
  }
  std::sort(order_.begin(), order_.begin() + count,
            [this](int a, int b) { return distance_[10 * a + 9] < distance_[10 * b + 9]; });
  for (size_t k = 0; k < count; ++k) {
    const float* o = &distance_[10 * order_[k]];
    DrawPlane(planes[order_[k]], o, o + 3, o + 6, K, width, height);
  }
}

void PlaneRasterizer::DrawPlane(const SceneRender::TexturedPlane& plane, const float o[3],
                                const float u[3], const float v[3], const Intrinsic& K, int width,
                                int height) {
  // The quad clipped to z >= kNear, then its bounding box in sample indices.
  float quad[4][3], clipped[8][3];
  for (int k = 0; k < 3; ++k) {
    quad[0][k] = o[k];
    quad[1][k] = o[k] + plane.width * u[k];
    quad[2][k] = o[k] + plane.width * u[k] + plane.height * v[k];
    quad[3][k] = o[k] + plane.height * v[k];
  }
  int m = 0;
  for (int i = 0; i < 4; ++i) {
    const float* a = quad[i];
    const float* b = quad[(i + 1) % 4];
    const bool ina = a[2] >= kNear, inb = b[2] >= kNear;
    if (ina) std::copy(a, a + 3, clipped[m++]);
    if (ina != inb) {
      const float s = (kNear - a[2]) / (b[2] - a[2]);
      for (int k = 0; k < 3; ++k) clipped[m][k] = a[k] + s * (b[k] - a[k]);
      clipped[m++][2] = kNear;
    }
  }
  if (m == 0) return;
  const float S = static_cast<float>(samples_);
  const float fx = K.fx[0], fy = K.fy[0], cx = K.cx[0], cy = K.cy[0];
  float lo[2] = {1e30f, 1e30f}, hi[2] = {-1e30f, -1e30f};
  for (int i = 0; i < m; ++i) {
    // Pixel p is sample (p + 0.5) S - 0.5.
    const float px = (fx * clipped[i][0] / clipped[i][2] + cx + 0.5f) * S - 0.5f;
    const float py = (fy * clipped[i][1] / clipped[i][2] + cy + 0.5f) * S - 0.5f;
    lo[0] = std::min(lo[0], px), hi[0] = std::max(hi[0], px);
    lo[1] = std::min(lo[1], py), hi[1] = std::max(hi[1], py);
  }
  const int x0 = std::max(0, static_cast<int>(std::floor(lo[0])) - 1);
  const int x1 = std::min(width - 1, static_cast<int>(std::ceil(hi[0])) + 1);
  const int y0 = std::max(0, static_cast<int>(std::floor(lo[1])) - 1);
  const int y1 = std::min(height - 1, static_cast<int>(std::ceil(hi[1])) + 1);
  if (x0 > x1 || y0 > y1) return;
  // Along the ray d = ((px - cx) / fx, (py - cy) / fy, 1) the plane n.X = n.o
  // lies at depth z = n.o / n.d, and X - o has coordinates (z d.u - o.u,
  // z d.v - o.v) in the plane.
  const float n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                      u[0] * v[1] - u[1] * v[0]};
  const float no = Dot(n, o);
  if (std::fabs(no) < 1e-12f) return;  // seen edge-on through the camera centre
  const float ou = Dot(o, u), ov = Dot(o, v), ino = 1.0f / no;
  const CVD::Image<unsigned char>& tex = *plane.texture;
  const int tw = tex.size().x, th = tex.size().y;
  // Ray x per sample column, shared by every row.
  if (columns_.size() < static_cast<size_t>(width)) columns_.resize(width);
  for (int x = x0; x <= x1; ++x) columns_[x] = ((x + 0.5f) / S - 0.5f - cx) / fx;
  for (int y = y0; y <= y1; ++y) {
    const float dy = ((y + 0.5f) / S - 0.5f - cy) / fy;
    const float nRow = n[1] * dy + n[2], uRow = u[1] * dy + u[2], vRow = v[1] * dy + v[2];
    float* depth = &inverseDepth_[static_cast<size_t>(y) * width];
    float* value = &value_[static_cast<size_t>(y) * width];
    for (int x = x0; x <= x1; ++x) {
      const float dx = columns_[x];
      const float iz = (n[0] * dx + nRow) * ino;
      if (iz <= 0.0f || iz <= depth[x]) continue;
      const float z = 1.0f / iz;
      const float s = z * (u[0] * dx + uRow) - ou, t = z * (v[0] * dx + vRow) - ov;
      if (s < 0.0f || t < 0.0f || s > plane.width || t > plane.height) continue;
      depth[x] = iz;
      value[x] = SceneRender::SampleBilinear(tex.data(), tw, th, s / plane.width * tw,
                                             t / plane.height * th);
    }
  }
}
