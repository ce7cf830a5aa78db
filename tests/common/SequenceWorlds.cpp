// The worlds of the hand-held sequences: a desk close-up, a furnished room
// and a poster on a wall. World z is up, the floor at z = 0; sizes in
// metres. Texture densities keep a texel at or under a pixel's footprint at
// the distances each sequence sees its surfaces from.
#include <cmath>

#include "tests/common/SequenceScene.h"
#include "tests/common/SurfaceTextures.h"

namespace {

int Texels(float metres, float density) {
  return std::max(static_cast<int>(metres * density + 0.5f), 2);
}

CVD::Image<unsigned char> WoodOf(int w, int h, u32 seed) {
  return SurfaceTexture::Wood(w, h, seed, 140.0f);
}

}  // namespace

void SequenceScene::AddPlane(const float origin[3], const float u[3], const float v[3], float width,
                             float height, CVD::Image<unsigned char> texture) {
  textures_.push_back(std::move(texture));
  SceneRender::TexturedPlane plane;
  for (int k = 0; k < 3; ++k) plane.origin[k] = origin[k], plane.u[k] = u[k], plane.v[k] = v[k];
  plane.width = width;
  plane.height = height;
  plane.texture = &textures_.back();
  planes_.push_back(plane);
}

void SequenceScene::AddBlock(float x, float y, float z0, float sx, float sy, float sz, float yaw,
                             CVD::Image<unsigned char> top, TextureMaker side, float density,
                             u32 seed) {
  const float c = std::cos(yaw), s = std::sin(yaw);
  const float ax[3] = {c, s, 0}, ay[3] = {-s, c, 0}, up[3] = {0, 0, 1};
  float corner[3];  // the (-x, -y) bottom corner
  for (int k = 0; k < 3; ++k) corner[k] = -0.5f * sx * ax[k] - 0.5f * sy * ay[k];
  corner[0] += x, corner[1] += y, corner[2] = z0;
  const float topOrigin[3] = {corner[0], corner[1], z0 + sz};
  AddPlane(topOrigin, ax, ay, sx, sy, std::move(top));
  // Sides: -y, +y along x; -x, +x along y.
  float o[3];
  for (int k = 0; k < 3; ++k) o[k] = corner[k];
  AddPlane(o, ax, up, sx, sz, side(Texels(sx, density), Texels(sz, density), seed + 1));
  for (int k = 0; k < 3; ++k) o[k] = corner[k] + sy * ay[k];
  AddPlane(o, ax, up, sx, sz, side(Texels(sx, density), Texels(sz, density), seed + 2));
  for (int k = 0; k < 3; ++k) o[k] = corner[k];
  AddPlane(o, ay, up, sy, sz, side(Texels(sy, density), Texels(sz, density), seed + 3));
  for (int k = 0; k < 3; ++k) o[k] = corner[k] + sx * ax[k];
  AddPlane(o, ay, up, sy, sz, side(Texels(sy, density), Texels(sz, density), seed + 4));
}

void SequenceScene::AddRoom(float x0, float x1, float y0, float y1, float height, float density,
                            u32 seed) {
  using namespace SurfaceTexture;
  const float W = x1 - x0, D = y1 - y0;
  const float ex[3] = {1, 0, 0}, ey[3] = {0, 1, 0};
  const float floorOrigin[3] = {x0, y0, 0};
  AddPlane(floorOrigin, ex, ey, W, D,
           FloorBoards(Texels(W, density), Texels(D, density), seed, density));
  const float ceilingOrigin[3] = {x0, y0, height};
  AddPlane(ceilingOrigin, ex, ey, W, D,
           PlasterWall(Texels(W, density / 4), Texels(D, density / 4), seed + 1, density / 4));
  // Walls, seen from inside: their texture's top row at the ceiling, so the
  // v axis runs down from it.
  const float down[3] = {0, 0, -1};
  const float wallOrigins[4][3] = {
      {x0, y0, height}, {x0, y1, height}, {x0, y0, height}, {x1, y0, height}};
  for (int k = 0; k < 4; ++k) {
    const bool across = k < 2;
    const float length = across ? W : D;
    AddPlane(wallOrigins[k], across ? ex : ey, down, length, height,
             PlasterWall(Texels(length, density), Texels(height, density), seed + 2 + k, density));
  }
}

