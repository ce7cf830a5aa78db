#pragma once
// The variables the inertial bundle adjustment refines in place: the camera
// extrinsic head, the cameras' inertial states, points and planes, each array
// ordered with its fixed elements first.
#include <vector>

#include "optimization/CameraIMUState.h"

struct IBAState {
  // Camera from IMU body, the solvers' camera-offset record: quaternion
  // (x, y, z, w) in floats 0-3, translation in 4-6. Written back unchanged.
  alignas(16) f32 extrinsic[7];
  // Carried along with the head, never interpreted by the solver.
  u32 extra[3];
  AlignedArray<CameraIMUState> cameras;
  AlignedArray<LA::AlignedVector4f> points;  // (x, y, z, 1), world
  AlignedArray<LA::AlignedVector4f> planes;  // (a, b, c, d), unit normal
  std::vector<u32> cameraIds;                // frame ids, for log lines only

  // dst := src; arrays grow only when too small. For backup and restore.
  static void Copy(IBAState& dst, const IBAState& src);
};
