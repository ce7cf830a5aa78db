// The solver on a problem built the way the map's builders build it: real
// preintegrated IMU samples (IBADelta::Set), gravity records from the
// attitude, the parameter-derived weights, over the shared synthetic scene.
// The inertial residuals must vanish at the truth, and a perturbed start must
// come back.
#include <gtest/gtest.h>

#include "IBASolverScene.h"
#include "SyntheticScene.h"
#include "optimization/IBADeltaResidual.h"
#include "optimization/IMUParameters.h"

namespace {

void BuildFromScene(const SyntheticScene& scene, IBAProblem& problem, IBAState& state) {
  const u32 cameras = static_cast<u32>(scene.keyFrames.size());
  const u32 points = static_cast<u32>(scene.points.size());
  const u32 features = static_cast<u32>(scene.measurements.size());
  problem.ResizeInput(1, 0, 0, cameras, points, 1, features, cameras);
  std::vector<u32>& index = problem.features.index;
  std::fill(index.begin(), index.end(), 0u);
  for (u32 m = 0; m < features; ++m) {
    const SyntheticMeasurement& z = scene.measurements[m];
    problem.features.measurements[m] = {z.point, static_cast<f32>(z.x), static_cast<f32>(z.y)};
    ++index[4 * z.keyFrame + z.level + 1];
  }
  for (size_t g = 1; g < index.size(); ++g) index[g] += index[g - 1];
  IBAProblem::SetFeatureWeights(problem.features, 1.0f,
                                IMU_VARIANCE_FEATURE_3D * IMU_VARIANCE_FEATURE_3D);
  IBAProblem::SetBiasWeights(problem.biasWeights, 1e-4);
  for (u32 k = 0; k + 1 < cameras; ++k)
    IBADelta::Set(problem.deltas[k], scene.Preintegrate(k, k + 1), 1.0);
  for (u32 k = 0; k < cameras; ++k) {
    SetGravityRecord(problem.gravity[k], scene.TrueAttitude(k), 1e-4, scene.keyFrames[k].time);
    problem.gravityCameras[k] = k;
  }
  for (float& w : problem.planeWeights[0].v) w = 100.0f;
  for (u32 k = 0; k < points; ++k)
    if (scene.pointOnGround[k]) problem.planePoints[0].push_back(k);
  problem.SortFeatures();
  problem.IndexPlanePoints();

  for (int k = 0; k < 4; ++k) state.extrinsic[k] = static_cast<f32>(scene.offset.quaternion[k]);
  for (int k = 0; k < 3; ++k) state.extrinsic[4 + k] = static_cast<f32>(scene.offset.position[k]);
  state.cameras.Resize(cameras);
  state.cameraIds.resize(cameras);
  for (u32 i = 0; i < cameras; ++i) {
    CameraIMUState& c = state.cameras[i];
    std::memset(&c, 0, sizeof(c));
    const IMUState& s = scene.keyFrames[i].state;
    for (int k = 0; k < 3; ++k) {
      c.p[k] = static_cast<f32>(s.position[k]);
      c.v[k] = static_cast<f32>(s.velocity[k]);
      c.ba[k] = static_cast<f32>(s.accelerometerBias[k]);
      c.bg[k] = static_cast<f32>(s.gyroscopeBias[k]);
    }
    const f32 sign = s.quaternion[3] < 0 ? -1.0f : 1.0f;
    for (int k = 0; k < 4; ++k) c.q[k] = sign * static_cast<f32>(s.quaternion[k]);
    ibatest::RefreshCamera(state, c);
    state.cameraIds[i] = i;
  }
  state.points.Resize(points);
  for (u32 k = 0; k < points; ++k) state.points[k] = scene.points[k];
  state.planes.Resize(1);
  state.planes[0] = LA::AlignedVector4f{{0.0f, 0.0f, 1.0f, 0.0f}};
}

}  // namespace

TEST(IBASolverPreintegrated, TruthHasNoInertialResidualAndAPerturbedStartReturns) {
  SyntheticSceneOptions options;
  options.seed = 4;
  options.duration = 3.0;
  options.pointsPerKeyFrame = 60;
  options.featureNoise = 0.5 / 500.0;
  SyntheticScene scene(options);
  IBAProblem problem;
  IBAState truth;
  BuildFromScene(scene, problem, truth);
  ASSERT_GE(truth.cameras.Size(), 6u);

  // Our pose caches agree with the scene's cameras.
  for (u32 i = 0; i < truth.cameras.Size(); ++i)
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(truth.cameras[i].pose[r][c], scene.keyFrames[i].R[3 * r + c], 1e-5);
      EXPECT_NEAR(truth.cameras[i].pose[r][3], scene.keyFrames[i].t[r], 1e-4);
    }

  // Noise-free inertial data: at the truth the preintegrated motion agrees
  // with the states up to the integration error of the samples, far below
  // what a 0.1 m/s velocity error shows.
  IBASolver solver;
  IBADeltaResidual e;
  for (u32 j = 1; j < truth.cameras.Size(); ++j) {
    ComputeDeltaResidual(truth.cameras[j - 1], truth.cameras[j], problem.deltas[j - 1], e);
    EXPECT_LT(std::sqrt(Dot3(e.ep, e.ep)), 1e-3f) << j;
    EXPECT_LT(std::sqrt(Dot3(e.ev, e.ev)), 1e-3f) << j;
    EXPECT_LT(std::sqrt(Dot3(e.er, e.er)), 5e-4f) << j;
  }
  IBAState moved;
  IBAState::Copy(moved, truth);
  moved.cameras[3].v[0] += 0.1f;
  ComputeDeltaResidual(moved.cameras[3], moved.cameras[4], problem.deltas[3], e);
  EXPECT_GT(std::sqrt(Dot3(e.ep, e.ep)), 0.01f);
  EXPECT_LT(solver.ComputeGravityCost(problem, truth, 0, nullptr), 1e-3f);

  IBAState state;
  IBAState::Copy(state, truth);
  ibatest::Perturb(problem, state, 0.05f, 0.035f, 0.1f, 0.1f, 31);
  const double truthRMS = ibatest::RMSPixels(problem, truth);
  EXPECT_GT(ibatest::RMSPixels(problem, state), 10.0 * truthRMS);
  const IBAStopReason reason = solver.Run(problem, state, 0, nullptr);
  EXPECT_TRUE(reason == IBA_LM_SMALL_RELATIVE_REDUCTION || reason == IBA_LM_SMALL_JTE ||
              reason == IBA_LM_ENOUGH_ITERATIONS || reason == IBA_LM_SMALL_DELTA)
      << reason;
  EXPECT_LT(ibatest::RMSPixels(problem, state), 1.05 * truthRMS);
  EXPECT_LE(solver.ComputeCost(problem, state, 0, nullptr),
            1.001f * solver.ComputeCost(problem, truth, 0, nullptr));
  for (u32 i = 0; i < state.cameras.Size(); ++i)
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(state.cameras[i].p[k], truth.cameras[i].p[k], 0.01f) << i;
}
