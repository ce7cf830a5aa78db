// The image-map unit over its own ring and view of an empty 1280 x 960 map,
// whose alignment images are 80 x 60: image maps
// between frames (chaining over the ring, the consistent state after a failed
// alignment, dropping of distorted maps, plain or point-pulled alignment, the
// pairing of correspondences).
#include "tracker/ImageMaps.h"

#include <gtest/gtest.h>

#include <memory>

#include "features/ImageAlignment.h"
#include "tests/common/SceneRenderer.h"
#include "tests/features/AlignmentScene.h"

using namespace AlignmentScene;
using Eigen::Matrix3d;

namespace {

constexpr int kW = 80, kH = 60;

// Frame j of a camera that turns by 1 degree and slides by (1, 0.5) pixels
// per frame: its pixels show the texture through S T_j.
Matrix3d Motion(int j) {
  return Similarity(1.0 * j, 1.0, 1.0 * j, 0.5 * j, 0.5 * kW, 0.5 * kH);
}

const WarpRecord kUnset{{FLT_MAX}};

// Per map '1' when set, '0' when not.
std::string SetFlags(const AlignedArray<WarpRecord>& maps) {
  std::string flags;
  for (const WarpRecord& m : maps) flags += m.IsSet() ? '1' : '0';
  return flags;
}

}  // namespace

class ImageMapsTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeRing(2); }
  // A fresh unit with a ring of n reset frames, frame i showing Motion(i),
  // every map unset.
  void MakeRing(u16 n) {
    Intrinsic k;
    k.Set(1000.0f, 1000.0f, 639.5f, 479.5f);
    const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
    maps.reset();
    view.reset();
    map = std::make_unique<GlobalMap>(1280, 960, k, extrinsic);
    camera = TrackerCamera(*map);
    view = std::make_unique<TrackerMapView>(*map);
    ring.ResetTo(n);
    maps = std::make_unique<ImageMaps>(camera, ring, *view);
    for (u16 i = 0; i < n; ++i) Show(i, Motion(i));
  }
  // Ring frame i shows the noise texture of that seed moved by `motion`.
  void Show(u16 i, const Matrix3d& motion, u32 seed = 19) {
    const Matrix3d S = Similarity(0.0, 1.0, 64.0, 64.0, 0.0, 0.0);  // into the texture
    TrackerFrame& f = ring[i];
    PrepareAlignmentImage(
        Render(SceneRender::MakeNoiseTexture(256, 256, seed, 8), S * motion, kW, kH),
        f.alignmentImage, f.gradientImage, f.alignmentValue);
  }
  // Level-0 match of a track at an alignment-image pixel position.
  MapMatch Match(u32 track, double x, double y) const {
    const Intrinsic& k = camera.intrinsic[4];
    MapMatch m{};
    m.track = track;
    m.nx = static_cast<float>((x - k.cx[0]) / k.fx[0]);
    m.ny = static_cast<float>((y - k.cy[0]) / k.fy[0]);
    return m;
  }

  std::unique_ptr<GlobalMap> map;
  TrackerCamera camera;
  FrameRing ring;
  std::unique_ptr<TrackerMapView> view;
  std::unique_ptr<ImageMaps> maps;
};

// Maps chained over five frames equal the product of the steps. A step keeps
// mild maps and drops distorted ones; a failed step leaves only the current
// frame's identity.
TEST_F(ImageMapsTest, ChainedMapsEqualTheProductDistortedOnesAreDroppedAFailureClearsAll) {
  MakeRing(6);
  view->KeyFrameMaps().Resize(1);
  SetIdentityMap(view->KeyFrameMaps()[0]);  // key frame 0 is frame 0
  Matrix3d product = Matrix3d::Identity();
  for (u16 c = 1; c < 6; ++c) {
    ASSERT_TRUE(maps->AlignToPreviousFrame(c - 1, c));
    product = product * ToEigen(ring.Maps()[c - 1]);
    EXPECT_TRUE(ToEigen(ring.Maps()[c]).isIdentity(0.0));
  }
  const Matrix3d truth = Motion(0).inverse() * Motion(5);
  for (const WarpRecord& chained : {ring.Maps()[0], view->KeyFrameMaps()[0]}) {
    EXPECT_LT(MaxCornerError(ToEigen(chained), product, kW, kH), 1e-3);
    EXPECT_LT(MaxCornerError(ToEigen(chained), truth, kW, kH), 0.3);
  }

  MakeRing(4);
  const WarpRecord mild = ToWarp(Similarity(0.0, 1.02, 1.0, 0.0, 40, 30));
  const WarpRecord squashed = ToWarp(Similarity(0.0, 0.25, 0.0, 0.0, 40, 30));
  ring.Maps()[0] = mild;
  ring.Maps()[1] = squashed;
  view->KeyFrameMaps().Resize(3);
  view->KeyFrameMaps()[0] = mild;
  view->KeyFrameMaps()[1] = squashed;
  view->KeyFrameMaps()[2] = kUnset;

  // A good step keeps the mild maps and drops the squashed ones.
  ASSERT_TRUE(maps->AlignToPreviousFrame(2, 3));
  EXPECT_EQ(SetFlags(ring.Maps()), "1011");
  EXPECT_EQ(SetFlags(view->KeyFrameMaps()), "100");

  // CarryKeyFrameMaps drops what it distorts too.
  view->KeyFrameMaps()[1] = mild;
  ring.Maps()[2] = squashed;
  maps->CarryKeyFrameMaps({0, 1}, 2, 3);
  EXPECT_EQ(SetFlags(view->KeyFrameMaps()), "000");

  // Through an unset frame map, or from a frame past the ring's maps, every
  // key-frame map stays as it was; key frames past the maps are skipped.
  view->KeyFrameMaps()[0] = mild;
  ring.Maps()[2] = kUnset;
  maps->CarryKeyFrameMaps({0, 3}, 2, 3);
  maps->CarryKeyFrameMaps({0, 3}, 4, 3);
  EXPECT_TRUE(ToEigen(view->KeyFrameMaps()[0]) == ToEigen(mild));
  EXPECT_EQ(SetFlags(view->KeyFrameMaps()), "100");

  // Frame 1 now shows another texture: the step fails and drops every map.
  view->KeyFrameMaps()[0] = mild;
  Show(1, Motion(1), 77);
  EXPECT_FALSE(maps->AlignToPreviousFrame(1, 3));
  EXPECT_EQ(SetFlags(ring.Maps()), "0001");
  EXPECT_TRUE(ToEigen(ring.Maps()[3]).isIdentity(0.0));
  EXPECT_EQ(SetFlags(view->KeyFrameMaps()), "000");
}

