#include "tracker/TrackerObjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "la/Random.h"
#include "tests/common/tracker/FrameMeasuresScene.h"

// Heap allocations are counted while `counting` is set: operator new always,
// the aligned arrays' posix_memalign only without the address sanitizer,
// which owns that function.
namespace {
std::atomic<long> allocations{0};
std::atomic<bool> counting{false};
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t n) {
  if (counting) ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#if !defined(__SANITIZE_ADDRESS__)
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t n);
extern "C" int posix_memalign(void** p, std::size_t alignment, std::size_t n) {
  if (counting) ++allocations;
  *p = __libc_memalign(alignment, n);
  return *p != nullptr ? 0 : ENOMEM;
}
#endif

namespace {

using Scene = FrameMeasuresScene;

// y = s (R x + t) with R a turn of `degrees` about a fixed oblique axis.
LA::AlignedMatrix4f MakeSimilarity(float degrees, float tx, float ty, float tz, float s) {
  const float n = std::sqrt(0.3f * 0.3f + 1.0f + 0.2f * 0.2f);
  const float axis[3] = {0.3f / n, 1.0f / n, 0.2f / n};
  LA::AlignedMatrix3f R;
  AxisAngleToRotation(R, axis, std::fabs(degrees) * 3.14159265f / 180.0f);
  LA::AlignedMatrix4f T{};
  const float t[3] = {tx, ty, tz};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) T.m[r][c] = R.m[r][c];
    T.m[r][3] = t[r];
    T.m[3][r] = s;
  }
  T.m[3][3] = 1.0f;
  return T;
}

void Apply(const LA::AlignedMatrix4f& T, const float x[3], float y[3]) {
  for (int r = 0; r < 3; ++r)
    y[r] = T.m[3][0] * (T.m[r][0] * x[0] + T.m[r][1] * x[1] + T.m[r][2] * x[2] + T.m[r][3]);
}

bool SameMatrix(const LA::AlignedMatrix4f& a, const LA::AlignedMatrix4f& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// A row of twelve tracks at depths 5 to 6 before a key frame at the origin
// looking along +z, and ring frame 1 beside it, linked to it by its image
// alignment. f = 100 on a 200 x 160 image: a normalised 0.01 is one pixel.
struct ObjectScene {
  ObjectScene() : s(200, 160), objects(s.parts.Context()) {
    std::vector<std::pair<u32, int>> features;
    for (int i = 0; i < 12; ++i) {
      tracks.push_back(
          s.AddTrack(-2.75f + 0.5f * i, (i % 2) ? 0.5f : -0.5f, 5.0f + 0.5f * (i % 3)));
      features.emplace_back(tracks.back(), 0);
    }
    key = s.AddKeyFrame(Scene::Turned(0), features);
    s.Frame().pose.slot[kVisual] = Scene::Turned(0);
    s.Frame().alignedKeyFrame = key;
    // The host's object: turned 30 degrees about z, at (0.5, 0.2, 5.5).
    const float a = 0.5235988f, c = std::cos(a), sn = std::sin(a), p[3] = {0.5f, 0.2f, 5.5f};
    const float R[3][3] = {{c, -sn, 0}, {sn, c, 0}, {0, 0, 1}};
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) host.m[r][k] = R[r][k];
      host.m[r][3] = -(R[r][0] * p[0] + R[r][1] * p[1] + R[r][2] * p[2]);
      host.m[3][r] = 1.0f;
    }
    host.m[3][3] = 1.0f;
  }
  const TrackerObject& Object(size_t i = 0) const { return objects.List()[i]; }
  // Every point, key frame and frame pose of the map moved by S: the images
  // stay as they were.
  void MoveMap(const LA::AlignedMatrix4f& S) {
    for (MapPoint& X : s.W().points) {
      float y[3];
      Apply(S, X.v, y);
      for (int r = 0; r < 3; ++r) X.v[r] = y[r];
    }
    for (CameraPose& P : s.W().keyFramePoses) Move(P, S);
    for (CameraPose& P : s.Frame().pose.slot)
      if (IsPoseValid(P)) Move(P, S);
  }
  // P S^-1 up to the factor s: rotation P_R R^T, translation s (P_t - P_R R^T t).
  static void Move(CameraPose& P, const LA::AlignedMatrix4f& S) {
    CameraPose out{};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k) out.m[r][c] += P.m[r][k] * S.m[c][k];
      float Rt = 0.0f;
      for (int c = 0; c < 3; ++c) Rt += out.m[r][c] * S.m[c][3];
      out.m[r][3] = S.m[3][0] * (P.m[r][3] - Rt);
    }
    P = out;
  }
  // The leftmost tracks stop being inliers: the object's items are the rest.
  void DropLeftTracks(int n) {
    for (int i = 0; i < n; ++i) s.W().trackFlags[tracks[i]] = kTrackSolved;
  }
  // Moves frame 1 right until it sees exactly n inlier tracks.
  void SeeOnly(int n) {
    for (float cx = 0.0f; cx < 10.0f; cx += 0.01f) {
      s.Frame().pose.slot[kVisual] = Scene::Turned(0, cx);
      int seen = 0;
      for (const u32 t : tracks) {
        float X[3];
        SceneRender::ToCamera(s.Frame().pose.slot[kVisual], s.W().points[t].v, X);
        const float x = X[0] / X[2], y = X[1] / X[2];
        const float* b = s.parts.camera.bounds;
        if ((s.W().trackFlags[t] & kTrackInlier) && X[2] > 0 && x > b[0] && x < b[2] && y > b[1] &&
            y < b[3])
          ++seen;
      }
      if (seen == n) return;
    }
    FAIL() << "no pose sees " << n;
  }

  Scene s;
  TrackerObjects objects;
  std::vector<u32> tracks;
  u16 key = kNone16;
  LA::AlignedMatrix4f host{};
};

