// Key-frame hand-over: PushKeyFrame of a frame with 300 map matches and 100
// new features into a map of 40 key frames (SURF worker and local adjustor
// answering synchronously), and TrimKeyFrames of a map of 500 key frames to
// its newest 30. No widely used library does either (they are the tracker's
// own bookkeeping over its map), so the rows print time and the heap
// allocations per call once warm, and the check that every match still names
// its track after the operation.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "common/Draws.h"
#include "la/Random.h"
#include "tests/common/SceneRenderer.h"
#include "tests/common/tracker/FakeWorkers.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/KeyFrameHandOver.h"
// Last: it replaces the allocator that the headers above declare.
#include "bench/AllocationCounter.h"

namespace {

using bench::allocations;
using bench::counting;

constexpr u16 kSlots = 5;
// Per level: map matches of the pushed frame, and its new features.
constexpr u32 kMatches[kPyramidLevels] = {150, 80, 50, 20};
constexpr u32 kNew[kPyramidLevels] = {50, 25, 15, 10};

struct KeyFrameScene {
  KeyFrameScene() {
    unit.options.parallel = true;
    unit.links = WorkerLinks(workers.Channels());
    unit.ring.ResetTo(kSlots);
    Random::Seed(7);
    for (u16 s = 0; s < kSlots; ++s) {
      TrackerFrame& f = unit.ring[s];
      f.pose.slot[kVisual].m[0][0] = f.pose.slot[kVisual].m[1][1] = 1.0f;
      f.pose.slot[kVisual].m[2][2] = 1.0f;
      f.state.record[kVisual].quaternion[3] = 1.0;
      for (int l = 0; l < kPyramidLevels; ++l) {
        f.pyramid[l].resize(CVD::ImageRef(640 >> l, 480 >> l));
        for (int y = 0; y < f.pyramid[l].size().y; ++y)
          for (int x = 0; x < f.pyramid[l].size().x; ++x)
            f.pyramid[l][y][x] = static_cast<u8>(Random::Index(256));
      }
    }
  }
  // Fills the slot's lists: matches of the tracks the last push created and
  // matched (up to the level's count), then `fresh` new features per level.
  void Prepare(u16 slot, u16 last, const u32 (&fresh)[kPyramidLevels]) {
    TrackerFrame& f = unit.ring[slot];
    for (int l = 0; l < kPyramidLevels; ++l) {
      f.mapMatches[l].clear();
      f.kltPixels[l].Clear();
      f.kltNormalized[l].Clear();
      if (last != kNone16) {
        const std::vector<MapMatch>& from = unit.ring[last].mapMatches[l];
        for (u32 i = 0; i < from.size() && f.mapMatches[l].size() < kMatches[l]; ++i) {
          MapMatch m = from[from.size() - 1 - i];  // the newest tracks first
          m.corner = 0;
          f.mapMatches[l].push_back(m);
        }
      }
      const Intrinsic& K = unit.camera.intrinsic[l];
      const float w = static_cast<float>(640 >> l), h = static_cast<float>(480 >> l);
      for (u32 i = 0; i < fresh[l]; ++i) {
        const float x = Uniform(4.0f, w - 5.0f), y = Uniform(4.0f, h - 5.0f);
        f.kltPixels[l].PushBack8({x, y});
        f.kltNormalized[l].PushBack8({(x - K.cx[0]) * K.ifx[0], (y - K.cy[0]) * K.ify[0]});
      }
    }
  }
  // `count` key frames pushed from the ring's first four slots in turn.
  void Build(u32 count) {
    const u32 first[kPyramidLevels] = {200, 105, 65, 30};
    u16 last = kNone16;
    for (u32 i = 0; i < count; ++i) {
      const u16 s = static_cast<u16>(i % (kSlots - 1));
      unit.ring[s].number = static_cast<i32>(i);
      Prepare(s, last, i == 0 ? first : kNew);
      handOver.PushKeyFrame(s, nullptr, PushMode::kNormal, true, i == 0, {i > 0, false});
      last = s;
    }
    lastPushed = last;
  }
  // Matches whose patch does not name their track in the map.
  u32 Inconsistent() const {
    const MapWorkingCopy& w = unit.view.Working();
    u32 bad = 0;
    for (u16 s = 0; s < kSlots; ++s)
      for (int l = 0; l < kPyramidLevels; ++l)
        for (const MapMatch& m : unit.ring[s].mapMatches[l]) {
          if (m.patch >= unit.view.Patches().Size()) {
            ++bad;
            continue;
          }
          const FeaturePatch& p = unit.view.Patches()[m.patch];
          const u32 at = w.keyFrameMeasurementStart[p.keyFrame] + p.feature;
          bad += at >= w.measurementTracks.size() || w.measurementTracks[at] != m.track ? 1 : 0;
        }
    return bad;
  }

