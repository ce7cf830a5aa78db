#include "tracker/TrackerDisplay.h"

#include "tracker/Pending.h"

void TrackerDisplay::Reset() {
  shownFrame_ = 0;
  displayImage_ = CVD::Image<CVD::Rgb<u8>>();
}

bool TrackerDisplay::OnKeyDown(int) {
  Pending(__func__);
}
void TrackerDisplay::OnMouseDown(const CVD::ImageRef&, int) {
  Pending(__func__);
}
void TrackerDisplay::OnMouseUp(const CVD::ImageRef&, int) {
  Pending(__func__);
}
bool TrackerDisplay::OnMouseDrag(const CVD::ImageRef&, const CVD::ImageRef&, int) {
  Pending(__func__);
}
bool TrackerDisplay::OnMouseDoubleClick(const CVD::ImageRef&, int) {
  Pending(__func__);
}
void TrackerDisplay::OnResize(const CVD::ImageRef&) {
  Pending(__func__);
}
void TrackerDisplay::UpdateDisplay(bool) {
  Pending(__func__);
}
bool TrackerDisplay::AddObjectFromView() {
  Pending(__func__);
}
void TrackerDisplay::InitializeDisplay() {
  Pending(__func__);
}
void TrackerDisplay::SetCurrentFrame(u16) {
  Pending(__func__);
}
void TrackerDisplay::PrintSelection(u32) {
  Pending(__func__);
}
void TrackerDisplay::SelectPlane(u16, bool) {
  Pending(__func__);
}
void TrackerDisplay::DrawScene() {
  Pending(__func__);
}
void TrackerDisplay::DrawStatus() {
  Pending(__func__);
}
void TrackerDisplay::DrawKeyFrameBar() {
  Pending(__func__);
}
void TrackerDisplay::DrawImage() {
  Pending(__func__);
}
void TrackerDisplay::DrawFeatureCrosses() {
  Pending(__func__);
}
void TrackerDisplay::DrawCross(float, float, float) {
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
void TrackerDisplay::DrawMapMatches() {
  Pending(__func__);
}
void TrackerDisplay::DrawProjectedImageMatches() {
  Pending(__func__);
}
void TrackerDisplay::DrawMaskedFeatures() {
  Pending(__func__);
}
void TrackerDisplay::DrawFeatureList() {
  Pending(__func__);
}
void TrackerDisplay::DrawImageMatches() {
  Pending(__func__);
}
void TrackerDisplay::DrawPoint(float, float) {
  Pending(__func__);
}
void TrackerDisplay::DrawSquare(float, float, float) {
  Pending(__func__);
}
void TrackerDisplay::DrawPatchOutline(const FeaturePatch&, float, float) {
  Pending(__func__);
}
void TrackerDisplay::DrawPatchOutlineWarped(const FeaturePatch&, const WarpRecord&) {
  Pending(__func__);
}
void TrackerDisplay::DrawPointWarped(float, float, const WarpRecord&) {
  Pending(__func__);
}
void TrackerDisplay::DrawTrackPoint(u32, float, float) {
  Pending(__func__);
}
void TrackerDisplay::DrawTrackPointWarped(u32, float, float, const WarpRecord&) {
  Pending(__func__);
}
void TrackerDisplay::DrawTrackLine(u32, float, float, float, float) {
  Pending(__func__);
}
void TrackerDisplay::DrawTrackLineWarped(u32, float, float, float, float, const WarpRecord&) {
  Pending(__func__);
}
void TrackerDisplay::DrawCameras() {
  Pending(__func__);
}
void TrackerDisplay::DrawMapPoints() {
  Pending(__func__);
}
void TrackerDisplay::DrawPlanes() {
  Pending(__func__);
}
void TrackerDisplay::DrawObjects() {
  Pending(__func__);
}
void TrackerDisplay::DrawMarkerOutline() {
  Pending(__func__);
}
void TrackerDisplay::DrawRay(const double[6], double) {
  Pending(__func__);
}
void TrackerDisplay::DrawPointStem(u32, const double[3]) {
  Pending(__func__);
}
void TrackerDisplay::SetupProjection() {
  Pending(__func__);
}
void TrackerDisplay::SetupView() {
  Pending(__func__);
}
float TrackerDisplay::ComputeViewScale(float, float) {
  Pending(__func__);
}
void TrackerDisplay::UpdateViewTransform() {
  Pending(__func__);
}
LA::AlignedVector4f TrackerDisplay::UnprojectPoint(const CVD::ImageRef&) {
  Pending(__func__);
}
LA::AlignedVector4f TrackerDisplay::UnprojectAtDepth(const CVD::ImageRef&, float) {
  Pending(__func__);
}
void TrackerDisplay::CenterView() {
  Pending(__func__);
}
void TrackerDisplay::UpdatePlaneGrids() {
  Pending(__func__);
}
bool TrackerDisplay::FilterTrack(u32) {
  Pending(__func__);
}
bool TrackerDisplay::PickMapMatch(const float[2], const float[2], const std::vector<MapMatch>&,
                                  u32&, float&) {
  Pending(__func__);
}
bool TrackerDisplay::PickImageMatch(const float[2], const float[2], const std::vector<ImageMatch>&,
                                    u32&, float&) {
  Pending(__func__);
}
bool TrackerDisplay::PickProjectedImageMatch(const float[2], const float[2],
                                             const std::vector<ImageMatch>&, int, u32&, float&) {
  Pending(__func__);
}
bool TrackerDisplay::PickMaskedFeature(const float[2], const float[2], u16, int, u32&, float&) {
  Pending(__func__);
}
bool TrackerDisplay::PickFeature(const float[2], const float[2], u16, u32&, float&) {
  Pending(__func__);
}
bool TrackerDisplay::PickTrackPoint(const float[2], const float[2], const CameraPose&, u32&,
                                    float&) {
  Pending(__func__);
}
void PrintPlane(u16, bool, const float[4]) {
  Pending(__func__);
}
