#pragma once
// Seeded draws of the tests and benchmarks, all from the project's
// generator (Random::Seed makes a run repeat): uniform and Gaussian numbers
// in double and float, random rotations, and the conversions of the
// library's 3x3/3x4 matrices and camera vectors to Eigen and back.
#include <Eigen/Dense>

#include "la/Block15.h"
#include "la/LinearAlgebra.h"
#include "la/Random.h"

// Uniform in [lo, hi].
double UniformD(double lo, double hi);
inline float Uniform(float lo = -1.0f, float hi = 1.0f) {
  return static_cast<float>(UniformD(lo, hi));
}
// Standard normal (Box-Muller over two uniform draws).
double GaussianD();
inline float Gaussian() {
  return static_cast<float>(GaussianD());
}
// Rotation by an angle in [0, maxAngle] about a uniformly random axis.
Eigen::Matrix3d RandomRotationD(double maxAngle);
inline Eigen::Matrix3f RandomRotation(float maxAngle = 3.1f) {
  return RandomRotationD(maxAngle).cast<float>();
}

// The 3x3 part of a library matrix, its fourth column, and a library matrix
// (3x3 part and fourth column t) from Eigen.
Eigen::Matrix3d ToEigen(const LA::AlignedMatrix3f& M);
Eigen::Vector3d TranslationOf(const LA::AlignedMatrix3f& M);
template <class M = LA::AlignedMatrix3f>
M FromEigen(const Eigen::Matrix3d& E, const Eigen::Vector3d& t = Eigen::Vector3d::Zero()) {
  M out;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) out.m[r][c] = static_cast<float>(E(r, c));
    out.m[r][3] = static_cast<float>(t(r));
  }
  return out;
}

// The 15 parameters of each camera vector, one vector after the other.
inline Eigen::VectorXd Flatten(const LA::CameraVector15Array& x) {
  Eigen::VectorXd p(15 * x.Size());
  for (u32 k = 0; k < 15 * x.Size(); ++k) p[k] = x[k / 15].v[k % 15 + k % 15 / 3];
  return p;
}
