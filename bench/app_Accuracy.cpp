// The console engine's accuracy on rendered hand-held sequences nobody tuned
// it on: a desk close-up (0.3-0.6 m), a walk through a furnished room (1-3
// m), a poster filling the view at 0.37 m and fast pans in the room (up to
// 200 degrees a second, motion blur), each 10 s at 30 fps with optical blur
// and read noise, run three ways: with inertial readings and attitude
// priors, visual-only (simulate_imu=1) and from a two-view start
// (initial_frames=10, visual-only too). Each sequence is written once into a
// temporary folder; each run goes through `Application` as the console
// program's does, with the workers on their threads.
//
// Per row: the share of frames with a pose, the first of them, the
// trajectory error after a similarity alignment in mm and in % of the true
// path, the map's scale (its size over the world's: 1 is metric), the scale
// drift (the second half's map scale over the first half's) and the
// tracker's milliseconds per frame. Rendering time per sequence is printed
// too, to size end-to-end tests.
//
// There is no widely used alternative visual-inertial tracker available on
// this machine to run beside it, so the rows stand alone; the truth is exact.
//
//   ./build/bench/bench_app_Accuracy [--frames=N]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/AccuracyEvaluator.h"
#include "common/TempFolder.h"
#include "common/app/ConsoleRun.h"
#include "common/app/SequenceWriter.h"

namespace {

using Clock = std::chrono::steady_clock;

u32 frameCount = 300;

const SequenceKind kKinds[] = {SequenceKind::kDesk, SequenceKind::kRoomWalk, SequenceKind::kBoard,
                               SequenceKind::kFastPans};
const RunMode kModes[] = {RunMode::kWithReadings, RunMode::kVisualOnly, RunMode::kTwoViewStart};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

SequenceWriteOptions WriteOptionsOf(RunMode mode) {
  SequenceWriteOptions write;
  write.mode = mode;
  write.initialFrames = 10;
  return write;
}

std::string ConfigName(RunMode mode) {
  return std::string("config_") + RunModeName(mode) + ".txt";
}
std::string PosesName(RunMode mode) {
  return std::string("poses_") + RunModeName(mode) + ".txt";
}

// Each sequence written once, with a configuration per mode; "" when it
// could not be.
struct WrittenSequence {
  std::string dir;
  double renderSeconds = 0.0;
};
TempFolder& Folder() {
  static TempFolder folder;
  return folder;
}
const WrittenSequence& Written(SequenceKind kind) {
  static std::map<SequenceKind, WrittenSequence> written;
  auto found = written.find(kind);
  if (found != written.end()) return found->second;
  WrittenSequence& w = written[kind];
  const std::string dir = Folder().File(SequenceKindName(kind));
  const Clock::time_point start = Clock::now();
  std::string error;
  bool ok =
      WriteSequenceFolder(dir, HandHeldSequence(kind, frameCount), SequenceWriteOptions(), &error);
  w.renderSeconds = SecondsSince(start);
  for (RunMode mode : kModes)
    ok = ok &&
         WriteSequenceConfig(dir, WriteOptionsOf(mode), ConfigName(mode), PosesName(mode), &error);
  if (ok)
    w.dir = dir;
  else
    std::fprintf(stderr, "%s\n", error.c_str());
  return w;
}

struct Row {
  SequenceKind kind;
  RunMode mode;
  AccuracyReport report;
  double msPerFrame = 0.0, runSeconds = 0.0, renderSeconds = 0.0;
  int exitCode = 0;
  int secondKeyFrame = -1;
};
std::vector<Row> rows;

void BM_Accuracy(benchmark::State& state, SequenceKind kind, RunMode mode) {
  const WrittenSequence& written = Written(kind);
  if (written.dir.empty()) {
    state.SkipWithError("cannot write the sequence");
    return;
  }
  for (auto _ : state) {
    Row row{kind, mode, {}, 0.0, 0.0, written.renderSeconds, 0};
    const ConsoleRun run =
        RunConsole(written.dir + "/" + ConfigName(mode), written.dir + "/" + PosesName(mode),
                   written.dir + "/truth.txt");
    if (!run.ready) {
      state.SkipWithError("the console engine did not start");
      return;
    }
    row.exitCode = run.exitCode;
    row.msPerFrame = run.msPerFrame;
    row.runSeconds = run.runSeconds;
    row.secondKeyFrame = run.secondKeyFrame;
    row.report = run.report;
    state.SetIterationTime(row.msPerFrame * 1e-3);
    state.counters["tracked_pct"] = 100.0 * row.report.trackedFraction;
    state.counters["ate_mm"] = 1e3 * row.report.ateRms;
    state.counters["ate_pct"] = row.report.atePercent;
    state.counters["scale"] = row.report.mapScale;
    state.counters["drift"] = row.report.scaleDrift;
    rows.push_back(row);
  }
}

void PrintTable() {
  std::printf(
      "\nAccuracy on rendered hand-held sequences (%u frames at 30 fps; map scale = estimate "
      "size / true size, drift = second half's scale / first half's, jump = scale from the "
      "second key frame on / before it)\n",
      frameCount);
  std::printf("%-6s %-9s %7s %8s %6s %10s %8s %8s %8s %5s %8s %9s %8s %8s\n", "seq", "mode",
              "path m", "tracked", "first", "ATE mm", "ATE %", "scale", "drift", "kf2", "jump",
              "ms/frame", "run s", "render s");
  for (const Row& r : rows) {
    const AccuracyReport& a = r.report;
    char ate[32] = "-", percent[32] = "-", scale[32] = "-", drift[32] = "-";
    if (a.ateRms >= 0.0) {
      std::snprintf(ate, sizeof(ate), "%.1f", 1e3 * a.ateRms);
      std::snprintf(percent, sizeof(percent), "%.2f", a.atePercent);
    }
    if (a.mapScale > 0.0) std::snprintf(scale, sizeof(scale), "%.3f", a.mapScale);
    if (a.scaleDrift > 0.0) std::snprintf(drift, sizeof(drift), "%.3f", a.scaleDrift);
    char jump[32] = "-";
    if (a.scaleJump > 0.0) std::snprintf(jump, sizeof(jump), "%.3f", a.scaleJump);
    std::printf("%-6s %-9s %7.2f %7.1f%% %6d %10s %8s %8s %8s %5d %8s %9.2f %8.1f %8.1f%s\n",
                SequenceKindName(r.kind), RunModeName(r.mode), a.pathLength,
                100.0 * a.trackedFraction, a.firstTracked, ate, percent, scale, drift,
                r.secondKeyFrame, jump, r.msPerFrame, r.runSeconds, r.renderSeconds,
                r.exitCode != 0 ? "  (exit code not 0)" : "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Our own flag first; the rest is the benchmark library's.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--frames=", 9) == 0) {
      const long n = std::strtol(argv[i] + 9, nullptr, 10);
      if (n < 10 || n > 100000) {
        std::fprintf(stderr, "--frames needs 10 to 100000\n");
        return 2;
      }
      frameCount = static_cast<u32>(n);
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  for (SequenceKind kind : kKinds) {
    for (RunMode mode : kModes) {
      const std::string name =
          std::string("BM_Accuracy/") + SequenceKindName(kind) + "/" + RunModeName(mode);
      benchmark::RegisterBenchmark(name.c_str(), BM_Accuracy, kind, mode)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintTable();
  return 0;
}
