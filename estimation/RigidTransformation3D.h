#pragma once
// A rigid motion [R | t] of 3-D points, X2 = R X1 + t: three rows of four
// floats, row r = (R_r0, R_r1, R_r2, t_r). The relative pose of the second
// camera of a two-view problem; the essential estimator keeps |t| = 1.
#include "la/LinearAlgebra.h"

struct alignas(16) RigidTransformation3D : public LA::AlignedMatrix3f {};
