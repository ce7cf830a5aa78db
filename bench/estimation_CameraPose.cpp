// Pose, point and similarity estimation beside OpenCV on the same seeded
// scenes. Each pair of rows reports time per call and accuracy counters:
// rot_deg (rotation error), trans_rel (camera-centre error relative to the
// centre's distance), recall (share of true inliers found), err (mean 3-D
// error) and scale_rel.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <cmath>
#include <map>
#include <opencv2/calib3d.hpp>
#include <vector>

#include "bench/BenchUtil.h"
#include "estimation/CameraEPnP.h"
#include "estimation/CameraEstimator.h"
#include "estimation/Point3DSolver.h"
#include "estimation/SimilarityTransformationSolver.h"

namespace {
using namespace bench;

struct Scene {
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  std::vector<cv::Point3f> world;
  std::vector<cv::Point2f> pixels;
  CameraEstimatorData data;
  int outliers = 0;
  double CentreError(const Eigen::Matrix3d& R2, const Eigen::Vector3d& t2) const {
    const Eigen::Vector3d c = -R.transpose() * t, c2 = -R2.transpose() * t2;
    return (c - c2).norm() / c.norm();
  }
};

// n matches, the first `outliers` with random image points, 1 px noise.
const Scene& GetScene(int n, int outlierPercent, float noise = 1.0f) {
  static std::map<std::pair<int, int>, Scene> scenes;
  Scene& s = scenes[{n, outlierPercent}];
  if (!s.world.empty()) return s;
  Random::Seed(1000 + n + outlierPercent);
  s.R = RandomRotationD(3.0);
  s.t = Eigen::Vector3d(UniformD(-0.5f, 0.5f), UniformD(-0.5f, 0.5f), UniformD(4.0f, 6.0f));
  s.outliers = n * outlierPercent / 100;
  s.data.Resize(n);
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector3d X(UniformD(-1.0, 1.0), UniformD(-1.0, 1.0), UniformD(-1.0, 1.0));
    const Eigen::Vector3d x = s.R * X + s.t;
    float u = float(x.x() / x.z()) + noise / kFocal * GaussianD();
    float v = float(x.y() / x.z()) + noise / kFocal * GaussianD();
    if (i < s.outliers) u = UniformD(-0.6f, 0.6f), v = UniformD(-0.45f, 0.45f);
    s.world.emplace_back(float(X.x()), float(X.y()), float(X.z()));
    s.pixels.emplace_back(kFocal * u + kCx, kFocal * v + kCy);
    s.data.worldPoints[i] = {{float(X.x()), float(X.y()), float(X.z()), 1.0f}};
    s.data.imagePoints[i] = {u, v};
  }
  return s;
}

void Report(benchmark::State& state, const Scene& s, const Eigen::Matrix3d& R,
            const Eigen::Vector3d& t) {
  state.counters["rot_deg"] = RotationErrorDeg(R, s.R);
  state.counters["trans_rel"] = s.CentreError(R, t);
}
void Report(benchmark::State& state, const Scene& s, const Camera& c) {
  Report(state, s, ToEigen(c), Eigen::Vector3d(c.m[0][3], c.m[1][3], c.m[2][3]));
}
void Report(benchmark::State& state, const Scene& s, const cv::Mat& rvec, const cv::Mat& tvec) {
  cv::Mat R;
  cv::Rodrigues(rvec, R);
  Report(state, s, ToEigen(R),
         Eigen::Vector3d(tvec.at<double>(0), tvec.at<double>(1), tvec.at<double>(2)));
}
template <class List>
void ReportRecall(benchmark::State& state, const Scene& s, const List& inliers) {
  state.counters["recall"] = Recall(inliers, s.outliers, int(s.world.size()));
}

Camera ToCamera(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) {
  Camera c{};
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) c.m[r][k] = float(R(r, k));
    c.m[r][3] = float(t(r));
  }
  return c;
}
cv::Mat AsMat(Camera& c) {  // [R | t] as a 3x4 float view
  return cv::Mat(3, 4, CV_32F, &c.m[0][0]);
}

// ---- EPnP ----

void EPnP_Ours(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)), 0);
  CameraEPnP solver;
  AlignedArray<LA::AlignedVector4f> work;
  Camera c{};
  MatchSet3DTo2DN<6> sample;
  for (int i = 0; i < 6; ++i) {
    sample.worldPoints[i] = s.data.worldPoints[i];
    sample.imagePoints[i] = s.data.imagePoints[i];
  }
  bool ok = false;
  for (auto _ : state) {
    ok = s.world.size() == 6 ? solver.RunMinimalSample(sample, c, work)
                             : solver.RunNonMinimalData(s.data, c, work);
    benchmark::DoNotOptimize(c);
  }
  if (ok) Report(state, s, c);
}
void EPnP_OpenCV(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)), 0);
  cv::Mat rvec, tvec;
  for (auto _ : state) {
    cv::solvePnP(s.world, s.pixels, CvK(), cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_EPNP);
    benchmark::DoNotOptimize(rvec.data);
  }
  Report(state, s, rvec, tvec);
}
BENCHMARK(EPnP_Ours)->Arg(6)->Arg(100)->Arg(1000);
BENCHMARK(EPnP_OpenCV)->Arg(6)->Arg(100)->Arg(1000);

