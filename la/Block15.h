#pragma once
// Camera variables and camera blocks of the inertial solvers: per camera a
// 15-parameter vector (position, velocity, rotation, accelerometer bias,
// gyroscope bias, three floats each in a group of four), a symmetric 15x15
// diagonal block, and the 15x15 coupling block of two consecutive cameras,
// with the vector and block kernels of their Levenberg-Marquardt and
// conjugate-gradient loops. Reductions add, per element, each group's three
// parameters as (p1 + p0) + p2, then the group sums in the order 1, 0, 2, 3,
// 4, and the element sums one after the other into one float; the fourth float
// of a group never enters a reduction.
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

namespace LA {

// Five groups of four floats; the fourth float of each group is not a
// parameter.
struct alignas(16) CameraVector15 {
  float v[20];
  float* Group(int g) { return v + 4 * g; }
  const float* Group(int g) const { return v + 4 * g; }
};

// Symmetric diagonal block of one camera, named by the groups it couples:
// position P, velocity V, rotation R, accelerometer bias Ba, gyroscope bias
// Bg. Each name is the first of three rows of a 3x3 sub-block, except kPV and
// kVV, one row each that holds a diagonal.
struct alignas(16) CameraBlock15 {
  enum Row : int {
    kPP = 0,
    kPV = 3,
    kPR = 4,
    kPBa = 7,
    kPBg = 10,
    kVV = 13,
    kVR = 14,
    kVBa = 17,
    kVBg = 20,
    kRR = 23,
    kRBa = 26,
    kRBg = 29,
    kBaBa = 32,
    kBaBg = 35,
    kBgBg = 38,
    kRows = 41
  };
  float m[kRows][4];
};

// Block-Jacobi preconditioner of one camera: the inverses of the four 3x3
// diagonal sub-blocks and the reciprocals of the velocity diagonal (0 where
// it is 0).
struct alignas(16) BlockJacobi15 {
  enum Row : int { kP = 0, kV = 3, kR = 4, kBa = 7, kBg = 10, kRows = 13 };
  float m[kRows][4];
};

// Coupling block of camera i with the next camera j (y_i gets B x_j); Bkl
// couples group k of camera i with group l of camera j. Rows: 0-2 B00,
// 3-5 B02, 6 diag(B10), 7 diag(B11), 8-10 B20, 11-13 B21, 14-16 B22,
// 17-19 B30, 20-22 B31, 23 diag(B33), 24-26 B40, 27-29 B41, 30-32 B42,
// 33 diag(B44). The sub-blocks not listed are zero.
struct alignas(16) MotionPairBlock {
  float m[34][4];
  enum Row {
    kB00 = 0,
    kB02 = 3,
    kD10 = 6,
    kD11 = 7,
    kB20 = 8,
    kB21 = 11,
    kB22 = 14,
    kB30 = 17,
    kB31 = 20,
    kD33 = 23,
    kB40 = 24,
    kB41 = 27,
    kB42 = 30,
    kD44 = 33
  };
};

using CameraVector15Array = AlignedArray<CameraVector15>;

// Sum of the squares of the 15 parameters of every element; 0 when empty.
float SquaredNorm15(const CameraVector15Array& x);
// Sum of w x^2 over the 15 parameters of every element.
float WeightedSquaredNorm15(const CameraVector15Array& x, const CameraVector15Array& w);
// Sum of x y over the 15 parameters of every element.
float Dot15(const CameraVector15Array& x, const CameraVector15Array& y);
// Raises max to the largest |x| of the 15 parameters of every element (only a
// strictly greater value replaces it); scratch receives each |x| in turn.
void MaxAbs15(const CameraVector15Array& x, float& max, float& scratch);
// x = a + s y over all 20 floats (x may be a or y).
void AddScaled15(const CameraVector15Array& a, float s, const CameraVector15Array& y,
                 CameraVector15Array& x);

// d = the fifteen diagonal entries of every block (the velocity row whole).
void SaveDiagonals15(const AlignedArray<CameraBlock15>& A, CameraVector15Array& d);
// Diagonal entries = saved entries x factor (1 restores them).
void DampDiagonals15(const CameraVector15Array& d, float factor, AlignedArray<CameraBlock15>& A);
// M = the block-Jacobi inverse of every block (M resized).
void InvertDiagonalBlocks15(const AlignedArray<CameraBlock15>& A, AlignedArray<BlockJacobi15>& M);
// z = M r, element by element over r.
void ApplyBlockJacobi15(const AlignedArray<BlockJacobi15>& M, const CameraVector15Array& r,
                        CameraVector15Array& z);

// y += A x.
void MultiplySymmetricBlock15(const CameraBlock15& A, const CameraVector15& x, CameraVector15& y);
// y_i += B x_j.
void MultiplyBlock15(const MotionPairBlock& B, const CameraVector15& xj, CameraVector15& yi);
// y_j += B^T x_i.
void MultiplyBlock15Transposed(const MotionPairBlock& B, const CameraVector15& xi,
                               CameraVector15& yj);

}  // namespace LA