// Pairs 6 pixels off the image's answer fail the point test of the extended
// alignment, which runs from 10 pairs on; 9 such pairs leave the plain
// alignment, which succeeds. The failed alignment restores the true map.
TEST_F(ImageMapsTest, TenPairsPullTheAlignmentNinePairsDoNotRelocalisingStartsAfresh) {
  const Matrix3d truth = Motion(0).inverse() * Motion(1);
  view->Working().trackFlags.assign(10, kTrackSolved);
  for (const u32 pairs : {9u, 10u}) {
    ring.Maps()[0] = ToWarp(truth);
    for (u16 i = 0; i < ring.Size(); ++i) ring[i].mapMatches[0].clear();
    for (u32 i = 0; i < pairs; ++i) {
      const Eigen::Vector3d q(kW * (0.1 + 0.08 * i), kH * (0.15 + 0.2 * (i % 4)), 1.0);
      const Eigen::Vector2d a = (truth * q).hnormalized();
      ring[0].mapMatches[0].push_back(Match(i, a.x() + 6.0, a.y()));
      ring[1].mapMatches[0].push_back(Match(i, q.x(), q.y()));
    }
    AlignedArray<LA::Vector2<float>> A, B;  // 6 alignment pixels apart: 96 level-0 pixels
    EXPECT_NEAR(maps->CollectFrameCorrespondences(0, 1, A, B), 96.0f, 0.1f);
    EXPECT_EQ(maps->AlignFrameImage(0, 1), pairs < 10) << pairs;
    EXPECT_LT(MaxCornerError(ToEigen(ring.Maps()[0]), truth, kW, kH), 0.1) << pairs;
  }

  // While relocalising, a recovering tracker aligns from the identity instead
  // of the key frame's stale map; a failure leaves the map as it was.
  view->Working().keyFrames.resize(1);
  view->Working().keyFrames[0].floatImage = ring[0].alignmentImage;
  view->KeyFrameMaps().Resize(1);
  const WarpRecord stale = ToWarp(Similarity(0.0, 1.0, 25.0, 0.0, 40, 30));
  for (const bool recovering : {false, true}) {
    view->KeyFrameMaps()[0] = stale;
    float residual = -1.0f;
    const KeyFrameAlignment start =
        recovering ? KeyFrameAlignment::kRecovering : KeyFrameAlignment::kRelocalising;
    EXPECT_EQ(maps->AlignKeyFrameImage(0, 1, start, &residual), recovering);
    const Matrix3d expected = recovering ? truth : ToEigen(stale);
    EXPECT_LT(MaxCornerError(ToEigen(view->KeyFrameMaps()[0]), expected, kW, kH), 0.1);
    EXPECT_GE(residual, recovering ? 0.0f : -1.0f);
  }
}

