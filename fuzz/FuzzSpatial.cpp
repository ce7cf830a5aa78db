// The estimators over 3-D data (camera pose, point triangulation, planes,
// similarity transformations) on seeded scenes spoiled by the fuzzer:
// hostile coordinates and camera entries, repeated points, and observation
// tables (offsets) of the caller's making. The first byte picks the
// estimator or entry point.
#include <vector>

#include "FuzzEstimator.h"
#include "common/PlaneScene.h"
#include "common/ProjectiveScene.h"
#include "estimation/CameraEstimator.h"
#include "estimation/PlaneEstimator.h"
#include "estimation/Point3DEstimator.h"
#include "estimation/SimilarityTransformationEstimator.h"

namespace {

f32* Floats(AlignedArray<LA::AlignedVector4f>& a) {
  return a.Empty() ? nullptr : a[0].v;
}

void BuildCameraData(FuzzInput& in, CameraEstimatorData& data) {
  Random::Seed(in.Byte());
  const int n = 6 + in.Byte() % 60;
  const scene::Pose pose = scene::RandomPose();
  scene::Fill(scene::MakeMatches(pose, n, 1.0f, in.Byte() % 8, in.Bool() ? 1.0f : 0.0f), data);
  in.Spoil(Floats(data.worldPoints), 4 * data.worldPoints.Size(), 4, 6);
  in.Spoil(&data.imagePoints[0].x, 2 * data.imagePoints.Size(), 2, 4);
}

// A plane scene: points, three cameras and the points' observations.
void BuildPlaneScene(FuzzInput& in, scene::PlaneScene& s) {
  s.Build(in.Byte(), 3 + in.Byte() % 50, 0.2f, 0.01f);
  for (LA::AlignedMatrix3f& P : s.poses) in.Spoil(&P.m[0][0], 12, 4, 1);
  in.Spoil(Floats(s.data3.points), 4 * s.data3.points.Size(), 4, 6);
  s.data2.points = s.data3.points;
  in.Spoil(&s.data2.measurements[0].x, 2 * s.data2.measurements.Size(), 2, 4);
}

// An observation table of the caller's making: entries changed, dropped or
// added, so that ranges run backwards or past the observations.
void SpoilOffsets(FuzzInput& in, std::vector<u32>& offsets) {
  const u32 edits = in.Byte() % 4;
  for (u32 e = 0; e < edits; ++e) {
    switch (in.Byte() % 3) {
      case 0:
        if (!offsets.empty()) offsets[in.Index(static_cast<u32>(offsets.size()))] = in.U32();
        break;
      case 1:
        if (!offsets.empty()) offsets.pop_back();
        break;
      default:
        offsets.push_back(in.U32() % 1000);
        break;
    }
  }
}

// Targets = 2 (R X) + t, R a quarter turn about z.
void Transform(const AlignedArray<LA::AlignedVector4f>& from,
               AlignedArray<LA::AlignedVector4f>& to) {
  to.Resize(from.Size());
  for (u32 i = 0; i < from.Size(); ++i) {
    const f32* X = from[i].v;
    to[i] = {{-2.0f * X[1] + 0.5f, 2.0f * X[0] - 0.3f, 2.0f * X[2] + 1.0f, 1.0f}};
  }
}

void ExerciseTriangulation(FuzzInput& in) {
  scene::PlaneScene s;
  BuildPlaneScene(in, s);
  const u32 k = in.Index(s.data2.points.Size());
  Point3DEstimatorData data;
  for (u32 c = 0; c < s.poses.size(); ++c) {
    data.cameras.push_back(&s.poses[c]);
    data.measurements.PushBack(s.data2.measurements[k * s.poses.size() + c], 4);
  }
  if (in.Bool()) {
    data.weights.Resize(static_cast<u32>(data.cameras.size()));
    data.squaredWeights.Resize(data.weights.Size());
    for (u32 i = 0; i < data.weights.Size(); ++i) {
      data.weights[i] = in.Float();
      data.squaredWeights[i] = data.weights[i] * data.weights[i];
    }
  }
  Point3DEstimator estimator(in.Bool() ? 0.0f : 1e-3f);
  estimator.optimizerIterations = static_cast<u16>(in.Byte() % 16);
  Point3D point = {{1.0f, 2.0f, 3.0f, 1.0f}};
  const Point3D before = point;
  const f32 depth = in.Bool() ? FLT_MAX : in.Float();
  if (in.Bool()) {
    // Written only on success.
    const bool ok = estimator.Triangulate(data, point, depth);
    FUZZ_CHECK(ok ? IsFiniteModel(point) : std::memcmp(&point, &before, sizeof(point)) == 0);
  } else {
    // A failed verification may keep the refined point, never a non-finite one.
    estimator.RefinePoint(data, point);
    FUZZ_CHECK(IsFiniteModel(point));
  }
  fuzz::ExerciseEstimator<Point3DEstimator, Point3DEstimatorMinimalSample>(estimator, data, in);
}

void ExerciseSimilarity2D(FuzzInput& in) {
  scene::PlaneScene s;
  BuildPlaneScene(in, s);
  SimilarityTransformationEstimatorData2D data;
  data.sources = s.data2.points;
  Transform(data.sources, data.targets);
  data.offsets = s.data2.offsets;
  data.cameras = s.data2.cameras;
  data.measurements = s.data2.measurements;
  SpoilOffsets(in, data.offsets);
  if (in.Bool()) {
    // The subset copy straight from the caller, with a list of its making.
    std::vector<u32> list(in.Byte() % 8);
    for (u32& k : list) k = in.Bool() ? in.Index(data.Size()) : in.U32();
    SimilarityTransformationEstimatorData2D subset;
    if (CopyGroupedSubset(data, list, subset)) {
      FUZZ_CHECK(subset.IsConsistent());
      FUZZ_CHECK(subset.Size() == list.size());
    } else {
      FUZZ_CHECK(subset.Size() == 0 && subset.IsConsistent());
    }
    return;
  }
  SimilarityTransformationEstimator2D estimator(1e-3f);
  fuzz::ExerciseEstimator<SimilarityTransformationEstimator2D, MatchSet3DN<4>>(estimator, data, in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzInput in(bytes, size);
  switch (in.Byte() % 7) {
    case 0: {
      CameraEstimatorData data;
      BuildCameraData(in, data);
      CameraEstimator estimator(1e-5f);
      fuzz::ExerciseEstimator<CameraEstimator, MatchSet3DTo2DN<6>>(estimator, data, in);
      break;
    }
    case 1: {
      CameraEstimatorData data;
      BuildCameraData(in, data);
      CameraEstimator estimator(1e-5f);
      fuzz::ExerciseBins<CameraEstimator, MatchSet3DTo2DN<6>>(estimator, data, in);
      break;
    }
    case 2:
      ExerciseTriangulation(in);
      break;
    case 3: {
      scene::PlaneScene s;
      BuildPlaneScene(in, s);
      PlaneEstimator3D estimator(0.05f);
      fuzz::ExerciseEstimator<PlaneEstimator3D, PlaneEstimatorMinimalSample>(estimator, s.data3,
                                                                             in);
      break;
    }
    case 4: {
      scene::PlaneScene s;
      BuildPlaneScene(in, s);
      SpoilOffsets(in, s.data2.offsets);
      s.data2.mode = in.Byte() % 2;
      PlaneEstimator2D estimator(1e-4f);
      fuzz::ExerciseEstimator<PlaneEstimator2D, PlaneEstimatorMinimalSample>(estimator, s.data2,
                                                                             in);
      break;
    }
    case 5: {
      scene::PlaneScene s;
      BuildPlaneScene(in, s);
      SimilarityTransformationEstimatorData3D data;
      data.sources = s.data3.points;
      Transform(data.sources, data.targets);
      in.Spoil(Floats(data.targets), 4 * data.targets.Size(), 4, 4);
      SimilarityTransformationEstimator3D estimator(1e-3f);
      fuzz::ExerciseEstimator<SimilarityTransformationEstimator3D, MatchSet3DN<4>>(estimator, data,
                                                                                   in);
      break;
    }
    default:
      ExerciseSimilarity2D(in);
      break;
  }
  return 0;
}
