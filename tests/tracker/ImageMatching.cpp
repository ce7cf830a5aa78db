// Image matching on a rendered wall and floor from two known poses: true maps
// and epipolar lines, estimated geometry, masks and thinning squares, the SSD
// gate, and key-frame hypotheses: ties, agreement and plane blocks.
#include "tracker/ImageMatching.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "common/Draws.h"
#include "common/tracker/ImageMatchingScene.h"
#include "features/ImageMapMath.h"
#include "la/Homography.h"
#include "tracker/WarpHypotheses.h"

namespace {

const TrackingMode kTracking{true, false};
const TrackingMode kNotTracking{false, false};

std::vector<u32> Tracks(const TrackerFrame& f) {
  std::vector<u32> t;
  for (const auto& list : f.mapMatches)
    for (const MapMatch& m : list) t.push_back(m.track);
  return t;
}

// Each match's track appears once over the four levels.
bool TracksUnique(const TrackerFrame& f) {
  const std::vector<u32> t = Tracks(f);
  return std::set<u32>(t.begin(), t.end()).size() == t.size();
}

// |l . x| over |l| of x_c against the line F x_o, level pixels.
float LineDistance(const WarpRecord& F, const LA::Vector2<float>& xo, float xc, float yc) {
  float l[3];
  for (int r = 0; r < 3; ++r) l[r] = F.m[4 * r] * xo.x + F.m[4 * r + 1] * xo.y + F.m[4 * r + 2];
  return std::fabs(l[0] * xc + l[1] * yc + l[2]) / std::hypot(l[0], l[1]);
}

// 100 + deviation in the 8x8 window at (x, y): `plus` pixels of +d, then -d,
// then e1 and e2; against a flat 100 the zero-mean SSD is sum(e^2) - (sum e)^2 / 64.
void Block(CVD::BasicImage<u8>& image, int x, int y, int plus, int d, int e1, int e2) {
  const int e[4] = {d, -d, e1, e2};
  for (int i = 0; i < 64; ++i)
    image[y - 4 + i / 8][x - 4 + i % 8] = u8(100 + e[(i >= plus) + (i >= 62) + (i >= 63)]);
}

// Flat grey level 0 in key frame 0 and the current frame; every track solved
// but the listed level-0 patches of key frame 0 (patch = track), put at the
// listed positions; the current frame's level-0 corners as listed; key frame
// 0's image map the identity.
void MakeFlat(ImageMatchingScene& s, const std::vector<std::pair<u32, CornerXY>>& features,
              const std::vector<CornerXY>& corners) {
  s.unit.map->keyFrames[0].pyramid[0].fill(100);
  s.Current().pyramid[0].fill(100);
  for (u8& f : s.Working().trackFlags) f = kTrackSolved;
  for (const auto& [p, xy] : features) {
    FeaturePatch& patch = s.unit.view.Patches()[p];
    patch.x = xy.x, patch.y = xy.y, s.Working().trackFlags[p] = 0;
    s.unit.view.KeyFramePixels()[patch.feature] = {float(xy.x), float(xy.y)};
  }
  FeatureGrid& g = s.Current().corners[0];
  g.corners.Clear();
  g.rowStarts.assign(s.Current().pyramid[0].size().y + 1u, 0);
  for (const CornerXY c : corners) {
    g.corners.PushBack(c, 20);
    for (u32 y = c.y + 1u; y < g.rowStarts.size(); ++y) ++g.rowStarts[y];
  }
  SetIdentityMap(s.unit.view.KeyFrameMaps()[0]);
}

// A baseline wide enough that wall and floor part by more than the epipolar
// test's threshold: a constant shift does not pass for the geometry.
MatcherSceneOptions WideBaseline() {
  MatcherSceneOptions o;
  o.shiftX = 0.4f, o.shiftY = 0.1f;
  return o;
}

const MapMatch* FindTrack(const std::vector<MapMatch>& list, u32 track) {
  for (const MapMatch& m : list)
    if (m.track == track) return &m;
  return nullptr;
}

}  // namespace

