// The hand-held sequences against what they claim: IMU readings that are
// the motion's exact derivatives, motion from the first frame on, the
// distances and paths each kind is meant to have (a desk at 0.3-0.6 m, a
// poster filling the view at 0.37 m, a room walk of 2-3 m at 1-3 m, pans up
// to 200 degrees a second), and frames that repeat byte for byte in any
// order while the camera's blur and noise act as a camera's do.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "tests/common/SequenceGenerator.h"

namespace {

const SequenceKind kKinds[] = {SequenceKind::kDesk, SequenceKind::kRoomWalk, SequenceKind::kBoard,
                               SequenceKind::kFastPans};

Eigen::Quaterniond Quaternion(const f64* q) {
  return Eigen::Quaterniond(q[3], q[0], q[1], q[2]);
}
Eigen::Vector3d Vector(const f64* v) {
  return Eigen::Vector3d(v[0], v[1], v[2]);
}

// One generator per kind, 20 s at 30 fps, small images: the scenes take a
// while to build and are shared by the tests of this file.
SequenceGenerator& Sequence(SequenceKind kind) {
  static SequenceGenerator* generators[5] = {};
  SequenceGenerator*& g = generators[static_cast<int>(kind)];
  if (g == nullptr) {
    SequenceOptions o = HandHeldSequence(kind, 600);
    o.width = 320;
    o.height = 240;
    o.fx = o.fy = 250.0f;
    o.cx = 159.5f;
    o.cy = 119.5f;
    g = new SequenceGenerator(o);
  }
  return *g;
}

// The nearest plane a pixel's ray meets from the pose, and at what depth
// along the optical axis; -1 when none.
int NearestPlane(const SequenceGenerator& g, const CameraPose& P, float px, float py,
                 float* depth) {
  const Intrinsic& K = g.Camera();
  const Eigen::Vector3d rc((px - K.cx[0]) / K.fx[0], (py - K.cy[0]) / K.fy[0], 1.0);
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R(r, c) = P.m[r][c];
    t[r] = P.m[r][3];
  }
  const Eigen::Vector3d centre = -R.transpose() * t, dir = R.transpose() * rc;
  int best = -1;
  double nearest = DBL_MAX;
  const auto& planes = g.Scene().Planes();
  for (size_t i = 0; i < planes.size(); ++i) {
    const auto& p = planes[i];
    const Eigen::Vector3d o(p.origin[0], p.origin[1], p.origin[2]), u(p.u[0], p.u[1], p.u[2]),
        v(p.v[0], p.v[1], p.v[2]);
    const Eigen::Vector3d n = u.cross(v);
    const double denom = n.dot(dir);
    if (std::fabs(denom) < 1e-12) continue;
    const double z = n.dot(o - centre) / denom;  // along rc, whose z is 1: the depth
    if (z <= 0.0 || z >= nearest) continue;
    const Eigen::Vector3d rel = centre + z * dir - o;
    const double s = rel.dot(u), w = rel.dot(v);
    if (s < 0 || w < 0 || s > p.width || w > p.height) continue;
    nearest = z;
    best = static_cast<int>(i);
  }
  *depth = static_cast<float>(nearest);
  return best;
}

}  // namespace

TEST(HandHeldSequencesTest, ReadingsAreTheMotionsExactDerivatives) {
  for (SequenceKind kind : kKinds) {
    const SequenceTrajectory trajectory(9.81, kind);
    const f64 h = 1e-4;
    for (f64 t = 0.0; t < 20.0; t += 0.737) {
      const TrajectoryPoint p = trajectory.At(t), a = trajectory.At(t - h),
                            b = trajectory.At(t + h);
      const Eigen::Vector3d v = (Vector(b.state.position) - Vector(a.state.position)) / (2 * h);
      const Eigen::Vector3d acc = (Vector(b.state.velocity) - Vector(a.state.velocity)) / (2 * h);
      EXPECT_LT((v - Vector(p.state.velocity)).norm(), 1e-6) << SequenceKindName(kind) << " " << t;
      EXPECT_LT((acc - Vector(p.acceleration)).norm(), 1e-4) << SequenceKindName(kind) << " " << t;
      // Body rate: the rotation from t - h to t + h in the body frame.
      const Eigen::AngleAxisd turn(Quaternion(a.state.quaternion).conjugate() *
                                   Quaternion(b.state.quaternion));
      const Eigen::Vector3d rate = turn.axis() * turn.angle() / (2 * h);
      EXPECT_LT((rate - Vector(p.rotationRate)).norm(), 1e-5) << SequenceKindName(kind) << " " << t;
      // The accelerometer feels the motion and the floor's push up.
      const Eigen::Vector3d f = Quaternion(p.state.quaternion).toRotationMatrix().transpose() *
                                (Vector(p.acceleration) + Eigen::Vector3d(0, 0, 9.81));
      EXPECT_LT((f - Vector(p.specificForce)).norm(), 1e-12);
    }
  }
}

