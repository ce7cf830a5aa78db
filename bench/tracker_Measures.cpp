// The three coverage scores of a tracked 640 x 480 frame (rendered, with its
// FAST corners, about 400 map matches over four levels, misses and
// candidates) per frame, with the heap allocations per frame once warm;
// beside them the usual OpenCV way of marking the same cells on a 40 x 30
// grid, filled rectangles or a 3 x 3 dilation, counted with countNonZero.
// Every row prints the three scores it found.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <opencv2/imgproc.hpp>

#include "bench/AllocationCounter.h"
#include "features/CoverageCells.h"
#include "features/FastFeatureGrid.h"
#include "la/Random.h"
#include "tests/common/ScenePyramid.h"
#include "tests/common/tracker/FrameMeasuresScene.h"

namespace {

using bench::allocations;
using bench::counting;

constexpr int kWidth = 640, kHeight = 480;
constexpr u8 kInlier = kTrackSolved | kTrackInlier;

// The frame: matches on FAST corners of each level (200, 100, 60, 40), one
// in eight of them not an inlier, a third of the tracks on the wall plane;
// 80 misses per level 0 and 1 from two key frames, the second turned 75
// degrees away (its misses off the plane are hidden); 60 candidates.
struct CoverageScene {
  FrameMeasuresScene s{kWidth, kHeight};
  CVD::Image<u8> levels[kPyramidLevels];
  float lost = 0, matched = 0, fresh = 0;  // the scores FrameMeasures gives

  CoverageScene() {
    SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(kWidth, kHeight, 71), levels);
    TrackerFrame& f = s.Frame();
    std::vector<CVD::ImageRef> scratch;
    DetectFastFeatures(levels, scratch, f.corners);
    const u16 wall = s.AddPlane(0, 0, -1, 10);
    s.AddKeyFrame(FrameMeasuresScene::Turned(0.0f), {});
    s.AddKeyFrame(FrameMeasuresScene::Turned(75.0f), {});
    f.pose.slot[kVisual] = FrameMeasuresScene::Turned(10.0f);
    Random::Seed(72);
    auto track = [&](u16 keyFrame) {
      const u8 flags = Random::Index(8) == 0 ? u8{kTrackSolved} : kInlier;
      return s.AddTrack(0, 0, 10, flags, Random::Index(3) == 0 ? wall : kNone16, keyFrame);
    };
    const u32 perLevel[kPyramidLevels] = {200, 100, 60, 40};
    for (int l = 0; l < kPyramidLevels; ++l) {
      const AlignedArray<CornerXY>& corners = f.corners[l].corners;
      for (u32 i = 0; i < perLevel[l] && corners.Size() > 0; ++i) {
        const CornerXY& c = corners[Random::Index(corners.Size())];
        f.mapMatches[l].push_back(s.MatchAt(track(0), l, c.x + 0.5f, c.y + 0.5f));
      }
    }
    for (int l = 0; l < 2; ++l)
      for (int i = 0; i < 80; ++i)
        f.lost[l].push_back(FrameMeasuresScene::Miss(track(static_cast<u16>(i & 1)),
                                                     Random::Index(kWidth >> l) + 0.25f,
                                                     Random::Index(kHeight >> l) + 0.75f));
    for (int i = 0; i < 60; ++i)
      f.candidates[0].push_back(
          FrameMeasuresScene::Miss(track(0), Random::Index(kWidth), Random::Index(kHeight)));
    lost = s.measures.ComputeMapCoverage(1);
    matched = s.measures.ComputeImageCoverage(1);
    fresh = s.measures.ComputeCombinedCoverage(1);
  }
};

CoverageScene& Scene() {
  static CoverageScene scene;
  return scene;
}

void Report(benchmark::State& state, float lost, float matched, float fresh) {
  state.counters["lost"] = lost;
  state.counters["matched"] = matched;
  state.counters["new"] = fresh;
  const CoverageScene& c = Scene();
  const TrackerFrame& f = c.s.parts.ring[1];
  state.counters["corners"] = f.corners[0].corners.Size();
  state.counters["matches"] = f.MapMatchCount();
  state.counters["|diff|"] =
      std::fabs(lost - c.lost) + std::fabs(matched - c.matched) + std::fabs(fresh - c.fresh);
}

