// The first stage of every frame: ring slot, map pull, pyramid, alignment
// and small images, inertial state, and the marker phase before the start.
#include <cvd/vision.h>

#include <cfloat>
#include <cstdio>
#include <cstring>

#include "la/Homography.h"
#include "optimization/IMUParameters.h"
#include "tracker/tracker.h"

namespace {

void SetIdentityPose(CameraPose& pose) {
  std::memset(pose.m, 0, sizeof(pose.m));
  pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
}

// Reads the marker cache: four blocks, each a word count and that many
// words, kept as read. Counts are checked against what the file still holds.
void ReadTemplateCache(const std::string& path, std::vector<int32_t>& words) {
  words.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return;
  std::fseek(f, 0, SEEK_END);
  long remaining = std::ftell(f) / 4;
  std::fseek(f, 0, SEEK_SET);
  for (int block = 0; block < 4 && remaining > 0; ++block) {
    u32 count = 0;
    if (std::fread(&count, 4, 1, f) != 1) break;
    --remaining;
    words.push_back(static_cast<int32_t>(count));
    const u32 n = count <= static_cast<u32>(remaining) ? count : static_cast<u32>(remaining);
    const size_t start = words.size();
    words.resize(start + n);
    const size_t got = std::fread(words.data() + start, 4, n, f);
    words.resize(start + got);
    remaining -= static_cast<long>(got);
    if (got != count) break;
  }
  std::fclose(f);
  std::printf("Loaded '%s'\n", path.c_str());
}

}  // namespace

void BuildPyramid(const CVD::BasicImage<u8>& grey, CVD::Image<u8> (&levels)[kPyramidLevels]) {
  const CVD::ImageRef size = grey.size();
  levels[0].resize(size);
  for (int y = 0; y < size.y; ++y) std::memcpy(levels[0][y], grey[y], static_cast<size_t>(size.x));
  for (int l = 1; l < kPyramidLevels; ++l) {
    levels[l].resize(levels[l - 1].size() / 2);
    CVD::halfSample(levels[l - 1], levels[l]);
  }
}

void Tracker::InputFrame(const TrackerInput& frame, const std::vector<IMUSample>& imuSamples,
                         const f64 posePrior[8]) {
  ++frameCounter;
  ChooseRingSlot();
  alignedFrame = newKeyFrame = kNoSlot;
  relocalising = 0;
  SynchronizeMap();

  TrackerFrame& f = frames[currentFrame];
  f.Reset();
  f.number = frameCounter;

  const CVD::ImageRef size = frame.grey.size();
  BuildPyramid(frame.grey, f.pyramid);
  alignmentSource.resize(f.pyramid[3].size() / 2);
  CVD::halfSample(f.pyramid[3], alignmentSource);
  PrepareAlignmentImage(alignmentSource, f.alignmentImage, f.gradientImage, f.alignmentValue);
  if (frame.colour != nullptr && frame.colour->size() == size) {
    f.colour.resize(size);
    f.colour.copy_from(*frame.colour);
  }
  MakeSmallImage(f.small, f.pyramid[3], intrinsic[4], smallTable);

  if (frameCounter > startFrame)
    PredictFromImu(referenceFrame, currentFrame, imuSamples, posePrior, frame.time);
  else
    StoreImuMeasurement(currentFrame, imuSamples, posePrior, frame.time);

  keyFrameMatchList.clear();
  SetIdentityMap(frameMaps[currentFrame]);
  if (frameCounter >= startFrame) return;
  RunMarkerPhase(frame, posePrior);
}

void Tracker::ChooseRingSlot() {
  if (frameCounter <= startFrame || frames.empty() || currentFrame >= frames.size()) {
    // Every frame up to the start frame lives in slot 0.
    currentFrame = referenceFrame = 0;
    if (frames.empty()) frames.emplace_back();
    frames.resize(1);
    frameMaps.Resize(1);
    return;
  }
  if (tracking && referenceFrame < frames.size() && frames[referenceFrame].rejected &&
      frames[referenceFrame].keyFrame == kNoSlot) {
    if (!recovering) {
      RemoveFrame(referenceFrame);
    } else {
      // Keep the best frames of the rejected run (by image and by combined
      // coverage) and the key frames; remove the oldest other one.
      u16 bestImage = currentFrame, bestCombined = currentFrame;
      u16 j = referenceFrame;
      while (j != currentFrame && frames[j].rejected) {
        if (frames[j].imageCoverage > frames[bestImage].imageCoverage) bestImage = j;
        if (frames[j].combinedCoverage > frames[bestCombined].combinedCoverage) bestCombined = j;
        j = Prev(j);
      }
      u16 removed = kNoSlot;
      for (u16 i = Next(j); i != currentFrame; i = Next(i)) {
        if (frames[i].keyFrame == kNoSlot && i != bestImage && i != bestCombined) {
          removed = i;
          break;
        }
      }
      if (removed != kNoSlot)
        RemoveFrame(removed);
      else
        referenceFrame = currentFrame;
    }
  } else {
    referenceFrame = currentFrame;
  }
  if (referenceFrame != currentFrame) return;  // RemoveFrame freed slot currentFrame
  if (frames.size() == kRingCapacity) {
    currentFrame = static_cast<u16>((currentFrame + 1) % kRingCapacity);
    return;
  }
  ++currentFrame;
  frames.emplace_back();
  frameMaps.Reserve(kRingCapacity);
  frameMaps.Resize(static_cast<u32>(frames.size()));
}

