// The ISO solver's Levenberg-Marquardt loop, its structure, the gauge fix,
// the damping, the preconditioned conjugate-gradient solve of the
// block-tridiagonal camera system and the state update.
#include "optimization/ISOSolver.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "la/Pose.h"

namespace {

using Rows = float (*)[4];
using ConstRows = const float (*)[4];

template <class Block>
inline Rows RowsOf(Block& b) {
  return reinterpret_cast<Rows>(&b);
}
template <class Block>
inline ConstRows RowsOf(const Block& b) {
  return reinterpret_cast<ConstRows>(&b);
}

// Rows of the diagonal 3x3 blocks of a camera block, and of its velocity
// diagonal.
constexpr int kDiagonalBlocks[4] = {0, 23, 32, 38};
constexpr int kVelocityRow = 13;
constexpr int kGroupOfBlock[4] = {0, 2, 3, 4};

void PrintDashes() {
  std::printf("----------------------------------------------------------------\n");
}

// y = M x over the three used floats of x, M held as three rows.
inline __m128 Multiply3(const float (*M)[4], __m128 x) {
  const __m128 y0 = _mm_dp_ps(_mm_load_ps(M[0]), x, 0x71);
  const __m128 y1 = _mm_dp_ps(_mm_load_ps(M[1]), x, 0x72);
  const __m128 y2 = _mm_dp_ps(_mm_load_ps(M[2]), x, 0x74);
  return _mm_or_ps(_mm_or_ps(y0, y1), y2);
}

// y += a x over all 20 floats of every element.
void Axpy(float a, const AlignedArray<LA::CameraVector15>& x, AlignedArray<LA::CameraVector15>& y) {
  const __m128 s = _mm_set1_ps(a);
  const float* px = reinterpret_cast<const float*>(x.Data());
  float* py = reinterpret_cast<float*>(y.Data());
  for (u32 k = 0; k < 5 * x.Size(); ++k, px += 4, py += 4)
    _mm_store_ps(py, _mm_add_ps(_mm_load_ps(py), _mm_mul_ps(s, _mm_load_ps(px))));
}

}  // namespace

const char* ISOStopReasonName(ISOStopReason reason) {
  static const char* const kNames[] = {
      "ISO_LM_ENOUGH_ITERATIONS", "ISO_LM_NORMAL_EQUATION_FAIL",
      "ISO_LM_SMALL_DELTA",       "ISO_LM_INFINIT_SSE",
      "ISO_LM_SMALL_MSE",         "ISO_LM_SMALL_RELATIVE_REDUCTION",
      "ISO_LM_SMALL_JTE",         "ISO_LM_LARGE_DAMPING"};
  const unsigned r = static_cast<unsigned>(reason);
  return r < 8 ? kNames[r] : "ISO_LM_UNKNOWN";
}

bool ISOSolver::CheckInput(const ISOProblem& problem, const ISOState& state) const {
  const char* fault = nullptr;
  const u32 N = state.windowCameras.Size(), R = state.referenceCameras.Size();
  if (problem.features2D.Size() > 0) {
    std::fprintf(stderr,
                 "ISOSolver::Run: %u 2-D feature terms given, which the solver does not support; "
                 "state left unchanged\n",
                 problem.features2D.Size());
    return false;
  }
  auto pairsValid = [](const auto& list, u32 ni, u32 nj) {
    if (list.count > list.records.Size() || list.count > list.pairs.size()) return false;
    for (u32 k = 0; k < list.count; ++k)
      if (list.pairs[k].first >= ni || list.pairs[k].second >= nj) return false;
    return true;
  };
  const std::vector<u32>& starts = problem.feature3DStarts;
  if (N == 0) {
    fault = "no window camera";
  } else if (problem.features3D.Size() > 0 &&
             (starts.size() != 4 * N + 1 || problem.feature3DWeights.Size() < 4 ||
              problem.points == nullptr)) {
    fault = "3-D feature groups, level weights or points missing";
  } else if (!pairsValid(problem.deltas1, N, R) || !pairsValid(problem.deltas2, R, N) ||
             !pairsValid(problem.deltas3, N, N)) {
    fault = "a delta list names a camera that does not exist or lacks records";
  } else if (problem.gravityCameras.size() < problem.gravity.Size()) {
    fault = "gravity records without cameras";
  }
  if (!fault && problem.features3D.Size() > 0) {
    for (u32 g = 0; g < 4 * N && !fault; ++g)
      if (starts[g + 1] < starts[g] || starts[g + 1] > problem.features3D.Size())
        fault = "3-D feature group starts out of order or out of range";
  }
  for (u32 k = 1; k < problem.deltas3.count && !fault; ++k)
    if (problem.deltas3.pairs[k] <= problem.deltas3.pairs[k - 1])
      fault = "window delta pairs not sorted";
  for (u32 k = 0; k < problem.deltas3.count && !fault; ++k)
    if (problem.deltas3.pairs[k].first == problem.deltas3.pairs[k].second)
      fault = "a window delta pair ties a camera to itself";
  for (u32 r = 0; r < problem.gravity.Size() && !fault; ++r)
    if (problem.gravityCameras[r] >= N)
      fault = "a gravity record names a camera that does not exist";
  for (size_t k = 0; k < problem.measurementPairs.size() && !fault; ++k)
    if (problem.measurementPairs[k].first >= N || problem.measurementPairs[k].second >= N)
      fault = "a measurement pair names a camera that does not exist";
  if (fault) {
    std::fprintf(stderr, "ISOSolver::Run: %s; state left unchanged\n", fault);
    return false;
  }
  return true;
}

