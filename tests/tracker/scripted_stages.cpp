// The tracker stages the driver calls, played from the test script; the
// members it never reaches are tracker/pending.cpp's, which abort.
#include "tracker/ScriptedStages.h"

Script& TheScript() {
  static Script script;
  return script;
}

static Script& S = TheScript();

// A stage that only returns a value.
#define RETURNS(type, name, params, value) \
  type Tracker::name params {              \
    return value;                          \
  }

// --- Scripted stages.
void Tracker::GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>&,
                        AlignedArray<LA::AlignedMatrix4f>&) {
  if (tracking && currentFrame < frames.size()) poseOut = frames[currentFrame].pose.slot[1];
}
bool Tracker::SaveStateIfRequested() {
  S.calls.push_back("SaveStateIfRequested");
  return true;
}
bool Tracker::OnKeyDown(int key) {
  S.calls.push_back("OnKeyDown(" + std::to_string(key) + ")");
  if (key == 27) Quit();
  return key == 27;
}
// Every frame at the origin, unrotated, at its scripted speed.
void Tracker::StoreImuMeasurement(u16 frame, const std::vector<IMUSample>&, const f64[8],
                                  f64 time) {
  TrackerFrame& f = frames[frame];
  f.time = time;
  f.pose.slot[1] = CameraPose{};
  f.pose.slot[1].m[0][0] = f.pose.slot[1].m[1][1] = f.pose.slot[1].m[2][2] = 1.0f;
  f.state.record[1].velocity[0] = S.For(f.number).speed;
}
void Tracker::PredictFromImu(u16, u16 frame, const std::vector<IMUSample>& imu, const f64[8],
                             f64 time) {
  StoreImuMeasurement(frame, imu, nullptr, time);
}
void Tracker::PushKeyFrame(u16 frame, const float*, u8 mode, bool synchronous) {
  S.pushes.push_back(std::to_string(frame) + "," + std::to_string(mode) +
                     (synchronous ? ",sync" : ",async"));
  TrackerFrame& f = frames[frame];
  f.keyFrame = static_cast<u16>(working.keyFrameFlags.size());
  working.keyFrameFlags.push_back(mode);
  working.keyFramePoses.PushBack(f.pose.slot[1], 100);
  working.keyFrameMeasurementStart.push_back(static_cast<u32>(working.measurementTracks.size()));
}
void Tracker::PopKeyFrame() {
  S.calls.push_back("PopKeyFrame");
  const u16 k = static_cast<u16>(working.keyFrameFlags.size() - 1);
  working.keyFrameFlags.pop_back();
  working.keyFramePoses.Resize(k);
  working.keyFrameMeasurementStart.pop_back();
  for (TrackerFrame& f : frames)
    if (f.keyFrame == k) f.keyFrame = kNoSlot;
}
void Tracker::TrimKeyFrames() {
  S.calls.push_back("TrimKeyFrames");
}
void Tracker::FillTrackMatchingData(u16 frame, TrackMatchingData& item) {
  item.frameId = static_cast<u32>(frames[frame].number);
}
float Tracker::ComputeMapCoverage(u16 frame) {
  const FrameScript& s = S.For(frames[frame].number);
  return S.relocalisedFrame == frames[frame].number ? s.relocM : s.M;
}
void Tracker::RelocaliseFromKeyFrame(u16, u16 frame) {
  S.relocalisedFrame = frames[frame].number;
}
void Tracker::AnchorToMarker(u16, const float*) {
  sceneScale = 1.0f;
  depthScale = 1.0f;
}
bool Tracker::AlignKeyFrameImage(u16 keyFrame, u16, float* residual) {
  if (S.record) S.calls.push_back("AlignKeyFrameImage(" + std::to_string(keyFrame) + ")");
  auto it = S.keyFrameAlignment.find(keyFrame);
  if (it == S.keyFrameAlignment.end()) return false;
  if (residual != nullptr) *residual = it->second;
  return true;
}
void Tracker::MatchMap(u16 frame) {
  TrackerFrame& f = frames[frame];
  const FrameScript& s = S.For(f.number);
  const bool relocalised = S.relocalisedFrame == f.number;
  f.inlierCount = relocalised ? s.relocN : s.n;
  f.unsolvedCount = s.u;
  f.parallax = s.parallax;
}
void Tracker::RefineMatches(u16 frame) {
  // The key frame's matches after its own matching.
  TrackerFrame& f = frames[frame];
  f.mapMatches[0].resize(S.For(f.number).keyFrameMapMatches);
}
void Tracker::SaveFrameMatches(u16 frame) {
  S.calls.push_back("SaveFrameMatches");
  savedFrame.pose = frames[frame].pose;
}
void Tracker::RestoreFrameMatches(u16 frame) {
  S.calls.push_back("RestoreFrameMatches");
  S.relocalisedFrame = -1;
  frames[frame].inlierCount = S.For(frames[frame].number).n;
}
RETURNS(float, ComputeImageCoverage, (u16 frame), S.For(frames[frame].number).I)
RETURNS(float, ComputeCombinedCoverage, (u16 frame), S.For(frames[frame].number).S)
RETURNS(bool, InitializeMap, (u16 frame), S.For(frames[frame].number).initialiseOk)
RETURNS(float, ComputeParallax, (u16 k, u16, float*),
        S.keyFrameParallax.count(k) ? S.keyFrameParallax[k] : 1)
RETURNS(i32, RunIso, (u16), 0)
RETURNS(float, ComputeKeyFrameOverlap, (u16, u16), 1.0f)
RETURNS(bool, AlignToPreviousFrame, (u16, u16), true)
RETURNS(bool, AlignFrameImage, (u16, u16), false)
RETURNS(float, ComputeDistanceToKeyFrame, (u16, u16), 0.0f)
RETURNS(float, ComputeReprojectionRms, (u16, const CameraPose&), 0.0f)
RETURNS(float, ComputeMeanDepth, (u16), 0.0f)
void Tracker::PredictPoseFromFrame(u16, u16) {}
void Tracker::CarryKeyFrameMaps(const std::vector<u16>&, u16, u16) {}
void Tracker::CreateNewPoints(u16) {}
void Tracker::DetectFastFeatures(u16) {}
void Tracker::DetectKltFeatures(u16) {}
void Tracker::RejectOutlierMatches(u16, float) {}
void Tracker::MatchImages(u16, u16*, u16) {}
void Tracker::MatchKeyFrameImages(const std::vector<u16>&, u16) {}

// The display only runs with a view, which the driver tests never open.
void Tracker::UpdateDisplay(bool) {}
void Tracker::InitializeDisplay() {}
void Tracker::SetCurrentFrame(u16) {}
