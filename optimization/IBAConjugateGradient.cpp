// Block-Jacobi preconditioned conjugate gradients on the reduced camera
// system S x = b. S is never formed as a matrix: its products go block by
// block through the camera blocks, the consecutive blocks and the
// camera-pair blocks.
#include <immintrin.h>

#include <cmath>
#include <cstring>

#include "optimization/IBASolver.h"

namespace {

// x = a + s y over all twenty floats of every camera.
void AddScaled(const AlignedArray<LA::CameraVector15>& a, float s,
               const AlignedArray<LA::CameraVector15>& y, AlignedArray<LA::CameraVector15>& x) {
  const __m128 vs = _mm_set1_ps(s);
  for (u32 i = 0; i < a.Size(); ++i) {
    for (int g = 0; g < 20; g += 4) {
      _mm_store_ps(x[i].v + g,
                   _mm_add_ps(_mm_load_ps(a[i].v + g), _mm_mul_ps(vs, _mm_load_ps(y[i].v + g))));
    }
  }
}

// Reciprocal of each diagonal entry, 0 where it is 0.
void InvertLane(const float* d, float* out) {
  for (int k = 0; k < 3; ++k) out[k] = d[k] == 0.0f ? 0.0f : 1.0f / d[k];
  out[3] = 0.0f;
}

void Invert3(const float (*M)[4], float (*out)[4]) {
  LA::InvertSymmetric3x3(*reinterpret_cast<const LA::AlignedMatrix3f*>(M),
                         *reinterpret_cast<LA::AlignedMatrix3f*>(out));
  out[0][3] = out[1][3] = out[2][3] = 0.0f;
}

}  // namespace

void IBASolver::InvertCameraBlocks() {
  namespace CR = IBACameraRow;
  using K = IBAPreconditionerBlock;
  for (u32 i = 0; i < variableCameras_; ++i) {
    const float(*A)[4] = cameraBlocks[i].m;
    float(*M)[4] = preconditioner_[i].m;
    Invert3(A + CR::kPP, M + K::kP);
    InvertLane(A[CR::kVV], M[K::kV]);
    Invert3(A + CR::kRR, M + K::kR);
    Invert3(A + CR::kBaBa, M + K::kBa);
    Invert3(A + CR::kBgBg, M + K::kBg);
  }
}

void IBASolver::ApplyPreconditioner(const AlignedArray<LA::CameraVector15>& r,
                                    AlignedArray<LA::CameraVector15>& z) {
  for (u32 i = 0; i < variableCameras_; ++i)
    ApplyPreconditionerBlock(preconditioner_[i], r[i], z[i]);
}

void IBASolver::MultiplyReducedSystem(const AlignedArray<LA::CameraVector15>& x,
                                      AlignedArray<LA::CameraVector15>& y) {
  const u32 n = variableCameras_;
  if (n == 0) return;
  std::memset(y.Data(), 0, sizeof(LA::CameraVector15) * n);
  for (u32 i = 0; i < n; ++i) LA::MultiplySymmetricBlock15(cameraBlocks[i], x[i], y[i]);
  for (u32 i = 0; i + 1 < n; ++i) {
    MultiplyMotionPairBlock(consecutiveBlocks[i], x[i + 1], y[i]);
    MultiplyMotionPairBlockTransposed(consecutiveBlocks[i], x[i], y[i + 1]);
  }
  for (u32 k = 0; k < pairs.size(); ++k) {
    const u32 i = pairs[k].first, j = pairs[k].second;
    MultiplyCameraPairBlock(pairBlocks[k], x[j], y[i]);
    MultiplyCameraPairBlockTransposed(pairBlocks[k], x[i], y[j]);
  }
}

u32 IBASolver::SolvePCG() {
  const u32 n = variableCameras_;
  InvertCameraBlocks();
  r_.Assign(cameraRHS);
  ApplyPreconditioner(r_, z_);
  const float rz0 = LA::Dot15(r_, z_);
  cameraStep.Resize(n);
  if (rz0 == 0.0f) {
    if (n > 0) std::memset(cameraStep.Data(), 0, sizeof(LA::CameraVector15) * n);
    return 1;
  }
  p_.Assign(z_);
  MultiplyReducedSystem(p_, q_);
  float alpha = rz0 / LA::Dot15(p_, q_);
  const float tolerance = std::fabs(rz0) * pcgRelativeTolerance;
  const float divergence = std::fabs(rz0) * pcgDivergenceFactor;
  if (!std::isfinite(alpha)) return 0;
  std::memset(cameraStep.Data(), 0, sizeof(LA::CameraVector15) * n);
  AddScaled(cameraStep, alpha, p_, cameraStep);
  AddScaled(r_, -alpha, q_, r_);
  u32 i = 1;
  float rz = rz0;
  while (i < pcgMaxIterations) {
    ApplyPreconditioner(r_, z_);
    const float rzNew = LA::Dot15(r_, z_);
    if (std::fabs(rzNew) <= tolerance && i >= pcgMinIterations) break;
    if (rzNew == 0.0f || std::fabs(rzNew) > divergence) break;
    const float beta = rzNew / rz;
    AddScaled(z_, beta, p_, p_);
    MultiplyReducedSystem(p_, q_);
    alpha = rzNew / LA::Dot15(p_, q_);
    if (!std::isfinite(alpha)) break;
    AddScaled(r_, -alpha, q_, r_);
    AddScaled(cameraStep, alpha, p_, cameraStep);
    rz = rzNew;
    ++i;
  }
  return i;
}
