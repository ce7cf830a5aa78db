#pragma once
// One key frame's inertial state in the solvers' single-precision lanes, with
// the pose caches the cost terms read. Shared by the bundle adjustment and
// the tracker's window solver. Lanes holding a 3-vector keep 0 in the fourth
// float.
#include "la/Pose.h"

struct alignas(16) CameraIMUState {
  f32 p[4];   // body position in the world (x, y, z, 0)
  f32 v[4];   // velocity in the world (x, y, z, 0)
  f32 q[4];   // orientation (x, y, z, w), unit, w >= 0
  f32 ba[4];  // accelerometer bias (x, y, z, 0)
  f32 bg[4];  // gyroscope bias (x, y, z, 0)
  // Caches rebuilt after every change of p or q: the camera pose
  // (extrinsic after body), R(q), and R(q) transposed.
  CameraPose pose;
  LA::AlignedMatrix3f R;
  LA::AlignedMatrix3f RT;
};
static_assert(sizeof(CameraIMUState) == 14 * 16, "CameraIMUState is fourteen lanes");

// The map's double camera record (position 3, velocity 3, quaternion 4,
// accelerometer bias 3, gyroscope bias 3) and the key frame's pose from the
// pose cache. The fourth floats of the vector lanes are ignored.
void ConvertCameraIMUState(const CameraIMUState& state, f64* out, CameraPose& pose);
