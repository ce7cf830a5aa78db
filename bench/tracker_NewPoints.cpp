// New points for 100 unsolved tracks seen by 3 to 10 views (two key frames
// of the map, the rest ring frames, half a pixel of noise), beside OpenCV's
// linear triangulatePoints on the first key frame and the current frame of
// the same scene. Rows print the mean and largest 3-D error against the
// scene points; the unit's rows also its heap allocations per call once
// warm (operator new and the aligned arrays' posix_memalign both count).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <opencv2/calib3d.hpp>

#include "bench/AllocationCounter.h"
#include "bench/BenchUtil.h"
#include "tests/common/tracker/NewPointsScene.h"
#include "tracker/NewPoints.h"

extern "C" void* __libc_memalign(size_t alignment, size_t size);

namespace {

using bench::allocations;
using bench::counting;

constexpr u32 kTracks = 100;

// Two key frames, then ring frames, along a slanted path; the views turn
// towards the scene a little as they move.
void BuildScene(NewPointsScene& scene, int views) {
  std::vector<CameraPose> keyFrames, ring;
  for (int i = 0; i < views; ++i) {
    const CameraPose pose = NewPointsScene::Pose({0.12 * i, 0.03 * i, 0.02 * i}, -1.0 * i);
    (i < 2 ? keyFrames : ring).push_back(pose);
  }
  scene.Build(NewPointsScene::RandomPoints(kTracks, 3), keyFrames, ring, 0.5, 11);
}

void ReportErrors(benchmark::State& state, const std::vector<Eigen::Vector3d>& estimate,
                  const std::vector<Eigen::Vector3d>& truth) {
  double mean = 0.0, largest = 0.0;
  for (size_t j = 0; j < truth.size(); ++j) {
    const double e = (estimate[j] - truth[j]).norm();
    mean += e / static_cast<double>(truth.size());
    largest = std::max(largest, e);
  }
  state.counters["mean_err"] = mean;
  state.counters["max_err"] = largest;
}

void BM_CreateNewPoints(benchmark::State& state) {
  const int views = static_cast<int>(state.range(0));
  NewPointsScene scene;
  BuildScene(scene, views);
  const TrackerContext c = scene.unit.Context();
  NewPoints unit(c);
  const u16 current = scene.unit.ring.Current();
  auto run = [&] {
    // Every track unsolved again, so each call triangulates all of them.
    for (u32 j = 0; j < kTracks; ++j) scene.Flags(j) = 0;
    unit.CreateNewPoints(current, {true, false});
  };
  run();  // warm: every buffer grown
  long calls = 0;
  const long before = allocations.load();
  counting = true;
  for (auto _ : state) {
    run();
    ++calls;
  }
  counting = false;
  state.counters["allocs/call"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(calls);
  state.counters["solved"] = unit.Counts().solved;
  std::vector<Eigen::Vector3d> estimate;
  for (u32 j = 0; j < kTracks; ++j) estimate.push_back(scene.Point(j));
  ReportErrors(state, estimate, scene.points);
}
BENCHMARK(BM_CreateNewPoints)->Arg(3)->Arg(5)->Arg(10);

// The same scene's first key frame and current frame, in pixels.
void BM_OpenCvTriangulatePointsTwoViews(benchmark::State& state) {
  const int views = static_cast<int>(state.range(0));
  NewPointsScene scene;
  BuildScene(scene, views);
  const TrackerFrame& f = scene.unit.ring[scene.unit.ring.Current()];
  const LA::Vector2<float>* first = scene.unit.view.KeyFrameNormalized().Data();
  cv::Mat x0(2, kTracks, CV_64F), x1(2, kTracks, CV_64F);
  for (u32 j = 0; j < kTracks; ++j) {
    x0.at<double>(0, j) = bench::kFocal * first[j].x + 319.5;
    x0.at<double>(1, j) = bench::kFocal * first[j].y + 239.5;
    x1.at<double>(0, j) = bench::kFocal * f.mapMatches[0][j].nx + 319.5;
    x1.at<double>(1, j) = bench::kFocal * f.mapMatches[0][j].ny + 239.5;
  }
  const cv::Mat K =
      (cv::Mat_<double>(3, 3) << bench::kFocal, 0, 319.5, 0, bench::kFocal, 239.5, 0, 0, 1);
  auto projection = [&](const CameraPose& pose) {
    cv::Mat Rt(3, 4, CV_64F);
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 4; ++k) Rt.at<double>(r, k) = pose.m[r][k];
    return cv::Mat(K * Rt);
  };
  const cv::Mat P0 = projection(scene.Working().keyFramePoses[0]);
  const cv::Mat P1 = projection(f.pose.slot[kVisual]);
  cv::Mat X;
  for (auto _ : state) {
    cv::triangulatePoints(P0, P1, x0, x1, X);
    benchmark::DoNotOptimize(X.data);
  }
  X.convertTo(X, CV_64F);
  std::vector<Eigen::Vector3d> estimate;
  for (u32 j = 0; j < kTracks; ++j) {
    const double w = X.at<double>(3, j);
    estimate.emplace_back(X.at<double>(0, j) / w, X.at<double>(1, j) / w, X.at<double>(2, j) / w);
  }
  ReportErrors(state, estimate, scene.points);
}
BENCHMARK(BM_OpenCvTriangulatePointsTwoViews)->Arg(3)->Arg(5)->Arg(10);

}  // namespace

BENCHMARK_MAIN();
