#include "tracker/TrackerObjects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/Sanitizers.h"
#include "la/Random.h"
#include "tests/common/tracker/FrameMeasuresScene.h"

// Heap allocations counted while `counting` is set; the aligned arrays'
// posix_memalign only without the address sanitizer, which owns it.
static std::atomic<long> allocations{0};
static std::atomic<bool> counting{false};
[[gnu::noinline]] void* operator new(std::size_t n) {
  allocations += counting ? 1 : 0;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#if !defined(ZEVRION_ASAN_BUILD)
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t n);
extern "C" int posix_memalign(void** p, std::size_t alignment, std::size_t n) {
  allocations += counting ? 1 : 0;
  *p = __libc_memalign(alignment, n);
  return *p != nullptr ? 0 : ENOMEM;
}
#endif

namespace {

using Matrix = LA::AlignedMatrix4f;

// y = s (R x + t), R a turn of `degrees` about an oblique axis.
Matrix Similarity(float degrees, float tx, float ty, float tz, float s) {
  const float axis[3] = {0.2804f, 0.9347f, 0.1869f}, t[3] = {tx, ty, tz};
  LA::AlignedMatrix3f R;
  AxisAngleToRotation(R, axis, std::fabs(degrees) * 0.01745329f);
  Matrix T{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) T.m[r][c] = R.m[r][c];
    T.m[r][3] = t[r];
    T.m[3][r] = s;
  }
  T.m[3][3] = 1.0f;
  return T;
}
void Apply(const Matrix& T, const float x[3], float y[3]) {  // y may be x
  float q[3];
  for (int r = 0; r < 3; ++r)
    q[r] = T.m[3][0] * (T.m[r][0] * x[0] + T.m[r][1] * x[1] + T.m[r][2] * x[2] + T.m[r][3]);
  std::memcpy(y, q, sizeof(q));
}
bool Same(const Matrix& a, const Matrix& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}
// T after G, point by point.
void ExpectComposed(const Matrix& T, const Matrix& G, const Matrix& pose, float tolerance) {
  const float points[3][3] = {{0, 0, 0}, {1, 0, 0}, {-0.5f, 2, 1}};
  for (const auto& x : points) {
    float g[3], expected[3], actual[3];
    Apply(G, x, g);
    Apply(T, g, expected);
    Apply(pose, x, actual);
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(actual[r], expected[r], tolerance);
  }
}

// Twelve tracks in a row at depths 5 to 6 before a key frame at the origin,
// and ring frame 1 beside it, aligned with it. f = 100 on 200 x 160: a
// normalised 0.01 is one pixel. The host's object (map to object) is turned
// about x and shifted.
struct ObjectScene {
  ObjectScene() : s(200, 160), objects(s.parts.Context()), host(Similarity(0, 0.5f, 0.2f, -5, 1)) {
    std::vector<std::pair<u32, int>> features;
    for (int i = 0; i < 12; ++i)
      features.emplace_back(s.AddTrack(-2.75f + 0.5f * i, (i % 2) - 0.5f, 5 + 0.5f * (i % 3)), 0);
    key = s.AddKeyFrame(FrameMeasuresScene::Turned(0), features);
    s.Frame().pose.slot[kVisual] = FrameMeasuresScene::Turned(0);
    s.Frame().alignedKeyFrame = key;
    host.m[1][1] = host.m[2][2] = 0.6f, host.m[1][2] = -0.8f, host.m[2][1] = 0.8f;
  }
  const TrackerObject& Object() const { return objects.List()[0]; }
  // Points, key frames and frame poses moved by S: the images stay as they were.
  void MoveMap(const Matrix& S) {
    for (MapPoint& X : s.W().points) Apply(S, X.v, X.v);
    for (CameraPose& P : s.W().keyFramePoses) Move(P, S);
    for (CameraPose& P : s.Frame().pose.slot)
      if (IsPoseValid(P)) Move(P, S);
  }
  // P S^-1 up to its scale: rotation P_R R^T, translation s (P_t - P_R R^T t).
  static void Move(CameraPose& P, const Matrix& S) {
    CameraPose out{};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k) out.m[r][c] += P.m[r][k] * S.m[c][k];
      const float Rt = out.m[r][0] * S.m[0][3] + out.m[r][1] * S.m[1][3] + out.m[r][2] * S.m[2][3];
      out.m[r][3] = S.m[3][0] * (P.m[r][3] - Rt);
    }
    P = out;
  }
  // The leftmost `dropped` tracks lose their inlier flag; frame 1 moves right
  // until it sees exactly `visible` of the others.
  void Restrict(int dropped, int visible) {
    for (int i = 0; i < dropped; ++i) s.W().trackFlags[i] = kTrackSolved;
    const float* b = s.parts.camera.bounds;
    for (float cx = 0.0f; cx < 10.0f; cx += 0.01f) {
      s.Frame().pose.slot[kVisual] = FrameMeasuresScene::Turned(0, cx);
      int seen = 0;
      for (u32 t = dropped; t < 12; ++t) {
        float X[3];
        SceneRender::ToCamera(s.Frame().pose.slot[kVisual], s.W().points[t].v, X);
        seen +=
            X[0] > b[0] * X[2] && X[0] < b[2] * X[2] && X[1] > b[1] * X[2] && X[1] < b[3] * X[2];
      }
      if (seen == visible) return;
    }
    FAIL() << "no pose sees " << visible;
  }

  FrameMeasuresScene s;
  TrackerObjects objects;
  Matrix host;
  u16 key = kNone16;
};

