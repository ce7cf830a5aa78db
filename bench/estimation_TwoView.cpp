// Two-view estimation beside OpenCV on the same seeded scenes: the five-point
// minimal solve, the essential loop with relative pose, the fundamental loop
// and the homography loop. Each row reports time per call and accuracy:
// e_dist (distance of the nearest candidate to the true E, both normalised),
// rot_deg and dir_deg (rotation and translation-direction errors), epi_rms
// (RMS point-to-epipolar-line distance over the true inliers, pixels),
// corner_px (mean transfer error of the four image corners, pixels) and
// recall (share of true inliers kept).
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <vector>

#include "bench/BenchUtil.h"
#include "estimation/EssentialMatrixEstimator.h"
#include "estimation/FundamentalMatrixEstimator.h"
#include "estimation/HomographyEstimator.h"

namespace {
using namespace bench;

constexpr double kNoisePixels = 0.5;

Eigen::Matrix3d Skew(const Eigen::Vector3d& t) {
  Eigen::Matrix3d S;
  S << 0, -t.z(), t.y(), t.z(), 0, -t.x(), -t.y(), t.x(), 0;
  return S;
}
Eigen::Matrix3d Intrinsics() {
  Eigen::Matrix3d K;
  K << kFocal, 0, kCx, 0, kFocal, kCy, 0, 0, 1;
  return K;
}
double MatrixDistance(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  const Eigen::Matrix3d an = a / a.norm(), bn = b / b.norm();
  return std::min((an - bn).norm(), (an + bn).norm());
}
// Matches in normalised coordinates (x1, y1, x2, y2) and in pixels.
struct TwoView {
  Eigen::Matrix3d R, H;  // H: pixel homography of the plane scenes
  Eigen::Vector3d t;
  std::vector<Eigen::Vector4d> normalised;
  std::vector<cv::Point2f> pixels1, pixels2;
  int outliers = 0;
  Eigen::Matrix3d E() const { return Skew(t) * R; }
  Eigen::Matrix3d F() const {
    const Eigen::Matrix3d Ki = Intrinsics().inverse();
    return Ki.transpose() * E() * Ki;
  }
};

void AddMatch(TwoView& s, const Eigen::Vector3d& X1, const Eigen::Vector3d& X2, bool noisy) {
  const double n = noisy ? kNoisePixels / kFocal : 0.0;
  const Eigen::Vector4d m(X1.x() / X1.z() + n * GaussianD(), X1.y() / X1.z() + n * GaussianD(),
                          X2.x() / X2.z() + n * GaussianD(), X2.y() / X2.z() + n * GaussianD());
  s.normalised.push_back(m);
}

void FinishScene(TwoView& s, int outlierPercent) {
  s.outliers = static_cast<int>(s.normalised.size()) * outlierPercent / 100;
  for (int i = 0; i < s.outliers; ++i)
    s.normalised[i] = Eigen::Vector4d(UniformD(-0.6, 0.6), UniformD(-0.45, 0.45),
                                      UniformD(-0.6, 0.6), UniformD(-0.45, 0.45));
  for (const Eigen::Vector4d& m : s.normalised) {
    s.pixels1.emplace_back(float(kFocal * m(0) + kCx), float(kFocal * m(1) + kCy));
    s.pixels2.emplace_back(float(kFocal * m(2) + kCx), float(kFocal * m(3) + kCy));
  }
}

// General scene: points at depths 2..8 seen by both cameras.
const TwoView& GeneralScene(int n, int outlierPercent, bool noisy = true, int variant = 0) {
  static std::map<std::vector<int>, TwoView> scenes;
  TwoView& s = scenes[{n, outlierPercent, noisy, variant}];
  if (!s.normalised.empty()) return s;
  Random::Seed(7000 + n * 7 + outlierPercent * 13 + variant * 101);
  s.R = RandomRotationD(0.3);
  s.t = Eigen::Vector3d(GaussianD(), GaussianD(), 0.5 * GaussianD()).normalized();
  while (static_cast<int>(s.normalised.size()) < n) {
    const double z = UniformD(2.0, 8.0);
    const Eigen::Vector3d X(UniformD(-0.6, 0.6) * z, UniformD(-0.45, 0.45) * z, z);
    const Eigen::Vector3d X2 = s.R * X + s.t;
    if (X2.z() < 1.0 || std::abs(X2.x()) > 0.6 * X2.z() || std::abs(X2.y()) > 0.45 * X2.z())
      continue;
    AddMatch(s, X, X2, noisy);
  }
  FinishScene(s, outlierPercent);
  return s;
}

// Plane scene: points of one plane, pixel homography in H.
const TwoView& PlaneScene(int n, int outlierPercent) {
  static std::map<std::pair<int, int>, TwoView> scenes;
  TwoView& s = scenes[{n, outlierPercent}];
  if (!s.normalised.empty()) return s;
  Random::Seed(9000 + n + outlierPercent);
  s.R = RandomRotationD(0.2);
  s.t = Eigen::Vector3d(0.5, 0.1, 0.1);
  const Eigen::Vector3d normal = Eigen::Vector3d(0.2, -0.1, 1.0).normalized();
  const double d = 4.0;
  s.H = Intrinsics() * (s.R + s.t * normal.transpose() / d) * Intrinsics().inverse();
  while (static_cast<int>(s.normalised.size()) < n) {
    const Eigen::Vector3d ray(UniformD(-0.6, 0.6), UniformD(-0.45, 0.45), 1.0);
    const Eigen::Vector3d X = ray * (d / normal.dot(ray));
    const Eigen::Vector3d X2 = s.R * X + s.t;
    if (X2.z() < 1.0) continue;
    AddMatch(s, X, X2, true);
  }
  FinishScene(s, outlierPercent);
  return s;
}

template <class Set>
void FillSet(const TwoView& s, bool pixels, Set& set) {
  set.Resize(static_cast<u16>(s.normalised.size()));
  for (u32 i = 0; i < s.normalised.size(); ++i) {
    if (pixels) {
      set.SetMatch(i, s.pixels1[i].x, s.pixels1[i].y, s.pixels2[i].x, s.pixels2[i].y);
    } else {
      const Eigen::Vector4d& m = s.normalised[i];
      set.SetMatch(i, float(m(0)), float(m(1)), float(m(2)), float(m(3)));
    }
  }
}

// RMS distance of the true inliers from their epipolar lines (both images).
double EpipolarRms(const TwoView& s, const Eigen::Matrix3d& F) {
  double sum = 0.0;
  int count = 0;
  for (size_t i = s.outliers; i < s.pixels1.size(); ++i) {
    const Eigen::Vector3d p(s.pixels1[i].x, s.pixels1[i].y, 1),
        q(s.pixels2[i].x, s.pixels2[i].y, 1);
    const Eigen::Vector3d l = F * p, m = F.transpose() * q;
    const double e = q.dot(l);
    sum += e * e / l.head<2>().squaredNorm() + e * e / m.head<2>().squaredNorm();
    count += 2;
  }
  return std::sqrt(sum / count);
}

double CornerError(const Eigen::Matrix3d& H, const Eigen::Matrix3d& truth) {
  double sum = 0.0;
  for (const auto& c : {Eigen::Vector3d(0, 0, 1), Eigen::Vector3d(640, 0, 1),
                        Eigen::Vector3d(0, 480, 1), Eigen::Vector3d(640, 480, 1)}) {
    const Eigen::Vector3d a = H * c, b = truth * c;
    sum += (a.hnormalized() - b.hnormalized()).norm();
  }
  return sum / 4.0;
}

template <class List>
double Recall(const TwoView& s, const List& inliers) {
  return bench::Recall(inliers, s.outliers, int(s.normalised.size()));
}

// ---- Five-point minimal solve ----

constexpr int kFiveConfigs = 64;

// Noise-free five-match scenes and their essential matrices.
const std::vector<const TwoView*>& FiveScenes(std::vector<Eigen::Matrix3d>& truths) {
  static std::vector<const TwoView*> scenes;
  for (int k = int(scenes.size()); k < kFiveConfigs; ++k)
    scenes.push_back(&GeneralScene(5, 0, false, k));
  for (const TwoView* s : scenes) truths.push_back(s->E());
  return scenes;
}

void FivePoint_Ours(benchmark::State& state) {
  std::vector<FiveMatches2D> samples(kFiveConfigs);
  std::vector<Eigen::Matrix3d> truths;
  const std::vector<const TwoView*>& scenes = FiveScenes(truths);
  for (int k = 0; k < kFiveConfigs; ++k) {
    const TwoView& s = *scenes[k];
    for (int i = 0; i < 4; ++i) {
      samples[k].x1[i] = float(s.normalised[i](0));
      samples[k].y1[i] = float(s.normalised[i](1));
      samples[k].x2[i] = float(s.normalised[i](2));
      samples[k].y2[i] = float(s.normalised[i](3));
    }
    for (int c = 0; c < 4; ++c) samples[k].fifth[c] = float(s.normalised[4](c));
  }
  EssentialMatrixEstimator estimator(1.0f);
  AlignedArray<EssentialMatrix> models;
  double dist = 0.0;
  int k = 0, solved = 0, missed = 0;
  for (auto _ : state) {
    estimator.SolveMinimal(samples[k], models);
    benchmark::DoNotOptimize(models.Data());
    double best = 1.0;
    for (const EssentialMatrix& E : models)
      best = std::min(best, MatrixDistance(ToEigen(E), truths[k]));
    dist += best;
    missed += best > 1e-3 ? 1 : 0;
    ++solved;
    k = (k + 1) % kFiveConfigs;
  }
  state.counters["e_dist"] = dist / std::max(solved, 1);
  state.counters["missed"] = double(missed) / std::max(solved, 1);
}

void FivePoint_OpenCV(benchmark::State& state) {
  std::vector<Eigen::Matrix3d> truths;
  const std::vector<const TwoView*>& scenes = FiveScenes(truths);
  double dist = 0.0;
  int k = 0, solved = 0;
  for (auto _ : state) {
    const cv::Mat E =
        cv::findEssentialMat(scenes[k]->pixels1, scenes[k]->pixels2, CvK(), cv::RANSAC, 0.999, 1.0);
    double best = 1.0;
    for (int b = 0; b < E.rows / 3; ++b)
      best = std::min(best, MatrixDistance(ToEigen(E, b), truths[k]));
    dist += best;
    ++solved;
    k = (k + 1) % kFiveConfigs;
  }
  state.counters["e_dist"] = dist / std::max(solved, 1);
}

BENCHMARK(FivePoint_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(FivePoint_OpenCV)->Unit(benchmark::kMicrosecond);

// ---- Essential loop and relative pose ----

void Essential_Ours(benchmark::State& state) {
  const TwoView& s = GeneralScene(int(state.range(0)), int(state.range(1)));
  EssentialMatrixEstimatorData data;
  FillSet(s, false, data);
  // 16 times the noise variance, in normalised units.
  EssentialMatrixEstimator estimator(float(16.0 * kNoisePixels * kNoisePixels / (kFocal * kFocal)));
  estimator.minInFrontRatio = 0.5f;
  EssentialMatrix E{};
  std::vector<u16> inliers;
  RigidTransformation3D pose{};
  alignas(16) float scratch[4 * 38];
  bool ok = false;
  for (auto _ : state) {
    Random::Seed(5);
    estimator.RunLoRansac(data, E, inliers);
    const float ratio = 0.5f;
    ok = EssentialMatrix::ToRelativePose(E, data, pose, ratio, scratch);
    benchmark::DoNotOptimize(pose);
  }
  Eigen::Vector3d t(pose.m[0][3], pose.m[1][3], pose.m[2][3]);
  state.counters["rot_deg"] = ok ? RotationErrorDeg(ToEigen(pose), s.R) : 180.0;
  state.counters["dir_deg"] = ok ? DirectionErrorDeg(t, s.t) : 180.0;
  state.counters["recall"] = Recall(s, inliers);
}

void Essential_OpenCV(benchmark::State& state) {
  const TwoView& s = GeneralScene(int(state.range(0)), int(state.range(1)));
  cv::Mat R, t, mask;
  for (auto _ : state) {
    cv::setRNGSeed(5);
    const cv::Mat E = cv::findEssentialMat(s.pixels1, s.pixels2, CvK(), cv::RANSAC, 0.999,
                                           2.0 * kNoisePixels, mask);
    cv::recoverPose(E, s.pixels1, s.pixels2, CvK(), R, t, mask);
    benchmark::DoNotOptimize(R.data);
  }
  const std::vector<int> inliers = MaskToList(mask);
  state.counters["rot_deg"] = RotationErrorDeg(ToEigen(R), s.R);
  state.counters["dir_deg"] =
      DirectionErrorDeg(Eigen::Vector3d(t.at<double>(0), t.at<double>(1), t.at<double>(2)), s.t);
  state.counters["recall"] = Recall(s, inliers);
}

BENCHMARK(Essential_Ours)
    ->ArgsProduct({{200, 1000, 5000}, {10, 30}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Essential_OpenCV)
    ->ArgsProduct({{200, 1000, 5000}, {10, 30}})
    ->Unit(benchmark::kMillisecond);

// ---- Fundamental loop (general scene) and homography loop (plane scene) ----

template <class List>
void Report(benchmark::State& state, const TwoView& s, bool plane, const Eigen::Matrix3d& M,
            const List& inliers, bool found = true) {
  if (plane)
    state.counters["corner_px"] = found ? CornerError(M, s.H) : -1.0;
  else
    state.counters["epi_rms"] = found ? EpipolarRms(s, M) : -1.0;
  state.counters["recall"] = Recall(s, inliers);
}

// The tracker's settings: 16 times the pixel variance, 300 and 20 iterations.
template <class Data, class Estimator, class Model>
void LoopOurs(benchmark::State& state, bool plane) {
  const int n = int(state.range(0)), o = int(state.range(1));
  const TwoView& s = plane ? PlaneScene(n, o) : GeneralScene(n, o);
  Data data;
  FillSet(s, true, data);
  Estimator estimator(float(16.0 * kNoisePixels * kNoisePixels));
  estimator.maxIterations = 300;
  estimator.minIterations = 20;
  Model M{};
  std::vector<u16> inliers;
  for (auto _ : state) {
    Random::Seed(5);
    estimator.RunLoRansac(data, M, inliers);
    benchmark::DoNotOptimize(M);
  }
  Report(state, s, plane, ToEigen(M), inliers);
}

void LoopOpenCV(benchmark::State& state, bool plane, int method) {
  const int n = int(state.range(0)), o = int(state.range(1));
  const TwoView& s = plane ? PlaneScene(n, o) : GeneralScene(n, o);
  cv::Mat M, mask;
  for (auto _ : state) {
    cv::setRNGSeed(5);
    M = plane
            ? cv::findHomography(s.pixels1, s.pixels2, method, 4.0 * kNoisePixels, mask)
            : cv::findFundamentalMat(s.pixels1, s.pixels2, method, 2.0 * kNoisePixels, 0.99, mask);
    benchmark::DoNotOptimize(M.data);
  }
  Report(state, s, plane, M.empty() ? Eigen::Matrix3d() : ToEigen(M), MaskToList(mask), !M.empty());
}

const bool registered = [] {
  const auto row = [](const char* name, auto fn, auto... args) {
    benchmark::RegisterBenchmark(name, fn, args...)
        ->Unit(benchmark::kMillisecond)
        ->ArgsProduct({{1000, 5000}, {10, 30}});
  };
  row("Fundamental_Ours",
      LoopOurs<FundamentalMatrixEstimatorData, FundamentalMatrixEstimator, FundamentalMatrix>,
      false);
  row("Fundamental_OpenCV_RANSAC", LoopOpenCV, false, int(cv::FM_RANSAC));
  row("Fundamental_OpenCV_MAGSAC", LoopOpenCV, false, int(cv::USAC_MAGSAC));
  row("Homography_Ours", LoopOurs<HomographyEstimatorData, HomographyEstimator, Homography>, true);
  row("Homography_OpenCV_RANSAC", LoopOpenCV, true, int(cv::RANSAC));
  row("Homography_OpenCV_MAGSAC", LoopOpenCV, true, int(cv::USAC_MAGSAC));
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
