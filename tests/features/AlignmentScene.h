#pragma once
// Image pairs related by a known 3x3 map, drawn from the shared seeded noise
// texture: B shows the texture directly, A shows it through the inverse map,
// so that A(H p) = B(p) holds for the true H; and pairs of level-3 images of
// a purely rotating camera. Used by the alignment and rotation tests and
// benchmarks.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "common/Draws.h"
#include "features/AlignmentImage.h"
#include "features/FeatureRecords.h"
#include "la/LinearAlgebra.h"
#include "tests/common/SceneRenderer.h"

namespace AlignmentScene {

// out(p) = texture at G p (pixel to texel, projective), averaged over
// samples x samples points spread over the pixel.
inline CVD::Image<u8> Render(const CVD::Image<u8>& texture, const Eigen::Matrix3d& G, int w, int h,
                             int samples = 3) {
  CVD::Image<u8> out(CVD::ImageRef(w, h));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double sum = 0.0;
      for (int s = 0; s < samples * samples; ++s) {
        const Eigen::Vector3d q = G * Eigen::Vector3d(x - 0.5 + (s % samples + 0.5) / samples,
                                                      y - 0.5 + (s / samples + 0.5) / samples, 1.0);
        sum += SceneRender::SampleBilinear(texture, float(q.x() / q.z()), float(q.y() / q.z()));
      }
      out[y][x] = static_cast<u8>(sum / (samples * samples) + 0.5);
    }
  }
  return out;
}

// The pair (A, B) of size w x h for the true map H (B pixels to A pixels);
// texels are `texelsPerPixel` per pixel of B, offset into the texture.
struct Pair {
  CVD::Image<u8> A, B;
};
inline Pair MakePair(const CVD::Image<u8>& texture, const Eigen::Matrix3d& H, int w, int h,
                     double texelsPerPixel = 1.0) {
  Eigen::Matrix3d S;
  S << texelsPerPixel, 0, 0.25 * texture.size().x, 0, texelsPerPixel, 0.25 * texture.size().y, 0, 0,
      1;
  return {Render(texture, S * H.inverse(), w, h), Render(texture, S, w, h)};
}

// Rotation by `degrees` and scaling by `scale` about (cx, cy), then a shift.
inline Eigen::Matrix3d Similarity(double degrees, double scale, double tx, double ty, double cx,
                                  double cy) {
  return (Eigen::Translation2d(cx + tx, cy + ty) * Eigen::Rotation2Dd(degrees * M_PI / 180.0) *
          Eigen::Scaling(scale) * Eigen::Translation2d(-cx, -cy))
      .matrix();
}

// The test map of the alignment pairs: rotation by 3 degrees, scaling by
// 1.03 and a shift of (2, -1.5) about the image centre, optionally followed
// by a mild perspective (W from 0.97 to 1.03 across the image).
inline Eigen::Matrix3d TestMap(int w, int h, bool projective) {
  const Eigen::Matrix3d S = Similarity(3.0, 1.03, 2.0, -1.5, 0.5 * w, 0.5 * h);
  if (!projective) return S;
  Eigen::Matrix3d T = Eigen::Matrix3d::Identity(), P = Eigen::Matrix3d::Identity();
  T(0, 2) = 0.5 * w, T(1, 2) = 0.5 * h;
  P(2, 0) = 0.03 / (0.5 * w), P(2, 1) = -0.02 / (0.5 * h);
  return S * T * P * T.inverse();
}

// The alignment images of a pair.
struct Prepared {
  CVD::Image<float> A, B;
  GradientImage gradA, gradB;
  float sharpnessA = 0.0f, sharpnessB = 0.0f;
};
inline Prepared Prepare(const Pair& pair) {
  Prepared p;
  PrepareAlignmentImage(pair.A, p.A, p.gradA, p.sharpnessA);
  PrepareAlignmentImage(pair.B, p.B, p.gradB, p.sharpnessB);
  return p;
}

// The 3x3 part of a map record.
using WarpMap = Eigen::Map<Eigen::Matrix<float, 3, 3, Eigen::RowMajor>, 0, Eigen::OuterStride<4>>;
inline Eigen::Matrix3d ToEigen(const WarpRecord& m) {
  return WarpMap(const_cast<float*>(m.m)).cast<double>();
}
inline WarpRecord ToWarp(const Eigen::Matrix3d& E) {
  WarpRecord m{};
  WarpMap(m.m) = E.cast<float>();
  return m;
}

// Largest distance between the images of the corners (0, 0), (w, 0), (w, h),
// (0, h) under two maps.
inline double MaxCornerError(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b, int w, int h) {
  double worst = 0.0;
  for (const Eigen::Vector3d& p : {Eigen::Vector3d(0, 0, 1), Eigen::Vector3d(w, 0, 1),
                                   Eigen::Vector3d(w, h, 1), Eigen::Vector3d(0, h, 1)}) {
    const Eigen::Vector3d qa = a * p, qb = b * p;
    worst = std::max(worst, (qa.hnormalized() - qb.hnormalized()).norm());
  }
  return worst;
}

inline Eigen::Matrix3d YawPitchRoll(double yaw, double pitch, double roll) {
  const double d = M_PI / 180.0;
  return (Eigen::AngleAxisd(roll * d, Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(yaw * d, Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(pitch * d, Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

inline double AngleDegrees(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  return Eigen::AngleAxisd(a.transpose() * b).angle() * 180.0 / M_PI;
}

// Level 3 (80 x 60 times scale) of a frame with f = 500 times scale, before
// and after the camera turns by R: the current image shows the previous one
// through K R K^-1. smallK is the camera of the small images half-sampled
// from them (pixel centres at integers: halving maps x to (x - 0.5) / 2).
struct RotationPair {
  CVD::Image<u8> previous, current;
  Eigen::Matrix3d smallK;
};
inline RotationPair MakeRotationPair(const CVD::Image<u8>& texture, const Eigen::Matrix3d& R,
                                     int scale = 1) {
  const double f = 62.5 * scale, cx = 40.0 * scale - 0.5, cy = 30.0 * scale - 0.5;
  Eigen::Matrix3d K, S = Eigen::Matrix3d::Identity();
  K << f, 0, cx, 0, f, cy, 0, 0, 1;
  S(0, 2) = S(1, 2) = 64.0;
  const Eigen::Matrix3d H = K * R * K.inverse();
  RotationPair pair{Render(texture, S, 80 * scale, 60 * scale),
                    Render(texture, S * H.inverse(), 80 * scale, 60 * scale), K};
  pair.smallK << f / 2, 0, (cx - 0.5) / 2, 0, f / 2, (cy - 0.5) / 2, 0, 0, 1;
  return pair;
}

}  // namespace AlignmentScene