TEST(HandHeldSequencesTest, EveryKindMovesFromTheFirstFrame) {
  for (SequenceKind kind : kKinds) {
    const SequenceGenerator& g = Sequence(kind);
    const IMUState s = g.TrueState(0);
    const TrajectoryPoint p = g.Trajectory().At(0.0);
    EXPECT_GT(Vector(s.velocity).norm(), 0.01) << SequenceKindName(kind);
    EXPECT_GT(Vector(p.rotationRate).norm(), 0.02) << SequenceKindName(kind);
    f64 a[3], b[3];
    g.TrueCentre(0, a);
    g.TrueCentre(1, b);
    EXPECT_GT((Vector(b) - Vector(a)).norm(), 2e-4) << SequenceKindName(kind);
  }
}

TEST(HandHeldSequencesTest, DistancesAndPathsAreThoseOfEachKind) {
  // The desk: 0.3-0.6 m to what the image centre sees, the desk top or
  // something on it, every frame of 20 s.
  {
    const SequenceGenerator& g = Sequence(SequenceKind::kDesk);
    float lo = FLT_MAX, hi = 0.0f, depth;
    for (u32 k = 0; k < 600; k += 5) {
      ASSERT_GE(NearestPlane(g, g.TruePose(k), 159.5f, 119.5f, &depth), 0) << k;
      lo = std::min(lo, depth), hi = std::max(hi, depth);
    }
    EXPECT_GT(lo, 0.28f);
    EXPECT_LT(hi, 0.62f);
    EXPECT_LT(lo, 0.38f);  // the range is used, not a fixed distance
    EXPECT_GT(hi, 0.5f);
  }
  // The board: the poster (the last plane) under every corner of the image
  // at 0.37 m give or take the hand's wander.
  {
    const SequenceGenerator& g = Sequence(SequenceKind::kBoard);
    const int poster = static_cast<int>(g.Scene().Planes().size()) - 1;
    double sum = 0.0;
    int count = 0;
    for (u32 k = 0; k < 600; k += 5) {
      float depth;
      const float corners[4][2] = {{0, 0}, {319, 0}, {0, 239}, {319, 239}};
      for (const auto& px : corners)
        EXPECT_EQ(poster, NearestPlane(g, g.TruePose(k), px[0], px[1], &depth)) << k;
      ASSERT_EQ(poster, NearestPlane(g, g.TruePose(k), 159.5f, 119.5f, &depth));
      EXPECT_GT(depth, 0.31f);
      EXPECT_LT(depth, 0.43f);
      sum += depth, ++count;
    }
    EXPECT_NEAR(0.37, sum / count, 0.015);
  }
  // The room walk: 2-3 m of path over 15 s, walls and furniture at 1-3.5 m.
  {
    SequenceGenerator& g = Sequence(SequenceKind::kRoomWalk);
    f64 length = 0.0, previous[3] = {0, 0, 0}, centre[3];
    for (u32 k = 0; k < 450; ++k) {
      g.TrueCentre(k, centre);
      if (k > 0) length += (Vector(centre) - Vector(previous)).norm();
      std::copy(centre, centre + 3, previous);
      float depth;
      if (k % 5 != 0) continue;
      ASSERT_GE(NearestPlane(g, g.TruePose(k), 159.5f, 119.5f, &depth), 0);
      EXPECT_GT(depth, 0.8f) << k;
      EXPECT_LT(depth, 3.6f) << k;
    }
    EXPECT_GT(length, 2.0);
    EXPECT_LT(length, 3.2);
  }
  // Fast pans: up to 200 degrees a second, and most of it reached.
  {
    const SequenceGenerator& g = Sequence(SequenceKind::kFastPans);
    double fastest = 0.0;
    for (const IMUSample& s : g.Samples())
      fastest = std::max(fastest, Vector(s.rotationRate).norm());
    EXPECT_GT(fastest * 57.29578, 170.0);
    EXPECT_LT(fastest * 57.29578, 205.0);
  }
}