TEST(ImageMatching, TrueMapsMatchNineTenthsWhereTheyAreOnTheirLinesAndAWrongEssentialFewer) {
  struct Row {
    bool affine, keyFrame, movedUp;
  };
  for (const Row row : {Row{false, true, false}, Row{false, false, false}, Row{true, true, false},
                        Row{true, false, false}, Row{false, true, true}}) {
    SCOPED_TRACE(testing::Message() << row.affine << row.keyFrame << row.movedUp);
    ImageMatchingScene s;
    s.unit.ring.Map(0) = s.unit.view.KeyFrameMaps()[0] = s.WallMap(row.affine);
    // Moved up instead of sideways: the true corners lie off the lines.
    CameraPose pose = s.scene.poses[1];
    if (row.movedUp) pose.m[0][3] = 0.0f, pose.m[1][3] = -0.12f;
    ImageMatching& m = s.matching;
    m.ComputeEssentialFromPoses(s.scene.poses[0], pose, m.Essential(), m.Fundamentals());
    m.MarkFrame(1);
    const u32 n = row.keyFrame ? m.MatchImagesToKeyFrame(0, 1) : m.MatchImagesToFrame(0, 1);
    if (row.movedUp) {
      EXPECT_LT(s.CountCorrect(-1), 0.2 * s.CountVisible(-1));
      continue;
    }
    EXPECT_GE(s.CountCorrect(-1), 0.9 * s.CountVisible(-1));
    EXPECT_GE(s.CountVisible(-1), 100u);
    EXPECT_EQ(n, s.Current().MapMatchCount());
    EXPECT_EQ(s.Current().unsolvedCount, n);
    EXPECT_TRUE(TracksUnique(s.Current()));
    for (int l = 0; l < kPyramidLevels; ++l)
      for (const MapMatch& x : s.Current().mapMatches[l]) {
        EXPECT_LT(x.ssd, ImageMatching::kSsdGate);
        const LA::Vector2<float>& o =
            s.unit.view.KeyFramePixels()[s.unit.view.Patches()[x.patch].feature];
        EXPECT_LT(LineDistance(m.Fundamentals()[l], o, x.x, x.y), 4.0f / (1 << l));
      }
    // Nothing left to match: a second pass finds the tracks taken.
    EXPECT_EQ(row.keyFrame ? m.MatchImagesToKeyFrame(0, 1) : m.MatchImagesToFrame(0, 1), 0u);
  }
}

TEST(ImageMatching, TheFundamentalPyramidHoldsTrueCorrespondencesOnEveryLevel) {
  ImageMatchingScene s;
  Random::Seed(5);
  const Eigen::Matrix3d R = RandomRotation(0.2f).cast<double>();
  const Eigen::Vector3d t = Eigen::Vector3d::NullaryExpr([] { return UniformD(-0.3, 0.3); });
  CameraPose a = s.scene.poses[0], b = FromEigen<CameraPose>(R, t);
  ImageMatching& m = s.matching;
  m.ComputeEssentialFromPoses(a, b, m.Essential(), m.Fundamentals());
  ASSERT_EQ(m.Fundamentals().Size(), 4u);
  float worst[4] = {0, 0, 0, 0};
  for (int i = 0; i < 50; ++i) {
    const float X[3] = {Uniform(-2, 2), Uniform(-1.5f, 1.5f), Uniform(3, 8)};
    for (int l = 0; l < kPyramidLevels; ++l) {
      LA::Vector2<float> xo;
      float xc[2];
      SceneRender::ProjectPoint(a, s.unit.camera.intrinsic[l], X, &xo.x);
      SceneRender::ProjectPoint(b, s.unit.camera.intrinsic[l], X, xc);
      worst[l] = std::max(worst[l], LineDistance(m.Fundamentals()[l], xo, xc[0], xc[1]));
    }
  }
  // Levels halve pixel positions while the camera's half-sampled levels also
  // move the centre by half a pixel: within 0.1 level pixels.
  EXPECT_LT(worst[0], 2e-3f);
  for (int l = 1; l < kPyramidLevels; ++l) EXPECT_LT(worst[l], 0.1f) << "level " << l;
  b.m[0][0] = FLT_MAX;  // an unset pose gives no epipolar test
  m.ComputeEssentialFromPoses(a, b, m.Essential(), m.Fundamentals());
  EXPECT_EQ(m.Fundamentals().Size(), 0u);
}

