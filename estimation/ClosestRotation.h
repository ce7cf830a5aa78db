#pragma once
// The proper rotation closest to a 3x3 cross-covariance (orthogonal Procrustes),
// shared by the EPnP pose solver and the similarity solver. With H = P S Q^T
// the rotation maximising trace(R^T H) is P D Q^T, D = diag(1, 1, det(P Q^T)):
// when P Q^T is a reflection, the singular vector of the smallest singular
// value is flipped. That is the only correction that keeps R the best proper
// rotation; coplanar point sets (floors, tables) produce it routinely.
#include "la/LinearAlgebra.h"

// R = the closest proper rotation to H (rows of four, fourth floats ignored;
// R's fourth floats are left alone). False, R untouched, when H is not finite
// or the SVD fails.
bool ComputeClosestRotation(const LA::AlignedMatrix3f& H, LA::AlignedMatrix3f& R);
