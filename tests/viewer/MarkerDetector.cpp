// The marker detector on rendered sheet sequences: the 20-frame rule and its
// restart, template capture and reload, hostile blobs, alignment from
// perturbed starts, corners on the sheet edges with and without a template,
// degenerate input (a clear false, no NaN), the debug
// window's keys, clicks and view; and the alignment's Jacobians and samplers
// against finite differences and known answers; the four-wide kernels
// against sample-by-sample sums, with every tail of a template level.
#include "viewer/MarkerDetector.h"

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "la/Homography.h"
#include "optimization/IMUParameters.h"
#include "tests/common/MarkerScene.h"
#include "viewer/MarkerAlignment.h"

namespace {

constexpr int kFrames = 5;

// Seeded jittered frames of the sheet, cycled by RunSequence, and a frame
// of the floor alone.
struct Frames {
  MarkerScene scene;
  CameraPose poses[kFrames];
  CVD::Image<unsigned char> frames[kFrames], floorOnly;
  Frames() {
    scene.JitteredFrames(21, kFrames, poses, frames);
    MarkerScene empty;
    empty.planes.resize(1);  // the sheet taken away
    floorOnly = empty.Render(poses[0]);
  }
};
const Frames& F() {
  static const Frames frames;
  return frames;
}

// Runs frames first .. first + count - 1 (cycled); returns the number of
// true results and checks every reported corner against the truth.
int RunSequence(MarkerDetector& detector, int first, int count) {
  int reported = 0;
  for (int i = first; i < first + count; ++i) {
    const int f = i % kFrames;
    float out[8], truth[8];
    if (!detector.Run(F().frames[f], F().poses[f], out)) continue;
    ++reported;
    F().scene.TrueCorners(F().poses[f], truth);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(out[k], truth[k], 1.0f) << "frame " << i;
  }
  return reported;
}

// Blob of four level sections with the given word counts and zero records.
std::vector<int32_t> Blob(const std::vector<int32_t>& counts) {
  std::vector<int32_t> blob;
  for (int32_t n : counts) {
    blob.push_back(n);
    blob.insert(blob.end(), static_cast<size_t>(std::max(n, 0)), 0);
  }
  return blob;
}

void DoubleClick(EventHandler<Viewer>& h, float x, float y, int button) {
  const CVD::ImageRef p(static_cast<int>(x + 0.5f), static_cast<int>(y + 0.5f));
  for (int i = 0; i < 4; ++i) (i % 2 ? h.MouseUp(p, button) : h.MouseDown(p, button));
}

}  // namespace

TEST(MarkerDetector, ReportsAfterTwentyAgreeingFramesAndRestartsWithoutTheSheet) {
  MarkerDetector detector(640, 480, &F().scene.K, nullptr, 0, nullptr);
  EXPECT_EQ(RunSequence(detector, 0, 19), 0);
  EXPECT_EQ(RunSequence(detector, 19, 3), 3);
  // Sorted candidates, the best first.
  ASSERT_GT(detector.candidates.Size(), 0u);
  EXPECT_TRUE(std::is_sorted(detector.candidates.begin(), detector.candidates.end(),
                             [](auto& a, auto& b) { return a.energy < b.energy; }));

  // Without the sheet (and for a blank frame) no hypothesis is accepted.
  float out[8];
  EXPECT_FALSE(detector.Run(F().floorOnly, F().poses[0], out));
  EXPECT_EQ(detector.records.Size(), 0u);
  EXPECT_FALSE(detector.Run(CVD::Image<unsigned char>(F().frames[0].size(), 0), F().poses[0], out));
  EXPECT_EQ(RunSequence(detector, 0, 19), 0);
  EXPECT_EQ(RunSequence(detector, 19, 1), 1);
  detector.Reset();
  EXPECT_EQ(RunSequence(detector, 0, 19), 0);
}

TEST(MarkerDetector, CapturedTemplateReloadsOnTheCurrentPlaneAndHostileBlobsLoadNothing) {
  std::vector<int32_t> blob;
  {
    MarkerDetector capture(640, 480, &F().scene.K, nullptr, 0, &blob);
    EXPECT_EQ(RunSequence(capture, 0, 20), 1);
  }
  // Sections: a word count (a multiple of 8), then the records; the blob ends exactly.
  // Z of every record, moved here, is re-placed on the current plane.
  std::vector<int32_t> moved = blob;
  size_t at = 0, starts[4];
  u32 counts[4];
  const float z = 5.0f;
  for (int l = 0; l < 4; at += 1 + static_cast<size_t>(blob[at]), ++l) {
    ASSERT_TRUE(at < blob.size() && blob[at] % 8 == 0);
    counts[l] = static_cast<u32>(blob[at] / 8), starts[l] = at + 1;
    for (u32 r = 0; r < counts[l]; ++r) std::memcpy(&moved[starts[l] + 8 * r + 2], &z, 4);
  }
  EXPECT_EQ(at, blob.size());
  EXPECT_GT(counts[0], 100u);
  MarkerDetector withTemplate(640, 480, &F().scene.K, moved.data(), moved.size() * 4, nullptr);
  ASSERT_TRUE(withTemplate.templateLoaded);
  for (int l = 0; l < 4; ++l) {
    ASSERT_EQ(withTemplate.templateLevels[l].Size(), counts[l]);
    for (u32 r = 0; r < counts[l]; ++r) {
      MarkerTemplateRecord original;
      std::memcpy(&original, &blob[starts[l] + 8 * r], sizeof(original));
      original.Z = IMU_INITIAL_HEIGHT;
      ASSERT_EQ(std::memcmp(&original, &withTemplate.templateLevels[l][r], sizeof(original)), 0);
    }
  }
  EXPECT_EQ(RunSequence(withTemplate, 0, 21), 2);

  // Negative, not a multiple of 8, past the blob, cut short, and a host
  // blob of unknown size with a bad count.
  MarkerDetector detector(640, 480, &F().scene.K, nullptr, 0, nullptr);
  const std::vector<int32_t> empty = Blob({0, 0, 0, 0}), good = Blob({16, 8, 0, 8});
  const std::vector<std::vector<int32_t>> hostile = {
      Blob({-8, 0, 0, 0}), Blob({12, 0, 0, 0}), {8 * 1000000, 0, 0, 0}, {16, 0}};
  for (const auto& bad : hostile) {
    EXPECT_FALSE(detector.LoadTemplate(bad.data(), bad.size() * 4));
    EXPECT_FALSE(detector.templateLoaded);
    for (const auto& level : detector.templateLevels) EXPECT_EQ(level.Size(), 0u);
  }
  EXPECT_FALSE(detector.LoadTemplate(good.data(), good.size() * 4 - 4));
  EXPECT_FALSE(detector.LoadTemplate(hostile[0].data(), MarkerDetector::kUnknownSize));
  EXPECT_TRUE(detector.LoadTemplate(good.data(), good.size() * 4));
  EXPECT_EQ(detector.templateLevels[0].Size(), 2u);

  // Loaded but empty levels give no evidence: no detection, no NaN.
  MarkerDetector emptyTemplate(640, 480, &F().scene.K, empty.data(), empty.size() * 4, nullptr);
  float out[8];
  EXPECT_FALSE(emptyTemplate.Run(F().frames[0], F().poses[0], out));
  EXPECT_EQ(emptyTemplate.candidates.Size(), 0u);
}