void BM_CoverageScores(benchmark::State& state) {
  CoverageScene& c = Scene();
  FrameMeasures& m = c.s.measures;
  float lost = 0, matched = 0, fresh = 0;
  const long before = allocations.load();
  long frames = 0;
  counting = true;
  for (auto _ : state) {
    lost = m.ComputeMapCoverage(1);
    matched = m.ComputeImageCoverage(1);
    fresh = m.ComputeCombinedCoverage(1);
    benchmark::DoNotOptimize(lost + matched + fresh);
    ++frames;
  }
  counting = false;
  state.counters["allocs/frame"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(frames);
  Report(state, lost, matched, fresh);
}
BENCHMARK(BM_CoverageScores);

// The same rules with OpenCV masks of one byte per cell: a position marks
// its 3 x 3 block with a filled rectangle (clipped by OpenCV), or sets its
// cell and a 3 x 3 dilation spreads the marks.
template <bool kDilate>
struct OpenCvCoverage {
  const CoverageScene& c = Scene();
  const int w = kWidth >> 4, h = kHeight >> 4;
  cv::Mat a = cv::Mat::zeros(h, w, CV_8U), b = a.clone(), m = a.clone(), d = a.clone();
  const cv::Mat kernel = cv::Mat::ones(3, 3, CV_8U);

  void Mark(cv::Mat& mask, float x, float y, int level) {
    const CornerXY p = TruncateToCorner(x, y);
    const int cx = p.x >> (4 - level), cy = p.y >> (4 - level);
    if (kDilate) {
      if (cx < w && cy < h) mask.at<u8>(cy, cx) = 255;
    } else {
      cv::rectangle(mask, cv::Point(cx - 1, cy - 1), cv::Point(cx + 1, cy + 1), 255, cv::FILLED);
    }
  }
  int Count(cv::Mat& mask) {
    if (!kDilate) return cv::countNonZero(mask);
    cv::dilate(mask, d, kernel);
    d.copyTo(mask);
    return cv::countNonZero(mask);
  }
  bool Facing(const ImageMatch& e, const float* zf) {
    const MapWorkingCopy& wc = c.s.parts.view.Working();
    const float* zk = wc.keyFramePoses[c.s.parts.view.Patches()[e.patch].keyFrame].m[2];
    auto dot = [](const float* u, const float* v) {
      return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    };
    const u16 p = wc.trackPlanes[e.track];
    if (p == kNone16) return dot(zk, zf) > 0.5f;
    const float* n = wc.planes[p].v;
    return (dot(zk, n) < 0.0f ? -dot(n, zf) : dot(n, zf)) > 0.5f;
  }
  void Run(float& lost, float& matched, float& fresh) {
    const TrackerFrame& f = c.s.parts.ring[1];
    const TrackerMapView& view = c.s.parts.view;
    const float cells = static_cast<float>(w * h);
    a.setTo(0), b.setTo(0);
    for (int l = 0; l < 2; ++l) {
      for (const MapMatch& x : f.mapMatches[l])
        if (view.IsInlier(x.track)) Mark(b, x.x, x.y, l);
      for (const ImageMatch& e : f.lost[l])
        if (Facing(e, f.pose.slot[kVisual].m[2])) Mark(a, e.x, e.y, l);
    }
    const int covered = Count(b);
    Count(a);
    cv::subtract(a, b, m);
    const int missed = cv::countNonZero(m), touched = covered + missed;
    lost = touched == 0 || touched < std::lround(cells * 0.08) ? 1.0f : float(missed) / touched;
    a.setTo(0);
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const MapMatch& x : f.mapMatches[l]) Mark(a, x.x, x.y, l);
    matched = Count(a) / cells;
    a.setTo(0), b.setTo(0);
    for (const CornerXY& p : f.corners[0].corners) Mark(a, p.x, p.y, 0);
    for (const MapMatch& x : f.mapMatches[0])
      if (view.IsInlier(x.track)) Mark(b, x.x, x.y, 0);
    for (const ImageMatch& e : f.candidates[0]) Mark(b, e.x, e.y, 0);
    for (const ImageMatch& e : f.lost[0]) Mark(b, e.x, e.y, 0);
    Count(a), Count(b);
    cv::subtract(a, b, m);
    fresh = cv::countNonZero(m) / cells;
  }
};

template <bool kDilate>
void BM_OpenCvCoverage(benchmark::State& state) {
  OpenCvCoverage<kDilate> cv;
  float lost = 0, matched = 0, fresh = 0;
  for (auto _ : state) {
    cv.Run(lost, matched, fresh);
    benchmark::DoNotOptimize(lost + matched + fresh);
  }
  Report(state, lost, matched, fresh);
}
BENCHMARK_TEMPLATE(BM_OpenCvCoverage, false)->Name("BM_OpenCvCoverageRectangles");
BENCHMARK_TEMPLATE(BM_OpenCvCoverage, true)->Name("BM_OpenCvCoverageDilate");

}  // namespace

BENCHMARK_MAIN();
