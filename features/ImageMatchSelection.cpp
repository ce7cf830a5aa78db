#include "features/ImageMatchSelection.h"

#include <cmath>

#include "features/SpreadingGrid.h"

void FilterEpipolarCandidates(const OccupancyMask& mask, const float* line,
                              const FeatureGrid& corners, std::vector<u32>& candidates,
                              const float& bound) {
  size_t kept = 0;
  for (const u32 i : candidates) {
    if (i >= corners.corners.Size()) continue;
    const CornerXY& c = corners.corners[i];
    if (c.x >= mask.Width() || c.y >= mask.Height() || mask.Row(c.y)[c.x] != 0) continue;
    if (line != nullptr) {
      const float d = line[0] * c.x + line[1] * c.y + line[2];
      // A line that is not finite admits nothing.
      if (!(std::fabs(d) < bound)) continue;
    }
    candidates[kept++] = i;
  }
  candidates.resize(kept);
}

template <int R>
void MarkImageMatches(const CVD::ImageRef& size, const std::vector<MapMatch>& matches,
                      OccupancyMask& mask) {
  mask.Resize(static_cast<u16>(size.x), static_cast<u16>(size.y));
  mask.Clear();
  u32 x, y;
  for (const MapMatch& m : matches)
    if (SpreadDetail::CellOf(mask, m.x, m.y, x, y)) MarkSpreadSquare<R>(mask, x, y);
}

template <int R>
void SelectMaximalMatches(const CVD::ImageRef& size, std::vector<MapMatch>& matches,
                          OccupancyMask& mask) {
  mask.Resize(static_cast<u16>(size.x), static_cast<u16>(size.y));
  mask.Clear();
  size_t kept = 0;
  u32 x, y;
  for (const MapMatch& m : matches) {
    if (SpreadDetail::CellOf(mask, m.x, m.y, x, y)) {
      if (mask.Row(y)[x] != 0) continue;
      MarkSpreadSquare<R>(mask, x, y);
    }
    matches[kept++] = m;
  }
  matches.resize(kept);
}

template void MarkImageMatches<12>(const CVD::ImageRef&, const std::vector<MapMatch>&,
                                   OccupancyMask&);
template void MarkImageMatches<10>(const CVD::ImageRef&, const std::vector<MapMatch>&,
                                   OccupancyMask&);
template void MarkImageMatches<8>(const CVD::ImageRef&, const std::vector<MapMatch>&,
                                  OccupancyMask&);
template void MarkImageMatches<6>(const CVD::ImageRef&, const std::vector<MapMatch>&,
                                  OccupancyMask&);
template void SelectMaximalMatches<12>(const CVD::ImageRef&, std::vector<MapMatch>&,
                                       OccupancyMask&);
template void SelectMaximalMatches<10>(const CVD::ImageRef&, std::vector<MapMatch>&,
                                       OccupancyMask&);
template void SelectMaximalMatches<8>(const CVD::ImageRef&, std::vector<MapMatch>&, OccupancyMask&);
template void SelectMaximalMatches<6>(const CVD::ImageRef&, std::vector<MapMatch>&, OccupancyMask&);

void MarkImageMatchesAtLevel(int level, const CVD::ImageRef& size,
                             const std::vector<MapMatch>& matches, OccupancyMask& mask) {
  switch (level) {
    case 0:
      MarkImageMatches<ImageMatchRadius(0)>(size, matches, mask);
      break;
    case 1:
      MarkImageMatches<ImageMatchRadius(1)>(size, matches, mask);
      break;
    case 2:
      MarkImageMatches<ImageMatchRadius(2)>(size, matches, mask);
      break;
    default:
      MarkImageMatches<ImageMatchRadius(3)>(size, matches, mask);
      break;
  }
}

void SelectMaximalMatchesAtLevel(int level, const CVD::ImageRef& size,
                                 std::vector<MapMatch>& matches, OccupancyMask& mask) {
  switch (level) {
    case 0:
      SelectMaximalMatches<ImageMatchRadius(0)>(size, matches, mask);
      break;
    case 1:
      SelectMaximalMatches<ImageMatchRadius(1)>(size, matches, mask);
      break;
    case 2:
      SelectMaximalMatches<ImageMatchRadius(2)>(size, matches, mask);
      break;
    default:
      SelectMaximalMatches<ImageMatchRadius(3)>(size, matches, mask);
      break;
  }
}
