// The feature front end beside OpenCV on the same rendered 640 x 480
// pyramids: FAST grids of four levels against libCVD's detector alone and
// cv::FAST with non-maximum suppression at the same thresholds (its counts
// are lower by the suppression), KLT selection against goodFeaturesToTrack,
// the 8x8 zero-mean SSD against a scalar loop and matchTemplate, and sub-pixel
// refinement against pyramidal Lucas-Kanade on level 0. Rows report corners
// or the mean error (err_px) beside the time.
#include <benchmark/benchmark.h>
#include <cvd/fast_corner.h>

#include <array>
#include <cmath>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <vector>

#include "features/FastFeatureGrid.h"
#include "features/KltFeatures.h"
#include "features/PatchRefinement.h"
#include "features/PatchWarp.h"
#include "features/SpreadingGrid.h"
#include "la/Random.h"
#include "tests/common/ScenePyramid.h"

namespace {

using Image = CVD::Image<CVD::byte>;

cv::Mat AsMat(const Image& img) {
  return cv::Mat(img.size().y, img.size().x, CV_8UC1, const_cast<CVD::byte*>(img.data()),
                 img.row_stride());
}

// The rendered scene, its grids, 1,000 corner positions with their 8x8
// templates on the wall, and a second view in which the wall moved by a known
// sub-pixel amount.
struct Scene {
  static constexpr float kShiftX = 0.37f, kShiftY = -0.61f;
  Image levels[4];
  FeatureGrid grids[4];
  std::vector<std::array<u16, 2>> corners;
  std::vector<FeaturePatch> patches;
  Image shifted;

  Scene() {
    SceneRender::BuildPyramid(SceneRender::RenderPlaneScene(640, 480, 61), levels);
    std::vector<CVD::ImageRef> scratch;
    DetectFastFeatures(levels, scratch, grids);
    Random::Seed(62);
    const int w = levels[0].size().x, h = levels[0].size().y;
    for (int attempt = 0; corners.size() < 1000 && attempt < 10000000; ++attempt) {
      const u16 x = static_cast<u16>(8 + Random::Index(w - 16)),
                y = static_cast<u16>(8 + Random::Index(h * 3 / 4 - 16));  // the wall
      const u32 at[2] = {x, y};
      if (ComputeCornerScore(levels[0], at) <= kKltScoreThreshold) continue;  // KLT-strong places
      corners.push_back({x, y});
      FeaturePatch p{};
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) p.pixels[8 * r + c] = levels[0][y - 4 + r][x - 4 + c];
      p.x = x, p.y = y;
      patches.push_back(p);
    }
    // The wall's content at (x, y) of level 0 moves to (x - kShiftX, y - kShiftY).
    shifted = SceneRender::RenderPlaneScene(640, 480, 61, -kShiftX, -kShiftY);
  }
};

const Scene& GetScene() {
  static const Scene scene;
  return scene;
}

void FastGrid(benchmark::State& state) {
  const Scene& s = GetScene();
  FeatureGrid grids[4];
  std::vector<CVD::ImageRef> scratch;
  u32 n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(n = DetectFastFeatures(s.levels, scratch, grids));
  state.counters["corners"] = n;
}

void CvdFast(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<CVD::ImageRef> corners;
  size_t n = 0;
  for (auto _ : state) {
    n = 0;
    for (int level = 0; level < 4; ++level) {
      corners.clear();
      CVD::fast_corner_detect_10(s.levels[level], corners, kFastThresholds[level]);
      n += corners.size();
    }
  }
  state.counters["corners"] = static_cast<double>(n);
}

void OpenCvFast(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<cv::KeyPoint> k;
  size_t n = 0;
  for (auto _ : state) {
    n = 0;
    for (int level = 0; level < 4; ++level) {
      cv::FAST(AsMat(s.levels[level]), k, kFastThresholds[level], true,
               cv::FastFeatureDetector::TYPE_9_16);
      n += k.size();
    }
  }
  state.counters["corners"] = static_cast<double>(n);
}

