// Plane detection on a seeded scene of three planes among 15 % clutter seen
// by four cameras: every plane found with its true normal and offset, the
// plane points assigned and the clutter left out; existing planes kept apart
// when grown again; small regions rejected; points outside the image harmless;
// seeded runs repeat.
#include "mapping/PlaneDetector.h"

#include <gtest/gtest.h>

#include <cfloat>

#include "common/mapping/PlaneClutterScene.h"

namespace {

using planescene::AngleDegrees;
using planescene::Scene;

// The detector as the bundle adjustors set it up.
void Configure(PlaneDetector& detector, const Scene& scene) {
  const f32 s = scene.intrinsic.misc[1];
  detector.threshold = 16.0f * s;
  detector.maxIterations = 500;
  detector.minIterations = 20;
  detector.areaFactor = 0.01f;
  detector.keepRatio = 0.8f;
  detector.medianFactor = 8.0f;
  detector.minPoints = 15;
  detector.maxNewPlanes = 3;
  detector.width = Scene::kWidth;
  detector.height = Scene::kHeight;
  detector.intrinsic = scene.intrinsic;
}

struct Outcome {
  AlignedArray<Plane> planes;
  std::vector<u16> labels;
};

Outcome Detect(const Scene& scene, u32 seed, f32 areaFactor = 0.01f) {
  PlaneDistanceThreshold = FLT_MAX;
  PlaneDetector detector(0.0f);
  Configure(detector, scene);
  detector.areaFactor = areaFactor;
  Outcome out;
  out.labels.assign(scene.data.points.Size(), 0xFFFF);
  Random::Seed(seed);
  detector.Detect(scene.data, out.planes, out.labels);
  return out;
}

// For each true plane the detected plane matching it (normal within 2
// degrees, offset within 1 % of the 5.5-unit depth), or -1.
std::vector<int> MatchPlanes(const Scene& scene, const AlignedArray<Plane>& found) {
  std::vector<int> match;
  for (const Plane& truth : scene.planes) {
    int m = -1;
    for (u32 j = 0; j < found.Size(); ++j) {
      const Plane& p = found[j];
      const f32 sign = p.v[0] * truth.v[0] + p.v[1] * truth.v[1] + p.v[2] * truth.v[2] < 0 ? -1 : 1;
      if (AngleDegrees(p, truth) < 2.0f && std::fabs(sign * p.v[3] - truth.v[3]) < 0.055f) m = j;
    }
    match.push_back(m);
  }
  return match;
}

TEST(PlaneDetector, FindsEveryPlaneAndLeavesTheClutterOut) {
  for (const u32 planeCount : {2u, 3u}) {
    Scene scene;
    scene.Build(11 + planeCount, 1200, planeCount);
    const Outcome out = Detect(scene, 3);
    EXPECT_LE(out.planes.Size(), 3u);
    const std::vector<int> match = MatchPlanes(scene, out.planes);
    u32 planar = 0, planarAssigned = 0, clutter = 0, clutterAssigned = 0;
    for (u32 k = 0; k < scene.truth.size(); ++k) {
      const u16 t = scene.truth[k];
      if (t == 0xFFFF) {
        ++clutter;
        clutterAssigned += out.labels[k] != 0xFFFF;
      } else {
        ++planar;
        planarAssigned += match[t] >= 0 && out.labels[k] == match[t];
      }
    }
    for (u32 p = 0; p < planeCount; ++p) EXPECT_GE(match[p], 0) << "plane " << p;
    EXPECT_GE(planarAssigned, 0.9 * planar) << planeCount << " planes";
    EXPECT_LE(clutterAssigned, 0.05 * clutter) << planeCount << " planes";
  }
}

TEST(PlaneDetector, ExistingPlanesGrowAgainWithoutTheirNeighboursPoints) {
  // Three known planes, each tilted by 1.5 degrees, and half of their points
  // labelled: every plane is refitted to the truth from its own points and
  // takes back its unlabelled ones.
  Scene scene;
  scene.Build(21, 1000, 3);
  PlaneDistanceThreshold = 0.03f;
  PlaneDetector detector(0.0f);
  Configure(detector, scene);
  AlignedArray<Plane> planes;
  for (const Plane& truth : scene.planes) {
    Plane tilted = truth;
    const int i = truth.v[0] != 0.0f ? 1 : 0;  // tilt towards an axis in the plane
    tilted.v[i] += 0.026f;
    const f32 n = std::sqrt(tilted.v[0] * tilted.v[0] + tilted.v[1] * tilted.v[1] +
                            tilted.v[2] * tilted.v[2]);
    for (int j = 0; j < 3; ++j) tilted.v[j] /= n;
    planes.PushBack16(tilted);
  }
  std::vector<u16> labels(scene.truth.size(), 0xFFFF);
  for (u32 k = 0; k < labels.size(); k += 2) labels[k] = scene.truth[k];
  Random::Seed(9);
  detector.Detect(scene.data, planes, labels);
  ASSERT_GE(planes.Size(), 3u);
  u32 planar = 0, regained = 0;
  for (u32 p = 0; p < 3; ++p) EXPECT_LT(AngleDegrees(planes[p], scene.planes[p]), 0.5f) << p;
  for (u32 k = 1; k < labels.size(); k += 2) {
    if (scene.truth[k] == 0xFFFF) continue;
    ++planar;
    regained += labels[k] == scene.truth[k];
  }
  EXPECT_GE(regained, 0.8 * planar);
}

TEST(PlaneDetector, RejectsSmallRegionsAndTooFewPoints) {
  Scene scene;
  scene.Build(31, 300, 2);
  EXPECT_EQ(Detect(scene, 1, 0.9f).planes.Size(), 0u);  // no region covers 90 %
  Scene few;
  few.Build(32, 12, 1, 0.0f);
  const Outcome out = Detect(few, 1);
  EXPECT_EQ(out.planes.Size(), 0u);
  EXPECT_EQ(PlaneDistanceThreshold.load(), FLT_MAX);
}

TEST(PlaneDetector, PointsOutsideTheImageAreHarmlessAndRunsRepeat) {
  Scene scene;
  scene.Build(41, 800, 2);
  // Last observations left of, below and beyond the image, and repeated.
  for (const f32 x : {-1.2f, 0.0f, 3.0f, 0.0f}) {
    const f32 X[3] = {x, x == 0.0f ? 1.2f : -3.0f, 4.0f};
    ASSERT_TRUE(scene.AddPoint(X, 0.0f, 0.0f, false));
    scene.truth.push_back(0xFFFF);
  }
  const Outcome a = Detect(scene, 77);
  const Outcome b = Detect(scene, 77);
  for (const int m : MatchPlanes(scene, a.planes)) EXPECT_GE(m, 0);
  ASSERT_EQ(a.planes.Size(), b.planes.Size());
  for (u32 p = 0; p < a.planes.Size(); ++p)
    for (int i = 0; i < 4; ++i) EXPECT_EQ(a.planes[p].v[i], b.planes[p].v[i]);
  EXPECT_EQ(a.labels, b.labels);
}

}  // namespace
