// The shared map's costs at 100 and 500 key frames (20k and 100k points):
// the tracker's pull beside a plain memcpy of the same bytes, and how long
// the exclusive and shared locks are held by the writers and the snapshot
// builders (median and maximum over repetitions, in microseconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/mapping/SyntheticMap.h"
#include "la/Random.h"

namespace {

struct Scene {
  std::unique_ptr<SyntheticMap> scene;
  GlobalMap map;
};

// Maps of 100 and 500 key frames, built once (about 2000 measurements each).
Scene& MapOf(int keyFrames) {
  static Scene scenes[2];
  Scene& s = scenes[keyFrames == 500 ? 1 : 0];
  if (!s.scene) {
    SyntheticMapOptions o;
    o.keyFrames = keyFrames + 1;  // one spare pose for the push rows
    o.step = keyFrames == 500 ? 0.55f : 0.5f;
    o.planes = 3;
    o.pointsPerPlane = keyFrames == 500 ? 30000 : 6000;
    o.clutterPoints = keyFrames == 500 ? 10000 : 2000;
    s.scene = std::make_unique<SyntheticMap>(o);
    s.scene->MakeEmptyMap(s.map);
    s.scene->Initialize(s.map, 0);
    for (int k = 1; k < keyFrames; ++k) s.scene->Push(s.map, k);
    s.scene->AnchorAll(s.map);
  }
  return s;
}

// Bytes the pull copies.
size_t SynchronizedBytes(const GlobalMap& m) {
  return m.keyFrameStates.Size() * sizeof(IMUState) + m.keyFramePoses.Size() * sizeof(CameraPose) +
         m.points.Size() * 16 + m.planes.Size() * 16 + m.keyFrameMeasurementStart.size() * 4 +
         m.measurementTracks.size() * 4 + m.trackPlanes.size() * 2 + m.keyFrameFlags.size() +
         m.trackFlags.size() + m.planeFlags.size() + m.TrackCount() * 4;
}

void SetSizes(benchmark::State& state, const GlobalMap& m) {
  state.counters["points"] = m.TrackCount();
  state.counters["measurements"] = m.measurements.Size();
  state.counters["MB"] = SynchronizedBytes(m) / 1e6;
}

void BM_SynchronizeUnchanged(benchmark::State& state) {
  Scene& s = MapOf(static_cast<int>(state.range(0)));
  MapWorkingCopy out;
  s.map.Synchronize(out);
  for (auto _ : state) benchmark::DoNotOptimize(s.map.Synchronize(out));
  SetSizes(state, s.map);
}

void BM_SynchronizeChanged(benchmark::State& state) {
  Scene& s = MapOf(static_cast<int>(state.range(0)));
  MapWorkingCopy out;
  for (auto _ : state) {
    s.map.changed = 1;
    benchmark::DoNotOptimize(s.map.Synchronize(out));
  }
  SetSizes(state, s.map);
}

void BM_Memcpy(benchmark::State& state) {
  Scene& s = MapOf(static_cast<int>(state.range(0)));
  const size_t bytes = SynchronizedBytes(s.map);
  std::vector<char> a(bytes, 1), b(bytes, 0);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
  }
  SetSizes(state, s.map);
}