void ISOSolver::ResizeNormalEquation(u32 cameras, u32 pairs) {
  cameraBlocks_.Resize(cameras);
  pairBlocks_.Resize(pairs);
  gradient_.Resize(cameras);
  diagonals_.Resize(cameras);
  step_.Resize(cameras);
  r_.Resize(cameras);
  z_.Resize(cameras);
  p_.Resize(cameras);
  w_.Resize(cameras);
  preconditioner_.Resize(cameras);
}

void ISOSolver::BuildStructure(const ISOProblem& problem, const ISOState& state) {
  const u32 sorted = problem.deltas3.count;
  pairs_.assign(problem.deltas3.pairs.begin(), problem.deltas3.pairs.begin() + sorted);
  measurementPairBlocks_.resize(problem.measurementPairs.size());
  for (size_t m = 0; m < problem.measurementPairs.size(); ++m) {
    const std::pair<u32, u32>& pair = problem.measurementPairs[m];
    const auto it = std::lower_bound(pairs_.begin(), pairs_.begin() + sorted, pair);
    u32 index;
    if (it != pairs_.begin() + sorted && *it == pair) {
      index = static_cast<u32>(it - pairs_.begin());
    } else {
      // Pairs beyond the sorted delta pairs are few; a linear look keeps
      // them unique.
      const auto tail = std::find(pairs_.begin() + sorted, pairs_.end(), pair);
      index = static_cast<u32>(tail - pairs_.begin());
      if (tail == pairs_.end()) pairs_.push_back(pair);
    }
    measurementPairBlocks_[m] = index;
  }
  ResizeNormalEquation(state.windowCameras.Size(), static_cast<u32>(pairs_.size()));
}

void ISOSolver::FixGauge() {
  if (cameraBlocks_.Size() == 0) return;
  Rows a = RowsOf(cameraBlocks_[0]);
  std::memset(a[3], 0, sizeof(float) * 4);
  std::memset(a[13], 0, sizeof(float) * 4 * 10);  // rows 13-22
  if (!pairs_.empty() && pairs_[0].first == 0) {
    Rows B = RowsOf(pairBlocks_[0]);
    std::memset(B[6], 0, sizeof(float) * 8);  // rows 6 and 7
  }
  std::memset(RowsOf(gradient_[0])[1], 0, sizeof(float) * 4);
}

void ISOSolver::SaveDiagonals() {
  for (u32 c = 0; c < cameraBlocks_.Size(); ++c) {
    ConstRows a = RowsOf(cameraBlocks_[c]);
    Rows d = RowsOf(diagonals_[c]);
    for (int b = 0; b < 4; ++b) {
      const int row = kDiagonalBlocks[b], group = kGroupOfBlock[b];
      for (int k = 0; k < 3; ++k) d[group][k] = a[row + k][k];
      d[group][3] = 0.0f;
    }
    std::memcpy(d[1], a[kVelocityRow], sizeof(float) * 4);
  }
}

void ISOSolver::DampDiagonals(float factor) {
  for (u32 c = 0; c < cameraBlocks_.Size(); ++c) {
    Rows a = RowsOf(cameraBlocks_[c]);
    ConstRows d = RowsOf(diagonals_[c]);
    for (int b = 0; b < 4; ++b) {
      const int row = kDiagonalBlocks[b], group = kGroupOfBlock[b];
      for (int k = 0; k < 3; ++k) a[row + k][k] = d[group][k] * factor;
    }
    _mm_store_ps(a[kVelocityRow], _mm_mul_ps(_mm_load_ps(d[1]), _mm_set1_ps(factor)));
  }
}

void ISOSolver::RestoreDiagonals() {
  DampDiagonals(1.0f);
}

