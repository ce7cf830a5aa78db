// Stand-ins until the display is written; the pragma goes with them.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "tracker/Pending.h"
#include "tracker/TrackerDisplay.h"

void TrackerDisplay::DrawImage() {
  Pending(__func__);
}

void TrackerDisplay::DrawFeatureCrosses() {
  Pending(__func__);
}

void TrackerDisplay::DrawCorners() {
  Pending(__func__);
}

void TrackerDisplay::DrawFeatures() {
  Pending(__func__);
}

void TrackerDisplay::DrawMatchLines() {
  Pending(__func__);
}

void TrackerDisplay::DrawMatchOverlays() {
  Pending(__func__);
}

void TrackerDisplay::DrawMapMatches(const std::vector<MapMatch>& list, int level, bool warped) {
  Pending(__func__);
}

void TrackerDisplay::DrawImageMatches(const std::vector<ImageMatch>& list, int level, bool warped) {
  Pending(__func__);
}

void TrackerDisplay::DrawProjectedImageMatches(const std::vector<ImageMatch>& list, int level,
                                               bool warped) {
  Pending(__func__);
}

void TrackerDisplay::DrawFeatureList(u16 keyFrame, int level, bool warped) {
  Pending(__func__);
}

void TrackerDisplay::DrawMaskedFeatures(u16 keyFrame, const std::vector<u8>& mask, bool warped) {
  Pending(__func__);
}