TEST(SimilarityToObjectPose, IsTheModelAfterTheRegistrationWithTheScalesMultiplied) {
  const LA::AlignedMatrix4f G = MakeSimilarity(40, 0.5f, -1.0f, 2.0f, 0.5f);
  const LA::AlignedMatrix4f S = MakeSimilarity(-25, 0.2f, 0.3f, -0.4f, 1.6f);
  LA::AlignedMatrix4f pose;
  float scratch[4];
  SimilarityToObjectPose(G, S, pose, scratch);
  const float points[3][3] = {{0, 0, 0}, {1, 0, 0}, {-0.5f, 2, 1}};
  for (const auto& x : points) {
    float g[3], expected[3], actual[3];
    Apply(G, x, g);
    Apply(S, g, expected);
    Apply(pose, x, actual);
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(actual[r], expected[r], 1e-5f);
  }
  // The host reads the object's size from the fourth row.
  for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(pose.m[3][c], 0.8f);
  EXPECT_EQ(pose.m[3][3], 1.0f);
  // The identity model leaves the registration as it is.
  SimilarityToObjectPose(G, MakeSimilarity(0, 0, 0, 0, 1), pose, scratch);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(pose.m[r][c], G.m[r][c], 1e-6f);
}

TEST(TrackerObjects, RegistrationKeepsTheKeyFramePointsAndHandsTheHostItsObjectBack) {
  ObjectScene o;
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  const TrackerObject& object = o.Object();
  EXPECT_EQ(object.anchorKeyFrame, o.key);
  ASSERT_EQ(object.features.Size(), 12u);
  ASSERT_EQ(object.points.Size(), 12u);
  for (u32 i = 0; i < 12; ++i) {
    EXPECT_EQ(object.features[i], i);
    for (int r = 0; r < 3; ++r) EXPECT_EQ(object.points[i].v[r], o.s.W().points[o.tracks[i]].v[r]);
  }
  ASSERT_EQ(object.transforms.Size(), 3u);
  EXPECT_EQ(object.scale, 1.0f);
  EXPECT_TRUE(SameMatrix(object.transforms[kModelMatrix], MakeSimilarity(0, 0, 0, 0, 1)));
  EXPECT_TRUE(SameMatrix(object.transforms[kPoseMatrix], object.transforms[kRegistrationMatrix]));
  // The matrix takes the object's coordinates back into the map.
  const float X[3] = {1.0f, -2.0f, 4.0f};
  float local[3], back[3];
  Apply(o.host, X, local);
  Apply(object.transforms[kPoseMatrix], local, back);
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(back[r], X[r], 1e-5f);
}