void SequenceScene::BuildDesk(u32 seed) {
  using namespace SurfaceTexture;
  // A room of 4 x 2.65 m; the desk against its far wall at y = 0.65, its
  // top at z = 0.75; the camera looks down at it from 0.3-0.6 m.
  AddRoom(-2.0f, 2.0f, -2.0f, 0.65f, 2.5f, 400.0f, seed);
  const float z = 0.75f, ex[3] = {1, 0, 0}, ey[3] = {0, 1, 0}, ez[3] = {0, 0, 1};
  const float dense = 2000.0f;  // half a millimetre a texel on the desk
  const float top[3] = {-0.7f, -0.3f, z};
  AddPlane(top, ex, ey, 1.4f, 0.95f, Wood(Texels(1.4f, dense), Texels(0.95f, dense), seed + 10));
  const float front[3] = {-0.7f, -0.3f, 0.0f};
  AddPlane(front, ex, ez, 1.4f, z,
           Wood(Texels(1.4f, 500.0f), Texels(z, 500.0f), seed + 11, 100.0f));
  // Lying flat, lifted off the desk so that they win the depth test.
  const float page[3] = {-0.08f, -0.22f, z + 0.0005f};
  AddPlane(page, ex, ey, 0.21f, 0.297f,
           OpenPage(Texels(0.21f, dense), Texels(0.297f, dense), seed + 12));
  // A stack of two books, a third one alone, a cardboard box, a mug.
  const auto cover = [&](float sx, float sy, u32 s) {
    return BookCover(Texels(sx, dense), Texels(sy, dense), s);
  };
  AddBlock(-0.33f, 0.08f, z, 0.24f, 0.17f, 0.035f, 0.1f, cover(0.24f, 0.17f, seed + 20), BookPages,
           dense, seed + 20);
  AddBlock(-0.32f, 0.09f, z + 0.035f, 0.21f, 0.15f, 0.03f, -0.15f, cover(0.21f, 0.15f, seed + 30),
           BookPages, dense, seed + 30);
  AddBlock(0.32f, -0.12f, z, 0.15f, 0.22f, 0.025f, 0.35f, cover(0.15f, 0.22f, seed + 40), BookPages,
           dense, seed + 40);
  AddBlock(0.26f, 0.28f, z, 0.2f, 0.15f, 0.12f, -0.25f,
           Cardboard(Texels(0.2f, dense), Texels(0.15f, dense), seed + 50), Cardboard, dense,
           seed + 50);
  AddBlock(0.0f, 0.33f, z, 0.085f, 0.085f, 0.1f, 0.6f,
           Glazed(Texels(0.085f, dense), Texels(0.085f, dense), seed + 60), Glazed, dense,
           seed + 60);
  // A pen and a phone-like slab.
  AddBlock(0.12f, -0.05f, z, 0.14f, 0.01f, 0.01f, 0.8f, Glazed(Texels(0.14f, dense), 8, seed + 70),
           Glazed, dense, seed + 70);
  AddBlock(-0.45f, -0.15f, z, 0.075f, 0.15f, 0.009f, -0.3f,
           Glazed(Texels(0.075f, dense), Texels(0.15f, dense), seed + 80), Glazed, dense,
           seed + 80);
}

