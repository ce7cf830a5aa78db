#pragma once
// Seeded textures that look like the surfaces a hand-held camera meets:
// wood, printed pages and covers, a poster, plastered walls with pictures,
// fabric, cardboard. Each mixes structure at several scales, sharp edges and
// plain areas, as real surfaces do, so that corner detectors and image
// alignment meet what they meet in real frames and not white noise. Every
// function reseeds this thread's generator from its seed.
#include <cvd/image.h>

#include <vector>

#include "la/Types.h"

namespace SurfaceTexture {

// A grey canvas in floats, drawn on and then quantised.
class Canvas {
 public:
  Canvas(int width, int height, float value);
  int Width() const { return width_; }
  int Height() const { return height_; }
  float& At(int x, int y) { return pixels_[static_cast<size_t>(y) * width_ + x]; }

  // Adds amplitude * (noise - 0.5) of `octaves` value-noise octaves, the
  // coarsest with cells of cellSize texels, each half the size and
  // amplitude of the one before.
  void AddFractalNoise(float cellSize, int octaves, float amplitude);
  // Fills the rectangle [x0, x1) x [y0, y1) (clipped) with value; alpha
  // blends it with what is there.
  void FillRect(int x0, int y0, int x1, int y1, float value, float alpha = 1.0f);
  // A rectangle's outline of the given thickness.
  void FrameRect(int x0, int y0, int x1, int y1, int thickness, float value);
  // A disk, its edge smoothed over a texel.
  void FillDisk(float cx, float cy, float radius, float value);
  // Lines of print: rows of words (short dark bars) in the rectangle.
  void AddText(int x0, int y0, int x1, int y1, int lineHeight, float ink);
  // A photograph-like patch: blobs and shading at several scales.
  void AddPicture(int x0, int y0, int x1, int y1, float low, float high);
  // Wood grain along x over the whole canvas.
  void AddWoodGrain(float period, float amplitude);
  // Quantised to 8 bits.
  CVD::Image<unsigned char> ToImage() const;

 private:
  int width_, height_;
  std::vector<float> pixels_;
};

// A uniform number in [lo, hi) from this thread's generator.
float Uniform(float lo, float hi);

// The surfaces, width x height texels.
CVD::Image<unsigned char> Wood(int width, int height, u32 seed, float tone = 120.0f);
CVD::Image<unsigned char> PlasterWall(int width, int height, u32 seed, float texelsPerMetre);
CVD::Image<unsigned char> FloorBoards(int width, int height, u32 seed, float texelsPerMetre);
CVD::Image<unsigned char> BookCover(int width, int height, u32 seed);
CVD::Image<unsigned char> BookPages(int width, int height, u32 seed);  // the page edges
CVD::Image<unsigned char> OpenPage(int width, int height, u32 seed);
CVD::Image<unsigned char> Cardboard(int width, int height, u32 seed);
CVD::Image<unsigned char> Glazed(int width, int height, u32 seed);  // a mug's side
CVD::Image<unsigned char> Fabric(int width, int height, u32 seed);
CVD::Image<unsigned char> Cabinet(int width, int height, u32 seed);
CVD::Image<unsigned char> Bookshelf(int width, int height, u32 seed);
// A printed poster: tiles of flat tones, a checkerboard, disks, a picture,
// text, a plain margin.
CVD::Image<unsigned char> Poster(int width, int height, u32 seed);

}  // namespace SurfaceTexture
