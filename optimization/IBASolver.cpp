// The Levenberg-Marquardt loop of the inertial bundle adjustment: damping,
// step acceptance by the real cost, gain ratio against the model's predicted
// reduction, stop codes and the per-iteration log lines.
#include "optimization/IBASolver.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "la/LMDamping.h"
#include "la/LinearAlgebra.h"

namespace {

const char* const kStopNames[8] = {"IBA_LM_ENOUGH_ITERATIONS", "IBA_LM_NORMAL_EQUATION_FAIL",
                                   "IBA_LM_SMALL_DELTA",       "IBA_LM_INFINIT_SSE",
                                   "IBA_LM_SMALL_MSE",         "IBA_LM_SMALL_RELATIVE_REDUCTION",
                                   "IBA_LM_SMALL_JTE",         "IBA_LM_LARGE_DAMPING"};

const char* const kDashes = "----------------------------------------------------------------\n";

bool StateIsFinite(const IBAState& state) {
  return LA::AllFinite(reinterpret_cast<const float*>(state.cameras.Data()),
                       56 * size_t(state.cameras.Size())) &&
         LA::AllFinite(reinterpret_cast<const float*>(state.points.Data()),
                       4 * size_t(state.points.Size())) &&
         LA::AllFinite(reinterpret_cast<const float*>(state.planes.Data()),
                       4 * size_t(state.planes.Size()));
}

// Why the problem's arrays do not fit the state's sizes (an index would leave
// its array), or null when they fit.
const char* Inconsistency(const IBAProblem& problem, const IBAState& state) {
  const u32 cameras = state.cameras.Size(), points = state.points.Size();
  if (problem.features.index.size() < 4 * size_t(cameras) + 1 ||
      problem.features.levelWeights.Size() < 4)
    return "feature groups or level weights of another size";
  if (cameras > 0 && problem.features.index[4 * cameras] > problem.features.measurements.Size())
    return "feature groups past the measurements";
  for (u32 i = 0; i < 4 * cameras; ++i) {
    if (problem.features.index[i] > problem.features.index[i + 1])
      return "feature groups out of order";
  }
  for (u32 m = 0; m < problem.features.measurements.Size(); ++m) {
    if (problem.features.measurements[m].point >= points)
      return "a measurement names a point that does not exist";
  }
  if (problem.gravityCameras.size() < problem.gravity.Size())
    return "gravity records without their cameras";
  const size_t planes = std::min<size_t>(state.planes.Size(), problem.planePoints.size());
  if (problem.planeWeights.Size() < planes) return "planes without weights";
  for (size_t j = 0; j < planes; ++j) {
    for (u32 k : problem.planePoints[j]) {
      if (k >= points) return "a plane lists a point that does not exist";
    }
  }
  return nullptr;
}

}  // namespace

IBASolver::IBASolver() = default;
IBASolver::~IBASolver() = default;

void IBASolver::SaveDiagonals() {
  LA::SaveDiagonals15(cameraBlocks, cameraDiagonals_);
  for (u32 p = 0; p < variablePoints_; ++p) {
    for (int k = 0; k < 3; ++k) pointDiagonals_[p].v[k] = pointBlocks[p][k][k];
    pointDiagonals_[p].v[3] = 0.0f;
  }
}

void IBASolver::DampDiagonals(float factor) {
  LA::DampDiagonals15(cameraDiagonals_, factor, cameraBlocks);
  for (u32 p = 0; p < variablePoints_; ++p) {
    for (int k = 0; k < 3; ++k) pointBlocks[p][k][k] = pointDiagonals_[p].v[k] * factor;
  }
}

void IBASolver::RestoreDiagonals() {
  LA::DampDiagonals15(cameraDiagonals_, 1.0f, cameraBlocks);
  for (u32 p = 0; p < variablePoints_; ++p) {
    for (int k = 0; k < 3; ++k) pointBlocks[p][k][k] = pointDiagonals_[p].v[k];
  }
}

void IBASolver::BackupSystem() {
  cameraBlocksBackup_.Assign(cameraBlocks);
  consecutiveBlocksBackup_.Assign(consecutiveBlocks);
  cameraRHSBackup_.Assign(cameraRHS);
}

float IBASolver::ComputePredictedReduction(float lambda) const {
  // Model reduction b.dx + lambda dx^T D dx with the unreduced camera
  // right-hand side: the Schur-reduced one belongs to a different system.
  float damped = 0.0f, linear = 0.0f;
  for (u32 i = 0; i < variableCameras_; ++i) {
    const float *x = cameraStep[i].v, *d = cameraDiagonals_[i].v, *b = cameraRHSBackup_[i].v;
    for (int g = 0; g < 5; ++g)
      for (int k = 0; k < 3; ++k) {
        const float v = x[4 * g + k];
        damped += d[4 * g + k] * v * v;
        linear += b[4 * g + k] * v;
      }
  }
  for (u32 p = 0; p < variablePoints_; ++p) {
    const float *x = pointStep[p].v, *d = pointDiagonals_[p].v, *b = pointRHS[p].v;
    for (int k = 0; k < 3; ++k) {
      damped += d[k] * x[k] * x[k];
      linear += b[k] * x[k];
    }
  }
  return lambda * damped + linear;
}

float IBASolver::MaxAbsRHS() const {
  float g = 0.0f;
  for (u32 i = 0; i < variableCameras_; ++i)
    for (int l = 0; l < 5; ++l)
      for (int k = 0; k < 3; ++k) g = std::max(g, std::fabs(cameraRHS[i].v[4 * l + k]));
  for (u32 p = 0; p < variablePoints_; ++p)
    for (int k = 0; k < 3; ++k) g = std::max(g, std::fabs(pointRHS[p].v[k]));
  return g;
}

