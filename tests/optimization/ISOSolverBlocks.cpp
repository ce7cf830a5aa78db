// The ISO normal equations against J^T W J and -J^T W e of central-
// difference Jacobians of an independent double-precision residual, for each
// delta list (window-to-reference, reference-to-window, window-to-window)
// together with the feature, bias and gravity terms. The dense system is read
// back through the block kernels, so layout and kernels are checked too.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <vector>

#include "ISOWindow.h"
#include "optimization/ISOSolver.h"

namespace {

using Vec = std::vector<double>;

// R(q): the transpose of Hamilton's matrix (world to body).
void Rotation(const double* q, double* R) {
  double H[9];
  SyntheticScene::Hamilton(q, H);
  for (int k = 0; k < 9; ++k) R[k] = H[3 * (k % 3) + k / 3];
}
template <class A, class B>
double Dot(const A* a, const B* x) {
  return a[0] * x[0] + a[1] * x[1] + a[2] * x[2];
}
// Appends sqrt(w) e for a 3-vector residual.
void Push(Vec& r, double w, const double* e) {
  for (int k = 0; k < 3; ++k) r.push_back(std::sqrt(w) * e[k]);
}

// One camera in double: p, v, q, ba, bg.
struct Camera {
  double p[3], v[3], q[4], ba[3], bg[3];
  explicit Camera(const CameraIMUState& c) {
    for (int k = 0; k < 3; ++k) p[k] = c.p[k], v[k] = c.v[k], ba[k] = c.ba[k], bg[k] = c.bg[k];
    for (int k = 0; k < 4; ++k) q[k] = c.q[k];
  }
  // Variable n of the 15 moved by h, rotations as LA::UpdateQuaternion.
  void Move(int n, double h) {
    double* groups[5] = {p, v, nullptr, ba, bg};
    if (n / 3 != 2) {
      groups[n / 3][n % 3] += h;
      return;
    }
    double d[4] = {0, 0, 0, 0}, o[4], n2 = 0;
    d[n % 3] = h / 2;
    SyntheticScene::Multiply(q, d, o);
    for (int i = 0; i < 4; ++i) o[i] += q[i], n2 += o[i] * o[i];
    for (int i = 0; i < 4; ++i) q[i] = o[i] / std::sqrt(n2);
  }
};

// The pair residuals written from their definitions: o is the offset
// subtracted from p_j - p_i, c_p / c_v / c_r the constant parts, w the
// weights of position, velocity, rotation, velocity smoothness, velocity
// regularisation and the two bias smoothness terms.
void PairResiduals(const Camera& i, const Camera& j, const double* o, const double* cp,
                   const double* cv, const double* cr, const float* dq, double invDt,
                   const float (*w)[4], Vec& r) {
  double R[9], d[3], u[3], ep[3], ev[3], er[3], evr[3], eba[3], ebg[3];
  Rotation(i.q, R);
  for (int k = 0; k < 3; ++k) d[k] = j.p[k] - i.p[k] - o[k], u[k] = j.v[k] - i.v[k];
  for (int k = 0; k < 3; ++k) {
    ep[k] = Dot(R + 3 * k, d) - cp[k];
    ev[k] = Dot(R + 3 * k, u) - cv[k];
    evr[k] = i.v[k] - (j.p[k] - i.p[k]) * invDt;
    eba[k] = j.ba[k] - i.ba[k];
    ebg[k] = j.bg[k] - i.bg[k];
  }
  // 2 vec(conj(dq) conj(q_i) q_j), negated unless the two agree in sign.
  const double ci[4] = {-i.q[0], -i.q[1], -i.q[2], i.q[3]};
  const double cb[4] = {-dq[0], -dq[1], -dq[2], dq[3]};
  double a[4], E[4];
  SyntheticScene::Multiply(ci, j.q, a);
  SyntheticScene::Multiply(cb, a, E);
  const double s = (a[0] * dq[0] + a[1] * dq[1] + a[2] * dq[2] + a[3] * dq[3]) > 0 ? 2.0 : -2.0;
  for (int k = 0; k < 3; ++k) er[k] = s * E[k] - cr[k];
  const double* e[7] = {ep, ev, er, u, evr, eba, ebg};
  for (int t = 0; t < 7; ++t) Push(r, w[t][0], e[t]);
}

void DeltaResiduals(const ISODelta& D, const Camera& i, const Camera& j, Vec& r) {
  using namespace ISOLane;
  const auto* l = D.lane;
  double dba[3], dbg[3], o[3], cp[3], cv[3], cr[3];
  for (int k = 0; k < 3; ++k) dba[k] = i.ba[k] - l[kBa][k], dbg[k] = i.bg[k] - l[kBg][k];
  for (int k = 0; k < 3; ++k) {
    o[k] = l[kDt][0] * i.v[k];
    cp[k] = l[kDp][k] + Dot(l[kDpDba + k], dba) + Dot(l[kDpDbg + k], dbg);
    cv[k] = l[kDv][k] + Dot(l[kDvDba + k], dba) + Dot(l[kDvDbg + k], dbg);
    cr[k] = Dot(l[kDrDbg + k], dbg);
  }
  PairResiduals(i, j, o, cp, cv, cr, l[kDq], l[kInvDt][0], l + kWp, r);
}

void FixedResiduals(const ISOFixedDelta& F, const Camera& i, const Camera& j, Vec& r) {
  using namespace ISOFixedLane;
  const auto* l = F.lane;
  double o[3], cp[3], cv[3], cr[3];
  for (int k = 0; k < 3; ++k)
    o[k] = l[kO][k], cp[k] = l[kCp][k], cv[k] = l[kCv][k], cr[k] = l[kCr][k];
  PairResiduals(i, j, o, cp, cv, cr, l[kDq], l[kInvDt][0], l + kWp, r);
}

Vec Residuals(const ISOProblem& P, const ISOState& S, const std::vector<Camera>& window) {
  std::vector<Camera> reference;
  for (const CameraIMUState& c : S.referenceCameras) reference.emplace_back(c);
  Vec r;
  const double qo[4] = {S.extrinsic[0], S.extrinsic[1], S.extrinsic[2], S.extrinsic[3]};
  for (u32 c = 0; c < window.size(); ++c) {
    double qc[4], R[9], t[3], x[3];
    SyntheticScene::Multiply(window[c].q, qo, qc);
    Rotation(qc, R);
    for (int k = 0; k < 3; ++k) t[k] = S.extrinsic[4 + k] - Dot(R + 3 * k, window[c].p);
    for (u32 l = 0; l < 4; ++l) {
      const double w = std::sqrt(double(P.feature3DWeights[l].v[0]));
      for (u32 m = P.feature3DStarts[4 * c + l]; m < P.feature3DStarts[4 * c + l + 1]; ++m) {
        const float* X = P.points[P.features3D[m].point];
        for (int k = 0; k < 3; ++k) x[k] = Dot(R + 3 * k, X) + t[k];
        r.push_back(w * (P.features3D[m].x - x[0] / x[2]));
        r.push_back(w * (P.features3D[m].y - x[1] / x[2]));
      }
    }
  }
  for (u32 k = 0; k < P.deltas1.count; ++k)
    DeltaResiduals(P.deltas1.records[k], window[P.deltas1.pairs[k].first],
                   reference[P.deltas1.pairs[k].second], r);
  for (u32 k = 0; k < P.deltas2.count; ++k)
    FixedResiduals(P.deltas2.records[k], reference[P.deltas2.pairs[k].first],
                   window[P.deltas2.pairs[k].second], r);
  for (u32 k = 0; k < P.deltas3.count; ++k)
    DeltaResiduals(P.deltas3.records[k], window[P.deltas3.pairs[k].first],
                   window[P.deltas3.pairs[k].second], r);
  for (const Camera& c : window) {
    double ea[3], eg[3];
    for (int k = 0; k < 3; ++k) {
      ea[k] = c.ba[k] - IMU::accelerometerBiasPrior.v[k];
      eg[k] = c.bg[k] - IMU::gyroscopeBiasPrior.v[k];
    }
    Push(r, P.biasWeights[0], ea);
    Push(r, P.biasWeights[1], eg);
  }
  for (u32 g = 0; g < P.gravity.Size(); ++g) {
    double R[9], e[3];
    Rotation(window[P.gravityCameras[g]].q, R);
    for (int k = 0; k < 3; ++k) e[k] = R[3 * k + 2] - P.gravity[g].direction[k];
    Push(r, P.gravity[g].weight[0], e);
  }
  return r;
}

// A perturbed window of four key frames (1-4) between two reference key
// frames (0 and 5) at the truth, so that every residual is non-zero.
class ISOSolverBlocks : public testing::Test {
 protected:
  static SyntheticSceneOptions Options() {
    SyntheticSceneOptions o;
    o.seed = 21;
    o.duration = 3.0;
    o.pointsPerKeyFrame = 20;
    o.featureNoise = 1.0 / 500.0;
    o.accelerometerBias[1] = 0.05;
    o.gyroscopeBias[0] = 0.003;
    return o;
  }

