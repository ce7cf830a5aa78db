#pragma once
// Seeded bundle-adjustment scenes for the IBASolver tests, the benchmark and
// the fuzz harness, on the geometry of the ISO window (common/ISOWindow.h):
// its key frames, 0.1 s apart, are the cameras and its points the points, the
// last of them moved onto the ground plane z = 0. Deltas and gravity records
// are exact at the truth with weights from the options, so that every term
// can be switched on alone and a noise-free scene costs nothing at the truth.
#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/IBASolverTestAccess.h"
#include "common/ISOWindow.h"
#include "common/SolverHarness.h"
#include "optimization/IBASolver.h"

namespace ibatest {

struct SceneOptions {
  u32 cameras = 6;
  u32 points = 120;      // rounded down to a multiple of the cameras
  u32 planePoints = 24;  // the last points, on the plane z = 0
  u32 fixedCameras = 0;
  u32 fixedPoints = 0;
  float noisePixels = 0.0f;  // at level 0, doubling per level; focal length 500
  bool biases = true;        // non-zero true biases
  float feature = 1.0f, wp = 100.0f, wv = 100.0f, wr = 1000.0f, wsa = 10.0f, wsg = 10.0f;
  float gravity = 100.0f, biasPrior = 1.0f, plane = 1000.0f;
  float fieldOfView = 0.6f;  // |x / z| and |y / z| up to it are seen
  float keep = 1.0f;         // share of the visible measurements kept
  u32 seed = 7;
};

// The delta record of the true motion from camera a to b, with random bias
// Jacobians so that the bias columns are exercised; the lanes the solver
// does not read stay 0.
inline void TrueDelta(const CameraIMUState& a, const CameraIMUState& b, float dt,
                      const SceneOptions& o, IBADelta& d) {
  std::memset(&d, 0, sizeof(d));
  for (int k = 0; k < 3; ++k) {
    for (int c = 0; c < 3; ++c) {
      d.dp[k] += a.R[k][c] * (b.p[c] - a.p[c] - dt * a.v[c]);
      d.dv[k] += a.R[k][c] * (b.v[c] - a.v[c]);
    }
    d.ba[k] = a.ba[k], d.bg[k] = a.bg[k];
  }
  Eigen::Map<Eigen::Quaternionf> dq(d.dq);  // conj(q_a) (x) q_b
  dq = Eigen::Map<const Eigen::Quaternionf>(a.q).conjugate() *
       Eigen::Map<const Eigen::Quaternionf>(b.q);
  for (float& x : d.dt) x = dt;
  float(*J[5])[4] = {d.dp_dba, d.dp_dbg, d.dv_dba, d.dv_dbg, d.dr_dbg};
  for (auto M : J)
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) M[r][c] = Uniform(-0.05f, 0.05f) + (r == c ? -0.5f * dt : 0.0f);
  const float w[5] = {o.wp, o.wv, o.wr, o.wsa, o.wsg};
  float(*W[5])[4] = {&d.wp, &d.wv, &d.wr, &d.wba, &d.wbg};
  for (int k = 0; k < 5; ++k) std::fill_n(*W[k], 4, w[k]);
}

struct Scene {
  IBAProblem problem;
  IBAState truth;
  IBAState state;  // the truth until perturbed
};