TEST(MarkerDetector, AlignmentConvergesFromPerturbedStartsAndRejectsStartsOutside) {
  MarkerDetector detector(640, 480, &F().scene.K, nullptr, 0, nullptr);
  const CameraPose straight = F().scene.Camera();
  float out[8], truth[8];
  detector.Run(F().scene.Render(straight), straight, out);  // builds the pyramid
  // The camera is straight above the sheet centre: the identity is the truth.
  std::memcpy(truth, detector.expectedCorners, sizeof(truth));
  const float h = IMU_INITIAL_HEIGHT, pixel = h / F().scene.K.fx[0];
  // Turn (degrees), shift (pixels), height change (of the height).
  const float starts[][4] = {{3, 0, 0, 0},    {-3, 0, 0, 0},    {0, 10, 0, 0},     {0, -10, 10, 0},
                             {0, 0, 0, 0.1f}, {0, 0, 0, -0.1f}, {3, 10, -10, 0.1f}};
  for (const auto& s : starts) {
    const float a = s[0] * 0.017453292f;
    CameraPose pose{};
    pose.m[0][0] = pose.m[1][1] = std::cos(a), pose.m[2][2] = 1.0f;
    pose.m[0][1] = std::sin(a), pose.m[1][0] = -std::sin(a);
    pose.m[0][3] = s[1] * pixel, pose.m[1][3] = s[2] * pixel, pose.m[2][3] = s[3] * h;
    float corners[8], e = FLT_MAX;
    for (int l = 3; l >= 0; --l) e = detector.AlignHypothesis(l, pose, corners);
    EXPECT_LT(e, 500.0f);
    EXPECT_LT(MeanCornerDistance(corners, truth), 1.0f) << s[0] << " " << s[1] << " " << s[3];
  }
  // The search starts turned by -6, 0 and +6 degrees.
  ASSERT_EQ(detector.hypotheses.Size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const CameraPose& p = detector.hypotheses[i];
    EXPECT_NEAR(std::atan2(p.m[0][1], p.m[0][0]), 0.10471976f * (i - 1), 1e-6f) << i;
  }
  // A start whose corners leave the level: FLT_MAX, pose untouched.
  CameraPose outside = detector.hypotheses[1];
  outside.m[0][3] = 1.0f;
  const CameraPose before = outside;
  EXPECT_EQ(detector.AlignHypothesis(0, outside, out), FLT_MAX);
  EXPECT_EQ(std::memcmp(&before, &outside, sizeof(before)), 0);
}

// The floor scene turned by Q (floor up becomes -x) puts the sheet on the
// wall x = 0 and the camera 1.1 m in front of it, looking along +x: the same
// frames, a prior R Q^T whose optical axis is near horizontal. The
// rectification of the wall is that of the floor turned, also for a camera
// tilted both ways, turned and aimed at the sheet (the virtual camera then
// stands well off the real one), and the sheet is found.
TEST(MarkerDetector, FindsASheetOnAWallFromACameraTiltedPastFortyFiveDegrees) {
  const float Q[3][3] = {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}};
  const auto onWall = [&](const CameraPose& floor) {
    CameraPose wall = floor;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        wall.m[i][j] = floor.m[i][0] * Q[j][0] + floor.m[i][1] * Q[j][1] + floor.m[i][2] * Q[j][2];
    return wall;
  };
  const MarkerScene& scene = F().scene;
  const CameraPose aim = MarkerScene::LookDown(0, 0, 0, 0.2f, -0.25f, 0.3f);
  const float* axis = aim.m[2];
  const float s = -scene.height / axis[2];
  const CameraPose tilted =
      MarkerScene::LookDown(-s * axis[0], -s * axis[1], scene.height, 0.2f, -0.25f, 0.3f);
  struct Sequence {
    const CameraPose* poses;
    const CVD::Image<unsigned char>* frames;
    int count;
  };
  const CVD::Image<unsigned char> tiltedFrame = scene.Render(tilted);
  for (const Sequence& q :
       {Sequence{F().poses, F().frames, kFrames}, Sequence{&tilted, &tiltedFrame, 1}}) {
    MarkerDetector floor(640, 480, &scene.K, nullptr, 0, nullptr),
        detector(640, 480, &scene.K, nullptr, 0, nullptr);
    ASSERT_LT(std::fabs(onWall(q.poses[0]).m[2][2]), 0.5f);
    ASSERT_TRUE(floor.RectifyFrame(q.frames[0], q.poses[0]));
    ASSERT_TRUE(detector.RectifyFrame(q.frames[0], onWall(q.poses[0])));
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(detector.homography[i][j], floor.homography[i][j],
                    1e-4f * std::fabs(floor.homography[i][j]) + 1e-6f);
    int reported = 0;
    for (int i = 0; i < 22; ++i) {
      float out[8], truth[8];
      const int f = i % q.count;
      if (!detector.Run(q.frames[f], onWall(q.poses[f]), out)) continue;
      ++reported;
      scene.TrueCorners(q.poses[f], truth);
      EXPECT_LT(MeanCornerDistance(out, truth), 1.0f) << i;
    }
    EXPECT_EQ(reported, 3) << q.count;
  }
}

