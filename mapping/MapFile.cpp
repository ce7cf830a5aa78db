#include "mapping/MapFile.h"

#include <boost/thread/locks.hpp>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "mapping/BinaryFile.h"
#include "mapping/PackedTrackLists.h"

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

// Reads T lists back to back into `lists`. On an unmeasured stream the
// buffers grow a step at a time with the bytes that arrive. On a measured one
// a consistent file holds a word of measurement tracks after the lists for
// each entry, so half the words left is room enough for the entries.
bool ReadTrackLists(PackedTrackLists& lists, u32 T, BinaryReader& in) {
  lists.starts.assign(1, 0);
  lists.entries.clear();
  lists.starts.reserve(in.Step(T, sizeof(std::vector<u32>)) + 1);
  if (in.Measured()) lists.entries.reserve(in.Left() / (2 * sizeof(u32)));
  for (u32 t = 0; t < T; ++t) {
    u32 m;
    if (!in.Get(m) || !in.Admits(m, sizeof(u32), sizeof(u32))) return false;
    // Live entries name distinct measurements, merged-away tracks one word
    // each: more than a u32 counts is no map.
    const std::size_t done = lists.entries.size();
    if (done + m > 0xFFFFFFFFull || !in.AppendRecords(lists.entries, m)) return false;
    lists.starts.push_back(static_cast<u32>(done + m));
  }
  return true;
}

bool ReadMapContent(GlobalMap& map, PackedTrackLists& lists, BinaryReader& in) {
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
  // list header in memory once it is in the map.
  u32 T;
  if (!in.Get(T) || !in.Admits(T, sizeof(u32), sizeof(std::vector<u32>))) return false;
  if (!ReadTrackLists(lists, T, in)) return false;
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
  BinaryReader in(f);
  // Every count is bounded before storage is made for it; a map that is
  // genuine but larger than memory is refused all the same, its staging
  // included.
  try {
    GlobalMap loaded;
    PackedTrackLists lists;
    if (!ReadMapContent(loaded, lists, in) || !CheckInvariants(loaded, lists)) return false;
    ReplaceMapContent(map, loaded, lists);
  } catch (const std::bad_alloc&) {
    return false;
  }
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

namespace {

// Exchanges everything but the track lists; never allocates.
void SwapContentBesideTracks(GlobalMap& map, GlobalMap& loaded) {
  std::swap(map.width, loaded.width);
  std::swap(map.height, loaded.height);
  std::swap(map.intrinsic, loaded.intrinsic);
  std::swap(map.extrinsic, loaded.extrinsic);
  std::swap(map.scale, loaded.scale);
  map.keyFrames.swap(loaded.keyFrames);
  map.keyFrameStates.Swap(loaded.keyFrameStates);
  map.keyFramePoses.Swap(loaded.keyFramePoses);
  map.points.Swap(loaded.points);
  map.planes.Swap(loaded.planes);
  map.measurements.Swap(loaded.measurements);
  map.keyFrameMeasurementStart.swap(loaded.keyFrameMeasurementStart);
  map.keyFrameTrackRange.swap(loaded.keyFrameTrackRange);
  map.measurementTracks.swap(loaded.measurementTracks);
  map.trackPlanes.swap(loaded.trackPlanes);
  map.keyFrameFlags.swap(loaded.keyFrameFlags);
  map.trackFlags.swap(loaded.trackFlags);
  map.planeFlags.swap(loaded.planeFlags);
  map.trackColors.swap(loaded.trackColors);
}

}  // namespace

void ReplaceMapContent(GlobalMap& map, GlobalMap& loaded) {
  boost::upgrade_lock<boost::shared_mutex> upgrade(map.mutex);
  boost::upgrade_to_unique_lock<boost::shared_mutex> lock(upgrade);
  SwapContentBesideTracks(map, loaded);
  map.trackMeasurements.swap(loaded.trackMeasurements);
  map.NoteLoaded();
}

void ReplaceMapContent(GlobalMap& map, GlobalMap& loaded, const PackedTrackLists& lists) {
  boost::upgrade_lock<boost::shared_mutex> upgrade(map.mutex);
  boost::upgrade_to_unique_lock<boost::shared_mutex> lock(upgrade);
  // A map reloaded with lists no longer than its own keeps their storage;
  // otherwise the lists are made anew before anything in the map changes,
  // so that running out of memory leaves it as it was.
  std::vector<std::vector<u32>>& own = map.trackMeasurements;
  const u32 T = lists.Count();
  bool reuse = own.size() >= T;
  for (u32 t = 0; reuse && t < T; ++t) reuse = own[t].capacity() >= lists.Size(t);
  if (reuse) {
    for (u32 t = 0; t < T; ++t) own[t].assign(lists.Begin(t), lists.Begin(t) + lists.Size(t));
    own.erase(own.begin() + T, own.end());
  } else {
    loaded.trackMeasurements.resize(T);
    for (u32 t = 0; t < T; ++t) {
      loaded.trackMeasurements[t].assign(lists.Begin(t), lists.Begin(t) + lists.Size(t));
    }
    own.swap(loaded.trackMeasurements);
  }
  SwapContentBesideTracks(map, loaded);
  map.NoteLoaded();
}