  UnitContext unit{640, 480, SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f)};
  FakeWorkers workers;
  KeyFrameHandOver handOver{unit.Context()};
  u16 lastPushed = kNone16;
};

void BM_PushKeyFrame(benchmark::State& state) {
  KeyFrameScene scene;
  scene.Build(40);
  const u16 slot = kSlots - 1;  // the current frame
  scene.Prepare(slot, scene.lastPushed, kNew);
  TrackerFrame& f = scene.unit.ring[slot];
  // The frame's lists as prepared: a pop empties its key-frame features.
  std::vector<MapMatch> matches[kPyramidLevels];
  AlignedArray<LA::Vector2<float>> pixels[kPyramidLevels], normalized[kPyramidLevels];
  for (int l = 0; l < kPyramidLevels; ++l) {
    matches[l] = f.mapMatches[l];
    pixels[l] = f.kltPixels[l];
    normalized[l] = f.kltNormalized[l];
  }
  auto restore = [&] {
    scene.handOver.PopKeyFrame();
    for (int l = 0; l < kPyramidLevels; ++l) {
      f.mapMatches[l] = matches[l];
      f.kltPixels[l].Assign(pixels[l]);
      f.kltNormalized[l].Assign(normalized[l]);
    }
  };
  auto push = [&] {
    scene.handOver.PushKeyFrame(slot, nullptr, PushMode::kNormal, true, false, {true, false});
  };
  push();  // warm: every buffer grown
  restore();
  long calls = 0;
  long pushAllocations = 0;
  u32 bad = 0;
  for (auto _ : state) {
    const long before = allocations.load();
    counting = true;
    push();
    counting = false;
    pushAllocations += allocations.load() - before;
    ++calls;
    state.PauseTiming();
    bad += scene.Inconsistent();
    restore();
    state.ResumeTiming();
  }
  state.counters["allocs/call"] = static_cast<double>(pushAllocations) / static_cast<double>(calls);
  state.counters["new_tracks"] = 100;
  state.counters["bad_matches"] = bad;
}
BENCHMARK(BM_PushKeyFrame)->Unit(benchmark::kMicrosecond);

void BM_TrimKeyFrames(benchmark::State& state) {
  long calls = 0, trimAllocations = 0;
  u32 bad = 0, kept = 0;
  std::unique_ptr<KeyFrameScene> scene;
  for (auto _ : state) {
    state.PauseTiming();
    scene.reset();  // the last map is freed outside the timing
    scene = std::make_unique<KeyFrameScene>();
    scene->Build(500);
    state.ResumeTiming();
    const long before = allocations.load();
    counting = true;
    scene->handOver.TrimKeyFrames();
    counting = false;
    trimAllocations += allocations.load() - before;
    ++calls;
    state.PauseTiming();
    bad += scene->Inconsistent();
    kept = scene->unit.view.KeyFrameCount();
    state.ResumeTiming();
  }
  scene.reset();
  state.counters["allocs/call"] = static_cast<double>(trimAllocations) / static_cast<double>(calls);
  state.counters["kept"] = kept;
  state.counters["bad_matches"] = bad;
}
BENCHMARK(BM_TrimKeyFrames)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
