#pragma once
// Finite-difference checks of the inertial solvers' normal equations through
// their own cost and state update, one variable at a time.
#include <Eigen/Dense>
#include <functional>
#include <string>

#include "optimization/CameraIMUState.h"

// Moves variable n of a camera (position, velocity, rotation, accelerometer
// and gyroscope bias, three each) by h; rotations as the solvers update
// them, q (x) (h e / 2, 1) normalised; refreshes the pose caches.
void NudgeCamera(const f32* extrinsic, CameraIMUState& c, int n, float h);

// Expects b(n) = -1/2 (cost(n, h) - cost(n, -h)) / 2h within tolerance x
// max |b| for every n that skip(n) does not exclude, and max |b| > 0.
void ExpectMinusHalfCostSlope(const Eigen::VectorXd& b,
                              const std::function<double(int n, float h)>& cost,
                              const std::function<bool(int n)>& skip, const std::string& what,
                              double tolerance = 0.01);
