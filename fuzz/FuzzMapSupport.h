#pragma once
// What the map-file harnesses share: the fingerprint a refused load must
// leave as it was, a private folder for the files a harness writes (its
// names hold no digit, so no image sequence a fuzzed file names is ever found
// there), streams over the fuzzer's bytes that are or are not measured, and
// the readers' messages muted.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzInput.h"
#include "mapping/GlobalMap.h"

// What a refused load must not change.
struct MapFingerprint {
  u32 keyFrames, tracks, planes, points, measurements;
  u16 width, height;
  u64 counter, version;
  bool operator==(const MapFingerprint& o) const {
    return keyFrames == o.keyFrames && tracks == o.tracks && planes == o.planes &&
           points == o.points && measurements == o.measurements && width == o.width &&
           height == o.height && counter == o.counter && version == o.version;
  }
  static MapFingerprint Of(const GlobalMap& map) {
    return {map.KeyFrameCount(), map.TrackCount(),          map.PlaneCount(),
            map.points.Size(),   map.measurements.Size(),   map.width,
            map.height,          map.ModificationCounter(), map.StructureVersion()};
  }
};

// A destination that is not in its initial state, so that a reader that
// resets it before refusing shows.
inline void MarkDestination(GlobalMap& map) {
  map.width = 7;
  map.height = 5;
  map.modificationCounter = 41;
  map.structureVersion = 3;
}

// `name` in a folder of the process's own; empty when none can be made.
inline std::string PrivateFile(const std::string& name) {
  static const std::string folder = [] {
    std::string path = "/tmp/zevrion-fuzz-XXXXXX";
    return mkdtemp(path.data()) ? path + "/" : std::string();
  }();
  return folder.empty() ? folder : folder + name;
}

inline bool WriteFile(const std::string& name, const void* bytes, size_t size) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

inline std::string ReadFile(const std::string& name) {
  std::string bytes;
  FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) return bytes;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), f)) > 0;) bytes.append(chunk, n);
  std::fclose(f);
  return bytes;
}

// The bytes as a seekable stream (measured by the readers).
inline FILE* MemoryStream(const void* bytes, size_t size) {
  return size == 0 ? std::tmpfile() : fmemopen(const_cast<void*>(bytes), size, "rb");
}

// The bytes as the read end of a pipe (never measured); null when they do
// not fit the pipe's buffer, which is raised to a megabyte.
inline FILE* PipeStream(const void* bytes, size_t size) {
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  const bool fits = fcntl(fds[1], F_SETPIPE_SZ, 1 << 20) >= static_cast<int>(size) &&
                    (size == 0 || write(fds[1], bytes, size) == static_cast<ssize_t>(size));
  close(fds[1]);
  FILE* f = fits ? fdopen(fds[0], "rb") : nullptr;
  if (!f) close(fds[0]);
  return f;
}

// Everything a stream still holds.
inline std::string Rest(FILE* f) {
  std::string bytes;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), f)) > 0;) bytes.append(chunk, n);
  return bytes;
}

// Sends stdout and stderr to a null stream for the scope (millions of
// "Cannot load" lines would fill the log); sanitizer reports and
// FUZZ_CHECK write to the descriptor and still show.
class MutedOutput {
 public:
  MutedOutput() : output_(stdout), errors_(stderr) {
    static FILE* const null = std::fopen("/dev/null", "w");
    if (null) stdout = stderr = null;
  }
  ~MutedOutput() {
    stdout = output_;
    stderr = errors_;
  }
  MutedOutput(const MutedOutput&) = delete;
  MutedOutput& operator=(const MutedOutput&) = delete;

 private:
  FILE* output_;
  FILE* errors_;
};
