// Map-match search and refinement of 500 candidates (200 / 100 / 100 / 100
// per level) on rendered 640 x 480 frames of a wall, the frame the key frame
// moved by (5.3, -3.7) pixels, predictions off by up to 6 level-0 pixels:
// SearchMatchPatches (pass-1 radius 30 halved per level) + RefineMatches
// beside OpenCV's pyramidal Lucas-Kanade (21 x 21, 3 levels, pyramids built
// beforehand, initial flow from the same predictions), on one thread like
// the tracker and on OpenCV's threads. Both rows print the
// time and the share of the 500 within 1 pixel of the truth, in pixels of
// the candidate's level; ours also the heap allocations per run once warm.
// A third row compares the refinement's returned position (the last at which
// a cost was measured) with the position after its last update.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <opencv2/core/utility.hpp>
#include <opencv2/video/tracking.hpp>

#include "bench/AllocationCounter.h"
#include "bench/TrackerBench.h"
#include "common/Draws.h"
#include "features/PatchRefinement.h"
#include "tests/common/tracker/PatchSearchScene.h"
#include "tracker/PatchSearch.h"

namespace {

using bench::CvView;
using bench::TimeLoop;

using bench::allocations;
using bench::counting;

constexpr u32 kPerLevel[kPyramidLevels] = {200, 100, 100, 100};
constexpr float kRadius = 30.0f;          // level 0, halved per level
constexpr float kPredictionError = 6.0f;  // level-0 pixels, each axis
// Mean time per run of the two compared rows, for the target line.
double oursSeconds = 0.0, lucasKanadeSeconds[2] = {0.0, 0.0};  // one thread, OpenCV's threads

struct Problem {
  PatchSearchScene scene{640, 480};
  std::vector<ImageMatch> candidates[kPyramidLevels];
  std::vector<float> truth;                  // per track, level pixels
  std::vector<int> levelOf;                  // per track
  std::vector<cv::Point2f> from, predicted;  // level 0, for LK

