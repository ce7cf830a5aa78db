#pragma once
// Track measurement lists packed back to back: list t holds
// entries[starts[t]] up to entries[starts[t + 1]]. A loader reads the lists
// into this form (two buffers instead of one allocation per track), checks
// them there and copies them into the map only once they are accepted.
#include <string>
#include <vector>

#include "la/Types.h"

class GlobalMap;

struct PackedTrackLists {
  std::vector<u32> starts{0};
  std::vector<u32> entries;

  u32 Count() const { return static_cast<u32>(starts.size() - 1); }
  const u32* Begin(u32 t) const { return entries.data() + starts[t]; }
  u32 Size(u32 t) const { return starts[t + 1] - starts[t]; }
};

// GlobalMap::CheckInvariants with the map's track lists taken from `lists`
// (map.trackMeasurements is not looked at).
bool CheckInvariants(const GlobalMap& map, const PackedTrackLists& lists,
                     std::string* error = nullptr);
