// The tracker members the driver calls but does not build, played from the
// test script; every other member the driver never reaches aborts.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tracker/ScriptedStages.h"

Script& TheScript() {
  static Script script;
  return script;
}

namespace {

Script& S() {
  return TheScript();
}

void Log(const std::string& call) {
  S().calls.push_back(call);
}

[[noreturn]] void Unreached(const char* name) {
  std::fprintf(stderr, "scripted tracker reached %s\n", name);
  std::abort();
}

void SetPose(CameraPose& pose, const float c[3]) {
  std::memset(pose.m, 0, sizeof(pose.m));
  pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
  for (int i = 0; i < 3; ++i) pose.m[i][3] = -c[i];
}

}  // namespace

#define UNREACHED Unreached(__func__)

// --- Scripted stages.
void Tracker::GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>&,
                        AlignedArray<LA::AlignedMatrix4f>&) {
  poseOut.m[0][0] = FLT_MAX;
  if (tracking && currentFrame < frames.size()) poseOut = frames[currentFrame].pose.slot[1];
}
bool Tracker::SaveStateIfRequested() {
  Log("SaveStateIfRequested");
  return true;
}
bool Tracker::OnKeyDown(int key) {
  Log("OnKeyDown(" + std::to_string(key) + ")");
  if (key == 27) Quit();
  return key == 27;
}
void Tracker::UpdateDisplay(bool) {
  Log("UpdateDisplay");
}
void Tracker::InitializeDisplay() {
  Log("InitializeDisplay");
}
void Tracker::SetCurrentFrame(u16) {
  Log("SetCurrentFrame");
}
void Tracker::StoreImuMeasurement(u16 frame, const std::vector<IMUSample>& imu, const f64[8],
                                  f64 time) {
  TrackerFrame& f = frames[frame];
  f.samples = imu;
  f.time = time;
  const FrameScript& s = S().For(f.number);
  if (s.poseSet) SetPose(f.pose.slot[1], s.centre);
}
void Tracker::PredictFromImu(u16, u16 frame, const std::vector<IMUSample>& imu, const f64[8],
                             f64 time) {
  StoreImuMeasurement(frame, imu, nullptr, time);
  const FrameScript& s = S().For(frames[frame].number);
  for (int i = 0; i < 3; ++i) frames[frame].state.record[1].velocity[i] = s.velocity[i];
}
i32 Tracker::RunIso(u16) {
  return 0;
}
void Tracker::PushKeyFrame(u16 frame, const float*, u8 mode, bool synchronous) {
  Log("PushKeyFrame(" + std::to_string(frame) + "," + std::to_string(mode) + "," +
      (synchronous ? "sync" : "async") + ")");
  TrackerFrame& f = frames[frame];
  f.keyFrame = static_cast<u16>(working.keyFrameFlags.size());
  working.keyFrameFlags.push_back(mode);
  working.keyFramePoses.PushBack(f.pose.slot[1], 100);
  working.keyFrameMeasurementStart.push_back(static_cast<u32>(working.measurementTracks.size()));
  if (firstKeyFrameNumber == 0x7fffffff) firstKeyFrameNumber = static_cast<u32>(f.number);
}
void Tracker::PopKeyFrame() {
  Log("PopKeyFrame");
  const u16 k = static_cast<u16>(working.keyFrameFlags.size() - 1);
  working.keyFrameFlags.pop_back();
  working.keyFramePoses.Resize(k);
  working.keyFrameMeasurementStart.pop_back();
  for (TrackerFrame& f : frames)
    if (f.keyFrame == k) f.keyFrame = kNoSlot;
}
void Tracker::TrimKeyFrames() {
  Log("TrimKeyFrames");
  working.keyFrameFlags.resize(250);
  working.keyFramePoses.Resize(250);
  working.keyFrameMeasurementStart.resize(251);
}
void Tracker::FillTrackMatchingData(u16 frame, TrackMatchingData& item) {
  item.frameId = static_cast<u32>(frames[frame].number);
}
float Tracker::ComputeMapCoverage(u16 frame) {
  const FrameScript& s = S().For(frames[frame].number);
  return S().relocalisedFrame == frames[frame].number ? s.relocM : s.M;
}
float Tracker::ComputeImageCoverage(u16 frame) {
  return S().For(frames[frame].number).I;
}
float Tracker::ComputeCombinedCoverage(u16 frame) {
  return S().For(frames[frame].number).S;
}
float Tracker::ComputeKeyFrameOverlap(u16, u16) {
  return 1.0f;
}
void Tracker::PredictPoseFromFrame(u16, u16) {}
void Tracker::RelocaliseFromKeyFrame(u16 keyFrame, u16 frame) {
  Log("RelocaliseFromKeyFrame(" + std::to_string(keyFrame) + ")");
  S().relocalisedFrame = frames[frame].number;
}
void Tracker::AnchorToMarker(u16, const float*) {
  Log("AnchorToMarker");
  sceneScale = 1.0f;
  depthScale = 1.0f;
}
bool Tracker::InitializeMap(u16 frame) {
  Log("InitializeMap");
  return S().For(frames[frame].number).initialiseOk;
}
bool Tracker::AlignToPreviousFrame(u16, u16) {
  return true;
}
void Tracker::CarryKeyFrameMaps(const std::vector<u16>&, u16, u16) {}
bool Tracker::AlignKeyFrameImage(u16 keyFrame, u16, float* residual) {
  if (S().record) Log("AlignKeyFrameImage(" + std::to_string(keyFrame) + ")");
  auto it = S().keyFrameAlignment.find(keyFrame);
  if (it == S().keyFrameAlignment.end()) return false;
  if (residual != nullptr) *residual = it->second;
  return true;
}
bool Tracker::AlignFrameImage(u16, u16) {
  return S().frameAlignment;
}
void Tracker::CreateNewPoints(u16) {}
float Tracker::ComputeParallax(u16 keyFrame, u16 frame, float*) {
  if (!tracking) return S().For(frames[frame].number).parallax;
  auto it = S().keyFrameParallax.find(keyFrame);
  return it == S().keyFrameParallax.end() ? 1.0f : it->second;
}
float Tracker::ComputeDistanceToKeyFrame(u16, u16) {
  return 0.0f;
}
float Tracker::ComputeReprojectionRms(u16 frame, const CameraPose&) {
  return S().For(frames[frame].number).reprojectionRms;
}
float Tracker::ComputeMeanDepth(u16) {
  return 0.0f;
}
void Tracker::DetectFastFeatures(u16) {}
void Tracker::DetectKltFeatures(u16) {}
void Tracker::MatchMap(u16 frame) {
  TrackerFrame& f = frames[frame];
  const FrameScript& s = S().For(f.number);
  const bool relocalised = S().relocalisedFrame == f.number;
  f.inlierCount = relocalised ? s.relocN : s.n;
  f.unsolvedCount = s.u;
  f.parallax = s.parallax;
  f.baseline = s.baseline;
  f.baselineRatio = s.baselineRatio;
}
void Tracker::RejectOutlierMatches(u16, float) {}
void Tracker::RefineMatches(u16 frame) {
  // The key frame's matches after its own matching.
  TrackerFrame& f = frames[frame];
  f.mapMatches[0].resize(S().For(f.number).keyFrameMapMatches);
}
void Tracker::SaveFrameMatches(u16 frame) {
  Log("SaveFrameMatches");
  savedFrame.pose = frames[frame].pose;
}
void Tracker::RestoreFrameMatches(u16 frame) {
  Log("RestoreFrameMatches");
  S().relocalisedFrame = -1;
  const FrameScript& s = S().For(frames[frame].number);
  frames[frame].inlierCount = s.n;
}
void Tracker::MatchImages(u16, u16*, u16) {}
void Tracker::MatchKeyFrameImages(const std::vector<u16>&, u16) {}

