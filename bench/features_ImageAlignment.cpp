// Direct image alignment and small-image rotation beside OpenCV's ECC
// alignment on the same rendered pairs and starts (30 iterations, eps 0.01),
// and the per-frame image preparation beside OpenCV's blur, Laplacian and
// Sobel on the same level. Counters: largest corner error in pixels or the
// rotation error in degrees.
#include <benchmark/benchmark.h>

#include <map>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "features/ImageAlignment.h"
#include "features/ImageRotation.h"
#include "tests/features/AlignmentScene.h"

namespace {

using Eigen::Matrix3d;

const CVD::Image<u8>& Texture() {
  static const CVD::Image<u8> texture = SceneRender::MakeNoiseTexture(1024, 1024, 19, 8);
  return texture;
}

// Alignment images of the test pairs; the 640 x 480 pair shows the same
// texture window as the 40 x 30 one.
struct AlignmentCase : AlignmentScene::Prepared {
  Matrix3d truth;
};

const AlignmentCase& Case(int w, bool projective) {
  static std::map<std::pair<int, bool>, AlignmentCase> cases;
  AlignmentCase& c = cases[{w, projective}];
  if (c.A.size().x == 0) {
    const int h = w * 3 / 4;
    c.truth = AlignmentScene::TestMap(w, h, projective);
    static_cast<AlignmentScene::Prepared&>(c) =
        AlignmentScene::Prepare(AlignmentScene::MakePair(Texture(), c.truth, w, h, 40.0 / w));
  }
  return c;
}

cv::Mat AsMat(const CVD::BasicImage<float>& img) {
  return cv::Mat(img.size().y, img.size().x, CV_32F, const_cast<float*>(img.data()),
                 img.row_stride() * sizeof(float));
}

// The start both sides get: the identity for the similarity pair; for the
// homography pair the true perspective with a one-pixel shift (the
// similarity phase keeps a start's perspective).
Matrix3d Start(const AlignmentCase& c, bool projective) {
  if (!projective) return Matrix3d::Identity();
  Matrix3d S = Matrix3d::Identity();
  S(0, 2) = 1.0;
  return S * c.truth;
}

void BM_AlignFrameImages(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const bool projective = state.range(1) != 0;
  const AlignmentCase& c = Case(w, projective);
  AlignmentScratch scratch;
  CVD::Image<float> warped;
  WarpRecord H{};
  float residual = 0.0f;
  bool accepted = false;
  for (auto _ : state) {
    H = AlignmentScene::ToWarp(Start(c, projective));
    if (!projective) H.m[0] = FLT_MAX;
    accepted = AlignFrameImages(c.A, c.B, c.gradB, warped, H, c.sharpnessB, residual, scratch);
    benchmark::DoNotOptimize(H);
  }
  const int h = w * 3 / 4;
  state.counters["corner_err_px"] =
      AlignmentScene::MaxCornerError(AlignmentScene::ToEigen(H), c.truth, w, h);
  state.counters["accepted"] = accepted;
}

// ECC with template `reference` and input `moving`, so that moving(warp p)
// ~ reference(p), the convention of H; the warp as a 3x3 map.
Matrix3d RunEcc(benchmark::State& state, const CVD::BasicImage<float>& reference,
                const CVD::BasicImage<float>& moving, const Matrix3d& start, int motion) {
  const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.01);
  cv::Mat warp;
  for (auto _ : state) {
    warp = cv::Mat::eye(motion == cv::MOTION_HOMOGRAPHY ? 3 : 2, 3, CV_32F);
    for (int r = 0; r < warp.rows; ++r)
      for (int k = 0; k < 3; ++k) warp.at<float>(r, k) = float(start(r, k) / start(2, 2));
    try {
      cv::findTransformECC(AsMat(reference), AsMat(moving), warp, motion, criteria, cv::noArray(),
                           5);
    } catch (const cv::Exception&) {
      state.counters["failed"] = 1;
    }
    benchmark::DoNotOptimize(warp);
  }
  Matrix3d H = Matrix3d::Identity();
  for (int r = 0; r < warp.rows; ++r)
    for (int k = 0; k < 3; ++k) H(r, k) = warp.at<float>(r, k);
  return H;
}

void BM_EccAlignment(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const bool projective = state.range(1) != 0;
  const AlignmentCase& c = Case(w, projective);
  const Matrix3d H =
      RunEcc(state, c.B, c.A, Start(c, projective), static_cast<int>(state.range(2)));
  state.counters["corner_err_px"] = AlignmentScene::MaxCornerError(H, c.truth, w, w * 3 / 4);
}

// Small images of a yaw 2, pitch -1, roll 0.5 degree camera rotation, from
// level 3 (80 x 60) of a 640 x 480 frame with f = 500.
struct RotationCase {
  Matrix3d truth, K;
  Intrinsic intrinsic;
  SmallImage previous, current;
  CVD::Image<u8> level3;
};