// A sheet whose sides are whole centimetres has edge samples symmetric about
// its centre, and a centred camera sees each edge's map symmetric along the
// edge: the left edge's top to bottom, the bottom edge's left to right.
TEST(MarkerDetector, EdgeMapsOfASymmetricSheetAreSymmetricAlongTheEdge) {
  const float W = IMU_MARKER_WIDTH, H = IMU_MARKER_HEIGHT;
  IMU_MARKER_WIDTH = 0.3f, IMU_MARKER_HEIGHT = 0.2f;
  const MarkerDetector d(640, 480, &F().scene.K, nullptr, 0, nullptr);
  IMU_MARKER_WIDTH = W, IMU_MARKER_HEIGHT = H;
  // The crop is centred before its width rounds up to a multiple of 4.
  const int w = 640 - 2 * d.firstColumn, h = d.rectifiedHeight;
  ASSERT_TRUE(w <= d.rectifiedWidth && h == 480 - 2 * d.firstRow);
  float largest = 0.0f;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      largest = std::max(largest, d.edgeMaps[2][y][x]);
      ASSERT_NEAR(d.edgeMaps[2][y][x], d.edgeMaps[2][h - 1 - y][x], 1e-4f) << x << ", " << y;
      ASSERT_NEAR(d.edgeMaps[0][y][x], d.edgeMaps[0][y][w - 1 - x], 1e-4f) << x << ", " << y;
    }
  EXPECT_GT(largest, 0.9f);

  // A sheet of size 0 has one edge sample, straight below the camera, whose
  // image spread is the tilt's ((5/3 degrees)^2) and the pixel noise's:
  // S = diag(f^2 tilt + 10000 / (9 h^2)) for each focal length f.
  IMU_MARKER_WIDTH = IMU_MARKER_HEIGHT = 0.0f;
  const Intrinsic K = SceneRender::MakeIntrinsic(500.0f, 400.0f, 320.0f, 240.0f);
  const MarkerDetector point(640, 480, &K, nullptr, 0, nullptr);
  IMU_MARKER_WIDTH = W, IMU_MARKER_HEIGHT = H;
  const double tilt = 0.00084615947, noise = 10000.0 / (9.0 * 1.1 * 1.1);
  const double sx = 500.0 * 500.0 * tilt + noise, sy = 400.0 * 400.0 * tilt + noise;
  const int offsets[][2] = {{0, 0}, {20, 0}, {0, 20}, {15, -10}, {-25, 5}};
  for (const auto& o : offsets) {
    const double q = o[0] * o[0] / sx + o[1] * o[1] / sy;
    const int x = 320 + o[0] - point.firstColumn, y = 240 + o[1] - point.firstRow;
    ASSERT_TRUE(x >= 0 && y >= 0 && x < point.rectifiedWidth && y < point.rectifiedHeight);
    EXPECT_NEAR(point.edgeMaps[0][y][x], std::exp(-0.5 * q), 1e-5) << o[0] << ", " << o[1];
  }
  // The prior's inverse variances: the centre within 100 / (3 f) a side and
  // 1/6 in height, the tilts and the turn as above.
  const float weights[6] = {225.0f,          144.0f,          36.0f,
                            float(1 / tilt), float(1 / tilt), float(1 / 0.030461742)};
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(point.priorWeights[i], weights[i]) << i;
}