TEST(TrackerObjects, ObjectPoseIsTheModelAfterTheRegistrationWithScalesMultiplied) {
  const Matrix G = Similarity(40, 0.5f, -1, 2, 0.5f), S = Similarity(-25, 0.2f, 0.3f, -0.4f, 1.6f);
  Matrix pose;
  float scratch[4];
  SimilarityToObjectPose(G, S, pose, scratch);
  ExpectComposed(S, G, pose, 1e-5f);
  EXPECT_FLOAT_EQ(pose.m[3][2], 0.8f);  // the host reads the object's size here
  EXPECT_EQ(pose.m[3][3], 1.0f);
}

TEST(TrackerObjects, RegistrationAnchorsOnTheFrameLinksInOrderOrIsRefused) {
  ObjectScene o;
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  const TrackerObject& object = o.Object();
  EXPECT_EQ(object.anchorKeyFrame, o.key);
  ASSERT_EQ(object.features.Size(), 12u);
  EXPECT_EQ(object.features[11], 11);
  EXPECT_EQ(object.points[11].v[0], o.s.W().points[11].v[0]);
  EXPECT_TRUE(Same(object.transforms[kModelMatrix], Similarity(0, 0, 0, 0, 1)));
  // The host gets its object back: the matrix undoes its transform.
  ExpectComposed(object.transforms[kPoseMatrix], o.host, Similarity(0, 0, 0, 0, 1), 1e-5f);

  Matrix flat = o.host, nan = o.host;
  flat.m[3][0] = flat.m[3][1] = flat.m[3][2] = 0.0f;
  nan.m[1][3] = std::nanf("");
  EXPECT_FALSE(o.objects.RegisterObject(1, o.host, true));         // recovering
  EXPECT_FALSE(o.objects.RegisterObject(kNone16, o.host, false));  // no current frame
  EXPECT_FALSE(o.objects.RegisterObject(1, flat, false));          // no inverse
  EXPECT_FALSE(o.objects.RegisterObject(1, nan, false));
  nan = o.host;
  nan.m[2][0] = std::nanf("");  // the first column as much as the others
  EXPECT_FALSE(o.objects.RegisterObject(1, nan, false));
  EXPECT_FALSE(TrackerObjects().RegisterObject(1, o.host, false));  // a bare list
  // Aligned, near, relocalisation, inertial: the first one set anchors.
  const u16 second = o.s.AddKeyFrame(FrameMeasuresScene::Turned(0), {{0, 0}, {1, 0}});
  TrackerFrame& f = o.s.Frame();
  u16* links[4] = {&f.alignedKeyFrame, &f.nearKeyFrame, &f.relocalisationKeyFrame, &f.imuKeyFrame};
  for (int p = 0; p < 4; ++p) {
    for (int q = 0; q < 4; ++q) *links[q] = q < p ? kNone16 : (q == p ? o.key : second);
    ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
    EXPECT_EQ(o.objects.List().back().anchorKeyFrame, o.key) << p;
  }
  *links[3] = kNone16;
  EXPECT_FALSE(o.objects.RegisterObject(1, o.host, false));  // no link
  f.alignedKeyFrame = o.key;
  o.Restrict(3, 9);
  EXPECT_FALSE(o.objects.RegisterObject(1, o.host, false));  // nine points are too few
  // Deregistering -1 or past the end changes nothing; inside, the rest keep their order.
  o.objects.List()[2].scale = 3.0f;
  o.objects.DeregisterObject(-1);
  o.objects.DeregisterObject(5);
  o.objects.DeregisterObject(1);
  ASSERT_EQ(o.objects.List().size(), 4u);
  EXPECT_EQ(o.objects.List()[1].scale, 3.0f);
}

