#pragma once
// Elimination of the points from the damped bundle-adjustment normal
// equations (Schur complement onto the cameras) and the back-substitution of
// the point steps. Holds only its own scratch (the point inverses and the
// W V^-1 blocks of one point); the system arrays belong to the solver.
#include <vector>

#include "la/AlignedArray.h"
#include "la/Block15.h"
#include "optimization/IBABlocks.h"

class IBASchurComplement {
 public:
  // The camera-point structure of the system: variable point p's blocks are
  // [pointBlockStart[p], pointBlockStart[p + 1]), blockCameras names each
  // block's variable camera, pairs whose first camera is i are
  // [pairStart[i], pairStart[i + 1]).
  struct Structure {
    const AlignedArray<IBACameraPointBlock>& cameraPointBlocks;
    const std::vector<u32>& blockCameras;
    const std::vector<u32>& pointBlockStart;
    const std::vector<IBACameraPair>& pairs;
    const std::vector<u32>& pairStart;
  };

  // Sizes the point inverses for this many variable points.
  void Resize(u32 variablePoints) { pointInverses_.Resize(variablePoints); }
  // Reduces the damped system onto the cameras in place: camera blocks,
  // consecutive blocks and camera right-hand side, and rebuilds the pair
  // blocks from zero.
  void Reduce(const Structure& s, const AlignedArray<LA::AlignedMatrix3f>& pointBlocks,
              const AlignedArray<LA::AlignedVector4f>& pointRHS,
              AlignedArray<LA::CameraBlock15>& cameraBlocks,
              AlignedArray<IBAConsecutiveBlock>& consecutiveBlocks,
              AlignedArray<IBACameraPairBlock>& pairBlocks,
              AlignedArray<LA::CameraVector15>& cameraRHS);
  // Point steps from the camera steps, with the inverses of the last Reduce.
  void BackSubstitute(const Structure& s, const AlignedArray<LA::AlignedVector4f>& pointRHS,
                      const AlignedArray<LA::CameraVector15>& cameraStep,
                      AlignedArray<LA::AlignedVector4f>& pointStep) const;

 private:
  void InvertPointBlocks(const AlignedArray<LA::AlignedMatrix3f>& pointBlocks);
  // Index of the pair block of (i, j), j >= i + 2, in the pair list.
  static u32 FindPair(const Structure& s, u32 i, u32 j);

  AlignedArray<LA::AlignedMatrix3f> pointInverses_;
  AlignedArray<IBACameraPointBlock> Y_;  // W V^-1 of the current point's blocks
};
