// Write-backs of the workers' results and track merges.
#include "mapping/GlobalMap.h"

void BAResultEdits::Clear() {
  clearedPlaneTracks.clear();
  retestedTracks.clear();
  retestedPoints.Clear();
  retestedFlags.clear();
  retestedPlanes.clear();
}

bool GlobalMap::SetBAResult(const IBAProblem&, const IBAState&, const std::vector<u16>&,
                            const std::vector<u32>&, const std::vector<u16>&, const BAResultEdits&,
                            const MapSnapshotToken&, u8, const std::string&) {
  return false;
}
bool GlobalMap::SetTrackMatcherResult(const IBAState&, const std::vector<u16>&,
                                      const std::vector<u32>&, const std::vector<u16>&,
                                      const MapSnapshotToken&, u8, const std::string&) {
  return false;
}
bool GlobalMap::MergeTracks(u16, const std::vector<TrackPair>&, u64) {
  return false;
}