// Times `op` `reps` times (with `prepare` untimed before each) and reports
// median and maximum.
template <class Prepare, class Op>
void HoldTimes(benchmark::State& state, int reps, Prepare prepare, Op op) {
  std::vector<double> us;
  for (auto _ : state) {
    us.clear();
    for (int r = 0; r < reps; ++r) {
      prepare();
      const auto t0 = std::chrono::steady_clock::now();
      op();
      const auto t1 = std::chrono::steady_clock::now();
      us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["max_us"] = us.back();
}

void CopyContent(GlobalMap& dst, const GlobalMap& src) {
  dst.width = src.width;
  dst.height = src.height;
  dst.intrinsic = src.intrinsic;
  std::memcpy(dst.extrinsic, src.extrinsic, sizeof(dst.extrinsic));
  dst.keyFrames.resize(src.keyFrames.size());
  for (size_t k = 0; k < src.keyFrames.size(); ++k)
    KeyFrame::Copy(dst.keyFrames[k], src.keyFrames[k]);
  dst.keyFrameStates = src.keyFrameStates;
  dst.keyFramePoses = src.keyFramePoses;
  dst.points = src.points;
  dst.planes = src.planes;
  dst.measurements = src.measurements;
  dst.trackMeasurements = src.trackMeasurements;
  dst.keyFrameMeasurementStart = src.keyFrameMeasurementStart;
  dst.keyFrameTrackRange = src.keyFrameTrackRange;
  dst.measurementTracks = src.measurementTracks;
  dst.trackPlanes = src.trackPlanes;
  dst.keyFrameFlags = src.keyFrameFlags;
  dst.trackFlags = src.trackFlags;
  dst.planeFlags = src.planeFlags;
  dst.trackColors = src.trackColors;
  dst.NoteLoaded();
}

void BM_PushKeyFrame(benchmark::State& state) {
  Scene& s = MapOf(static_cast<int>(state.range(0)));
  KeyFrameInput prepared, input;
  s.scene->MakeInput(s.scene->PoseCount() - 1, prepared);
  MapWorkingCopy working;
  bool pushed = false;
  HoldTimes(
      state, 20,
      [&] {
        if (pushed) s.map.PopKeyFrame(1, "Tracker");
        s.map.Synchronize(working);
        input = prepared;
      },
      [&] {
        s.map.PushKeyFrame(0, working, input, 1, "Tracker");
        pushed = true;
      });
  s.map.PopKeyFrame(1, "Tracker");
  SetSizes(state, s.map);
}

void BM_SetBAResult(benchmark::State& state) {
  Scene& s = MapOf(static_cast<int>(state.range(0)));
  IBAProblem problem;
  IBAState result;
  MapProblemIndex index;
  MapSnapshotToken token;
  BAResultEdits edits;
  s.map.GetGBAProblem(problem, result, index, token);
  HoldTimes(
      state, 20, [&] { token.counter = s.map.ModificationCounter(); },
      [&] {
        s.map.SetBAResult(problem, result, index.keyFrames, index.tracks, index.planes, edits,
                          token, 1, "GBA");
      });
  SetSizes(state, s.map);
}

void BM_MergeTracks(benchmark::State& state) {
  Scene& base = MapOf(static_cast<int>(state.range(0)));
  GlobalMap map;
  CopyContent(map, base.map);
  Random::Seed(3);
  std::vector<TrackPair> pairs(100);
  HoldTimes(
      state, 50,
      [&] {
        for (TrackPair& p : pairs)
          p = {Random::Index(map.TrackCount()), Random::Index(map.TrackCount())};
      },
      [&] {
        map.MergeTracks(static_cast<u16>(map.KeyFrameCount() - 1), pairs, map.StructureVersion());
      });
  SetSizes(state, map);
}

void BM_RemoveKeyFramesBefore(benchmark::State& state) {
  Scene& base = MapOf(500);
  GlobalMap map;
  std::vector<u32> trackMap;
  HoldTimes(
      state, 5, [&] { CopyContent(map, base.map); },
      [&] { map.RemoveKeyFramesBefore(470, trackMap, "Tracker"); });
  SetSizes(state, base.map);
}

// range(1): 1 the local window, 0 the whole map.
void BM_GetProblem(benchmark::State& state) {
  Scene& s = MapOf(static_cast<int>(state.range(0)));
  IBAProblem problem;
  IBAState result;
  MapProblemIndex index;
  MapSnapshotToken token;
  HoldTimes(
      state, 10, [] {},
      [&] {
        if (state.range(1)) {
          s.map.GetLBAProblem(problem, result, index, token);
        } else {
          s.map.GetGBAProblem(problem, result, index, token);
        }
      });
  state.counters["cameras"] = index.keyFrames.size();
  SetSizes(state, s.map);
}

}  // namespace

// Rows that time repetitions themselves run once.
void Once(benchmark::internal::Benchmark* b) {
  b->Iterations(1)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SynchronizeUnchanged)->Name("Synchronize/unchanged")->Arg(100)->Arg(500);
BENCHMARK(BM_SynchronizeChanged)
    ->Name("Synchronize/changed")
    ->Arg(100)
    ->Arg(500)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Name("memcpy/same-bytes")->Arg(100)->Arg(500)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PushKeyFrame)->Name("hold/PushKeyFrame")->Arg(100)->Apply(Once);
BENCHMARK(BM_SetBAResult)->Name("hold/SetBAResult-whole-map")->Arg(100)->Arg(500)->Apply(Once);
BENCHMARK(BM_MergeTracks)->Name("hold/MergeTracks-100-pairs")->Arg(100)->Arg(500)->Apply(Once);
BENCHMARK(BM_RemoveKeyFramesBefore)->Name("hold/RemoveKeyFramesBefore-470-of-500")->Apply(Once);
BENCHMARK(BM_GetProblem)->Name("shared/GetGBAProblem")->Args({100, 0})->Args({500, 0})->Apply(Once);
BENCHMARK(BM_GetProblem)->Name("shared/GetLBAProblem")->Args({100, 1})->Args({500, 1})->Apply(Once);
BENCHMARK_MAIN();
