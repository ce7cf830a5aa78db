#pragma once
// The tracker section of the state file, after the map: its records written
// field by field (little-endian, no padding) and read back into a staging
// copy that the load checks in full before anything live changes.
#include <string>
#include <vector>

#include "mapping/BinaryFile.h"
#include "mapping/MapExchange.h"
#include "tracker/TrackerDisplay.h"
#include "tracker/TrackerRecords.h"
#include "tracker/TrackerStatus.h"

// Stored sizes of the records whose memory layout differs or may differ.
constexpr u32 kStoredPatchSize = 144;  // a FeaturePatch's fields, then zeros
constexpr u32 kStoredKeyFrameRecordSize = 40;
// The 3-D view's two blocks: the view itself (rotation, pivot, pose,
// frustum size, trackball, pivot depth) and the projection and model-view
// (16 doubles each), each zero-padded.
constexpr u32 kStoredViewSize = 208;
constexpr u32 kStoredViewMatricesSize = 272;

// The display's part of the file: the shown items, the first four display
// settings, the 3-D view and the plane selection.
struct StagedDisplay {
  u16 displayIndex = 0;
  u16 shownFrame = 0;
  u16 comparisonFrame = kNone16;
  u16 shownKeyFrame = kNone16;
  u32 settings[4] = {0, 0, 0, 0};
  DisplayViewState view;
};

// Everything the tracker section holds, read before any of it is trusted.
struct StagedTrackerState {
  TrackerStatus status;
  i32 lastSentFrame = -1;
  u16 currentFrame = kNone16;
  u16 referenceFrame = kNone16;
  CameraOffset bodyToCamera{};
  std::vector<TrackerFrame> frames;
  AlignedArray<WarpRecord> ringMaps;
  AlignedArray<FeaturePatch> patches;
  MapWorkingCopy working;
  std::vector<TrackerObject> objects;
  std::vector<KeyFrameRecord> records;
  AlignedArray<LA::Vector2<float>> keyFramePixels, keyFrameNormalized;
  AlignedArray<WarpRecord> keyFrameMaps;
  f32 mapScale = 0.0f;
  f32 planeDistanceThreshold = 0.0f;
  StagedDisplay display;
};

// What the writer reads of the live tracker.
struct TrackerStateSource {
  const TrackerStatus& status;
  i32 lastSentFrame;
  u16 currentFrame, referenceFrame;
  const CameraOffset& bodyToCamera;
  const std::vector<const TrackerFrame*>& frames;
  const AlignedArray<WarpRecord>& ringMaps;
  const AlignedArray<FeaturePatch>& patches;
  const MapWorkingCopy& working;
  const std::vector<TrackerObject>& objects;
  const std::vector<KeyFrameRecord>& records;
  const AlignedArray<LA::Vector2<float>>& keyFramePixels;
  const AlignedArray<LA::Vector2<float>>& keyFrameNormalized;
  const AlignedArray<WarpRecord>& keyFrameMaps;
  f32 mapScale;
  f32 planeDistanceThreshold;
  StagedDisplay display;
};

// Items 2 to 8 of the file, after the map.
void WriteTrackerSection(const TrackerStateSource& source, BinaryWriter& out);
// The same, into `staged`; false at a short read or a count the bytes left
// cannot hold. Nothing is checked against the map here.
bool ReadTrackerSection(StagedTrackerState& staged, BinaryReader& in);

// One frame of the ring, one patch, one registered object, one small image.
void WriteTrackerFrame(const TrackerFrame& frame, BinaryWriter& out);
bool ReadTrackerFrame(TrackerFrame& frame, BinaryReader& in);
void WriteFeaturePatch(const FeaturePatch& patch, BinaryWriter& out);
bool ReadFeaturePatch(FeaturePatch& patch, BinaryReader& in);
void WriteTrackerObject(const TrackerObject& object, BinaryWriter& out);
bool ReadTrackerObject(TrackerObject& object, BinaryReader& in);
void WriteSmallImageBlock(const SmallImage& small, BinaryWriter& out);
bool ReadSmallImageBlock(SmallImage& small, BinaryReader& in);

// --- Lists and images, shared by the section readers and writers.
namespace state_file {

template <class T>
void WriteRaw(const AlignedArray<T>& a, BinaryWriter& out) {
  out.Put(a.Size());
  if (a.Size() > 0) out.PutBytes(a.Data(), sizeof(T) * a.Size());
}

template <class T>
void WriteRaw(const std::vector<T>& v, BinaryWriter& out) {
  out.Put(static_cast<u32>(v.size()));
  if (!v.empty()) out.PutBytes(v.data(), sizeof(T) * v.size());
}

// A list of records that are one scalar type throughout (no padding), so
// their bytes are their fields in order.
template <class T>
bool ReadRaw(AlignedArray<T>& a, BinaryReader& in) {
  u32 n;
  if (!in.Get(n) || !in.Fits(n, sizeof(T))) return false;
  a.Resize(n);
  return n == 0 || in.GetBytes(a.Data(), sizeof(T) * n);
}

template <class T>
bool ReadRaw(std::vector<T>& v, BinaryReader& in) {
  u32 n;
  if (!in.Get(n) || !in.Fits(n, sizeof(T))) return false;
  v.resize(n);
  return n == 0 || in.GetBytes(v.data(), sizeof(T) * n);
}

// A list of records read one at a time by read(record, in); `stored` is the
// fewest bytes a record takes in the file.
template <class List, class Read>
bool ReadEach(List& list, u32 stored, BinaryReader& in, Read read) {
  u32 n;
  if (!in.Get(n) || !in.Fits(n, stored)) return false;
  list.resize(n);
  for (u32 i = 0; i < n; ++i)
    if (!read(list[i], in)) return false;
  return true;
}

}  // namespace state_file

class GlobalMap;
struct TrackerCamera;

// Checks the staged section against itself, the staged map and the camera:
// every count, every index below its count or at its sentinel, pyramid
// sizes, monotone starts. False with the first fault in *fault.
bool CheckStagedState(const StagedTrackerState& staged, const GlobalMap& map,
                      const TrackerCamera& camera, std::string* fault);
