#pragma once
// The one test hook into IBASolver's private stages: the tests that check
// the normal equations, the Schur complement and the step against dense
// answers drive the stages of Run one at a time through it.
#include "optimization/IBASolver.h"

class IBASolverTestAccess {
 public:
  explicit IBASolverTestAccess(IBASolver& s)
      : cameraBlocks(s.cameraBlocks),
        consecutiveBlocks(s.consecutiveBlocks),
        pairBlocks(s.pairBlocks),
        pairs(s.pairs),
        cameraPointBlocks(s.cameraPointBlocks),
        blockPoints(s.blockPoints),
        blockCameras(s.blockCameras),
        pointBlocks(s.pointBlocks),
        cameraRHS(s.cameraRHS),
        pointRHS(s.pointRHS),
        cameraStep(s.cameraStep),
        pointStep(s.pointStep),
        s_(s) {}

  void BuildStructure(const IBAProblem& p, const IBAState& x) { s_.BuildStructure(p, x); }
  void ConstructNormalEquation(const IBAProblem& p, const IBAState& x) {
    s_.ConstructNormalEquation(p, x);
  }
  void SaveDiagonals() { s_.SaveDiagonals(); }
  void DampDiagonals(float factor) { s_.DampDiagonals(factor); }
  void BackupSystem() { s_.BackupSystem(); }
  void ComputeSchurComplement() { s_.ComputeSchurComplement(); }
  u32 SolvePCG() { return s_.SolvePCG(); }
  void BackSubstitutePoints() { s_.BackSubstitutePoints(); }
  float ComputePredictedReduction(float lambda) const {
    return s_.ComputePredictedReduction(lambda);
  }
  void UpdateState(const IBAProblem& p, IBAState& x) { s_.UpdateState(p, x); }
  bool AlignToGroundPlane(const IBAProblem& p, IBAState& x) { return s_.AlignToGroundPlane(p, x); }
  float ComputeDeltaCost(const IBAProblem& p, const IBAState& x, u8 verbose, FILE* log) const {
    return s_.ComputeDeltaCost(p, x, verbose, log);
  }
  float ComputeBiasCost(const IBAProblem& p, const IBAState& x, u8 verbose, FILE* log) const {
    return s_.ComputeBiasCost(p, x, verbose, log);
  }
  float ComputeGravityCost(const IBAProblem& p, const IBAState& x, u8 verbose, FILE* log) const {
    return s_.ComputeGravityCost(p, x, verbose, log);
  }
  float ComputePlaneCost(const IBAProblem& p, const IBAState& x, u8 verbose, FILE* log) const {
    return s_.ComputePlaneCost(p, x, verbose, log);
  }

  // The linear system as the solver holds it.
  AlignedArray<LA::CameraBlock15>& cameraBlocks;
  AlignedArray<IBAConsecutiveBlock>& consecutiveBlocks;
  AlignedArray<IBACameraPairBlock>& pairBlocks;
  std::vector<IBACameraPair>& pairs;
  AlignedArray<IBACameraPointBlock>& cameraPointBlocks;
  std::vector<u32>& blockPoints;
  std::vector<u32>& blockCameras;
  AlignedArray<LA::AlignedMatrix3f>& pointBlocks;
  AlignedArray<LA::CameraVector15>& cameraRHS;
  AlignedArray<LA::AlignedVector4f>& pointRHS;
  AlignedArray<LA::CameraVector15>& cameraStep;
  AlignedArray<LA::AlignedVector4f>& pointStep;

 private:
  IBASolver& s_;
};
