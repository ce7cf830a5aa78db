// The camera's text and binary files on arbitrary bytes: the two project
// readers and the calibration file (the first byte picks the reader). A
// refused file leaves its destination as it was. An accepted project passes
// the invariant check and survives the text writer: saved with
// SaveProjectText and read back, it gives the same intrinsics, frame count,
// poses (unset ones unset), track count and points, and saving that again
// writes the same file. Every accepted intrinsic record, from a project or a
// calibration file, holds finite values only, as SetUsableIntrinsic builds
// it.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "FuzzMapSupport.h"
#include "features/FeatureRecords.h"
#include "mapping/Calibration.h"
#include "mapping/ProjectFile.h"

namespace {

constexpr int kIntrinsicFloats = sizeof(Intrinsic) / sizeof(float);

bool Same(float a, float b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// The whole record finite and exactly what the shared check builds from
// its four numbers.
void CheckIntrinsic(const Intrinsic& k) {
  float values[kIntrinsicFloats];
  std::memcpy(values, &k, sizeof(values));
  FUZZ_CHECK(AllFinite(values, kIntrinsicFloats));
  Intrinsic rebuilt;
  FUZZ_CHECK(SetUsableIntrinsic(rebuilt, k.fx[0], k.fy[0], k.cx[0], k.cy[0]));
  FUZZ_CHECK(std::memcmp(&rebuilt, &k, sizeof(k)) == 0);
}

// What SaveProjectText writes of `map` read back as `back`.
void CheckReadBack(const GlobalMap& map, const GlobalMap& back) {
  FUZZ_CHECK(back.CheckInvariants());
  const Intrinsic &a = map.intrinsic, &b = back.intrinsic;
  FUZZ_CHECK(a.fx[0] == b.fx[0] && a.fy[0] == b.fy[0] && a.cx[0] == b.cx[0] && a.cy[0] == b.cy[0]);
  FUZZ_CHECK(back.KeyFrameCount() == map.KeyFrameCount());
  for (u32 f = 0; f < map.KeyFrameCount(); ++f) {
    const CameraPose &p = map.keyFramePoses[f], &q = back.keyFramePoses[f];
    FUZZ_CHECK(IsPoseInvalid(p) == IsPoseInvalid(q));
    for (int j = 0; j < 12 && IsPoseValid(p); ++j)
      FUZZ_CHECK(Same(p.m[j / 4][j % 4], q.m[j / 4][j % 4]));
  }
  FUZZ_CHECK(back.TrackCount() == map.TrackCount());
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    const MapPoint &p = map.points[t], &q = back.points[t];
    if (p.v[0] == FLT_MAX) {
      // An unset point is written as an unsolved track seen nowhere.
      FUZZ_CHECK(back.trackFlags[t] == 0 && back.trackMeasurements[t].empty());
    } else {
      FUZZ_CHECK(Same(p.v[0], q.v[0]) && Same(p.v[1], q.v[1]) && Same(p.v[2], q.v[2]));
      FUZZ_CHECK(back.trackFlags[t] == (kTrackSolved | kTrackInlier));
    }
  }
}

void FuzzProject(bool binary, const uint8_t* rest, size_t restSize) {
  const std::string input = PrivateFile("input"), saved = PrivateFile("saved.act"),
                    again = PrivateFile("again.act");
  if (input.empty() || !WriteFile(input, rest, restSize)) return;
  GlobalMap map;
  MarkDestination(map);
  const MapFingerprint before = MapFingerprint::Of(map);
  if (!(binary ? LoadProjectBinary(map, input) : LoadProjectText(map, input))) {
    FUZZ_CHECK(MapFingerprint::Of(map) == before);
    return;
  }
  FUZZ_CHECK(map.CheckInvariants());
  FUZZ_CHECK(map.ModificationCounter() > before.counter);
  CheckIntrinsic(map.intrinsic);

  FUZZ_CHECK(SaveProjectText(saved, map.intrinsic, map.keyFramePoses, map.points));
  GlobalMap back;
  FUZZ_CHECK(LoadProjectText(back, saved));
  CheckReadBack(map, back);
  FUZZ_CHECK(SaveProjectText(again, back.intrinsic, back.keyFramePoses, back.points));
  FUZZ_CHECK(ReadFile(saved) == ReadFile(again));
}

void FuzzCalibration(const uint8_t* rest, size_t restSize) {
  const std::string input = PrivateFile("calibration");
  if (input.empty() || !WriteFile(input, rest, restSize)) return;
  Intrinsic intrinsic;
  double extrinsic[7], rotation[9];
  std::memset(&intrinsic, 0x3C, sizeof(intrinsic));
  std::memset(extrinsic, 0x3C, sizeof(extrinsic));
  std::memset(rotation, 0x3C, sizeof(rotation));
  const Intrinsic intrinsicBefore = intrinsic;
  double outputsBefore[16];
  std::memcpy(outputsBefore, extrinsic, sizeof(extrinsic));
  std::memcpy(outputsBefore + 7, rotation, sizeof(rotation));
  if (LoadCalibration(input, 640, 480, intrinsic, extrinsic, rotation)) {
    CheckIntrinsic(intrinsic);
    for (const double e : extrinsic) FUZZ_CHECK(std::isfinite(e));
    if (rotation[0] != DBL_MAX) {
      for (const double r : rotation) FUZZ_CHECK(std::isfinite(r));
    }
  } else {
    FUZZ_CHECK(std::memcmp(&intrinsic, &intrinsicBefore, sizeof(intrinsic)) == 0);
    FUZZ_CHECK(std::memcmp(extrinsic, outputsBefore, sizeof(extrinsic)) == 0);
    FUZZ_CHECK(std::memcmp(rotation, outputsBefore + 7, sizeof(rotation)) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  MutedOutput muted;
  switch (bytes[0] % 3) {
    case 0:
      FuzzProject(false, bytes + 1, size - 1);
      break;
    case 1:
      FuzzProject(true, bytes + 1, size - 1);
      break;
    default:
      FuzzCalibration(bytes + 1, size - 1);
      break;
  }
  return 0;
}
