// The camera pose from map matches on a rendered 640 x 480 frame (a textured
// wall and floor, f = 500): 100, 300 and 1,000 FAST corners of the frame with
// their scene points, 0.5 px noise, 10 % of them moved anywhere in the image,
// refined from the same start (2 degrees and 5 cm off) by the tracker's pose
// stage, by OpenCV's solvePnPRefineLM and by solvePnP (iterative, from the
// guess); the OpenCV rows with a second argument 1 get the true inliers
// alone, an oracle's advantage, for accuracy on a par. Each row reports the time per call, rot_deg
// (rotation error), trans_pct (camera-centre error in % of the scene depth 5) and, for the stage,
// its heap allocations per call once warm.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <new>
#include <opencv2/calib3d.hpp>

#include "bench/AllocationCounter.h"
#include "bench/BenchUtil.h"
#include "common/SceneRenderer.h"
#include "common/tracker/UnitContext.h"
#include "features/FastFeatureGrid.h"
#include "tracker/PoseEstimation.h"

namespace {
using namespace bench;

constexpr int kWidth = 640, kHeight = 480;
constexpr double kDepth = 5.0;

struct Scene {
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  CameraPose start;
  AlignedArray<MapPoint> points;
  std::vector<LA::Vector2<float>> normalised;
  std::vector<cv::Point3f> world;
  std::vector<cv::Point2f> pixels;
  int outliers = 0;  // the first ones
};

CameraPose ToPose(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) {
  CameraPose p;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) p.m[r][c] = float(R(r, c));
    p.m[r][3] = float(t(r));
  }
  return p;
}

// n corners of the rendered frame, evenly through its corner list (row
// order), with the points the true camera sees there.
const Scene& GetScene(int n) {
  static std::map<int, Scene> scenes;
  Scene& s = scenes[n];
  if (!s.world.empty()) return s;
  Random::Seed(11);
  const CVD::Image<u8> texture = SceneRender::MakeNoiseTexture(512, 384, 11, 12, 30, 225);
  const std::vector<SceneRender::TexturedPlane> planes = {
      {{-6, -4, 5}, {1, 0, 0}, {0, 1, 0}, 12.0f, 8.0f, &texture},     // wall z = 5
      {{-6, 1, 1.5f}, {1, 0, 0}, {0, 0, 1}, 12.0f, 3.5f, &texture}};  // floor y = 1
  s.R = RandomRotationD(0.1);
  const Eigen::Vector3d centre(0.1, -0.05, 0.0);
  s.t = -s.R * centre;
  CVD::Image<u8> image(CVD::ImageRef(kWidth, kHeight));
  const Intrinsic K = SceneRender::MakeIntrinsic(kFocal, kFocal, kCx, kCy);
  SceneRender::Render(planes, ToPose(s.R, s.t), K, image, 0, 2);
  std::vector<CVD::ImageRef> scratch;
  FeatureGrid grid;
  DetectFastGrid(image, 10, scratch, grid);
  const u32 count = grid.corners.Size();
  const int outliers = s.outliers = n / 10;
  for (int i = 0; i < n; ++i) {
    const CornerXY& c = grid.corners[u32(u64(i) * count / u32(n))];
    const Eigen::Vector3d ray =
        s.R.transpose() * Eigen::Vector3d((c.x - kCx) / kFocal, (c.y - kCy) / kFocal, 1.0);
    double depth = (5.0 - centre.z()) / ray.z();  // the wall, unless the floor is nearer
    if (ray.y() > 0.0) depth = std::min(depth, (1.0 - centre.y()) / ray.y());
    const Eigen::Vector3d X = centre + depth * ray;
    float u = float((c.x - kCx) / kFocal + 0.5 / kFocal * GaussianD());
    float v = float((c.y - kCy) / kFocal + 0.5 / kFocal * GaussianD());
    if (i < outliers) u = Uniform(-0.64f, 0.64f), v = Uniform(-0.48f, 0.48f);
    s.points.PushBack({{float(X.x()), float(X.y()), float(X.z()), 1.0f}}, 1000);
    s.normalised.push_back({u, v});
    s.world.emplace_back(float(X.x()), float(X.y()), float(X.z()));
    s.pixels.emplace_back(float(kFocal * u + kCx), float(kFocal * v + kCy));
  }
  const Eigen::Matrix3d turn =
      Eigen::AngleAxisd(2.0 * M_PI / 180.0, Eigen::Vector3d(1, 2, 3).normalized()).matrix();
  s.start = ToPose(turn * s.R, s.t + Eigen::Vector3d(0.03, -0.03, 0.03));
  return s;
}

