#include "tests/common/tracker/ScriptedStages.h"

#include <algorithm>
#include <cfloat>

// The scripted number of level-0 features, along a row.
void ScriptedStages::DetectKltFeatures(u16 frame) {
  TrackerFrame& f = c_.ring[frame];
  for (int l = 0; l < kPyramidLevels; ++l) f.kltPixels[l].Clear(), f.kltNormalized[l].Clear();
  for (u32 i = 0; i < For(frame).features; ++i) {
    f.kltPixels[0].PushBack({static_cast<float>(i), 0.0f}, 16);
    f.kltNormalized[0].PushBack({0.01f * i, 0.0f}, 16);
  }
}

// Every frame unrotated at its scripted place and speed.
void ScriptedStages::StoreImuMeasurement(u16 frame, const std::vector<IMUSample>&, const f64[8],
                                         f64 time) {
  TrackerFrame& f = c_.ring[frame];
  f.time = time;
  f.pose.slot[kVisual] = CameraPose{};
  CameraPose& pose = f.pose.slot[kVisual];
  pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
  pose.m[0][3] = -For(frame).x;
  pose.m[1][3] = -For(frame).y;
  pose.m[2][3] = -For(frame).z;
  f.state.record[kVisual].velocity[0] = For(frame).speed;
}

void ScriptedStages::PredictFromImu(u16, u16 frame, const std::vector<IMUSample>& imuSamples,
                                    const f64 posePrior[8], f64 time) {
  s_.priorTimes.push_back(posePrior != nullptr ? posePrior[7] : DBL_MAX);
  StoreImuMeasurement(frame, imuSamples, nullptr, time);
  if (!For(frame).readings) {
    IMUDelta& d = c_.ring[frame].delta[kFromKeyFrame];
    d.dt = 1.0 / 30.0;
    IMUDelta::DropTranslation(d);
  }
}

bool ScriptedStages::AlignFrameImage(u16 ringFrame, u16) {
  const int number = c_.ring[ringFrame].number;
  if (s_.record) s_.calls.push_back("AlignFrameImage(" + std::to_string(number) + ")");
  return std::count(s_.aligningFrames.begin(), s_.aligningFrames.end(), number) > 0;
}

bool ScriptedStages::AlignKeyFrameImage(u16 keyFrame, u16, KeyFrameAlignment start,
                                        float* residual) {
  if (s_.record) s_.calls.push_back("AlignKeyFrameImage(" + std::to_string(keyFrame) + ")");
  if (start != KeyFrameAlignment::kTracking) s_.relocalisationStart = start;
  const auto it = s_.keyFrameAlignment.find(keyFrame);
  if (it == s_.keyFrameAlignment.end()) return false;
  if (residual != nullptr) *residual = it->second;
  return true;
}

void ScriptedStages::MatchMap(u16 frame, TrackingMode) {
  TrackerFrame& f = c_.ring[frame];
  const FrameScript s = For(frame);
  f.inlierCount = s_.relocalisedFrame == f.number ? s.relocN : s.n;
  f.unsolvedCount = s.u;
  f.parallax = s.parallax;
  f.baseline = s.baseline;
  f.baselineRatio = s.baselineRatio;
}

void ScriptedStages::RelocaliseFromKeyFrame(u16, u16 frame) {
  s_.relocalisedFrame = c_.ring[frame].number;
}

void ScriptedStages::SaveFrameMatches(u16) {
  s_.calls.push_back("SaveFrameMatches");
}

void ScriptedStages::RestoreFrameMatches(u16 frame) {
  s_.calls.push_back("RestoreFrameMatches");
  s_.relocalisedFrame = -1;
  c_.ring[frame].inlierCount = For(frame).n;
}

void ScriptedStages::RefineMatches(u16 frame) {
  // The key frame's matches after its own matching.
  c_.ring[frame].mapMatches[0].resize(For(frame).keyFrameMapMatches);
}

float ScriptedStages::ComputeMapCoverage(u16 frame) {
  const FrameScript s = For(frame);
  return s_.relocalisedFrame == c_.ring[frame].number ? s.relocM : s.M;
}

float ScriptedStages::ComputeParallax(u16 keyFrame, u16, TrackingMode, float*) {
  const auto it = s_.keyFrameParallax.find(keyFrame);
  return it != s_.keyFrameParallax.end() ? it->second : 1.0f;
}

u16 ScriptedStages::PushKeyFrame(u16 frame, const float*, PushMode mode, bool synchronous, bool,
                                 TrackingMode) {
  s_.pushes.push_back(std::to_string(frame) + "," + std::to_string(static_cast<int>(mode)) +
                      (synchronous ? ",sync" : ",async"));
  TrackerFrame& f = c_.ring[frame];
  MapWorkingCopy& w = c_.mapView.Working();
  f.keyFrame = static_cast<u16>(w.keyFrameFlags.size());
  w.keyFrameFlags.push_back(static_cast<u8>(mode));
  w.keyFramePoses.PushBack(f.pose.slot[kVisual], 100);
  w.keyFrameMeasurementStart.push_back(static_cast<u32>(w.measurementTracks.size()));
  return f.keyFrame;
}

u16 ScriptedStages::PopKeyFrame() {
  s_.calls.push_back("PopKeyFrame");
  MapWorkingCopy& w = c_.mapView.Working();
  const u16 k = static_cast<u16>(w.keyFrameFlags.size() - 1);
  w.keyFrameFlags.pop_back();
  w.keyFramePoses.Resize(k);
  w.keyFrameMeasurementStart.pop_back();
  for (u16 i = 0; i < c_.ring.Size(); ++i)
    if (c_.ring[i].keyFrame == k) c_.ring[i].keyFrame = kNone16;
  return k;
}

u32 ScriptedStages::TrimKeyFrames() {
  s_.calls.push_back("TrimKeyFrames");
  return 0;
}

void ScriptedStages::FillTrackMatchingData(u16 frame, TrackMatchingData& item) {
  item.frameId = static_cast<u32>(c_.ring[frame].number);
}

MapStart ScriptedStages::InitializeMap(u16 frame) {
  return {For(frame).initialiseOk, s_.sceneScale, s_.sceneScale, false};
}

MapStart ScriptedStages::AnchorToMarker(u16, const float*) {
  return {true, s_.sceneScale, s_.sceneScale, false};
}

ScriptedTracker::ScriptedTracker(GlobalMap* map, const WorkerChannels& channels,
                                 const TrackerOptions& options, Script& script)
    : Tracker(map, channels, options,
              [&script](const TrackerContext& c) {
                return std::make_unique<ScriptedStages>(c, script);
              }),
      script_(script) {}

void ScriptedTracker::GetOutput(CameraPose& poseOut, AlignedArray<LA::AlignedVector4f>&,
                                AlignedArray<LA::AlignedMatrix4f>&) {
  const u16 cur = Ring().Current();
  if (Status().tracking && Ring().Contains(cur)) poseOut = Ring()[cur].pose.slot[kVisual];
}

bool ScriptedTracker::SaveStateIfRequested() {
  script_.calls.push_back("SaveStateIfRequested");
  return true;
}

bool ScriptedTracker::OnKeyDown(int key) {
  script_.calls.push_back("OnKeyDown(" + std::to_string(key) + ")");
  if (key == 27) Quit();
  return key == 27;
}
