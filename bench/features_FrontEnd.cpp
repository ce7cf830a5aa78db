// The feature front end beside libCVD and OpenCV on the same rendered
// 640 x 480 pyramids: FAST grids (cv::FAST suppresses non-maxima, so it
// counts fewer at the same thresholds), KLT selection, the 8x8 zero-mean SSD
// and sub-pixel refinement against a wall that moved by a known amount.
#include <benchmark/benchmark.h>
#include <cvd/fast_corner.h>

#include <array>
#include <cmath>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "features/FastFeatureGrid.h"
#include "features/KltFeatures.h"
#include "features/PatchRefinement.h"
#include "features/PatchWarp.h"
#include "features/SpreadingGrid.h"
#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

using Image = CVD::Image<CVD::byte>;
constexpr float kShiftX = 0.37f, kShiftY = -0.61f;

cv::Mat AsMat(const Image& img) {
  return cv::Mat(img.size().y, img.size().x, CV_8UC1, const_cast<CVD::byte*>(img.data()),
                 img.row_stride());
}

// Grids, 1,000 KLT-strong wall corners with their templates (sums filled),
// and a view in which the wall moved by (-kShiftX, -kShiftY).
struct Scene {
  Image levels[4], moved;
  FeatureGrid grids[4];
  std::vector<std::array<u16, 2>> corners;
  std::vector<FeaturePatch> patches;
  Scene() {
    SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 61), levels);
    moved = SceneRender::RenderPlaneScene(640, 480, 61, -kShiftX, -kShiftY);
    std::vector<CVD::ImageRef> scratch;
    DetectFastFeatures(levels, scratch, grids);
    Random::Seed(62);
    for (int attempt = 0; corners.size() < 1000 && attempt < 10000000; ++attempt) {
      const u32 at[2] = {8 + Random::Index(624), 8 + Random::Index(344)};
      if (ComputeCornerScore(levels[0], at) <= kKltScoreThreshold) continue;
      corners.push_back({static_cast<u16>(at[0]), static_cast<u16>(at[1])});
      FeaturePatch p{};
      for (int r = 0; r < 64; ++r) p.pixels[r] = levels[0][at[1] - 4 + r / 8][at[0] - 4 + r % 8];
      p.x = at[0], p.y = at[1];
      ComputePatchSums(p);
      patches.push_back(p);
    }
  }
  const u16* Next(size_t i) const { return corners[(i + 1) % corners.size()].data(); }
};
const Scene& S() {
  static const Scene scene;
  return scene;
}

void Fast(benchmark::State& state) {
  FeatureGrid grids[4];
  std::vector<CVD::ImageRef> corners;
  std::vector<cv::KeyPoint> keys;
  double n = 0;
  for (auto _ : state) {
    n = 0;
    for (int l = 0; l < 4; ++l) {
      const int t = kFastThresholds[l];
      if (state.range(0) == 0) n += DetectFastGrid(S().levels[l], t, corners, grids[l]);
      if (state.range(0) == 1) CVD::fast_corner_detect_10(S().levels[l], corners, t);
      if (state.range(0) == 1) n += corners.size(), corners.clear();
      if (state.range(0) == 2) cv::FAST(AsMat(S().levels[l]), keys, t, true), n += keys.size();
    }
  }
  state.counters["corners"] = n;
}

void Klt(benchmark::State& state) {
  std::vector<MapMatch> matches[4];
  OccupancyMask masks[4];
  Intrinsic k[4];
  KltScratch scratch;
  AlignedArray<LA::Vector2<float>> out[4], normalised[4];
  std::vector<cv::Point2f> points;
  double n = 0;
  for (auto _ : state) {
    n = 0;
    if (state.range(0) == 0) {
      for (auto& o : out) o.Clear();
      n = DetectKltFeatures(S().levels, S().grids, matches, masks, k, scratch, out, normalised)
              .kept;
    }
    for (int l = 0; state.range(0) == 1 && l < 4; ++l) {
      const u32 N = kKltFeaturesPerLevel[l];
      const double minDistance = StartSpreadRadius(S().levels[l].size(), N);
      cv::goodFeaturesToTrack(AsMat(S().levels[l]), points, N, 0.01, minDistance, cv::noArray(), 8);
      n += points.size();
    }
  }
  state.counters["corners"] = n;
}

