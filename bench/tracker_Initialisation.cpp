// The map's two-view start on one seeded scene: InitializeMap (essential
// loop, relative pose at the initial baseline, points, the mid-way key frame
// and the points again) beside OpenCV's findEssentialMat (RANSAC),
// recoverPose and triangulatePoints on the same matches of the first key
// frame and the current frame, 20 % of which are outliers. The scene has the
// map's scale (the initial depth is the points' median depth, which makes the
// baseline 0.7), and OpenCV's unit translation is scaled to it.
// Rows print the rotation and translation-direction errors (degrees), the
// RMS and largest relative 3-D error of the true inliers given a point (%),
// and how many got one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>
#include <vector>

#include "bench/BenchUtil.h"
#include "tests/common/tracker/NewPointsScene.h"
#include "tracker/MapInitialisation.h"

namespace {

using namespace bench;

constexpr double kNoisePixels = 0.5;
constexpr double kOutlierShare = 0.2;
constexpr u16 kCurrent = 0;

// Key frame 0 at the origin, the mid-way key frame, and the current frame
// (the ring's only one) 0.7 away; the first 20 % of the current frame's
// matches are moved anywhere in the image.
struct InitScene {
  explicit InitScene(u32 n) : count(n) {
    truth = {NewPointsScene::Pose({0.0, 0.0, 0.0}), NewPointsScene::Pose({0.34, 0.03, 0.07}, -3.0),
             NewPointsScene::Pose(Eigen::Vector3d(0.62, 0.06, 0.31).normalized() * 0.7, -6.0)};
    scene.Build(NewPointsScene::RandomPoints(n, 31), {truth[0], truth[1]}, {truth[2]}, kNoisePixels,
                32);
    scene.unit.options.initialDepth = static_cast<f32>(scene.MedianDepth(truth[0]));
    outliers = static_cast<u32>(n * kOutlierShare);
    Random::Seed(33);
    std::vector<MapMatch>& matches = scene.unit.ring[kCurrent].mapMatches[0];
    for (u32 i = 0; i < outliers; ++i) {
      matches[i].nx = static_cast<float>(UniformD(-0.6, 0.6));
      matches[i].ny = static_cast<float>(UniformD(-0.45, 0.45));
    }
    for (u32 t = 0; t < n; ++t) {
      const MapMeasurement& x = scene.unit.map->measurements[t];  // key frame 0: feature t
      pixels1.emplace_back(float(kFocal * x.x + kCx), float(kFocal * x.y + kCy));
      pixels2.emplace_back(float(kFocal * matches[t].nx + kCx),
                           float(kFocal * matches[t].ny + kCy));
    }
    Save();
  }
  // What InitializeMap changes, kept to start every run from the same state.
  void Save() {
    const MapWorkingCopy& w = scene.Working();
    flags = w.trackFlags;
    points.Assign(w.points);
    keyFramePoses.Assign(w.keyFramePoses);
    keyFrameStates.Assign(w.keyFrameStates);
    frame = scene.unit.ring[kCurrent].mapMatches[0];
    framePose = scene.unit.ring[kCurrent].pose;
  }
  void Restore() {
    MapWorkingCopy& w = scene.Working();
    w.trackFlags = flags;
    w.points.Assign(points);
    w.keyFramePoses.Assign(keyFramePoses);
    w.keyFrameStates.Assign(keyFrameStates);
    scene.unit.ring[kCurrent].mapMatches[0] = frame;
    scene.unit.ring[kCurrent].pose = framePose;
  }

