// The console engine on a 200-frame demo sequence written into a temporary
// folder (frame records with inertial readings and priors, the marker
// observation, view=0, `parallel` 1, the workers on their threads): frames
// per second over the whole run (workers started and stopped, outputs
// written), the 50th and 95th percentile of the wall time of one frame (read,
// tracked, pose written) and the trajectory error after a similarity
// alignment. Beside it, in the same run, the input alone: the same frame
// records read by the disk reader and nothing else. The per-frame status the
// engine prints goes to /dev/null while it runs, as a terminal is not the
// engine.
//
// Targets: at least 100 frames per second, 95th percentile under 33 ms.
// On one core (the workers sharing it with the tracker):
//   taskset -c 0 ./build/bench/bench_app_Console
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/DiskInput.h"
#include "common/TempFolder.h"
#include "common/TrajectoryAlignment.h"
#include "common/app/ConsoleRun.h"
#include "common/app/DemoSequence.h"
#include "mapping/SequenceFileName.h"

namespace {

constexpr u32 kFrames = 200;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The demo, written once for both rows.
const std::string& DemoFolder() {
  static TempFolder folder;
  static std::string dir;
  if (dir.empty()) {
    dir = folder.File("demo");
    if (!WriteDemoSequence(dir, kFrames)) dir = "";
  }
  return dir;
}

// The camera centres of a pose file ("index" then three rows [R | t]).
std::vector<Centre> ReadCentres(const std::string& path) {
  std::vector<Centre> centres;
  std::ifstream in(path);
  int index;
  float m[12];
  while (in >> index) {
    for (float& v : m) in >> v;
    if (!in) break;
    centres.push_back({-(m[0] * m[3] + m[4] * m[7] + m[8] * m[11]),
                       -(m[1] * m[3] + m[5] * m[7] + m[9] * m[11]),
                       -(m[2] * m[3] + m[6] * m[7] + m[10] * m[11])});
  }
  return centres;
}

double PathLength(const std::vector<Centre>& c) {
  double length = 0.0;
  for (size_t i = 1; i < c.size(); ++i)
    length += std::sqrt((c[i][0] - c[i - 1][0]) * (c[i][0] - c[i - 1][0]) +
                        (c[i][1] - c[i - 1][1]) * (c[i][1] - c[i - 1][1]) +
                        (c[i][2] - c[i - 1][2]) * (c[i][2] - c[i - 1][2]));
  return length;
}

// p in [0, 1] of the values, in milliseconds.
double PercentileMs(std::vector<double> seconds, double p) {
  if (seconds.empty()) return 0.0;
  std::sort(seconds.begin(), seconds.end());
  const size_t at = static_cast<size_t>(std::ceil(p * seconds.size()));
  return 1e3 * seconds[std::min(at > 0 ? at - 1 : 0, seconds.size() - 1)];
}

struct Row {
  double fps = 0.0, p50 = 0.0, p95 = 0.0, rms = -1.0, path = 0.0;
  size_t frames = 0;
  bool ran = false;
};
Row engineRow, inputRow;

void BM_ConsoleEngine(benchmark::State& state) {
  const std::string& dir = DemoFolder();
  if (dir.empty()) {
    state.SkipWithError("cannot write the demo sequence");
    return;
  }
  for (auto _ : state) {
    double seconds = 0.0;
    std::vector<double> frames;
    {
      Application application(dir + "/config.txt");
      if (!application.Ready()) {
        state.SkipWithError("the console engine did not start");
        return;
      }
      RedirectedOutput silenced("/dev/null");
      const Clock::time_point start = Clock::now();
      application.Run();
      seconds = SecondsSince(start);
      frames = application.FrameSeconds();
    }
    const std::vector<Centre> estimate = ReadCentres(dir + "/poses.txt"),
                              truth = ReadCentres(dir + "/truth.txt");
    engineRow.frames = frames.size();
    engineRow.fps = seconds > 0.0 ? frames.size() / seconds : 0.0;
    engineRow.p50 = PercentileMs(frames, 0.5);
    engineRow.p95 = PercentileMs(frames, 0.95);
    engineRow.rms = estimate.size() == truth.size() ? AlignedTrajectoryRms(estimate, truth) : -1.0;
    engineRow.path = PathLength(truth);
    engineRow.ran = true;
    state.SetIterationTime(seconds / std::max<size_t>(frames.size(), 1));
    state.counters["fps"] = engineRow.fps;
    state.counters["p50_ms"] = engineRow.p50;
    state.counters["p95_ms"] = engineRow.p95;
    state.counters["rms_mm"] = 1e3 * engineRow.rms;
  }
}
BENCHMARK(BM_ConsoleEngine)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_DiskInputOnly(benchmark::State& state) {
  const std::string& dir = DemoFolder();
  if (dir.empty()) {
    state.SkipWithError("cannot write the demo sequence");
    return;
  }
  for (auto _ : state) {
    FrameRecordReader reader;
    DiskFrame frame;
    std::vector<IMUSample> imu;
    f64 prior[8];
    std::string name;
    std::vector<double> frames;
    frames.reserve(kFrames);
    const std::string pattern = dir + "/frames/0000.dat";
    const Clock::time_point start = Clock::now();
    for (u32 k = 0; k < kFrames; ++k) {
      const Clock::time_point frameStart = Clock::now();
      MakeSequenceFileName(name, pattern, k);
      if (!reader.LoadFrameRecord(name, frame, imu, prior)) {
        state.SkipWithError("a frame record did not read");
        return;
      }
      benchmark::DoNotOptimize(frame.grey.data());
      frames.push_back(SecondsSince(frameStart));
    }
    const double seconds = SecondsSince(start);
    inputRow.frames = frames.size();
    inputRow.fps = seconds > 0.0 ? frames.size() / seconds : 0.0;
    inputRow.p50 = PercentileMs(frames, 0.5);
    inputRow.p95 = PercentileMs(frames, 0.95);
    inputRow.ran = true;
    state.SetIterationTime(seconds / kFrames);
    state.counters["fps"] = inputRow.fps;
    state.counters["p50_ms"] = inputRow.p50;
    state.counters["p95_ms"] = inputRow.p95;
  }
}
BENCHMARK(BM_DiskInputOnly)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void PrintTable() {
  std::printf("\n%-22s %8s %10s %10s %12s %7s\n", "", "fps", "p50 ms", "p95 ms", "rms m", "frames");
  if (engineRow.ran)
    std::printf("%-22s %8.1f %10.3f %10.3f %12.4f %7zu  (%.2f %% of a %.2f m path)\n",
                "console engine", engineRow.fps, engineRow.p50, engineRow.p95, engineRow.rms,
                engineRow.frames, 100.0 * engineRow.rms / engineRow.path, engineRow.path);
  if (inputRow.ran)
    std::printf("%-22s %8.1f %10.3f %10.3f %12s %7zu\n", "disk input only", inputRow.fps,
                inputRow.p50, inputRow.p95, "-", inputRow.frames);
  if (engineRow.ran)
    std::printf("targets: >= 100 fps: %s; p95 < 33 ms: %s\n",
                engineRow.fps >= 100.0 ? "met" : "NOT met",
                engineRow.p95 < 33.0 ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintTable();
  return 0;
}