void Tracker::SynchronizeMap() {
  if (!map->Synchronize(working)) return;
  ComputeCameraCenters(working.keyFramePoses, keyFrameCenters);
  const u16 n = RingSize();
  if (n <= 1) return;
  const u32 keyFrameCount = working.keyFramePoses.Size();
  float scratch[32];
  // A key frame's correction carries its old pose onto its new one; frames
  // follow the key frame before them, the oldest ones the first key frame.
  auto correctionOf = [&](const TrackerFrame& f, CameraPose& T) {
    const u16 k = f.keyFrame;
    if (k < keyFrameCount && (working.keyFrameFlags[k] & kKeyFrameAdjusted) &&
        IsPoseValid(f.pose.slot[1]))
      ComputeRelativePose(f.pose.slot[1], working.keyFramePoses[k], T);
    else
      SetIdentityPose(T);
  };
  CameraPose T;
  SetIdentityPose(T);
  for (u16 i = Next(currentFrame); i != currentFrame; i = Next(i)) {
    if (frames[i].keyFrame != kNoSlot) {
      correctionOf(frames[i], T);
      break;
    }
  }
  for (u16 i = Next(currentFrame); i != currentFrame; i = Next(i)) {
    TrackerFrame& f = frames[i];
    if (f.keyFrame != kNoSlot) correctionOf(f, T);
    if (!IsPoseValid(f.pose.slot[1])) continue;
    ComposePose(f.pose.slot[1], T, f.pose.slot[1], scratch);
    CameraToPose(f.state.record[1], bodyToCamera, f.pose.slot[1], scratch);
    PoseToCamera(f.state.record[1], bodyToCamera, f.pose.slot[0], scratch);
  }
  for (u16 i = Next(currentFrame); i != currentFrame; i = Next(i)) {
    ComputeFrameStatistics(i);
    RejectOutlierMatches(i, 10.0f);
    TrackerFrame& f = frames[i];
    const u16 k = f.parallaxKeyFrame != kNoSlot ? f.parallaxKeyFrame : f.nearKeyFrame;
    if (k == kNoSlot) continue;
    f.parallax = ComputeParallax(k, i, nullptr);
    f.baseline = ComputeDistanceToKeyFrame(k, i);
    f.sceneDepth = ComputeMeanDepth(i);
    f.baselineRatio = f.sceneDepth == 0.0f ? 1.0f : f.baseline / f.sceneDepth;
  }
}

void Tracker::RunMarkerPhase(const TrackerInput& frame, const f64 posePrior[8]) {
  (void)frame;
  TrackerFrame& f = frames[currentFrame];
  // The camera looks at the ground plane from the assumed height with the
  // prior's tilt.
  IMUState& s = f.state.record[0];
  const bool hasPrior = posePrior != nullptr && posePrior[7] != DBL_MAX;
  for (int i = 0; i < 4; ++i) s.quaternion[i] = hasPrior ? posePrior[i] : (i == 3 ? 1.0 : 0.0);
  s.position[0] = s.position[1] = 0.0;
  s.position[2] = IMU_INITIAL_HEIGHT;
  float scratch[32];
  PoseToCamera(s, bodyToCamera, f.pose.slot[0], scratch);
  f.state.record[1] = s;
  f.pose.slot[1] = f.pose.slot[0];

  if (markerTemplateFile.empty()) return;
  if (markerDetector == nullptr) {
    ReadTemplateCache(markerTemplateFile, markerTemplate);
    markerDetector = new MarkerDetector(
        width, height, &intrinsic[0], markerTemplate.empty() ? nullptr : markerTemplate.data(),
        markerTemplate.size() * sizeof(int32_t), &capturedTemplate, view != 0);
  }
  float corners[8];
  markerDetector->Run(f.pyramid[0], f.pose.slot[1], corners);
  if (capturedTemplate.empty()) return;
  FILE* out = std::fopen(markerTemplateFile.c_str(), "wb");
  const size_t n = capturedTemplate.size();
  const bool written = out != nullptr && std::fwrite(capturedTemplate.data(), 4, n, out) == n;
  if (out != nullptr && std::fclose(out) != 0) {
    std::printf("Could not write '%s'\n", markerTemplateFile.c_str());
  } else if (written) {
    std::printf("Saved '%s'\n", markerTemplateFile.c_str());
  } else {
    std::printf("Could not write '%s'\n", markerTemplateFile.c_str());
  }
  capturedTemplate.clear();
  Quit();
}