// --- Members the driver never reaches.
void Tracker::SetStateFile(const std::string&, i32) {
  UNREACHED;
}
void Tracker::SetOutputFolder(const std::string&) {
  UNREACHED;
}
bool Tracker::RegisterObject() {
  UNREACHED;
}
void Tracker::DeregisterObject(u32) {
  UNREACHED;
}
bool Tracker::SaveState(const std::string&) {
  UNREACHED;
}
bool Tracker::LoadState(const std::string&) {
  UNREACHED;
}
void Tracker::OnMouseDown(const CVD::ImageRef&, int) {
  UNREACHED;
}
void Tracker::OnMouseUp(const CVD::ImageRef&, int) {
  UNREACHED;
}
bool Tracker::OnMouseDrag(const CVD::ImageRef&, const CVD::ImageRef&, int) {
  UNREACHED;
}
bool Tracker::OnMouseDoubleClick(const CVD::ImageRef&, int) {
  UNREACHED;
}
void Tracker::OnResize(const CVD::ImageRef&) {
  UNREACHED;
}
bool Tracker::AddObjectFromView() {
  UNREACHED;
}
void Tracker::PrintSelection(u32) {
  UNREACHED;
}
void Tracker::SelectPlane(u16, bool) {
  UNREACHED;
}
void Tracker::DrawScene() {
  UNREACHED;
}
void Tracker::DrawStatus() {
  UNREACHED;
}
void Tracker::DrawKeyFrameBar() {
  UNREACHED;
}
void Tracker::DrawImage() {
  UNREACHED;
}
void Tracker::DrawFeatureCrosses() {
  UNREACHED;
}
void Tracker::DrawCross(float, float, float) {
  UNREACHED;
}
void Tracker::DrawCorners() {
  UNREACHED;
}
void Tracker::DrawFeatures() {
  UNREACHED;
}
void Tracker::DrawMatchLines() {
  UNREACHED;
}
void Tracker::DrawMatchOverlays() {
  UNREACHED;
}
void Tracker::DrawMapMatches() {
  UNREACHED;
}
void Tracker::DrawProjectedImageMatches() {
  UNREACHED;
}
void Tracker::DrawMaskedFeatures() {
  UNREACHED;
}
void Tracker::DrawFeatureList() {
  UNREACHED;
}
void Tracker::DrawImageMatches() {
  UNREACHED;
}
void Tracker::DrawPoint(float, float) {
  UNREACHED;
}
void Tracker::DrawSquare(float, float, float) {
  UNREACHED;
}
void Tracker::DrawPatchOutline(const FeaturePatch&, float, float) {
  UNREACHED;
}
void Tracker::DrawPatchOutlineWarped(const FeaturePatch&, const WarpRecord&) {
  UNREACHED;
}
void Tracker::DrawPointWarped(float, float, const WarpRecord&) {
  UNREACHED;
}
void Tracker::DrawTrackPoint(u32, float, float) {
  UNREACHED;
}
void Tracker::DrawTrackPointWarped(u32, float, float, const WarpRecord&) {
  UNREACHED;
}
void Tracker::DrawTrackLine(u32, float, float, float, float) {
  UNREACHED;
}
void Tracker::DrawTrackLineWarped(u32, float, float, float, float, const WarpRecord&) {
  UNREACHED;
}
void Tracker::DrawCameras() {
  UNREACHED;
}
void Tracker::DrawMapPoints() {
  UNREACHED;
}
void Tracker::DrawPlanes() {
  UNREACHED;
}
void Tracker::DrawObjects() {
  UNREACHED;
}
void Tracker::DrawMarkerOutline() {
  UNREACHED;
}
void Tracker::DrawRay(const double[6], double) {
  UNREACHED;
}
void Tracker::DrawPointStem(u32, const double[3]) {
  UNREACHED;
}
void Tracker::SetupProjection() {
  UNREACHED;
}
void Tracker::SetupView() {
  UNREACHED;
}
float Tracker::ComputeViewScale(float, float) {
  UNREACHED;
}
void Tracker::UpdateViewTransform() {
  UNREACHED;
}
LA::AlignedVector4f Tracker::UnprojectPoint(const CVD::ImageRef&) {
  UNREACHED;
}
LA::AlignedVector4f Tracker::UnprojectAtDepth(const CVD::ImageRef&, float) {
  UNREACHED;
}
void Tracker::CenterView() {
  UNREACHED;
}
void Tracker::UpdatePlaneGrids() {
  UNREACHED;
}
bool Tracker::FilterTrack(u32) {
  UNREACHED;
}
bool Tracker::PickMapMatch(const float[2], const float[2], const std::vector<MapMatch>&, u32&,
                           float&) {
  UNREACHED;
}
bool Tracker::PickImageMatch(const float[2], const float[2], const std::vector<ImageMatch>&, u32&,
                             float&) {
  UNREACHED;
}
bool Tracker::PickProjectedImageMatch(const float[2], const float[2],
                                      const std::vector<ImageMatch>&, int, u32&, float&) {
  UNREACHED;
}
bool Tracker::PickMaskedFeature(const float[2], const float[2], u16, int, u32&, float&) {
  UNREACHED;
}
bool Tracker::PickFeature(const float[2], const float[2], u16, u32&, float&) {
  UNREACHED;
}
bool Tracker::PickTrackPoint(const float[2], const float[2], const CameraPose&, u32&, float&) {
  UNREACHED;
}
