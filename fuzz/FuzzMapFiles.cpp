// The map's file readers on arbitrary bytes: the binary map (ReadMap, from a
// memory stream), the calibration file and the text and binary project files
// (written to a file alone in a private folder, so that the images a project
// names are never found). The first byte picks the reader. A refused file
// leaves the destination as it was; an accepted map passes the invariant
// check.
#include <stdlib.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "mapping/Calibration.h"
#include "mapping/GlobalMap.h"
#include "mapping/MapFile.h"
#include "mapping/ProjectFile.h"

namespace {

// What a refused load must not change.
struct Fingerprint {
  u32 keyFrames, tracks, planes, points, measurements;
  u16 width, height;
  u64 counter, version;
  bool operator==(const Fingerprint& o) const {
    return keyFrames == o.keyFrames && tracks == o.tracks && planes == o.planes &&
           points == o.points && measurements == o.measurements && width == o.width &&
           height == o.height && counter == o.counter && version == o.version;
  }
  static Fingerprint Of(const GlobalMap& map) {
    return {map.KeyFrameCount(), map.TrackCount(),          map.PlaneCount(),
            map.points.Size(),   map.measurements.Size(),   map.width,
            map.height,          map.ModificationCounter(), map.StructureVersion()};
  }
};

// The input's file: one name in a folder of its own, rewritten per input.
const std::string& FileName() {
  static const std::string name = [] {
    std::string folder = "/tmp/zevrion-fuzz-XXXXXX";
    if (!mkdtemp(folder.data())) return std::string();
    return folder + "/input.txt";
  }();
  return name;
}

bool WriteFile(const std::string& name, const uint8_t* bytes, size_t size) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

void FuzzMap(u8 reader, const uint8_t* rest, size_t restSize) {
  GlobalMap map;
  // A destination that is not in its initial state, so that a reader that
  // resets it before refusing shows.
  map.width = 7;
  map.height = 5;
  map.modificationCounter = 41;
  map.structureVersion = 3;
  const Fingerprint before = Fingerprint::Of(map);
  bool ok = false;
  if (reader == 0) {
    FILE* f = restSize == 0 ? std::tmpfile() : fmemopen(const_cast<uint8_t*>(rest), restSize, "rb");
    if (!f) return;
    ok = ReadMap(map, f);
    std::fclose(f);
  } else {
    if (FileName().empty() || !WriteFile(FileName(), rest, restSize)) return;
    ok = reader == 1 ? LoadProjectText(map, FileName()) : LoadProjectBinary(map, FileName());
  }
  if (ok) {
    std::string error;
    if (!map.CheckInvariants(&error)) dprintf(2, "invariant: %s\n", error.c_str());
    FUZZ_CHECK(map.CheckInvariants());
    FUZZ_CHECK(map.ModificationCounter() > before.counter);
  } else {
    FUZZ_CHECK(Fingerprint::Of(map) == before);
  }
}

void FuzzCalibration(const uint8_t* rest, size_t restSize) {
  if (FileName().empty() || !WriteFile(FileName(), rest, restSize)) return;
  Intrinsic intrinsic;
  double extrinsic[7], rotation[9];
  std::memset(&intrinsic, 0x3C, sizeof(intrinsic));
  std::memset(extrinsic, 0x3C, sizeof(extrinsic));
  std::memset(rotation, 0x3C, sizeof(rotation));
  const Intrinsic intrinsicBefore = intrinsic;
  if (LoadCalibration(FileName(), 640, 480, intrinsic, extrinsic, rotation)) {
    FUZZ_CHECK(intrinsic.fx[0] > 0.0f && intrinsic.fy[0] > 0.0f);
    FUZZ_CHECK(std::isfinite(intrinsic.fx[0]) && std::isfinite(intrinsic.fy[0]));
  } else {
    FUZZ_CHECK(std::memcmp(&intrinsic, &intrinsicBefore, sizeof(intrinsic)) == 0);
    for (const double v : extrinsic) FUZZ_CHECK(std::memcmp(&v, &extrinsic[0], sizeof(v)) == 0);
    for (const double v : rotation) FUZZ_CHECK(std::memcmp(&v, &extrinsic[0], sizeof(v)) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  // The readers' refusal messages go to a null stream (millions of them
  // would fill the log); sanitizer reports write to the descriptor.
  static FILE* const null = std::fopen("/dev/null", "w");
  FILE* const errors = stderr;
  FILE* const output = stdout;
  if (null) stderr = stdout = null;
  const u8 reader = bytes[0] % 4;
  if (reader == 3) {
    FuzzCalibration(bytes + 1, size - 1);
  } else {
    FuzzMap(reader, bytes + 1, size - 1);
  }
  stderr = errors;
  stdout = output;
  return 0;
}
