// The whole engine on the synthetic 640 x 480 sequence (300 frames, gravity
// 0, view off, `parallel` 1, the four workers on their threads), every frame
// rendered once before anything is timed. Reported per stage (FE, CT, IM,
// MU, OH, ISO) and for the whole frame: mean and 95th percentile of the
// tracker thread's CPU time, key frames apart from the other frames; heap
// allocations per frame once warm; the trajectory error after a similarity
// alignment.
//
// Beside it, on the same frames in the same run, an OpenCV frame-to-frame
// tracker: goodFeaturesToTrack, pyramidal Lucas-Kanade from frame to frame,
// solvePnPRansac on the tracked points, new corners when fewer than 150
// remain. It is given an oracle the engine never has: the 3-D position of
// each corner is the true surface point under it at the frame where it was
// first detected (ray cast into the known room from the true pose), so it
// needs no triangulation, no map and no scale, and its poses are already in
// the true frame. That lookup is left out of its time; OpenCV runs on one
// thread so its thread CPU time is all of its work.
//
// Targets: frame mean < 5 ms and 95th percentile < 10 ms, 0 allocations per
// frame, faster than the baseline at a lower trajectory error.
//
// Both should be measured on one core, the workers sharing it with the
// tracker as on a small device:
//   taskset -c 0 ./build/bench/bench_app_Pipeline
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <string>
#include <vector>

#include "app/EngineWorkers.h"
#include "bench/AllocationCounter.h"
#include "common/SequenceGenerator.h"
#include "common/TrajectoryAlignment.h"
#include "tracker/Tracker.h"

namespace {

using bench::allocations;
using bench::counting;

constexpr int kWarmFrames = 30;  // map started, ring full, first key frames in

// The run's input, rendered and gathered once.
struct Input {
  SequenceOptions options;
  std::vector<CVD::Image<u8>> images;
  std::vector<std::vector<IMUSample>> samples;
  std::vector<std::array<f64, 8>> priors;
  std::vector<Centre> truth;
  std::vector<CameraPose> truePoses;
  Intrinsic camera;
  float marker[10];
  double path = 0.0;
};

const Input& GetInput() {
  static Input in;
  if (!in.images.empty()) return in;
  in.options.frames = 300;
  in.options.gravity = 0.0;  // the engine's inertial input is the motion's acceleration alone
  SequenceGenerator sequence(in.options);
  const u32 n = sequence.FrameCount();
  in.images.resize(n);
  in.samples.resize(n);
  in.priors.resize(n);
  in.truth.resize(n);
  in.truePoses.resize(n);
  for (u32 k = 0; k < n; ++k) {
    sequence.RenderFrame(k, in.images[k]);
    sequence.FrameSamples(k, in.samples[k]);
    sequence.PosePrior(k, in.priors[k].data());
    sequence.TrueCentre(k, in.truth[k].data());
    in.truePoses[k] = sequence.TruePose(k);
  }
  sequence.MarkerObservation(0, in.marker);
  in.camera = sequence.Camera();
  in.path = sequence.PathLength();
  return in;
}

// Mean and 95th percentile in milliseconds.
struct Spread {
  double mean = 0.0, p95 = 0.0;
  int count = 0;
};
Spread SpreadOf(std::vector<double> seconds) {
  Spread s;
  s.count = static_cast<int>(seconds.size());
  if (seconds.empty()) return s;
  double sum = 0.0;
  for (double v : seconds) sum += v;
  s.mean = 1e3 * sum / seconds.size();
  std::sort(seconds.begin(), seconds.end());
  const size_t at = static_cast<size_t>(std::ceil(0.95 * seconds.size())) - 1;
  s.p95 = 1e3 * seconds[std::min(at, seconds.size() - 1)];
  return s;
}

bool Finite(const CameraPose& pose) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      if (!std::isfinite(pose.m[r][c])) return false;
  return pose.m[0][0] != FLT_MAX;
}

// What the table prints, filled by the two runs.
constexpr int kRows = kTimerCount + 1;  // the stages, the frame, the whole Run call
const char* const kRowNames[kRows] = {"frame", "FE", "CT", "IM", "MU", "OH", "ISO", "Run()"};
struct Results {
  Spread plain[kRows], key[kRows], frame;
  double allocPlain = -1.0, allocKey = -1.0;
  long maxAllocPlain = 0;
  int lost = 0, keyFrames = 0;
  double rms = -1.0;
  Spread cvFrame;
  double cvRms = -1.0;
  int cvLost = 0;
  double cvPoints = 0.0;
  double path = 0.0;
  bool engineRan = false, cvRan = false;
} results;

