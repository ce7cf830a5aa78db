#include "tracker/FeatureFrontEnd.h"

#include "features/FastFeatureGrid.h"

void FeatureFrontEnd::DetectFastFeatures(u16 frame) {
  TrackerFrame& f = ring_[frame];
  const u32 total = ::DetectFastFeatures(f.pyramid, fastScratch_, f.corners);
  log_.Print("[%d] FAST Features = %d\n", f.number, static_cast<int>(total));
}

void FeatureFrontEnd::DetectKltFeatures(u16 frame) {
  TrackerFrame& f = ring_[frame];
  const KltCounts counts =
      ::DetectKltFeatures(f.pyramid, f.corners, f.mapMatches, masks_, camera_.intrinsic,
                          kltScratch_, f.kltPixels, f.kltNormalized);
  char line[128];
  FormatKltCounts(line, sizeof(line), f.number, counts);
  log_.Print("%s", line);
}