void Report(benchmark::State& state, const Scene& s, const Eigen::Matrix3d& R,
            const Eigen::Vector3d& t) {
  state.counters["rot_deg"] = RotationErrorDeg(R, s.R);
  state.counters["trans_pct"] = 100.0 * (R.transpose() * t - s.R.transpose() * s.t).norm() / kDepth;
}

void BM_EstimateCameraPose(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)));
  UnitContext unit(kWidth, kHeight, SceneRender::MakeIntrinsic(kFocal, kFocal, kCx, kCy));
  unit.ring.ResetTo(1);
  unit.view.Working().points = s.points;
  unit.view.Working().trackFlags.assign(s.points.Size(), kTrackSolved | kTrackInlier);
  TrackerFrame& f = unit.ring[0];
  for (u32 i = 0; i < s.points.Size(); ++i) {
    MapMatch m{};
    m.track = m.patch = i;
    m.nx = s.normalised[i].x, m.ny = s.normalised[i].y;
    f.mapMatches[0].push_back(m);
  }
  PoseEstimation pose(unit.Context());
  f.pose.slot[kVisual] = s.start;
  pose.EstimateCameraPose(0);  // warm: the unit's arrays grow once
  const long before = allocations.load();
  long calls = 0;
  counting = true;
  for (auto _ : state) {
    f.pose.slot[kVisual] = s.start;
    pose.EstimateCameraPose(0);
    ++calls;
  }
  counting = false;
  state.counters["allocs/call"] = double(allocations.load() - before) / double(calls);
  Report(state, s, ToEigen(f.pose.slot[kVisual]), TranslationOf(f.pose.slot[kVisual]));
}

// The start as OpenCV's rotation vector and translation.
void StartVectors(const Scene& s, cv::Mat& rvec, cv::Mat& tvec) {
  cv::Mat R(3, 3, CV_64F);
  tvec = cv::Mat(3, 1, CV_64F);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R.at<double>(r, c) = s.start.m[r][c];
    tvec.at<double>(r) = s.start.m[r][3];
  }
  cv::Rodrigues(R, rvec);
}
void ReportCv(benchmark::State& state, const Scene& s, const cv::Mat& rvec, const cv::Mat& tvec) {
  cv::Mat R;
  cv::Rodrigues(rvec, R);
  Report(state, s, bench::ToEigen(R),
         Eigen::Vector3d(tvec.at<double>(0), tvec.at<double>(1), tvec.at<double>(2)));
}

// The matches OpenCV gets: all, or (inliersOnly) the true inliers.
void CvMatches(const Scene& s, bool inliersOnly, std::vector<cv::Point3f>& world,
               std::vector<cv::Point2f>& pixels) {
  const size_t first = inliersOnly ? size_t(s.outliers) : 0;
  world.assign(s.world.begin() + first, s.world.end());
  pixels.assign(s.pixels.begin() + first, s.pixels.end());
}

void BM_OpenCvSolvePnPRefineLM(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)));
  std::vector<cv::Point3f> world;
  std::vector<cv::Point2f> pixels;
  CvMatches(s, state.range(1) != 0, world, pixels);
  cv::Mat rvec0, tvec0, rvec, tvec;
  StartVectors(s, rvec0, tvec0);
  for (auto _ : state) {
    rvec0.copyTo(rvec);
    tvec0.copyTo(tvec);
    cv::solvePnPRefineLM(world, pixels, CvK(), cv::noArray(), rvec, tvec);
  }
  ReportCv(state, s, rvec, tvec);
}

void BM_OpenCvSolvePnPIterative(benchmark::State& state) {
  const Scene& s = GetScene(int(state.range(0)));
  std::vector<cv::Point3f> world;
  std::vector<cv::Point2f> pixels;
  CvMatches(s, state.range(1) != 0, world, pixels);
  cv::Mat rvec0, tvec0, rvec, tvec;
  StartVectors(s, rvec0, tvec0);
  for (auto _ : state) {
    rvec0.copyTo(rvec);
    tvec0.copyTo(tvec);
    cv::solvePnP(world, pixels, CvK(), cv::noArray(), rvec, tvec, true, cv::SOLVEPNP_ITERATIVE);
  }
  ReportCv(state, s, rvec, tvec);
}

BENCHMARK(BM_EstimateCameraPose)->Arg(100)->Arg(300)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvSolvePnPRefineLM)
    ->ArgsProduct({{100, 300, 1000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvSolvePnPIterative)
    ->ArgsProduct({{100, 300, 1000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
