#pragma once
// Per-frame Levenberg-Marquardt refinement of the inertial states of the
// tracker's sliding window against fixed map points and the inertial terms.
// Cameras are the only variables, so the damped system is block-tridiagonal
// over the window (one 15x15 block per camera, one coupling block per
// linked pair) and is solved by block-Jacobi preconditioned conjugate
// gradients. Runs on the tracker's thread every frame: all work arrays only
// grow, and once warmed up a run allocates nothing.
#include <utility>
#include <vector>

#include "la/AlignedArray.h"
#include "la/Block15.h"
#include "la/ConjugateGradient.h"
#include "optimization/ISOParameters.h"
#include "optimization/ISOProblem.h"

enum ISOStopReason {
  ISO_LM_ENOUGH_ITERATIONS = 0,
  ISO_LM_NORMAL_EQUATION_FAIL = 1,
  ISO_LM_SMALL_DELTA = 2,
  ISO_LM_INFINIT_SSE = 3,
  ISO_LM_SMALL_MSE = 4,  // never produced
  ISO_LM_SMALL_RELATIVE_REDUCTION = 5,
  ISO_LM_SMALL_JTE = 6,
  ISO_LM_LARGE_DAMPING = 7
};

// Name of a stop reason as printed after "Stop by ".
const char* ISOStopReasonName(ISOStopReason reason);

class ISOSolver {
 public:
  ISOSolver() = default;

  // Refines the window cameras of the state in place. Input it cannot solve
  // (2-D features, inconsistent sizes or indices) is reported on standard
  // error and returns ISO_LM_NORMAL_EQUATION_FAIL with the state untouched.
  // The problem's points must hold every index its features name.
  ISOStopReason Run(const ISOProblem& problem, ISOState& state, u8 verbose);

  // The steps of Run, for problems that Run accepts.
  // Total cost; per-term lines on standard output when verbose >= 2.
  float ComputeCost(const ISOProblem& problem, const ISOState& state, u8 verbose);
  // The pair list (list 3's pairs first, then unseen measurement pairs),
  // the sizes of every work array and whether the gauge is fixed.
  void BuildStructure(const ISOProblem& problem, const ISOState& state);
  // Gauss-Newton blocks and gradient b = -sum J^T W e of every term at the
  // state, then the gauge fix when the problem holds the first velocity and
  // no reference pair weighs a motion.
  void ConstructNormalEquation(const ISOProblem& problem, const ISOState& state);

  const AlignedArray<LA::CameraBlock15>& CameraBlocks() const { return cameraBlocks_; }
  const AlignedArray<LA::MotionPairBlock>& PairBlocks() const { return pairBlocks_; }
  const AlignedArray<LA::CameraVector15>& Gradient() const { return gradient_; }
  const std::vector<std::pair<u32, u32>>& Pairs() const { return pairs_; }

  ISOParameters parameters;

 private:
  bool CheckInput(const ISOProblem& problem, const ISOState& state) const;
  void ResizeNormalEquation(u32 cameras, u32 pairs);
  void ConstructFeatureNormalEquation(const ISOProblem& problem, const ISOState& state);
  void ConstructDeltaNormalEquation(const ISOProblem& problem, const ISOState& state);
  void ConstructFixedDeltaNormalEquation(const ISOProblem& problem, const ISOState& state);
  void ConstructWindowDeltaNormalEquation(const ISOProblem& problem, const ISOState& state);
  void ConstructBiasNormalEquation(const ISOProblem& problem, const ISOState& state);
  void ConstructGravityNormalEquation(const ISOProblem& problem, const ISOState& state);
  void FixGauge();
  u32 SolvePCG();
  void MultiplySystem(const AlignedArray<LA::CameraVector15>& x,
                      AlignedArray<LA::CameraVector15>& y) const;
  void UpdateState(ISOState& state) const;

  AlignedArray<LA::CameraBlock15> cameraBlocks_;
  AlignedArray<LA::MotionPairBlock> pairBlocks_;
  std::vector<std::pair<u32, u32>> pairs_;
  std::vector<u32> measurementPairBlocks_;
  AlignedArray<LA::CameraVector15> gradient_, diagonals_, step_;
  AlignedArray<LA::BlockJacobi15> preconditioner_;
  LA::PCGScratch pcg_;
  ISOState backup_;
  bool fixGauge_ = false;  // set by BuildStructure: the problem's, not the state's
};
