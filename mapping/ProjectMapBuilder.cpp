#include "mapping/ProjectMapBuilder.h"

#include <cvd/image_io.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "features/FeatureRecords.h"
#include "mapping/Calibration.h"
#include "mapping/MapFile.h"

namespace {

const TrackColor kDefaultColor(0, 255, 255);
constexpr double kDefaultQuaternion[4] = {-0.70710678, 0.70710678, 0.0, 0.0};

// libCVD reports unreadable files by exceptions; they stop here. An image
// it loads with a zero side is refused as well and leaves no image behind.
template <class Pixel>
bool TryLoadImage(const std::string& fileName, CVD::Image<Pixel>& image) {
  try {
    CVD::img_load(image, fileName);
    if (image.size().x > 0 && image.size().y > 0) return true;
  } catch (...) {
  }
  image.resize(CVD::ImageRef(0, 0));
  return false;
}

CameraPose IdentityPose() {
  CameraPose pose{};
  pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
  return pose;
}

u16 SideFromPrincipalPoint(float c) {
  const float side = std::round(2.0f * c + 1.0f);
  return side > 0.0f && side < 65535.0f ? static_cast<u16>(side) : 0;
}

}  // namespace

bool ProjectMapBuilder::Fail(const std::string& reason) {
  error_ = reason;
  return false;
}

bool ProjectMapBuilder::SetSequence(const std::string& projectFile, const std::string& pattern,
                                    long long start, long long step, long long end) {
  if (step < 1) return Fail("the sequence step is not positive");
  if (start < 0 || end < start) return Fail("the sequence holds no frame");
  const long long count = (end - start) / step + 1;
  // Key-frame indices are 16 bits with kNone16 for none.
  if (count > kNone16) return Fail("the sequence has more frames than the map can hold");
  std::string fullPattern = GetDirectory(projectFile) + GetFileName(pattern);
  if (fullPattern.size() > PATH_MAX) return Fail("the sequence pattern is longer than a path");
  // start + i step never exceeds end, an int.
  frames_ = FileSequence(std::move(fullPattern), static_cast<u32>(start), static_cast<u32>(step),
                         static_cast<u32>(count));
  poses_.assign(static_cast<std::size_t>(count), CameraPose{});
  return true;
}

bool ProjectMapBuilder::SetIntrinsic(float fx, float fy, float cx, float cy) {
  Intrinsic checked;
  if (!SetUsableIntrinsic(checked, fx, fy, cx, cy)) return Fail("invalid intrinsic parameters");
  k_[0] = fx, k_[1] = fy, k_[2] = cx, k_[3] = cy;
  return true;
}

void ProjectMapBuilder::StartTracks(u32 count) {
  points_.reserve(count);
  flags_.reserve(count);
}

void ProjectMapBuilder::BeginTrack(int a, int b, float x, float y, float z) {
  points_.push_back(MapPoint{{x, y, z, 1.0f}});
  u8 flags = 0;
  if (a != -1) flags = b == 1 ? kTrackSolved | kTrackInlier : kTrackSolved;
  flags_.push_back(flags);
  trackStart_ = observations_.size();
}

bool ProjectMapBuilder::AddObservation(int frame, float x, float y) {
  if (frame < 0 || static_cast<u32>(frame) >= FrameCount()) {
    return Fail("track " + std::to_string(points_.size() - 1) + " names frame " +
                std::to_string(frame) + " outside the sequence");
  }
  observations_.push_back(Observation{static_cast<u32>(points_.size() - 1), static_cast<u32>(frame),
                                      (x - k_[2]) / k_[0], (y - k_[3]) / k_[1]});
  return true;
}

