#pragma once
// The world of the synthetic sequence and a fast renderer for it. A room of
// textured planes (a dark noise floor, four walls) with a few textured boxes
// and the printed marker sheet lying on the floor at the origin, its long
// side along world x. The renderer draws plane by plane into an owned
// supersampled buffer with an inverse-depth test, walking only each plane's
// projected bounding box, and averages the samples down; sample positions
// and texture lookups are those of SceneRender::Render, so both draw the
// same image. The other kinds of sequence have worlds of their own (a desk,
// a furnished room, a poster on a wall), built in SequenceWorlds.cpp.
#include <cvd/image.h>

#include <deque>
#include <vector>

#include "la/Pose.h"
#include "la/Types.h"
#include "tests/common/SceneRenderer.h"
#include "tests/common/SequenceKind.h"

class SequenceScene {
 public:
  // Textures from the seed; the layout is fixed.
  explicit SequenceScene(u32 seed = 1);
  // The world of that kind of sequence; textures from the seed.
  SequenceScene(SequenceKind kind, u32 seed);
  SequenceScene(const SequenceScene&) = delete;
  SequenceScene& operator=(const SequenceScene&) = delete;

  // The planes, textures pointing into this object.
  const std::vector<SceneRender::TexturedPlane>& Planes() const { return planes_; }
  // The demo sheet's corners in world coordinates (on its surface; the other
  // kinds have no sheet), in the marker detector's model-corner order: model
  // (-x -y), (-x +y), (+x +y), (+x -y), the model's y running along world -y.
  void MarkerCorners(f64 corners[4][3]) const;

  static constexpr float kSheetWidth = 0.297f, kSheetHeight = 0.21f;
  static constexpr float kSheetLift = 1e-4f;  // above the floor, so the sheet wins
  // Room bounds: x in [-kHalfWidth, kHalfWidth], y in [kBack, kFront].
  static constexpr float kHalfWidth = 3.0f, kBack = -2.5f, kFront = 4.5f, kWallHeight = 2.5f;

 private:
  void BuildDemo(u32 seed);
  void BuildDesk(u32 seed);
  void BuildRoom(u32 seed);
  void BuildBoard(u32 seed);
  void AddBox(float x, float y, float sx, float sy, float sz, u32 seed);
  // A textured rectangle; the texture is kept here.
  void AddPlane(const float origin[3], const float u[3], const float v[3], float width,
                float height, CVD::Image<unsigned char> texture);
  // A block standing on z = z0, turned by yaw about its vertical axis through
  // (x, y): its top gets `top`, its sides textures of `side` at `density`
  // texels a metre, each from its own seed.
  using TextureMaker = CVD::Image<unsigned char> (*)(int width, int height, u32 seed);
  void AddBlock(float x, float y, float z0, float sx, float sy, float sz, float yaw,
                CVD::Image<unsigned char> top, TextureMaker side, float density, u32 seed);
  // The four walls, floor and ceiling of a room x in [x0, x1], y in [y0, y1].
  void AddRoom(float x0, float x1, float y0, float y1, float height, float density, u32 seed);

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
  // The same unrounded, width x height values row by row added into sum
  // (for averages of several renders).
  void RenderAdd(const std::vector<SceneRender::TexturedPlane>& planes, const CameraPose& pose,
                 const Intrinsic& K, int width, int height, float* sum,
                 unsigned char background = 0);

 private:
  // Fills the sample buffers for an image of width x height pixels.
  void DrawSamples(const std::vector<SceneRender::TexturedPlane>& planes, const CameraPose& pose,
                   const Intrinsic& K, int width, int height, unsigned char background);
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
