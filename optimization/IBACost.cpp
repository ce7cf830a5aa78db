// The five cost terms of the inertial bundle adjustment and their log lines.
// Sums are in float; F is the plain weighted sum of squares.
#include <algorithm>
#include <cmath>
#include <cstdarg>

#include "optimization/IBADeltaResidual.h"
#include "optimization/IBASolver.h"
#include "optimization/IMUParameters.h"

namespace {

constexpr float kDegree = 57.29578f;

u32 CameraId(const IBAState& state, u32 camera) {
  return camera < state.cameraIds.size() ? state.cameraIds[camera] : camera;
}

// Root mean square and maximum of residual norms with the cameras of the max.
struct TermStatistics {
  float weighted = 0.0f, sum = 0.0f, max = -1.0f;
  u32 first = 0, second = 0;
  void Add(float weight, float squared, u32 a, u32 b) {
    weighted += weight * squared;
    sum += squared;
    if (squared > max) {
      max = squared;
      first = a;
      second = b;
    }
  }
};

}  // namespace

void IBASolver::Print(FILE* log, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  std::vfprintf(log ? log : stdout, format, args);
  va_end(args);
}

float IBASolver::ComputeCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                             FILE* log) const {
  float F = 0.0f;
  F += ComputeFeatureCost(problem, state, verbose, log);
  F += ComputeDeltaCost(problem, state, verbose, log);
  F += ComputeBiasCost(problem, state, verbose, log);
  F += ComputeGravityCost(problem, state, verbose, log);
  F += ComputePlaneCost(problem, state, verbose, log);
  if (verbose >= 2) Print(log, "  Total   %e\n", F);
  return F;
}

float IBASolver::ComputeFeatureCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                                    FILE* log) const {
  const u32 cameras = state.cameras.Size();
  float term = 0.0f, scaledSum = 0.0f, scaledMax = -1.0f;
  u32 count = 0, maxCamera = 0, maxPoint = 0;
  for (u32 c = 0; c < cameras; ++c) {
    const CameraPose& C = state.cameras[c].pose;
    float levelScale = 1.0f;
    for (u32 l = 0; l < 4; ++l, levelScale *= 0.25f) {
      const u32 begin = problem.features.index[4 * c + l],
                end = problem.features.index[4 * c + l + 1];
      float sum = 0.0f;
      for (u32 m = begin; m < end; ++m) {
        const IBAMeasurement& z = problem.features.measurements[m];
        const float* X = state.points[z.point].v;
        const float x = LA::Dot3(C[0], X) + C[0][3], y = LA::Dot3(C[1], X) + C[1][3],
                    w = LA::Dot3(C[2], X) + C[2][3];
        const float ex = z.x - x / w, ey = z.y - y / w;
        const float e2 = ex * ex + ey * ey;
        sum += e2;
        const float scaled = levelScale * e2;
        scaledSum += scaled;
        if (scaled > scaledMax) {
          scaledMax = scaled;
          maxCamera = c;
          maxPoint = z.point;
        }
      }
      count += end - begin;
      term += problem.features.levelWeights[l].v[0] * sum;
    }
  }
  if (verbose >= 2 && count > 0) {
    Print(log, "  Feature %e <-- %e <= %e [%d] <-- %d\n", term,
          std::sqrt(problem.features.imageScale * scaledSum / count),
          std::sqrt(problem.features.imageScale * scaledMax), CameraId(state, maxCamera), maxPoint);
  }
  return term;
}

float IBASolver::ComputeDeltaCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                                  FILE* log) const {
  const u32 cameras = state.cameras.Size();
  if (problem.deltas.Size() == 0 || cameras < 2) return 0.0f;
  TermStatistics sp, sv, sr, sa, sg;
  const u32 first = problem.fixedCameras > 1 ? problem.fixedCameras : 1;
  IBADeltaResidual e;
  for (u32 j = first; j < cameras && j <= problem.deltas.Size(); ++j) {
    const u32 i = j - 1;
    const IBADelta& D = problem.deltas[i];
    ComputeDeltaResidual(state.cameras[i], state.cameras[j], D, e);
    const u32 a = CameraId(state, i), b = CameraId(state, j);
    sp.Add(D.wp[0], LA::Dot3(e.ep, e.ep), a, b);
    sv.Add(D.wv[0], LA::Dot3(e.ev, e.ev), a, b);
    sr.Add(D.wr[0], LA::Dot3(e.er, e.er), a, b);
    sa.Add(D.wba[0], LA::Dot3(e.eba, e.eba), a, b);
    sg.Add(D.wbg[0], LA::Dot3(e.ebg, e.ebg), a, b);
  }
  const float term = (((sp.weighted + sv.weighted) + sr.weighted) + sa.weighted) + sg.weighted;
  const u32 divisor = problem.fixedCameras == 0 ? cameras - 1 : cameras;
  if (verbose >= 2 && divisor > 0) {
    auto line = [&](const char* head, const TermStatistics& s, float scale) {
      Print(log, "%s %e <-- %e <= %e [%d, %d]\n", head, s.weighted,
            std::sqrt(s.sum / divisor) * scale, std::sqrt(s.max) * scale, s.first, s.second);
    };
    line("  Delta  ", sp, 1.0f);
    line("        +", sv, 1.0f);
    line("        +", sr, kDegree);
    line("  Bias[S]", sa, 1.0f);
    line("        +", sg, kDegree);
  }
  return term;
}