TEST(ImageMatching, NineSharedTracksGiveNoEstimateTenTrueOnesGiveTheGeometryAndItsFilter) {
  ImageMatchingScene s;
  ImageMatching& m = s.matching;
  for (u32 t = 0; t < 9; ++t) s.Current().mapMatches[0].push_back(s.TrueMatch(t));
  m.Fundamentals().Resize(4);
  EXPECT_FALSE(m.EstimateImageFundamental(0, 1, m.Essential(), m.Fundamentals()));
  EXPECT_EQ(m.Fundamentals().Size(), 4u);  // untouched
  // Without a map the pass runs without epipolar data; the nine are kept.
  // Without the line test and after the thinning fewer are right, but most.
  m.MatchImages(0, kNone16, 1, kNotTracking);
  EXPECT_EQ(m.Fundamentals().Size(), 0u);
  EXPECT_GE(s.CountCorrect(0) + s.CountCorrect(1), 0.8 * (s.CountVisible(0) + s.CountVisible(1)));
  // Every level-0 track, each tenth moved 8 pixels down, across the lines:
  // an estimate; the moved ones are dropped unless INLIER. The baseline is
  // wider.
  ImageMatchingScene e(WideBaseline());
  TrackerFrame& f = e.Current();
  const u32 level0 = e.unit.view.Records()[0].firstPatch[1];
  ASSERT_GE(level0, 90u);
  std::vector<u32> expected;
  for (u32 t = 0; t < level0; ++t) {
    f.mapMatches[0].push_back(e.TrueMatch(t, t % 10 == 5 ? 8.0f : 0.0f));
    if (t % 10 != 5 || t == 15) expected.push_back(t);
  }
  e.Working().trackFlags[15] = kTrackSolved | kTrackInlier;
  f.unsolvedCount = static_cast<u16>(level0 - 1);
  ImageMatching& n = e.matching;
  ASSERT_TRUE(n.EstimateImageFundamental(0, 1, n.Essential(), n.Fundamentals()));
  ASSERT_EQ(n.Fundamentals().Size(), 4u);
  for (const MapMatch& x : f.mapMatches[0]) {
    const float d =
        LineDistance(n.Fundamentals()[0], e.unit.view.KeyFramePixels()[x.track], x.x, x.y);
    EXPECT_TRUE(x.track % 10 != 5 ? d < 1.0f : d > 4.0f) << "pair " << x.track << " at " << d;
  }
  n.FilterEpipolarInliers(0, 1, n.Essential());
  EXPECT_EQ(Tracks(f), expected);
  EXPECT_EQ(f.unsolvedCount, expected.size() - 1);
}

TEST(ImageMatching, CornersInTheSquareOfAMapMatchAreNeverUsedEvenWithoutEpipolarData) {
  // Tracks of key frame 1 (INLIER) matched where key frame 0's first level-0
  // tracks truly are.
  ImageMatchingScene s;
  const u32 T0 = s.unit.view.Records()[1].firstPatch[0];
  std::vector<MapMatch>& list = s.Current().mapMatches[0];
  for (u32 t = 0; t < 30; ++t) {
    float p[2];
    if (!s.TruePosition(t, 0, p)) continue;
    list.push_back(s.TrueMatch(t));
    list.back().track = T0 + static_cast<u32>(list.size()) - 1;
    s.Working().trackFlags[list.back().track] = kTrackSolved | kTrackInlier;
  }
  ASSERT_GE(list.size(), 10u);
  const std::vector<MapMatch> inliers = list;
  s.matching.MatchImages(kNone16, 0, 1, kNotTracking);  // a ring frame: no epipolar data
  u32 image = 0;
  for (const MapMatch& x : list) {
    if (s.Working().trackFlags[x.track] & kTrackInlier) continue;
    ++image;
    for (const MapMatch& y : inliers)
      EXPECT_FALSE(std::fabs(std::trunc(x.x) - std::trunc(y.x)) <= 12 &&
                   std::fabs(std::trunc(x.y) - std::trunc(y.y)) <= 12)
          << "track " << x.track << " at a corner of track " << y.track;
  }
  EXPECT_GT(image, 50u);
  s.matching.MarkFrame(1);
  EXPECT_EQ(s.matching.Mask(0).Row(u32(inliers[0].y))[u32(inliers[0].x)], 255);
}

