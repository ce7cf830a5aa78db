// Re-matching two key frames of the rendered wall-and-floor scene at 640x480
// (about 500 features per key frame): the track matcher without the joint
// solve (exact poses), and with it (key frame 0's pose disturbed) on maps of
// 50 and 150 key frames; beside it the usual pipeline of ORB features, a
// cross-checked Hamming matcher and a RANSAC fundamental matrix on the same
// two images. Each row counts correct and wrong pairs against the truth.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

#include "common/mapping/MatcherScene.h"
#include "mapping/TrackMatcher.h"

namespace {

MatcherSceneOptions BenchOptions(u32 keyFrames) {
  MatcherSceneOptions o;
  o.width = 640;
  o.height = 480;
  o.shiftX = 0.12f;
  o.shiftY = 0.03f;
  o.featuresPerLevel[0] = 330;
  o.featuresPerLevel[1] = 120;
  o.featuresPerLevel[2] = 50;
  o.featuresPerLevel[3] = 20;
  o.alignmentHalvings = 4;  // 40 x 30, as the tracker makes it
  o.fillerKeyFrames = keyFrames > 2 ? keyFrames - 2 : 0;
  return o;
}

MatcherScene& Scene() {
  static MatcherScene scene(BenchOptions(2));
  return scene;
}

// Matcher runs; range(0) key frames, range(1) 1 = disturbed pose (joint solve).
void BM_TrackMatcher(benchmark::State& state) {
  MatcherScene scene(BenchOptions(static_cast<u32>(state.range(0))));
  CameraPose disturbed = scene.poses[0];
  disturbed.m[0][3] += 0.08f;
  const bool joint = state.range(1) != 0;
  double correct = 0, wrong = 0, joints = 0, runs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto map = std::make_unique<GlobalMap>();
    scene.BuildMap(*map, joint ? &disturbed : nullptr);
    auto item = std::make_unique<TrackMatchingData>();
    scene.FillItem(*map, *item);
    TrackMatcher matcher(map.get(), 0, "");
    state.ResumeTiming();
    matcher.Run(item.get());
    state.PauseTiming();
    for (const TrackPair& p : matcher.TrackPairs()) {
      if (scene.duplicateOf[p.second] == p.first) {
        ++correct;
      } else {
        ++wrong;
      }
    }
    joints += matcher.JointAdjusted();
    ++runs;
    state.ResumeTiming();
  }
  state.counters["correct"] = correct / runs;
  state.counters["wrong"] = wrong / runs;
  state.counters["joint"] = joints / runs;
}
BENCHMARK(BM_TrackMatcher)
    ->Args({2, 0})
    ->Args({50, 1})
    ->Args({150, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Where the ray of camera 0 through level-0 pixel (x, y) meets the scene.
MapPoint CastRay(const MatcherScene& s, float x, float y) {
  const float nx = (x - s.intrinsic.cx[0]) / s.intrinsic.fx[0];
  const float ny = (y - s.intrinsic.cy[0]) / s.intrinsic.fy[0];
  float depth = MatcherScene::kWallDepth;
  if (ny > 0.0f && MatcherScene::kFloorHeight / ny < depth) depth = MatcherScene::kFloorHeight / ny;
  return {{depth * nx, depth * ny, depth, 1.0f}};
}

void BM_OpenCvOrbPipeline(benchmark::State& state) {
  const MatcherScene& scene = Scene();
  const cv::Mat a(scene.options.height, scene.options.width, CV_8U,
                  const_cast<u8*>(scene.pyramids[0][0].data()));
  const cv::Mat b(scene.options.height, scene.options.width, CV_8U,
                  const_cast<u8*>(scene.pyramids[1][0].data()));
  cv::Ptr<cv::ORB> orb = cv::ORB::create(1000);
  cv::BFMatcher matcher(cv::NORM_HAMMING, true);
  double correct = 0, wrong = 0, runs = 0;
  for (auto _ : state) {
    std::vector<cv::KeyPoint> ka, kb;
    cv::Mat da, db;
    orb->detectAndCompute(a, cv::noArray(), ka, da);
    orb->detectAndCompute(b, cv::noArray(), kb, db);
    std::vector<cv::DMatch> matches;
    matcher.match(da, db, matches);
    std::vector<cv::Point2f> pa, pb;
    for (const cv::DMatch& m : matches) {
      pa.push_back(ka[m.queryIdx].pt);
      pb.push_back(kb[m.trainIdx].pt);
    }
    std::vector<uchar> mask;
    if (pa.size() >= 8) cv::findFundamentalMat(pa, pb, cv::FM_RANSAC, 1.0, 0.99, mask);
    state.PauseTiming();
    for (size_t i = 0; i < mask.size(); ++i) {
      if (!mask[i]) continue;
      // Correct when the point seen at a projects within 2 pixels of b's match.
      float p[2];
      scene.Project(1, CastRay(scene, pa[i].x, pa[i].y), 0, p);
      const float dx = p[0] - pb[i].x, dy = p[1] - pb[i].y;
      if (dx * dx + dy * dy < 4.0f) {
        ++correct;
      } else {
        ++wrong;
      }
    }
    ++runs;
    state.ResumeTiming();
  }
  state.counters["correct"] = correct / runs;
  state.counters["wrong"] = wrong / runs;
}
BENCHMARK(BM_OpenCvOrbPipeline)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
