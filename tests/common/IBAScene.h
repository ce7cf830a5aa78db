#pragma once
// Seeded synthetic bundle-adjustment scenes for the IBASolver tests and the
// benchmark: key frames along a smooth path looking into a box of points,
// some points on a plane, inertial deltas, gravity records and biases taken
// from the truth (so that every term can be switched on alone). Also the
// test-only dense assembly of the solver's blocks.
#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/IBASolverTestAccess.h"
#include "common/InertialScene.h"
#include "optimization/IBASolver.h"

namespace ibatest {

struct SceneOptions {
  u32 cameras = 6;
  u32 points = 120;
  u32 planePoints = 20;  // the last ones lie on the plane y = 1.5
  u32 fixedCameras = 0;
  u32 fixedPoints = 0;
  float noisePixels = 0.0f;  // measurement noise, focal length 500
  bool biases = true;        // non-zero true biases
  float feature = 1.0f, wp = 100.0f, wv = 100.0f, wr = 1000.0f, wsa = 10.0f, wsg = 10.0f;
  float gravity = 100.0f, biasPrior = 1.0f, plane = 1000.0f;
  float fieldOfView = 0.7f;  // |x / z| and |y / z| below it are seen
  float keep = 1.0f;         // share of the visible measurements kept
  u32 seed = 7;
};

// The unit quaternion of a small rotation vector.
inline void AxisAngleQuaternion(float ax, float ay, float az, float* q) {
  const float d[3] = {ax, ay, az}, identity[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  LA::UpdateQuaternion(d, identity, q);
}

// The delta record of the true motion from camera i to j, with random bias
// Jacobians so that the bias columns are exercised.
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
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) d.dr_dbgT[r][c] = d.dr_dbg[c][r];
  const float w[5] = {o.wp, o.wv, o.wr, o.wsa, o.wsg};
  float(*W[5])[4] = {&d.wp, &d.wv, &d.wr, &d.wba, &d.wbg};
  for (int k = 0; k < 5; ++k)
    for (int l = 0; l < 4; ++l) (*W[k])[l] = w[k];
  for (int l = 0; l < 4; ++l) {
    d.wp_dt[l] = dt * o.wp;
    d.wpv[l] = dt * dt * o.wp + o.wv;
  }
}

struct Scene {
  IBAProblem problem;
  IBAState truth;
  IBAState state;  // truth with noise-free measurements unless perturbed
};

// Builds the problem and its true state. Measurements carry the option's
// noise; everything inertial is exact.
inline void BuildScene(const SceneOptions& o, Scene& s) {
  Random::Seed(o.seed);
  IBAState& t = s.truth;
  AxisAngleQuaternion(0.02f, -0.03f, 0.01f, t.extrinsic);
  t.extrinsic[4] = 0.03f, t.extrinsic[5] = -0.01f, t.extrinsic[6] = 0.02f;
  t.extra[0] = t.extra[1] = t.extra[2] = 0;
  const float dt = 0.1f;
  t.cameras.Resize(o.cameras);
  t.cameraIds.resize(o.cameras);
  for (u32 i = 0; i < o.cameras; ++i) {
    CameraIMUState& c = t.cameras[i];
    std::memset(&c, 0, sizeof(c));
    const float time = i * dt;
    // Bounded sideways, so that long paths stay in front of the points.
    c.p[0] = time, c.p[1] = 0.2f * std::sin(3.0f * time), c.p[2] = 0.2f * std::sin(time);
    c.v[0] = 1.0f, c.v[1] = 0.6f * std::cos(3.0f * time), c.v[2] = 0.2f * std::cos(time);
    AxisAngleQuaternion(0.05f * std::sin(2.0f * time), -0.1f * std::sin(0.5f * time),
                        0.03f * std::sin(time), c.q);
    for (int k = 0; k < 3 && o.biases; ++k) c.ba[k] = 0.02f * (k + 1), c.bg[k] = -0.002f * (k + 1);
    RefreshCaches(t.extrinsic, c);
    t.cameraIds[i] = 100 + i;
  }
  const u32 span = static_cast<u32>(o.cameras * dt + 1.0f);
  t.points.Resize(o.points);
  for (u32 k = 0; k < o.points; ++k) {
    float* X = t.points[k].v;
    X[0] = Uniform(-2.5f, 2.5f + span);
    X[1] = Uniform(-2.0f, 2.0f);
    X[2] = Uniform(4.0f, 8.0f);
    X[3] = 1.0f;
    if (k >= o.points - o.planePoints) X[1] = 1.5f;
  }
  t.planes.Resize(o.planePoints > 0 ? 1 : 0);
  if (o.planePoints > 0) t.planes[0] = LA::AlignedVector4f{{0.0f, 1.0f, 0.0f, -1.5f}};

  IBAProblem& p = s.problem;
  // Measurements: camera by camera, level by level, ascending points.
  std::vector<IBAMeasurement> z;
  std::vector<u32> index(4 * o.cameras + 1, 0);
  std::vector<u32> levels(o.points);
  for (u32 k = 0; k < o.points; ++k) levels[k] = Random::Index(4);
  const float sigma = o.noisePixels / 500.0f;
  for (u32 i = 0; i < o.cameras; ++i) {
    const CameraPose& C = t.cameras[i].pose;
    for (u32 l = 0; l < 4; ++l) {
      index[4 * i + l] = static_cast<u32>(z.size());
      for (u32 k = 0; k < o.points; ++k) {
        if (levels[(k + i) % o.points] != l) continue;
        const float* X = t.points[k].v;
        float xc[3];
        for (int r = 0; r < 3; ++r)
          xc[r] = C[r][0] * X[0] + C[r][1] * X[1] + C[r][2] * X[2] + C[r][3];
        if (xc[2] < 0.5f) continue;
        const float u = xc[0] / xc[2], v = xc[1] / xc[2];
        if (std::fabs(u) > o.fieldOfView || std::fabs(v) > o.fieldOfView) continue;
        if (o.keep < 1.0f && Uniform(0.0f, 1.0f) > o.keep) continue;
        z.push_back({k, u + sigma * Gaussian(), v + sigma * Gaussian()});
      }
    }
  }
  index[4 * o.cameras] = static_cast<u32>(z.size());
  p.ResizeInput(o.fixedCameras, o.fixedPoints, 0, o.cameras, o.points, t.planes.Size(),
                static_cast<u32>(z.size()), o.cameras);
  std::memcpy(p.features.measurements.Data(), z.data(), sizeof(IBAMeasurement) * z.size());
  p.features.index = index;
  p.features.imageScale = 500.0f * 500.0f;
  float w = o.feature;
  for (u32 l = 0; l < 4; ++l, w *= 0.25f)
    for (int k = 0; k < 4; ++k) p.features.levelWeights[l].v[k] = w;
  for (u32 i = 0; i + 1 < o.cameras; ++i)
    TrueDelta(t.cameras[i], t.cameras[i + 1], dt, o, p.deltas[i]);
  p.biasWeights[0] = p.biasWeights[1] = o.biasPrior;
  for (u32 i = 0; i < o.cameras; ++i) {
    IBAGravity& g = p.gravity[i];
    for (int k = 0; k < 4; ++k) g.direction[k] = k < 3 ? t.cameras[i].R[k][2] : 0.0f;
    for (float& x : g.weight) x = o.gravity;
    p.gravityCameras[i] = i;
  }
  if (o.planePoints > 0) {
    for (float& x : p.planeWeights[0].v) x = o.plane;
    for (u32 k = o.points - o.planePoints; k < o.points; ++k) p.planePoints[0].push_back(k);
    p.IndexPlanePoints();
  }
  IBAState::Copy(s.state, t);
}

