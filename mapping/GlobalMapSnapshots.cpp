// Problem snapshots for the background workers.
#include "mapping/GlobalMap.h"

void GlobalMap::GetGBAProblem(IBAProblem&, IBAState&, MapProblemIndex&, MapSnapshotToken&) const {}
bool GlobalMap::GetLBAProblem(IBAProblem&, IBAState&, MapProblemIndex&, MapSnapshotToken&) const {
  return false;
}
bool GlobalMap::GetTrackMatcherProblem(u16, u64, std::vector<TrackPair>&, IBAProblem&, IBAState&,
                                       MapProblemIndex&, MapSnapshotToken&) const {
  return false;
}
u64 GlobalMap::CountCommonTracks(const std::vector<u32> (&)[kMapLevels], std::vector<u16>&,
                                 AlignedArray<CameraPose>&, AlignedArray<MapPlane>&,
                                 std::vector<CVD::Image<float>>&) const {
  return structureVersion;
}
bool GlobalMap::GetKeyFrame(u16, MapKeyFrameCopy&) const {
  return false;
}
