#include "mapping/ProjectFile.h"

#include <cfloat>
#include <cmath>
#include <string_view>

#include "mapping/MapFile.h"
#include "mapping/ProjectMapBuilder.h"
#include "mapping/TextFile.h"

namespace {

// Four-component dot product of a pose row with a point.
float Dot4(const float* row, const MapPoint& p) {
  return row[0] * p.v[0] + row[1] * p.v[1] + row[2] * p.v[2] + row[3] * p.v[3];
}

void WriteTrack(FILE* f, const Intrinsic& k, const AlignedArray<CameraPose>& poses,
                const MapPoint& p, std::vector<float>& seen) {
  if (p.v[0] == FLT_MAX) {
    // An unset point is an unsolved track without observations.
    std::fprintf(f, "0 -1 1 %.17g %.17g %.17g\n\n", 0.0, 0.0, 0.0);
    return;
  }
  seen.clear();
  const float uMax = k.misc[2], vMax = k.misc[3];
  for (u32 i = 0; i < poses.Size(); ++i) {
    if (IsPoseInvalid(poses[i])) continue;
    const auto& r = poses[i].m;
    const float d = Dot4(r[2], p);
    if (d < 0.0f) continue;
    const float u = Dot4(r[0], p) / d, v = Dot4(r[1], p) / d;
    if (-uMax < u && u < uMax && -vMax < v && v < vMax) {
      seen.insert(seen.end(),
                  {static_cast<float>(i), k.fx[0] * u + k.cx[0], k.fy[0] * v + k.cy[0]});
    }
  }
  std::fprintf(f, "%d 0 1 %.9g %.9g %.9g\n", static_cast<int>(seen.size() / 3), p.v[0], p.v[1],
               p.v[2]);
  for (std::size_t i = 0; i < seen.size(); i += 3) {
    std::fprintf(f, "%d %.9g %.9g ", static_cast<int>(seen[i]), seen[i + 1], seen[i + 2]);
  }
  std::fputc('\n', f);
}

bool ReadSequence(TextCursor& text, const std::string& fileName, ProjectMapBuilder& builder) {
  if (!text.SkipToTag("<Image Sequence>")) return builder.Fail("no image sequence");
  std::string_view line;
  if (!text.Expect("Sequence:") || !text.ReadLine(line)) return builder.Fail("no sequence line");
  const std::size_t first = line.find_first_not_of(" \t");
  const std::size_t last = line.find_last_not_of(" \t");
  const std::string pattern(first == std::string_view::npos ? std::string_view()
                                                            : line.substr(first, last - first + 1));
  int start, step, end;
  if (!text.Expect("start:") || !text.NextInt(start) || !text.Expect("step:") ||
      !text.NextInt(step) || !text.Expect("end:") || !text.NextInt(end)) {
    return builder.Fail("no sequence start, step and end");
  }
  if (!builder.SetSequence(fileName, pattern, start, step, end)) return false;
  if (!text.SkipToTag("</Image Sequence>")) return builder.Fail("no end of the image sequence");
  if (!text.SkipToTag("<intrinsic parameter>")) return builder.Fail("no intrinsic parameters");
  Intrinsic k;
  if (!ReadIntrinsicLine(k, text) || !builder.SetIntrinsic(k.fx[0], k.fy[0], k.cx[0], k.cy[0])) {
    return builder.Fail("invalid intrinsic parameters");
  }
  if (!text.SkipToTag("</intrinsic parameter>")) return builder.Fail("no end of the intrinsics");
  return true;
}

bool ReadTracks(TextCursor& text, ProjectMapBuilder& builder) {
  if (!text.SkipToTag("<Feature Tracks>")) return builder.Fail("no feature tracks");
  std::string_view line;
  int K = 0, T;
  if (!text.ReadLine(line)) return builder.Fail("no track count");
  const std::size_t kpts = line.find("kpts:");
  if (kpts != std::string_view::npos && line.find_first_not_of(" \t") == kpts) {
    if (!ParseInt(line.substr(kpts + 5), K) || !text.NextInt(T)) {
      return builder.Fail("no track count");
    }
  } else if (!ParseInt(line, T)) {
    return builder.Fail("no track count");
  }
  // Every number takes at least two bytes of the file.
  if (K < 0 || T < 0 || static_cast<std::size_t>(T) > text.Left() / 2) {
    return builder.Fail("invalid track count");
  }
  builder.StartTracks(static_cast<u32>(T));
  for (int t = 0; t < T; ++t) {
    int n, a, b;
    float x, y, z;
    if (!text.NextInt(n) || !text.NextInt(a) || !text.NextInt(b) || !text.NextFloat(x) ||
        !text.NextFloat(y) || !text.NextFloat(z) || n < 0 ||
        static_cast<std::size_t>(n) > text.Left() / 2) {
      return builder.Fail("track " + std::to_string(t) + " is incomplete");
    }
    builder.BeginTrack(a, b, x, y, z);
    for (int i = 0; i < n; ++i) {
      int frame;
      float px, py;
      if (!text.NextInt(frame) || !text.NextFloat(px) || !text.NextFloat(py)) {
        return builder.Fail("track " + std::to_string(t) + " is incomplete");
      }
      if (!builder.AddObservation(frame, px, py)) return false;
    }
    for (int i = 0; i < K; ++i) {
      float dropped;
      if (!text.NextFloat(dropped))
        return builder.Fail("track " + std::to_string(t) + " is incomplete");
    }
    builder.EndTrack();
  }
  if (!text.SkipToTag("</Feature Tracks>")) return builder.Fail("no end of the feature tracks");
  return true;
}

bool ReadCameraTrack(TextCursor& text, ProjectMapBuilder& builder) {
  if (!text.SkipToTag("<Camera Track>")) return builder.Fail("no camera track");
  for (u32 i = 0; i < builder.FrameCount(); ++i) {
    const std::string frame = "FRAME" + std::to_string(i) + ">";
    if (!text.SkipToTag(("<" + frame).c_str())) return builder.Fail("no <" + frame);
    float focal, rows[12];
    bool ok = text.NextFloat(focal);
    for (int j = 0; j < 12 && ok; ++j) ok = text.NextFloat(rows[j]);
    if (!ok) return builder.Fail("the pose of frame " + std::to_string(i) + " is incomplete");
    builder.SetPose(i, focal, rows);
    if (!text.SkipToTag(("</" + frame).c_str())) return builder.Fail("no </" + frame);
  }
  if (!text.SkipToTag("</Camera Track>")) return builder.Fail("no end of the camera track");
  return true;
}

}  // namespace