TEST(TrackerObjects, RegistrationIsRefusedWithoutFrameLinkPointsOrAUsableTransform) {
  ObjectScene o;
  EXPECT_FALSE(o.objects.RegisterObject(1, o.host, true));         // recovering
  EXPECT_FALSE(o.objects.RegisterObject(kNone16, o.host, false));  // no current frame
  EXPECT_FALSE(o.objects.RegisterObject(2, o.host, false));        // past the ring
  TrackerObjects bare;
  EXPECT_FALSE(bare.RegisterObject(1, o.host, false));
  // A host transform of scale 0 or with a NaN has no inverse.
  LA::AlignedMatrix4f flat = o.host;
  flat.m[3][0] = flat.m[3][1] = flat.m[3][2] = 0.0f;
  EXPECT_FALSE(o.objects.RegisterObject(1, flat, false));
  LA::AlignedMatrix4f nan = o.host;
  nan.m[1][3] = std::nanf("");
  EXPECT_FALSE(o.objects.RegisterObject(1, nan, false));
  EXPECT_TRUE(o.objects.List().empty());

  // The links in order of trust: aligned, near, relocalisation, inertial.
  std::vector<std::pair<u32, int>> features;
  for (const u32 t : o.tracks) features.emplace_back(t, 0);
  const u16 second = o.s.AddKeyFrame(Scene::Turned(0, 0.3f), features);
  TrackerFrame& f = o.s.Frame();
  u16* links[4] = {&f.alignedKeyFrame, &f.nearKeyFrame, &f.relocalisationKeyFrame, &f.imuKeyFrame};
  for (int p = 0; p < 4; ++p) {
    for (int q = 0; q < 4; ++q) *links[q] = q < p ? kNone16 : (q == p ? second : o.key);
    ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false)) << p;
    EXPECT_EQ(o.objects.List().back().anchorKeyFrame, second) << p;
  }
  for (u16* link : links) *link = kNone16;
  EXPECT_FALSE(o.objects.RegisterObject(1, o.host, false));
  // Nine usable points are too few.
  f.alignedKeyFrame = o.key;
  o.DropLeftTracks(3);
  EXPECT_FALSE(o.objects.RegisterObject(1, o.host, false));
  EXPECT_EQ(o.objects.List().size(), 4u);
}

TEST(TrackerObjects, DeregisteringRemovesOnlyAnExistingIndexAndKeepsTheOrder) {
  ObjectScene o;
  for (int i = 0; i < 3; ++i) {
    o.host.m[0][3] = static_cast<float>(i);
    ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  }
  auto offsets = [&] {
    std::vector<float> x;
    for (const TrackerObject& object : o.objects.List())
      x.push_back(object.transforms[kRegistrationMatrix].m[0][3]);
    return x;
  };
  const std::vector<float> all = offsets();
  o.objects.DeregisterObject(-1);
  o.objects.DeregisterObject(3);
  EXPECT_EQ(offsets(), all);
  o.objects.DeregisterObject(1);
  EXPECT_EQ(offsets(), (std::vector<float>{all[0], all[2]}));
}

TEST(TrackerObjects, AMapMovedByASimilarityMovesTheObjectWithItOnceAnchored) {
  ObjectScene o;
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  // A second object whose key frame was trimmed away stays frozen.
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  o.objects.List()[1].anchorKeyFrame = kNone16;
  const LA::AlignedMatrix4f before = o.Object().transforms[kPoseMatrix];
  const LA::AlignedMatrix4f S = MakeSimilarity(12, 0.3f, -0.2f, 0.4f, 1.25f);
  o.MoveMap(S);
  Random::Seed(5);
  o.objects.UpdateObjects(1, false);
  EXPECT_TRUE(SameMatrix(o.Object().transforms[kPoseMatrix], before));
  o.objects.UpdateObjects(1, true);
  const TrackerObject& object = o.Object();
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_NEAR(object.transforms[kModelMatrix].m[r][c], S.m[r][c], 1e-3f);
  const float points[3][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 2}};
  for (const auto& x : points) {
    float g[3], expected[3], actual[3];
    Apply(object.transforms[kRegistrationMatrix], x, g);
    Apply(S, g, expected);
    Apply(object.transforms[kPoseMatrix], x, actual);
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(actual[r], expected[r], 2e-3f);
  }
  EXPECT_TRUE(SameMatrix(o.Object(1).transforms[kPoseMatrix], before));
}

