// The reduced camera system's product for the shared conjugate-gradient
// solve. S is never formed as a matrix: its products go block by block
// through the camera blocks, the consecutive blocks and the camera-pair
// blocks.
#include <cstring>

#include "la/ConjugateGradient.h"
#include "optimization/IBASolver.h"

void IBASolver::MultiplyReducedSystem(const AlignedArray<LA::CameraVector15>& x,
                                      AlignedArray<LA::CameraVector15>& y) const {
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
  LA::InvertDiagonalBlocks15(cameraBlocks, preconditioner_);
  const LA::PCGParameters P{pcgMinIterations, pcgMaxIterations, pcgRelativeTolerance,
                            pcgDivergenceFactor};
  return LA::SolvePCG([this](const LA::CameraVector15Array& x,
                             LA::CameraVector15Array& y) { MultiplyReducedSystem(x, y); },
                      [this](const LA::CameraVector15Array& r, LA::CameraVector15Array& z) {
                        LA::ApplyBlockJacobi15(preconditioner_, r, z);
                      },
                      cameraRHS, P, pcg_, cameraStep);
}