TEST(ImageMatching, WithoutAlignedImagesOnlyTheSquaresRunAndInlierMatchesTakeNoPart) {
  for (const bool keyFrames : {false, true}) {
    ImageMatchingScene s;
    s.Working().trackFlags[0] = kTrackSolved | kTrackInlier;
    const auto at = [](u32 t, float x, float y) { return MapMatch{t, t, 0, x, y, x, y, 0, 0, 0}; };
    s.Current().mapMatches[0] = {at(0, 100, 100), at(1, 101, 100), at(2, 113, 103),
                                 at(3, 114, 100), at(4, 200, 50),  at(5, 212, 62)};
    s.Current().mapMatches[3] = {at(6, 20, 20), at(7, 26, 26), at(8, 27, 20)};
    s.Current().unsolvedCount = 8;
    if (keyFrames)  // an empty key-frame list does no more
      s.matching.MatchKeyFrameImages({}, 1, kTracking);
    else
      s.matching.MatchImages(kNone16, kNone16, 1, kTracking);
    // 1 stays beside INLIER 0; 2 is 12 px from 1, 3 is 13; 5 is 12 in both.
    EXPECT_EQ(Tracks(s.Current()), (std::vector<u32>{0, 1, 3, 4, 6, 8}));
    EXPECT_EQ(s.Current().unsolvedCount, 5u);
    EXPECT_EQ(s.Current().hypotheses.Size(), 0u);
  }
}

TEST(ImageMatching, AnSsdOfExactly25600IsRefusedAgainstTheImageMapAndAcceptedUnderHypotheses) {
  for (const bool hypotheses : {false, true}) {
    ImageMatchingScene s;
    MakeFlat(s, {{0, {40, 40}}, {1, {100, 40}}}, {{40, 40}, {100, 40}});
    Block(s.unit.map->keyFrames[0].pyramid[0], 40, 40, 31, 20, 20, -20);   // 25600
    Block(s.unit.map->keyFrames[0].pyramid[0], 100, 40, 32, 20, -28, -4);  // 25599
    if (hypotheses) {
      s.matching.MatchKeyFrameImages({0}, 1, kNotTracking);
    } else {
      s.matching.Fundamentals().Resize(0);
      s.matching.MarkFrame(1);
      s.matching.MatchImagesToKeyFrame(0, 1);
    }
    const std::vector<MapMatch>& list = s.Current().mapMatches[0];
    ASSERT_NE(FindTrack(list, 1), nullptr);
    EXPECT_EQ(FindTrack(list, 1)->ssd, 25599);
    ASSERT_EQ(FindTrack(list, 0) != nullptr, hypotheses);
    if (hypotheses) {
      EXPECT_EQ(FindTrack(list, 0)->ssd, 25600);
    }
    EXPECT_EQ(s.Current().unsolvedCount, hypotheses ? 2u : 1u);
  }
}

