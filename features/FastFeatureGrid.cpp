#include "features/FastFeatureGrid.h"

#include <cvd/fast_corner.h>

#include <algorithm>
#include <cmath>

namespace {

// One axis of a query window clipped to [0, size - 1]; false when it misses
// the level. The low edge is truncated, the high edge rounded.
bool WindowEdges(float centre, float radius, int size, int& low, int& high) {
  if (centre < -radius) return false;
  const float lowEdge = centre > radius ? centre - radius : 0.0f;
  if (lowEdge >= static_cast<float>(size)) return false;
  low = static_cast<int>(lowEdge);
  const float highEdge = centre + radius + 0.5f;
  high = highEdge >= static_cast<float>(size) ? size - 1 : static_cast<int>(highEdge);
  return low <= high;
}

}  // namespace

u32 DetectFastGrid(const CVD::BasicImage<CVD::byte>& img, int barrier,
                   std::vector<CVD::ImageRef>& scratch, FeatureGrid& grid) {
  scratch.clear();
  CVD::fast_corner_detect_10(img, scratch, barrier);
  const u32 n = static_cast<u32>(scratch.size());
  // Room to spare, so that frames of a few more corners than the last reuse
  // the buffer.
  grid.corners.ResizeWithRoom(n);
  for (u32 i = 0; i < n; ++i)
    grid.corners[i] = {static_cast<u16>(scratch[i].x), static_cast<u16>(scratch[i].y)};
  const int height = img.size().y;
  grid.rowStarts.resize(static_cast<size_t>(height) + 1);
  u32 k = 0;
  for (int y = 0; y < height; ++y) {
    while (k < n && grid.corners[k].y < y) ++k;
    grid.rowStarts[y] = k;
  }
  grid.rowStarts[height] = n;
  return n;
}

u32 DetectFastFeatures(const CVD::Image<CVD::byte> levels[kPyramidLevels],
                       std::vector<CVD::ImageRef>& scratch, FeatureGrid grids[kPyramidLevels]) {
  u32 total = 0;
  for (int level = 0; level < kPyramidLevels; ++level)
    total += DetectFastGrid(levels[level], kFastThresholds[level], scratch, grids[level]);
  return total;
}

bool QueryFeatureWindow(const CVD::ImageRef& size, const AlignedArray<CornerXY>& corners,
                        const std::vector<u32>& rowStarts, float x, float y, float radius,
                        std::vector<u32>& out) {
  out.clear();
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(radius)) return false;
  if (rowStarts.size() < static_cast<size_t>(std::max(size.y, 0)) + 1) return false;
  int x0, x1, y0, y1;
  if (!WindowEdges(x, radius, size.x, x0, x1) || !WindowEdges(y, radius, size.y, y0, y1))
    return false;
  const CornerXY* base = corners.Data();
  // Rows hold a few corners each: a forward scan beats two binary searches.
  for (int row = y0; row <= y1; ++row) {
    const CornerXY* c = base + rowStarts[row];
    const CornerXY* end = base + rowStarts[row + 1];
    while (c < end && c->x < x0) ++c;
    for (; c < end && c->x <= x1; ++c) out.push_back(static_cast<u32>(c - base));
  }
  return !out.empty();
}