void BM_ZevrionPipeline(benchmark::State& state) {
  const Input& in = GetInput();
  for (auto _ : state) {
    const SequenceOptions& o = in.options;
    const f64 bodyToCamera[7] = {o.offset.quaternion[0], o.offset.quaternion[1],
                                 o.offset.quaternion[2], o.offset.quaternion[3],
                                 o.offset.position[0],   o.offset.position[1],
                                 o.offset.position[2]};
    GlobalMap map(static_cast<u16>(o.width), static_cast<u16>(o.height), in.camera, bodyToCamera);
    EngineWorkers workers(&map, true, WorkerLogs{});
    TrackerOptions trackerOptions;
    trackerOptions.parallel = true;
    trackerOptions.startFrame = 0;
    trackerOptions.isoWindow = true;
    Tracker tracker(&map, workers.Channels(), trackerOptions);
    workers.Start();

    std::vector<double> plain[kRows], key[kRows];
    std::vector<Centre> estimate, truth;
    long plainAllocs = 0, keyAllocs = 0, maxPlain = 0;
    int plainCounted = 0, keyCounted = 0;
    CameraPose pose;
    AlignedArray<LA::AlignedVector4f> planes;
    AlignedArray<LA::AlignedMatrix4f> objects;
    float parallax = 0.0f, progress = 0.0f;
    char text[2048];
    results = Results{};
    for (size_t k = 0; k < in.images.size(); ++k) {
      TrackerInput input;
      input.grey = in.images[k];
      input.time = k / o.frameRate;
      input.marker = k == 0 ? in.marker : nullptr;
      const u32 keyFramesBefore = tracker.KeyFrameCount();
      const long allocsBefore = allocations.load();
      counting = static_cast<int>(k) >= kWarmFrames;
      const double start = StageTimers::ThreadCpuNow();
      tracker.Run(input, in.samples[k], in.priors[k].data(), pose, planes, objects, &parallax,
                  &progress, text, sizeof(text));
      const double run = StageTimers::ThreadCpuNow() - start;
      counting = false;
      const long allocs = allocations.load() - allocsBefore;
      const bool isKey =
          tracker.Status().newKeyFrame != kNone16 || tracker.KeyFrameCount() != keyFramesBefore;
      results.keyFrames += isKey ? 1 : 0;
      if (k > 0) {  // frame 0 starts the map from the marker
        std::vector<double>* rows = isKey ? key : plain;
        for (int t = 0; t < kTimerCount; ++t) rows[t].push_back(tracker.Timers().lastFrameCpu[t]);
        rows[kTimerCount].push_back(run);
      }
      if (static_cast<int>(k) >= kWarmFrames) {
        (isKey ? keyAllocs : plainAllocs) += allocs;
        (isKey ? keyCounted : plainCounted) += 1;
        if (!isKey) maxPlain = std::max(maxPlain, allocs);
      }
      if (!Finite(pose)) {
        ++results.lost;
        continue;
      }
      float centre[3];
      CameraCentre(pose, centre);
      estimate.push_back({centre[0], centre[1], centre[2]});
      truth.push_back(in.truth[k]);
    }
    workers.Stop();
    for (int r = 0; r < kRows; ++r) {
      results.plain[r] = SpreadOf(plain[r]);
      results.key[r] = SpreadOf(key[r]);
    }
    results.allocPlain = plainCounted > 0 ? double(plainAllocs) / plainCounted : 0.0;
    results.allocKey = keyCounted > 0 ? double(keyAllocs) / keyCounted : 0.0;
    results.maxAllocPlain = maxPlain;
    results.rms = AlignedTrajectoryRms(estimate, truth);
    results.path = in.path;
    results.engineRan = true;
    // Per frame, over every frame after the first.
    std::vector<double> all(plain[kTimerFrame]);
    all.insert(all.end(), key[kTimerFrame].begin(), key[kTimerFrame].end());
    const Spread frame = SpreadOf(all);
    results.frame = frame;
    state.SetIterationTime(frame.mean * 1e-3);
    state.counters["p95_ms"] = frame.p95;
    state.counters["rms_mm"] = 1e3 * results.rms;
    state.counters["allocs/frame"] = results.allocPlain;
    state.counters["lost"] = results.lost;
  }
}
BENCHMARK(BM_ZevrionPipeline)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The true surface point under pixel (x, y) of a camera at the true pose:
// the nearest plane of the room the ray meets inside its bounds.
bool SurfacePoint(const SequenceScene& scene, const Intrinsic& K, const CameraPose& P, float x,
                  float y, cv::Point3f& out) {
  float centre[3];
  CameraCentre(P, centre);
  const float rc[3] = {(x - K.cx[0]) / K.fx[0], (y - K.cy[0]) / K.fy[0], 1.0f};
  float dir[3];
  for (int k = 0; k < 3; ++k) dir[k] = P.m[0][k] * rc[0] + P.m[1][k] * rc[1] + P.m[2][k] * rc[2];
  float best = FLT_MAX;
  for (const SceneRender::TexturedPlane& plane : scene.Planes()) {
    const float *u = plane.u, *v = plane.v;
    const float n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                        u[0] * v[1] - u[1] * v[0]};
    const float denom = n[0] * dir[0] + n[1] * dir[1] + n[2] * dir[2];
    if (std::fabs(denom) < 1e-12f) continue;
    const float depth =
        (n[0] * (plane.origin[0] - centre[0]) + n[1] * (plane.origin[1] - centre[1]) +
         n[2] * (plane.origin[2] - centre[2])) /
        denom;
    if (depth <= 0.0f || depth >= best) continue;
    float rel[3];
    for (int k = 0; k < 3; ++k) rel[k] = centre[k] + depth * dir[k] - plane.origin[k];
    const float s = rel[0] * u[0] + rel[1] * u[1] + rel[2] * u[2];
    const float t = rel[0] * v[0] + rel[1] * v[1] + rel[2] * v[2];
    if (s < 0.0f || t < 0.0f || s > plane.width || t > plane.height) continue;
    best = depth;
    out = cv::Point3f(centre[0] + depth * dir[0], centre[1] + depth * dir[1],
                      centre[2] + depth * dir[2]);
  }
  return best != FLT_MAX;
}

