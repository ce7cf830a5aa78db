// Sizing, sorting, indexing and weights of the bundle adjustment's problem.
#include "optimization/IBAProblem.h"

#include <algorithm>
#include <cmath>

#include "optimization/IMUParameters.h"

void IBAProblem::ResizeInput(u32 fixedCameraCount, u32 fixedPointCount, u32 fixedPlaneCount,
                             u32 cameraCount, u32 pointCount, u32 planeCount, u32 featureCount,
                             u32 gravityCount) {
  fixedCameras = fixedCameraCount;
  fixedPoints = fixedPointCount;
  fixedPlanes = fixedPlaneCount;
  ResizeFeatures(cameraCount, featureCount);
  ResizeGravity(gravityCount);
  ResizePlanes(pointCount, planeCount);
}

void IBAProblem::ResizeFeatures(u32 cameraCount, u32 featureCount) {
  features.measurements.Resize(featureCount);
  features.levelWeights.Resize(4);
  features.index.resize(4 * static_cast<size_t>(cameraCount) + 1);
  // One record per consecutive pair; without cameras there is no pair (and
  // no wrap-around to 2^32 - 1).
  deltas.Resize(std::max(cameraCount, 1u) - 1);
}

void IBAProblem::ResizeGravity(u32 gravityCount) {
  gravity.Resize(gravityCount);
  gravityCameras.resize(gravityCount);
}

void IBAProblem::ResizePlanes(u32 pointCount, u32 planeCount) {
  planeWeights.Resize(planeCount);
  planePoints.resize(planeCount);
  for (std::vector<u32>& list : planePoints) list.clear();
  pointPlanes.assign(pointCount, kNone16);
  pointFlags.resize(pointCount);
  planeFlags.resize(planeCount);
}

void IBAProblem::SortFeatures() {
  const auto byPoint = [](const IBAMeasurement& a, const IBAMeasurement& b) {
    return a.point < b.point;
  };
  const u32 size = features.measurements.Size();
  for (size_t g = 0; g + 1 < features.index.size(); ++g) {
    // A malformed index must not send the sort outside the array.
    const u32 begin = std::min(features.index[g], size);
    const u32 end = std::min(std::max(features.index[g + 1], begin), size);
    std::sort(features.measurements.Data() + begin, features.measurements.Data() + end, byPoint);
  }
}

void IBAProblem::IndexPlanePoints() {
  for (size_t plane = 0; plane < planePoints.size(); ++plane) {
    std::vector<u32>& list = planePoints[plane];
    std::sort(list.begin(), list.end());
    for (const u32 point : list) {
      if (point < pointPlanes.size()) pointPlanes[point] = static_cast<u16>(plane);
    }
  }
}

void IBAProblem::SetBiasWeights(f32* out, f64 w) {
  const f64 sa = IMU_VARIANCE_ACCELERATION_BIAS_REGULARIZATION;
  const f64 sg = IMU_VARIANCE_ROTATION_RATE_BIAS_REGULARIZATION;
  const f64 g = IMU::kGravity, k = IMU::kDegreeToRadian;
  out[0] = sa == 0.0 ? 0.0f : static_cast<f32>(w / (sa * sa * g * g));
  out[1] = sg == 0.0 ? 0.0f : static_cast<f32>(w / (sg * sg * k * k));
}

void IBAProblem::SetFeatureWeights(IBAFeatures& features, f32 a, f64 w) {
  features.imageScale = a;
  features.levelWeights.Resize(4);
  const f64 sigma = IMU_VARIANCE_FEATURE_3D;
  // The loader refuses a zero deviation; a direct zero still must not give inf.
  f32 weight = sigma == 0.0 ? 0.0f : static_cast<f32>(a * w / (sigma * sigma));
  for (u32 level = 0; level < 4; ++level) {
    LA::AlignedVector4f& lane = features.levelWeights[level];
    lane[0] = lane[1] = lane[2] = lane[3] = weight;
    weight *= 0.25f;
  }
}

void SetGravityRecord(IBAGravity& out, const IMUAttitude& in, f64 w, f64 t0) {
  const f32 x = static_cast<f32>(in.gravity[0]);
  const f32 y = static_cast<f32>(in.gravity[1]);
  const f32 z = static_cast<f32>(in.gravity[2]);
  const f32 scale = 1.0f / std::sqrt(x * x + y * y + z * z);
  out.direction[0] = x * scale;
  out.direction[1] = y * scale;
  out.direction[2] = z * scale;
  out.direction[3] = 0.0f;
  f32 weight = 0.0f;
  if (IMU_VARIANCE_GRAVITY != 0.0) {
    const f64 d = in.time - t0;
    const f64 tau = IMU_VARIANCE_GRAVITY_TIME_DEVIATION;
    weight = static_cast<f32>(std::exp(-d * d / (tau * tau)) * w /
                              (IMU_VARIANCE_GRAVITY * IMU_VARIANCE_GRAVITY));
  }
  out.weight[0] = out.weight[1] = out.weight[2] = out.weight[3] = weight;
}
