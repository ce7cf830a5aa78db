#pragma once
// The marker sheet lying on a textured floor, seen from a camera about
// IMU_INITIAL_HEIGHT above it and looking down: frames for the marker
// detector's tests and benchmark. World z points up; the sheet's model x runs
// along world x and its model y along world -y, so the model frame of a
// camera looking straight down (rows (1, 0, 0), (0, -1, 0), (0, 0, -1)) at
// the sheet centre is the detector's identity pose.
#include <cmath>
#include <utility>
#include <vector>

#include "common/Draws.h"
#include "tests/common/SceneRenderer.h"

struct MarkerScene {
  static constexpr int kWidth = 640, kHeight = 480;
  static constexpr float sheetWidth = 0.297f, sheetHeight = 0.21f, height = 1.1f;
  Intrinsic K = SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f);
  CVD::Image<unsigned char> floorTexture = SceneRender::MakeNoiseTexture(800, 800, 11, 10, 20, 110);
  CVD::Image<unsigned char> sheetTexture = SceneRender::MakeMarkerSheetTexture(594, 420);
  // Floor and sheet centred on the origin, the sheet just above the floor.
  std::vector<SceneRender::TexturedPlane> planes = {
      {{-2.0f, -2.0f, 0}, {1, 0, 0}, {0, 1, 0}, 4.0f, 4.0f, &floorTexture},
      {{-0.5f * sheetWidth, -0.5f * sheetHeight, 1e-4f},
       {1, 0, 0},
       {0, 1, 0},
       sheetWidth,
       sheetHeight,
       &sheetTexture}};

  // Camera at (x, y, z) looking down, tilted by (ax, ay) radians about world
  // x and y and turned by az about the vertical.
  static CameraPose LookDown(float x, float y, float z, float ax, float ay, float az) {
    const float ca = std::cos(az), sa = std::sin(az);
    float rows[3][3] = {{ca, -sa, 0}, {-sa, -ca, 0}, {0, 0, -1}};
    for (const auto& [axis, angle] : {std::pair(0, ax), {1, ay}}) {
      const float c = std::cos(angle), s = std::sin(angle);
      const int a = (axis + 1) % 3, b = (axis + 2) % 3;
      for (float* r : rows) {
        const float va = r[a], vb = r[b];
        r[a] = c * va - s * vb, r[b] = s * va + c * vb;
      }
    }
    const float c[3] = {x, y, z};
    return SceneRender::MakePose(rows[0], rows[1], rows[2], c);
  }

  // The camera moved by (dx, dy, dz) from above the sheet centre and turned.
  CameraPose Camera(float dx = 0, float dy = 0, float dz = 0, float ax = 0, float ay = 0,
                    float az = 0) const {
    return LookDown(dx, dy, height + dz, ax, ay, az);
  }

  // n seeded camera jitters about the nominal pose (5 mm and 5 mrad, 1 cm
  // and 10 mrad along and about the vertical) and their frames.
  void JitteredFrames(u32 seed, int n, CameraPose* poses, CVD::Image<unsigned char>* frames) const {
    Random::Seed(seed);
    for (int i = 0; i < n; ++i) {
      float d[6];  // drawn in order: argument evaluation order is unspecified
      for (int k = 0; k < 6; ++k) d[k] = Uniform(-0.005f, 0.005f) * (k % 3 == 2 ? 2.0f : 1.0f);
      poses[i] = Camera(d[0], d[1], d[2], d[3], d[4], d[5]);
      frames[i] = Render(poses[i]);
    }
  }

  // The sheet's corners in frame pixels under pose, in the detector's
  // model-corner order (-x -y, -x +y, +x +y, +x -y of the model frame).
  void TrueCorners(const CameraPose& pose, float out[8]) const {
    const float W = sheetWidth / 2, H = sheetHeight / 2;
    const float model[4][2] = {{-W, -H}, {-W, H}, {W, H}, {W, -H}};
    for (int k = 0; k < 4; ++k) {
      const float P[3] = {model[k][0], -model[k][1], 1e-4f};  // model y is world -y
      SceneRender::ProjectPoint(pose, K, P, out + 2 * k);
    }
  }

  // The frame seen from pose.
  CVD::Image<unsigned char> Render(const CameraPose& pose) const {
    CVD::Image<unsigned char> image(CVD::ImageRef(kWidth, kHeight));
    SceneRender::Render(planes, pose, K, image, 0, 2);
    return image;
  }
};