TEST(TrackerObjects, AMapMovedByASimilarityMovesTheObjectWithItOnceAnchoredWithoutAllocating) {
  ObjectScene o;
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
  o.objects.List()[1].anchorKeyFrame = kNone16;  // trimmed away: frozen
  const Matrix before = o.Object().transforms[kPoseMatrix];
  const Matrix S = Similarity(12, 0.3f, -0.2f, 0.4f, 1.25f);
  o.MoveMap(S);
  Random::Seed(5);
  o.objects.UpdateObjects(1, false);
  EXPECT_TRUE(Same(o.Object().transforms[kPoseMatrix], before));
  o.objects.UpdateObjects(1, true);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_NEAR(o.Object().transforms[kModelMatrix].m[r][c], S.m[r][c], 1e-3f);
  ExpectComposed(S, o.Object().transforms[kRegistrationMatrix], o.Object().transforms[kPoseMatrix],
                 2e-3f);
  EXPECT_TRUE(Same(o.objects.List()[1].transforms[kPoseMatrix], before));
  // Back and forth, every call re-fits; once warm, without allocating.
  Matrix back;
  float scratch[4];
  InvertSimilarityTransform(&S.m[0][0], &back.m[0][0], scratch);
  for (int step = 0; step < 5; ++step) {
    const Matrix model = o.Object().transforms[kModelMatrix];
    o.MoveMap(step % 2 == 0 ? back : S);
    Random::Seed(5);
    counting = step >= 1;
    o.objects.UpdateObjects(1, true);
    counting = false;
    EXPECT_FALSE(Same(o.Object().transforms[kModelMatrix], model)) << step;
  }
  EXPECT_EQ(allocations, 0);
}

TEST(TrackerObjects, ARefitNeedsFiveVisibleItemsHalfTheItemsAndAnItemOffByTenPixels) {
  struct Case {
    int dropped, visible;  // 12 - dropped items
    float shift;           // 0: the similarity; else a shift along x, 4 to 5 or 12.5 to 15 pixels
    bool output, moves;    // output: the output pose sees, the visual pose looks away
  };
  for (const Case c :
       {Case{4, 4, 0, false, false}, Case{4, 5, 0, false, true}, Case{1, 5, 0, false, false},
        Case{2, 5, 0, false, true}, Case{0, 0, 0, false, false}, Case{0, 12, 0.25f, false, false},
        Case{0, 12, 0.75f, false, true}, Case{0, 12, 0, true, true}}) {
    ObjectScene o;
    ASSERT_TRUE(o.objects.RegisterObject(1, o.host, false));
    const TrackerObject before = o.Object();
    o.Restrict(c.dropped, c.visible);
    if (c.output) {
      o.s.Frame().pose.slot[kOutput] = o.s.Frame().pose.slot[kVisual];
      o.s.Frame().pose.slot[kVisual] = FrameMeasuresScene::Turned(180);
    }
    o.MoveMap(c.shift > 0 ? Similarity(0, c.shift, 0, 0, 1)
                          : Similarity(12, 0.3f, -0.2f, 0.4f, 1.25f));
    Random::Seed(5);
    o.objects.UpdateObjects(1, true);
    const bool kept = Same(o.Object().transforms[kPoseMatrix], before.transforms[kPoseMatrix]) &&
                      Same(o.Object().transforms[kModelMatrix], before.transforms[kModelMatrix]);
    EXPECT_EQ(kept, !c.moves) << c.visible << " of " << 12 - c.dropped << ", shift " << c.shift;
  }
}

}  // namespace
