// The tracker's display on the fixed display scene (640 x 480, a colour
// frame, two key frames, one plane and a cube) under Xvfb, where GL is
// software: the figures compare rows of the same run, not machines.
//
//   UpdateDisplay   one display update per frame with every overlay on
//                   (corners, features, crosses, all match overlays), a new
//                   frame number each time so that the image is uploaded as
//                   in a run; beside it cv::imshow of the same frame with the
//                   same marks drawn by cv::circle and cv::line.
//   RecordFrame     the window read back and saved as PNG; beside it
//                   cv::imwrite of the same image.
//   Run             Tracker::Run on scripted stages with view off and with
//                   view on: view off must cost nothing.
// Accuracy: the share of the frame's matches whose cross (or circle) lies on
// its pixel in the drawn image; for the files, the share of pixels that read
// back equal.
// Target: drawing no slower than the OpenCV row.
//   xvfb-run -a ./build/bench/bench_tracker_Display
#include <GL/gl.h>
#include <benchmark/benchmark.h>
#include <cvd/image_io.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench/AllocationCounter.h"
#include "tests/common/tracker/DisplayScene.h"
#include "tests/common/tracker/ScriptedStages.h"

namespace {

using bench::allocations;
using bench::counting;
using display_scene::Scene;
constexpr int kWidth = display_scene::kWidth, kHeight = display_scene::kHeight;
constexpr u16 kKeyFrames = 2;

// Level-0 pixel of each match of the current frame (all levels), inside the image.
std::vector<cv::Point> MatchPixels(Scene& scene) {
  std::vector<cv::Point> pixels;
  const Intrinsic& k = scene.Camera().intrinsic[0];
  for (const auto& list : scene.Frame(2).mapMatches)
    for (const MapMatch& m : list) {
      const int x = static_cast<int>(std::lround(m.nx * k.fx[0] + k.cx[0]));
      const int y = static_cast<int>(std::lround(m.ny * k.fy[0] + k.cy[0]));
      if (x >= 8 && y >= 48 && x < kWidth - 8 && y < kHeight - 8) pixels.push_back({x, y});
    }
  return pixels;
}

// Share of the points whose mark (three pixels right or left of the centre)
// has the colour; rgb rows top first.
double MarksOk(const std::vector<cv::Point>& points, const u8* rgb, const u8 colour[3]) {
  int ok = 0;
  for (const cv::Point& p : points) {
    bool hit = false;
    for (const int dx : {-3, 3}) {
      const u8* q = rgb + 3 * ((p.y) * kWidth + p.x + dx);
      hit = hit || (q[0] == colour[0] && q[1] == colour[1] && q[2] == colour[2]);
    }
    ok += hit;
  }
  return points.empty() ? 0.0 : static_cast<double>(ok) / points.size();
}

std::vector<u8> ReadBack() {
  std::vector<u8> raw(3 * kWidth * kHeight), rgb(raw.size());
  glFinish();
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, kWidth, kHeight, GL_RGB, GL_UNSIGNED_BYTE, raw.data());
  for (int y = 0; y < kHeight; ++y)
    std::copy_n(&raw[3 * (kHeight - 1 - y) * kWidth], 3 * kWidth, &rgb[3 * y * kWidth]);
  return rgb;
}

// The scene's current frame in OpenCV's colour order.
cv::Mat FrameBgr(Scene& scene) {
  const CVD::Image<CVD::Rgb<u8>>& c = scene.Frame(2).colour;
  cv::Mat rgb(kHeight, kWidth, CV_8UC3, const_cast<CVD::Rgb<u8>*>(c.data())), bgr;
  cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
  return bgr;
}

void BM_UpdateDisplay(benchmark::State& state) {
  Scene scene(true);
  if (!scene.tracker.HasWindow()) {
    state.SkipWithError("no window (run under xvfb-run)");
    return;
  }
  TrackerDisplay& d = scene.tracker.Display();
  d.SetSetting(kCornerMode, 1);
  d.SetSetting(kOverlayMode, 1);
  d.SetCurrentFrame(kKeyFrames + 2);
  TrackerFrame& f = scene.Frame(2);
  for (int i = 0; i < 5; ++i, ++f.number) d.UpdateDisplay(true);
  long frames = 0;
  const long before = allocations.load();
  counting = true;
  for (auto _ : state) {
    ++f.number;  // a new frame: its image is uploaded
    d.UpdateDisplay(true);
    glFinish();
    ++frames;
  }
  counting = false;
  scene.tracker.MakeCurrent();
  d.DrawScene();
  const u8 green[3] = {0, 255, 0};
  state.counters["marks_ok"] = MarksOk(MatchPixels(scene), ReadBack().data(), green);
  state.counters["allocs/frame"] = static_cast<double>(allocations.load() - before) / frames;
}
BENCHMARK(BM_UpdateDisplay)->Unit(benchmark::kMillisecond);

