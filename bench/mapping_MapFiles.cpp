// Map and project file throughput beside plain stdio on the same byte count:
// SaveMap against one fwrite of as many bytes (fwrite:1), ReadMap (with every
// bound and invariant check) against one fread into a warm (fread:1) or a
// fresh (fread:2) buffer, for 100 key frames without
// images and 500 key frames with 640 x 480 pyramids; and the text project reader in tracks per
// second (300 frames, 20,000 tracks, no images).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cfloat>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/mapping/SyntheticMap.h"
#include "la/Random.h"
#include "mapping/MapFile.h"
#include "mapping/ProjectFile.h"

namespace {

// Files go to memory-backed storage where there is one, so the rows compare
// the code, not the disk.
std::string BenchFile(const char* name) {
  const std::filesystem::path shm = "/dev/shm";
  const auto dir =
      std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
  return (dir / name).string();
}

struct MapCase {
  std::unique_ptr<GlobalMap> map = std::make_unique<GlobalMap>();
  std::string file;
  long bytes = 0;
};

// The two maps, built once: 100 key frames without images, 500 with images.
MapCase& Case(bool large) {
  static MapCase cases[2];
  MapCase& c = cases[large];
  if (c.bytes == 0) {
    SyntheticMapOptions o;
    o.keyFrames = large ? 500 : 100;
    o.step = 0.02f;
    o.pointsPerPlane = 400;
    o.clutterPoints = 200;
    o.images = large;
    o.width = 640;
    o.height = 480;
    SyntheticMap(o).Build(*c.map);
    c.file = BenchFile(large ? "zevrion-bench-large.map" : "zevrion-bench-small.map");
    FILE* f = std::fopen(c.file.c_str(), "wb");
    SaveMap(*c.map, f);
    c.bytes = std::ftell(f);
    std::fclose(f);
  }
  return c;
}

// SaveMap, or one fwrite of as many bytes.
void WriteRow(benchmark::State& state) {
  MapCase& c = Case(state.range(0) != 0);
  const bool plain = state.range(1) != 0;
  const std::vector<char> bytes(static_cast<std::size_t>(c.bytes), 1);
  const std::string file = c.file + ".out";
  for (auto _ : state) {
    FILE* f = std::fopen(file.c_str(), "wb");
    if (plain) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
    } else {
      SaveMap(*c.map, f);
    }
    std::fclose(f);
  }
  std::remove(file.c_str());
  state.SetBytesProcessed(state.iterations() * c.bytes);
}

// ReadMap, or one fread of the file into a buffer of the process (warm) or
// into a fresh allocation per read, as any loader must make.
void ReadRow(benchmark::State& state) {
  MapCase& c = Case(state.range(0) != 0);
  const int plain = static_cast<int>(state.range(1));  // 0 ReadMap, 1 warm, 2 fresh
  std::vector<char> warm(plain == 1 ? static_cast<std::size_t>(c.bytes) : 0);
  GlobalMap map;
  for (auto _ : state) {
    FILE* f = std::fopen(c.file.c_str(), "rb");
    if (plain == 0 && !ReadMap(map, f)) state.SkipWithError("ReadMap refused its own file");
    if (plain != 0) {
      std::unique_ptr<char[]> fresh(plain == 2 ? new char[c.bytes] : nullptr);
      benchmark::DoNotOptimize(std::fread(plain == 2 ? fresh.get() : warm.data(), 1, c.bytes, f));
    }
    std::fclose(f);
  }
  state.SetBytesProcessed(state.iterations() * c.bytes);
}

// 300 cameras along x at 0.1 spacing and 20,000 points at depth 5 in a
// narrow field of view: each point is seen by about 16 frames.
const std::string& ProjectFileName() {
  static std::string name;
  if (name.empty()) {
    Random::Seed(7);
    Intrinsic k;
    k.Set(2000.0f, 2000.0f, 320.0f, 240.0f);
    AlignedArray<CameraPose> poses;
    for (int i = 0; i < 300; ++i) {
      poses.PushBack48(CameraPose{});
      poses.Back().m[0][0] = poses.Back().m[1][1] = poses.Back().m[2][2] = 1.0f;
      poses.Back().m[0][3] = -0.1f * i;
    }
    AlignedArray<MapPoint> points;
    for (int t = 0; t < 20000; ++t) {
      const float u = float(Random::Next()) / Random::kMax,
                  v = float(Random::Next()) / Random::kMax;
      points.PushBack16(MapPoint{{30.0f * u, v - 0.5f, 5.0f, 1.0f}});
    }
    name = BenchFile("zevrion-bench.act");
    SaveProjectText(name, k, poses, points);
  }
  return name;
}

void LoadProjectTextRow(benchmark::State& state) {
  const std::string& name = ProjectFileName();
  GlobalMap map;
  // The reader reports each missing image; the rows stay readable.
  std::fflush(stdout);
  const int saved = dup(1), silent = open("/dev/null", O_WRONLY);
  for (auto _ : state) {
    dup2(silent, 1);
    const bool ok = LoadProjectText(map, name);
    std::fflush(stdout);
    dup2(saved, 1);
    if (!ok) state.SkipWithError("LoadProjectText refused its own file");
  }
  close(silent);
  close(saved);
  state.counters["measurements"] = map.measurements.Size();
  state.SetItemsProcessed(state.iterations() * 20000);
}

BENCHMARK(WriteRow)
    ->ArgNames({"large", "fwrite"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadRow)
    ->ArgNames({"large", "fread"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(LoadProjectTextRow)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The files live in memory-backed storage: give it back.
  for (const char* name :
       {"zevrion-bench-small.map", "zevrion-bench-large.map", "zevrion-bench.act"})
    std::remove(BenchFile(name).c_str());
  return 0;
}
