#include "tests/common/SurfaceTextures.h"

#include <algorithm>
#include <cmath>

#include "la/Random.h"

namespace SurfaceTexture {

namespace {

float Unit() {
  return static_cast<float>(Random::Next()) / (static_cast<float>(Random::kMax) + 1.0f);
}

int UniformInt(int lo, int hi) {  // [lo, hi]
  return lo + static_cast<int>(Random::Index(static_cast<u32>(std::max(hi - lo + 1, 1))));
}

}  // namespace

float Uniform(float lo, float hi) {
  return lo + (hi - lo) * Unit();
}

Canvas::Canvas(int width, int height, float value)
    : width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      pixels_(static_cast<size_t>(width_) * height_, value) {}

void Canvas::AddFractalNoise(float cellSize, int octaves, float amplitude) {
  for (int o = 0; o < octaves && cellSize >= 1.0f; ++o, cellSize *= 0.5f, amplitude *= 0.5f) {
    const int gw = static_cast<int>(width_ / cellSize) + 2;
    const int gh = static_cast<int>(height_ / cellSize) + 2;
    std::vector<float> grid(static_cast<size_t>(gw) * gh);
    for (float& g : grid) g = Unit() - 0.5f;
    const float inv = 1.0f / cellSize;
    for (int y = 0; y < height_; ++y) {
      const float fy = (y + 0.5f) * inv;
      const int iy = std::min(static_cast<int>(fy), gh - 2);
      float ty = fy - iy;
      ty = ty * ty * (3.0f - 2.0f * ty);
      float* row = &pixels_[static_cast<size_t>(y) * width_];
      for (int x = 0; x < width_; ++x) {
        const float fx = (x + 0.5f) * inv;
        const int ix = std::min(static_cast<int>(fx), gw - 2);
        float tx = fx - ix;
        tx = tx * tx * (3.0f - 2.0f * tx);
        const float* r0 = &grid[static_cast<size_t>(iy) * gw + ix];
        const float* r1 = r0 + gw;
        const float top = r0[0] + (r0[1] - r0[0]) * tx;
        const float bottom = r1[0] + (r1[1] - r1[0]) * tx;
        row[x] += amplitude * (top + (bottom - top) * ty);
      }
    }
  }
}

void Canvas::FillRect(int x0, int y0, int x1, int y1, float value, float alpha) {
  x0 = std::max(x0, 0), y0 = std::max(y0, 0);
  x1 = std::min(x1, width_), y1 = std::min(y1, height_);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) At(x, y) += alpha * (value - At(x, y));
}

void Canvas::FrameRect(int x0, int y0, int x1, int y1, int t, float value) {
  FillRect(x0, y0, x1, y0 + t, value);
  FillRect(x0, y1 - t, x1, y1, value);
  FillRect(x0, y0, x0 + t, y1, value);
  FillRect(x1 - t, y0, x1, y1, value);
}

void Canvas::FillDisk(float cx, float cy, float radius, float value) {
  const int x0 = std::max(static_cast<int>(cx - radius - 1), 0);
  const int x1 = std::min(static_cast<int>(cx + radius + 2), width_);
  const int y0 = std::max(static_cast<int>(cy - radius - 1), 0);
  const int y1 = std::min(static_cast<int>(cy + radius + 2), height_);
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      const float d = std::hypot(x + 0.5f - cx, y + 0.5f - cy);
      const float a = std::min(std::max(radius + 0.5f - d, 0.0f), 1.0f);
      At(x, y) += a * (value - At(x, y));
    }
  }
}

void Canvas::AddText(int x0, int y0, int x1, int y1, int lineHeight, float ink) {
  lineHeight = std::max(lineHeight, 3);
  const int glyph = std::max(lineHeight * 2 / 3, 2);  // x-height and letter width
  for (int y = y0; y + glyph <= y1; y += lineHeight) {
    int x = x0 + (Unit() < 0.15f ? UniformInt(1, 4) * glyph : 0);  // indented lines
    const int end = x1 - (Unit() < 0.2f ? UniformInt(2, 12) * glyph : 0);
    while (x < end) {
      const int letters = UniformInt(1, 9);
      for (int l = 0; l < letters && x + glyph <= end; ++l) {
        // A letter: a stroke pattern of its own, some with ascenders.
        const int kind = UniformInt(0, 5);
        const int w = glyph - 1, top = kind == 5 ? y - glyph / 2 : y;
        if (kind == 0 || kind == 1) FrameRect(x, top, x + w, y + glyph, 1, ink);
        if (kind == 2) FillRect(x, top, x + std::max(w / 3, 1), y + glyph, ink);
        if (kind == 3) {
          FillRect(x, y, x + w, y + 1, ink);
          FillRect(x + w / 2, y, x + w / 2 + 1, y + glyph, ink);
        }
        if (kind == 4) FillRect(x, y + glyph / 2, x + w, y + glyph / 2 + 1, ink);
        if (kind == 5) FillRect(x, top, x + 1, y + glyph, ink);
        if (kind == 4 || kind == 5) FillRect(x, y + glyph - 1, x + w, y + glyph, ink);
        x += glyph;
      }
      x += glyph;  // the space between words
    }
  }
}