const RotationCase& Rotation() {
  static RotationCase c;
  if (c.previous.image.size().x == 0) {
    c.truth = AlignmentScene::YawPitchRoll(2.0, -1.0, 0.5);
    const AlignmentScene::RotationPair pair = AlignmentScene::MakeRotationPair(Texture(), c.truth);
    c.K = pair.smallK;
    c.intrinsic.Set(float(c.K(0, 0)), float(c.K(1, 1)), float(c.K(0, 2)), float(c.K(1, 2)));
    c.level3 = pair.previous;
    MotionJacobianTable table;
    MakeSmallImage(c.previous, pair.previous, c.intrinsic, table);
    MakeSmallImage(c.current, pair.current, c.intrinsic, table);
  }
  return c;
}

void BM_EstimateImageRotation(benchmark::State& state) {
  const RotationCase& c = Rotation();
  LA::AlignedMatrix3f R;
  RotationScratch scratch;
  for (auto _ : state) {
    EstimateImageRotation(c.previous, c.current, c.intrinsic, R, scratch);
    benchmark::DoNotOptimize(R);
  }
  state.counters["angle_err_deg"] =
      R.m[0][0] == FLT_MAX ? 180.0 : AlignmentScene::AngleDegrees(ToEigen(R), c.truth);
}

// ECC's homography from the previous to the current small image, and the
// rotation nearest to K^-1 H K.
void BM_EccRotation(benchmark::State& state) {
  const RotationCase& c = Rotation();
  const Matrix3d H =
      RunEcc(state, c.previous.image, c.current.image, Matrix3d::Identity(), cv::MOTION_HOMOGRAPHY);
  const Eigen::JacobiSVD<Matrix3d> svd(c.K.inverse() * H * c.K,
                                       Eigen::ComputeFullU | Eigen::ComputeFullV);
  Matrix3d R = svd.matrixU() * svd.matrixV().transpose();
  if (R.determinant() < 0) R = -R;
  state.counters["angle_err_deg"] = AlignmentScene::AngleDegrees(R, c.truth);
}

// Per frame: the alignment image of level 4 and the small image of level 3.
void BM_PrepareFrame(benchmark::State& state) {
  const RotationCase& c = Rotation();
  const CVD::Image<u8> level4 = AlignmentScene::Render(Texture(), Matrix3d::Identity(), 40, 30);
  CVD::Image<float> out;
  GradientImage grad;
  float sharpness = 0.0f;
  SmallImage small;
  MotionJacobianTable table;
  for (auto _ : state) {
    PrepareAlignmentImage(level4, out, grad, sharpness);
    MakeSmallImage(small, c.level3, c.intrinsic, table);
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(small.gradients.Data());
  }
}

void BM_OpenCvPrepareFrame(benchmark::State& state) {
  const RotationCase& c = Rotation();
  const CVD::Image<u8> level4 = AlignmentScene::Render(Texture(), Matrix3d::Identity(), 40, 30);
  const cv::Mat l4(30, 40, CV_8U, const_cast<u8*>(level4.data()));
  const cv::Mat l3(60, 80, CV_8U, const_cast<u8*>(c.level3.data()));
  cv::Mat blurred, lap, gx, gy, half, smallBlur, sgx, sgy;
  for (auto _ : state) {
    cv::GaussianBlur(l4, blurred, cv::Size(0, 0), 1.5);
    cv::Laplacian(l4, lap, CV_32F);
    cv::Sobel(blurred, gx, CV_32F, 1, 0);
    cv::Sobel(blurred, gy, CV_32F, 0, 1);
    cv::resize(l3, half, cv::Size(40, 30), 0, 0, cv::INTER_AREA);
    cv::GaussianBlur(half, smallBlur, cv::Size(0, 0), 1.5);
    cv::Sobel(smallBlur, sgx, CV_32F, 1, 0);
    cv::Sobel(smallBlur, sgy, CV_32F, 0, 1);
    benchmark::DoNotOptimize(sgy.data);
  }
}

}  // namespace

// Arguments: image width (40 or 640), homography pair (0/1), ECC motion type.
BENCHMARK(BM_AlignFrameImages)
    ->Args({40, 0})
    ->Args({40, 1})
    ->Args({640, 0})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EccAlignment)
    ->Args({40, 0, cv::MOTION_EUCLIDEAN})
    ->Args({40, 0, cv::MOTION_HOMOGRAPHY})
    ->Args({40, 1, cv::MOTION_HOMOGRAPHY})
    ->Args({640, 0, cv::MOTION_EUCLIDEAN})
    ->Args({640, 0, cv::MOTION_HOMOGRAPHY})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EstimateImageRotation)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EccRotation)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrepareFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvPrepareFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
