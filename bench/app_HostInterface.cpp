// What the exported interface costs around the tracker: ZevrionRunTracking
// (frame copy, conversion of 200 host readings, the result and its status)
// beside Tracker::Run alone, built and started as the host engine builds its
// tracker, on the same 60 frames of the synthetic room at 640 x 480 with
// synchronous workers. Each iteration is one frame; the engines start again
// (untimed) at the first frame of each pass. Rows report ms_per_frame; the
// host row also max_centre_diff, the largest distance between the camera
// centres the two paths give for the same frame, and overhead_pct (wall) and
// overhead_cpu_pct (host thread) against the tracker row. BM_WrapperWork times the wrapper's own
// work alone (copy, conversion, result) and reports it as wrapper_pct of the tracker's frame.
// Target: the wrapper under 5 % of the frame time.
#include <benchmark/benchmark.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "app/EngineWorkers.h"
#include "app/ImuSequence.h"
#include "app/zevrion.h"
#include "common/SequenceGenerator.h"
#include "tracker/Tracker.h"

namespace {

constexpr u32 kFrames = 60;

// The room's frames twice over: as the tracker takes them and as a host
// hands them in (readings in g, one record per sensor, 200 per frame).
struct Frames {
  SequenceOptions options;
  std::vector<CVD::Image<u8>> images;
  std::vector<std::vector<IMUSample>> samples;
  std::vector<std::vector<HostImuSample>> readings;
  std::vector<std::array<f64, 8>> priors, hostPriors;
  float marker[10];
  double hfov = 0.0;
  Intrinsic camera;  // from the field of view, as the host engine makes it
  // Camera centres of the tracker row, per frame (FLT_MAX when lost).
  std::vector<std::array<float, 3>> trackerCentres;
  double trackerMsPerFrame = 0.0;

  Frames() {
    options.frames = kFrames;
    options.gravity = 0.0;
    // 100 samples a frame: 200 host readings.
    options.imuRate = 3000.0;
    SequenceGenerator sequence(options);
    hfov = 2.0 * std::atan(options.width * 0.5 / options.fx) / 0.01745329238474369;
    const float focal = static_cast<float>(640 / (2.0 * std::tan(hfov * 0.01745329238474369 / 2)));
    camera.Set(focal, focal, 319.5f, 239.5f);
    images.resize(kFrames);
    samples.resize(kFrames);
    readings.resize(kFrames);
    priors.resize(kFrames);
    hostPriors.resize(kFrames);
    trackerCentres.assign(kFrames, {FLT_MAX, FLT_MAX, FLT_MAX});
    for (u32 k = 0; k < kFrames; ++k) {
      sequence.RenderFrame(k, images[k]);
      sequence.FrameSamples(k, samples[k]);
      for (const IMUSample& s : samples[k]) {
        readings[k].push_back({0, s.acceleration[0] / -9.81, s.acceleration[1] / -9.81,
                               s.acceleration[2] / -9.81, s.time});
        readings[k].push_back({1, s.rotationRate[0], s.rotationRate[1], s.rotationRate[2], s.time});
      }
      sequence.PosePrior(k, priors[k].data());
      hostPriors[k] = priors[k];
      for (int i = 4; i < 7; ++i) hostPriors[k][i] = -priors[k][i];
    }
    sequence.MarkerObservation(0, marker);
  }
};

Frames& GetFrames() {
  static Frames frames;
  return frames;
}

void Centre(const CameraPose& pose, float c[3]) {
  for (int i = 0; i < 3; ++i) {
    c[i] =
        -(pose.m[0][i] * pose.m[0][3] + pose.m[1][i] * pose.m[1][3] + pose.m[2][i] * pose.m[2][3]);
  }
}

// The host engine's tracker, without the host interface.
struct TrackerAlone {
  GlobalMap map;
  EngineWorkers workers;
  Tracker tracker;

