#pragma once
// The binary map file: the whole GlobalMap, little-endian, field by field,
// without magic number or version. It is also the first section of the
// tracker's state file, so the reader consumes exactly the map's bytes.
#include <cstdio>
#include <string>

#include "mapping/GlobalMap.h"
#include "mapping/KeyFrame.h"

class BinaryReader;
class BinaryWriter;
struct PackedTrackLists;

// Writes one key-frame record.
void WriteKeyFrame(const KeyFrame& keyFrame, BinaryWriter& out);
// Reads one key-frame record into a fresh key frame; false when the record
// is cut short or claims more image bytes than the stream holds.
bool ReadKeyFrame(KeyFrame& keyFrame, BinaryReader& in);
// Writes the map under its shared lock; false when the map cannot be
// represented (more than 65535 key frames) or a write failed.
bool SaveMap(const GlobalMap& map, FILE* f);
// Reads a map section and, only when it is complete and consistent, puts it
// in place under the exclusive lock (changed set, counters advanced). False:
// the map is unchanged and its counters have not moved.
bool ReadMap(GlobalMap& map, FILE* f);
// Opens and reads a map file. False without a message when it cannot be
// opened, with "Cannot load" when its content is refused.
bool LoadMap(GlobalMap& map, const std::string& fileName);

// Exchanges the whole content of `map` with that of `loaded` (a map only the
// caller sees) under map's exclusive lock, then notes the load: every loader
// ends here once what it read has passed the invariant check.
void ReplaceMapContent(GlobalMap& map, GlobalMap& loaded);
// The same with the track lists taken from `lists` (loaded's own are not
// used); they are copied into the map's lists, reusing their storage. Throws
// std::bad_alloc, with the map unchanged, when memory runs out.
void ReplaceMapContent(GlobalMap& map, GlobalMap& loaded, const PackedTrackLists& lists);
