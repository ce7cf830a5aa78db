// State-file save and load for a 100-key-frame map (640 x 480 key-frame
// images) with a full ring of 30 frames, beside plain std::ofstream and
// std::ifstream moving the same bytes in one block (plain:1; plain:2 reads
// into a warm buffer). SaveState's
// time includes its numbered copy; LoadState's the staging, every check and
// the commit. Each row prints the file size and whether a loaded state saves
// back byte for byte.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "common/tracker/StateFileScene.h"

namespace {

// Files go to memory-backed storage where there is one, so the rows compare
// the code, not the disk.
std::string BenchFile(const char* name) {
  const std::filesystem::path shm = "/dev/shm";
  const auto dir =
      std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
  return (dir / name).string();
}

// SaveState and LoadState print a line per call; the rows stay readable.
class Silence {
 public:
  Silence() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~Silence() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

struct Case {
  Case() {
    SyntheticMapOptions o;
    o.keyFrames = 100;
    o.step = 0.02f;
    o.pointsPerPlane = 400;
    o.clutterPoints = 200;
    o.markerTracks = 4;
    o.images = true;
    o.width = 640;
    o.height = 480;
    scene = std::make_unique<state_file_scene::Scene>(o, kRingCapacity);
    file = BenchFile("zevrion-bench.state");
    copy = NumberedCopyName(file, scene->tracker.Status().frameCounter);
    loaded.map = std::make_unique<GlobalMap>();
    scene->synthetic.MakeEmptyMap(*loaded.map);
    loaded.tracker = std::make_unique<Tracker>(*loaded.map);
    Silence quiet;
    saved = scene->tracker.SaveState(file);
    bytes = state_file_scene::ReadFile(file);
    const std::string again = BenchFile("zevrion-bench-again.state");
    identical = loaded.tracker->LoadState(file) && loaded.tracker->SaveState(again) &&
                state_file_scene::ReadFile(again) == bytes;
    std::remove(again.c_str());
    std::remove(NumberedCopyName(again, loaded.tracker->Status().frameCounter).c_str());
  }
  ~Case() {
    std::remove(file.c_str());
    std::remove(copy.c_str());
  }

  std::unique_ptr<state_file_scene::Scene> scene;
  struct {
    std::unique_ptr<GlobalMap> map;
    std::unique_ptr<Tracker> tracker;
  } loaded;
  std::string file, copy, bytes;
  bool saved = false, identical = false;
};

Case& TheCase() {
  static Case c;
  return c;
}

void Report(benchmark::State& state, const Case& c) {
  state.counters["MB"] = c.bytes.size() / 1e6;
  state.counters["identical"] = c.identical ? 1 : 0;
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(c.bytes.size()));
}

// SaveState, or one std::ofstream write of the same bytes.
void SaveRow(benchmark::State& state) {
  Case& c = TheCase();
  if (!c.saved) state.SkipWithError("SaveState failed");
  const bool plain = state.range(0) != 0;
  const std::string file = BenchFile("zevrion-bench-out.state");
  for (auto _ : state) {
    if (plain) {
      std::ofstream out(file, std::ios::binary);
      out.write(c.bytes.data(), static_cast<std::streamsize>(c.bytes.size()));
    } else {
      Silence quiet;
      if (!c.scene->tracker.SaveState(file)) state.SkipWithError("SaveState failed");
    }
  }
  std::remove(file.c_str());
  std::remove(NumberedCopyName(file, c.scene->tracker.Status().frameCounter).c_str());
  Report(state, c);
}

// LoadState into a tracker over its own map, or one std::ifstream read of
// the file into a fresh buffer (plain:1) or a warm one (plain:2).
void LoadRow(benchmark::State& state) {
  Case& c = TheCase();
  const int plain = static_cast<int>(state.range(0));
  std::vector<char> warm(plain == 2 ? c.bytes.size() : 0);
  for (auto _ : state) {
    if (plain != 0) {
      std::ifstream in(c.file, std::ios::binary);
      std::vector<char> fresh(plain == 1 ? c.bytes.size() : 0);
      char* buffer = plain == 1 ? fresh.data() : warm.data();
      in.read(buffer, static_cast<std::streamsize>(c.bytes.size()));
      benchmark::DoNotOptimize(buffer);
    } else {
      Silence quiet;
      if (!c.loaded.tracker->LoadState(c.file)) state.SkipWithError("LoadState refused its file");
    }
  }
  Report(state, c);
}

BENCHMARK(SaveRow)->ArgNames({"plain"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadRow)->ArgNames({"plain"})->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
