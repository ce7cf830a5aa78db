// The binary project reader. Every count is checked against the bytes left
// before anything is allocated for it; from a pipe, where the bytes left are
// unknown, storage grows as the records arrive.
#include <string>

#include "mapping/BinaryFile.h"
#include "mapping/MapFile.h"
#include "mapping/ProjectFile.h"
#include "mapping/ProjectMapBuilder.h"

namespace {

constexpr char kHeader[] = "#camera track binary project file 1.0\n";

bool ReadProject(BinaryReader& in, const std::string& fileName, ProjectMapBuilder& builder) {
  std::string pattern;
  if (!in.GetLine(pattern, 1 << 16)) return builder.Fail("no sequence line");
  while (!pattern.empty() && (pattern.back() == '\n' || pattern.back() == '\r')) pattern.pop_back();
  i32 start, step, end;
  u32 unused[2];
  f64 k[6];
  u8 flag;
  i32 K;
  u32 T;
  if (!in.Get(start) || !in.Get(step) || !in.Get(end) || !in.Get(unused) || !in.Get(k) ||
      !in.Get(flag) || !in.Get(K) || !in.Get(T)) {
    return builder.Fail("the header is incomplete");
  }
  if (!builder.SetSequence(fileName, pattern, start, step, end) ||
      !builder.SetIntrinsic(static_cast<float>(k[0]), static_cast<float>(k[1]),
                            static_cast<float>(k[2]), static_cast<float>(k[3]))) {
    return false;
  }
  // A track record is at least n, a, b and the point.
  constexpr u64 kTrackHead = 3 * sizeof(i32) + 3 * sizeof(f64);
  constexpr u64 kObservation = sizeof(i32) + 2 * sizeof(f32);
  if (K < 0 || !in.Admits(T, kTrackHead, sizeof(MapPoint) + 1)) {
    return builder.Fail("invalid track count");
  }
  // Tracks read from a pipe are made room for as they arrive.
  builder.StartTracks(static_cast<u32>(in.Step(T, sizeof(MapPoint) + 1)));
  for (u32 t = 0; t < T; ++t) {
    i32 n, a, b;
    f64 p[3];
    if (!in.Get(n) || !in.Get(a) || !in.Get(b) || !in.Get(p) || n < 0 ||
        !in.Fits(static_cast<u64>(n) * kObservation + static_cast<u64>(K) * sizeof(f32), 1)) {
      return builder.Fail("track " + std::to_string(t) + " is incomplete");
    }
    builder.BeginTrack(a, b, static_cast<float>(p[0]), static_cast<float>(p[1]),
                       static_cast<float>(p[2]));
    for (i32 i = 0; i < n; ++i) {
      i32 frame;
      f32 xy[2];
      if (!in.Get(frame) || !in.Get(xy)) return builder.Fail("track is incomplete");
      if (!builder.AddObservation(frame, xy[0], xy[1])) return false;
    }
    if (!in.Skip(static_cast<u64>(K) * sizeof(f32))) return builder.Fail("track is incomplete");
    builder.EndTrack();
  }
  char tag[5];
  u32 frames;
  if (!in.GetBytes(tag, sizeof(tag)) || !in.Get(frames)) return builder.Fail("no camera track");
  if (frames != builder.FrameCount()) {
    return builder.Fail("the camera track holds " + std::to_string(frames) + " frames, not " +
                        std::to_string(builder.FrameCount()));
  }
  for (u32 i = 0; i < frames; ++i) {
    f64 record[17];
    if (!in.Get(record)) return builder.Fail("the camera track is incomplete");
    float rows[12];
    for (int j = 0; j < 12; ++j) rows[j] = static_cast<float>(record[1 + j]);
    builder.SetPose(i, record[0], rows);
  }
  u32 C;
  std::vector<TrackColor> colors;
  if (!in.Get(C) || !in.Admits(C, sizeof(TrackColor), sizeof(TrackColor)) ||
      !in.GetRecords(colors, C)) {
    return builder.Fail("no track colours");
  }
  if (C != 0 && C != T) {
    std::printf("'%s': %u track colours for %u tracks\n", fileName.c_str(), C, T);
  }
  builder.SetColors(std::move(colors));
  return true;
}

}  // namespace

bool LoadProjectBinary(GlobalMap& map, const std::string& fileName) {
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) return false;
  ProjectMapBuilder builder;
  bool ok;
  {
    BinaryReader in(f);
    std::string header;
    ok = in.GetLine(header, 512) && header == kHeader;
    if (!ok) builder.Fail("not a binary project file");
    ok = ok && ReadProject(in, fileName, builder);
  }
  std::fclose(f);
  GlobalMap loaded;
  if (!ok || !builder.Build(loaded)) {
    std::printf("Cannot load '%s': %s\n", fileName.c_str(), builder.Error().c_str());
    return false;
  }
  ReplaceMapContent(map, loaded);
  std::printf("Loaded '%s'\n", fileName.c_str());
  return true;
}
