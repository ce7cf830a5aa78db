// The ISO solver's Levenberg-Marquardt loop, its structure, the gauge fix,
// the damping, the preconditioned conjugate-gradient solve of the
// block-tridiagonal camera system and the state update.
#include "optimization/ISOSolver.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "la/LMDamping.h"
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

void PrintDashes() {
  std::printf("----------------------------------------------------------------\n");
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
  fixGauge_ = problem.holdFirstVelocity && !problem.ReferencesWeighMotion();
}

void ISOSolver::FixGauge() {
  if (cameraBlocks_.Size() == 0) return;
  // The first camera's velocity is held: its rows and columns go.
  using A = LA::CameraBlock15;
  using B = LA::MotionPairBlock;
  float(*a)[4] = cameraBlocks_[0].m;
  std::memset(a[A::kPV], 0, sizeof(float) * 4);
  std::memset(a[A::kVV], 0, sizeof(float) * 4 * (A::kRR - A::kVV));
  if (!pairs_.empty() && pairs_[0].first == 0)
    std::memset(pairBlocks_[0].m[B::kD10], 0, sizeof(float) * 4 * (B::kB20 - B::kD10));
  std::memset(RowsOf(gradient_[0])[1], 0, sizeof(float) * 4);
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
  LA::InvertDiagonalBlocks15(cameraBlocks_, preconditioner_);
  const LA::PCGParameters P{parameters.pcgMinIterations, parameters.pcgMaxIterations,
                            parameters.pcgRelativeTolerance, parameters.pcgDivergenceFactor};
  return LA::SolvePCG([this](const LA::CameraVector15Array& x,
                             LA::CameraVector15Array& y) { MultiplySystem(x, y); },
                      [this](const LA::CameraVector15Array& r, LA::CameraVector15Array& z) {
                        LA::ApplyBlockJacobi15(preconditioner_, r, z);
                      },
                      gradient_, P, pcg_, step_);
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
  LMDamping<float> damping;
  damping.Reset(P.initialDamping);
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
  LA::SaveDiagonals15(cameraBlocks_, diagonals_);
  LA::DampDiagonals15(diagonals_, 1.0f + damping.lambda, cameraBlocks_);

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
      const float predicted = damping.lambda * LA::WeightedSquaredNorm15(step_, diagonals_) +
                              LA::Dot15(step_, gradient_);
      damping.Accept(dF / predicted);
      ConstructNormalEquation(problem, state);
      float g = 0.0f, scratch;
      LA::MaxAbs15(gradient_, g, scratch);
      if (g < P.minGradient) {
        result = ISO_LM_SMALL_JTE;
        break;
      }
      LA::SaveDiagonals15(cameraBlocks_, diagonals_);
      LA::DampDiagonals15(diagonals_, 1.0f + damping.lambda, cameraBlocks_);
      if (verbose == 1)
        std::printf("--> %d  %f  %f  %f  %f  %e  %d\n", static_cast<int>(k), Fnew, rel, g, s,
                    damping.lambda, static_cast<int>(n));
      F = Fnew;
    } else {
      if (verbose == 1) std::printf("--> %d  %f\n", static_cast<int>(k), Fnew);
      ISOState::Copy(state, backup_);
      if (!damping.Reject()) {
        result = ISO_LM_LARGE_DAMPING;
        break;
      }
      LA::DampDiagonals15(diagonals_, 1.0f + damping.lambda, cameraBlocks_);
    }
    result = ISO_LM_ENOUGH_ITERATIONS;
  }
  if (verbose) std::printf("Stop by %s\n", ISOStopReasonName(result));
  return result;
}
