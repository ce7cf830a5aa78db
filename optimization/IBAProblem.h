#pragma once
// What the inertial bundle adjustment measures and how much each term
// weighs. Filled by the map's bundle adjustors and the track matcher, read
// only by the solver. Cameras, points and planes lead with their fixed ones.
//
// Builder order: ResizeInput; measurements and the feature index camera by
// camera and level by level; IBADelta::Set per consecutive key-frame pair;
// SetGravityRecord for the chosen key frames; SetFeatureWeights and
// SetBiasWeights; plane weights and lists; SortFeatures and IndexPlanePoints;
// flags and ground fields.
#include <vector>

#include "optimization/IBADelta.h"
#include "optimization/IMUAttitude.h"

// One image measurement, in normalised image coordinates.
struct IBAMeasurement {
  u32 point;  // index into the state's points
  f32 x, y;
};
static_assert(sizeof(IBAMeasurement) == 12, "IBAMeasurement is three words");

// Measured gravity direction in the body of one camera.
struct alignas(16) IBAGravity {
  f32 direction[4];  // unit (x, y, z, 0)
  f32 weight[4];     // broadcast
};

// The feature part of a problem.
struct IBAFeatures {
  // Grouped by camera, then pyramid level 0-3; sorted by point within a group.
  AlignedArray<IBAMeasurement> measurements;
  // Turns squared normalised errors into squared pixels for the log lines.
  f32 imageScale = 1.0f;
  // Lane l: weight of level l, broadcast.
  AlignedArray<LA::AlignedVector4f> levelWeights;
  // Camera i, level l: measurements index[4i + l] .. index[4i + l + 1] - 1.
  std::vector<u32> index;
};

struct IBAProblem {
  u32 fixedCameras = 0;
  u32 fixedPoints = 0;
  u32 fixedPlanes = 0;
  u8 gauge = 0;   // hold the first camera's velocity when no camera is fixed
  u8 ground = 0;  // align to the ground after every state update
  // Without a scale reference, hold the distance between the two cameras
  // rather than the points' distances: a map's first two key frames with
  // readings between them, whose points stand at guessed depths.
  u8 holdBaseline = 0;
  u32 groundCamera = 0;
  u32 groundPlane = 0;
  f32 groundPosition[2] = {0.0f, 0.0f};
  IBAFeatures features;
  AlignedArray<IBADelta> deltas;      // cameras - 1 (0 without cameras)
  f32 biasWeights[2] = {0.0f, 0.0f};  // accelerometer, gyroscope
  AlignedArray<IBAGravity> gravity;
  std::vector<u32> gravityCameras;
  AlignedArray<LA::AlignedVector4f> planeWeights;  // broadcast
  std::vector<u16> pointPlanes;                    // kNone16 when on none
  std::vector<std::vector<u32>> planePoints;       // ascending point indices
  std::vector<u8> pointFlags;
  std::vector<u8> planeFlags;  // bit 0: ground plane

  // Stores the fixed counts and sizes every input array (the three steps
  // below). Weights and measurements are not cleared.
  void ResizeInput(u32 fixedCameraCount, u32 fixedPointCount, u32 fixedPlaneCount, u32 cameraCount,
                   u32 pointCount, u32 planeCount, u32 featureCount, u32 gravityCount);
  // Measurements, four level lanes, 4 cameras + 1 index entries and
  // max(cameras, 1) - 1 delta records.
  void ResizeFeatures(u32 cameraCount, u32 featureCount);
  void ResizeGravity(u32 gravityCount);
  // Plane weights and emptied point lists per plane, point-to-plane filled
  // with kNone16, and the flag vectors.
  void ResizePlanes(u32 pointCount, u32 planeCount);
  // Sorts each (camera, level) group of measurements by point index.
  void SortFeatures();
  // Sorts each plane's list and sets point-to-plane for its points (a point
  // under two planes keeps the later one).
  void IndexPlanePoints();

  // Accelerometer and gyroscope bias regularisation weights (w over the
  // prior variance in SI units), each 0 when its key is 0.
  static void SetBiasWeights(f32* out, f64 w);
  // Image scale a and level weights: level 0 = a w / IMU_VARIANCE_FEATURE_3D^2,
  // each further level a quarter of the previous one.
  static void SetFeatureWeights(IBAFeatures& features, f32 a, f64 w);
};

// Gravity direction of an attitude (normalised in float) with weight
// exp(-(t - t0)^2 / IMU_VARIANCE_GRAVITY_TIME_DEVIATION^2) w / IMU_VARIANCE_GRAVITY^2;
// the weight is 0 when IMU_VARIANCE_GRAVITY is 0 (the direction is still set).
void SetGravityRecord(IBAGravity& out, const IMUAttitude& in, f64 w, f64 t0);