// With the identity map and frame f one alignment pixel to the right, the
// RMS is one alignment pixel in level-0 pixels (16). A point matched at two
// levels pairs once; an inlier seen only in the other frame pairs with its
// projection when the frame has a pose.
TEST_F(ImageMapsTest, CorrespondencesPairEachPointOnceAndReportTheirRms) {
  SetIdentityMap(ring.Maps()[0]);
  TrackerFrame& other = ring[0];
  TrackerFrame& f = ring[1];
  for (int level : {0, 1}) {
    other.mapMatches[level].push_back(Match(0, 20, 30));
    f.mapMatches[level].push_back(Match(0, 21, 30));
  }
  // An inlier not matched in f, a point not an inlier, one unknown to the map copy.
  other.mapMatches[2] = {Match(1, 40, 30), Match(2, 50, 30), Match(7, 60, 30)};
  view->Working().points.Resize(3);
  view->Working().trackFlags = {kTrackSolved, kTrackSolved | kTrackInlier, kTrackSolved};
  AlignedArray<LA::Vector2<float>> A, B;
  EXPECT_NEAR(maps->CollectFrameCorrespondences(0, 1, A, B), 16.0f, 1e-3f);
  EXPECT_EQ(A.Size(), 1u);

  const float x = other.mapMatches[2][0].nx + 1.0f / camera.intrinsic[4].fx[0];
  view->Working().points[1] = {{2 * x, 2 * other.mapMatches[2][0].ny, 2.0f, 1.0f}};  // depth 2
  f.pose.slot[kVisual] = CameraPose{};
  for (int i = 0; i < 3; ++i) f.pose.slot[kVisual].m[i][i] = 1.0f;
  EXPECT_NEAR(maps->CollectFrameCorrespondences(0, 1, A, B), 16.0f, 1e-3f);
  ASSERT_EQ(A.Size(), 2u);
  EXPECT_FLOAT_EQ(B[1].x, x);

  // The key frame's features pair the same way.
  view->KeyFrameMaps().Resize(1);
  SetIdentityMap(view->KeyFrameMaps()[0]);
  view->Records().assign(1, {});
  view->Working().keyFrames.assign(1, {0, {0, 2, 2, 2, 2, 2}, {}});  // both on level 0
  view->Working().keyFrameMeasurementStart = {0, 2};
  view->Working().measurementTracks = {0, 1};
  view->KeyFrameNormalized().Resize(2);
  view->KeyFrameNormalized()[0] = {other.mapMatches[0][0].nx, other.mapMatches[0][0].ny};
  view->KeyFrameNormalized()[1] = {other.mapMatches[2][0].nx, other.mapMatches[2][0].ny};
  f.mapMatches[1].clear();  // track 0 matched on level 0 alone
  // A fresh unit first: the pairs need no earlier call to have sized its marks.
  maps = std::make_unique<ImageMaps>(camera, ring, *view);
  for (int again = 0; again < 2; ++again) {  // nothing of one call stays for the next
    EXPECT_NEAR(maps->CollectKeyFrameCorrespondences(0, 1, A, B), 16.0f, 1e-3f);
    EXPECT_EQ(A.Size(), 2u);
  }
  // A later key frame's tracks and features start where the earlier's end.
  view->KeyFrameMaps().Resize(2);  // Resize keeps no content
  for (WarpRecord& m : view->KeyFrameMaps()) SetIdentityMap(m);
  view->Records().resize(2);
  view->Records()[1].featureStart = 2;
  view->Working().keyFrames.resize(2);
  view->Working().keyFrames[1] = {0, {0, 2, 2, 2, 2, 2}, {}};
  view->Working().keyFrameMeasurementStart = {0, 2, 4};
  view->Working().measurementTracks = {0, 1, 0, 1};
  const LA::Vector2<float> features[2] = {view->KeyFrameNormalized()[0],
                                          view->KeyFrameNormalized()[1]};
  view->KeyFrameNormalized().Resize(4);
  // Key frame 0's own features now sit elsewhere: key frame 1 must read its own.
  for (u32 i = 0; i < 4; ++i)
    view->KeyFrameNormalized()[i] = {features[i % 2].x + (i < 2 ? 0.5f : 0.0f), features[i % 2].y};
  EXPECT_NEAR(maps->CollectKeyFrameCorrespondences(1, 1, A, B), 16.0f, 1e-3f);
  EXPECT_EQ(A.Size(), 2u);

  // Through a projective map a position and its image pair exactly.
  const Matrix3d H = (Matrix3d() << 1.1, 0.05, 2.0, -0.03, 0.95, 1.0, 2e-3, 3e-3, 1.0).finished();
  ring.Maps()[0] = ToWarp(H);
  f.mapMatches[2].clear();
  const Eigen::Vector2d q = (H.inverse() * Eigen::Vector3d(20, 30, 1)).hnormalized();
  f.mapMatches[0] = {Match(0, q.x(), q.y())};
  f.pose.slot[kVisual].m[0][0] = FLT_MAX;
  EXPECT_NEAR(maps->CollectFrameCorrespondences(0, 1, A, B), 0.0f, 1e-2f);
  EXPECT_EQ(A.Size(), 1u);

  // No map, or no such ring frame: no pairs.
  EXPECT_EQ(maps->CollectFrameCorrespondences(ring.Size(), 1, A, B), FLT_MAX);
  ring.Maps()[0] = kUnset;
  EXPECT_EQ(maps->CollectFrameCorrespondences(0, 1, A, B), FLT_MAX);
  EXPECT_TRUE(A.Empty());
}