IBAStopReason IBASolver::Run(const IBAProblem& problem, IBAState& state, u8 verbose, FILE* log) {
  const u32 cameras = state.cameras.Size(), points = state.points.Size(),
            planes = state.planes.Size();
  const u32 fc = std::min(problem.fixedCameras, cameras),
            fp = std::min(problem.fixedPoints, points), fl = std::min(problem.fixedPlanes, planes);
  if (verbose >= 1) {
    Print(log, "%s", kDashes);
    Print(log, "#Camera = %d + %d, #Point = %d + %d, #Plane = %d + %d\n", fc, cameras - fc, fp,
          points - fp, fl, planes - fl);
  }
  if (const char* fault = Inconsistency(problem, state)) {
    std::fprintf(stderr, "IBASolver::Run: %s; state left unchanged\n", fault);
    if (verbose >= 1)
      Print(log, "Inconsistent problem\nStop by %s\n", kStopNames[IBA_LM_NORMAL_EQUATION_FAIL]);
    return IBA_LM_NORMAL_EQUATION_FAIL;
  }
  iterations = totalPCGIterations = 0;
  LMDamping<float> damping;
  damping.Reset(initialDamping);
  if (verbose > 1) Print(log, "%sIteration %d\n", kDashes, 0);
  float F = ComputeCost(problem, state, verbose, log);
  if (verbose == 1) {
    Print(log, "   #LM   ||e||^2  ||e||^2_rel  ||JTe||_oo  ||dx||^2  damping   #PCG\n");
    Print(log, "       %f\n", F);
  }
  IBAStopReason result = IBA_LM_ENOUGH_ITERATIONS;
  if (cameras == fc && points == fp) {
    if (verbose >= 1) Print(log, "Stop by %s\n", kStopNames[result]);
    return result;
  }
  BuildStructure(problem, state);
  ChooseScaleHold(problem, state);
  ConstructNormalEquation(problem, state);
  SaveDiagonals();
  DampDiagonals(1.0f + damping.lambda);

  for (u32 iteration = 0; iteration < maxIterations; ++iteration) {
    IBAState::Copy(spare_, state);
    BackupSystem();

    ComputeSchurComplement();
    const u32 n = SolvePCG();
    ++iterations;
    totalPCGIterations += n;
    if (n == 0) {
      result = IBA_LM_NORMAL_EQUATION_FAIL;
      break;
    }
    BackSubstitutePoints();
    float s = LA::SquaredNorm15(cameraStep);
    for (u32 p = 0; p < variablePoints_; ++p) {
      const float* x = pointStep[p].v;
      s += (x[0] * x[0] + x[1] * x[1]) + x[2] * x[2];
    }
    if (s < minStep) {
      result = IBA_LM_SMALL_DELTA;
      break;
    }
    UpdateState(problem, state);
    RestoreScale(state);
    if (verbose > 1) Print(log, "%sIteration %d\n", kDashes, iteration + 1);
    const float Fnew = ComputeCost(problem, state, verbose, log);
    if (problem.ground) AlignToGroundPlane(problem, state);
    if (!std::isfinite(double(Fnew)) || !StateIsFinite(state)) {
      IBAState::Copy(state, spare_);
      result = IBA_LM_INFINIT_SSE;
      break;
    }
    const float dF = F - Fnew;
    if (dF > 0.0f) {
      const float rel = dF / F;
      if (rel < minRelativeReduction) {
        result = IBA_LM_SMALL_RELATIVE_REDUCTION;
        break;
      }
      damping.Accept(dF / ComputePredictedReduction(damping.lambda));
      F = Fnew;
      ConstructNormalEquation(problem, state);
      const float g = MaxAbsRHS();
      if (g < minGradient) {
        result = IBA_LM_SMALL_JTE;
        break;
      }
      SaveDiagonals();
      DampDiagonals(1.0f + damping.lambda);
      if (verbose == 1)
        Print(log, "--> %d  %f  %f  %f  %f  %e  %d\n", iteration, Fnew, rel, g, s, damping.lambda,
              n);
    } else {
      if (verbose == 1) Print(log, "--> %d  %f\n", iteration, Fnew);
      IBAState::Copy(state, spare_);
      // The damping overflows long before its growth factor does; an infinite
      // damping would turn zero diagonal entries into NaN.
      if (!damping.Reject() || !std::isfinite(damping.lambda)) {
        result = IBA_LM_LARGE_DAMPING;
        break;
      }
      cameraBlocks.Assign(cameraBlocksBackup_);
      consecutiveBlocks.Assign(consecutiveBlocksBackup_);
      cameraRHS.Assign(cameraRHSBackup_);
      DampDiagonals(1.0f + damping.lambda);
    }
    result = IBA_LM_ENOUGH_ITERATIONS;
  }
  if (verbose >= 1) Print(log, "Stop by %s\n", kStopNames[result]);
  return result;
}

void IBASolver::RefitPlanes(const IBAProblem& problem, IBAState& state) {
  const u32 planes =
      std::min<u32>(state.planes.Size(), static_cast<u32>(problem.planePoints.size()));
  for (u32 j = std::min(problem.fixedPlanes, planes); j < planes; ++j) {
    const std::vector<u32>& list = problem.planePoints[j];
    if (list.empty()) continue;  // nothing to fit: the plane stays
    planeData_.points.Resize(static_cast<u32>(list.size()));
    for (u32 k = 0; k < list.size(); ++k) planeData_.points[k] = state.points[list[k]];
    Plane plane;
    std::memcpy(plane.v, state.planes[j].v, sizeof(plane.v));
    planeOptimizer_.Optimize(planeData_, plane, 0);
    std::memcpy(state.planes[j].v, plane.v, sizeof(plane.v));
  }
}
