#pragma once
// The world of the synthetic sequence and a fast renderer for it. A room of
// textured planes (a dark noise floor, four walls) with a few textured boxes
// and the printed marker sheet lying on the floor at the origin, its long
// side along world x. The renderer draws plane by plane into an owned
// supersampled buffer with an inverse-depth test, walking only each plane's
// projected bounding box, and averages the samples down; sample positions
// and texture lookups are those of SceneRender::Render, so both draw the
// same image.
#include <cvd/image.h>

#include <deque>
#include <vector>

#include "la/Pose.h"
#include "la/Types.h"
#include "tests/common/SceneRenderer.h"

class SequenceScene {
 public:
  // Textures from the seed; the layout is fixed.
  explicit SequenceScene(u32 seed = 1);
  SequenceScene(const SequenceScene&) = delete;
  SequenceScene& operator=(const SequenceScene&) = delete;

  // The planes, textures pointing into this object.
  const std::vector<SceneRender::TexturedPlane>& Planes() const { return planes_; }
  // The sheet's corners in world coordinates (on its surface), in the marker
  // detector's model-corner order: model (-x -y), (-x +y), (+x +y), (+x -y),
  // the model's y running along world -y.
  void MarkerCorners(f64 corners[4][3]) const;

  static constexpr float kSheetWidth = 0.297f, kSheetHeight = 0.21f;
  static constexpr float kSheetLift = 1e-4f;  // above the floor, so the sheet wins
  // Room bounds: x in [-kHalfWidth, kHalfWidth], y in [kBack, kFront].
  static constexpr float kHalfWidth = 3.0f, kBack = -2.5f, kFront = 4.5f, kWallHeight = 2.5f;

 private:
  void AddBox(float x, float y, float sx, float sy, float sz, u32 seed);

  std::deque<CVD::Image<unsigned char>> textures_;  // stable: the planes point into it
  std::vector<SceneRender::TexturedPlane> planes_;
};

// Draws planes seen by a pinhole camera. Buffers are owned and only grow,
// so rendering frame after frame allocates nothing once warm.
class PlaneRasterizer {
 public:
  // samples x samples rays per pixel, spread as SceneRender::Render does.
  explicit PlaneRasterizer(int samples = 2) : samples_(samples < 1 ? 1 : samples) {}

  // out must be sized; pixels seeing no plane get background.
  void Render(const std::vector<SceneRender::TexturedPlane>& planes, const CameraPose& pose,
              const Intrinsic& K, CVD::Image<unsigned char>& out, unsigned char background = 0);

 private:
  // Draws one plane into the sample buffers; planeCamera holds its origin,
  // u and v in camera coordinates.
  void DrawPlane(const SceneRender::TexturedPlane& plane, const float origin[3], const float u[3],
                 const float v[3], const Intrinsic& K, int width, int height);

  int samples_;
  std::vector<float> inverseDepth_, value_;
  std::vector<int> order_;
  std::vector<float> distance_;
  std::vector<float> columns_;
};
