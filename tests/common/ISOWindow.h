#pragma once
// The tracker's ISO records from an InertialScene: `cameras` consecutive key
// frames form the window (true states), their measurements of the scene's
// points are 3-D features on fixed points, consecutive key frames are tied
// by preintegrated deltas (list 3), every camera has a gravity record and
// the biases are regularised. Perturb() moves the window away from the
// truth; ToIBA() writes the same window as an IBA problem with every point
// fixed.
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/InertialScene.h"
#include "optimization/IBAProblem.h"
#include "optimization/IBAState.h"
#include "optimization/IMUParameters.h"
#include "optimization/ISOProblem.h"

inline CameraIMUState ToCamera(const f32* extrinsic, const IMUState& s) {
  CameraIMUState c = {};
  std::copy(s.position, s.position + 3, c.p);
  std::copy(s.velocity, s.velocity + 3, c.v);
  std::copy(s.accelerometerBias, s.accelerometerBias + 3, c.ba);
  std::copy(s.gyroscopeBias, s.gyroscopeBias + 3, c.bg);
  // H(q) maps body to world, so R(q) = H(q)^T maps world to body.
  std::copy(s.quaternion, s.quaternion + 4, c.q);
  RefreshCaches(extrinsic, c);
  return c;
}

struct ISOWindow {
  InertialScene scene;
  u32 cameras, first;
  ISOState state;
  ISOProblem problem;

  // The window is key frames first .. first + windowCameras - 1.
  ISOWindow(const InertialSceneOptions& options, u32 windowCameras, u32 maxFeaturesPerCamera = 1000,
            f64 featureWeight = 1.0, u32 firstKeyFrame = 0)
      : scene(options), cameras(windowCameras), first(firstKeyFrame) {
    std::copy(scene.offset.quaternion, scene.offset.quaternion + 4, state.extrinsic);
    std::copy(scene.offset.position, scene.offset.position + 3, state.extrinsic + 4);
    state.extra[0] = state.extra[1] = state.extra[2] = 0;
    state.windowCameras.Resize(cameras);
    problem.gravity.Resize(cameras);
    for (u32 c = 0; c < cameras; ++c) {
      state.windowCameras[c] = ToCamera(state.extrinsic, scene.keyFrames[first + c].state);
      state.windowIds.push_back(100 + c);
      SetGravityRecord(problem.gravity[c], scene.TrueAttitude(first + c), 1e-3,
                       scene.keyFrames[first + c].time);
      problem.gravityCameras.push_back(c);
    }

    // Measurements of the points each key frame sees at level 0-3 (noise
    // featureNoise x 2^level), drawn for every key frame so that the random
    // sequence does not depend on the window; grouped by camera and level
    // with ascending points, the first maxFeaturesPerCamera of each camera.
    problem.scale = 500.0f * 500.0f;
    problem.points = reinterpret_cast<const float(*)[4]>(scene.points.data());
    std::vector<std::vector<IBAMeasurement>> groups(4 * cameras);
    for (u32 k = 0; k < scene.keyFrames.size(); ++k) {
      for (u32 j = 0; j < scene.points.size(); ++j) {
        const f64 X[3] = {scene.points[j].v[0], scene.points[j].v[1], scene.points[j].v[2]};
        f64 xy[2];
        if (!scene.Project(k, X, xy) || std::fabs(xy[0]) > options.fieldOfView ||
            std::fabs(xy[1]) > options.fieldOfView)
          continue;
        const u32 level = Random::Index(4);
        const f64 sigma = options.featureNoise * (1 << level);
        const f64 x = xy[0] + (sigma > 0 ? sigma * GaussianD() : 0.0);
        const f64 y = xy[1] + (sigma > 0 ? sigma * GaussianD() : 0.0);
        if (k - first < cameras) groups[4 * (k - first) + level].push_back({j, float(x), float(y)});
      }
    }
    problem.feature3DStarts.assign(1, 0);
    for (u32 g = 0; g < 4 * cameras; ++g) {
      const u32 kept = problem.features3D.Size() - problem.feature3DStarts[g - g % 4];
      for (u32 i = 0; i < groups[g].size() && kept + i < maxFeaturesPerCamera; ++i)
        problem.features3D.PushBack(groups[g][i], 256);
      problem.feature3DStarts.push_back(problem.features3D.Size());
    }
    // Level-0 weight a / IMU_VARIANCE_FEATURE_3D^2 (a tenth of a pixel at
    // focal length 500), then a quarter per level.
    IBAFeatures levels;
    IBAProblem::SetFeatureWeights(levels, problem.scale, featureWeight);
    problem.feature3DWeights.Assign(levels.levelWeights);

    problem.deltas3.count = cameras - 1;
    problem.deltas3.records.Resize(cameras - 1);
    for (u32 c = 0; c + 1 < cameras; ++c) {
      ISODelta::Set(problem.deltas3.records[c], scene.Preintegrate(first + c, first + c + 1), 1.0,
                    1.0);
      problem.deltas3.pairs.emplace_back(c, c + 1);
    }
    IBAProblem::SetBiasWeights(problem.biasWeights, 1.0);
    problem.cameraFlags.assign(cameras, 0);
  }

  // Moves every camera by seeded offsets; camera 0 keeps its velocity.
  void Perturb(u32 seed, float position, float velocity, float angle, float bias) {
    Random::Seed(seed);
    auto draw = [](float scale) { return static_cast<float>(scale * GaussianD()); };
    for (u32 c = 0; c < cameras; ++c) {
      CameraIMUState& s = state.windowCameras[c];
      const float theta[3] = {draw(angle), draw(angle), draw(angle)};
      float q[4];
      LA::UpdateQuaternion(theta, s.q, q);
      for (int k = 0; k < 4; ++k) s.q[k] = q[k];
      for (int k = 0; k < 3; ++k) {
        s.p[k] += draw(position);
        if (c > 0) s.v[k] += draw(velocity);
        s.ba[k] += draw(bias);
        s.bg[k] += draw(0.1f * bias);
      }
      RefreshCaches(state.extrinsic, s);
    }
  }

  // The same window as a bundle-adjustment problem: every point fixed, no
  // camera fixed, the first camera's velocity held.
  void ToIBA(IBAProblem& iba, IBAState& ibaState) const {
    const u32 points = static_cast<u32>(scene.points.size());
    iba.ResizeInput(0, points, 0, cameras, points, 0, problem.features3D.Size(), cameras);
    iba.gauge = 1;
    iba.ground = 0;
    iba.features.measurements.Assign(problem.features3D);
    iba.features.index = problem.feature3DStarts;
    iba.features.imageScale = problem.scale;
    iba.features.levelWeights.Assign(problem.feature3DWeights);
    for (u32 c = 0; c + 1 < cameras; ++c)
      IBADelta::Set(iba.deltas[c], scene.Preintegrate(first + c, first + c + 1), 1.0, 1.0);
    std::copy(problem.biasWeights, problem.biasWeights + 2, iba.biasWeights);
    iba.gravity.Assign(problem.gravity);
    iba.gravityCameras = problem.gravityCameras;
    for (int k = 0; k < 7; ++k) ibaState.extrinsic[k] = state.extrinsic[k];
    ibaState.cameras.Assign(state.windowCameras);
    ibaState.points.Resize(points);
    for (u32 i = 0; i < points; ++i) ibaState.points[i] = scene.points[i];
    ibaState.planes.Resize(0);
    ibaState.cameraIds = state.windowIds;
  }
};