void ISOSolver::InvertCameraBlocks() {
  for (u32 c = 0; c < cameraBlocks_.Size(); ++c) {
    ConstRows a = RowsOf(cameraBlocks_[c]);
    Preconditioner& M = preconditioner_[c];
    LA::AlignedMatrix3f* inverses[4] = {&M.position, &M.rotation, &M.accelerometerBias,
                                        &M.gyroscopeBias};
    for (int b = 0; b < 4; ++b) {
      LA::InvertSymmetric3x3(*reinterpret_cast<const LA::AlignedMatrix3f*>(a[kDiagonalBlocks[b]]),
                             *inverses[b]);
      for (int k = 0; k < 3; ++k) inverses[b]->m[k][3] = 0.0f;
    }
    for (int k = 0; k < 4; ++k) {
      const float d = a[kVelocityRow][k];
      M.velocity.v[k] = d == 0.0f ? 0.0f : 1.0f / d;
    }
  }
}

void ISOSolver::ApplyPreconditioner(const AlignedArray<LA::CameraVector15>& r,
                                    AlignedArray<LA::CameraVector15>& z) const {
  for (u32 c = 0; c < r.Size(); ++c) {
    const Preconditioner& M = preconditioner_[c];
    ConstRows x = RowsOf(r[c]);
    Rows y = RowsOf(z[c]);
    _mm_store_ps(y[0], Multiply3(M.position.m, _mm_load_ps(x[0])));
    _mm_store_ps(y[1], _mm_mul_ps(_mm_load_ps(M.velocity.v), _mm_load_ps(x[1])));
    _mm_store_ps(y[2], Multiply3(M.rotation.m, _mm_load_ps(x[2])));
    _mm_store_ps(y[3], Multiply3(M.accelerometerBias.m, _mm_load_ps(x[3])));
    _mm_store_ps(y[4], Multiply3(M.gyroscopeBias.m, _mm_load_ps(x[4])));
  }
}

void ISOSolver::MultiplySystem(const AlignedArray<LA::CameraVector15>& x,
                               AlignedArray<LA::CameraVector15>& y) const {
  std::memset(static_cast<void*>(y.Data()), 0, sizeof(LA::CameraVector15) * y.Size());
  for (u32 c = 0; c < x.Size(); ++c) LA::MultiplySymmetricBlock15(cameraBlocks_[c], x[c], y[c]);
  for (u32 k = 0; k < pairs_.size(); ++k) {
    const u32 i = pairs_[k].first, j = pairs_[k].second;
    LA::MultiplyBlock15(pairBlocks_[k], x[j], y[i]);
    LA::MultiplyBlock15Transposed(pairBlocks_[k], x[i], y[j]);
  }
}

u32 ISOSolver::SolvePCG() {
  InvertCameraBlocks();
  LA::Copy15(r_, gradient_);
  ApplyPreconditioner(r_, z_);
  float rz = LA::Dot15(r_, z_);
  MultiplySystem(z_, w_);
  float alpha = rz / LA::Dot15(z_, w_);
  const float tolerance = std::fabs(rz) * parameters.pcgTolerance;
  const float divergence = std::fabs(rz) * parameters.pcgDivergence;
  if (!std::isfinite(alpha)) return 0;
  LA::Copy15(p_, z_);
  LA::Copy15(step_, z_);
  LA::Scale15(step_, alpha);
  Axpy(-alpha, w_, r_);
  u32 i = 1;
  for (; i < parameters.pcgMaxIterations; ++i) {
    ApplyPreconditioner(r_, z_);
    const float rzNew = LA::Dot15(r_, z_);
    if (std::fabs(rzNew) <= tolerance && i >= parameters.pcgMinIterations) break;
    if (rzNew == 0.0f || std::fabs(rzNew) > divergence) break;
    LA::Scale15(p_, rzNew / rz);
    LA::Add15(p_, z_);
    MultiplySystem(p_, w_);
    alpha = rzNew / LA::Dot15(p_, w_);
    if (!std::isfinite(alpha)) break;
    Axpy(alpha, p_, step_);
    Axpy(-alpha, w_, r_);
    rz = rzNew;
  }
  return i;
}