  u32 count, outliers = 0;
  NewPointsScene scene;
  std::vector<CameraPose> truth;
  std::vector<cv::Point2f> pixels1, pixels2;
  std::vector<u8> flags;
  AlignedArray<MapPoint> points;
  AlignedArray<CameraPose> keyFramePoses;
  AlignedArray<IMUState> keyFrameStates;
  std::vector<MapMatch> frame;
  FramePose framePose{};
};

InitScene& Scene(u32 n) {
  static InitScene* scenes[2] = {nullptr, nullptr};
  InitScene*& s = scenes[n > 300 ? 1 : 0];
  if (s == nullptr) s = new InitScene(n);
  return *s;
}

void ReportPose(benchmark::State& state, const Eigen::Matrix3d& R, const Eigen::Vector3d& t,
                const InitScene& s) {
  state.counters["rot_deg"] = RotationErrorDeg(R, ToEigen(s.truth[2]));
  state.counters["dir_deg"] = DirectionErrorDeg(t, TranslationOf(s.truth[2]));
}
// Relative errors of the true inliers that have a point (null: none).
void ReportPoints(benchmark::State& state, const InitScene& s,
                  const std::vector<const Eigen::Vector3d*>& estimate) {
  double sum = 0.0, worst = 0.0;
  u32 solved = 0;
  for (u32 t = s.outliers; t < s.count; ++t) {
    if (estimate[t] == nullptr) continue;
    const Eigen::Vector3d& X = s.scene.points[t];
    const double e = (*estimate[t] - X).norm() / X.norm();
    sum += e * e;
    worst = std::max(worst, e);
    ++solved;
  }
  state.counters["pt_rms_%"] = solved ? 100.0 * std::sqrt(sum / solved) : 100.0;
  state.counters["pt_max_%"] = 100.0 * worst;
  state.counters["solved"] = solved;
}

void InitializeMap_Ours(benchmark::State& state) {
  InitScene& s = Scene(static_cast<u32>(state.range(0)));
  TrackerContext context = s.scene.unit.Context();
  PoseEstimation pose(context);
  NewPoints newPoints(context);
  FrameMeasures measures(context);
  MapInitialisation init(context, pose, newPoints, measures, [](u16) { return 0; });
  bool ok = false;
  for (auto _ : state) {
    state.PauseTiming();
    s.Restore();
    Random::Seed(5);
    state.ResumeTiming();
    ok = init.InitializeMap(kCurrent).ok;
    benchmark::DoNotOptimize(ok);
  }
  const CameraPose& f = s.scene.unit.ring[kCurrent].pose.slot[kVisual];
  ReportPose(state, ToEigen(f), TranslationOf(f), s);
  std::vector<Eigen::Vector3d> X(s.count);
  std::vector<const Eigen::Vector3d*> estimate(s.count, nullptr);
  for (u32 t = 0; t < s.count; ++t) {
    if (!ok || !(s.scene.Flags(t) & kTrackInlier)) continue;
    X[t] = s.scene.Point(t);
    estimate[t] = &X[t];
  }
  ReportPoints(state, s, estimate);
  s.Restore();
}

void InitializeMap_OpenCV(benchmark::State& state) {
  InitScene& s = Scene(static_cast<u32>(state.range(0)));
  cv::Mat R, t, mask, X;
  std::vector<cv::Point2f> in1, in2;
  std::vector<int> kept;
  for (auto _ : state) {
    cv::setRNGSeed(5);
    const cv::Mat E = cv::findEssentialMat(s.pixels1, s.pixels2, CvK(), cv::RANSAC, 0.999,
                                           2.0 * kNoisePixels, mask);
    cv::recoverPose(E, s.pixels1, s.pixels2, CvK(), R, t, mask);
    in1.clear(), in2.clear(), kept.clear();
    for (int i = 0; i < mask.rows; ++i) {
      if (!mask.at<uchar>(i)) continue;
      in1.push_back(s.pixels1[i]), in2.push_back(s.pixels2[i]), kept.push_back(i);
    }
    cv::Mat P1 = cv::Mat::zeros(3, 4, CV_64F), P2(3, 4, CV_64F);
    CvK().copyTo(P1.colRange(0, 3));
    R.copyTo(P2.colRange(0, 3));
    t.copyTo(P2.col(3));
    P2 = CvK() * P2;
    cv::triangulatePoints(P1, P2, in1, in2, X);
    benchmark::DoNotOptimize(X.data);
  }
  const Eigen::Vector3d tE(t.at<double>(0), t.at<double>(1), t.at<double>(2));
  ReportPose(state, ToEigen(R), tE, s);
  // The map's scale: the baseline 0.7 (the first camera at the origin).
  std::vector<Eigen::Vector3d> points(s.count);
  std::vector<const Eigen::Vector3d*> estimate(s.count, nullptr);
  X.convertTo(X, CV_64F);
  for (size_t j = 0; j < kept.size(); ++j) {
    const double w = X.at<double>(3, static_cast<int>(j));
    points[kept[j]] =
        Eigen::Vector3d(X.at<double>(0, static_cast<int>(j)), X.at<double>(1, static_cast<int>(j)),
                        X.at<double>(2, static_cast<int>(j))) *
        (0.7 / w);
    estimate[kept[j]] = &points[kept[j]];
  }
  ReportPoints(state, s, estimate);
}

BENCHMARK(InitializeMap_Ours)->Arg(200)->Arg(500)->Unit(benchmark::kMillisecond);
BENCHMARK(InitializeMap_OpenCV)->Arg(200)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
