#include "optimization/RefineFramePose.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "la/SmallSolvers.h"

namespace {

// Groups are usable only when their starts rise within the correspondences
// and every group has a weight lane.
bool GroupsAreValid(const FramePoseProblem& problem) {
  if (problem.groupStarts.empty()) return false;
  const u32 groups = static_cast<u32>(problem.groupStarts.size()) - 1;
  if (problem.weights.Size() < groups) return false;
  if (problem.groupStarts[0] > problem.count) return false;
  for (u32 g = 0; g < groups; ++g) {
    if (problem.groupStarts[g + 1] < problem.groupStarts[g] ||
        problem.groupStarts[g + 1] > problem.count)
      return false;
  }
  return problem.count == 0 || problem.correspondences != nullptr;
}

// Maps the reference point through the rotation: y = R (x_ref, y_ref, 1).
inline void Rotate(const CameraPose& pose, const float* c, float* y) {
  for (int k = 0; k < 3; ++k) y[k] = pose.m[k][0] * c[0] + pose.m[k][1] * c[1] + pose.m[k][2];
}

void DampDiagonal(FramePoseRefinement& s, float lambda) {
  const float f = 1.0f + lambda;
  for (int k = 0; k < 3; ++k) s.A.m[k][k] = s.diagonal.v[k] * f;
}

}  // namespace

f32 ComputeFramePoseCost(const FramePoseProblem& problem, const CameraPose& pose) {
  const u32 groups = static_cast<u32>(problem.groupStarts.size()) - 1;
  float cost = 0.0f;
  for (u32 g = 0; g < groups; ++g) {
    float sum = 0.0f;
    for (u32 i = problem.groupStarts[g]; i < problem.groupStarts[g + 1]; ++i) {
      const float* c = problem.correspondences[i].v;
      float y[3];
      Rotate(pose, c, y);
      const float ru = y[0] / y[2] - c[2], rv = y[1] / y[2] - c[3];
      sum += ru * ru + rv * rv;
    }
    cost += problem.weights[g].v[0] * sum;
  }
  return cost;
}

void ConstructFramePoseNormalEquation(const FramePoseProblem& problem, const CameraPose& pose,
                                      LA::AlignedMatrix3f& A, LA::AlignedVector3f& b) {
  float a00 = 0, a01 = 0, a02 = 0, a11 = 0, a12 = 0, a22 = 0, b0 = 0, b1 = 0, b2 = 0;
  const u32 groups = static_cast<u32>(problem.groupStarts.size()) - 1;
  for (u32 g = 0; g < groups; ++g) {
    const float w = problem.weights[g].v[0];
    for (u32 i = problem.groupStarts[g]; i < problem.groupStarts[g + 1]; ++i) {
      const float* c = problem.correspondences[i].v;
      float y[3];
      Rotate(pose, c, y);
      const float u = y[0] / y[2], v = y[1] / y[2];
      const float ru = u - c[2], rv = v - c[3];
      // Derivatives of (u, v) by a rotation step theta, under which
      // y -> y + y x theta.
      const float ju0 = u * v, ju1 = -1.0f - u * u, ju2 = v;
      const float jv0 = 1.0f + v * v, jv1 = -u * v, jv2 = -u;
      a00 += w * (ju0 * ju0 + jv0 * jv0);
      a01 += w * (ju0 * ju1 + jv0 * jv1);
      a02 += w * (ju0 * ju2 + jv0 * jv2);
      a11 += w * (ju1 * ju1 + jv1 * jv1);
      a12 += w * (ju1 * ju2 + jv1 * jv2);
      a22 += w * (ju2 * ju2 + jv2 * jv2);
      b0 -= w * (ju0 * ru + jv0 * rv);
      b1 -= w * (ju1 * ru + jv1 * rv);
      b2 -= w * (ju2 * ru + jv2 * rv);
    }
  }
  A.m[0][0] = a00;
  A.m[0][1] = A.m[1][0] = a01;
  A.m[0][2] = A.m[2][0] = a02;
  A.m[1][1] = a11;
  A.m[1][2] = A.m[2][1] = a12;
  A.m[2][2] = a22;
  A.m[0][3] = A.m[1][3] = A.m[2][3] = 0.0f;
  b.v[0] = b0;
  b.v[1] = b1;
  b.v[2] = b2;
  b.v[3] = 0.0f;
}

bool RefineFramePose(FramePoseRefinement& s, const FramePoseProblem& problem, CameraPose& pose) {
  if (problem.count == 0 || !GroupsAreValid(problem)) return false;
  const ISOParameters& p = s.parameters;
  float lambda = p.initialDamping, nu = 2.0f;
  float F = ComputeFramePoseCost(problem, pose);
  ConstructFramePoseNormalEquation(problem, pose, s.A, s.b);
  for (int k = 0; k < 3; ++k) s.diagonal.v[k] = s.A.m[k][k];
  DampDiagonal(s, lambda);
  for (u32 iteration = 0; iteration < p.maxIterations; ++iteration) {
    // The factorisation works in place, so it runs on a copy: after a
    // rejected step the system is re-damped from intact off-diagonals.
    LA::AlignedMatrix3f factor = s.A;
    float* rows[3] = {factor.m[0], factor.m[1], factor.m[2]};
    s.step = s.b;
    if (!LA::SolveLDL3(rows, s.step.v)) break;
    const float* dx = s.step.v;
    if (dx[0] * dx[0] + dx[1] * dx[1] + dx[2] * dx[2] < p.minStep) break;

    const CameraPose backup = pose;
    float q[4], updated[4];
    RotationToQuaternion(pose, q);
    LA::UpdateQuaternion(dx, q, updated);
    LA::QuaternionToRotationMatrix(updated, pose);
    const float Fnew = ComputeFramePoseCost(problem, pose);
    if (!std::isfinite(Fnew)) {
      pose = backup;
      break;
    }
    const float dF = F - Fnew;
    if (dF > 0.0f) {
      if (dF / F < p.minRelativeReduction) {
        F = Fnew;
        break;
      }
      float predicted = 0.0f, dxb = 0.0f;
      for (int k = 0; k < 3; ++k) {
        predicted += s.diagonal.v[k] * dx[k] * dx[k];
        dxb += dx[k] * s.b.v[k];
      }
      const float rho = dF / (lambda * predicted + dxb);
      const float t = 2.0f * rho - 1.0f;
      lambda *= std::max(1.0f / 3.0f, 1.0f - t * t * t);
      nu = 2.0f;
      F = Fnew;
      ConstructFramePoseNormalEquation(problem, pose, s.A, s.b);
      const float g =
          std::max(std::fabs(s.b.v[0]), std::max(std::fabs(s.b.v[1]), std::fabs(s.b.v[2])));
      if (g < p.minGradient) break;
      for (int k = 0; k < 3; ++k) s.diagonal.v[k] = s.A.m[k][k];
    } else {
      lambda *= nu;
      nu *= 2.0f;
      pose = backup;
      if (!std::isfinite(nu)) break;
    }
    DampDiagonal(s, lambda);
  }
  return !(F / static_cast<float>(problem.count) * problem.scale < 100.0f);
}
