// Time per frame of the inertial step's prediction (InertialStep::
// PredictFromImu, no ISO step) over 200 Hz samples of the inertial layer's
// analytic trajectory with a frame every 7 samples (35 ms), beside a plain
// Eigen quaternion integration of the same samples from the same state.
// Each frame starts from the true state of the frame before it; the rows
// print the error of the predicted position and orientation against the
// truth and the allocations per frame once warm.
#include <benchmark/benchmark.h>

#include <Eigen/Geometry>
#include <cmath>
#include <vector>

#include "bench/AllocationCounter.h"
#include "common/InertialScene.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/FrameMeasures.h"
#include "tracker/InertialStep.h"

namespace {

InertialSceneOptions Options() {
  InertialSceneOptions o;
  o.duration = 20.0;
  o.keyFrameMin = o.keyFrameMax = 1.0 / 30.0;  // 7 samples at 200 Hz
  o.pointsPerKeyFrame = 1;
  return o;
}

const InertialScene& Scene() {
  static const InertialScene scene(Options());
  return scene;
}

// Per frame, the samples after the frame before it up to its own time.
const std::vector<std::vector<IMUSample>>& FrameSamples() {
  static const std::vector<std::vector<IMUSample>> lists = [] {
    const InertialScene& s = Scene();
    std::vector<std::vector<IMUSample>> l(s.keyFrames.size());
    for (u32 k = 1; k < s.keyFrames.size(); ++k)
      l[k].assign(s.samples.begin() + s.keyFrames[k - 1].sample + 1,
                  s.samples.begin() + s.keyFrames[k].sample + 1);
    return l;
  }();
  return lists;
}

f64 AngleDeg(const f64* a, const f64* b) {
  const f64 d = std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3]);
  return 2.0 * std::acos(std::fmin(d, 1.0)) * 180.0 / M_PI;
}

f64 Distance(const f64* a, const f64* b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

struct Errors {
  f64 position = 0.0, angle = 0.0;
  u64 frames = 0;
  void Add(const IMUState& predicted, const IMUState& truth) {
    position += Distance(predicted.position, truth.position);
    angle += AngleDeg(predicted.quaternion, truth.quaternion);
    ++frames;
  }
  void Report(benchmark::State& state) const {
    state.counters["pos_mm"] = 1e3 * position / static_cast<f64>(frames);
    state.counters["angle_deg"] = angle / static_cast<f64>(frames);
  }
};

void ReportAllocations(benchmark::State& state, long before) {
  state.counters["allocs/frame"] =
      static_cast<f64>(bench::allocations.load() - before) / static_cast<f64>(state.iterations());
}

void BM_PredictFromImu(benchmark::State& state) {
  const InertialScene& scene = Scene();
  const auto& lists = FrameSamples();
  Intrinsic k;
  k.Set(500.0f, 500.0f, 319.5f, 239.5f);
  UnitContext parts(640, 480, k);
  parts.camera.bodyToCamera = scene.offset;
  FrameMeasures measures(parts.Context());
  InertialStep step(parts.Context(), measures);
  parts.ring.ResetTo(kRingCapacity);
  const f64 none[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
  step.StoreImuMeasurement(0, lists[0], none, scene.keyFrames[0].time);
  const u32 n = static_cast<u32>(scene.keyFrames.size());
  u32 frame = 1;
  auto next = [&](Errors* errors) {
    const u16 c = frame % kRingCapacity, p = (frame - 1) % kRingCapacity;
    parts.ring[p].state.record[kVisual] = scene.keyFrames[frame - 1].state;
    step.PredictFromImu(p, c, lists[frame], none, scene.keyFrames[frame].time);
    if (errors) errors->Add(parts.ring[c].state.record[kPredicted], scene.keyFrames[frame].state);
    frame = frame + 1 < n ? frame + 1 : 1;
  };
  for (u32 i = 0; i < 2 * kRingCapacity; ++i) next(nullptr);  // warm: every slot used
  Errors errors;
  const long before = bench::allocations.load();
  bench::counting = true;
  for (auto _ : state) next(&errors);
  bench::counting = false;
  ReportAllocations(state, before);
  errors.Report(state);
}

// The plain alternative: the world-frame state integrated sample by sample,
// p += v h + a h^2 / 2, v += a h, q = q exp(w h / 2), with a = R(q) a_body.
struct EigenPredictor {
  Eigen::Vector3d p, v;
  Eigen::Quaterniond q;
  void Predict(const IMUState& from, const IMUSample& last, const std::vector<IMUSample>& samples,
               f64 end, IMUState& out) {
    p = Eigen::Vector3d(from.position);
    v = Eigen::Vector3d(from.velocity);
    q = Eigen::Quaterniond(from.quaternion[3], from.quaternion[0], from.quaternion[1],
                           from.quaternion[2]);
    const IMUSample* start = &last;
    for (size_t i = 0; i <= samples.size(); ++i) {
      const f64 t = i < samples.size() ? samples[i].time : end;
      const f64 h = t - start->time;
      if (h > 0.0) {
        const Eigen::Vector3d a = q * Eigen::Vector3d(start->acceleration);
        const Eigen::Vector3d w(start->rotationRate);
        p += v * h + 0.5 * h * h * a;
        v += a * h;
        const f64 angle = w.norm() * h;
        if (angle > 0.0) q = q * Eigen::Quaterniond(Eigen::AngleAxisd(angle, w.normalized()));
        q.normalize();
      }
      if (i < samples.size()) start = &samples[i];
    }
    for (int i = 0; i < 3; ++i) out.position[i] = p[i], out.velocity[i] = v[i];
    out.quaternion[0] = q.x(), out.quaternion[1] = q.y(), out.quaternion[2] = q.z();
    out.quaternion[3] = q.w();
    out.time = end;
  }
};

void BM_EigenQuaternion(benchmark::State& state) {
  const InertialScene& scene = Scene();
  const auto& lists = FrameSamples();
  const u32 n = static_cast<u32>(scene.keyFrames.size());
  EigenPredictor predictor;
  IMUState out{};
  u32 frame = 1;
  Errors errors;
  const long before = bench::allocations.load();
  bench::counting = true;
  for (auto _ : state) {
    const IMUSample& last = scene.samples[scene.keyFrames[frame - 1].sample];
    predictor.Predict(scene.keyFrames[frame - 1].state, last, lists[frame],
                      scene.keyFrames[frame].time, out);
    benchmark::DoNotOptimize(out);
    errors.Add(out, scene.keyFrames[frame].state);
    frame = frame + 1 < n ? frame + 1 : 1;
  }
  bench::counting = false;
  ReportAllocations(state, before);
  errors.Report(state);
}

BENCHMARK(BM_PredictFromImu)->Name("PredictFromImu")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EigenQuaternion)->Name("EigenQuaternion")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