void KltSelection(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<MapMatch> matches[4];
  OccupancyMask masks[4];
  Intrinsic intrinsics[4];
  for (int l = 0; l < 4; ++l) intrinsics[l].Set(500.0f / (1 << l), 500.0f / (1 << l), 320, 240);
  KltScratch scratch;
  AlignedArray<LA::Vector2<float>> out[4], normalised[4];
  u32 kept = 0;
  for (auto _ : state) {
    for (int l = 0; l < 4; ++l) out[l].Clear();
    kept =
        DetectKltFeatures(s.levels, s.grids, matches, masks, intrinsics, scratch, out, normalised)
            .kept;
  }
  state.counters["corners"] = kept;
}

void OpenCvGoodFeatures(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<cv::Point2f> points;
  size_t kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (int l = 0; l < 4; ++l) {
      const u32 n = kKltFeaturesPerLevel[l];
      const double minDistance = StartSpreadRadius(s.levels[l].size(), n);
      cv::goodFeaturesToTrack(AsMat(s.levels[l]), points, n, 0.01, minDistance, cv::noArray(), 8);
      kept += points.size();
    }
  }
  state.counters["corners"] = static_cast<double>(kept);
}

// Zero-mean SSD of every template against the window at the next corner;
// the template sums are computed once per template in both forms. The
// reference is kept scalar (no auto-vectorisation).
__attribute__((optimize("no-tree-vectorize"))) i32 ScalarSsd(const FeaturePatch& p,
                                                             const Image& img,
                                                             const std::array<u16, 2>& c) {
  i32 sb = 0, sbb = 0, sab = 0;
  for (int r = 0; r < 8; ++r)
    for (int k = 0; k < 8; ++k) {
      const i32 a = p.pixels[8 * r + k], b = img[c[1] - 4 + r][c[0] - 4 + k];
      sb += b, sbb += b * b, sab += a * b;
    }
  const i32 d = static_cast<i32>(p.sum) - sb;
  return static_cast<i32>(p.sumOfSquares) + sbb - 2 * sab - d * d / 64;
}

std::vector<FeaturePatch> PatchesWithSums(const Scene& s) {
  std::vector<FeaturePatch> patches = s.patches;
  for (FeaturePatch& p : patches) ComputePatchSums(p);
  return patches;
}

void PatchSsd(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<FeaturePatch> patches = PatchesWithSums(s);
  long long total = 0;
  for (auto _ : state)
    for (size_t i = 0; i < patches.size(); ++i)
      total +=
          PatchZeroMeanSsd(patches[i], s.levels[0], s.corners[(i + 1) % s.corners.size()].data());
  benchmark::DoNotOptimize(total);
}

void PatchSsdScalar(benchmark::State& state) {
  const Scene& s = GetScene();
  const std::vector<FeaturePatch> patches = PatchesWithSums(s);
  long long total = 0;
  for (auto _ : state)
    for (size_t i = 0; i < patches.size(); ++i)
      total += ScalarSsd(patches[i], s.levels[0], s.corners[(i + 1) % s.corners.size()]);
  benchmark::DoNotOptimize(total);
}

void PatchWarpAndSsd(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<FeaturePatch> patches = s.patches;
  WarpRecord a{}, b{};
  a.m[0] = a.m[5] = 1, a.m[8] = FLT_MAX;
  b.m[0] = 1.02f, b.m[1] = 0.01f, b.m[5] = 0.99f, b.m[8] = FLT_MAX;
  long long total = 0;
  for (auto _ : state) {
    b.m[2] = b.m[2] == 0.0f ? 0.25f : 0.0f;  // a new warp each pass: no cache hits
    for (size_t i = 0; i < patches.size(); ++i) {
      if (WarpPatch8x8(patches[i], s.levels[0], a, b))
        total +=
            PatchZeroMeanSsd(patches[i], s.levels[0], s.corners[(i + 1) % s.corners.size()].data());
    }
  }
  benchmark::DoNotOptimize(total);
}