// Off the axes the bottom edge's samples carry the turn's coupling of x and
// y. Each sample's covariance, built here from the prior's own model: the
// point (X, Y, h) under the camera turned by t, tilted by a about x and b
// about y and raised by d moves by (-Y t + h b, X t - h a, -X b + Y a + d),
// with the variances of those four, plus the pixel noise the size-0 sheet
// above shows; its image spread is J C J^T.
TEST(MarkerDetector, EdgeMapsFollowTheCovarianceOfThePrior) {
  const float W = IMU_MARKER_WIDTH, H = IMU_MARKER_HEIGHT;
  IMU_MARKER_WIDTH = 0.4f, IMU_MARKER_HEIGHT = 0.3f;
  const Intrinsic K = SceneRender::MakeIntrinsic(500.0f, 400.0f, 320.0f, 240.0f);
  const MarkerDetector d(640, 480, &K, nullptr, 0, nullptr);
  const double h = IMU_INITIAL_HEIGHT, Y = -0.5 * IMU_MARKER_HEIGHT;
  const int count = static_cast<int>(IMU_MARKER_WIDTH / 0.01f);
  std::vector<std::array<double, 5>> samples;  // u, v and the inverse spread
  for (int i = 0; i <= count; ++i) {
    const double X = static_cast<double>(-IMU_MARKER_WIDTH / 2 + 0.01f * i);
    const double turn = 0.030461742, tilt = 0.00084615947, height = 1.0 / 36.0;
    const double G[3][4] = {{-Y, 0, h, 0}, {X, -h, 0, 0}, {0, Y, -X, 1}};
    const double var[4] = {turn, tilt, tilt, height};
    double C[3][3];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) {
        C[r][c] = 0.0;
        for (int k = 0; k < 4; ++k) C[r][c] += G[r][k] * var[k] * G[c][k];
      }
    C[0][0] += 10000.0 / (9.0 * 500.0 * 500.0);
    C[1][1] += 10000.0 / (9.0 * 400.0 * 400.0);
    const double J[2][3] = {{500.0 / h, 0, -500.0 * X / (h * h)},
                            {0, 400.0 / h, -400.0 * Y / (h * h)}};
    double S[2][2];
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 2; ++c) {
        S[r][c] = 0.0;
        for (int a = 0; a < 3; ++a)
          for (int b = 0; b < 3; ++b) S[r][c] += J[r][a] * C[a][b] * J[c][b];
      }
    const double det = S[0][0] * S[1][1] - S[0][1] * S[1][0];
    samples.push_back({500.0 * X / h + 320.0, 400.0 * Y / h + 240.0, S[1][1] / det, -S[0][1] / det,
                       S[0][0] / det});
  }
  IMU_MARKER_WIDTH = W, IMU_MARKER_HEIGHT = H;
  // Past the edge's right end, where x and y couple the most, at one to
  // three of its spreads: values from 0.1 to 0.9.
  const std::array<double, 5>& end = samples.back();
  for (const auto& o : {std::pair{40, 40}, {60, 60}, {-60, 80}, {0, 100}, {100, 0}}) {
    const double x = std::round(end[0]) + o.first, y = std::round(end[1]) + o.second;
    double keep = 1.0;
    for (const auto& s : samples) {
      const double dx = x - s[0], dy = y - s[1];
      const double q = s[2] * dx * dx + 2.0 * s[3] * dx * dy + s[4] * dy * dy;
      if (q < 60.0) keep *= 1.0 - std::exp(-0.5 * q);
    }
    const int cx = static_cast<int>(x) - d.firstColumn, cy = static_cast<int>(y) - d.firstRow;
    ASSERT_TRUE(cx >= 0 && cy >= 0 && cx < d.rectifiedWidth && cy < d.rectifiedHeight);
    EXPECT_NEAR(d.edgeMaps[0][cy][cx], 1.0 - keep, 1e-4) << o.first << ", " << o.second;
  }
}

// Template pixels and gradients reach the last row with both neighbours
// below it in the level (height - 3), not the rows after.
TEST(MarkerDetector, TemplatePixelsAndGradientsReachTheBottomRow) {
  CVD::Image<float> level(CVD::ImageRef(9, 8), 0.0f);
  level[5][4] = 1.0f;  // row height - 3
  // The pixels a single bright one gives, (x, y, |L|) in row-major order.
  const auto expectPixels = [&](const std::vector<LaplacianPixel>& expected) {
    std::vector<LaplacianPixel> pixels;
    MarkerDetector::SelectLaplacianPixels(level, pixels);
    ASSERT_EQ(pixels.size(), expected.size());
    for (size_t i = 0; i < pixels.size(); ++i)
      EXPECT_TRUE(pixels[i].x == expected[i].x && pixels[i].y == expected[i].y &&
                  pixels[i].laplacian == expected[i].laplacian)
          << i;
  };
  // The bright pixel (|L| 4) and its neighbours above, left and right (1);
  // the one below is on row height - 2.
  expectPixels({{4, 4, 1.0f}, {3, 5, 1.0f}, {4, 5, 4.0f}, {5, 5, 1.0f}});
  // Higher up, the one below it is met too: every neighbour counts once.
  level[5][4] = 0.0f;
  level[2][4] = 1.0f;
  expectPixels({{4, 1, 1.0f}, {3, 2, 1.0f}, {4, 2, 4.0f}, {5, 2, 1.0f}, {4, 3, 1.0f}});
  level[2][4] = 0.0f;
  level[5][4] = 1.0f;
  CVD::Image<LA::Vector2<float>> g(level.size(), LA::Vector2<float>{-9.0f, -9.0f});
  MarkerDetector::ComputeGradients(level, g);
  // Sobel / 4 about the bright pixel: 0.5 straight across, 0.25 diagonally.
  EXPECT_FLOAT_EQ(g[5][3].x, 0.5f);
  EXPECT_FLOAT_EQ(g[5][5].x, -0.5f);
  EXPECT_FLOAT_EQ(g[4][4].y, 0.5f);
  EXPECT_FLOAT_EQ(g[4][3].y, 0.25f);
  EXPECT_FLOAT_EQ(g[5][4].x, 0.0f);
  EXPECT_EQ(g[6][4].y, -9.0f);  // height - 2: not computed
  // A ramp across x, 3 per column: Sobel / 4 gives twice the slope across
  // everywhere, nothing down.
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 9; ++x) level[y][x] = 3.0f * x;
  MarkerDetector::ComputeGradients(level, g);
  for (int y = 1; y <= 5; ++y)
    for (int x = 1; x <= 7; ++x) {
      EXPECT_FLOAT_EQ(g[y][x].x, 6.0f) << x << ", " << y;
      EXPECT_FLOAT_EQ(g[y][x].y, 0.0f) << x << ", " << y;
    }
}

