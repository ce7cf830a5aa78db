// Stand-ins for the tracker operations that are not built yet: each prints
// its name and aborts, so a path that reaches one fails loudly. The
// operations the per-frame driver calls are grouped apart: the driver tests
// compile this file with TRACKER_SCRIPTED_STAGES and script those instead.
#include <cstdio>
#include <cstdlib>

#include "tracker/tracker.h"

namespace {

[[noreturn]] void Pending(const char* name) {
  std::fprintf(stderr, "%s is not built yet\n", name);
  std::abort();
}

}  // namespace

#define PENDING Pending(__func__)

// --- Operations the driver does not call.
void Tracker::SetStateFile(const std::string&, i32) {
  PENDING;
}
void Tracker::SetOutputFolder(const std::string&) {
  PENDING;
}
bool Tracker::RegisterObject() {
  PENDING;
}
void Tracker::DeregisterObject(u32) {
  PENDING;
}
bool Tracker::SaveState(const std::string&) {
  PENDING;
}
bool Tracker::LoadState(const std::string&) {
  PENDING;
}
void Tracker::OnMouseDown(const CVD::ImageRef&, int) {
  PENDING;
}
void Tracker::OnMouseUp(const CVD::ImageRef&, int) {
  PENDING;
}
bool Tracker::OnMouseDrag(const CVD::ImageRef&, const CVD::ImageRef&, int) {
  PENDING;
}
bool Tracker::OnMouseDoubleClick(const CVD::ImageRef&, int) {
  PENDING;
}
void Tracker::OnResize(const CVD::ImageRef&) {
  PENDING;
}
bool Tracker::AddObjectFromView() {
  PENDING;
}
void Tracker::PrintSelection(u32) {
  PENDING;
}
void Tracker::SelectPlane(u16, bool) {
  PENDING;
}
void Tracker::DrawScene() {
  PENDING;
}
void Tracker::DrawStatus() {
  PENDING;
}
void Tracker::DrawKeyFrameBar() {
  PENDING;
}
void Tracker::DrawImage() {
  PENDING;
}
void Tracker::DrawFeatureCrosses() {
  PENDING;
}
void Tracker::DrawCross(float, float, float) {
  PENDING;
}
void Tracker::DrawCorners() {
  PENDING;
}
void Tracker::DrawFeatures() {
  PENDING;
}
void Tracker::DrawMatchLines() {
  PENDING;
}
void Tracker::DrawMatchOverlays() {
  PENDING;
}
void Tracker::DrawMapMatches() {
  PENDING;
}
void Tracker::DrawProjectedImageMatches() {
  PENDING;
}
void Tracker::DrawMaskedFeatures() {
  PENDING;
}
void Tracker::DrawFeatureList() {
  PENDING;
}
void Tracker::DrawImageMatches() {
  PENDING;
}
void Tracker::DrawPoint(float, float) {
  PENDING;
}
void Tracker::DrawSquare(float, float, float) {
  PENDING;
}
void Tracker::DrawPatchOutline(const FeaturePatch&, float, float) {
  PENDING;
}
void Tracker::DrawPatchOutlineWarped(const FeaturePatch&, const WarpRecord&) {
  PENDING;
}
void Tracker::DrawPointWarped(float, float, const WarpRecord&) {
  PENDING;
}
void Tracker::DrawTrackPoint(u32, float, float) {
  PENDING;
}
void Tracker::DrawTrackPointWarped(u32, float, float, const WarpRecord&) {
  PENDING;
}
void Tracker::DrawTrackLine(u32, float, float, float, float) {
  PENDING;
}
void Tracker::DrawTrackLineWarped(u32, float, float, float, float, const WarpRecord&) {
  PENDING;
}
void Tracker::DrawCameras() {
  PENDING;
}
void Tracker::DrawMapPoints() {
  PENDING;
}
void Tracker::DrawPlanes() {
  PENDING;
}
void Tracker::DrawObjects() {
  PENDING;
}
void Tracker::DrawMarkerOutline() {
  PENDING;
}
void Tracker::DrawRay(const double[6], double) {
  PENDING;
}
void Tracker::DrawPointStem(u32, const double[3]) {
  PENDING;
}
void Tracker::SetupProjection() {
  PENDING;
}
void Tracker::SetupView() {
  PENDING;
}
float Tracker::ComputeViewScale(float, float) {
  PENDING;
}
void Tracker::UpdateViewTransform() {
  PENDING;
}
LA::AlignedVector4f Tracker::UnprojectPoint(const CVD::ImageRef&) {
  PENDING;
}
LA::AlignedVector4f Tracker::UnprojectAtDepth(const CVD::ImageRef&, float) {
  PENDING;
}
void Tracker::CenterView() {
  PENDING;
}
void Tracker::UpdatePlaneGrids() {
  PENDING;
}
bool Tracker::FilterTrack(u32) {
  PENDING;
}
bool Tracker::PickMapMatch(const float[2], const float[2], const std::vector<MapMatch>&, u32&,
                           float&) {
  PENDING;
}
bool Tracker::PickImageMatch(const float[2], const float[2], const std::vector<ImageMatch>&, u32&,
                             float&) {
  PENDING;
}
bool Tracker::PickProjectedImageMatch(const float[2], const float[2],
                                      const std::vector<ImageMatch>&, int, u32&, float&) {
  PENDING;
}
bool Tracker::PickMaskedFeature(const float[2], const float[2], u16, int, u32&, float&) {
  PENDING;
}
bool Tracker::PickFeature(const float[2], const float[2], u16, u32&, float&) {
  PENDING;
}
bool Tracker::PickTrackPoint(const float[2], const float[2], const CameraPose&, u32&, float&) {
  PENDING;
}
void Tracker::ChainImuDeltas(u16, u16, const std::vector<IMUSample>&) {
  PENDING;
}
bool Tracker::EstimateCameraPose(u16) {
  PENDING;
}
float Tracker::ComputeFrameRms(u16, const CameraPose&) {
  PENDING;
}
float Tracker::ComputeKeyFrameRms(u16) {
  PENDING;
}
float Tracker::ComputeMedianDepth(const CameraPose&, std::vector<float>&) {
  PENDING;
}
float Tracker::ComputeKeyFrameMedianDepth(u16, const std::vector<u32>&, std::vector<float>&,
                                          float*) {
  PENDING;
}
void Tracker::MapToNormalised(const WarpRecord&, WarpRecord&) {
  PENDING;
}
bool Tracker::FindDominantPlaneFeatures(u16, std::vector<u32>&, CameraPose&) {
  PENDING;
}
void Tracker::UpdateObjects() {
  PENDING;
}
void Tracker::ProjectMapPoints(u16) {
  PENDING;
}
void Tracker::SelectMatchCandidates(const CVD::ImageRef&, std::vector<ImageMatch>&,
                                    std::vector<ImageMatch>&, OccupancyMask&, i32) {
  PENDING;
}
void Tracker::SearchMatchPatches(u16, int, std::vector<ImageMatch>&, float) {
  PENDING;
}
void Tracker::MatchImagesToFrame(u16, u16, std::vector<OccupancyMask>&, u32&) {
  PENDING;
}
void Tracker::MatchImagesToKeyFrame(u16, u16, std::vector<OccupancyMask>&, u32&) {
  PENDING;
}
void Tracker::ComputeEssentialFromPoses(const CameraPose&, const CameraPose&, WarpRecord&,
                                        AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::MakeFundamentalPyramid(const WarpRecord&, AlignedArray<WarpRecord>&) {
  PENDING;
}
bool Tracker::EstimateImageFundamental(u16, u16, WarpRecord&, AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::FilterEpipolarInliers(u16, u16, const WarpRecord&, u32&) {
  PENDING;
}
void Tracker::MarkMatchedPoints(u16) {
  PENDING;
}
void Tracker::MatchMaximal(u16) {
  PENDING;
}
void Tracker::AddImageMapHypothesis(const WarpRecord&, AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::AddHomographyHypothesis(const WarpRecord&, AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::AddPlaneHypotheses(u16, u16, AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::AddPlaneHomography(const CameraPose&, const CameraPose&, const float[4], CameraPose&,
                                 float[4], WarpRecord&, AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::DetectPlanes(u16, u16, AlignedArray<WarpRecord>&) {
  PENDING;
}
void Tracker::PruneHypotheses(u32, AlignedArray<WarpRecord>&) {
  PENDING;
}
u32 Tracker::FindSelectedPatchOfKeyFrame(u16, u32) {
  PENDING;
}
void PrintPlane(u16, bool, const float[4]) {
  PENDING;
}

#ifndef TRACKER_SCRIPTED_STAGES
// --- Stages the driver calls.
void Tracker::GetOutput(CameraPose&, AlignedArray<LA::AlignedVector4f>&,
                        AlignedArray<LA::AlignedMatrix4f>&) {
  PENDING;
}
bool Tracker::SaveStateIfRequested() {
  PENDING;
}
bool Tracker::OnKeyDown(int) {
  PENDING;
}
void Tracker::UpdateDisplay(bool) {
  PENDING;
}
void Tracker::InitializeDisplay() {
  PENDING;
}
void Tracker::SetCurrentFrame(u16) {
  PENDING;
}
void Tracker::StoreImuMeasurement(u16, const std::vector<IMUSample>&, const f64[8], f64) {
  PENDING;
}
void Tracker::PredictFromImu(u16, u16, const std::vector<IMUSample>&, const f64[8], f64) {
  PENDING;
}
i32 Tracker::RunIso(u16) {
  PENDING;
}
void Tracker::PushKeyFrame(u16, const float*, u8, bool) {
  PENDING;
}
void Tracker::PopKeyFrame() {
  PENDING;
}
void Tracker::TrimKeyFrames() {
  PENDING;
}
void Tracker::FillTrackMatchingData(u16, TrackMatchingData&) {
  PENDING;
}
float Tracker::ComputeMapCoverage(u16) {
  PENDING;
}
float Tracker::ComputeImageCoverage(u16) {
  PENDING;
}
float Tracker::ComputeCombinedCoverage(u16) {
  PENDING;
}
float Tracker::ComputeKeyFrameOverlap(u16, u16) {
  PENDING;
}
void Tracker::PredictPoseFromFrame(u16, u16) {
  PENDING;
}
void Tracker::RelocaliseFromKeyFrame(u16, u16) {
  PENDING;
}
void Tracker::AnchorToMarker(u16, const float*) {
  PENDING;
}
bool Tracker::InitializeMap(u16) {
  PENDING;
}
void Tracker::CreateNewPoints(u16) {
  PENDING;
}
float Tracker::ComputeParallax(u16, u16, float*) {
  PENDING;
}
float Tracker::ComputeDistanceToKeyFrame(u16, u16) {
  PENDING;
}
float Tracker::ComputeReprojectionRms(u16, const CameraPose&) {
  PENDING;
}
float Tracker::ComputeMeanDepth(u16) {
  PENDING;
}
void Tracker::MatchMap(u16) {
  PENDING;
}
void Tracker::RejectOutlierMatches(u16, float) {
  PENDING;
}
void Tracker::RefineMatches(u16) {
  PENDING;
}
void Tracker::SaveFrameMatches(u16) {
  PENDING;
}
void Tracker::RestoreFrameMatches(u16) {
  PENDING;
}
void Tracker::MatchImages(u16, u16*, u16) {
  PENDING;
}
void Tracker::MatchKeyFrameImages(const std::vector<u16>&, u16) {
  PENDING;
}

#endif