void ProjectMapBuilder::EndTrack() {
  // A track's list holds one measurement per key frame, in key-frame order.
  const auto first = observations_.begin() + static_cast<std::ptrdiff_t>(trackStart_);
  const auto byFrame = [](const Observation& a, const Observation& b) { return a.frame < b.frame; };
  std::stable_sort(first, observations_.end(), byFrame);
  const auto last =
      std::unique(first, observations_.end(),
                  [](const Observation& a, const Observation& b) { return a.frame == b.frame; });
  dropped_ += static_cast<u32>(observations_.end() - last);
  observations_.erase(last, observations_.end());
}

void ProjectMapBuilder::SetPose(u32 frame, double focal, const float rows[12]) {
  CameraPose& pose = poses_[frame];
  if (focal < 0.0) {
    pose = IdentityPose();
    pose.m[0][0] = FLT_MAX;
    return;
  }
  std::memcpy(pose.m, rows, sizeof(pose.m));
}

bool ProjectMapBuilder::Build(GlobalMap& map) {
  const u32 F = FrameCount(), T = static_cast<u32>(points_.size());
  if (observations_.size() > 0xFFFFFFFFull) return Fail("too many observations");
  if (dropped_ > 0)
    std::printf("Dropped %u repeated observations of a track in one frame\n", dropped_);

  std::vector<u32> counts(F, 0);
  for (const Observation& o : observations_) ++counts[o.frame];
  map.keyFrameMeasurementStart.assign(F + 1, 0);
  for (u32 f = 0; f < F; ++f) {
    if (counts[f] > 0xFFFF) return Fail("frame " + std::to_string(f) + " has too many features");
    map.keyFrameMeasurementStart[f + 1] = map.keyFrameMeasurementStart[f] + counts[f];
  }

  // Observations fill their frame's block in file order.
  const u32 M = static_cast<u32>(observations_.size());
  map.measurements.Resize(M);
  map.measurementTracks.resize(M);
  map.trackMeasurements.assign(T, {});
  std::vector<u32> next(map.keyFrameMeasurementStart.begin(),
                        map.keyFrameMeasurementStart.end() - 1);
  for (const Observation& o : observations_) {
    const u32 m = next[o.frame]++;
    map.measurements[m] = MapMeasurement{o.x, o.y};
    map.measurementTracks[m] = o.track;
    map.trackMeasurements[o.track].push_back(
        GlobalMap::PackMeasurement(o.frame, m - map.keyFrameMeasurementStart[o.frame]));
  }

  map.points.Resize(T);
  if (T > 0) std::memcpy(map.points.Data(), points_.data(), sizeof(MapPoint) * T);
  map.trackFlags = flags_;
  map.trackPlanes.assign(T, kNone16);
  map.trackColors.assign(T, kDefaultColor);
  const u32 fileColors = std::min(T, static_cast<u32>(colors_.size()));
  std::copy(colors_.begin(), colors_.begin() + fileColors, map.trackColors.begin());

  map.intrinsic.Set(k_[0], k_[1], k_[2], k_[3]);
  std::memcpy(map.extrinsic, kDefaultQuaternion, sizeof(kDefaultQuaternion));
  map.extrinsic[4] = map.extrinsic[5] = map.extrinsic[6] = 0.0;
  CameraOffset offset;
  std::memcpy(&offset, map.extrinsic, sizeof(offset));
  map.keyFramePoses.Resize(F);
  map.keyFrameStates.Resize(F);
  for (u32 f = 0; f < F; ++f) {
    map.keyFramePoses[f] = poses_[f];
    IMUState& state = map.keyFrameStates[f];
    std::memset(&state, 0, sizeof(state));
    float scratch[16];
    // A frame without a pose keeps the identity's state: finite, and never
    // read while the pose is unset.
    CameraToPose(state, offset, IsPoseValid(poses_[f]) ? poses_[f] : IdentityPose(), scratch);
  }
  map.keyFrameFlags.assign(F, 0);
  map.keyFrames.resize(F);
  ComputeFrameTrackRanges(map);

  map.width = map.height = 0;
  std::string fileName;
  for (u32 f = 0; f < F; ++f) {
    std::printf("\rLoading images...%d%%", static_cast<int>(100ull * f / F));
    KeyFrame& keyFrame = map.keyFrames[f];
    keyFrame.frameId = f;
    keyFrame.levelOffsets[0] = 0;
    for (int i = 1; i < 6; ++i) keyFrame.levelOffsets[i] = static_cast<u16>(counts[f]);
    frames_.Name(f, fileName);
    if (!TryLoadImage(fileName, keyFrame.pyramid[0])) {
      std::printf("\rCannot load image '%s'\n", fileName.c_str());
    } else if (map.width == 0) {
      map.width = static_cast<u16>(std::min(keyFrame.pyramid[0].size().x, 65535));
      map.height = static_cast<u16>(std::min(keyFrame.pyramid[0].size().y, 65535));
    }
  }
  std::printf("\rLoading images...%d%%\n", 100);
  if (map.width == 0) {
    // No image at all: the size the principal point implies.
    map.width = SideFromPrincipalPoint(k_[2]);
    map.height = SideFromPrincipalPoint(k_[3]);
  }
  LoadTrackColors(map, frames_, fileColors);

  std::string fault;
  if (!map.CheckInvariants(&fault)) return Fail(fault);
  return true;
}

