// The tracker's writes to the shared map and the display readers.
#include "mapping/GlobalMap.h"

void GlobalMap::InitializeKeyFrame(const KeyFrameInput&, const std::vector<u16>&) {}
void GlobalMap::PushKeyFrame(u8, const MapWorkingCopy&, KeyFrameInput&, u8, const std::string&) {}
void GlobalMap::PopKeyFrame(u8, const std::string&) {}
void GlobalMap::RemoveKeyFramesBefore(u16, std::vector<u32>&, const std::string&) {}
void GlobalMap::SetAnchoredStructure(f32, const IMUState&, const CameraPose&,
                                     const AlignedArray<MapPoint>&, const AlignedArray<MapPlane>&,
                                     const std::vector<u8>&, const std::vector<u8>&,
                                     const std::vector<u16>&) {}
void GlobalMap::GetKeyFrameFeatures(u16, u8, AlignedArray<MapMeasurement>&,
                                    std::vector<u32>&) const {}
void GlobalMap::GetTrackMeasurements(u32&, std::vector<u16>&, std::vector<u16>&) const {}