void Canvas::AddPicture(int x0, int y0, int x1, int y1, float low, float high) {
  x0 = std::max(x0, 0), y0 = std::max(y0, 0);
  x1 = std::min(x1, width_), y1 = std::min(y1, height_);
  if (x1 <= x0 || y1 <= y0) return;
  Canvas patch(x1 - x0, y1 - y0, 0.5f * (low + high));
  const float size = static_cast<float>(std::min(x1 - x0, y1 - y0));
  patch.AddFractalNoise(size / 3.0f, 5, 1.6f * (high - low));
  // A few shapes with hard edges, as objects in a photograph have.
  const int shapes = UniformInt(3, 7);
  for (int s = 0; s < shapes; ++s) {
    const float r = Uniform(0.05f, 0.2f) * size;
    const float cx = Uniform(0.0f, static_cast<float>(x1 - x0));
    const float cy = Uniform(0.0f, static_cast<float>(y1 - y0));
    if (s % 2 == 0)
      patch.FillDisk(cx, cy, r, Uniform(low, high));
    else
      patch.FillRect(static_cast<int>(cx - r), static_cast<int>(cy - 0.6f * r),
                     static_cast<int>(cx + r), static_cast<int>(cy + 0.6f * r), Uniform(low, high));
  }
  patch.AddFractalNoise(size / 20.0f, 2, 0.15f * (high - low));
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      At(x, y) = std::min(std::max(patch.At(x - x0, y - y0), low), high);
}

void Canvas::AddWoodGrain(float period, float amplitude) {
  // Rings bent by a slow noise field: a copy of the canvas's own noise.
  Canvas bend(width_, height_, 0.0f);
  bend.AddFractalNoise(period * 12.0f, 3, period * 5.0f);
  Canvas fine(width_, height_, 0.0f);
  fine.AddFractalNoise(std::max(period * 0.6f, 2.0f), 2, 1.0f);
  const float w = 6.2831853f / period;
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      const float phase = w * (y + bend.At(x, y)) + 0.8f * fine.At(x, y);
      const float s = std::sin(phase);
      // Late wood: thin dark lines, not a sine's even stripes.
      At(x, y) += amplitude * (0.35f * s - 0.9f * std::pow(std::max(s, 0.0f), 8.0f));
    }
  }
}

CVD::Image<unsigned char> Canvas::ToImage() const {
  CVD::Image<unsigned char> out(CVD::ImageRef(width_, height_));
  for (size_t i = 0; i < pixels_.size(); ++i)
    out.data()[i] = static_cast<unsigned char>(std::min(std::max(pixels_[i] + 0.5f, 0.0f), 255.0f));
  return out;
}

CVD::Image<unsigned char> Wood(int width, int height, u32 seed, float tone) {
  Random::Seed(seed);
  Canvas c(width, height, tone);
  c.AddFractalNoise(static_cast<float>(std::max(width, height)) / 4.0f, 3, 30.0f);
  c.AddWoodGrain(Uniform(14.0f, 22.0f), 28.0f);
  // Knots and a few marks of use.
  for (int k = UniformInt(1, 3); k > 0; --k) {
    const float x = Uniform(0.0f, width), y = Uniform(0.0f, height), r = Uniform(6.0f, 14.0f);
    c.FillDisk(x, y, r + 4.0f, tone - 25.0f);
    c.FillDisk(x, y, r, tone - 55.0f);
  }
  c.AddFractalNoise(3.0f, 1, 10.0f);
  return c.ToImage();
}

