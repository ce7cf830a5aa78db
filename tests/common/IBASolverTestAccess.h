#pragma once
// The one test hook into IBASolver's private stages: the tests against dense
// answers drive the stages of Run one at a time through it.
#include <Eigen/Dense>
#include <cstring>

#include "optimization/IBASolver.h"

class IBASolverTestAccess {
 public:
  explicit IBASolverTestAccess(IBASolver& s) : s_(s) {}

  // Builds the structure and the normal equations at x; H and b dense.
  void Assemble(const IBAProblem& p, const IBAState& x, Eigen::MatrixXd& H, Eigen::VectorXd& b) {
    s_.BuildStructure(p, x);
    s_.ConstructNormalEquation(p, x);
    AssembleDense(H, b);
  }
  // Damps the system as Run does before its first step.
  void Damp(float lambda) {
    s_.SaveDiagonals();
    s_.DampDiagonals(1.0f + lambda);
    s_.BackupSystem();
  }
  // The Schur complement, PCG and back-substitution; the PCG iterations.
  u32 Solve() {
    s_.ComputeSchurComplement();
    const u32 n = s_.SolvePCG();
    s_.BackSubstitutePoints();
    return n;
  }
  float ComputePredictedReduction(float l) const { return s_.ComputePredictedReduction(l); }
  void UpdateState(const IBAProblem& p, IBAState& x) { s_.UpdateState(p, x); }
  bool AlignToGroundPlane(const IBAProblem& p, IBAState& x) { return s_.AlignToGroundPlane(p, x); }
  void RefitPlanes(const IBAProblem& p, IBAState& x) { s_.RefitPlanes(p, x); }
  float ComputeDeltaCost(const IBAProblem& p, const IBAState& x) const {
    return s_.ComputeDeltaCost(p, x, 0, nullptr);
  }
  float ComputeGravityCost(const IBAProblem& p, const IBAState& x) const {
    return s_.ComputeGravityCost(p, x, 0, nullptr);
  }
  // Variable cameras.
  u32 Cameras() const { return s_.cameraBlocks.Size(); }

  // Dense H (cameras first, 15 each, then points, 3 each) and b from the
  // solver's blocks as they stand.
  void AssembleDense(Eigen::MatrixXd& H, Eigen::VectorXd& b) const {
    const u32 nc = Cameras(), np = s_.pointBlocks.Size();
    H = Eigen::MatrixXd::Zero(15 * nc + 3 * np, 15 * nc + 3 * np);
    b = Eigen::VectorXd::Zero(H.rows());
    auto put = [&](int r0, int c0, const float(*rows)[4], bool diagonal, bool mirror) {
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
          H(r0 + r, c0 + c) = diagonal ? (r == c ? rows[0][r] : 0.0) : rows[r][c];
          if (mirror) H(c0 + c, r0 + r) = H(r0 + r, c0 + c);
        }
    };
    // Camera blocks: the upper triangle of the 5 x 5 groups row by row, three
    // rows each but for the diagonals PV and VV, one row each.
    for (u32 i = 0; i < nc; ++i) {
      int row = 0;
      for (int g = 0; g < 5; ++g)
        for (int h = g; h < 5; ++h) {
          const bool diagonal = g < 2 && h == 1;
          put(15 * i + 3 * g, 15 * i + 3 * h, s_.cameraBlocks[i].m + row, diagonal, g != h);
          row += diagonal ? 1 : 3;
        }
      for (int k = 0; k < 15; ++k) b(15 * i + k) = s_.cameraRHS[i].v[4 * (k / 3) + k % 3];
    }
    using K = IBAConsecutiveBlock;
    const int consecutive[14][4] = {{0, 0, K::kPP, 0},   {0, 2, K::kPR, 0},  {2, 0, K::kRP, 0},
                                    {2, 2, K::kRR, 0},   {1, 0, K::kVP, 1},  {1, 1, K::kVV, 1},
                                    {2, 1, K::kRV, 0},   {3, 0, K::kBaP, 0}, {3, 1, K::kBaV, 0},
                                    {3, 3, K::kBaBa, 1}, {4, 0, K::kBgP, 0}, {4, 1, K::kBgV, 0},
                                    {4, 2, K::kBgR, 0},  {4, 4, K::kBgBg, 1}};
    for (u32 i = 0; i + 1 < nc; ++i)
      for (const auto& e : consecutive)
        put(15 * i + 3 * e[0], 15 * (i + 1) + 3 * e[1], s_.consecutiveBlocks[i].m + e[2], e[3],
            true);
    for (u32 k = 0; k < s_.pairs.size(); ++k)  // PP, PR, RP, RR
      for (int e = 0; e < 4; ++e)
        put(15 * s_.pairs[k].first + 6 * (e / 2), 15 * s_.pairs[k].second + 6 * (e % 2),
            s_.pairBlocks[k].m + 3 * e, false, true);
    for (u32 k = 0; k < s_.blockPoints.size(); ++k)
      for (int e = 0; e < 2; ++e)  // position and rotation rows of the camera
        put(15 * s_.blockCameras[k] + 6 * e, 15 * nc + 3 * s_.blockPoints[k],
            s_.cameraPointBlocks[k].m + 3 * e, false, true);
    for (u32 p = 0; p < np; ++p) {
      put(15 * nc + 3 * p, 15 * nc + 3 * p, s_.pointBlocks[p].m, false, false);
      for (int k = 0; k < 3; ++k) b(15 * nc + 3 * p + k) = s_.pointRHS[p].v[k];
    }
  }

  // The solver's step as one vector in the dense order, and back.
  Eigen::VectorXd Step() const {
    Eigen::VectorXd x(15 * Cameras() + 3 * s_.pointStep.Size());
    for (int i = 0; i < x.size(); ++i) x(i) = Entry(i);
    return x;
  }
  void SetStep(const Eigen::VectorXd& x) {
    std::memset(s_.cameraStep.Data(), 0, sizeof(LA::CameraVector15) * Cameras());
    for (int i = 0; i < x.size(); ++i) Entry(i) = static_cast<float>(x(i));
  }

 private:
  float& Entry(u32 i) const {
    const u32 c = 15 * Cameras();
    return i < c ? s_.cameraStep[i / 15].v[4 * (i % 15 / 3) + i % 3]
                 : s_.pointStep[(i - c) / 3].v[(i - c) % 3];
  }

  IBASolver& s_;
};
