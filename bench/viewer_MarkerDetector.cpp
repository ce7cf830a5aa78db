// The marker detector on rendered 640 x 480 sheet frames beside an OpenCV
// quad finder (adaptive threshold, contours, four-corner polygon, sub-pixel
// corners) on the same frames: time per frame and RMS corner error in
// pixels (the detector also its mean outward corner error); plus the
// detector's construction time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "tests/common/MarkerScene.h"
#include "viewer/MarkerDetector.h"

namespace {

constexpr int kFrames = 8;

struct Frames {
  MarkerScene scene;
  CameraPose poses[kFrames];
  CVD::Image<unsigned char> images[kFrames];
  float truth[kFrames][8];
  std::vector<int32_t> templateBlob;

  Frames() {
    scene.JitteredFrames(5, kFrames, poses, images);
    for (int i = 0; i < kFrames; ++i) scene.TrueCorners(poses[i], truth[i]);
    // A template captured on the same frames.
    MarkerDetector capture(640, 480, &scene.K, nullptr, 0, &templateBlob);
    float out[8];
    for (int i = 0; i < 20; ++i) capture.Run(images[i % kFrames], poses[i % kFrames], out);
  }
};

const Frames& Shared() {
  static const Frames frames;
  return frames;
}

// Squared distance of each found corner to the nearest true corner, summed.
double CornerSquaredError(const float* found, const float* truth) {
  double sum = 0;
  for (int k = 0; k < 4; ++k) {
    double best = 1e30;
    for (int j = 0; j < 4; ++j) {
      const double dx = found[2 * k] - truth[2 * j], dy = found[2 * k + 1] - truth[2 * j + 1];
      best = std::min(best, dx * dx + dy * dy);
    }
    sum += best;
  }
  return sum;
}

// Components of the corner errors along the true centre-to-corner
// directions, summed: positive when the found sheet is too large.
double CornerOutwardError(const float* found, const float* truth) {
  double cx = 0, cy = 0, sum = 0;
  for (int k = 0; k < 4; ++k) cx += truth[2 * k] / 4, cy += truth[2 * k + 1] / 4;
  for (int k = 0; k < 4; ++k) {
    const double ox = truth[2 * k] - cx, oy = truth[2 * k + 1] - cy;
    sum += ((found[2 * k] - truth[2 * k]) * ox + (found[2 * k + 1] - truth[2 * k + 1]) * oy) /
           std::hypot(ox, oy);
  }
  return sum;
}

void Report(benchmark::State& state, double squared, int corners, int misses) {
  state.counters["rms_px"] = corners > 0 ? std::sqrt(squared / corners) : -1.0;
  state.counters["misses"] = misses;
}

void BM_MarkerDetectorRun(benchmark::State& state) {
  const Frames& f = Shared();
  const bool withTemplate = state.range(0) != 0;
  MarkerDetector detector(640, 480, &f.scene.K, withTemplate ? f.templateBlob.data() : nullptr,
                          f.templateBlob.size() * 4, nullptr);
  float out[8];
  for (int i = 0; i < 20; ++i) detector.Run(f.images[i % kFrames], f.poses[i % kFrames], out);
  double squared = 0, outward = 0;
  int corners = 0, misses = 0, i = 0;
  for (auto _ : state) {
    const int k = i++ % kFrames;
    if (detector.Run(f.images[k], f.poses[k], out)) {
      squared += CornerSquaredError(out, f.truth[k]);
      outward += CornerOutwardError(out, f.truth[k]);
      corners += 4;
    } else {
      ++misses;
    }
  }
  Report(state, squared, corners, misses);
  state.counters["outward_px"] = corners > 0 ? outward / corners : -1.0;
}
BENCHMARK(BM_MarkerDetectorRun)->ArgName("template")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_OpenCVQuadFinder(benchmark::State& state) {
  const Frames& f = Shared();
  cv::Mat binary;
  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Point> polygon;
  std::vector<cv::Point2f> quad;
  double squared = 0;
  int corners = 0, misses = 0, i = 0;
  for (auto _ : state) {
    const int k = i++ % kFrames;
    const CVD::Image<unsigned char>& image = f.images[k];
    const cv::Mat grey(image.size().y, image.size().x, CV_8UC1,
                       const_cast<unsigned char*>(image.data()));
    cv::adaptiveThreshold(grey, binary, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 51,
                          -10);
    cv::findContours(binary, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    double bestArea = 0;
    quad.clear();
    for (const auto& contour : contours) {
      const double area = cv::contourArea(contour);
      if (area < 2000 || area < bestArea) continue;
      cv::approxPolyDP(contour, polygon, 0.02 * cv::arcLength(contour, true), true);
      if (polygon.size() != 4 || !cv::isContourConvex(polygon)) continue;
      bestArea = area;
      quad.assign(polygon.begin(), polygon.end());
    }
    if (quad.size() != 4) {
      ++misses;
      continue;
    }
    cv::cornerSubPix(grey, quad, cv::Size(5, 5), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 20, 0.01));
    float found[8];
    for (int c = 0; c < 4; ++c) found[2 * c] = quad[c].x, found[2 * c + 1] = quad[c].y;
    squared += CornerSquaredError(found, f.truth[k]);
    corners += 4;
  }
  Report(state, squared, corners, misses);
}
BENCHMARK(BM_OpenCVQuadFinder)->Unit(benchmark::kMillisecond);

void BM_MarkerDetectorConstruction(benchmark::State& state) {
  const Frames& f = Shared();
  for (auto _ : state) {
    MarkerDetector detector(640, 480, &f.scene.K, nullptr, 0, nullptr);
    benchmark::DoNotOptimize(detector.rectifiedWidth);
  }
}
BENCHMARK(BM_MarkerDetectorConstruction)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