void WritePoseRows(const CameraPose& pose, FILE* f) {
  ScopedCLocale c;
  for (int i = 0; i < 3; ++i) {
    std::fprintf(f, "%.9g %.9g %.9g %.9g\n", pose.m[i][0], pose.m[i][1], pose.m[i][2],
                 pose.m[i][3]);
  }
}

bool ReadIntrinsicLine(Intrinsic& intrinsic, TextCursor& text) {
  float k[4];
  if (!text.NextFloat(k[0]) || !text.NextFloat(k[1]) || !text.NextFloat(k[2]) ||
      !text.NextFloat(k[3])) {
    return false;
  }
  intrinsic.Set(k[0], k[1], k[2], k[3]);
  return true;
}

bool SaveProjectText(const std::string& fileName, const Intrinsic& intrinsic,
                     const AlignedArray<CameraPose>& framePoses,
                     const AlignedArray<MapPoint>& points) {
  FILE* f = std::fopen(fileName.c_str(), "w");
  if (!f) return false;
  ScopedCLocale c;
  const Intrinsic& k = intrinsic;
  const int F = static_cast<int>(framePoses.Size());
  std::fprintf(f, "#camera track project file\n<Image Sequence>\nSequence:.\\0000.jpg\n");
  std::fprintf(f, "start:%d\nstep:%d\nend:%d\n</Image Sequence>\n", 0, 1, F - 1);
  std::fprintf(
      f, "<Motion Type>\nFREE_MOVE\nFOCAL_KNOWN\nPRINCIPAL_KNOWN\nSKEW_KNOWN\n</Motion Type>\n");
  std::fprintf(f,
               "<intrinsic parameter>\n%.9g %.9g %.9g %.9g %.17g %.17g\n</intrinsic parameter>\n",
               k.fx[0], k.fy[0], k.cx[0], k.cy[0], 0.0, 1.0);
  std::fprintf(f, "<Feature Tracks>\n%d\n", static_cast<int>(points.Size()));
  std::vector<float> seen;
  for (const MapPoint& p : points) WriteTrack(f, k, framePoses, p, seen);
  std::fprintf(f, "</Feature Tracks>\n<Camera Track>\n");
  for (int i = 0; i < F; ++i) {
    std::fprintf(f, "<FRAME%d>\n", i);
    if (IsPoseInvalid(framePoses[i])) {
      std::fprintf(f, "-1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n");
    } else {
      std::fprintf(f, "%.9g\n", (k.fx[0] + k.fy[0]) * 0.5f);
      WritePoseRows(framePoses[i], f);
    }
    std::fprintf(f, "0 0 0 1\n</FRAME%d>\n", i);
  }
  std::fprintf(f, "</Camera Track>\n");
  const bool ok = std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !ok) return false;
  std::printf("Saved '%s'\n", fileName.c_str());
  return true;
}

bool LoadProjectText(GlobalMap& map, const std::string& fileName) {
  TextCursor text;
  if (!text.Open(fileName)) return false;
  ProjectMapBuilder builder;
  GlobalMap loaded;
  if (!ReadSequence(text, fileName, builder) || !ReadTracks(text, builder) ||
      !ReadCameraTrack(text, builder) || !builder.Build(loaded)) {
    std::printf("Cannot load '%s': %s\n", fileName.c_str(), builder.Error().c_str());
    return false;
  }
  ReplaceMapContent(map, loaded);
  std::printf("Loaded '%s'\n", fileName.c_str());
  return true;
}
