// The ISO solver's objective: Feature3D, the inertial pair terms (Delta,
// Velocity, Bias[S]), Bias[R] and Gravity, with their log lines.
#include <cmath>
#include <cstdio>

#include "optimization/IMUParameters.h"
#include "optimization/ISOSolver.h"
#include "optimization/ISOTerms.h"

namespace {

using namespace ISOTerms;

constexpr float kDegrees = 57.29578f;

int Id(const std::vector<u32>& ids, u32 i) {
  return i < ids.size() ? static_cast<int>(ids[i]) : -1;
}

// Weighted sum, squared-norm sum and the largest norm of one residual kind.
struct Statistic {
  float cost = 0.0f, squares = 0.0f, largest = -1.0f;
  int a = -1, b = -1;
  void Add(float weight, const float* e, int idA, int idB) {
    const float e2 = Dot3(e, e);
    cost += weight * e2;
    squares += e2;
    const float n = std::sqrt(e2);
    if (n > largest) {
      largest = n;
      a = idA;
      b = idB;
    }
  }
  void Print(const char* head, u32 count, float unit, bool two) const {
    const float rms = std::sqrt(squares / count) * unit, worst = (largest < 0 ? 0 : largest) * unit;
    if (two)
      std::printf("%s%e <-- %e <= %e [%d, %d]\n", head, cost, rms, worst, a, b);
    else
      std::printf("%s%e <-- %e <= %e [%d]\n", head, cost, rms, worst, a);
  }
};

struct DeltaStatistics {
  Statistic position, velocity, rotation, smooth, regular, accelerometer, gyroscope;
  void Add(const DeltaTerms& t, bool log, int idA, int idB) {
    if (!log) return;
    position.Add(t.wp, t.ep, idA, idB);
    velocity.Add(t.wv, t.ev, idA, idB);
    rotation.Add(t.wr, t.er, idA, idB);
    smooth.Add(t.wvs, t.vs, idA, idB);
    regular.Add(t.wvr, t.evr, idA, idB);
    accelerometer.Add(t.wsa, t.eba, idA, idB);
    gyroscope.Add(t.wsg, t.ebg, idA, idB);
  }
};

inline float PairCost(const DeltaTerms& t) {
  return t.wp * Dot3(t.ep, t.ep) + t.wv * Dot3(t.ev, t.ev) + t.wr * Dot3(t.er, t.er) +
         t.wvs * Dot3(t.vs, t.vs) + t.wvr * Dot3(t.evr, t.evr) + t.wsa * Dot3(t.eba, t.eba) +
         t.wsg * Dot3(t.ebg, t.ebg);
}

float FeatureCost(const ISOProblem& problem, const ISOState& state, bool log) {
  const u32 cameras = state.windowCameras.Size();
  if (problem.features3D.Size() == 0) return 0.0f;
  float cost = 0.0f, scaled = 0.0f, largest = -1.0f;
  int worstCamera = -1, worstPoint = -1;
  u32 count = 0;
  alignas(16) float e2[4];
  for (u32 c = 0; c < cameras; ++c) {
    const float* pose = state.windowCameras[c].pose.m[0];
    float levelScale = 1.0f;
    for (u32 l = 0; l < 4; ++l, levelScale *= 0.25f) {
      const u32 begin = problem.feature3DStarts[4 * c + l],
                end = problem.feature3DStarts[4 * c + l + 1];
      __m128 sum = _mm_setzero_ps();
      for (u32 i = begin; i < end; i += 4) {
        FeatureBatch b;
        LoadFeatureBatch(problem, i, end, b);
        __m128 xc, yc, zc;
        TransformBatch(pose, b, xc, yc, zc);
        const __m128 iz = _mm_div_ps(_mm_set1_ps(1.0f), zc);
        const __m128 ex = _mm_sub_ps(b.x, _mm_mul_ps(xc, iz));
        const __m128 ey = _mm_sub_ps(b.y, _mm_mul_ps(yc, iz));
        const __m128 e = _mm_mul_ps(_mm_add_ps(_mm_mul_ps(ex, ex), _mm_mul_ps(ey, ey)), b.mask);
        sum = _mm_add_ps(sum, e);
        if (log) {
          _mm_store_ps(e2, e);
          for (u32 k = 0; k < 4 && i + k < end; ++k) {
            const float s = e2[k] * levelScale;
            scaled += s;
            ++count;
            if (s > largest) {
              largest = s;
              worstCamera = Id(state.windowIds, c);
              worstPoint = static_cast<int>(b.points[k]);
            }
          }
        }
      }
      alignas(16) float lanes[4];
      _mm_store_ps(lanes, sum);
      cost += problem.feature3DWeights[l].v[0] * ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3]));
    }
  }
  if (log && count > 0) {
    std::printf("  Feature3D %e <-- %e <= %e [%d] <-- %d\n", cost,
                std::sqrt(problem.scale * scaled / count), std::sqrt(problem.scale * largest),
                worstCamera, worstPoint);
  }
  return cost;
}