// Against a ring frame the search window reaches 5 pixels (and the half
// pixel of rounding) on level 0 and 2.5 on level 1: a textured spot moved 5
// (level 0) or 3 (level 1) pixels is found, one moved 6 or 4 is not.
TEST(ImageMatching, RingFrameSearchesReachFivePixelsOnLevelZeroAndHalfThatOnLevelOne) {
  const int cases[][3] = {{0, 5, 1}, {0, 6, 0}, {1, 3, 1}, {1, 4, 0}};  // level, shift, found
  for (const auto& [level, shift, found] : cases) {
    ImageMatchingScene s;
    TrackerFrame& other = s.unit.ring[0];
    for (int l = 0; l < kPyramidLevels; ++l) other.mapMatches[l].clear();
    for (u8& f : s.Working().trackFlags) f = kTrackSolved;
    s.Working().trackFlags[0] = 0;
    other.mapMatches[level] = {MapMatch{0, 0, 0, 40, 40, 40, 40, 0, 0, 0}};
    other.pyramid[level].fill(100);
    s.Current().pyramid[level].fill(100);
    Block(other.pyramid[level], 40, 40, 31, 20, 20, -20);
    Block(s.Current().pyramid[level], 40 + shift, 40, 31, 20, 20, -20);
    FeatureGrid& g = s.Current().corners[level];
    g.corners.Clear();
    g.corners.PushBack(CornerXY{static_cast<u16>(40 + shift), 40}, 1);
    g.rowStarts.assign(s.Current().pyramid[level].size().y + 1u, 1);
    std::fill(g.rowStarts.begin(), g.rowStarts.begin() + 41, 0);
    SetIdentityMap(s.unit.ring.Map(0));
    s.matching.Fundamentals().Resize(0);
    s.matching.MarkFrame(1);
    EXPECT_EQ(s.matching.MatchImagesToFrame(0, 1), static_cast<u32>(found))
        << level << " " << shift;
  }
}

// A new key frame moved along x from key frame 0: epipolar lines are image
// rows. Under the image map's hypothesis a corner off its feature's row
// by less than the band (4 pixels on level 0, 2 on level 1) matches, one
// off by more does not.
TEST(ImageMatching, UnderHypothesesTheEpipolarBandHalvesPerLevel) {
  const int cases[][3] = {{0, 3, 1}, {0, 5, 0}, {1, 1, 1}, {1, 3, 0}};  // level, rows off, found
  for (const auto& [level, off, found] : cases) {
    ImageMatchingScene s;
    MapWorkingCopy& w = s.Working();
    const KeyFrameRecord& record = s.unit.view.Records()[0];
    FeaturePatch& patch = s.unit.view.Patches()[record.firstPatch[level]];
    const u32 feature = record.featureStart + patch.feature;
    for (u8& f : w.trackFlags) f = kTrackSolved;
    w.trackFlags[w.measurementTracks[feature]] = 0;
    patch.x = 60, patch.y = 40;
    s.unit.view.KeyFramePixels()[feature] = {60.0f, 40.0f};
    CVD::BasicImage<u8>& source = s.unit.map->keyFrames[0].pyramid[level];
    CVD::BasicImage<u8>& image = s.Current().pyramid[level];
    source.fill(100);
    image.fill(100);
    Block(source, 60, 40, 31, 20, 20, -20);
    Block(image, 60, 40 + off, 31, 20, 20, -20);
    for (auto& list : s.Current().mapMatches) list.clear();
    FeatureGrid& g = s.Current().corners[level];
    g.corners.Clear();
    g.corners.PushBack(CornerXY{60, static_cast<u16>(40 + off)}, 1);
    g.rowStarts.assign(image.size().y + 1u, 1);
    std::fill(g.rowStarts.begin(), g.rowStarts.begin() + 41 + off, 0);
    SetIdentityMap(s.unit.view.KeyFrameMaps()[0]);
    const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1}, o[3] = {0, 0, 0};
    const float c[3] = {0.5f, 0, 0};
    w.keyFramePoses[0] = SceneRender::MakePose(r0, r1, r2, o);
    s.Current().pose.slot[kVisual] = SceneRender::MakePose(r0, r1, r2, c);
    s.matching.MatchKeyFrameImages({0}, 1, kTracking);
    EXPECT_EQ(s.Current().mapMatches[level].size(), static_cast<size_t>(found))
        << level << " " << off;
  }
}