  Problem() {
    scene.Render(5.3f, -3.7f);
    Random::Seed(11);
    for (int level = 0; level < kPyramidLevels; ++level) {
      float move[2];
      scene.LevelShift(level, move);
      const float w = static_cast<float>(640 >> level), h = static_cast<float>(480 >> level);
      const float margin = 12.0f / static_cast<float>(1 << level) + 8.0f;
      std::vector<CornerXY> usable;
      for (const CornerXY& c : scene.keyFrameCorners[level].corners)
        if (c.x + move[0] > margin && c.x + move[0] < w - margin && c.y + move[1] > margin &&
            c.y + move[1] < h - margin)
          usable.push_back(c);
      const float scale = static_cast<float>(1 << level), half = 0.5f * (scale - 1.0f);
      if (usable.empty()) std::abort();  // the scene has corners on every level
      for (u32 i = 0; i < kPerLevel[level]; ++i) {
        // Spread over the corners; repeated where a level has fewer.
        const CornerXY c = usable[i * usable.size() / kPerLevel[level]];
        const float tx = c.x + move[0], ty = c.y + move[1];
        const float px = tx + Uniform(-kPredictionError, kPredictionError) / scale;
        const float py = ty + Uniform(-kPredictionError, kPredictionError) / scale;
        candidates[level].push_back(scene.AddTrack(level, c.x, c.y, move, px, py));
        truth.insert(truth.end(), {tx, ty});
        levelOf.push_back(level);
        from.emplace_back(c.x * scale + half, c.y * scale + half);
        predicted.emplace_back(px * scale + half, py * scale + half);
      }
    }
  }
  // Error of a position of track t, in pixels of its level.
  float Error(u32 t, float x, float y) const {
    return std::hypot(x - truth[2 * t], y - truth[2 * t + 1]);
  }
};

Problem& TheProblem() {
  static Problem problem;
  return problem;
}

// One frame's work: the four levels searched, their matches refined.
void SearchAndRefine(Problem& p, PatchSearch& search, std::vector<ImageMatch>& selected) {
  TrackerFrame& f = p.scene.frame();
  // A new frame warps every template anew.
  for (FeaturePatch& patch : p.scene.parts.view.Patches()) patch.corners[0][0] = -1e6f;
  for (int level = 0; level < kPyramidLevels; ++level) {
    f.candidates[level].clear();
    f.misses[level].clear();
    selected = p.candidates[level];
    search.SearchMatchPatches(0, level, selected, kRadius / static_cast<float>(1 << level));
    f.mapMatches[level] = search.Found();
  }
  search.RefineMatches(0);
}

void Ours(benchmark::State& state) {
  Problem& p = TheProblem();
  PatchSearch search(p.scene.parts.Context());
  std::vector<ImageMatch> selected;
  for (int i = 0; i < 3; ++i) SearchAndRefine(p, search, selected);  // warm
  const long before = allocations.load();
  counting = true;
  oursSeconds = TimeLoop(state, [&] { SearchAndRefine(p, search, selected); });
  counting = false;
  u32 within = 0, found = 0;
  for (const auto& list : p.scene.frame().mapMatches)
    for (const MapMatch& m : list) {
      ++found;
      within += p.Error(m.track, m.x, m.y) < 1.0f ? 1 : 0;
    }
  state.counters["within_1px"] = static_cast<double>(within) / p.levelOf.size();
  state.counters["matched"] = static_cast<double>(found) / p.levelOf.size();
  state.counters["allocs/run"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
}

void OpenCvLucasKanade(benchmark::State& state) {
  Problem& p = TheProblem();
  const cv::Size window(21, 21);
  std::vector<cv::Mat> keyPyramid, framePyramid;
  cv::buildOpticalFlowPyramid(CvView(p.scene.keyFramePyramid()[0]), keyPyramid, window, 2);
  cv::buildOpticalFlowPyramid(CvView(p.scene.frame().pyramid[0]), framePyramid, window, 2);
  // Arg 0: on one thread, as the tracker runs; arg 1: on OpenCV's threads.
  const int threads = cv::getNumThreads();
  if (state.range(0) == 0) cv::setNumThreads(1);
  std::vector<cv::Point2f> to;
  std::vector<uchar> status;
  std::vector<float> error;
  const cv::TermCriteria stop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01);
  lucasKanadeSeconds[state.range(0)] = TimeLoop(state, [&] {
    to = p.predicted;
    cv::calcOpticalFlowPyrLK(keyPyramid, framePyramid, p.from, to, status, error, window, 2, stop,
                             cv::OPTFLOW_USE_INITIAL_FLOW);
    benchmark::DoNotOptimize(to.data());
  });
  cv::setNumThreads(threads);
  u32 within = 0, tracked = 0;
  for (u32 t = 0; t < to.size(); ++t) {
    if (!status[t]) continue;
    ++tracked;
    const float scale = static_cast<float>(1 << p.levelOf[t]), half = 0.5f * (scale - 1.0f);
    within += p.Error(t, (to[t].x - half) / scale, (to[t].y - half) / scale) < 1.0f ? 1 : 0;
  }
  state.counters["within_1px"] = static_cast<double>(within) / to.size();
  state.counters["matched"] = static_cast<double>(tracked) / to.size();
}

// The refinement as built, but returning the position after its last update.
void RefineToLastUpdate(const u8 bytes[64], const CVD::BasicImage<u8>& img, float p[2]) {
  float T[160], S[160];
  PatchBytesToFloat(T, bytes);
  const float *gx = T + 64, *gy = T + 112;
  float h[6] = {0, 0, 0, 0, 0, 36.0f};  // h00 h01 h02 h11 h12 h22
  for (int i = 0; i < 48; ++i) {
    h[0] += gx[i] * gx[i] / 4, h[1] += gx[i] * gy[i] / 4, h[2] += gx[i] / 2;
    h[3] += gy[i] * gy[i] / 4, h[4] += gy[i] / 2;
  }
  const float c00 = h[3] * h[5] - h[4] * h[4], c01 = h[2] * h[4] - h[1] * h[5];
  const float c02 = h[1] * h[4] - h[2] * h[3], c11 = h[0] * h[5] - h[2] * h[2];
  const float c12 = h[1] * h[2] - h[0] * h[4], c22 = h[0] * h[3] - h[1] * h[1];
  const float det = h[0] * c00 + h[1] * c01 + h[2] * c02;
  if (det == 0.0f) return;
  const float w = img.size().x, hh = img.size().y;
  float c = 0;
  for (int i = 0; i < 10 && SamplePatchBilinear(S, img, p); ++i) {
    float sx = 0, sy = 0, se = 0;
    for (int r = 1; r <= 6; ++r)
      for (int k = 1; k <= 6; ++k) {
        const int g = 8 * (r - 1) + k;
        const float e = T[8 * r + k] - S[8 * r + k] + c;
        sx += e * gx[g], sy += e * gy[g], se += e;
      }
    const float bx = -sx / 2, by = -sy / 2, bc = -se;
    const float dx = (c00 * bx + c01 * by + c02 * bc) / det;
    const float dy = (c01 * bx + c11 * by + c12 * bc) / det;
    c += (c02 * bx + c12 * by + c22 * bc) / det;
    if (std::fabs(c) > 50.0f) break;
    p[0] -= dx, p[1] -= dy;
    if (!(4.0f < p[0] && p[0] + 4.0f < w && 4.0f < p[1] && p[1] + 4.0f < hh)) break;
    if (dx * dx + dy * dy < 0.0025f) break;
  }
}

// From the search's corners: the mean error and the share within a quarter
// pixel of the returned position (arg 0) and of the last update (arg 1).
void RefinementEndPoint(benchmark::State& state) {
  Problem& p = TheProblem();
  PatchSearch search(p.scene.parts.Context());
  std::vector<ImageMatch> selected;
  SearchAndRefine(p, search, selected);
  std::vector<MapMatch> starts[kPyramidLevels];
  for (int level = 0; level < kPyramidLevels; ++level) {
    selected = p.candidates[level];
    search.SearchMatchPatches(0, level, selected, kRadius / static_cast<float>(1 << level));
    starts[level] = search.Found();
  }
  float T[160], S[160];
  double sum = 0;
  u32 n = 0, close = 0;
  for (auto _ : state) {
    sum = 0, n = close = 0;
    for (int level = 0; level < kPyramidLevels; ++level)
      for (const MapMatch& m : starts[level]) {
        float q[2] = {m.x, m.y};
        const u8* bytes = p.scene.parts.view.Patches()[m.patch].pixels;
        if (state.range(0) == 0)
          RefinePatchPosition(bytes, p.scene.frame().pyramid[level], q, T, S);
        else
          RefineToLastUpdate(bytes, p.scene.frame().pyramid[level], q);
        const float e = p.Error(m.track, q[0], q[1]);
        if (e > 1.0f) continue;  // a wrong corner: neither end point helps
        sum += e, ++n, close += e < 0.25f ? 1 : 0;
      }
  }
  state.counters["mean_err_px"] = sum / n;
  state.counters["within_0.25px"] = static_cast<double>(close) / n;
}

}  // namespace

BENCHMARK(Ours)->Name("search_refine_500/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenCvLucasKanade)
    ->Name("search_refine_500/opencv_LK_21x21_3_levels_1_thread")
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenCvLucasKanade)
    ->Name("search_refine_500/opencv_LK_21x21_3_levels_opencv_threads")
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(RefinementEndPoint)
    ->Name("refinement_end_point/returned_last_measured")
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(RefinementEndPoint)
    ->Name("refinement_end_point/after_last_update")
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const char* against[2] = {"on one thread", "on OpenCV's threads"};
  for (int i = 0; i < 2; ++i) {
    if (oursSeconds <= 0.0 || lucasKanadeSeconds[i] <= 0.0) continue;
    const double speedUp = lucasKanadeSeconds[i] / oursSeconds;
    std::printf("target: search + refinement at least 2x faster than LK %s: %.2fx, %s\n",
                against[i], speedUp, speedUp >= 2.0 ? "met" : "not met");
  }
  return 0;
}
