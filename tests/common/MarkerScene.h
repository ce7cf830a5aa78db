#pragma once
// The marker sheet lying on a textured floor, seen from a camera about
// IMU_INITIAL_HEIGHT above it and looking down: frames for the marker
// detector's tests and benchmark. World z points up; the sheet's model x runs
// along world x and its model y along world -y, so the model frame of a
// camera looking straight down (rows (1, 0, 0), (0, -1, 0), (0, 0, -1)) at
// the sheet centre is the detector's identity pose.
#include <cmath>
#include <vector>

#include "la/Random.h"
#include "tests/common/SceneRenderer.h"

struct MarkerScene {
  static constexpr int kWidth = 640, kHeight = 480;
  float sheetWidth, sheetHeight, height;
  Intrinsic K;
  CVD::Image<unsigned char> floorTexture, sheetTexture;
  std::vector<SceneRender::TexturedPlane> planes;

  MarkerScene(float sheetW = 0.297f, float sheetH = 0.21f, float cameraHeight = 1.1f)
      : sheetWidth(sheetW), sheetHeight(sheetH), height(cameraHeight) {
    K = SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f);
    floorTexture = SceneRender::MakeNoiseTexture(800, 800, 11, 10, 20, 110);
    sheetTexture = SceneRender::MakeMarkerSheetTexture(594, 420);
    // Floor and sheet centred on the origin, the sheet just above the floor.
    const float x = -0.5f * sheetW, y = -0.5f * sheetH;
    planes = {{{-2.0f, -2.0f, 0}, {1, 0, 0}, {0, 1, 0}, 4.0f, 4.0f, &floorTexture},
              {{x, y, 1e-4f}, {1, 0, 0}, {0, 1, 0}, sheetW, sheetH, &sheetTexture}};
  }

  // Floor only: the sheet taken away.
  void RemoveSheet() { planes.resize(1); }

  // Camera looking down from (x, y, height + dz), tilted by (ax, ay) radians
  // about world x and y and turned by az about the vertical.
  static CameraPose LookDown(float x, float y, float z, float ax, float ay, float az) {
    // Start from rows (1,0,0), (0,-1,0), (0,0,-1) and rotate the camera.
    const float ca = std::cos(az), sa = std::sin(az);
    float r0[3] = {ca, -sa, 0}, r1[3] = {-sa, -ca, 0}, r2[3] = {0, 0, -1};
    RotateRows(r0, r1, r2, 0, ax);
    RotateRows(r0, r1, r2, 1, ay);
    const float c[3] = {x, y, z};
    return SceneRender::MakePose(r0, r1, r2, c);
  }

  CameraPose Camera(float dx = 0, float dy = 0, float dz = 0, float ax = 0, float ay = 0,
                    float az = 0) const {
    return LookDown(dx, dy, height + dz, ax, ay, az);
  }

  // n seeded camera jitters about the nominal pose (5 mm and 5 mrad, 1 cm
  // and 10 mrad along and about the vertical) and their frames.
  void JitteredFrames(u32 seed, int n, CameraPose* poses, CVD::Image<unsigned char>* frames) const {
    Random::Seed(seed);
    const auto jitter = [](float range) {
      return range * (2.0f * static_cast<float>(Random::Next()) / Random::kMax - 1.0f);
    };
    for (int i = 0; i < n; ++i) {
      poses[i] = Camera(jitter(0.005f), jitter(0.005f), jitter(0.01f), jitter(0.005f),
                        jitter(0.005f), jitter(0.01f));
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

  CVD::Image<unsigned char> Render(const CameraPose& pose) const {
    CVD::Image<unsigned char> image(CVD::ImageRef(kWidth, kHeight));
    SceneRender::Render(planes, pose, K, image, 0, 2);
    return image;
  }

 private:
  // Rotates the three row vectors (world directions) about world axis i.
  static void RotateRows(float* r0, float* r1, float* r2, int axis, float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    for (float* r : {r0, r1, r2}) {
      const float va = r[a], vb = r[b];
      r[a] = c * va - s * vb;
      r[b] = s * va + c * vb;
    }
  }
};