TEST(MarkerDetector, DegenerateInputGivesFalseWithoutNaN) {
  MarkerDetector detector(640, 480, &F().scene.K, nullptr, 0, nullptr);
  const CVD::Image<unsigned char>& frame = F().frames[0];
  const CameraPose& pose = F().poses[0];
  float out[8];
  // A pure pitch with |r22| = 0.70710677: the rectification divisor is 0.
  const float c = 0.70710677f;
  const float r0[3] = {1, 0, 0}, r1[3] = {0, -c, -c}, r2[3] = {0, c, -c}, centre[3] = {0, 0, 1.1f};
  const CameraPose pitched = SceneRender::MakePose(r0, r1, r2, centre);
  EXPECT_FALSE(detector.RectifyFrame(frame, pitched));
  EXPECT_FALSE(detector.Run(frame, pitched, out));
  // A prior full of NaN.
  CameraPose nanPose = pose;
  nanPose.m[0][0] = NAN;
  EXPECT_FALSE(detector.Run(frame, nanPose, out));

  // A sheet of size 0: coincident corners.
  const float W = IMU_MARKER_WIDTH, H = IMU_MARKER_HEIGHT;
  IMU_MARKER_WIDTH = IMU_MARKER_HEIGHT = 0.0f;
  {
    MarkerDetector point(640, 480, &F().scene.K, nullptr, 0, nullptr);
    EXPECT_FALSE(point.Run(frame, pose, out));
    for (u32 i = 0; i < point.candidates.Size(); ++i)
      EXPECT_TRUE(std::isfinite(point.candidates[i].energy));
  }
  IMU_MARKER_WIDTH = W, IMU_MARKER_HEIGHT = H;

  // Frames far too small for the pyramid.
  const Intrinsic tinyK = SceneRender::MakeIntrinsic(5.0f, 5.0f, 3.5f, 2.5f);
  MarkerDetector tiny(8, 6, &tinyK, nullptr, 0, nullptr);
  EXPECT_FALSE(tiny.Run(CVD::Image<unsigned char>(CVD::ImageRef(8, 6), 128), pose, out));

  // A crop whose rounded-up width reaches past the frame (first column 1).
  const Intrinsic shifted = SceneRender::MakeIntrinsic(500.0f, 500.0f, 167.0f, 239.5f);
  MarkerDetector wide(640, 480, &shifted, nullptr, 0, nullptr);
  EXPECT_EQ(wide.firstColumn, 1);
  EXPECT_EQ(wide.rectifiedWidth, 640);
  for (int y = 0; y < wide.rectifiedHeight; ++y) EXPECT_EQ(wide.edgeMaps[0][y][639], 0.0f);
  wide.Run(frame, pose, out);
}

TEST(MarkerDetectorWindow, RightDoubleClicksCaptureOnlyWithTemplateOutput) {
  const CameraPose pose = F().scene.Camera();
  const CVD::Image<unsigned char> frame = F().scene.Render(pose);
  std::vector<int32_t> blob;
  for (std::vector<int32_t>* out : {static_cast<std::vector<int32_t>*>(nullptr), &blob}) {
    MarkerDetector d(640, 480, &F().scene.K, nullptr, 0, out);
    d.ConnectEvents();
    d.OnResize(CVD::ImageRef(d.rectifiedWidth, d.rectifiedHeight));  // one pixel per pixel
    // No candidates yet: ',' shows none and stays there, '.' wraps back.
    d.OnKeyDown(',');
    d.OnKeyDown(',');
    EXPECT_EQ(d.shownCandidate, kNone32);
    d.OnKeyDown('.');
    EXPECT_EQ(d.shownCandidate, 0u);
    float result[8];
    d.OnKeyDown(',');  // from 0 to none: a run shows its best candidate again
    d.Run(frame, pose, result);
    EXPECT_EQ(d.shownCandidate, 0u);
    // A left double click discards the clicks so far.
    DoubleClick(d.handler, 10, 10, 4);
    DoubleClick(d.handler, 20, 20, 4);
    EXPECT_EQ(d.clickCount, 2);
    DoubleClick(d.handler, 30, 30, 1);
    EXPECT_EQ(d.clickCount, 0);
    // The four corners in model-corner order.
    for (int k = 0; k < 4; ++k)
      DoubleClick(d.handler, d.expectedCorners[2 * k], d.expectedCorners[2 * k + 1], 4);
    EXPECT_EQ(d.clickCount, 0);
  }
  // Capture ran once, from a pose close to the identity: level 0 has records.
  ASSERT_FALSE(blob.empty());
  EXPECT_GT(blob[0], 8 * 100);
  // Its records lie on the sheet (on its plane, inside its margin) and read
  // the print where they lie (model y is world -y; the level is smoothed,
  // so the print's 225 grey levels of ink are met to a tenth); reloaded, the
  // template finds the sheet.
  const MarkerScene& scene = F().scene;
  const float texelsPerMetre = scene.sheetTexture.size().x / scene.sheetWidth;
  double misread = 0;
  for (int r = 0; r < blob[0] / 8; ++r) {
    MarkerTemplateRecord record;
    std::memcpy(&record, &blob[1 + 8 * r], sizeof(record));
    ASSERT_LE(std::fabs(record.X), 0.5f * scene.sheetWidth - 0.03f + 1e-6f);
    ASSERT_LE(std::fabs(record.Y), 0.5f * scene.sheetHeight - 0.03f + 1e-6f);
    ASSERT_NEAR(record.Z, IMU_INITIAL_HEIGHT, 1e-5f);
    const float u = (record.X + 0.5f * scene.sheetWidth) * texelsPerMetre,
                v = (0.5f * scene.sheetHeight - record.Y) * texelsPerMetre;
    misread += std::fabs(record.intensity -
                         SceneRender::SampleBilinear(scene.sheetTexture, u, v) / 255.0f);
  }
  EXPECT_LT(misread / (blob[0] / 8), 0.1);
  MarkerDetector reloaded(640, 480, &scene.K, blob.data(), blob.size() * 4, nullptr);
  ASSERT_TRUE(reloaded.templateLoaded);
  EXPECT_EQ(RunSequence(reloaded, 0, 20), 1);
}

