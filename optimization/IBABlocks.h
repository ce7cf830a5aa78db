#pragma once
// Block layouts and kernels of the inertial bundle adjustment's camera system.
//
// Every block is a run of 16-byte-aligned rows of four floats; a 3x3 sub-block
// is three rows whose fourth float is 0, a "diagonal lane" is one row whose
// first three floats hold the diagonal of a diagonal 3x3. The consecutive
// block keeps its position/rotation couplings first so that the Schur
// complement adds point fill-in to it exactly as to a camera-pair block.
#include "la/AlignedArray.h"
#include "la/Block15.h"
#include "la/LinearAlgebra.h"

// Coupling of camera i (rows) with the next variable camera j (columns).
struct alignas(16) IBAConsecutiveBlock {
  enum : int {
    kPP = 0,
    kPR = 3,
    kRP = 6,
    kRR = 9,  // shared layout with IBACameraPairBlock
    kVP = 12,
    kVV = 13,  // diagonal lanes
    kRV = 14,
    kBaP = 17,
    kBaV = 20,
    kBaBa = 23,  // diagonal lane
    kBgP = 24,
    kBgV = 27,
    kBgR = 30,
    kBgBg = 33,  // diagonal lane
    kCount = 34
  };
  float m[kCount][4];
};

// Point fill-in coupling of two non-consecutive cameras sharing points:
// position-position, position-rotation, rotation-position, rotation-rotation.
struct alignas(16) IBACameraPairBlock {
  enum : int { kPP = 0, kPR = 3, kRP = 6, kRR = 9, kCount = 12 };
  float m[kCount][4];
};

// W of one (camera, point): rows 0-2 position against the point, rows 3-5
// rotation against the point.
struct alignas(16) IBACameraPointBlock {
  float m[6][4];
};

// Two variable cameras, first < second - 1, that share a variable point.
struct IBACameraPair {
  u32 first, second;
};

// 3x3 sub-block view of rows of a block.
inline LA::AlignedMatrix3f& Sub3(float (*rows)[4], int row) {
  return *reinterpret_cast<LA::AlignedMatrix3f*>(rows[row]);
}
inline const LA::AlignedMatrix3f& Sub3(const float (*rows)[4], int row) {
  return *reinterpret_cast<const LA::AlignedMatrix3f*>(rows[row]);
}

// y_i (position, rotation lanes) += B x_j and its transpose.
void MultiplyCameraPairBlock(const IBACameraPairBlock& B, const LA::CameraVector15& xj,
                             LA::CameraVector15& yi);
void MultiplyCameraPairBlockTransposed(const IBACameraPairBlock& B, const LA::CameraVector15& xi,
                                       LA::CameraVector15& yj);
// y_i += B x_j and y_j += B^T x_i over the fourteen stored sub-blocks.
void MultiplyMotionPairBlock(const IBAConsecutiveBlock& B, const LA::CameraVector15& xj,
                             LA::CameraVector15& yi);
void MultiplyMotionPairBlockTransposed(const IBAConsecutiveBlock& B, const LA::CameraVector15& xi,
                                       LA::CameraVector15& yj);
