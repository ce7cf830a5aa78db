// The tracker's frame input and driver at 640 x 480 on scripted stages: the
// input pyramid (copy + 3 half-samplings) beside OpenCV's pyrDown and
// area resize on the same image; the driver's time per frame; heap
// allocations per frame once the ring is full. A 200-frame run at the end
// prints the statistics text and the log lines it wrote.
#include <benchmark/benchmark.h>
#include <cvd/vision.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <opencv2/imgproc.hpp>

#include "bench/AllocationCounter.h"
#include "la/Random.h"
#include "tests/common/tracker/ScriptedStages.h"
#include "tracker/FrameRing.h"

namespace {

using bench::allocations;
using bench::counting;

constexpr int kWidth = 640, kHeight = 480;

CVD::Image<u8> TexturedImage() {
  Random::Seed(5);
  CVD::Image<u8> image(CVD::ImageRef(kWidth, kHeight));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      image[y][x] = static_cast<u8>(((x / 8 + y / 8) & 1) * 120 + (Random::Next() & 63));
  return image;
}

void BM_InputPyramid(benchmark::State& state) {
  const CVD::Image<u8> image = TexturedImage();
  CVD::Image<u8> levels[kPyramidLevels];
  for (auto _ : state) {
    BuildPyramid(image, levels);
    benchmark::DoNotOptimize(levels[3].data());
  }
}
BENCHMARK(BM_InputPyramid);

void BM_OpenCvPyrDown(benchmark::State& state) {
  const CVD::Image<u8> image = TexturedImage();
  const cv::Mat source(kHeight, kWidth, CV_8U, const_cast<u8*>(image.data()));
  cv::Mat levels[4];
  for (auto _ : state) {
    source.copyTo(levels[0]);
    for (int l = 1; l < 4; ++l) cv::pyrDown(levels[l - 1], levels[l]);
    benchmark::DoNotOptimize(levels[3].data);
  }
}
BENCHMARK(BM_OpenCvPyrDown);

void BM_OpenCvResizeArea(benchmark::State& state) {
  const CVD::Image<u8> image = TexturedImage();
  const cv::Mat source(kHeight, kWidth, CV_8U, const_cast<u8*>(image.data()));
  cv::Mat levels[4];
  for (auto _ : state) {
    source.copyTo(levels[0]);
    for (int l = 1; l < 4; ++l)
      cv::resize(levels[l - 1], levels[l], cv::Size(levels[l - 1].cols / 2, levels[l - 1].rows / 2),
                 0, 0, cv::INTER_AREA);
    benchmark::DoNotOptimize(levels[3].data);
  }
}
BENCHMARK(BM_OpenCvResizeArea);

// A tracking tracker over an empty map, fed the same image every frame.
struct DriverRun {
  GlobalMap map;
  Script script;
  ScriptedTracker tracker;
  CVD::Image<u8> image = TexturedImage();
  TrackerInput input;
  std::vector<IMUSample> samples;
  CameraPose pose{};
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  char text[256] = {};

  static Intrinsic K() {
    Intrinsic k;
    k.Set(500.0f, 500.0f, 319.5f, 239.5f);
    return k;
  }
  static TrackerOptions Options(const std::string& log) {
    TrackerOptions options;
    options.logFileName = log;
    options.startFrame = 0;
    return options;
  }
  DriverRun(const std::string& log, const Script& s)
      : map(kWidth, kHeight, K(), std::array<f64, 7>{0, 0, 0, 1, 0, 0, 0}.data()),
        script(s),
        tracker(&map, WorkerChannels{}, Options(log), script) {
    tracker.SetMarkerTemplateFile("");
    input.grey = image;
  }
  void Step() {
    const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
    input.time += 1.0 / 30.0;
    tracker.Run(input, samples, prior, pose, planes, objects, nullptr, nullptr, text, sizeof(text));
  }
};

void BM_DriverPerFrame(benchmark::State& state) {
  Script script;
  script.record = false;  // the log is test scaffolding, not the driver
  DriverRun run("", script);
  for (int i = 0; i < 40; ++i) run.Step();  // ring full, arrays grown
  long frames = 0;
  const long before = allocations.load();
  counting = true;
  for (auto _ : state) {
    run.Step();
    ++frames;
  }
  counting = false;
  state.counters["allocs/frame"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(frames);
}
BENCHMARK(BM_DriverPerFrame);

void BM_ScriptedRunOf200Frames(benchmark::State& state) {
  const std::string log = "/tmp/zevrion_tracker_bench.log";
  for (auto _ : state) {
    Script script;
    script.frames[100].parallax = 100.0f;  // one key frame mid-way
    DriverRun run(log, script);
    for (int i = 0; i < 200; ++i) run.Step();
    state.PauseTiming();
    std::printf("%s", run.text);
    state.ResumeTiming();
  }
  FILE* f = std::fopen(log.c_str(), "r");
  char line[256];
  int shown = 0;
  while (f != nullptr && std::fgets(line, sizeof(line), f) != nullptr)
    if (shown < 6 || std::strchr(line, '*') != nullptr) {
      std::printf("log: %s", line);
      ++shown;
    }
  if (f != nullptr) std::fclose(f);
  std::remove(log.c_str());
}
BENCHMARK(BM_ScriptedRunOf200Frames)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