void ComputeFrameTrackRanges(GlobalMap& map) {
  const u32 K = map.KeyFrameCount();
  map.keyFrameTrackRange.assign(K, std::pair<u32, u32>(0xFFFFFFFF, 0));
  for (u32 k = 0; k < K; ++k) {
    std::pair<u32, u32>& range = map.keyFrameTrackRange[k];
    for (u32 m = map.keyFrameMeasurementStart[k]; m < map.keyFrameMeasurementStart[k + 1]; ++m) {
      range.first = std::min(range.first, map.measurementTracks[m]);
      range.second = std::max(range.second, map.measurementTracks[m]);
    }
  }
}

void LoadTrackColors(GlobalMap& map, const FileSequence& imageFiles, u32 coloredTracks) {
  const u32 T = map.TrackCount();
  const u32 K = std::min(map.KeyFrameCount(), imageFiles.Count());
  std::vector<u8> colored(T, 0);
  u32 done = std::min(coloredTracks, T);
  std::fill(colored.begin(), colored.begin() + done, 1);
  const Intrinsic& k = map.intrinsic;
  CVD::Image<TrackColor> image;
  std::string fileName;
  for (u32 f = 0; f < K && done < T; ++f) {
    const u32 begin = map.keyFrameMeasurementStart[f], end = map.keyFrameMeasurementStart[f + 1];
    bool needed = false;
    for (u32 m = begin; m < end && !needed; ++m) needed = !colored[map.measurementTracks[m]];
    if (!needed) continue;
    std::printf("\rLoading track colors...%d%%", static_cast<int>(100ull * done / T));
    // A missing image was reported while the pyramid was loaded.
    bool haveImage = false;
    if (map.keyFrames[f].pyramid[0].size().x > 0) {
      imageFiles.Name(f, fileName);
      haveImage = TryLoadImage(fileName, image);
    }
    for (u32 m = begin; m < end; ++m) {
      const u32 t = map.measurementTracks[m];
      if (colored[t]) continue;
      colored[t] = 1;
      ++done;
      if (!haveImage) {
        map.trackColors[t] = kDefaultColor;
        continue;
      }
      // Pixel of the normalised measurement, kept inside the image.
      const float px = k.fx[0] * map.measurements[m].x + k.cx[0] + 0.5f;
      const float py = k.fy[0] * map.measurements[m].y + k.cy[0] + 0.5f;
      const int w = image.size().x, h = image.size().y;
      const int x = px >= 0.0f ? (px < w ? static_cast<int>(px) : w - 1) : 0;
      const int y = py >= 0.0f ? (py < h ? static_cast<int>(py) : h - 1) : 0;
      map.trackColors[t] = image[y][x];
    }
  }
  std::printf("\rLoading track colors...%d%%\n", 100);
}