void BM_OpenCvFrameToFrame(benchmark::State& state) {
  const Input& in = GetInput();
  const SequenceGenerator sequence(in.options);
  const Intrinsic& K = sequence.Camera();
  const cv::Mat cvK = (cv::Mat_<double>(3, 3) << K.fx[0], 0, K.cx[0], 0, K.fy[0], K.cy[0], 0, 0, 1);
  constexpr int kMaxCorners = 400, kRedetectBelow = 150;
  cv::setNumThreads(1);
  for (auto _ : state) {
    std::vector<cv::Point2f> points, next, found;
    std::vector<cv::Point3f> world, keptWorld;
    std::vector<uchar> status;
    std::vector<float> error;
    std::vector<int> inliers;
    cv::Mat previous, rvec, tvec, mask;
    std::vector<double> seconds;
    std::vector<Centre> estimate, truth;
    double pointSum = 0.0;
    int lost = 0;
    bool havePose = false;
    for (size_t k = 0; k < in.images.size(); ++k) {
      const cv::Mat image(in.options.height, in.options.width, CV_8U,
                          const_cast<u8*>(in.images[k].data()));
      double spent = 0.0, start = StageTimers::ThreadCpuNow();
      bool solved = false;
      if (!points.empty()) {
        cv::calcOpticalFlowPyrLK(previous, image, points, next, status, error, cv::Size(21, 21), 3);
        size_t kept = 0;
        for (size_t i = 0; i < next.size(); ++i) {
          if (!status[i]) continue;
          next[kept] = next[i];
          world[kept++] = world[i];
        }
        next.resize(kept);
        world.resize(kept);
        if (kept >= 6) {
          solved = cv::solvePnPRansac(world, next, cvK, cv::noArray(), rvec, tvec, havePose, 100,
                                      2.0f, 0.99, inliers, cv::SOLVEPNP_ITERATIVE);
        }
        // Only the inliers go on being tracked.
        points.clear();
        keptWorld.clear();
        if (solved) {
          for (int i : inliers) {
            points.push_back(next[i]);
            keptWorld.push_back(world[i]);
          }
        }
        world.swap(keptWorld);
      }
      if (static_cast<int>(points.size()) < kRedetectBelow) {
        mask.create(image.size(), CV_8U);
        mask.setTo(255);
        for (const cv::Point2f& p : points) cv::circle(mask, p, 10, cv::Scalar(0), -1);
        cv::goodFeaturesToTrack(image, found, kMaxCorners - static_cast<int>(points.size()), 0.01,
                                10, mask);
        spent += StageTimers::ThreadCpuNow() - start;
        // The oracle: new corners take their true 3-D points, untimed.
        for (const cv::Point2f& p : found) {
          cv::Point3f X;
          if (!SurfacePoint(sequence.Scene(), K, in.truePoses[k], p.x, p.y, X)) continue;
          points.push_back(p);
          world.push_back(X);
        }
        start = StageTimers::ThreadCpuNow();
        if (k == 0) {
          // The first pose is the truth, as the engine's marker gives it its first.
          cv::Mat R(3, 3, CV_64F), t(3, 1, CV_64F);
          for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) R.at<double>(r, c) = in.truePoses[0].m[r][c];
            t.at<double>(r) = in.truePoses[0].m[r][3];
          }
          cv::Rodrigues(R, rvec);
          tvec = t;
          solved = havePose = true;
        }
      }
      image.copyTo(previous);
      spent += StageTimers::ThreadCpuNow() - start;
      if (k > 0) seconds.push_back(spent);
      pointSum += static_cast<double>(points.size());
      if (!solved) {
        ++lost;
        continue;
      }
      havePose = true;
      cv::Mat R;
      cv::Rodrigues(rvec, R);
      const cv::Mat c = -R.t() * tvec;
      estimate.push_back({c.at<double>(0), c.at<double>(1), c.at<double>(2)});
      truth.push_back(in.truth[k]);
    }
    const Spread frame = SpreadOf(seconds);
    results.cvFrame = frame;
    results.cvRms = AlignedTrajectoryRms(estimate, truth);
    results.cvLost = lost;
    results.cvPoints = pointSum / in.images.size();
    results.cvRan = true;
    state.SetIterationTime(frame.mean * 1e-3);
    state.counters["p95_ms"] = frame.p95;
    state.counters["rms_mm"] = 1e3 * results.cvRms;
    state.counters["lost"] = lost;
  }
}
BENCHMARK(BM_OpenCvFrameToFrame)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