CVD::Image<unsigned char> PlasterWall(int width, int height, u32 seed, float texelsPerMetre) {
  Random::Seed(seed);
  const float m = texelsPerMetre;
  Canvas c(width, height, Uniform(175.0f, 215.0f));
  // Mostly plain: faint shading and a little grain.
  c.AddFractalNoise(0.8f * m, 3, 14.0f);
  c.AddFractalNoise(6.0f, 1, 4.0f);
  // A skirting board along the floor.
  c.FillRect(0, height - static_cast<int>(0.08f * m), width, height, Uniform(90.0f, 150.0f));
  c.FillRect(0, height - static_cast<int>(0.085f * m), width, height - static_cast<int>(0.08f * m),
             60.0f);
  // Framed pictures, a light switch and a door, spread along the wall.
  const float wallLength = width / m;
  float x = Uniform(0.3f, 0.9f);
  while (x < wallLength - 0.6f) {
    const float w = Uniform(0.3f, 0.9f), h = Uniform(0.25f, 0.7f);
    if (x + w > wallLength - 0.2f) break;
    const float top = Uniform(0.7f, 1.1f);  // metres below the ceiling line at 2.5 m
    const int x0 = static_cast<int>(x * m), x1 = static_cast<int>((x + w) * m);
    const int y0 = static_cast<int>(top * m), y1 = static_cast<int>((top + h) * m);
    const float kind = Unit();
    if (kind < 0.6f) {
      const int frame = std::max(static_cast<int>(0.025f * m), 2);
      c.FillRect(x0, y0, x1, y1, Uniform(20.0f, 90.0f));
      c.FillRect(x0 + frame, y0 + frame, x1 - frame, y1 - frame, 235.0f);  // the mount
      c.AddPicture(x0 + 3 * frame, y0 + 3 * frame, x1 - 3 * frame, y1 - 3 * frame, 25.0f, 230.0f);
    } else if (kind < 0.8f) {
      // A calendar or notice: paper with print.
      c.FillRect(x0, y0, x1, y1, 240.0f);
      c.AddText(x0 + 6, y0 + 6, x1 - 6, y1 - 6, std::max(static_cast<int>(0.012f * m), 4), 40.0f);
    } else {
      // A door: a panel to the floor with its frame and handle.
      const int d0 = x0, d1 = static_cast<int>(std::min(x + 0.85f, wallLength - 0.1f) * m);
      const int dy = static_cast<int>(0.45f * m);
      c.FillRect(d0, dy, d1, height, Uniform(120.0f, 200.0f));
      c.FrameRect(d0, dy, d1, height, std::max(static_cast<int>(0.04f * m), 2), 95.0f);
      c.FillDisk(d1 - 0.1f * m, dy + 1.1f * m, 0.025f * m, 40.0f);
      x += 0.5f;
    }
    x += w + Uniform(0.4f, 1.2f);
  }
  return c.ToImage();
}

CVD::Image<unsigned char> FloorBoards(int width, int height, u32 seed, float texelsPerMetre) {
  Random::Seed(seed);
  Canvas c(width, height, 110.0f);
  const int board = std::max(static_cast<int>(0.14f * texelsPerMetre), 4);
  for (int y = 0; y < height; y += board) {
    int x = -UniformInt(0, static_cast<int>(texelsPerMetre));
    while (x < width) {
      const int length = static_cast<int>(Uniform(0.8f, 1.6f) * texelsPerMetre);
      c.FillRect(x, y, x + length, y + board, Uniform(85.0f, 145.0f));
      c.FillRect(x, y, x + 2, y + board, 45.0f);  // the joint at its end
      x += length;
    }
    c.FillRect(0, y, width, y + 2, 45.0f);
  }
  c.AddWoodGrain(std::max(0.012f * texelsPerMetre, 3.0f), 18.0f);
  c.AddFractalNoise(0.5f * texelsPerMetre, 2, 20.0f);
  return c.ToImage();
}

CVD::Image<unsigned char> BookCover(int width, int height, u32 seed) {
  Random::Seed(seed);
  const float tone = Uniform(40.0f, 210.0f), ink = tone > 125.0f ? 25.0f : 235.0f;
  Canvas c(width, height, tone);
  c.AddFractalNoise(width / 2.0f, 2, 10.0f);
  const int m = width / 10;
  // A title, an author, a picture or a band.
  c.AddText(m, m, width - m, m + height / 8, std::max(height / 16, 5), ink);
  if (Unit() < 0.6f)
    c.AddPicture(m, height / 4, width - m, height * 3 / 4, 20.0f, 235.0f);
  else
    c.FillRect(0, height / 3, width, height / 2, 255.0f - tone);
  c.AddText(m, height * 4 / 5, width - 2 * m, height - m / 2, std::max(height / 24, 4), ink);
  c.FrameRect(0, 0, width, height, std::max(width / 120, 1), tone * 0.6f);
  return c.ToImage();
}