void SequenceScene::BuildRoom(u32 seed) {
  using namespace SurfaceTexture;
  // A room of 5.2 x 4.3 m, furnished along its walls and with a table in
  // the middle; walked through from x = -1.2 to 1.2 at y = -0.5.
  AddRoom(-2.6f, 2.6f, -2.0f, 2.3f, 2.6f, 400.0f, seed);
  const float dense = 600.0f;
  const auto top = [&](float sx, float sy, u32 s) {
    return Wood(Texels(sx, dense), Texels(sy, dense), s);
  };
  // The table: a slab on four legs.
  AddBlock(0.0f, 0.9f, 0.7f, 1.2f, 0.7f, 0.04f, 0.05f, top(1.2f, 0.7f, seed + 10), WoodOf, dense,
           seed + 10);
  for (int leg = 0; leg < 4; ++leg) {
    const float lx = leg % 2 ? 0.52f : -0.52f, ly = leg / 2 ? 1.18f : 0.62f;
    AddBlock(lx, ly, 0.0f, 0.05f, 0.05f, 0.7f, 0.05f, top(0.05f, 0.05f, seed + 11 + leg), WoodOf,
             dense, seed + 11 + leg);
  }
  // On the table: books, a box, a mug.
  const float t = 0.74f, fine = 1200.0f;
  AddBlock(-0.3f, 0.85f, t, 0.24f, 0.17f, 0.04f, 0.2f,
           BookCover(Texels(0.24f, fine), Texels(0.17f, fine), seed + 20), BookPages, fine,
           seed + 20);
  AddBlock(0.25f, 1.0f, t, 0.25f, 0.2f, 0.15f, -0.3f,
           Cardboard(Texels(0.25f, fine), Texels(0.2f, fine), seed + 30), Cardboard, fine,
           seed + 30);
  AddBlock(0.0f, 0.75f, t, 0.09f, 0.09f, 0.1f, 0.4f,
           Glazed(Texels(0.09f, fine), Texels(0.09f, fine), seed + 40), Glazed, fine, seed + 40);
  // Along the front wall: a cabinet and a bookshelf; a sofa on the left, a
  // chest of drawers and a box on the right; a low cupboard at the back.
  AddBlock(-1.2f, 2.05f, 0.0f, 1.3f, 0.45f, 0.9f, 0.0f, top(1.3f, 0.45f, seed + 50), Cabinet, dense,
           seed + 50);
  AddBlock(1.2f, 2.12f, 0.0f, 1.0f, 0.32f, 1.9f, 0.0f, top(1.0f, 0.32f, seed + 60), Bookshelf,
           dense, seed + 60);
  AddBlock(-2.1f, 0.6f, 0.0f, 0.9f, 2.0f, 0.45f, 0.0f,
           Fabric(Texels(0.9f, dense), Texels(2.0f, dense), seed + 70), Fabric, dense, seed + 70);
  AddBlock(-2.45f, 0.6f, 0.45f, 0.25f, 2.0f, 0.45f, 0.0f,
           Fabric(Texels(0.25f, dense), Texels(2.0f, dense), seed + 80), Fabric, dense, seed + 80);
  AddBlock(2.3f, 0.3f, 0.0f, 0.5f, 1.1f, 1.1f, 0.0f, top(0.5f, 1.1f, seed + 90), Cabinet, dense,
           seed + 90);
  AddBlock(1.7f, -0.9f, 0.0f, 0.45f, 0.35f, 0.35f, 0.4f,
           Cardboard(Texels(0.45f, dense), Texels(0.35f, dense), seed + 100), Cardboard, dense,
           seed + 100);
  AddBlock(0.0f, -1.8f, 0.0f, 1.6f, 0.4f, 0.8f, 0.0f, top(1.6f, 0.4f, seed + 110), Cabinet, dense,
           seed + 110);
}

void SequenceScene::BuildBoard(u32 seed) {
  using namespace SurfaceTexture;
  // A poster of 0.9 x 0.7 m on the far wall (y = 0.4) of a small room,
  // centred at 1.3 m; the camera looks at it from 0.37 m.
  AddRoom(-1.5f, 1.5f, -2.0f, 0.4f, 2.5f, 500.0f, seed);
  const float ex[3] = {1, 0, 0}, down[3] = {0, 0, -1};
  const float W = 0.9f, H = 0.7f, density = 2700.0f;
  const float origin[3] = {-0.5f * W, 0.4f - 0.001f, 1.3f + 0.5f * H};
  AddPlane(origin, ex, down, W, H, Poster(Texels(W, density), Texels(H, density), seed + 10));
}
