#include "tracker/MapMatching.h"

#include "tracker/Pending.h"

void MapMatching::MatchMap(u16, TrackingMode) {
  Pending(__func__);
}
void MapMatching::ProjectMapPoints(u16) {
  Pending(__func__);
}
void MapMatching::SelectMatchCandidates(const CVD::ImageRef&, std::vector<ImageMatch>&,
                                        std::vector<ImageMatch>&, OccupancyMask&, i32) {
  Pending(__func__);
}