float IBASolver::ComputeBiasCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                                 FILE* log) const {
  const float wa = problem.biasWeights[0], wg = problem.biasWeights[1];
  if (wa == 0.0f && wg == 0.0f) return 0.0f;
  const float* pa = IMU::accelerometerBiasPrior.v;
  const float* pg = IMU::gyroscopeBiasPrior.v;
  TermStatistics sa, sg;
  const u32 cameras = state.cameras.Size();
  for (u32 c = problem.fixedCameras; c < cameras; ++c) {
    const CameraIMUState& camera = state.cameras[c];
    float ea[3], eg[3];
    for (int k = 0; k < 3; ++k) {
      ea[k] = camera.ba[k] - pa[k];
      eg[k] = camera.bg[k] - pg[k];
    }
    sa.Add(wa, LA::Dot3(ea, ea), CameraId(state, c), 0);
    sg.Add(wg, LA::Dot3(eg, eg), CameraId(state, c), 0);
  }
  const u32 n = cameras > problem.fixedCameras ? cameras - problem.fixedCameras : 0;
  if (verbose >= 2 && n > 0) {
    Print(log, "  Bias[R] %e <-- %e <= %e [%d]\n", sa.weighted, std::sqrt(sa.sum / n),
          std::sqrt(sa.max), sa.first);
    Print(log, "        + %e <-- %e <= %e [%d]\n", sg.weighted, std::sqrt(sg.sum / n) * kDegree,
          std::sqrt(sg.max) * kDegree, sg.first);
  }
  return sa.weighted + sg.weighted;
}

float IBASolver::ComputeGravityCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                                    FILE* log) const {
  const u32 cameras = state.cameras.Size();
  TermStatistics s;
  u32 count = 0;
  for (u32 g = 0; g < problem.gravity.Size(); ++g) {
    const u32 c = problem.gravityCameras[g];
    if (c < problem.fixedCameras || c >= cameras) continue;
    const LA::AlignedMatrix3f& R = state.cameras[c].R;
    const float* d = problem.gravity[g].direction;
    const float e[3] = {R[0][2] - d[0], R[1][2] - d[1], R[2][2] - d[2]};
    s.Add(problem.gravity[g].weight[0], LA::Dot3(e, e), CameraId(state, c), 0);
    ++count;
  }
  if (verbose >= 2 && count > 0) {
    const double k = 57.295780181884766;
    Print(log, "  Gravity %e <-- %e <= %e [%d]\n", s.weighted,
          std::acos(1.0 - double(s.sum / count) / 2.0) * k,
          std::acos(1.0 - double(s.max) / 2.0) * k, s.first);
  }
  return s.weighted;
}

float IBASolver::ComputePlaneCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                                  FILE* log) const {
  float term = 0.0f, sum = 0.0f, max = -1.0f;
  u32 count = 0, maxPoint = 0;
  const u32 planes = std::min<u32>(state.planes.Size(), problem.planePoints.size());
  for (u32 j = 0; j < planes; ++j) {
    const float* P = state.planes[j].v;
    float planeSum = 0.0f;
    for (u32 k : problem.planePoints[j]) {
      const float* X = state.points[k].v;
      const float e = LA::Dot3(P, X) + P[3];
      planeSum += e * e;
      if (std::fabs(e) > max) {
        max = std::fabs(e);
        maxPoint = k;
      }
    }
    count += problem.planePoints[j].size();
    sum += planeSum;
    term += problem.planeWeights[j].v[0] * planeSum;
  }
  if (verbose >= 2 && count > 0) {
    Print(log, "  Plane   %e <-- %e <= %e (%d)\n", term, std::sqrt(sum / count), max, maxPoint);
  }
  return term;
}
