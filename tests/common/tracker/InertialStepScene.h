#pragma once
// The inertial step over the inertial layer's analytic trajectory: ring
// frames at the scene's key-frame times with the samples since the frame
// before (the last one at the frame's own time), a stand-alone map holding
// the scene's points as inlier tracks, and exact level-0 map matches of the
// points each frame sees.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/InertialScene.h"
#include "tests/common/SceneRenderer.h"
#include "tests/common/tracker/UnitContext.h"
#include "tracker/FrameMeasures.h"
#include "tracker/InertialStep.h"

// Bit equality: untouched records and exact copies.
template <class T>
bool Same(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

struct InertialStepScene {
  static constexpr f64 kNoPrior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};

  // Key frames at 30 Hz (7 samples at 200 Hz: 35 ms frames) over 1.2 s.
  static InertialSceneOptions FrameRate() {
    InertialSceneOptions o;
    o.duration = 1.2;
    o.keyFrameMin = o.keyFrameMax = 1.0 / 30.0;
    return o;
  }

  explicit InertialStepScene(const InertialSceneOptions& options = FrameRate())
      : scene(options),
        parts(640, 480, SceneRender::MakeIntrinsic(500.0f, 500.0f, 319.5f, 239.5f)),
        measures(parts.Context()),
        step(parts.Context(), measures) {
    parts.camera.bodyToCamera = scene.offset;
  }

  // Samples after key frame k - 1 up to and including key frame k's (all up
  // to it for k = 0).
  std::vector<IMUSample> Samples(u32 k) const {
    const u32 first = k == 0 ? 0 : scene.keyFrames[k - 1].sample + 1;
    return {scene.samples.begin() + first, scene.samples.begin() + scene.keyFrames[k].sample + 1};
  }
  // Slot 0 stored at key frame 0 in its true state, as the map's start leaves it.
  void Start() {
    step.StoreImuMeasurement(0, Samples(0), kNoPrior, scene.keyFrames[0].time);
    parts.ring[0].state.record[kVisual] = scene.keyFrames[0].state;
  }
  // Slot c predicted from slot p over key frame k's samples, at its time.
  void Predict(u16 p, u16 c, u32 k, const f64* prior = kNoPrior) {
    step.PredictFromImu(p, c, Samples(k), prior, scene.keyFrames[k].time);
  }
  // A pose prior with the true orientation at key frame k; position zero.
  void TruePrior(u32 k, f64 prior[8]) const {
    const IMUState& s = scene.keyFrames[k].state;
    std::copy(s.quaternion, s.quaternion + 4, prior);
    prior[4] = prior[5] = prior[6] = 0.0;
    prior[7] = scene.keyFrames[k].time;
  }

  // The map's working copy: the scene's points, all inlier tracks.
  void FillMap() {
    MapWorkingCopy& w = parts.view.Working();
    w.points.Resize(static_cast<u32>(scene.points.size()));
    std::copy(scene.points.begin(), scene.points.end(), w.points.begin());
    w.trackFlags.assign(scene.points.size(), kTrackSolved | kTrackInlier);
  }

  // Ring slot k holds key frame k in the state `s` (its visual pose from
  // it), the delta from key frame k - 1, the true attitude as its prior and
  // the level-0 matches of the points it sees.
  void SetFrame(u16 k, const IMUState& s) {
    TrackerFrame& f = parts.ring[k];
    f.Reset();
    f.number = k;
    f.time = scene.keyFrames[k].time;
    SetVisual(k, s);
    if (k > 0) f.delta[kFromPrevious] = scene.Preintegrate(k - 1, k);
    const IMUAttitude a = scene.TrueAttitude(k);
    std::memcpy(f.posePrior, &a, sizeof(a));
    for (u32 j = 0; j < scene.points.size(); ++j) {
      const f64 X[3] = {scene.points[j].v[0], scene.points[j].v[1], scene.points[j].v[2]};
      f64 xy[2];
      if (!scene.Project(k, X, xy) || std::fabs(xy[0]) > 0.6 || std::fabs(xy[1]) > 0.45) continue;
      MapMatch m{};
      m.track = j;
      m.nx = static_cast<float>(xy[0]);
      m.ny = static_cast<float>(xy[1]);
      m.x = 500.0f * m.nx + 319.5f;
      m.y = 500.0f * m.ny + 239.5f;
      f.mapMatches[0].push_back(m);
    }
    f.inlierCount = static_cast<u16>(f.mapMatches[0].size());
  }
  // The frame's visual state and the camera pose of it.
  void SetVisual(u16 k, const IMUState& s) {
    TrackerFrame& f = parts.ring[k];
    f.state.record[kVisual] = s;
    alignas(16) float scratch[16];
    PoseToCamera(s, scene.offset, f.pose.slot[kVisual], scratch);
  }

  // Distance of a frame's visual-state position from the truth.
  f64 PositionError(u16 k) const {
    const f64 *p = parts.ring[k].state.record[kVisual].position,
              *t = scene.keyFrames[k].state.position;
    return std::hypot(p[0] - t[0], p[1] - t[1], p[2] - t[2]);
  }

  InertialScene scene;
  UnitContext parts;
  FrameMeasures measures;
  InertialStep step;
};
