// The background workers on synthetic maps: a local and a global
// bundle-adjustment pass at 50 and 150 key frames (solver runs, the RMS
// image error of the inlier measurements and the worst key frame's gravity
// error after the pass), the same global pass with the 50-key-frame map's
// plane flagged as the ground (its figures beside the unflagged map's, and
// the ground plane's tilt and offset), the global
// adjustor's refusal rate while another writer stamps the map every 300 ms,
// and plane detection on 500, 2,000 and 10,000 points beside a sequential
// RANSAC extraction of planes with the 3-D plane estimator (planes found and
// the share of assigned points that lie on their plane).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <thread>

#include "bench/BenchUtil.h"
#include "common/mapping/PlaneClutterScene.h"
#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"
#include "mapping/BundleAdjustorLocal.h"

namespace {

// A map of n key frames with about 80 points and 800 measurements per key
// frame (one plane, the ground z = 0 flagged or not, and clutter, 0.7-pixel
// noise, 0.5 % gross measurements).
struct BenchMap {
  BenchMap(u32 keyFrames, bool ground) : scene(Options(keyFrames, ground)) {
    scene.MakeEmptyMap(map);
    scene.Build(map);
  }
  static SyntheticMapOptions Options(u32 keyFrames, bool ground) {
    SyntheticMapOptions o;
    o.seed = keyFrames;
    o.keyFrames = keyFrames;
    o.step = 0.6f;
    o.planes = 1;
    o.ground = ground;
    o.pointsPerPlane = 60 * keyFrames;
    o.clutterPoints = 20 * keyFrames;
    o.featureNoise = 0.7f;
    o.outlierFraction = 0.005f;
    return o;
  }
  // Moves every point up to 2 cm, so that each pass has work to do.
  void Disturb(u32 seed) {
    Random::Seed(seed);
    for (u32 t = 0; t < map.TrackCount(); ++t)
      for (int k = 0; k < 3; ++k)
        map.points[t].v[k] += 0.02f * (static_cast<f32>(Random::Next() % 2001) / 1000.0f - 1.0f);
  }
  // Per-axis RMS in pixels of the inlier tracks' measurements.
  double RmsPixels() const {
    const f32 f = scene.Camera().fx[0];
    double sum = 0.0;
    u64 n = 0;
    for (u32 t = 0; t < map.TrackCount(); ++t) {
      if (!(map.trackFlags[t] & kTrackInlier) || (map.trackFlags[t] & kTrackMergedAway)) continue;
      for (const u32 e : map.trackMeasurements[t]) {
        const u32 k = GlobalMap::MeasurementKeyFrame(e), i = GlobalMap::MeasurementFeature(e);
        const CameraPose& P = map.keyFramePoses[k];
        const MapMeasurement& z = map.measurements[map.keyFrameMeasurementStart[k] + i];
        const f32* X = map.points[t].v;
        f32 x[3];
        for (int r = 0; r < 3; ++r)
          x[r] = P.m[r][0] * X[0] + P.m[r][1] * X[1] + P.m[r][2] * X[2] + P.m[r][3];
        sum += std::pow((z.x - x[0] / x[2]) * f, 2) + std::pow((z.y - x[1] / x[2]) * f, 2);
        n += 2;
      }
    }
    return n ? std::sqrt(sum / n) : 0.0;
  }
  // Largest angle in degrees between a key frame's world z axis seen from
  // the camera (the body: identity mounting) and the truth's, which its
  // gravity reading gives.
  double GravityDegrees() const {
    double worst = 0.0;
    for (u32 k = 0; k < map.KeyFrameCount(); ++k) {
      const CameraPose& P = map.keyFramePoses[k];
      const CameraPose& T = scene.TruePose(scene.KeyFramePoses()[k]);
      worst = std::max(worst, bench::DirectionErrorDeg({P.m[0][2], P.m[1][2], P.m[2][2]},
                                                       {T.m[0][2], T.m[1][2], T.m[2][2]}));
    }
    return worst;
  }
  SyntheticMap scene;
  GlobalMap map;
};

BenchMap& Map(u32 keyFrames, bool ground = false) {
  static std::map<std::pair<u32, bool>, std::unique_ptr<BenchMap>> maps;
  auto& m = maps[{keyFrames, ground}];
  if (!m) m = std::make_unique<BenchMap>(keyFrames, ground);
  return *m;
}

void Describe(benchmark::State& state, BenchMap& m, const BundleAdjustorGlobal& ba) {
  state.counters["key_frames"] = m.map.KeyFrameCount();
  state.counters["points"] = m.map.TrackCount();
  state.counters["measurements"] = m.map.measurements.Size();
  state.counters["solves"] = ba.solves.load();
  state.counters["rms_px"] = m.RmsPixels();
  state.counters["gravity_deg"] = m.GravityDegrees();
}

// Global passes, each on the map disturbed afresh (seeds 1, 2, ...).
void RunGlobalPasses(benchmark::State& state, BenchMap& m) {
  PlaneDistanceThreshold = 0.05f;
  BundleAdjustorGlobal ba(&m.map, 0, "");
  const u8 request = kGlobalRequestPass;
  u32 seed = 1;
  for (auto _ : state) {
    state.PauseTiming();
    m.Disturb(seed++);
    state.ResumeTiming();
    ba.Run(&request);
  }
  Describe(state, m, ba);
}

void BM_GlobalPass(benchmark::State& state) {
  RunGlobalPasses(state, Map(static_cast<u32>(state.range(0))));
}
BENCHMARK(BM_GlobalPass)->Arg(50)->Arg(150)->Unit(benchmark::kMillisecond)->Iterations(3);

// BM_GlobalPass/50's scene and disturbances with the plane flagged as the
// ground: the ground alignment after every step holds the gauge that key
// frame 0 holds there. The plane's tilt in degrees and offset after the pass.
void BM_GroundPass(benchmark::State& state) {
  BenchMap& m = Map(50, true);
  RunGlobalPasses(state, m);
  for (u32 j = 0; j < m.map.PlaneCount(); ++j) {
    if (!(m.map.planeFlags[j] & kPlaneGround)) continue;
    const f32* P = m.map.planes[j].v;
    const Eigen::Vector3d n(P[0], P[1], P[2]);
    state.counters["ground_deg"] = std::min(bench::DirectionErrorDeg(n, Eigen::Vector3d::UnitZ()),
                                            bench::DirectionErrorDeg(-n, Eigen::Vector3d::UnitZ()));
    state.counters["ground_offset"] = std::fabs(P[3]) / n.norm();
  }
}
BENCHMARK(BM_GroundPass)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LocalPass(benchmark::State& state) {
  BenchMap& m = Map(static_cast<u32>(state.range(0)));
  PlaneDistanceThreshold = 0.05f;
  BundleAdjustorLocal ba(&m.map, nullptr, nullptr, 0, "");
  const u8 request = kRequestAsynchronous;
  u32 seed = 100;
  for (auto _ : state) {
    state.PauseTiming();
    m.Disturb(seed++);
    state.ResumeTiming();
    ba.Run(&request);
  }
  Describe(state, m, ba);
  state.counters["window_cameras"] = ba.state.cameras.Size();
}
BENCHMARK(BM_LocalPass)->Arg(50)->Arg(150)->Unit(benchmark::kMillisecond)->Iterations(5);

// Global passes back to back for 3 s while another writer stamps the map
// every 300 ms: the share of write-backs refused.
void BM_GlobalRefusals(benchmark::State& state) {
  BenchMap& m = Map(50);
  PlaneDistanceThreshold = 0.05f;
  BundleAdjustorGlobal ba(&m.map, 0, "");
  const u8 request = kGlobalRequestPass;
  u64 attempts = 0, passes = 0;
  for (auto _ : state) {
    std::atomic<bool> running{true};
    std::thread writer([&] {
      IBAState nothing;
      MapSnapshotToken token;
      while (running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        {
          boost::shared_lock<boost::shared_mutex> lock(m.map.mutex);
          token.counter = m.map.ModificationCounter();
        }
        m.map.SetTrackMatcherResult(nothing, {}, {}, {}, token, 1, "Tracker");
      }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < until) {
      ba.Run(&request);
      attempts += ba.writeBackAttempts;
      ++passes;
    }
    running = false;
    writer.join();
  }
  state.counters["passes"] = static_cast<double>(passes);
  state.counters["refusal_rate"] =
      attempts ? static_cast<double>(attempts - passes) / static_cast<double>(attempts) : 0.0;
}
BENCHMARK(BM_GlobalRefusals)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Plane detection against sequential RANSAC ----

const planescene::Scene& PlaneScene(u32 n) {
  static std::map<u32, std::unique_ptr<planescene::Scene>> scenes;
  auto& s = scenes[n];
  if (!s) {
    s = std::make_unique<planescene::Scene>();
    s->Build(200 + n, n, 3);
  }
  return *s;
}

// Planes found (normal within 2 degrees of a true plane) and the share of
// labelled points that lie on the true plane their label matches.
void ReportPlanes(benchmark::State& state, const planescene::Scene& s,
                  const AlignedArray<Plane>& planes, const std::vector<u16>& labels) {
  std::vector<int> truth(planes.Size(), -1);
  u32 found = 0;
  for (u32 j = 0; j < planes.Size(); ++j) {
    for (u32 t = 0; t < s.planes.size(); ++t)
      if (planescene::AngleDegrees(planes[j], s.planes[t]) < 2.0f) truth[j] = static_cast<int>(t);
    found += truth[j] >= 0;
  }
  u32 labelled = 0, right = 0;
  for (u32 k = 0; k < labels.size(); ++k) {
    if (labels[k] >= planes.Size()) continue;
    ++labelled;
    right += truth[labels[k]] >= 0 && s.truth[k] == truth[labels[k]];
  }
  state.counters["planes"] = planes.Size();
  state.counters["true_planes"] = found;
  state.counters["precision"] = labelled ? static_cast<double>(right) / labelled : 0.0;
  state.counters["labelled"] = labelled;
}

void BM_Detect(benchmark::State& state) {
  const planescene::Scene& s = PlaneScene(static_cast<u32>(state.range(0)));
  PlaneDetector detector(16.0f * s.intrinsic.misc[1]);
  detector.maxIterations = 500;
  detector.minIterations = 20;
  detector.areaFactor = 0.01f;
  detector.medianFactor = 8.0f;
  detector.minPoints = 15;
  detector.maxNewPlanes = 3;
  detector.width = planescene::Scene::kWidth;
  detector.height = planescene::Scene::kHeight;
  detector.intrinsic = s.intrinsic;
  AlignedArray<Plane> planes;
  std::vector<u16> labels;
  // The distance threshold is measured once per process: by the first call.
  PlaneDistanceThreshold = FLT_MAX;
  for (auto _ : state) {
    planes.Resize(0);
    labels.assign(s.data.points.Size(), kNone16);
    Random::Seed(1);
    detector.Detect(s.data, planes, labels);
  }
  ReportPlanes(state, s, planes, labels);
  state.counters["theta"] = PlaneDistanceThreshold.load();
}
BENCHMARK(BM_Detect)->Arg(500)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Up to three planes, each the RANSAC plane of the points left, with the
// distance bound the detector measured (0.03) and at least 15 points.
void BM_SequentialRansac(benchmark::State& state) {
  const planescene::Scene& s = PlaneScene(static_cast<u32>(state.range(0)));
  PlaneEstimator3D estimator(0.03f);
  estimator.maxIterations = 500;
  estimator.minIterations = 20;
  PlaneEstimatorData3D all, left;
  all.points = s.data.points;
  AlignedArray<Plane> planes;
  std::vector<u16> labels;
  std::vector<u32> pool, inliers;
  for (auto _ : state) {
    Random::Seed(1);
    planes.Resize(0);
    labels.assign(all.points.Size(), kNone16);
    pool.resize(all.points.Size());
    for (u32 i = 0; i < pool.size(); ++i) pool[i] = i;
    for (int p = 0; p < 3; ++p) {
      PlaneEstimatorData3D::GetSubset(all, pool, left);
      Plane plane{};
      estimator.RunRansac(left, plane, inliers);
      if (inliers.size() < 15) break;
      for (const u32 i : inliers) labels[pool[i]] = static_cast<u16>(planes.Size());
      planes.PushBack16(plane);
      u32 kept = 0;
      for (u32 i = 0, j = 0; i < pool.size(); ++i) {
        if (j < inliers.size() && inliers[j] == i) {
          ++j;
          continue;
        }
        pool[kept++] = pool[i];
      }
      pool.resize(kept);
    }
  }
  ReportPlanes(state, s, planes, labels);
}
BENCHMARK(BM_SequentialRansac)->Arg(500)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