const char* Verdict(bool met) {
  return met ? "met" : "NOT met";
}

void PrintTable() {
  if (!results.engineRan) return;
  std::printf("\nTracker thread CPU time per frame, ms (frames 1-299; key frames apart)\n");
  std::printf("%-6s %26s %26s\n", "", "other frames", "key frames");
  std::printf("%-6s %8s %8s %8s %8s %8s %8s\n", "stage", "mean", "p95", "n", "mean", "p95", "n");
  for (int r = 0; r < kRows; ++r) {
    const Spread &a = results.plain[r], &b = results.key[r];
    std::printf("%-6s %8.3f %8.3f %8d %8.3f %8.3f %8d\n", kRowNames[r], a.mean, a.p95, a.count,
                b.mean, b.p95, b.count);
  }
  const Spread& all = results.frame;
  std::printf("%-6s %8.3f %8.3f %8d  (every frame)\n", "frame", all.mean, all.p95, all.count);
  std::printf(
      "heap allocations per frame from frame %d: %.2f (max %ld) other frames, %.2f key "
      "frames (counted on every thread while Run is on)\n",
      kWarmFrames, results.allocPlain, results.maxAllocPlain, results.allocKey);
  std::printf(
      "engine:   lost %d, key frames %d, trajectory rms %.4f m (%.2f %% of a %.2f m path)\n",
      results.lost, results.keyFrames, results.rms, 100.0 * results.rms / results.path,
      results.path);
  if (results.cvRan) {
    std::printf(
        "OpenCV:   %.3f ms mean, %.3f ms p95 per frame, lost %d, %.0f points tracked, "
        "trajectory rms %.4f m (%.2f %% of the path)\n",
        results.cvFrame.mean, results.cvFrame.p95, results.cvLost, results.cvPoints, results.cvRms,
        100.0 * results.cvRms / results.path);
  }
  std::printf(
      "targets: frame mean %.3f ms < 5: %s; frame p95 %.3f ms < 10: %s; "
      "0 allocations per frame: %s",
      all.mean, Verdict(all.mean < 5.0), all.p95, Verdict(all.p95 < 10.0),
      Verdict(results.allocPlain == 0.0 && results.allocKey == 0.0));
  if (results.cvRan) {
    std::printf("; faster than OpenCV: %s; lower error than OpenCV: %s",
                Verdict(all.mean < results.cvFrame.mean),
                Verdict(results.rms >= 0.0 && results.rms < results.cvRms));
  }
  std::printf("\n");
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