TEST(MarkerDetectorWindow, DebugViewOfARenderedSheet) {
  const MarkerScene& scene = F().scene;
  MarkerDetector d(640, 480, &scene.K, nullptr, 0, nullptr, true);
  float out[8];
  if (!d.HasWindow()) {
    // Without a display nothing draws and a paused detector never waits.
    EXPECT_FALSE(d.Run(scene.Render(scene.Camera()), scene.Camera(), out));
    GTEST_SKIP() << "no X display";
  }
  EXPECT_TRUE(d.paused);
  d.paused = 0;  // no one presses keys here
  // An empty candidate list past its end draws nothing and does not fail.
  d.shownCandidate = 5;
  d.DrawScene();
  d.shownCandidate = 0;
  bool reported = false;
  for (int i = 0; i < 20; ++i) {
    const CameraPose pose = scene.Camera(0.002f * (i % 3), 0, 0, 0, 0, 0.002f * (i % 2));
    reported = d.Run(scene.Render(pose), pose, out);
  }
  ASSERT_TRUE(reported);
  d.MakeCurrent();
  d.DrawScene();
  glFinish();
  std::vector<unsigned char> rgb(640 * 480 * 3);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, 640, 480, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  int red = 0, green = 0;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    red += rgb[i] == 255 && rgb[i + 1] == 0 && rgb[i + 2] == 0;
    green += rgb[i] == 0 && rgb[i + 1] == 255 && rgb[i + 2] == 0;
  }
  EXPECT_GT(red, 200);    // the expected outline
  EXPECT_GT(green, 200);  // the best candidate and the status line
}

// The corner projection and the edge frame (direction d, normal offset m) of
// the edge from A to B.
TEST(MarkerAlignment, JacobiansMatchFiniteDifferencesAndSamplesStayInsideTheImage) {
  const Intrinsic K = SceneRender::MakeIntrinsic(480.0f, 470.0f, 160.0f, 120.0f);
  const CameraPose pose = MarkerScene::LookDown(0.05f, -0.1f, 1.2f, 0.15f, -0.1f, 0.2f);
  const float A[3] = {-0.15f, -0.1f, 0}, B[3] = {0.15f, -0.1f, 0}, c[2] = {K.cx[0], K.cy[0]};
  float XA[3], XB[3], a[2], b[2], Ja[2][6], Jb[2][6], d[2], m[2], Jd[2][6], Jm[2][6];
  SceneRender::ToCamera(pose, A, XA);
  SceneRender::ToCamera(pose, B, XB);
  ProjectWithPoseJacobian(XA, K, a, Ja);
  ProjectWithPoseJacobian(XB, K, b, Jb);
  ASSERT_TRUE(ComputeEdgeFrameWithJacobian(a, b, c, Ja, Jb, d, m, Jd, Jm));
  EXPECT_NEAR(d[0] * d[0] + d[1] * d[1], 1.0f, 1e-6f);
  EXPECT_NEAR(m[0] * d[0] + m[1] * d[1], 0.0f, 1e-6f);
  // d, m and the pixel of A once the pose moved by eps along parameter k.
  const auto frame = [&](int k, float eps, float out[6]) {
    float delta[6] = {0, 0, 0, 0, 0, 0}, pixelB[2];
    delta[k] = eps;
    CameraPose moved = pose;
    ApplyPoseIncrement(delta, moved);
    SceneRender::ProjectPoint(moved, K, A, out + 4);
    SceneRender::ProjectPoint(moved, K, B, pixelB);
    EXPECT_TRUE(ComputeEdgeFrame(out + 4, pixelB, c, out, out + 2));
  };
  for (int k = 0; k < 6; ++k) {
    float plus[6], minus[6], fd[6];
    frame(k, 1e-3f, plus);
    frame(k, -1e-3f, minus);
    for (int i = 0; i < 6; ++i) fd[i] = (plus[i] - minus[i]) / 2e-3f;
    for (int i = 0; i < 2; ++i) {
      EXPECT_NEAR(Ja[i][k], fd[4 + i], 0.01f * (1.0f + std::fabs(fd[4 + i]))) << i << k;
      EXPECT_NEAR(Jd[i][k], fd[i], 2e-3f + 0.01f * std::fabs(fd[i])) << i << k;
      EXPECT_NEAR(Jm[i][k], fd[2 + i], 2e-3f + 0.01f * std::fabs(fd[2 + i])) << i << k;
    }
  }
  // Coincident corners have no frame.
  EXPECT_FALSE(ComputeEdgeFrameWithJacobian(a, a, c, Ja, Ja, d, m, Jd, Jm));

  // Bilinear samples at and past the image border.
  CVD::Image<float> image(CVD::ImageRef(4, 3), 0.0f);
  CVD::Image<LA::Vector2<float>> gradients(CVD::ImageRef(4, 3), LA::Vector2<float>{1.0f, 2.0f});
  image[1][1] = 1.0f;
  EXPECT_FLOAT_EQ(SampleBilinear(image, 1.5f, 1.0f), 0.5f);
  float g[2];
  EXPECT_FLOAT_EQ(SampleBilinearWithGradient(image, gradients, 0.5f, 0.5f, g), 0.25f);
  EXPECT_FLOAT_EQ(g[1], 2.0f);
  for (float x : {-0.5f, 3.0f, NAN, 1e30f}) EXPECT_EQ(SampleBilinear(image, x, 1.0f), 0.0f);
}

namespace {

// Outward corner error of reported detections over a jittered sequence: the
// mean component along centre-to-corner, the RMS distance and the ratio of
// the found diagonals to the true ones (the sheet's scale).
struct CornerErrors {
  double outward = 0, squared = 0, diagonalRatio = 0;
  int corners = 0;
  void Add(const float found[8], const float truth[8]) {
    float centre[2] = {0, 0};
    for (int k = 0; k < 4; ++k) centre[0] += truth[2 * k] / 4, centre[1] += truth[2 * k + 1] / 4;
    for (int k = 0; k < 4; ++k) {
      const double ox = truth[2 * k] - centre[0], oy = truth[2 * k + 1] - centre[1];
      const double ex = found[2 * k] - truth[2 * k], ey = found[2 * k + 1] - truth[2 * k + 1];
      outward += (ex * ox + ey * oy) / std::hypot(ox, oy);
      squared += ex * ex + ey * ey;
      const int o = (k + 2) % 4;
      diagonalRatio +=
          std::hypot(found[2 * k] - found[2 * o], found[2 * k + 1] - found[2 * o + 1]) /
          std::hypot(truth[2 * k] - truth[2 * o], truth[2 * k + 1] - truth[2 * o + 1]);
      ++corners;
    }
  }
};

CornerErrors MeasureCorners(MarkerDetector& detector, const MarkerScene& scene,
                            const CameraPose* poses, const CVD::Image<unsigned char>* frames, int n,
                            int runs) {
  CornerErrors errors;
  for (int i = 0; i < runs; ++i) {
    float out[8], truth[8];
    if (!detector.Run(frames[i % n], poses[i % n], out)) continue;
    scene.TrueCorners(poses[i % n], truth);
    errors.Add(out, truth);
  }
  return errors;
}

}  // namespace

