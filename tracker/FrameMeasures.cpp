#include "tracker/FrameMeasures.h"

#include "tracker/Pending.h"

FrameMeasures::FrameMeasures(const TrackerContext& context) : c_(context) {
  coverage_.Resize(static_cast<u16>(c_.camera.width / 16), static_cast<u16>(c_.camera.height / 16));
}

float FrameMeasures::ComputeMapCoverage(u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeImageCoverage(u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeCombinedCoverage(u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeKeyFrameOverlap(u16, u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeParallax(u16, u16, TrackingMode, float*) {
  Pending(__func__);
}
float FrameMeasures::ComputeDistanceToKeyFrame(u16, u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeFrameRms(u16, const CameraPose&) {
  Pending(__func__);
}
float FrameMeasures::ComputeKeyFrameRms(u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeReprojectionRms(u16, const CameraPose&) {
  Pending(__func__);
}
float FrameMeasures::ComputeMedianDepth(const CameraPose&, std::vector<float>&) {
  Pending(__func__);
}
float FrameMeasures::ComputeMeanDepth(u16) {
  Pending(__func__);
}
float FrameMeasures::ComputeKeyFrameMedianDepth(u16, const std::vector<u32>&, std::vector<float>&,
                                                float*) {
  Pending(__func__);
}
void FrameMeasures::MapToNormalised(const WarpRecord&, WarpRecord&) {
  Pending(__func__);
}
bool FrameMeasures::FindDominantPlaneFeatures(u16, std::vector<u32>&, CameraPose&) {
  Pending(__func__);
}