// Builds the problem and its true state; only the measurements carry noise.
inline void BuildScene(const SceneOptions& o, Scene& s) {
  InertialSceneOptions io;
  io.seed = o.seed;
  io.duration = 0.1 * (o.cameras - 1);  // one key frame every 20 samples
  io.keyFrameMin = io.keyFrameMax = 0.1;
  io.pointsPerKeyFrame = o.points / o.cameras;
  io.fieldOfView = o.fieldOfView;
  for (int k = 0; k < 3 && o.biases; ++k)
    io.accelerometerBias[k] = 0.02 * (k + 1), io.gyroscopeBias[k] = -0.002 * (k + 1);
  const ISOWindow window(io, o.cameras, 0);  // measured here, with the plane
  IBAProblem& p = s.problem;
  IBAState& t = s.truth;
  window.ToIBA(p, t);
  const u32 np = t.points.Size(), first = np - std::min(o.planePoints, np);
  for (u32 k = first; k < np; ++k) t.points[k].v[2] = 0.0f;
  t.planes.Resize(first < np ? 1 : 0);
  if (first < np) t.planes[0] = LA::AlignedVector4f{{0.0f, 0.0f, 1.0f, 0.0f}};

  // Camera by camera and level by level, ascending points.
  std::vector<IBAMeasurement> z, levels[4];
  std::vector<u32> index(4 * o.cameras + 1, 0);
  for (u32 i = 0; i < o.cameras; ++i) {
    for (u32 k = 0; k < np; ++k) {
      const f64 X[3] = {t.points[k].v[0], t.points[k].v[1], t.points[k].v[2]};
      f64 xy[2];
      if (!window.scene.Project(i, X, xy) || std::fabs(xy[0]) > o.fieldOfView ||
          std::fabs(xy[1]) > o.fieldOfView || (o.keep < 1.0f && Uniform(0.0f, 1.0f) > o.keep))
        continue;
      const u32 l = Random::Index(4);
      const float sigma = o.noisePixels / 500.0f * static_cast<float>(1 << l);
      levels[l].push_back({k, static_cast<float>(xy[0] + sigma * GaussianD()),
                           static_cast<float>(xy[1] + sigma * GaussianD())});
    }
    for (u32 l = 0; l < 4; ++l) {
      index[4 * i + l] = static_cast<u32>(z.size());
      z.insert(z.end(), levels[l].begin(), levels[l].end());
      levels[l].clear();
    }
  }
  index[4 * o.cameras] = static_cast<u32>(z.size());
  p.ResizeInput(o.fixedCameras, o.fixedPoints, 0, o.cameras, np, t.planes.Size(),
                static_cast<u32>(z.size()), o.cameras);
  if (!z.empty()) std::memcpy(p.features.measurements.Data(), z.data(), sizeof(z[0]) * z.size());
  p.features.index = index;
  float w = o.feature;
  for (u32 l = 0; l < 4; ++l, w *= 0.25f) std::fill_n(p.features.levelWeights[l].v, 4, w);
  for (u32 i = 0; i + 1 < o.cameras; ++i)
    TrueDelta(t.cameras[i], t.cameras[i + 1], 0.1f, o, p.deltas[i]);
  p.biasWeights[0] = p.biasWeights[1] = o.biasPrior;
  for (IBAGravity& g : p.gravity) std::fill_n(g.weight, 4, o.gravity);
  // Records in reverse camera order: the first names the last camera.
  std::reverse(p.gravity.Data(), p.gravity.Data() + p.gravity.Size());
  std::reverse(p.gravityCameras.begin(), p.gravityCameras.end());
  if (first < np) {
    std::fill_n(p.planeWeights[0].v, 4, o.plane);
    for (u32 k = first; k < np; ++k) p.planePoints[0].push_back(k);
    p.IndexPlanePoints();
  }
  IBAState::Copy(s.state, t);
}

// Moves every variable camera by about `position`, `velocity` and `rotation`
// (radians, axis by axis) and its biases by 0.01 and 0.001, every variable
// point by about `point`.
inline void Perturb(const IBAProblem& problem, IBAState& state, float position, float rotation,
                    float velocity, float point, u32 seed) {
  Random::Seed(seed);
  const float scale[5] = {position, velocity, rotation, 0.01f, 0.001f};
  for (u32 i = problem.fixedCameras; i < state.cameras.Size(); ++i)
    for (int n = 0; n < 15; ++n)
      NudgeCamera(state.extrinsic, state.cameras[i], n, scale[n / 3] * Gaussian());
  for (u32 k = problem.fixedPoints; k < state.points.Size(); ++k)
    for (int r = 0; r < 3; ++r) state.points[k].v[r] += point * Gaussian();
}

// The lines of a log file, without their line ends; closes the file.
inline std::vector<std::string> LogLines(FILE* f) {
  std::vector<std::string> lines;
  std::rewind(f);
  char line[512];
  while (std::fgets(line, sizeof(line), f)) lines.emplace_back(line, std::strcspn(line, "\n"));
  std::fclose(f);
  return lines;
}

// Root mean square reprojection error in pixels (focal length 500).
inline double RMSPixels(const IBAProblem& problem, const IBAState& state) {
  double sum = 0.0;
  const u32 n = problem.features.measurements.Size();
  for (u32 i = 0; i < state.cameras.Size(); ++i)
    for (u32 m = problem.features.index[4 * i]; m < problem.features.index[4 * i + 4]; ++m) {
      const IBAMeasurement& z = problem.features.measurements[m];
      using Pose = Eigen::Matrix<float, 3, 4, Eigen::RowMajor>;
      const Eigen::Vector3d x =
          Eigen::Map<const Pose>(&state.cameras[i].pose.m[0][0]).cast<double>() *
          Eigen::Map<const Eigen::Vector3f>(state.points[z.point].v).cast<double>().homogeneous();
      sum += (Eigen::Vector2d(z.x, z.y) - x.hnormalized()).squaredNorm();
    }
  return n ? 500.0 * std::sqrt(sum / n) : 0.0;
}

}  // namespace ibatest
