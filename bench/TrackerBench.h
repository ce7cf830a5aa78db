// What the tracker's matching benchmarks share: the timed loop of a row and
// an OpenCV view of a grey image for the Lucas-Kanade rows.
#pragma once

#include <benchmark/benchmark.h>
#include <cvd/image.h>

#include <chrono>
#include <opencv2/core.hpp>

namespace bench {

// Runs the loop of a row and returns its mean seconds per iteration.
template <class Body>
double TimeLoop(benchmark::State& state, Body body) {
  const auto start = std::chrono::steady_clock::now();
  long runs = 0;
  for (auto _ : state) {
    body();
    ++runs;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return runs > 0 ? elapsed.count() / static_cast<double>(runs) : 0.0;
}

// The image's pixels as an OpenCV matrix, without a copy.
inline cv::Mat CvView(const CVD::BasicImage<unsigned char>& image) {
  return cv::Mat(image.size().y, image.size().x, CV_8U, const_cast<unsigned char*>(image.data()),
                 image.row_stride());
}

}  // namespace bench