// Reference SSD kept scalar: no auto-vectorisation.
__attribute__((optimize("no-tree-vectorize"))) i32 ScalarSsd(const FeaturePatch& p,
                                                             const Image& img, const u16* c) {
  i32 sb = 0, sbb = 0, sab = 0;
  for (int k = 0; k < 64; ++k) {
    const i32 a = p.pixels[k], b = img[c[1] - 4 + k / 8][c[0] - 4 + k % 8];
    sb += b, sbb += b * b, sab += a * b;
  }
  const i32 d = static_cast<i32>(p.sum) - sb;
  return static_cast<i32>(p.sumOfSquares) + sbb - 2 * sab - d * d / 64;
}

// Per 1,000 templates against the window at another corner: 0 ours, 1 the
// scalar loop, 2 a fresh warp (no cache hit) and ours, 3 matchTemplate on
// mean-removed float patches.
void Ssd(benchmark::State& state) {
  std::vector<FeaturePatch> patches = S().patches;
  WarpRecord a{}, b{};
  a.m[0] = a.m[5] = 1, a.m[8] = FLT_MAX;
  b.m[0] = 1.02f, b.m[1] = 0.01f, b.m[5] = 0.99f, b.m[8] = FLT_MAX;
  const cv::Mat img = AsMat(S().levels[0]);
  cv::Mat ta, tb, result;
  double total = 0;
  for (auto _ : state) {
    b.m[2] = b.m[2] == 0.0f ? 0.25f : 0.0f;
    for (size_t i = 0; i < patches.size(); ++i) {
      const u16* c = S().Next(i);
      if (state.range(0) == 0) total += PatchZeroMeanSsd(patches[i], S().levels[0], c);
      if (state.range(0) == 1) total += ScalarSsd(patches[i], S().levels[0], c);
      if (state.range(0) == 2 && WarpPatch8x8(patches[i], S().levels[0], a, b))
        total += PatchZeroMeanSsd(patches[i], S().levels[0], c);
      if (state.range(0) == 3) {
        cv::Mat(8, 8, CV_8UC1, patches[i].pixels).convertTo(ta, CV_32F);
        img(cv::Rect(c[0] - 4, c[1] - 4, 8, 8)).convertTo(tb, CV_32F);
        ta -= cv::mean(ta)[0], tb -= cv::mean(tb)[0];
        cv::matchTemplate(tb, ta, result, cv::TM_SQDIFF);
        total += result.at<float>(0, 0);
      }
    }
  }
  benchmark::DoNotOptimize(total);
}

// Each template starts at its own corner in the moved view; err_px is the
// mean distance from the true position.
void Refine(benchmark::State& state) {
  const Scene& s = S();
  alignas(16) float T[160], U[160];
  std::vector<cv::Point2f> from, to;
  for (const auto& c : s.corners) from.emplace_back(c[0], c[1]);
  std::vector<uchar> status;
  std::vector<float> err;
  const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 10, 0.05);
  for (auto _ : state) {
    to = from;
    if (state.range(0) == 0)
      for (size_t i = 0; i < to.size(); ++i)
        RefinePatchPosition(s.patches[i].pixels, s.moved, &to[i].x, T, U);
    else
      cv::calcOpticalFlowPyrLK(AsMat(s.levels[0]), AsMat(s.moved), from, to, status, err,
                               cv::Size(9, 9), 0, stop, cv::OPTFLOW_USE_INITIAL_FLOW);
  }
  double error = 0;
  for (size_t i = 0; i < to.size(); ++i)
    error += std::hypot(to[i].x - from[i].x + kShiftX, to[i].y - from[i].y + kShiftY);
  state.counters["err_px"] = error / to.size();
}

}  // namespace

BENCHMARK(Fast)->Name("fast_4_levels/ours_with_grid")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(Fast)->Name("fast_4_levels/libcvd_detect_10")->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(Fast)
    ->Name("fast_4_levels/opencv_FAST_9_16_nonmax")
    ->Arg(2)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Klt)->Name("klt_100_50_50_50/ours")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(Klt)
    ->Name("klt_100_50_50_50/opencv_goodFeaturesToTrack")
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Ssd)->Name("ssd_per_1000/ours")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(Ssd)->Name("ssd_per_1000/scalar_reference")->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(Ssd)->Name("ssd_per_1000/ours_warp_and_ssd")->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(Ssd)->Name("ssd_per_1000/opencv_matchTemplate")->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK(Refine)->Name("refine_1000/ours")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(Refine)->Name("refine_1000/opencv_LK_level0_9x9")->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