float DeltaCost(const ISOProblem& problem, const ISOState& state, bool log) {
  const auto& window = state.windowCameras;
  const auto& reference = state.referenceCameras;
  DeltaStatistics statistics;
  DeltaTerms t;
  float cost = 0.0f;
  for (u32 k = 0; k < problem.deltas1.count; ++k) {
    const auto [i, j] = problem.deltas1.pairs[k];
    ComputeDeltaTerms(problem.deltas1.records[k], window[i], reference[j], t);
    cost += PairCost(t);
    statistics.Add(t, log, Id(state.windowIds, i), Id(state.referenceIds, j));
  }
  for (u32 k = 0; k < problem.deltas2.count; ++k) {
    const auto [i, j] = problem.deltas2.pairs[k];
    ComputeFixedDeltaTerms(problem.deltas2.records[k], reference[i], window[j], t);
    cost += PairCost(t);
    statistics.Add(t, log, Id(state.referenceIds, i), Id(state.windowIds, j));
  }
  for (u32 k = 0; k < problem.deltas3.count; ++k) {
    const auto [i, j] = problem.deltas3.pairs[k];
    ComputeDeltaTerms(problem.deltas3.records[k], window[i], window[j], t);
    cost += PairCost(t);
    statistics.Add(t, log, Id(state.windowIds, i), Id(state.windowIds, j));
  }
  const u32 pairs = problem.deltas1.count + problem.deltas2.count + problem.deltas3.count;
  if (log && pairs > 0) {
    const DeltaStatistics& s = statistics;
    s.position.Print("  Delta     ", pairs, 1.0f, true);
    s.velocity.Print("          + ", pairs, 1.0f, true);
    s.rotation.Print("          + ", pairs, kDegrees, true);
    s.smooth.Print("  Velocity  ", pairs, 1.0f, true);
    s.regular.Print("            ", pairs, 1.0f, true);
    s.accelerometer.Print("  Bias[S]   ", pairs, 1.0f, true);
    s.gyroscope.Print("          + ", pairs, kDegrees, true);
  }
  return cost;
}

float BiasCost(const ISOProblem& problem, const ISOState& state, bool log) {
  const float wa = problem.biasWeights[0], wg = problem.biasWeights[1];
  if (wa == 0.0f && wg == 0.0f) return 0.0f;
  Statistic accelerometer, gyroscope;
  float sa = 0.0f, sg = 0.0f;
  for (u32 c = 0; c < state.windowCameras.Size(); ++c) {
    float ea[4], eg[4];
    for (int k = 0; k < 4; ++k) {
      ea[k] = state.windowCameras[c].ba[k] - IMU::accelerometerBiasPrior.v[k];
      eg[k] = state.windowCameras[c].bg[k] - IMU::gyroscopeBiasPrior.v[k];
    }
    sa += Dot3(ea, ea);
    sg += Dot3(eg, eg);
    if (log) {
      accelerometer.Add(wa, ea, Id(state.windowIds, c), -1);
      gyroscope.Add(wg, eg, Id(state.windowIds, c), -1);
    }
  }
  const u32 n = state.windowCameras.Size();
  if (log && n > 0) {
    accelerometer.Print("  Bias[R]   ", n, 1.0f, false);
    gyroscope.Print("          + ", n, kDegrees, false);
  }
  return wa * sa + wg * sg;
}

float GravityCost(const ISOProblem& problem, const ISOState& state, bool log) {
  float cost = 0.0f, squares = 0.0f, largest = -1.0f;
  int worst = -1;
  const u32 n = problem.gravity.Size();
  for (u32 r = 0; r < n; ++r) {
    const u32 c = problem.gravityCameras[r];
    const float* R = state.windowCameras[c].R.m[0];
    const IBAGravity& gr = problem.gravity[r];
    const float* d = gr.direction;
    const float e[4] = {R[2] - d[0], R[6] - d[1], R[10] - d[2], 0.0f};
    const float e2 = Dot3(e, e);
    cost += gr.weight[0] * e2;
    squares += e2;
    if (e2 > largest) {
      largest = e2;
      worst = Id(state.windowIds, c);
    }
  }
  if (log && n > 0) {
    const double k = 57.295780181884766;
    std::printf("  Gravity   %e <-- %e <= %e [%d]\n", cost, std::acos(1.0 - squares / n / 2.0) * k,
                std::acos(1.0 - largest / 2.0) * k, worst);
  }
  return cost;
}

}  // namespace

float ISOSolver::ComputeCost(const ISOProblem& problem, const ISOState& state, u8 verbose) {
  const bool log = verbose >= 2;
  float total = FeatureCost(problem, state, log);
  total += DeltaCost(problem, state, log);
  total += BiasCost(problem, state, log);
  total += GravityCost(problem, state, log);
  if (log) std::printf("  Total   %e\n", total);
  return total;
}