// Moves every variable camera by about `position` and `rotation` (radians)
// and `velocity`, every variable point by about `point`.
inline void Perturb(const IBAProblem& problem, IBAState& state, float position, float rotation,
                    float velocity, float point, u32 seed) {
  Random::Seed(seed);
  for (u32 i = problem.fixedCameras; i < state.cameras.Size(); ++i) {
    CameraIMUState& c = state.cameras[i];
    float d[3];
    for (int k = 0; k < 3; ++k) {
      c.p[k] += position * Gaussian();
      c.v[k] += velocity * Gaussian();
      d[k] = rotation * Gaussian();
      c.ba[k] += 0.01f * Gaussian();
      c.bg[k] += 0.001f * Gaussian();
    }
    float q[4];
    LA::UpdateQuaternion(d, c.q, q);
    std::memcpy(c.q, q, sizeof(q));
    RefreshCaches(state.extrinsic, c);
  }
  for (u32 k = problem.fixedPoints; k < state.points.Size(); ++k)
    for (int r = 0; r < 3; ++r) state.points[k].v[r] += point * Gaussian();
}

using MatrixX = Eigen::MatrixXd;
using VectorX = Eigen::VectorXd;

// Dense H (cameras first, 15 each, then points, 3 each) and b from the
// solver's blocks as they stand.
inline void AssembleDense(IBASolver& solver, MatrixX& H, VectorX& b, bool withPoints = true) {
  const IBASolverTestAccess s(solver);
  using CR = LA::CameraBlock15;
  const u32 nc = s.cameraBlocks.Size(), np = withPoints ? s.pointBlocks.Size() : 0;
  const int N = 15 * nc + 3 * np;
  H = MatrixX::Zero(N, N);
  b = VectorX::Zero(N);
  // Camera block: (row group, column group, first row, diagonal lane?)
  const int table[15][4] = {{0, 0, CR::kPP, 0},   {0, 1, CR::kPV, 1},   {0, 2, CR::kPR, 0},
                            {0, 3, CR::kPBa, 0},  {0, 4, CR::kPBg, 0},  {1, 1, CR::kVV, 1},
                            {1, 2, CR::kVR, 0},   {1, 3, CR::kVBa, 0},  {1, 4, CR::kVBg, 0},
                            {2, 2, CR::kRR, 0},   {2, 3, CR::kRBa, 0},  {2, 4, CR::kRBg, 0},
                            {3, 3, CR::kBaBa, 0}, {3, 4, CR::kBaBg, 0}, {4, 4, CR::kBgBg, 0}};
  auto put = [&](int r0, int c0, const float(*rows)[4], bool diagonal, bool mirror) {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        const double v = diagonal ? (r == c ? rows[0][r] : 0.0) : rows[r][c];
        H(r0 + r, c0 + c) = v;
        if (mirror) H(c0 + c, r0 + r) = v;
      }
  };
  for (u32 i = 0; i < nc; ++i) {
    for (const auto& e : table) {
      put(15 * i + 3 * e[0], 15 * i + 3 * e[1], s.cameraBlocks[i].m + e[2], e[3] != 0,
          e[0] != e[1]);
    }
    for (int g = 0; g < 5; ++g)
      for (int k = 0; k < 3; ++k) b(15 * i + 3 * g + k) = s.cameraRHS[i].v[4 * g + k];
  }
  using K = IBAConsecutiveBlock;
  const int ctable[14][4] = {{0, 0, K::kPP, 0},   {0, 2, K::kPR, 0},  {2, 0, K::kRP, 0},
                             {2, 2, K::kRR, 0},   {1, 0, K::kVP, 1},  {1, 1, K::kVV, 1},
                             {2, 1, K::kRV, 0},   {3, 0, K::kBaP, 0}, {3, 1, K::kBaV, 0},
                             {3, 3, K::kBaBa, 1}, {4, 0, K::kBgP, 0}, {4, 1, K::kBgV, 0},
                             {4, 2, K::kBgR, 0},  {4, 4, K::kBgBg, 1}};
  for (u32 i = 0; i + 1 < nc; ++i)
    for (const auto& e : ctable)
      put(15 * i + 3 * e[0], 15 * (i + 1) + 3 * e[1], s.consecutiveBlocks[i].m + e[2], e[3] != 0,
          true);
  for (u32 k = 0; k < s.pairs.size(); ++k) {
    const u32 i = s.pairs[k].first, j = s.pairs[k].second;
    const int ptable[4][3] = {{0, 0, 0}, {0, 2, 3}, {2, 0, 6}, {2, 2, 9}};
    for (const auto& e : ptable)
      put(15 * i + 3 * e[0], 15 * j + 3 * e[1], s.pairBlocks[k].m + e[2], false, true);
  }
  if (!withPoints) return;
  const int P0 = 15 * nc;
  for (u32 k = 0; k < s.blockPoints.size(); ++k) {
    const u32 i = s.blockCameras[k], p = s.blockPoints[k];
    put(15 * i, P0 + 3 * p, s.cameraPointBlocks[k].m, false, true);
    put(15 * i + 6, P0 + 3 * p, s.cameraPointBlocks[k].m + 3, false, true);
  }
  for (u32 p = 0; p < np; ++p) {
    put(P0 + 3 * p, P0 + 3 * p, s.pointBlocks[p].m, false, false);
    for (int k = 0; k < 3; ++k) b(P0 + 3 * p + k) = s.pointRHS[p].v[k];
  }
}