void BM_OpenCvImshow(benchmark::State& state) {
  if (std::getenv("DISPLAY") == nullptr) {
    state.SkipWithError("no display (run under xvfb-run)");
    return;
  }
  Scene scene;
  const cv::Mat frame = FrameBgr(scene);
  const std::vector<cv::Point> matches = MatchPixels(scene);
  // The same marks as the display: corners, features, crosses and match overlays.
  std::vector<cv::Point> corners, features;
  const TrackerFrame& f = scene.Frame(2);
  for (int l = 0; l < kPyramidLevels; ++l)
    for (const CornerXY& c : f.corners[l].corners)
      corners.push_back({(c.x << l) + (1 << l) / 2, (c.y << l) + (1 << l) / 2});
  for (const MapMatch& m : f.mapMatches[0]) features.push_back({int(m.px), int(m.py)});
  cv::Mat canvas;
  cv::namedWindow("display", cv::WINDOW_AUTOSIZE);
  for (auto _ : state) {
    frame.copyTo(canvas);
    for (const cv::Point& p : corners) cv::circle(canvas, p, 0, cv::Scalar(255, 0, 255), -1);
    for (const cv::Point& p : features) cv::circle(canvas, p, 1, cv::Scalar(255, 0, 0), -1);
    for (const cv::Point& p : matches) {
      cv::circle(canvas, p + cv::Point(0, 1), 1, cv::Scalar(0, 255, 255), -1);
      cv::line(canvas, p - cv::Point(5, 0), p + cv::Point(5, 0), cv::Scalar(0, 255, 0));
      cv::line(canvas, p - cv::Point(0, 5), p + cv::Point(0, 5), cv::Scalar(0, 255, 0));
    }
    cv::putText(canvas, "FPS 0.00", {15, 33}, cv::FONT_HERSHEY_SIMPLEX, 0.6, {0, 255, 0});
    cv::imshow("display", canvas);
    cv::waitKey(1);
  }
  cv::Mat rgb;
  cv::cvtColor(canvas, rgb, cv::COLOR_BGR2RGB);
  const u8 green[3] = {0, 255, 0};
  state.counters["marks_ok"] = MarksOk(matches, rgb.data, green);
  cv::destroyAllWindows();
}
BENCHMARK(BM_OpenCvImshow)->Unit(benchmark::kMillisecond);

std::string BenchFile(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("zevrion-display-") + std::to_string(::getpid()) + name))
      .string();
}

// Share of equal pixels between a saved file and an RGB image.
double SameShare(const cv::Mat& saved, const cv::Mat& rgb) {
  if (saved.size() != rgb.size() || saved.type() != rgb.type()) return 0.0;
  cv::Mat diff;
  cv::compare(saved.reshape(1), rgb.reshape(1), diff, cv::CMP_EQ);
  return static_cast<double>(cv::countNonZero(diff)) / diff.total();
}

void BM_RecordFrame(benchmark::State& state) {
  Scene scene(true);
  if (!scene.tracker.HasWindow()) {
    state.SkipWithError("no window (run under xvfb-run)");
    return;
  }
  TrackerDisplay& d = scene.tracker.Display();
  d.SetCurrentFrame(kKeyFrames + 2);
  d.UpdateDisplay(true);
  const std::string prefix = BenchFile("-0000.png");
  for (auto _ : state) d.RecordFrame(prefix, 0);
  // What was drawn for the file, against what the file holds.
  scene.tracker.MakeCurrent();
  const u32 kept[2] = {d.Setting(kDisplayMode), d.Setting(kTrackFilter)};
  d.SetSetting(kDisplayMode, 0);
  d.SetSetting(kTrackFilter, 0);
  d.DrawScene();
  std::vector<u8> drawn = ReadBack();
  d.SetSetting(kDisplayMode, kept[0]);
  d.SetSetting(kTrackFilter, kept[1]);
  cv::Mat saved = cv::imread(BenchFile("-0000.png"), cv::IMREAD_COLOR);
  if (!saved.empty()) cv::cvtColor(saved, saved, cv::COLOR_BGR2RGB);
  state.counters["same"] = SameShare(saved, cv::Mat(kHeight, kWidth, CV_8UC3, drawn.data()));
  std::remove(BenchFile("-0000.png").c_str());
}
BENCHMARK(BM_RecordFrame)->Unit(benchmark::kMillisecond);

void BM_OpenCvImwrite(benchmark::State& state) {
  Scene scene;
  const cv::Mat frame = FrameBgr(scene);
  const std::string name = BenchFile("-cv.png");
  for (auto _ : state) cv::imwrite(name, frame);
  const cv::Mat saved = cv::imread(name, cv::IMREAD_COLOR);
  state.counters["same"] = SameShare(saved, frame);
  std::remove(name.c_str());
}
BENCHMARK(BM_OpenCvImwrite)->Unit(benchmark::kMillisecond);

// Tracker::Run on scripted stages over an empty map, the same image every
// frame, with the display off or on.
void BM_Run(benchmark::State& state) {
  const bool view = state.range(0) != 0;
  Intrinsic k;
  k.Set(500.0f, 500.0f, 319.5f, 239.5f);
  const f64 mounting[7] = {0, 0, 0, 1, 0, 0, 0};
  GlobalMap map(kWidth, kHeight, k, mounting);
  Script script;
  script.record = false;
  TrackerOptions options;
  options.startFrame = 0;
  options.view = view;
  ScriptedTracker tracker(&map, WorkerChannels{}, options, script);
  if (view && !tracker.HasWindow()) {
    state.SkipWithError("no window (run under xvfb-run)");
    return;
  }
  tracker.SetMarkerTemplateFile("");
  CVD::Image<u8> image(CVD::ImageRef(kWidth, kHeight));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) image[y][x] = display_scene::FrameGrey(0, x, y);
  TrackerInput input;
  input.grey = image;
  std::vector<IMUSample> samples;
  CameraPose pose{};
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  char text[256];
  const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
  const auto step = [&] {
    input.time += 1.0 / 30.0;
    tracker.Run(input, samples, prior, pose, planes, objects, nullptr, nullptr, text, sizeof(text));
  };
  for (int i = 0; i < 40; ++i) step();  // ring full, arrays grown
  long frames = 0;
  const long before = allocations.load();
  counting = true;
  for (auto _ : state) {
    step();
    ++frames;
  }
  counting = false;
  state.counters["allocs/frame"] = static_cast<double>(allocations.load() - before) / frames;
}
BENCHMARK(BM_Run)->ArgNames({"view"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