// ---- Robust loop ----

// 9 sigma^2 in normalised units for 1 px noise; OpenCV takes the root in pixels.
constexpr float kThreshold = 9.0f / (kFocal * kFocal);

void Ransac_Ours(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)), int(state.range(1)));
  CameraEstimator estimator(0.0f);
  estimator.threshold = kThreshold;
  Camera model{};
  std::vector<u16> inliers;
  for (auto _ : state) {
    Random::Seed(5);
    model = Camera{};
    model.m[0][0] = model.m[1][1] = model.m[2][2] = 1.0f;
    estimator.RunLoRansac(s.data, model, inliers);
  }
  Report(state, s, model);
  ReportRecall(state, s, inliers);
}
void Ransac_OpenCV(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)), int(state.range(1)));
  cv::Mat rvec, tvec;
  std::vector<int> inliers;
  for (auto _ : state) {
    cv::setRNGSeed(5);
    cv::solvePnPRansac(s.world, s.pixels, CvK(), cv::noArray(), rvec, tvec, false, 10000,
                       std::sqrt(kThreshold) * kFocal, 0.9, inliers, cv::SOLVEPNP_EPNP);
  }
  Report(state, s, rvec, tvec);
  ReportRecall(state, s, inliers);
}
BENCHMARK(Ransac_Ours)
    ->ArgsProduct({{200, 1000, 5000}, {10, 30, 50}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Ransac_OpenCV)
    ->ArgsProduct({{200, 1000, 5000}, {10, 30, 50}})
    ->Unit(benchmark::kMillisecond);

// ---- Levenberg-Marquardt refinement from a perturbed pose ----

Camera Perturbed(const Scene& s) {
  const Eigen::Matrix3d R = Eigen::AngleAxisd(0.02, Eigen::Vector3d(1, 2, 3).normalized()) * s.R;
  return ToCamera(R, s.t + Eigen::Vector3d(0.05, -0.05, 0.1));
}
void Refine_Ours(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)), 0);
  CameraEstimator estimator(0.0f);
  Camera model{};
  for (auto _ : state) {
    model = Perturbed(s);
    estimator.OptimizeOnAllData(s.data, model);
  }
  Report(state, s, model);
}
void Refine_OpenCV(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)), 0);
  Camera start = Perturbed(s);
  cv::Mat Rt, rvec0, tvec0, rvec, tvec;
  AsMat(start).convertTo(Rt, CV_64F);
  cv::Rodrigues(Rt.colRange(0, 3), rvec0);
  tvec0 = Rt.col(3).clone();
  for (auto _ : state) {
    rvec = rvec0.clone();
    tvec = tvec0.clone();
    cv::solvePnPRefineLM(s.world, s.pixels, CvK(), cv::noArray(), rvec, tvec);
  }
  Report(state, s, rvec, tvec);
}
BENCHMARK(Refine_Ours)->Arg(100)->Arg(1000);
BENCHMARK(Refine_OpenCV)->Arg(100)->Arg(1000);

// ---- Two-view triangulation of 1,000 points ----

