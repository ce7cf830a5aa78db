#include "mapping/MapFile.h"

#include <boost/thread/locks.hpp>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "mapping/BinaryFile.h"

static_assert(sizeof(Intrinsic) == 176, "the intrinsic record is stored raw");
static_assert(sizeof(GlobalMap::extrinsic) == 56, "the extrinsic is seven doubles");
static_assert(sizeof(IMUState) == 136, "key-frame states are stored raw");
static_assert(sizeof(CameraPose) == 48, "key-frame poses are stored raw");
static_assert(sizeof(IMUDelta) == 1640, "deltas are stored raw");
static_assert(sizeof(IMUAttitude) == 64, "attitudes are stored raw");
// Arrays of plain floats and bytes without padding: a block equals its fields.
static_assert(sizeof(MapPoint) == 16 && sizeof(MapPlane) == 16, "four floats");
static_assert(sizeof(MapMeasurement) == 8, "two floats");
static_assert(sizeof(TrackColor) == 3, "red, green, blue");

namespace {

template <class T>
void WriteArray(const AlignedArray<T>& a, BinaryWriter& out) {
  out.Put(a.Size());
  out.PutBytes(a.Data(), sizeof(T) * a.Size());
}

template <class T>
void WriteVector(const std::vector<T>& v, BinaryWriter& out) {
  out.Put(static_cast<u32>(v.size()));
  out.PutBytes(v.data(), sizeof(T) * v.size());
}

template <class T>
bool ReadArray(AlignedArray<T>& a, BinaryReader& in) {
  u32 n;
  if (!in.Get(n) || !in.Admits(n, sizeof(T), sizeof(T))) return false;
  if (in.Measured()) {
    a.Resize(n);
    return in.GetBytes(a.Data(), sizeof(T) * n);
  }
  std::vector<T> staged;
  if (!in.GetRecords(staged, n)) return false;
  a.Resize(n);
  if (n > 0) std::memcpy(static_cast<void*>(a.Data()), staged.data(), sizeof(T) * n);
  return true;
}

template <class T>
bool ReadVector(std::vector<T>& v, BinaryReader& in) {
  u32 n;
  return in.Get(n) && in.Admits(n, sizeof(T), sizeof(T)) && in.GetRecords(v, n);
}

bool ReadMapContent(GlobalMap& map, BinaryReader& in) {
  if (!in.Get(map.width) || !in.Get(map.height) || !in.Get(map.intrinsic) ||
      !in.Get(map.extrinsic) || !in.Get(map.scale)) {
    return false;
  }
  // Each list of records grows as its records arrive (see GetRecords).
  u16 K;
  if (!in.Get(K)) return false;
  // The smallest key-frame record: id, five empty images, offsets, delta, attitude.
  constexpr u64 kMinKeyFrame = 4 + 5 * 8 + 12 + sizeof(IMUDelta) + sizeof(IMUAttitude);
  if (!in.Admits(K, kMinKeyFrame, sizeof(KeyFrame))) return false;
  map.keyFrames.reserve(in.Step(K, sizeof(KeyFrame)));
  for (u32 k = 0; k < K; ++k) {
    map.keyFrames.emplace_back();
    if (!ReadKeyFrame(map.keyFrames.back(), in)) return false;
  }
  if (!ReadArray(map.keyFrameStates, in) || !ReadArray(map.keyFramePoses, in) ||
      !ReadArray(map.points, in) || !ReadArray(map.planes, in) ||
      !ReadArray(map.measurements, in)) {
    return false;
  }
  // A track takes at least its list's length in the stream and a whole
  // list header in memory.
  u32 T;
  if (!in.Get(T) || !in.Admits(T, sizeof(u32), sizeof(std::vector<u32>))) return false;
  map.trackMeasurements.reserve(in.Step(T, sizeof(std::vector<u32>)));
  for (u32 t = 0; t < T; ++t) {
    map.trackMeasurements.emplace_back();
    if (!ReadVector(map.trackMeasurements.back(), in)) return false;
  }
  if (!ReadVector(map.keyFrameMeasurementStart, in)) return false;
  using Range = std::pair<u32, u32>;
  u32 ranges;
  if (!in.Get(ranges) || !in.Admits(ranges, 2 * sizeof(u32), sizeof(Range))) return false;
  map.keyFrameTrackRange.reserve(in.Step(ranges, sizeof(Range)));
  for (u32 r = 0; r < ranges; ++r) {
    Range range;
    if (!in.Get(range.first) || !in.Get(range.second)) return false;
    map.keyFrameTrackRange.push_back(range);
  }
  u8 storedChanged;
  return ReadVector(map.measurementTracks, in) && ReadVector(map.trackPlanes, in) &&
         ReadVector(map.keyFrameFlags, in) && ReadVector(map.trackFlags, in) &&
         ReadVector(map.planeFlags, in) && ReadVector(map.trackColors, in) && in.Get(storedChanged);
}

}  // namespace