// The solver's step as one vector in the dense order, and back.
inline VectorX StepVector(IBASolver& solver) {
  const IBASolverTestAccess s(solver);
  const u32 nc = s.cameraStep.Size(), np = s.pointStep.Size();
  VectorX x(15 * nc + 3 * np);
  for (u32 i = 0; i < 15 * nc; ++i) x(i) = s.cameraStep[i / 15].v[4 * (i % 15 / 3) + i % 3];
  for (u32 i = 0; i < 3 * np; ++i) x(15 * nc + i) = s.pointStep[i / 3].v[i % 3];
  return x;
}
inline void SetStep(IBASolver& solver, const VectorX& x) {
  const IBASolverTestAccess s(solver);
  const u32 nc = s.cameraStep.Size(), np = s.pointStep.Size();
  std::memset(s.cameraStep.Data(), 0, sizeof(LA::CameraVector15) * nc);
  for (u32 i = 0; i < 15 * nc; ++i) s.cameraStep[i / 15].v[4 * (i % 15 / 3) + i % 3] = x(i);
  for (u32 i = 0; i < 3 * np; ++i) s.pointStep[i / 3].v[i % 3] = x(15 * nc + i);
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
  for (u32 i = 0; i < state.cameras.Size(); ++i) {
    const CameraPose& C = state.cameras[i].pose;
    for (u32 m = problem.features.index[4 * i]; m < problem.features.index[4 * i + 4]; ++m) {
      const IBAMeasurement& z = problem.features.measurements[m];
      const float* X = state.points[z.point].v;
      double xc[3];
      for (int r = 0; r < 3; ++r)
        xc[r] = C[r][0] * X[0] + C[r][1] * X[1] + C[r][2] * X[2] + C[r][3];
      const double ex = z.x - xc[0] / xc[2], ey = z.y - xc[1] / xc[2];
      sum += ex * ex + ey * ey;
    }
  }
  return n ? 500.0 * std::sqrt(sum / n) : 0.0;
}

}  // namespace ibatest