  ISOSolverBlocks() : window(Options(), 4, 25, 1.0, 1) {
    // Long enough a time scale that the velocity terms weigh something.
    const f64 saved = IMU_VARIANCE_VELOCITY_TIME_DEVIATION;
    IMU_VARIANCE_VELOCITY_TIME_DEVIATION = 1.0;
    for (u32 k = 0; k < 5; ++k) ISODelta::Set(deltas[k], window.scene.Preintegrate(k, k + 1), 0.5);
    IMU_VARIANCE_VELOCITY_TIME_DEVIATION = saved;
    window.Perturb(9, 0.03f, 0.1f, 0.05f, 0.02f);
    ISOState::Copy(state, window.state);
    state.referenceCameras.Resize(2);
    for (u32 r = 0; r < 2; ++r)
      state.referenceCameras[r] = ToCamera(state.extrinsic, window.scene.keyFrames[5 * r].state);
    state.referenceIds = {0, 5};
    base = window.problem;
    base.deltas3 = ISODeltaList<ISODelta>();
  }

  // Compares the solver's system at the state with the differenced one.
  void Compare(const ISOProblem& P, bool gaugeFixed, const char* what) {
    ISOSolver solver;
    solver.BuildStructure(P, state);
    solver.ConstructNormalEquation(P, state);
    const u32 N = state.windowCameras.Size(), n = 15 * N;
    std::vector<Camera> cameras;
    for (const CameraIMUState& c : state.windowCameras) cameras.emplace_back(c);
    const Vec r = Residuals(P, state, cameras);
    const Eigen::Map<const Eigen::VectorXd> r0(r.data(), r.size());
    Eigen::MatrixXd J(r.size(), n);
    const double h = 1e-4;
    for (u32 col = 0; col < n; ++col) {
      std::vector<Camera> plus = cameras, minus = cameras;
      plus[col / 15].Move(col % 15, h);
      minus[col / 15].Move(col % 15, -h);
      const Vec rp = Residuals(P, state, plus), rm = Residuals(P, state, minus);
      for (size_t m = 0; m < r.size(); ++m) J(m, col) = (rp[m] - rm[m]) / (2 * h);
    }
    if (gaugeFixed) J.middleCols(3, 3).setZero();  // camera 0's velocity
    const Eigen::MatrixXd H = J.transpose() * J;
    const Eigen::VectorXd b = -J.transpose() * r0;
    const double F = r0.squaredNorm();
    // Columns of the solver's system through the block kernels.
    AlignedArray<LA::CameraVector15> x, y;
    x.Resize(N);
    y.Resize(N);
    for (u32 col = 0; col < n; ++col) {
      std::memset(static_cast<void*>(x.Data()), 0, sizeof(LA::CameraVector15) * N);
      std::memset(static_cast<void*>(y.Data()), 0, sizeof(LA::CameraVector15) * N);
      x[col / 15].v[4 * ((col % 15) / 3) + col % 3] = 1.0f;
      for (u32 c = 0; c < N; ++c)
        LA::MultiplySymmetricBlock15(solver.CameraBlocks()[c], x[c], y[c]);
      for (size_t k = 0; k < solver.Pairs().size(); ++k) {
        const u32 i = solver.Pairs()[k].first, j = solver.Pairs()[k].second;
        LA::MultiplyBlock15(solver.PairBlocks()[k], x[j], y[i]);
        LA::MultiplyBlock15Transposed(solver.PairBlocks()[k], x[i], y[j]);
      }
      for (u32 row = 0; row < n; ++row) {
        const double got = y[row / 15].v[4 * ((row % 15) / 3) + row % 3];
        const double tol = 2e-3 * std::sqrt(std::fabs(H(row, row) * H(col, col))) + 1e-6;
        EXPECT_NEAR(got, H(row, col), tol) << what << " row " << row << " column " << col;
      }
    }
    for (u32 row = 0; row < n; ++row) {
      const double got = solver.Gradient()[row / 15].v[4 * ((row % 15) / 3) + row % 3];
      EXPECT_NEAR(got, b(row), 2e-3 * std::sqrt(H(row, row) * F) + 1e-6) << what << " " << row;
    }
  }