CVD::Image<unsigned char> BookPages(int width, int height, u32 seed) {
  Random::Seed(seed);
  Canvas c(width, height, 225.0f);
  // Fine lines of the page edges along the long side.
  for (int y = 0; y < height; ++y) {
    const float v = Uniform(-12.0f, 12.0f);
    for (int x = 0; x < width; ++x) c.At(x, y) += v;
  }
  c.AddFractalNoise(width / 3.0f, 2, 16.0f);
  return c.ToImage();
}

CVD::Image<unsigned char> OpenPage(int width, int height, u32 seed) {
  Random::Seed(seed);
  Canvas c(width, height, 238.0f);
  const int m = width / 9;
  const int line = std::max(height / 45, 5);
  c.AddText(m, m, width - m, height / 2, line, 35.0f);
  c.AddPicture(m, height / 2 + line, width - m, height * 3 / 4, 40.0f, 220.0f);
  c.AddText(m, height * 3 / 4 + line, width - m, height - m, line, 35.0f);
  c.AddFractalNoise(width / 2.0f, 2, 6.0f);
  return c.ToImage();
}

CVD::Image<unsigned char> Cardboard(int width, int height, u32 seed) {
  Random::Seed(seed);
  Canvas c(width, height, 150.0f);
  c.AddFractalNoise(width / 3.0f, 4, 24.0f);
  // Packing tape and a printed label.
  const int tape = std::max(height / 6, 3);
  c.FillRect(0, height / 2 - tape / 2, width, height / 2 + tape / 2, 185.0f, 0.7f);
  const int lx = width / 8, ly = height / 8;
  c.FillRect(lx, ly, lx + width / 3, ly + height / 4, 240.0f);
  c.AddText(lx + 4, ly + 4, lx + width / 3 - 4, ly + height / 4 - 4, std::max(height / 30, 4),
            30.0f);
  c.FillRect(width * 2 / 3, height * 2 / 3, width * 2 / 3 + width / 8, height * 2 / 3 + height / 10,
             40.0f);  // a printed symbol
  return c.ToImage();
}

CVD::Image<unsigned char> Glazed(int width, int height, u32 seed) {
  Random::Seed(seed);
  const float tone = Uniform(60.0f, 220.0f);
  Canvas c(width, height, tone);
  c.AddFractalNoise(width / 2.0f, 2, 8.0f);
  // A printed band with a logo.
  c.FillRect(0, height / 3, width, height / 3 + height / 8, 255.0f - tone);
  c.FillDisk(width * 0.5f, height * 0.65f, height * 0.12f, 255.0f - tone);
  c.AddText(width / 4, height * 0.8f, width * 3 / 4, height - 2, std::max(height / 18, 4),
            255.0f - tone);
  return c.ToImage();
}

CVD::Image<unsigned char> Fabric(int width, int height, u32 seed) {
  Random::Seed(seed);
  Canvas c(width, height, Uniform(70.0f, 150.0f));
  c.AddFractalNoise(width / 3.0f, 3, 30.0f);
  c.AddFractalNoise(3.0f, 1, 14.0f);
  // Seams and a cushion's edge.
  for (int x = width / 3; x < width; x += width / 3) c.FillRect(x - 1, 0, x + 1, height, 40.0f);
  c.FillRect(0, height / 3 - 1, width, height / 3 + 1, 40.0f);
  return c.ToImage();
}

CVD::Image<unsigned char> Cabinet(int width, int height, u32 seed) {
  Random::Seed(seed);
  const float tone = Uniform(130.0f, 215.0f);
  Canvas c(width, height, tone);
  c.AddFractalNoise(width / 2.0f, 2, 8.0f);
  // Doors and drawers with dark gaps and handles.
  const int doors = std::max(width / std::max(height / 2, 1), 1);
  const int g = std::max(width / 200, 2);
  for (int d = 0; d < doors; ++d) {
    const int x0 = d * width / doors, x1 = (d + 1) * width / doors;
    c.FrameRect(x0, 0, x1, height, g, tone - 90.0f);
    if (d % 2 == 0) {
      c.FillRect(x0, height / 4 - g, x1, height / 4 + g, tone - 90.0f);
      c.FillRect((x0 + x1) / 2 - width / 30, height / 8, (x0 + x1) / 2 + width / 30,
                 height / 8 + 2 * g, 50.0f);
    }
    c.FillRect(x1 - 6 * g, height / 2, x1 - 4 * g, height * 2 / 3, 50.0f);
  }
  return c.ToImage();
}

