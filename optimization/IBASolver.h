#pragma once
// Inertial bundle adjustment: Levenberg-Marquardt over the variable cameras
// (position, velocity, rotation, accelerometer and gyroscope biases) and
// points of an IBAState, given an IBAProblem. Each linear step eliminates the
// points by a Schur complement and solves the reduced camera system by
// block-Jacobi preconditioned conjugate gradients; planes are re-fitted to
// their moved points after every step. The background adjustors and the track
// matcher run one solver each on their own copy of the map; all scratch lives
// here and only grows.
#include <cstdio>
#include <vector>

#include "estimation/OptimizerTemplate.h"
#include "estimation/PlaneEstimatorData.h"
#include "la/AlignedArray.h"
#include "la/Block15.h"
#include "la/ConjugateGradient.h"
#include "optimization/IBABlocks.h"
#include "optimization/IBAProblem.h"
#include "optimization/IBASchur.h"
#include "optimization/IBAState.h"

enum IBAStopReason {
  IBA_LM_ENOUGH_ITERATIONS = 0,
  IBA_LM_NORMAL_EQUATION_FAIL = 1,
  IBA_LM_SMALL_DELTA = 2,
  IBA_LM_INFINIT_SSE = 3,
  IBA_LM_SMALL_MSE = 4,
  IBA_LM_SMALL_RELATIVE_REDUCTION = 5,
  IBA_LM_SMALL_JTE = 6,
  IBA_LM_LARGE_DAMPING = 7
};

class IBASolver {
 public:
  IBASolver();
  ~IBASolver();
  IBASolver(const IBASolver&) = delete;
  IBASolver& operator=(const IBASolver&) = delete;

  // Refines the state in place. verbose 0 is silent, 1 prints one line per
  // iteration, 2 and above every cost term; lines go to log, or to standard
  // output when log is null.
  IBAStopReason Run(const IBAProblem& problem, IBAState& state, u8 verbose, FILE* log);

  // Stores the fixed counts and sizes every input array of a problem (the
  // builders' first step; see IBAProblem::ResizeInput).
  static void ResizeInput(IBAProblem& problem, u32 fixedCameras, u32 fixedPoints, u32 fixedPlanes,
                          u32 cameras, u32 points, u32 planes, u32 features, u32 gravityRecords) {
    problem.ResizeInput(fixedCameras, fixedPoints, fixedPlanes, cameras, points, planes, features,
                        gravityRecords);
  }