  ISOWindow window;
  ISODelta deltas[5];
  ISOState state;
  ISOProblem base;
};

TEST_F(ISOSolverBlocks, EachDeltaListWithFeaturesGravityAndBiases) {
  ISOProblem P = base;  // window pairs 1-2, 2-3, 3-4 and the gauge fix
  P.deltas3.count = 3;
  P.deltas3.records.Resize(3);
  for (u32 k = 0; k < 3; ++k) {
    P.deltas3.records[k] = deltas[k + 1];
    P.deltas3.pairs.emplace_back(k, k + 1);
  }
  Compare(P, true, "window to window");

  P = base;  // window camera 4 to reference camera 5
  P.deltas1.count = 1;
  P.deltas1.records.Resize(1);
  P.deltas1.records[0] = deltas[4];
  P.deltas1.pairs.emplace_back(3, 1);
  Compare(P, false, "window to reference");

  P = base;  // reference camera 0 to window camera 1
  P.deltas2.count = 1;
  P.deltas2.records.Resize(1);
  ISOFixedDelta::Set(P.deltas2.records[0], deltas[0], state.referenceCameras[0]);
  P.deltas2.pairs.emplace_back(0, 0);
  Compare(P, false, "reference to window");
}

// A fixed pair built from a reference camera costs what the window pair
// costs with that camera in the window.
TEST_F(ISOSolverBlocks, FixedDeltaReproducesTheWindowPair) {
  ISOSolver solver;
  ISOProblem fixed, free;
  fixed.deltas2.count = free.deltas3.count = 1;
  fixed.deltas2.records.Resize(1);
  ISOFixedDelta::Set(fixed.deltas2.records[0], deltas[0], state.referenceCameras[0]);
  fixed.deltas2.pairs.emplace_back(0, 0);
  free.deltas3.records.Resize(1);
  free.deltas3.records[0] = deltas[0];
  free.deltas3.pairs.emplace_back(0, 1);
  ISOState both;
  ISOState::Copy(both, state);
  both.windowCameras.Resize(2);
  both.windowCameras[0] = state.referenceCameras[0];
  both.windowCameras[1] = state.windowCameras[0];
  const float a = solver.ComputeCost(fixed, state, 0), b = solver.ComputeCost(free, both, 0);
  EXPECT_GT(a, 0.0f);
  EXPECT_NEAR(a, b, 1e-4 * b);
}

// Lanes that divide by dt stay finite (zero) for a delta without duration,
// and such a record joins a run without spoiling it.
TEST_F(ISOSolverBlocks, DeltaWithoutDurationGetsZeroWeights) {
  using namespace ISOLane;
  IMUDelta in = window.scene.Preintegrate(1, 2);
  ISODelta iso;
  for (double bad : {0.0, -0.25}) {
    in.dt = bad;
    ISODelta::Set(iso, in, 0.5);
    for (int l = 0; l < kCount; ++l)
      for (int k = 0; k < 4; ++k) ASSERT_TRUE(std::isfinite(iso.lane[l][k])) << "lane " << l;
    for (int l : {kInvDt, kWsa, kWsg, kWvrDt})
      for (int k = 0; k < 4; ++k) EXPECT_EQ(iso.lane[l][k], 0.0f) << "lane " << l;
    ISOProblem P = base;
    P.deltas3.count = 1;
    P.deltas3.records.Resize(1);
    P.deltas3.records[0] = iso;
    P.deltas3.pairs.emplace_back(0, 1);
    ISOSolver solver;
    EXPECT_TRUE(std::isfinite(solver.ComputeCost(P, state, 0)));
    ISOState copy;
    ISOState::Copy(copy, state);
    EXPECT_NE(solver.Run(P, copy, 0), ISO_LM_INFINIT_SSE);
    EXPECT_TRUE(std::isfinite(copy.windowCameras[1].p[0]));
  }
}

}  // namespace
