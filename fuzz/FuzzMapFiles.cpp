// The map's file readers on arbitrary bytes: the binary map (ReadMap, from a
// memory stream) and the text and binary project files (written to a file
// alone in a private folder, so that the images a project names are never
// found). The first byte picks the reader. A refused file leaves the
// destination as it was; an accepted map passes the invariant check. The
// calibration file has its harness with the project round trips.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "FuzzMapSupport.h"
#include "mapping/GlobalMap.h"
#include "mapping/MapFile.h"
#include "mapping/ProjectFile.h"

namespace {

void FuzzMap(u8 reader, const uint8_t* rest, size_t restSize) {
  GlobalMap map;
  MarkDestination(map);
  const MapFingerprint before = MapFingerprint::Of(map);
  bool ok = false;
  if (reader == 0) {
    FILE* f = MemoryStream(rest, restSize);
    if (!f) return;
    ok = ReadMap(map, f);
    std::fclose(f);
  } else {
    const std::string input = PrivateFile("input.txt");
    if (input.empty() || !WriteFile(input, rest, restSize)) return;
    ok = reader == 1 ? LoadProjectText(map, input) : LoadProjectBinary(map, input);
  }
  if (ok) {
    std::string error;
    if (!map.CheckInvariants(&error)) dprintf(2, "invariant: %s\n", error.c_str());
    FUZZ_CHECK(map.CheckInvariants());
    FUZZ_CHECK(map.ModificationCounter() > before.counter);
  } else {
    FUZZ_CHECK(MapFingerprint::Of(map) == before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const MutedOutput muted;
  FuzzMap(bytes[0] % 3, bytes + 1, size - 1);
  return 0;
}
