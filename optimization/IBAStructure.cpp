// Sparse structure of the bundle adjustment's normal equations: which
// variable cameras see which variable points (one camera-point block per
// camera and point, repeated measurements of a point share it) and which
// non-consecutive camera pairs are coupled through shared points.
#include <algorithm>

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
  blockCameras_.clear();
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
        blockCameras_.push_back(k);
      }
      measurementBlocks_[m] = pointMarks_[p];
    }
    for (u32 b = start; b < blockPoints.size(); ++b) pointMarks_[blockPoints[b]] = kNone;
  }
  const u32 blocks = static_cast<u32>(blockPoints.size());
  cameraBlockStart[nc] = blocks;

  // The blocks of each point, in camera order.
  pointBlockStart_.assign(np + 1, 0);
  for (u32 b = 0; b < blocks; ++b) ++pointBlockStart_[blockPoints[b] + 1];
  for (u32 p = 0; p < np; ++p) pointBlockStart_[p + 1] += pointBlockStart_[p];
  pointBlockList_.resize(blocks);
  pointMarks_.assign(pointBlockStart_.begin(), pointBlockStart_.end() - 1);  // fill cursors
  for (u32 b = 0; b < blocks; ++b) pointBlockList_[pointMarks_[blockPoints[b]]++] = b;
  pointMarks_.assign(np, kNone);

  // Pairs (i, j >= i + 2) that share a variable point, ordered by i then j.
  pairs.clear();
  pairSlots_.assign(nc, kNone);  // here: the last i that listed camera j
  for (u32 i = 0; i + 2 < nc; ++i) {
    partners_.clear();
    for (u32 b = cameraBlockStart[i]; b < cameraBlockStart[i + 1]; ++b) {
      const u32 p = blockPoints[b];
      for (u32 e = pointBlockStart_[p]; e < pointBlockStart_[p + 1]; ++e) {
        const u32 j = blockCameras_[pointBlockList_[e]];
        if (j >= i + 2 && pairSlots_[j] != i) {
          pairSlots_[j] = i;
          partners_.push_back(j);
        }
      }
    }
    std::sort(partners_.begin(), partners_.end());
    for (u32 j : partners_) pairs.push_back({i, j});
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
