// The tracker's feature front end: FAST grids and KLT features of a ring
// frame, with the per-frame log lines.
#include "features/FastFeatureGrid.h"
#include "features/KltFeatures.h"
#include "tracker/tracker.h"

void Tracker::DetectFastFeatures(u16 frame) {
  TrackerFrame& f = frames[frame];
  const u32 total = ::DetectFastFeatures(f.pyramid, fastScratch, f.corners);
  PrintLine("[%d] FAST Features = %d\n", f.number, static_cast<int>(total));
}

void Tracker::DetectKltFeatures(u16 frame) {
  TrackerFrame& f = frames[frame];
  const KltCounts counts = ::DetectKltFeatures(f.pyramid, f.corners, f.mapMatches, coverageMasks,
                                               intrinsic, kltScratch, f.kltPixels, f.kltNormalized);
  char line[128];
  FormatKltCounts(line, sizeof(line), f.number, counts);
  PrintLine("%s", line);
}

void Tracker::SpreadCorners(const CVD::ImageRef& levelSize, const std::vector<MapMatch>& matches,
                            OccupancyMask& mask, std::vector<ScoredCorner>& corners,
                            AlignedArray<LA::Vector2<float>>& out, u32 N) {
  ::SpreadCorners(levelSize, matches, mask, corners, out, N);
}