void OpenCvMatchTemplate(benchmark::State& state) {
  const Scene& s = GetScene();
  const cv::Mat img = AsMat(s.levels[0]);
  cv::Mat a, b, result;
  double total = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < s.patches.size(); ++i) {
      cv::Mat(8, 8, CV_8UC1, const_cast<u8*>(s.patches[i].pixels)).convertTo(a, CV_32F);
      const std::array<u16, 2>& c = s.corners[(i + 1) % s.corners.size()];
      img(cv::Rect(c[0] - 4, c[1] - 4, 8, 8)).convertTo(b, CV_32F);
      a -= cv::mean(a)[0];
      b -= cv::mean(b)[0];
      cv::matchTemplate(b, a, result, cv::TM_SQDIFF);
      total += result.at<float>(0, 0);
    }
  }
  benchmark::DoNotOptimize(total);
}

double ShiftError(float x, float y, const std::array<u16, 2>& c) {
  return std::hypot(x - (c[0] - Scene::kShiftX), y - (c[1] - Scene::kShiftY));
}

void Refinement(benchmark::State& state) {
  const Scene& s = GetScene();
  alignas(16) float T[160], S[160];
  double error = 0;
  for (auto _ : state) {
    error = 0;
    for (size_t i = 0; i < s.patches.size(); ++i) {
      float p[2] = {static_cast<float>(s.corners[i][0]), static_cast<float>(s.corners[i][1])};
      RefinePatchPosition(s.patches[i].pixels, s.shifted, p, T, S);
      error += ShiftError(p[0], p[1], s.corners[i]);
    }
  }
  state.counters["err_px"] = error / s.patches.size();
}

void OpenCvLucasKanade(benchmark::State& state) {
  const Scene& s = GetScene();
  std::vector<cv::Point2f> from, to;
  for (const auto& c : s.corners) from.emplace_back(c[0], c[1]);
  std::vector<uchar> status;
  std::vector<float> err;
  double error = 0;
  for (auto _ : state) {
    to = from;
    cv::calcOpticalFlowPyrLK(
        AsMat(s.levels[0]), AsMat(s.shifted), from, to, status, err, cv::Size(9, 9), 0,
        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 10, 0.05),
        cv::OPTFLOW_USE_INITIAL_FLOW);
  }
  error = 0;
  for (size_t i = 0; i < to.size(); ++i) error += ShiftError(to[i].x, to[i].y, s.corners[i]);
  state.counters["err_px"] = error / to.size();
}

}  // namespace

BENCHMARK(FastGrid)->Name("fast/ours_grid_4_levels")->Unit(benchmark::kMicrosecond);
BENCHMARK(CvdFast)->Name("fast/libcvd_detect_4_levels")->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenCvFast)->Name("fast/opencv_FAST_9_16_nonmax")->Unit(benchmark::kMicrosecond);
BENCHMARK(KltSelection)->Name("klt/ours_100_50_50_50")->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenCvGoodFeatures)
    ->Name("klt/opencv_goodFeaturesToTrack")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(PatchSsd)->Name("ssd_1000/ours_sse")->Unit(benchmark::kMicrosecond);
BENCHMARK(PatchSsdScalar)->Name("ssd_1000/scalar_reference")->Unit(benchmark::kMicrosecond);
BENCHMARK(PatchWarpAndSsd)->Name("ssd_1000/ours_warp_and_ssd")->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenCvMatchTemplate)
    ->Name("ssd_1000/opencv_matchTemplate_SQDIFF")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Refinement)->Name("refine_1000/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenCvLucasKanade)
    ->Name("refine_1000/opencv_LK_level0_9x9")
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