TEST(MarkerDetector, CornersSitOnTheSheetEdgesWithAndWithoutATemplate) {
  // The benchmark's frames: a template inherits the corner error of the
  // frame it was last captured on, so frames with a worse last capture
  // shift every templated corner by that capture's error.
  constexpr int n = 8;
  MarkerScene scene;
  CameraPose poses[n];
  CVD::Image<unsigned char> frames[n];
  scene.JitteredFrames(5, n, poses, frames);
  std::vector<int32_t> blob;
  MarkerDetector capture(640, 480, &scene.K, nullptr, 0, &blob);
  const CornerErrors plain = MeasureCorners(capture, scene, poses, frames, n, 40);
  ASSERT_FALSE(blob.empty());
  MarkerDetector withTemplate(640, 480, &scene.K, blob.data(), blob.size() * 4, nullptr);
  ASSERT_TRUE(withTemplate.templateLoaded);
  const CornerErrors matched = MeasureCorners(withTemplate, scene, poses, frames, n, 40);
  for (const CornerErrors* e : {&plain, &matched}) {
    ASSERT_GE(e->corners, 4 * 15);
    // A border settled half a pixel outside its edge put every corner
    // 0.7 px outside and the sheet 0.8 % too large.
    EXPECT_LT(std::fabs(e->outward / e->corners), 0.05);
    EXPECT_LT(std::sqrt(e->squared / e->corners), 0.2);
    EXPECT_NEAR(e->diagonalRatio / e->corners, 1.0, 0.0015);
  }
}

namespace {

// One sample or record at a time, the plain statement of the alignment's
// residuals: the reference for the four-wide kernels.
struct ScalarKernels {
  const MarkerDetector& d;
  int level;

  void Camera(const CameraPose& pose, const float* P, float X[3]) const {
    for (int i = 0; i < 3; ++i)
      X[i] = pose.m[i][0] * P[0] + pose.m[i][1] * P[1] + pose.m[i][2] * P[2] + pose.m[i][3];
  }

  // Border cost, and A and g when asked for (A full, g = -J r).
  float Edge(const CameraPose& pose, bool dark, double A[6][6], double g[6]) const {
    const auto& I = d.levels[level];
    const auto& G = d.gradients[level];
    const Intrinsic& K = d.levelIntrinsics[level];
    float X[4][3], px[4][2], Jc[4][2][6];
    for (int k = 0; k < 4; ++k) {
      Camera(pose, d.modelCorners[k], X[k]);
      ProjectWithPoseJacobian(X[k], K, px[k], Jc[k]);
    }
    const float c[2] = {K.cx[0], K.cy[0]};
    const int borders[4][4] = {{0, 3, 0, 1}, {1, 2, 1, 1}, {0, 1, 0, 0}, {3, 2, 3, 0}};
    double cost = 0;
    for (const auto& b : borders) {
      float e[2], m[2], Jd[2][6], Jm[2][6];
      if (!ComputeEdgeFrameWithJacobian(px[b[0]], px[b[1]], c, Jc[b[0]], Jc[b[1]], e, m, Jd, Jm))
        return FLT_MAX;
      const float scale = (b[3] ? d.markerWidth : d.markerHeight) / 50.0f;
      const int column = b[3] ? 0 : 1;
      for (int k = 1; k <= 49; ++k) {
        float Xs[3], p[2], Jp[2][6], g0[2], gd[2], gn[2], gp[2];
        for (int i = 0; i < 3; ++i) Xs[i] = X[b[2]][i] + k * pose.m[i][column] * scale;
        ProjectWithPoseJacobian(Xs, K, p, Jp);
        const float h[2] = {0.5f * m[0], 0.5f * m[1]};
        const float i0 = SampleBilinearWithGradient(I, G, p[0], p[1], g0);
        const float id = SampleBilinearWithGradient(I, G, p[0] + e[0], p[1] + e[1], gd);
        const float in = SampleBilinearWithGradient(I, G, p[0] - h[0], p[1] - h[1], gn);
        const float ip = SampleBilinearWithGradient(I, G, p[0] + h[0], p[1] + h[1], gp);
        const double r[2] = {id - i0, in - ip + (dark ? -1.0 : 1.0)};
        cost += r[0] * r[0] + r[1] * r[1];
        if (!A) continue;
        double J[2][6];
        for (int j = 0; j < 6; ++j) {
          const double u = Jp[0][j], v = Jp[1][j], hx = 0.5 * Jm[0][j], hy = 0.5 * Jm[1][j];
          J[0][j] = gd[0] * (u + Jd[0][j]) + gd[1] * (v + Jd[1][j]) - g0[0] * u - g0[1] * v;
          J[1][j] = gn[0] * (u - hx) + gn[1] * (v - hy) - gp[0] * (u + hx) - gp[1] * (v + hy);
        }
        for (int q = 0; q < 2; ++q)
          for (int i = 0; i < 6; ++i) {
            g[i] -= J[q][i] * r[q];
            for (int j = 0; j < 6; ++j) A[i][j] += J[q][i] * J[q][j];
          }
      }
    }
    return static_cast<float>(cost);
  }

