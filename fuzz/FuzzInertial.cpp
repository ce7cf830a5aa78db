// The inertial entry points on seeded scenes spoiled by the fuzzer:
// IMUDelta::Integrate over IMU samples with hostile readings and times,
// IBASolver::Run and ISOSolver::Run over a small window with hostile
// measurements, delta records, gravity records, states and point indices,
// and RefineFramePose over hostile correspondences and weights. The first
// byte picks the entry point. Contract: nothing crashes or hangs, a stop
// reason is one of the eight, and a state (pose, delta) that was finite
// stays finite.
#include <cmath>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "common/IBAScene.h"
#include "common/ISOWindow.h"
#include "common/InertialScene.h"
#include "optimization/IBASolver.h"
#include "optimization/ISOSolver.h"
#include "optimization/RefineFramePose.h"

namespace {

template <class T>
f32* FloatsOf(T* records) {
  return reinterpret_cast<f32*>(records);
}

bool FiniteCameras(const AlignedArray<CameraIMUState>& cameras) {
  return cameras.Empty() || AllFinite(FloatsOf(const_cast<CameraIMUState*>(cameras.Data())),
                                      cameras.Size() * sizeof(CameraIMUState) / sizeof(f32));
}

void FuzzIntegrate(FuzzInput& in) {
  static const InertialScene scene([] {
    InertialSceneOptions o;
    o.duration = 1.0;
    o.pointsPerKeyFrame = 1;
    return o;
  }());
  const u32 total = static_cast<u32>(scene.samples.size());
  const u32 first = in.Index(total - 1);
  const u32 count = in.Index(std::min<u32>(total - first - 1, 120));
  std::vector<IMUSample> samples(scene.samples.begin() + first + 1,
                                 scene.samples.begin() + first + 1 + count);
  IMUSample previous = scene.samples[first];
  f64 endTime = (count > 0 ? samples.back().time : previous.time) + 0.005;
  bool moderate = true;  // every finite number small enough not to overflow
  const u32 edits = in.Byte() % 6;
  for (u32 e = 0; e < edits; ++e) {
    const f64 v = in.Double();
    moderate = moderate && (!std::isfinite(v) || std::fabs(v) < 1e6);
    const u32 which = in.Index(count + 2);
    if (which == count + 1) {
      endTime = v;
      continue;
    }
    IMUSample& s = which == count ? previous : samples[which];
    f64* field = reinterpret_cast<f64*>(&s) + in.Index(7);
    *field = v;
  }
  IMUDelta delta;
  const u32 skipped = IMUDelta::Initialize(samples.data(), count, previous, endTime, delta);
  FUZZ_CHECK(skipped <= count + 1);
  if (moderate) {
    const f64* d = reinterpret_cast<const f64*>(&delta);
    for (u32 i = 0; i < sizeof(IMUDelta) / sizeof(f64); ++i) FUZZ_CHECK(std::isfinite(d[i]));
  }
}

void FuzzIBA(FuzzInput& in) {
  static ibatest::Scene pristine = [] {
    ibatest::SceneOptions o;
    o.cameras = 4;
    o.points = 24;
    o.planePoints = 6;
    o.fixedCameras = 1;
    ibatest::Scene s;
    ibatest::BuildScene(o, s);
    ibatest::Perturb(s.problem, s.state, 0.02f, 0.01f, 0.02f, 0.02f, 3);
    return s;
  }();
  IBAProblem problem = pristine.problem;
  IBAState state;
  IBAState::Copy(state, pristine.state);
  IBAFeatures& f = problem.features;
  in.Spoil(FloatsOf(f.measurements.Data()), 3 * f.measurements.Size(), 3, 4);
  // A hostile number that lands in a point slot is put back; indices are
  // spoiled on their own below.
  for (u32 i = 0; i < f.measurements.Size(); ++i) {
    u32& point = f.measurements[i].point;
    if (point >= state.points.Size()) point = pristine.problem.features.measurements[i].point;
  }
  if (in.Byte() % 8 == 0) f.measurements[in.Index(f.measurements.Size())].point = in.U32();
  in.Spoil(FloatsOf(problem.deltas.Data()), problem.deltas.Size() * sizeof(IBADelta) / 4, 4, 2);
  in.Spoil(FloatsOf(problem.gravity.Data()), problem.gravity.Size() * sizeof(IBAGravity) / 4, 4, 2);
  in.Spoil(FloatsOf(state.cameras.Data()), state.cameras.Size() * sizeof(CameraIMUState) / 4, 4, 2);
  in.Spoil(state.points[0].v, 4 * state.points.Size(), 4, 3);
  const bool finiteBefore =
      FiniteCameras(state.cameras) && AllFinite(state.points[0].v, 4 * state.points.Size());
  IBASolver solver;
  solver.maxIterations = 1 + in.Byte() % 6;
  solver.pcgMaxIterations = 50;
  const IBAStopReason reason = solver.Run(problem, state, 0, nullptr);
  FUZZ_CHECK(reason >= IBA_LM_ENOUGH_ITERATIONS && reason <= IBA_LM_LARGE_DAMPING);
  if (finiteBefore) {
    FUZZ_CHECK(FiniteCameras(state.cameras));
    FUZZ_CHECK(AllFinite(state.points[0].v, 4 * state.points.Size()));
  }
}

void FuzzISO(FuzzInput& in) {
  static ISOWindow* pristine = [] {
    InertialSceneOptions o;
    o.duration = 1.5;
    o.pointsPerKeyFrame = 12;
    ISOWindow* w = new ISOWindow(o, 3, 40);
    w->Perturb(5, 0.02f, 0.02f, 0.01f, 0.01f);
    return w;
  }();
  ISOProblem problem = pristine->problem;
  ISOState state;
  ISOState::Copy(state, pristine->state);
  in.Spoil(FloatsOf(problem.features3D.Data()), 3 * problem.features3D.Size(), 3, 4);
  const u32 points = static_cast<u32>(pristine->scene.points.size());
  for (u32 i = 0; i < problem.features3D.Size(); ++i) {
    u32& point = problem.features3D[i].point;
    if (point >= points) point = pristine->problem.features3D[i].point;
  }
  in.Spoil(FloatsOf(problem.deltas3.records.Data()),
           problem.deltas3.records.Size() * sizeof(ISODelta) / 4, 4, 2);
  in.Spoil(FloatsOf(problem.gravity.Data()), problem.gravity.Size() * sizeof(IBAGravity) / 4, 4, 2);
  in.Spoil(FloatsOf(state.windowCameras.Data()),
           state.windowCameras.Size() * sizeof(CameraIMUState) / 4, 4, 2);
  const bool finiteBefore = FiniteCameras(state.windowCameras);
  ISOSolver solver;
  solver.parameters.maxIterations = 1 + in.Byte() % 6;
  const ISOStopReason reason = solver.Run(problem, state, 0);
  FUZZ_CHECK(reason >= ISO_LM_ENOUGH_ITERATIONS && reason <= ISO_LM_LARGE_DAMPING);
  if (finiteBefore) FUZZ_CHECK(FiniteCameras(state.windowCameras));
}

void FuzzFramePose(FuzzInput& in) {
  Random::Seed(in.Byte());
  // Correspondences of a small pure rotation, in one to three groups.
  const u32 count = in.Byte() % 40;
  const u32 levels = 1 + in.Byte() % 3;
  CameraPose truth;
  const f32 d[3] = {0.02f, -0.01f, 0.015f}, identity[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  f32 q[4];
  LA::UpdateQuaternion(d, identity, q);
  LA::AlignedMatrix3f R;
  LA::QuaternionToRotationMatrix(q, R);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) truth.m[r][c] = R.m[r][c];
    truth.m[r][3] = 0.1f * r;
  }
  AlignedArray<LA::AlignedVector4f> records;
  records.Resize(count);
  for (u32 i = 0; i < count; ++i) {
    const f32 m[3] = {0.6f * Uniform(-1, 1), 0.45f * Uniform(-1, 1), 1.0f};
    f32 y[3];
    for (int k = 0; k < 3; ++k) y[k] = R.m[k][0] * m[0] + R.m[k][1] * m[1] + R.m[k][2] * m[2];
    records[i] = {{m[0], m[1], y[0] / y[2], y[1] / y[2]}};
  }
  if (count > 0) in.Spoil(records[0].v, 4 * count, 4, 4);
  FramePoseProblem problem;
  problem.scale = 500.0f * 500.0f;
  problem.weights.Resize(levels);
  for (u32 l = 0; l < levels; ++l) {
    problem.groupStarts.push_back(count * l / levels);
    for (int k = 0; k < 4; ++k) problem.weights[l].v[k] = in.Byte() % 4 == 0 ? in.Float() : 1.0f;
  }
  problem.groupStarts.push_back(count);
  problem.correspondences = records.Data();
  problem.count = count;
  CameraPose pose;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) pose.m[r][c] = r == c ? 1.0f : 0.0f;
  in.Spoil(&pose.m[0][0], 12, 4, 1);
  const bool finiteBefore = AllFinite(&pose.m[0][0], 12);
  FramePoseRefinement solver;
  RefineFramePose(solver, problem, pose);
  if (finiteBefore) FUZZ_CHECK(AllFinite(&pose.m[0][0], 12));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzInput in(bytes, size);
  switch (in.Byte() % 4) {
    case 0:
      FuzzIntegrate(in);
      break;
    case 1:
      FuzzIBA(in);
      break;
    case 2:
      FuzzISO(in);
      break;
    default:
      FuzzFramePose(in);
      break;
  }
  return 0;
}