void WriteKeyFrame(const KeyFrame& keyFrame, BinaryWriter& out) {
  out.Put(keyFrame.frameId);
  WriteImage(keyFrame.floatImage, out);
  for (const CVD::Image<u8>& level : keyFrame.pyramid) WriteImage(level, out);
  out.PutBytes(keyFrame.levelOffsets, sizeof(keyFrame.levelOffsets));
  out.Put(keyFrame.delta);
  out.Put(keyFrame.attitude);
}

bool ReadKeyFrame(KeyFrame& keyFrame, BinaryReader& in) {
  if (!in.Get(keyFrame.frameId) || !ReadImage(keyFrame.floatImage, in)) return false;
  for (CVD::Image<u8>& level : keyFrame.pyramid) {
    if (!ReadImage(level, in)) return false;
  }
  return in.GetBytes(keyFrame.levelOffsets, sizeof(keyFrame.levelOffsets)) &&
         in.Get(keyFrame.delta) && in.Get(keyFrame.attitude);
}

bool SaveMap(const GlobalMap& map, FILE* f) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  if (map.keyFrames.size() > 0xFFFF) return false;
  BinaryWriter out(f);
  out.Put(map.width);
  out.Put(map.height);
  out.Put(map.intrinsic);
  out.Put(map.extrinsic);
  out.Put(map.scale);
  out.Put(static_cast<u16>(map.keyFrames.size()));
  for (const KeyFrame& keyFrame : map.keyFrames) WriteKeyFrame(keyFrame, out);
  WriteArray(map.keyFrameStates, out);
  WriteArray(map.keyFramePoses, out);
  WriteArray(map.points, out);
  WriteArray(map.planes, out);
  WriteArray(map.measurements, out);
  out.Put(static_cast<u32>(map.trackMeasurements.size()));
  for (const std::vector<u32>& list : map.trackMeasurements) WriteVector(list, out);
  WriteVector(map.keyFrameMeasurementStart, out);
  out.Put(static_cast<u32>(map.keyFrameTrackRange.size()));
  for (const std::pair<u32, u32>& range : map.keyFrameTrackRange) {
    out.Put(range.first);
    out.Put(range.second);
  }
  WriteVector(map.measurementTracks, out);
  WriteVector(map.trackPlanes, out);
  WriteVector(map.keyFrameFlags, out);
  WriteVector(map.trackFlags, out);
  WriteVector(map.planeFlags, out);
  WriteVector(map.trackColors, out);
  out.Put(map.changed);
  return out.Flush();
}

bool ReadMap(GlobalMap& map, FILE* f) {
  GlobalMap loaded;
  BinaryReader in(f);
  // Every count is bounded before storage is made for it; a map that is
  // genuine but larger than memory is refused all the same.
  try {
    if (!ReadMapContent(loaded, in) || !loaded.CheckInvariants()) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  ReplaceMapContent(map, loaded);
  return true;
}

bool LoadMap(GlobalMap& map, const std::string& fileName) {
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) return false;
  const bool ok = ReadMap(map, f);
  std::fclose(f);
  if (!ok) {
    std::printf("Cannot load '%s'\n", fileName.c_str());
    return false;
  }
  std::printf("Loaded '%s'\n", fileName.c_str());
  return true;
}

void ReplaceMapContent(GlobalMap& map, GlobalMap& loaded) {
  boost::upgrade_lock<boost::shared_mutex> upgrade(map.mutex);
  boost::upgrade_to_unique_lock<boost::shared_mutex> lock(upgrade);
  std::swap(map.width, loaded.width);
  std::swap(map.height, loaded.height);
  std::swap(map.intrinsic, loaded.intrinsic);
  std::swap(map.extrinsic, loaded.extrinsic);
  std::swap(map.scale, loaded.scale);
  map.keyFrames.swap(loaded.keyFrames);
  // AlignedArray has no buffer exchange: the raw blocks are copied.
  map.keyFrameStates.Assign(loaded.keyFrameStates);
  map.keyFramePoses.Assign(loaded.keyFramePoses);
  map.points.Assign(loaded.points);
  map.planes.Assign(loaded.planes);
  map.measurements.Assign(loaded.measurements);
  map.trackMeasurements.swap(loaded.trackMeasurements);
  map.keyFrameMeasurementStart.swap(loaded.keyFrameMeasurementStart);
  map.keyFrameTrackRange.swap(loaded.keyFrameTrackRange);
  map.measurementTracks.swap(loaded.measurementTracks);
  map.trackPlanes.swap(loaded.trackPlanes);
  map.keyFrameFlags.swap(loaded.keyFrameFlags);
  map.trackFlags.swap(loaded.trackFlags);
  map.planeFlags.swap(loaded.planeFlags);
  map.trackColors.swap(loaded.trackColors);
  map.NoteLoaded();
}