struct TwoViews {
  Camera a, b;
  std::vector<Eigen::Vector3d> X;
  std::vector<LA::Vector2<float>> xa, xb;
  cv::Mat Pa, Pb, pa, pb;
};
const TwoViews& GetTwoViews() {
  static TwoViews v;
  if (!v.X.empty()) return v;
  Random::Seed(77);
  const Eigen::Matrix3d Ra = Eigen::Matrix3d::Identity();
  const Eigen::Matrix3d Rb = Eigen::AngleAxisd(0.2, Eigen::Vector3d::UnitY()).toRotationMatrix();
  const Eigen::Vector3d ta(0, 0, 5), tb(-1.0, 0.1, 5.2);
  v.a = ToCamera(Ra, ta), v.b = ToCamera(Rb, tb);
  v.Pa = AsMat(v.a).clone(), v.Pb = AsMat(v.b).clone();
  v.pa = cv::Mat(2, 1000, CV_32F);
  v.pb = cv::Mat(2, 1000, CV_32F);
  for (int i = 0; i < 1000; ++i) {
    const Eigen::Vector3d X(UniformD(-1.0, 1.0), UniformD(-1.0, 1.0), UniformD(-1.0, 1.0));
    const Eigen::Vector3d ca = Ra * X + ta, cb = Rb * X + tb;
    const auto noisy = [](double x) { return float(x + GaussianD() / kFocal); };
    v.X.push_back(X);
    v.xa.push_back({noisy(ca.x() / ca.z()), noisy(ca.y() / ca.z())});
    v.xb.push_back({noisy(cb.x() / cb.z()), noisy(cb.y() / cb.z())});
    v.pa.at<float>(0, i) = v.xa[i].x, v.pa.at<float>(1, i) = v.xa[i].y;
    v.pb.at<float>(0, i) = v.xb[i].x, v.pb.at<float>(1, i) = v.xb[i].y;
  }
  return v;
}
void Triangulate_Ours(benchmark::State& state) {
  const TwoViews& v = GetTwoViews();
  Point3DSolver solver;
  std::vector<Point3D> points(1000);
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) {
      const Point3DEstimatorMinimalSample sample = {{&v.a, &v.b}, {&v.xa[i], &v.xb[i]}};
      solver.RunMinimalSample(sample, points[i]);
    }
    benchmark::DoNotOptimize(points.data());
  }
  double err = 0.0;
  for (int i = 0; i < 1000; ++i)
    err += (Eigen::Vector3d(points[i].v[0], points[i].v[1], points[i].v[2]) - v.X[i]).norm();
  state.counters["err"] = err / 1000.0;
}
void Triangulate_OpenCV(benchmark::State& state) {
  const TwoViews& v = GetTwoViews();
  cv::Mat X;
  for (auto _ : state) cv::triangulatePoints(v.Pa, v.Pb, v.pa, v.pb, X);
  double err = 0.0;
  for (int i = 0; i < 1000; ++i) {
    const double w = X.at<float>(3, i);
    const Eigen::Vector3d p(X.at<float>(0, i) / w, X.at<float>(1, i) / w, X.at<float>(2, i) / w);
    err += (p - v.X[i]).norm();
  }
  state.counters["err"] = err / 1000.0;
}
BENCHMARK(Triangulate_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(Triangulate_OpenCV)->Unit(benchmark::kMicrosecond);

// ---- Similarity from 100 noisy pairs ----

struct Pairs {
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  double s;
  AlignedArray<LA::AlignedVector4f> src, dst;
  std::vector<cv::Point3d> cvSrc, cvDst;
};
const Pairs& GetPairs() {
  static Pairs p;
  if (!p.cvSrc.empty()) return p;
  Random::Seed(88);
  p.R = RandomRotationD(3.0);
  p.t = Eigen::Vector3d(UniformD(-1.0, 1.0), UniformD(-1.0, 1.0), UniformD(-1.0, 1.0));
  p.s = 1.7;
  p.src.Resize(100);
  p.dst.Resize(100);
  for (u32 i = 0; i < 100; ++i) {
    const Eigen::Vector3d x(UniformD(-1.0, 1.0), UniformD(-1.0, 1.0), UniformD(-1.0, 1.0));
    const Eigen::Vector3d y =
        p.s * (p.R * x + p.t) + 0.01 * Eigen::Vector3d(GaussianD(), GaussianD(), GaussianD());
    p.src[i] = {{float(x.x()), float(x.y()), float(x.z()), 1.0f}};
    p.dst[i] = {{float(y.x()), float(y.y()), float(y.z()), 1.0f}};
    p.cvSrc.emplace_back(x.x(), x.y(), x.z());
    p.cvDst.emplace_back(y.x(), y.y(), y.z());
  }
  return p;
}
void Similarity_Ours(benchmark::State& state) {
  const Pairs& p = GetPairs();
  SimilarityTransformationSolver solver;
  SimilarityTransformation3D model;
  for (auto _ : state) {
    solver.RunNonMinimalData(p.src, p.dst, model);
    benchmark::DoNotOptimize(model);
  }
  state.counters["rot_deg"] = RotationErrorDeg(ToEigen(model), p.R);
  state.counters["scale_rel"] = std::abs(model.m[3][0] / p.s - 1.0);
}
void Similarity_OpenCV(benchmark::State& state) {
  const Pairs& p = GetPairs();
  cv::Mat T;
  double scale = 0.0;
  for (auto _ : state) T = cv::estimateAffine3D(p.cvSrc, p.cvDst, &scale, true);
  // T = [R | t'] with y = scale R x + t'.
  state.counters["rot_deg"] = RotationErrorDeg(ToEigen(T), p.R);
  state.counters["scale_rel"] = std::abs(scale / p.s - 1.0);
}
BENCHMARK(Similarity_Ours);
BENCHMARK(Similarity_OpenCV);

}  // namespace

BENCHMARK_MAIN();