TEST(ImageMatching, UnderHypothesesTiesGoToTheLaterAndDisagreeingPredictionsAreNotSearched) {
  // Camera 1 moves forward so that the wall z = 5 zooms by 1.06 about the
  // principal point (160, 120); key frame 0 stays at the origin.
  ImageMatchingScene s;
  MakeFlat(s, {{0, {160, 120}}, {1, {260, 120}}}, {{160, 120}, {260, 120}, {266, 120}});
  const float r0[3] = {1, 0, 0}, r1[3] = {0, 1, 0}, r2[3] = {0, 0, 1};
  const float c[3] = {0, 0, 5.0f - 5.0f / 1.06f};
  s.Current().pose.slot[kVisual] = SceneRender::MakePose(r0, r1, r2, c);
  MapWorkingCopy& w = s.Working();
  w.planes.Resize(2);
  w.planes[0] = {{0, 0, 1, -5}};
  w.planes[1] = {{0, 0, 1, 0}};  // through the key frame's centre: no block
  w.trackPlanes.assign(w.trackFlags.size(), kNone16);
  w.trackPlanes[0] = w.trackPlanes[1] = 0;
  w.trackPlanes[2] = 1;
  s.matching.MatchKeyFrameImages({0}, 1, kTracking);
  const AlignedArray<WarpRecord>& h = s.Current().hypotheses;
  ASSERT_EQ(h.Size(), 2 * kHypothesisBlockSize);  // the image map's and the wall's
  for (const float x : {0.0f, 0.3f, -0.2f}) {     // the wall's: the zoom, normalised
    const float p[2] = {x, 0.5f * x};
    float q[2];
    ApplyHomography(reinterpret_cast<const float(*)[4]>(h[kHypothesisBlockSize].m), p, q);
    EXPECT_NEAR(q[0], 1.06f * p[0], 1e-5f);
    EXPECT_NEAR(q[1], 1.06f * p[1], 1e-5f);
  }
  const std::vector<MapMatch>& list = s.Current().mapMatches[0];
  const std::vector<ImageMatch>& misses = s.Current().misses[0];
  // Track 0: both predictions at (160, 120), SSD 0 under both: the wall's
  // wins and the image map's goes to the misses.
  ASSERT_NE(FindTrack(list, 0), nullptr);
  ASSERT_EQ(misses.size(), 1u);
  EXPECT_EQ(misses[0].track, 0u);
  EXPECT_EQ(misses[0].warp, kHypothesisOffset[0][0]);
  // Track 1: the wall predicts (266, 120), 6 px from the image map's
  // (260, 120): only the image map's is searched. Its wide window (10 px)
  // reaches the corner at 266 too, which ties and, as the later, wins.
  const MapMatch* m1 = FindTrack(list, 1);
  ASSERT_NE(m1, nullptr);
  EXPECT_FLOAT_EQ(m1->px, 260.0f);
  EXPECT_FLOAT_EQ(m1->x, 266.0f);
  EXPECT_EQ(s.Current().unsolvedCount, 2u);
}