TEST(HandHeldSequencesTest, FramesRepeatAndBlurAndNoiseActAsACamerasDo) {
  SequenceGenerator& g = Sequence(SequenceKind::kDesk);
  CVD::Image<u8> a, b, c;
  g.RenderFrame(40, a);
  g.RenderFrame(3, b);
  g.RenderFrame(40, c);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), c.begin()));
  EXPECT_FALSE(std::equal(a.begin(), a.end(), b.begin()));

  // The same frame sharp and without noise, blurred, and noisy: the blur
  // takes energy from neighbouring differences, the noise of 2 grey levels
  // adds about 2 * 2^2 to their mean square.
  SequenceOptions o = g.Options();
  o.frames = 60;
  o.pixelNoise = 0.0f;
  o.opticalBlur = 0.0f;
  o.exposure = 0.0;
  SequenceGenerator sharpGen(o);
  o.opticalBlur = 0.6f;
  SequenceGenerator blurGen(o);
  o.pixelNoise = 2.0f;
  SequenceGenerator noisyGen(o);
  const auto roughness = [](const CVD::Image<u8>& im) {
    double sum = 0.0;
    int n = 0;
    for (int y = 0; y < im.size().y; ++y)
      for (int x = 1; x < im.size().x; ++x, ++n) sum += std::pow(im[y][x] - im[y][x - 1], 2);
    return sum / n;
  };
  CVD::Image<u8> sharp, blurred, noisy;
  sharpGen.RenderFrame(40, sharp);
  blurGen.RenderFrame(40, blurred);
  noisyGen.RenderFrame(40, noisy);
  EXPECT_LT(roughness(blurred), 0.8 * roughness(sharp));
  EXPECT_NEAR(roughness(noisy) - roughness(blurred), 8.0, 3.0);
  // Structure, not noise: plain patches beside strong edges.
  int plain = 0, edged = 0, blocks = 0;
  for (int by = 0; by + 8 <= 240; by += 8) {
    for (int bx = 0; bx + 8 <= 320; bx += 8, ++blocks) {
      int lo = 255, hi = 0;
      for (int y = by; y < by + 8; ++y)
        for (int x = bx; x < bx + 8; ++x)
          lo = std::min<int>(lo, blurred[y][x]), hi = std::max<int>(hi, blurred[y][x]);
      plain += hi - lo <= 12;
      edged += hi - lo >= 60;
    }
  }
  EXPECT_GT(plain, blocks / 20);
  EXPECT_GT(edged, blocks / 20);

  // Exposure: a pan at speed needs many renders along its path, the slow
  // desk few; the fastest pan frames smear, so they are smoother than a
  // still render of the same pose.
  SequenceGenerator& pans = Sequence(SequenceKind::kFastPans);
  u32 fast = 0;
  double best = 0.0;
  for (u32 k = 0; k < 300; ++k) {
    const double r = Vector(pans.Trajectory().At(pans.FrameTime(k)).rotationRate).norm();
    if (r > best) best = r, fast = k;
  }
  EXPECT_GE(pans.ExposureRenders(fast), 12);
  EXPECT_LE(g.ExposureRenders(40), 4);
  SequenceOptions po = pans.Options();
  po.frames = fast + 1;
  po.pixelNoise = 0.0f;
  po.opticalBlur = 0.0f;
  SequenceGenerator smeared(po);
  po.exposure = 0.0;
  SequenceGenerator still(po);
  CVD::Image<u8> moving, frozen;
  smeared.RenderFrame(fast, moving);
  still.RenderFrame(fast, frozen);
  EXPECT_LT(roughness(moving), 0.6 * roughness(frozen));
}