void ISOSolver::UpdateState(ISOState& state) const {
  for (u32 c = 0; c < state.windowCameras.Size(); ++c) {
    CameraIMUState& camera = state.windowCameras[c];
    ConstRows dx = RowsOf(step_[c]);
    float* p = camera.p;
    float* v = camera.v;
    float* q = camera.q;
    float* ba = camera.ba;
    float* bg = camera.bg;
    for (int k = 0; k < 3; ++k) {
      p[k] += dx[0][k];
      v[k] += dx[1][k];
      ba[k] += dx[3][k];
      bg[k] += dx[4][k];
    }
    alignas(16) float updated[4], scratch[8];
    LA::UpdateQuaternion(dx[2], q, updated);
    std::memcpy(q, updated, sizeof(updated));
    PoseToCameraF(state.extrinsic, p, q, camera.pose, scratch);
    LA::AlignedMatrix3f& R = camera.R;
    LA::QuaternionToRotationMatrix(q, R);
    LA::AlignedMatrix3f& Rt = camera.RT;
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) Rt.m[r][k] = R.m[k][r];
      R.m[r][3] = Rt.m[r][3] = 0.0f;
    }
  }
}

ISOStopReason ISOSolver::Run(const ISOProblem& problem, ISOState& state, u8 verbose) {
  if (!CheckInput(problem, state)) return ISO_LM_NORMAL_EQUATION_FAIL;
  const ISOParameters& P = parameters;
  if (verbose) {
    int set = 0;
    for (u8 flag : problem.cameraFlags) set += flag ? 1 : 0;
    PrintDashes();
    std::printf(
        "#Camera = %d, #Feature = %d + %d (%d + %d), #Delta = %d + %d + %d\n",
        static_cast<int>(state.windowCameras.Size()), static_cast<int>(problem.features3D.Size()),
        static_cast<int>(problem.features2D.Size()), set,
        static_cast<int>(problem.cameraFlags.size()) - set, static_cast<int>(problem.deltas1.count),
        static_cast<int>(problem.deltas2.count), static_cast<int>(problem.deltas3.count));
  }
  float lambda = P.initialDamping, nu = 2.0f;
  if (verbose > 1) {
    PrintDashes();
    std::printf("Iteration %d\n", 0);
  }
  float F = ComputeCost(problem, state, verbose);
  if (verbose == 1) {
    std::printf("   #LM   ||e||^2  ||e||^2_rel  ||JTe||_oo  ||dx||^2  damping   #PCG\n");
    std::printf("       %f\n", F);
  }
  BuildStructure(problem, state);
  ConstructNormalEquation(problem, state);
  SaveDiagonals();
  DampDiagonals(1.0f + lambda);

  ISOStopReason result = ISO_LM_ENOUGH_ITERATIONS;
  for (u32 k = 0; k < P.maxIterations; ++k) {
    const u32 n = SolvePCG();
    if (n == 0) {
      result = ISO_LM_NORMAL_EQUATION_FAIL;
      break;
    }
    const float s = LA::SquaredNorm15(step_);
    if (s < P.minStep) {
      result = ISO_LM_SMALL_DELTA;
      break;
    }
    ISOState::Copy(backup_, state);
    UpdateState(state);
    if (verbose > 1) {
      PrintDashes();
      std::printf("Iteration %d\n", static_cast<int>(k + 1));
    }
    const float Fnew = ComputeCost(problem, state, verbose);
    if (!std::isfinite(Fnew)) {
      ISOState::Copy(state, backup_);
      result = ISO_LM_INFINIT_SSE;
      break;
    }
    const float dF = F - Fnew;
    if (dF > 0.0f) {
      const float rel = dF / F;
      if (rel < P.minRelativeReduction) {
        result = ISO_LM_SMALL_RELATIVE_REDUCTION;
        break;
      }
      const float predicted =
          lambda * LA::WeightedSquaredNorm15(step_, diagonals_) + LA::Dot15(step_, gradient_);
      const float rho = dF / predicted, t = 2.0f * rho - 1.0f;
      lambda *= std::max(0.33333334f, 1.0f - t * t * t);
      nu = 2.0f;
      ConstructNormalEquation(problem, state);
      float g = 0.0f, scratch;
      LA::MaxAbs15(gradient_, g, scratch);
      if (g < P.minGradient) {
        result = ISO_LM_SMALL_JTE;
        break;
      }
      SaveDiagonals();
      DampDiagonals(1.0f + lambda);
      if (verbose == 1)
        std::printf("--> %d  %f  %f  %f  %f  %e  %d\n", static_cast<int>(k), Fnew, rel, g, s,
                    lambda, static_cast<int>(n));
      F = Fnew;
    } else {
      if (verbose == 1) std::printf("--> %d  %f\n", static_cast<int>(k), Fnew);
      ISOState::Copy(state, backup_);
      lambda *= nu;
      nu *= 2.0f;
      if (!std::isfinite(nu)) {
        result = ISO_LM_LARGE_DAMPING;
        break;
      }
      DampDiagonals(1.0f + lambda);
    }
    result = ISO_LM_ENOUGH_ITERATIONS;
  }
  if (verbose) std::printf("Stop by %s\n", ISOStopReasonName(result));
  return result;
}