  static TrackerOptions Options() {
    TrackerOptions o;
    o.imageRotation = true;
    o.isoWindow = true;
    return o;
  }
  explicit TrackerAlone(const Frames& f)
      : map(640, 480, f.camera, kBodyToCamera),
        workers(&map, false, WorkerLogs{}),
        tracker(&map, workers.Channels(), Options()) {
    tracker.SetMarkerTemplateFile("");
    workers.Start();
    tracker.Reset(true);
    tracker.SetEndFrame(kUnsetCounter);
    tracker.SetStartFrame(tracker.Status().frameCounter + 1);
  }
  ~TrackerAlone() {
    tracker.Quit();
    workers.Stop();
  }
  static constexpr f64 kBodyToCamera[7] = {-0.7071067811865476, 0.7071067811865476, 0, 0, 0, 0, 0};
};

void BM_TrackerRun(benchmark::State& state) {
  Frames& f = GetFrames();
  std::unique_ptr<TrackerAlone> alone;
  CameraPose pose;
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  float parallax = 0.0f, progress = 0.0f;
  char text[4096];
  u32 k = 0;
  for (auto _ : state) {
    if (k % kFrames == 0) {
      state.PauseTiming();
      alone.reset();
      alone = std::make_unique<TrackerAlone>(f);
      state.ResumeTiming();
    }
    const u32 i = k % kFrames;
    TrackerInput input;
    input.grey = f.images[i];
    input.time = i / f.options.frameRate;
    input.marker = i == 0 ? f.marker : nullptr;
    alone->tracker.Run(input, f.samples[i], f.priors[i].data(), pose, planes, objects, &parallax,
                       &progress, text, sizeof(text));
    if (pose.m[0][0] != FLT_MAX) Centre(pose, f.trackerCentres[i].data());
    ++k;
  }
  alone.reset();
}

void BM_ZevrionRunTracking(benchmark::State& state) {
  Frames& f = GetFrames();
  TrackingResult out;
  float worst = 0.0f;
  u32 k = 0;
  for (auto _ : state) {
    if (k % kFrames == 0) {
      state.PauseTiming();
      ZevrionDestroy();
      ZevrionCreate(640, 480, f.hfov, 0.0, 0.0, 1.1f, f.marker[9], f.marker[8], false, false,
                    nullptr, nullptr);
      ZevrionStartTracking(nullptr, 0);
      state.ResumeTiming();
    }
    const u32 i = k % kFrames;
    const HostFrame frame{f.images[i].data(), i / f.options.frameRate, i == 0 ? f.marker : nullptr};
    ZevrionRunTracking(&out, &frame, f.readings[i].data(), static_cast<int>(f.readings[i].size()),
                       f.hostPriors[i].data());
    const std::array<float, 3>& c = f.trackerCentres[i];
    if (out.status >= 1 && out.status <= 2 && c[0] != FLT_MAX) {
      worst = std::max(
          worst, std::hypot(out.centre[0] - c[0], out.centre[1] - c[1], out.centre[2] - c[2]));
    }
    ++k;
  }
  ZevrionDestroy();
  state.counters["max_centre_diff"] = worst;
}

// The wrapper's own work for one frame, as the host engine does it.
void BM_WrapperWork(benchmark::State& state) {
  Frames& f = GetFrames();
  CVD::Image<u8> frame(CVD::ImageRef(640, 480));
  std::vector<ImuReading> readings;
  std::vector<IMUSample> samples;
  ImuSequenceBuilder builder;
  CameraPose pose;
  // Looking down from 1.1 above the origin.
  const float rows[3][4] = {{0, -1, 0, 0}, {-1, 0, 0, 0}, {0, 0, -1, 1.1f}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) pose.m[r][c] = rows[r][c];
  }
  TrackingResult out{};
  u32 k = 0;
  for (auto _ : state) {
    // Frame 0 carries one sample; the others 100, 200 readings.
    const u32 i = 1 + k++ % (kFrames - 1);
    const u8* pixels = f.images[i].data();
    for (int y = 0; y < 480; ++y) std::memcpy(frame[y], pixels + y * 640, 640);
    readings.clear();
    for (const HostImuSample& s : f.readings[i]) {
      ImuReading r{s.time, {s.x, s.y, s.z}, s.type};
      if (r.type == 0) {
        for (f64& v : r.value) v *= -9.81;
      }
      readings.push_back(r);
    }
    f64 origin = 0.0;
    builder.Build(readings, origin, false, samples);
    LA::AlignedMatrix3f R;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) R.m[r][c] = pose.m[r][c];
    }
    RotationToQuaternion(R, out.quaternion);
    Centre(pose, out.centre);
    benchmark::DoNotOptimize(frame.data());
    benchmark::DoNotOptimize(samples.data());
    benchmark::DoNotOptimize(out);
  }
  state.counters["readings"] = static_cast<double>(f.readings[1].size());
}

// Per-frame times of the three rows, and the shares against the tracker: by
// wall time and by the host thread's processor time (steadier on a loaded
// machine: the workers' threads are not in it).
class Report : public benchmark::ConsoleReporter {
 public:
  Report() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> rows = runs;
    for (Run& run : rows) {
      const double scale = 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const double ms = run.GetAdjustedRealTime() * scale, cpuMs = run.GetAdjustedCPUTime() * scale;
      const std::string name = run.benchmark_name();
      if (name.find("TrackerRun") != std::string::npos) {
        trackerMs_ = ms;
        trackerCpuMs_ = cpuMs;
      }
      run.counters["ms_per_frame"] = ms;
      if (trackerMs_ > 0.0 && name.find("ZevrionRunTracking") != std::string::npos) {
        run.counters["overhead_pct"] = 100.0 * (ms - trackerMs_) / trackerMs_;
        run.counters["overhead_cpu_pct"] = 100.0 * (cpuMs - trackerCpuMs_) / trackerCpuMs_;
      }
      if (trackerMs_ > 0.0 && name.find("WrapperWork") != std::string::npos) {
        run.counters["wrapper_pct"] = 100.0 * ms / trackerMs_;
      }
    }
    ConsoleReporter::ReportRuns(rows);
  }

 private:
  double trackerMs_ = 0.0, trackerCpuMs_ = 0.0;
};

BENCHMARK(BM_TrackerRun)->Iterations(4 * kFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZevrionRunTracking)->Iterations(4 * kFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WrapperWork)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Report report;
  benchmark::RunSpecifiedBenchmarks(&report);
  benchmark::Shutdown();
  return 0;
}