CVD::Image<unsigned char> Bookshelf(int width, int height, u32 seed) {
  Random::Seed(seed);
  Canvas c(width, height, 60.0f);
  const int shelves = std::max(height / std::max(width / 3, 1), 2);
  const int board = std::max(height / 40, 2);
  for (int s = 0; s < shelves; ++s) {
    const int y0 = s * height / shelves, y1 = (s + 1) * height / shelves;
    c.FillRect(0, y1 - board, width, y1, 170.0f);  // the shelf board
    int x = board;
    while (x < width - board) {
      // Book spines: a tone, a band, a title.
      const int w = UniformInt(std::max(width / 60, 3), std::max(width / 20, 4));
      const int top = y0 + UniformInt(board, std::max((y1 - y0) / 4, board + 1));
      if (Unit() < 0.12f) {
        x += w;  // a gap
        continue;
      }
      const float tone = Uniform(25.0f, 230.0f);
      c.FillRect(x, top, x + w - 1, y1 - board, tone);
      c.FillRect(x, top + (y1 - top) / 5, x + w - 1, top + (y1 - top) / 5 + board, 255.0f - tone);
      c.AddText(x + 1, top + (y1 - top) / 3, x + w - 2, y1 - 2 * board, std::max(w / 2, 3),
                255.0f - tone);
      x += w;
    }
  }
  c.FrameRect(0, 0, width, height, board, 170.0f);
  return c.ToImage();
}

CVD::Image<unsigned char> Poster(int width, int height, u32 seed) {
  Random::Seed(seed);
  Canvas c(width, height, 242.0f);
  const int m = std::min(width, height) / 20;
  // A checkerboard block, 8 x 6 squares, in one corner.
  const int square = std::min(width, height) / 14;
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < 8; ++i)
      if ((i + j) % 2 == 0)
        c.FillRect(m + i * square, m + j * square, m + (i + 1) * square, m + (j + 1) * square,
                   20.0f);
  // Tiles of flat tones at two scales, each with a figure.
  const int bx = m + 8 * square + m, by = m;
  const int tiles = 4, tile = (width - bx - m) / tiles;
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < tiles; ++i) {
      const int x0 = bx + i * tile, y0 = by + j * tile;
      if (y0 + tile > height - m) break;
      const float tone = Uniform(30.0f, 220.0f);
      c.FillRect(x0 + 2, y0 + 2, x0 + tile - 2, y0 + tile - 2, tone);
      const float mark = tone > 125.0f ? Uniform(10.0f, 80.0f) : Uniform(170.0f, 250.0f);
      if ((i + j) % 3 == 0)
        c.FillDisk(x0 + tile * Uniform(0.3f, 0.7f), y0 + tile * Uniform(0.3f, 0.7f),
                   tile * Uniform(0.1f, 0.3f), mark);
      else if ((i + j) % 3 == 1)
        c.FillRect(x0 + tile / 5, y0 + tile / 3, x0 + tile * 4 / 5, y0 + tile * 2 / 3, mark);
      else
        c.AddText(x0 + tile / 8, y0 + tile / 8, x0 + tile * 7 / 8, y0 + tile * 7 / 8,
                  std::max(tile / 10, 4), mark);
    }
  }
  // A large picture and columns of text below.
  const int py = m + 6 * square + m;
  c.AddPicture(m, py, width / 2 - m / 2, height - m, 15.0f, 240.0f);
  c.AddText(width / 2 + m / 2, py, width - m, height * 5 / 6, std::max(height / 60, 5), 30.0f);
  // Small disks of many sizes across the text column's foot.
  for (int d = 0; d < 12; ++d)
    c.FillDisk(Uniform(width / 2.0f + m, width - m), Uniform(height * 5.0f / 6.0f, height - m),
               Uniform(2.0f, height / 40.0f), Uniform(10.0f, 120.0f));
  c.AddFractalNoise(width / 3.0f, 2, 6.0f);  // uneven light on the paper
  return c.ToImage();
}

}  // namespace SurfaceTexture
