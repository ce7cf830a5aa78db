// The ISO normal equations against J^T W J and -J^T W e of central-
// difference Jacobians of an independent double-precision residual, for each
// delta list (window-to-reference, reference-to-window, window-to-window)
// together with the feature, bias and gravity terms, and the light gravity
// and velocity-regularisation terms alone. The dense system is read back
// through the block kernels, so layout and kernels are checked too.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/ISOWindow.h"
#include "optimization/ISOSolver.h"

namespace {

using Vec = std::vector<double>;
using V3 = Eigen::Vector3d;
using Q = Eigen::Quaterniond;

V3 F3(const float* x) {
  return V3(x[0], x[1], x[2]);
}
Q FQ(const float* q) {
  return Q(q[3], q[0], q[1], q[2]);
}
// R(q): the transpose of Hamilton's matrix (world to body).
Eigen::Matrix3d Rotation(const Q& q) {
  return q.toRotationMatrix().transpose();
}
// A 3x3 matrix from three row lanes.
Eigen::Matrix3d Rows(const float (*l)[4]) {
  Eigen::Matrix3d M;
  for (int r = 0; r < 3; ++r) M.row(r) = F3(l[r]).transpose();
  return M;
}
// Appends sqrt(w) e for a 3-vector residual.
void Push(Vec& r, double w, const V3& e) {
  for (int k = 0; k < 3; ++k) r.push_back(std::sqrt(w) * e[k]);
}

// One camera in double.
struct Camera {
  V3 p, v, ba, bg;
  Q q;
  explicit Camera(const CameraIMUState& c)
      : p(F3(c.p)), v(F3(c.v)), ba(F3(c.ba)), bg(F3(c.bg)), q(FQ(c.q)) {}
  // Variable n of the 15 moved by h, rotations as LA::UpdateQuaternion:
  // q (x) (h e_k / 2, 1), normalised.
  void Move(int n, double h) {
    V3* groups[5] = {&p, &v, nullptr, &ba, &bg};
    if (n / 3 != 2) {
      (*groups[n / 3])[n % 3] += h;
      return;
    }
    V3 d = V3::Zero();
    d[n % 3] = h / 2;
    q = Q(q.coeffs() + (q * Q(0.0, d.x(), d.y(), d.z())).coeffs()).normalized();
  }
};

// The pair residuals written from their definitions: o is the offset
// subtracted from p_j - p_i, c_p / c_v / c_r the constant parts, w the
// weights of position, velocity, rotation, velocity smoothness, velocity
// regularisation and the two bias smoothness terms.
void PairResiduals(const Camera& i, const Camera& j, const V3& o, const V3& cp, const V3& cv,
                   const V3& cr, const float* dq, double invDt, const float (*w)[4], Vec& r) {
  const Eigen::Matrix3d R = Rotation(i.q);
  const V3 u = j.v - i.v;
  // 2 vec(conj(dq) conj(q_i) q_j), negated unless the two agree in sign.
  const Q a = i.q.conjugate() * j.q, b = FQ(dq), E = b.conjugate() * a;
  const double s = a.coeffs().dot(b.coeffs()) > 0 ? 2.0 : -2.0;
  const V3 e[7] = {R * (j.p - i.p - o) - cp,  R * u - cv,  s * E.vec() - cr, u,
                   i.v - (j.p - i.p) * invDt, j.ba - i.ba, j.bg - i.bg};
  for (int t = 0; t < 7; ++t) Push(r, w[t][0], e[t]);
}

void DeltaResiduals(const ISODelta& D, const Camera& i, const Camera& j, Vec& r) {
  using namespace ISOLane;
  const auto* l = D.lane;
  const V3 dba = i.ba - F3(l[kBa]), dbg = i.bg - F3(l[kBg]);
  PairResiduals(i, j, double(l[kDt][0]) * i.v,
                F3(l[kDp]) + Rows(l + kDpDba) * dba + Rows(l + kDpDbg) * dbg,
                F3(l[kDv]) + Rows(l + kDvDba) * dba + Rows(l + kDvDbg) * dbg,
                Rows(l + kDrDbg) * dbg, l[kDq], l[kInvDt][0], l + kWp, r);
}

void FixedResiduals(const ISOFixedDelta& F, const Camera& i, const Camera& j, Vec& r) {
  using namespace ISOFixedLane;
  const auto* l = F.lane;
  PairResiduals(i, j, F3(l[kO]), F3(l[kCp]), F3(l[kCv]), F3(l[kCr]), l[kDq], l[kInvDt][0], l + kWp,
                r);
}

Vec Residuals(const ISOProblem& P, const ISOState& S, const std::vector<Camera>& window) {
  std::vector<Camera> reference;
  for (const CameraIMUState& c : S.referenceCameras) reference.emplace_back(c);
  Vec r;
  for (u32 c = 0; c < window.size(); ++c) {
    const Eigen::Matrix3d R = Rotation(window[c].q * FQ(S.extrinsic));
    const V3 t = F3(S.extrinsic + 4) - R * window[c].p;
    for (u32 l = 0; l < 4; ++l) {
      const double w = std::sqrt(double(P.feature3DWeights[l].v[0]));
      for (u32 m = P.feature3DStarts[4 * c + l]; m < P.feature3DStarts[4 * c + l + 1]; ++m) {
        const V3 x = R * F3(P.points[P.features3D[m].point]) + t;
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
    Push(r, P.biasWeights[0], c.ba - F3(IMU::accelerometerBiasPrior.v));
    Push(r, P.biasWeights[1], c.bg - F3(IMU::gyroscopeBiasPrior.v));
  }
  for (u32 g = 0; g < P.gravity.Size(); ++g)
    Push(r, P.gravity[g].weight[0],
         Rotation(window[P.gravityCameras[g]].q).col(2) - F3(P.gravity[g].direction));
  return r;
}

// Appends one record tying cameras i and j to a delta list.
template <class T>
void Add(ISODeltaList<T>& L, const T& record, u32 i, u32 j) {
  L.records.Resize(L.count);
  L.records.PushBack(record, 4);
  L.pairs.emplace_back(i, j);
  ++L.count;
}

// A perturbed window of four key frames (1-4) between two reference key
// frames (0 and 5) at the truth, so that every residual is non-zero.
class ISOSolverBlocks : public testing::Test {
 protected:
  static InertialSceneOptions Options() {
    InertialSceneOptions o;
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

  // The delta from reference camera 0 as a fixed pair record.
  ISOFixedDelta Fixed(const ISODelta& d) const {
    ISOFixedDelta f;
    ISOFixedDelta::Set(f, d, state.referenceCameras[0]);
    return f;
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
  for (u32 k = 0; k < 3; ++k) Add(P.deltas3, deltas[k + 1], k, k + 1);
  Compare(P, true, "window to window");

  P = base;  // window camera 4 to reference camera 5
  Add(P.deltas1, deltas[4], 3, 1);
  Compare(P, false, "window to reference");

  P = base;  // reference camera 0 to window camera 1
  Add(P.deltas2, Fixed(deltas[0]), 0, 0);
  Compare(P, false, "reference to window");
}

// Beside the features, gravity and velocity regularisation weigh too little
// for a wrong sign to show, so each is compared alone, all else weightless.
TEST_F(ISOSolverBlocks, GravityAndVelocityRegularisationAlone) {
  ISOProblem P = base;
  for (u32 l = 0; l < P.feature3DWeights.Size(); ++l) std::fill_n(P.feature3DWeights[l].v, 4, 0.0f);
  P.biasWeights[0] = P.biasWeights[1] = 0.0f;
  Compare(P, true, "gravity alone");

  for (u32 g = 0; g < P.gravity.Size(); ++g) std::fill_n(P.gravity[g].weight, 4, 0.0f);
  ISODelta d[5];
  for (u32 k = 0; k < 5; ++k) {
    d[k] = deltas[k];
    for (int l = ISOLane::kWp; l < ISOLane::kCount; ++l)
      if (l != ISOLane::kWvr && l != ISOLane::kWvrDt) std::fill_n(d[k].lane[l], 4, 0.0f);
  }
  Add(P.deltas1, d[4], 3, 1);  // all three lists at once
  Add(P.deltas2, Fixed(d[0]), 0, 0);
  for (u32 k = 0; k < 3; ++k) Add(P.deltas3, d[k + 1], k, k + 1);
  Compare(P, false, "velocity regularisation alone");
}

// A fixed pair built from a reference camera costs what the window pair
// costs with that camera in the window.
TEST_F(ISOSolverBlocks, FixedDeltaReproducesTheWindowPair) {
  ISOSolver solver;
  ISOProblem fixed, free;
  Add(fixed.deltas2, Fixed(deltas[0]), 0, 0);
  Add(free.deltas3, deltas[0], 0, 1);
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
    Add(P.deltas3, iso, 0, 1);
    ISOSolver solver;
    EXPECT_TRUE(std::isfinite(solver.ComputeCost(P, state, 0)));
    ISOState copy;
    ISOState::Copy(copy, state);
    EXPECT_NE(solver.Run(P, copy, 0), ISO_LM_INFINIT_SSE);
    EXPECT_TRUE(std::isfinite(copy.windowCameras[1].p[0]));
  }
}

}  // namespace