  // Template cost, and A and g when asked for.
  float Template(const CameraPose& pose, const float gainBias[2], double A[8][8],
                 double g[8]) const {
    const auto& I = d.levels[level];
    const auto& G = d.gradients[level];
    const Intrinsic& K = d.levelIntrinsics[level];
    double sum = 0;
    int counted = 0;
    for (const MarkerTemplateRecord& r : d.templateLevels[level]) {
      float X[3];
      Camera(pose, &r.X, X);
      if (!(X[2] > 0)) continue;
      const float u = K.fx[0] * X[0] / X[2] + K.cx[0], v = K.fy[0] * X[1] / X[2] + K.cy[0];
      if (!(u >= 0 && v >= 0 && u < I.size().x - 1 && v < I.size().y - 1)) continue;
      const float value = SampleBilinear(I, u, v);
      const double e = gainBias[0] * value + gainBias[1] - r.intensity;
      sum += e * e;
      ++counted;
      if (!A) continue;
      const auto& q = G[static_cast<int>(v)][static_cast<int>(u)];
      const double Gx = 0.5 * (r.gx + q.x), Gy = 0.5 * (r.gy + q.y), iz = 1.0 / X[2];
      const double t[3] = {Gx * K.fx[0] * iz, Gy * K.fy[0] * iz,
                           -(Gx * K.fx[0] * X[0] + Gy * K.fy[0] * X[1]) * iz * iz};
      const double J[8] = {t[1] * X[2] - t[2] * X[1],
                           t[2] * X[0] - t[0] * X[2],
                           t[0] * X[1] - t[1] * X[0],
                           t[0],
                           t[1],
                           t[2],
                           value,
                           1.0};
      for (int i = 0; i < 8; ++i) {
        g[i] -= J[i] * e;
        for (int j = 0; j < 8; ++j) A[i][j] += J[i] * J[j];
      }
    }
    return counted == 0 ? FLT_MAX : static_cast<float>(sum / counted);
  }
};

// |a - b| within tolerance times the largest entry of the reference.
template <int N>
void ExpectSystemsMatch(const float A[N][N], const float g[N], const double Ar[N][N],
                        const double gr[N], const char* what) {
  double scaleA = 1e-12, scaleG = 1e-12;
  for (int i = 0; i < N; ++i) {
    scaleG = std::max(scaleG, std::fabs(gr[i]));
    for (int j = 0; j < N; ++j) scaleA = std::max(scaleA, std::fabs(Ar[i][j]));
  }
  for (int i = 0; i < N; ++i) {
    EXPECT_NEAR(g[i], gr[i], 1e-4 * scaleG) << what << " g " << i;
    for (int j = 0; j < N; ++j) EXPECT_NEAR(A[i][j], Ar[i][j], 1e-4 * scaleA) << what << " A " << i;
  }
}

}  // namespace

TEST(MarkerDetector, FourWideKernelsMatchTheSampleBySampleSumsIncludingTheTails) {
  std::vector<int32_t> blob;
  MarkerDetector capture(640, 480, &F().scene.K, nullptr, 0, &blob);
  ASSERT_EQ(RunSequence(capture, 0, 20), 1);
  MarkerDetector detector(640, 480, &F().scene.K, blob.data(), blob.size() * 4, nullptr);
  float out[8];
  detector.Run(F().frames[0], F().poses[0], out);  // builds the pyramid
  // The start poses, one turned and one shifted so that a border runs off
  // the level (lanes outside the image), on every level.
  std::vector<CameraPose> poses(detector.hypotheses.begin(), detector.hypotheses.end());
  CameraPose turned = poses[0], shifted = poses[0];
  const float a = 0.2f;
  for (int i = 0; i < 3; ++i) {
    const float x = poses[0].m[i][0], y = poses[0].m[i][1];
    turned.m[i][0] = std::cos(a) * x + std::sin(a) * y;
    turned.m[i][1] = -std::sin(a) * x + std::cos(a) * y;
  }
  shifted.m[0][3] += 0.4f;
  poses.push_back(turned);
  poses.push_back(shifted);
  const float gainBias[2] = {1.1f, -0.05f};
  for (int l = 0; l < 4; ++l) {
    const ScalarKernels reference{detector, l};
    for (const CameraPose& pose : poses) {
      for (bool dark : {false, true}) {
        double Ar[6][6] = {}, gr[6] = {};
        const float cost = reference.Edge(pose, dark, Ar, gr);
        EXPECT_NEAR(detector.ComputeEdgeCost(l, pose, dark), cost, 1e-5f * cost + 1e-6f);
        float A[6][6], g[6];
        detector.BuildEdgeNormalEquations(l, pose, A, g, dark);
        ExpectSystemsMatch<6>(A, g, Ar, gr, "edge");
      }
      // Every count modulo 4: a full last group and tails of 1, 2 and 3.
      const u32 n = detector.templateLevels[l].Size();
      ASSERT_GE(n, 8u);
      for (u32 cut = 0; cut < 4; ++cut) {
        AlignedArray<MarkerTemplateRecord> saved = detector.templateLevels[l];
        detector.templateLevels[l].Resize(n - cut);
        double Ar[8][8] = {}, gr[8] = {};
        const float cost = reference.Template(pose, gainBias, Ar, gr);
        EXPECT_NEAR(detector.ComputeTemplateCost(l, pose, gainBias), cost, 1e-5f * cost + 1e-9f);
        float A[8][8], g[8];
        detector.BuildTemplateNormalEquations(l, pose, gainBias, A, g);
        ExpectSystemsMatch<8>(A, g, Ar, gr, "template");
        detector.templateLevels[l] = saved;
      }
    }
  }
  // A level with no records: FLT_MAX and a zero system.
  detector.templateLevels[2].Clear();
  float A[8][8], g[8];
  EXPECT_EQ(detector.ComputeTemplateCost(2, poses[0], gainBias), FLT_MAX);
  detector.BuildTemplateNormalEquations(2, poses[0], gainBias, A, g);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(g[i] * g[i] + A[i][i] * A[i][i], 0.0f);
}