TEST(ImageMatching, KeyFrameMatchingUnderTheImageMapAndDetectedPlanesFindsTheTracks) {
  ImageMatchingScene s;
  s.matching.MatchKeyFrameImages({0}, 1, kTracking);
  // Level 0's features lie farther apart than its square; the thinning
  // takes some of the closer-packed upper levels, but what stays is right.
  EXPECT_GE(s.CountCorrect(0), 0.9 * s.CountVisible(0));
  EXPECT_GE(s.CountCorrect(-1), 0.95 * s.Current().MapMatchCount());
  EXPECT_TRUE(TracksUnique(s.Current()));
  EXPECT_EQ(s.Current().unsolvedCount, s.Current().MapMatchCount());
  // Planes among pairs: from the frame's matches without a map, from the
  // INLIER points projected by the frame's pose with one. Either way the
  // wall's homography is found. The camera moves as far up as sideways, so
  // that neither coordinate of a pair stands for the other.
  MatcherSceneOptions diagonal;
  diagonal.shiftY = diagonal.shiftX;
  for (const bool tracking : {false, true}) {
    ImageMatchingScene d(diagonal);
    const u32 level0 = d.unit.view.Records()[0].firstPatch[1];
    for (u32 t = 0; t < level0; ++t)
      if (tracking)
        d.Working().trackFlags[t] = kTrackSolved | kTrackInlier;
      else
        d.Current().mapMatches[0].push_back(d.TrueMatch(t));
    AlignedArray<WarpRecord> h;
    d.matching.DetectPlanes(0, 1, tracking, 0, h);
    ASSERT_EQ(h.Size(), kHypothesisBlockSize) << "tracking " << tracking;
    u32 wall = 0;
    for (u32 t = 0; t < level0; ++t) {
      if (d.scene.truePoint[t].v[2] != MatcherScene::kWallDepth) continue;
      const MapMatch truth = d.TrueMatch(t);
      const LA::Vector2<float>& k = d.unit.view.KeyFrameNormalized()[t];
      float q[2];
      ApplyHomography(reinterpret_cast<const float(*)[4]>(h[0].m), &k.x, q);
      EXPECT_LT(std::hypot(q[0] - truth.nx, q[1] - truth.ny) * 256.0f, 1.0f);
      ++wall;
    }
    EXPECT_GE(wall, 40u);
    // The wall's block now explains its pairs: a second pass finds no plane.
    d.matching.DetectPlanes(0, 1, tracking, 0, h);
    EXPECT_EQ(h.Size(), kHypothesisBlockSize) << "tracking " << tracking;
  }
}

TEST(ImageMatching, SingularOrUnsetImageMapsGiveNoPassAndNoHypothesis) {
  const WarpRecord maps[3] = {{{1, 2, 0, 0, 2, 4, 0, 0, 0, 0, 1, 0}},         // projective
                              {{1, 2, 0, 0, 2, 4, 0, 0, FLT_MAX, 0, 1, 0}},   // affine
                              {{FLT_MAX, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}}};  // unset
  for (const WarpRecord& map : maps) {
    ImageMatchingScene s;
    s.unit.ring.Map(0) = s.unit.view.KeyFrameMaps()[0] = map;
    s.matching.MarkFrame(1);
    EXPECT_EQ(s.matching.MatchImagesToFrame(0, 1), 0u);
    EXPECT_EQ(s.matching.MatchImagesToKeyFrame(0, 1), 0u);
    // Without a map there are no planes either: the tracks are tried and
    // nothing is matched or missed.
    s.matching.MatchKeyFrameImages({0}, 1, kNotTracking);
    EXPECT_EQ(s.Current().hypotheses.Size(), 0u);
    EXPECT_EQ(s.Current().MapMatchCount(), 0u);
    EXPECT_TRUE(s.Current().misses[0].empty());
  }
}

TEST(ImageMatching, AMatchTheEpipolarTestDropsIsSearchedAgainstTheKeyFrame) {
  // Off the aligned image pair's lines, each tenth level-0 track matched 40
  // pixels down: the test drops it, and the key frame's own search may then
  // find it where it is.
  ImageMatchingScene e(WideBaseline());
  TrackerFrame& f = e.Current();
  const u32 level0 = e.unit.view.Records()[0].firstPatch[1];
  std::vector<u32> moved;
  for (u32 t = 0; t < level0; ++t) {
    f.mapMatches[0].push_back(e.TrueMatch(t, t % 10 == 5 ? 40.0f : 0.0f));
    if (t % 10 == 5) moved.push_back(t);
  }
  f.unsolvedCount = static_cast<u16>(level0);
  e.matching.MatchImages(0, kNone16, 1, kNotTracking);
  u32 found = 0, visible = 0;
  for (const u32 t : moved) {
    float p[2];
    if (!e.TruePosition(t, 0, p)) continue;
    ++visible;
    const MapMatch* m = FindTrack(f.mapMatches[0], t);
    found += m != nullptr && std::hypot(m->x - p[0], m->y - p[1]) <= 1.0f;
  }
  EXPECT_GE(visible, 5u);
  EXPECT_GE(3 * found, 2 * visible);  // 8 of 9 here; none if a dropped track stays taken
  EXPECT_TRUE(TracksUnique(f));
}