TEST(TrackerObjects, ARefitNeedsFiveVisibleItemsAndHalfOfTheItems) {
  struct Case {
    int dropped, visible;  // items are 12 - dropped
    bool moves;
  };
  for (const Case c : {Case{4, 4, false}, Case{4, 5, true}, Case{1, 5, false}, Case{2, 5, true},
                       Case{0, 0, false}}) {
    ObjectScene o;
    ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
    const LA::AlignedMatrix4f before = o.Object().transforms[kPoseMatrix];
    o.DropLeftTracks(c.dropped);
    o.SeeOnly(c.visible);
    o.MoveMap(MakeSimilarity(12, 0.3f, -0.2f, 0.4f, 1.25f));
    Random::Seed(5);
    o.objects.UpdateObjects(1, true);
    EXPECT_EQ(!SameMatrix(o.Object().transforms[kPoseMatrix], before), c.moves)
        << c.visible << " of " << 12 - c.dropped;
  }
}

TEST(TrackerObjects, AModelThatExplainsEveryItemWithinTenPixelsIsKept) {
  // Shifted by 0.25 at depths 5 to 6 the points move 4 to 5 pixels; by 0.75,
  // 12.5 to 15.
  for (const float shift : {0.25f, 0.75f}) {
    ObjectScene o;
    ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
    const TrackerObject before = o.Object();
    o.MoveMap(MakeSimilarity(0, shift, 0, 0, 1));
    Random::Seed(5);
    o.objects.UpdateObjects(1, true);
    const bool kept =
        SameMatrix(o.Object().transforms[kModelMatrix], before.transforms[kModelMatrix]) &&
        SameMatrix(o.Object().transforms[kPoseMatrix], before.transforms[kPoseMatrix]);
    EXPECT_EQ(kept, shift < 0.5f) << shift;
  }
}

TEST(TrackerObjects, TheOutputPoseDecidesVisibility) {
  // The frame's visual pose sees nothing; its output pose sees everything.
  ObjectScene o;
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  const LA::AlignedMatrix4f before = o.Object().transforms[kPoseMatrix];
  o.s.Frame().pose.slot[kOutput] = o.s.Frame().pose.slot[kVisual];
  o.s.Frame().pose.slot[kVisual] = Scene::Turned(180);
  o.MoveMap(MakeSimilarity(12, 0.3f, -0.2f, 0.4f, 1.25f));
  Random::Seed(5);
  o.objects.UpdateObjects(1, true);
  EXPECT_FALSE(SameMatrix(o.Object().transforms[kPoseMatrix], before));
  EXPECT_EQ(&OutputPose(o.s.Frame()), &o.s.Frame().pose.slot[kOutput]);
}

TEST(TrackerObjects, FollowingTheMapAllocatesNothingOnceWarm) {
  ObjectScene o;
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  const LA::AlignedMatrix4f there = MakeSimilarity(12, 0.3f, -0.2f, 0.4f, 1.25f);
  LA::AlignedMatrix4f back;
  float scratch[4];
  InvertSimilarityTransform(&there.m[0][0], &back.m[0][0], scratch);
  long counted = 0;
  // Each step moves the map away or back again, so every call re-fits.
  for (int step = 0; step < 8; ++step) {
    const LA::AlignedMatrix4f before = o.Object().transforms[kModelMatrix];
    o.MoveMap(step % 2 == 0 ? there : back);
    Random::Seed(5);
    allocations = 0;
    counting = step >= 2;
    o.objects.UpdateObjects(1, true);
    counting = false;
    counted += allocations;
    EXPECT_FALSE(SameMatrix(o.Object().transforms[kModelMatrix], before)) << step;
  }
  EXPECT_EQ(counted, 0);
}

}  // namespace
