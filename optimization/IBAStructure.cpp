// Sparse structure of the bundle adjustment's normal equations: which
// variable cameras see which variable points (one camera-point block per
// camera and point, repeated measurements of a point share it; stored point
// by point so that the Schur complement walks memory in order) and which
// non-consecutive camera pairs are coupled through shared points.
#include <algorithm>

#include "optimization/IBASolver.h"

void IBASolver::BuildStructure(const IBAProblem& problem, const IBAState& state) {
  cameras_ = state.cameras.Size();
  points_ = state.points.Size();
  fixedCameras_ = problem.fixedCameras < cameras_ ? problem.fixedCameras : cameras_;
  fixedPoints_ = problem.fixedPoints < points_ ? problem.fixedPoints : points_;
  variableCameras_ = cameras_ - fixedCameras_;
  variablePoints_ = points_ - fixedPoints_;
  const u32 nc = variableCameras_, np = variablePoints_;

  // Blocks in camera order first (repeated measurements of a point in one
  // camera share a block), then renumbered point by point.
  const u32 measurements = problem.features.measurements.Size();
  measurementBlocks_.assign(measurements, kNone32);
  pointMarks_.assign(np, kNone32);
  blockPoints.clear();
  blockCameras.clear();
  cameraBlockStart_.assign(nc + 1, 0);
  for (u32 k = 0; k < nc; ++k) {
    const u32 c = fixedCameras_ + k;
    const u32 start = static_cast<u32>(blockPoints.size());
    cameraBlockStart_[k] = start;
    const u32 begin = problem.features.index[4 * c], end = problem.features.index[4 * c + 4];
    for (u32 m = begin; m < end; ++m) {
      const u32 point = problem.features.measurements[m].point;
      if (point < fixedPoints_ || point >= points_) continue;
      const u32 p = point - fixedPoints_;
      if (pointMarks_[p] == kNone32) {
        pointMarks_[p] = static_cast<u32>(blockPoints.size());
        blockPoints.push_back(p);
        blockCameras.push_back(k);
      }
      measurementBlocks_[m] = pointMarks_[p];
    }
    for (u32 b = start; b < blockPoints.size(); ++b) pointMarks_[blockPoints[b]] = kNone32;
  }
  const u32 blocks = static_cast<u32>(blockPoints.size());
  cameraBlockStart_[nc] = blocks;

  pointBlockStart.assign(np + 1, 0);
  for (u32 b = 0; b < blocks; ++b) ++pointBlockStart[blockPoints[b] + 1];
  for (u32 p = 0; p < np; ++p) pointBlockStart[p + 1] += pointBlockStart[p];
  cameraBlockList_.resize(blocks);
  pointMarks_.assign(pointBlockStart.begin(), pointBlockStart.end() - 1);  // fill cursors
  for (u32 b = 0; b < blocks; ++b) cameraBlockList_[b] = pointMarks_[blockPoints[b]]++;
  for (u32 m = 0; m < measurements; ++m) {
    if (measurementBlocks_[m] != kNone32)
      measurementBlocks_[m] = cameraBlockList_[measurementBlocks_[m]];
  }
  partners_.resize(blocks);  // camera of each renumbered block
  for (u32 b = 0; b < blocks; ++b) partners_[cameraBlockList_[b]] = blockCameras[b];
  blockCameras.swap(partners_);
  for (u32 p = 0; p < np; ++p)
    for (u32 b = pointBlockStart[p]; b < pointBlockStart[p + 1]; ++b) blockPoints[b] = p;
  pointMarks_.assign(np, kNone32);

  // Pairs (i, j >= i + 2) that share a variable point, ordered by i then j.
  pairs.clear();
  pairStart_.assign(nc + 1, 0);
  std::vector<u32>& lastFirst = pointMarks_;  // reused: per camera j, the last i that listed it
  lastFirst.assign(std::max(nc, np), kNone32);
  for (u32 i = 0; i < nc; ++i) {
    pairStart_[i] = static_cast<u32>(pairs.size());
    partners_.clear();
    for (u32 e = cameraBlockStart_[i]; e < cameraBlockStart_[i + 1]; ++e) {
      const u32 p = blockPoints[cameraBlockList_[e]];
      for (u32 b = pointBlockStart[p]; b < pointBlockStart[p + 1]; ++b) {
        const u32 j = blockCameras[b];
        if (j >= i + 2 && lastFirst[j] != i) {
          lastFirst[j] = i;
          partners_.push_back(j);
        }
      }
    }
    std::sort(partners_.begin(), partners_.end());
    for (u32 j : partners_) pairs.push_back({i, j});
  }
  pairStart_[nc] = static_cast<u32>(pairs.size());

  cameraBlocks.Resize(nc);
  consecutiveBlocks.Resize(nc > 0 ? nc - 1 : 0);
  pairBlocks.Resize(static_cast<u32>(pairs.size()));
  cameraPointBlocks.Resize(blocks);
  pointBlocks.Resize(np);
  schur_.Resize(np);
  cameraRHS.Resize(nc);
  pointRHS.Resize(np);
  cameraStep.Resize(nc);
  pointStep.Resize(np);
  cameraDiagonals_.Resize(nc);
  pointDiagonals_.Resize(np);
}

IBASchurComplement::Structure IBASolver::SchurStructure() const {
  return {cameraPointBlocks, blockCameras, pointBlockStart, pairs, pairStart_};
}

void IBASolver::ComputeSchurComplement() {
  schur_.Reduce(SchurStructure(), pointBlocks, pointRHS, cameraBlocks, consecutiveBlocks,
                pairBlocks, cameraRHS);
}

void IBASolver::BackSubstitutePoints() {
  schur_.BackSubstitute(SchurStructure(), pointRHS, cameraStep, pointStep);
}
