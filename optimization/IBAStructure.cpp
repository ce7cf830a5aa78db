// Sparse structure of the bundle adjustment's normal equations: which
// variable cameras see which variable points (one camera-point block per
// camera and point, repeated measurements of a point share it) and which
// non-consecutive camera pairs are coupled through shared points.
#include "optimization/IBASolver.h"

namespace {
constexpr u32 kNone = 0xFFFFFFFFu;
}

void IBASolver::BuildStructure(const IBAProblem& problem, const IBAState& state) {
  cameras_ = state.cameras.Size();
  points_ = state.points.Size();
  fixedCameras_ = problem.fixedCameras < cameras_ ? problem.fixedCameras : cameras_;
  fixedPoints_ = problem.fixedPoints < points_ ? problem.fixedPoints : points_;
  variableCameras_ = cameras_ - fixedCameras_;
  variablePoints_ = points_ - fixedPoints_;
  const u32 nc = variableCameras_, np = variablePoints_;

  const u32 measurements = problem.features.measurements.Size();
  measurementBlocks_.assign(measurements, kNone);
  pointMarks_.assign(np, kNone);
  blockPoints.clear();
  cameraBlockStart.assign(nc + 1, 0);
  cameraPointMin_.assign(nc, kNone);
  cameraPointMax_.assign(nc, 0);
  for (u32 k = 0; k < nc; ++k) {
    const u32 c = fixedCameras_ + k;
    const u32 start = static_cast<u32>(blockPoints.size());
    cameraBlockStart[k] = start;
    const u32 begin = problem.features.index[4 * c], end = problem.features.index[4 * c + 4];
    for (u32 m = begin; m < end; ++m) {
      const u32 point = problem.features.measurements[m].point;
      if (point < fixedPoints_ || point >= points_) continue;
      const u32 p = point - fixedPoints_;
      if (pointMarks_[p] == kNone) {
        pointMarks_[p] = static_cast<u32>(blockPoints.size());
        blockPoints.push_back(p);
        if (p < cameraPointMin_[k]) cameraPointMin_[k] = p;
        if (p > cameraPointMax_[k]) cameraPointMax_[k] = p;
      }
      measurementBlocks_[m] = pointMarks_[p];
    }
    for (u32 b = start; b < blockPoints.size(); ++b) pointMarks_[blockPoints[b]] = kNone;
  }
  const u32 blocks = static_cast<u32>(blockPoints.size());
  cameraBlockStart[nc] = blocks;

  // Pairs (i, j >= i + 2) that share a variable point, ordered by i then j.
  pairs.clear();
  for (u32 i = 0; i + 2 < nc; ++i) {
    if (cameraBlockStart[i] == cameraBlockStart[i + 1]) continue;
    for (u32 b = cameraBlockStart[i]; b < cameraBlockStart[i + 1]; ++b)
      pointMarks_[blockPoints[b]] = b;
    for (u32 j = i + 2; j < nc; ++j) {
      if (cameraBlockStart[j] == cameraBlockStart[j + 1] ||
          cameraPointMin_[j] > cameraPointMax_[i] || cameraPointMax_[j] < cameraPointMin_[i]) {
        continue;
      }
      for (u32 b = cameraBlockStart[j]; b < cameraBlockStart[j + 1]; ++b) {
        if (pointMarks_[blockPoints[b]] != kNone) {
          pairs.push_back({i, j});
          break;
        }
      }
    }
    for (u32 b = cameraBlockStart[i]; b < cameraBlockStart[i + 1]; ++b)
      pointMarks_[blockPoints[b]] = kNone;
  }

  cameraBlocks.Resize(nc);
  consecutiveBlocks.Resize(nc > 0 ? nc - 1 : 0);
  pairBlocks.Resize(static_cast<u32>(pairs.size()));
  cameraPointBlocks.Resize(blocks);
  Y_.Resize(blocks);
  pointBlocks.Resize(np);
  pointInverses_.Resize(np);
  cameraRHS.Resize(nc);
  pointRHS.Resize(np);
  cameraStep.Resize(nc);
  pointStep.Resize(np);
  cameraDiagonals_.Resize(nc);
  pointDiagonals_.Resize(np);
  pointWork_.Resize(np);
  preconditioner_.Resize(nc);
  r_.Resize(nc);
  p_.Resize(nc);
  z_.Resize(nc);
  q_.Resize(nc);
}