  // Weighted sum of squares of all terms (no factor one half); prints the
  // term lines when verbose >= 2.
  float ComputeCost(const IBAProblem& problem, const IBAState& state, u8 verbose, FILE* log) const;
  // The feature (reprojection) terms alone.
  float ComputeFeatureCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                           FILE* log) const;

  // Parameters (owners may change them between runs).
  u32 maxIterations = 50;
  float initialDamping = 0.001f;
  float minRelativeReduction = 0.0001f;
  float minGradient = 1e-5f;
  float minStep = 1e-6f;
  u32 pcgMinIterations = 10;
  u32 pcgMaxIterations = 500;
  float pcgRelativeTolerance = 0.001f;
  float pcgDivergenceFactor = 10.0f;

  // Statistics of the last run: LM iterations entered and PCG iterations.
  u32 iterations = 0;
  u32 totalPCGIterations = 0;

 private:
  // The stages of Run; the tests reach them through this one hook.
  friend class IBASolverTestAccess;

  float ComputeDeltaCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                         FILE* log) const;
  float ComputeBiasCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                        FILE* log) const;
  float ComputeGravityCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                           FILE* log) const;
  float ComputePlaneCost(const IBAProblem& problem, const IBAState& state, u8 verbose,
                         FILE* log) const;

  // Sizes the blocks for the problem's variables and finds the camera-point
  // blocks and the camera pairs that share variable points.
  void BuildStructure(const IBAProblem& problem, const IBAState& state);
  // Gauss-Newton normal equations H dx = b at the state, b = -sum J^T W e.
  void ConstructNormalEquation(const IBAProblem& problem, const IBAState& state);
  void ConstructFeatureNormalEquation(const IBAProblem& problem, const IBAState& state);
  void ConstructDeltaNormalEquation(const IBAProblem& problem, const IBAState& state);
  void ConstructBiasNormalEquation(const IBAProblem& problem, const IBAState& state);
  void ConstructGravityNormalEquation(const IBAProblem& problem, const IBAState& state);
  void ConstructPlaneNormalEquation(const IBAProblem& problem, const IBAState& state);
  void FixGauge(const IBAProblem& problem);
  // Without a scale reference (one fixed camera, no fixed point or plane:
  // a map the marker sheet did not anchor, whose unit is not the metre of
  // the inertial terms) nothing measures the map's scale, and the steps
  // would wander along it or the inertial terms would drag it. The solver
  // then notes a distance and, after every step, scales the variable part
  // of the state about the fixed camera back to it, which leaves every
  // reprojection as it was. For a problem that asks for it (a map's first
  // two key frames, with readings between them) it is the distance between
  // the two cameras. With two or more variable cameras it is their spread
  // about the fixed one, which every key frame shares in: the whole map
  // keeps its scale, and an adjustment that measures the newest key frames
  // again moves them, not the map behind them (held to the newest points
  // instead, the map's scale followed its least measured part and walked
  // by up to a tenth in a visual-only walk). With one variable camera and
  // no baseline asked for, it is the median distance of the variable points
  // from that camera: its centre is still where tracking guessed it.
  void ChooseScaleHold(const IBAProblem& problem, const IBAState& state);
  void RestoreScale(IBAState& state);
  // The held distance in the state: the root mean square distance of the
  // variable cameras' centres from the fixed camera's (with one, the
  // baseline), or the median distance of the variable points from the
  // newest camera's centre (0 without variable points).
  float HeldScaleMeasure(const IBAState& state);

  // Linear step: Schur complement onto the cameras, PCG, back-substitution.
  void ComputeSchurComplement();
  // Returns the PCG iteration count, 0 when the first step is not finite.
  u32 SolvePCG();
  void MultiplyReducedSystem(const AlignedArray<LA::CameraVector15>& x,
                             AlignedArray<LA::CameraVector15>& y) const;
  void BackSubstitutePoints();

  // Applies the step, re-fits the variable planes.
  void UpdateState(const IBAProblem& problem, IBAState& state);
  // Re-fits every variable plane to its listed points.
  void RefitPlanes(const IBAProblem& problem, IBAState& state);
  // Moves the whole state into the frame of the ground plane; false (state
  // unchanged) when the problem names no valid ground camera and plane.
  bool AlignToGroundPlane(const IBAProblem& problem, IBAState& state);

  // Copies the camera blocks, consecutive blocks and camera right-hand side
  // that the Schur complement overwrites, for a rejected step and the gain
  // ratio.
  void BackupSystem();
  // b . dx + lambda dx^T D dx over the step, with the unreduced right-hand
  // side of the backup and the saved undamped diagonals D.
  float ComputePredictedReduction(float lambda) const;

  void SaveDiagonals();
  void DampDiagonals(float factor);
  void RestoreDiagonals();

  void Print(FILE* log, const char* format, ...) const;
  IBASchurComplement::Structure SchurStructure() const;
  float MaxAbsRHS() const;

  // The linear system: variable camera k is camera fixedCameras + k,
  // variable point k is point fixedPoints + k.
  AlignedArray<LA::CameraBlock15> cameraBlocks;
  AlignedArray<IBAConsecutiveBlock> consecutiveBlocks;
  AlignedArray<IBACameraPairBlock> pairBlocks;
  std::vector<IBACameraPair> pairs;
  AlignedArray<IBACameraPointBlock> cameraPointBlocks;
  // Camera-point blocks are stored point by point, each point's blocks in
  // camera order: those of variable point p are [pointBlockStart[p],
  // pointBlockStart[p + 1]).
  std::vector<u32> blockPoints;   // variable point of each camera-point block
  std::vector<u32> blockCameras;  // variable camera of each camera-point block
  std::vector<u32> pointBlockStart;
  AlignedArray<LA::AlignedMatrix3f> pointBlocks;
  AlignedArray<LA::CameraVector15> cameraRHS;
  AlignedArray<LA::AlignedVector4f> pointRHS;
  AlignedArray<LA::CameraVector15> cameraStep;
  AlignedArray<LA::AlignedVector4f> pointStep;

  u32 fixedCameras_ = 0, cameras_ = 0, variableCameras_ = 0;
  // The distance the scale hold keeps, 0 without a hold, whether it is the
  // cameras' spread rather than the points' distances, and its scratch.
  float heldScale_ = 0.0f;
  bool holdCameras_ = false;
  std::vector<float> scaleScratch_;
  u32 fixedPoints_ = 0, points_ = 0, variablePoints_ = 0;

  // Structure.
  std::vector<u32> measurementBlocks_;  // per measurement: block index, or kNone32
  std::vector<u32>
      cameraBlockStart_;  // camera k's blocks: cameraBlockList_[start[k] .. start[k + 1])
  std::vector<u32> cameraBlockList_;
  std::vector<u32> pointMarks_;  // per variable point: its block in the current camera, or kNone32
  std::vector<u32> pairStart_;  // pairs whose first camera is k: [pairStart_[k], pairStart_[k + 1])
  std::vector<u32> partners_;

  // Saved undamped diagonals and backups for a rejected step.
  AlignedArray<LA::CameraVector15> cameraDiagonals_;
  AlignedArray<LA::AlignedVector4f> pointDiagonals_;
  AlignedArray<LA::CameraBlock15> cameraBlocksBackup_;
  AlignedArray<IBAConsecutiveBlock> consecutiveBlocksBackup_;
  AlignedArray<LA::CameraVector15> cameraRHSBackup_;
  IBAState spare_;

  // Schur complement and back-substitution; PCG work.
  IBASchurComplement schur_;
  AlignedArray<LA::BlockJacobi15> preconditioner_;
  LA::PCGScratch pcg_;

  // Plane re-fit after every step.
  OptimizerTemplate<Plane, LA::AlignedVector4f, LA::AlignedMatrix4f> planeOptimizer_;
  PlaneEstimatorData3D planeData_;
};
