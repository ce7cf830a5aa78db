// ctest-labels: threads long
// A careless or broken host through the shared library: 500 frames (350 in
// a short run: the engine first tracks after the second restart, near frame
// 200, and every spoilt pattern still comes round several times) mixing
// the synthetic room with black, white and noise frames, some with a NaN or
// infinite time, readings with NaN, infinite and huge values or times,
// `count` 0 or negative with readings given, readings without a prior and
// priors with a zero or NaN quaternion or one whose squared length leaves
// the double range, with resets and restarts on the way.
// No call crashes, every status is one of 0 to 3 (no server), and no frame
// reports tracking (status 2) with a non-finite pose; objects with a
// non-finite record are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "common/Sanitizers.h"
#include "common/app/HostInput.h"
#include "la/Random.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Spoils the readings the way frame k's host does; returns the count to pass.
int Spoil(int k, std::vector<HostImuSample>& imu, double frameTime) {
  const int n = static_cast<int>(imu.size());
  if (imu.empty()) imu.push_back({0, 0, 0, -1, frameTime});
  switch (k % 8) {
    case 1:  // NaN values
      imu[0].x = imu.back().z = kNaN;
      return n;
    case 2:  // huge values: past the double range once in m/s^2, and merely huge
      imu[0].y = 1e308;
      imu.back().x = 1e30;
      imu.push_back({0, -1e30, 1e30, 1e30, frameTime});
      return static_cast<int>(imu.size());
    case 3:  // readings given, none counted
      return 0;
    case 5:  // times that are not times, or far in the past
      imu[0].time = kNaN;
      imu.back().time = kInf;
      imu.push_back({1, 0.1, 0.1, 0.1, -1e300});
      return static_cast<int>(imu.size());
    case 6:  // a negative count
      return -3;
    case 7:  // types that are neither sensor
      for (HostImuSample& s : imu) s.type = 9;
      return n;
    default:
      return n;
  }
}

}  // namespace

TEST(HostDegenerateFramesTest, NoCrashAndNoNonFinitePoseWhileTracking) {
  const SequenceOptions options = HostRoom(320, 150);
  SequenceGenerator sequence(options);
  ZevrionCreate(320, 240, HostHfov(options), 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr,
                nullptr);
  ZevrionStartTracking(nullptr, 0);
  HostInput in;
  int tracked = 0;
  Random::Seed(11);
  const int frames = LongTestSize(500, 350);
  for (int k = 0; k < frames; ++k) {
    const u32 g = static_cast<u32>(k) % sequence.FrameCount();
    in.Load(sequence, g);
    double time = k / 30.0;
    if (k % 17 == 9) time = kNaN;
    if (k % 23 == 11) time = kInf;
    if (k % 7 < 3) {  // black, noise, white
      for (u8& p : in.pixels)
        p = k % 7 == 1 ? static_cast<u8>(Random::Index(256)) : (k % 7 == 0 ? 0 : 255);
    }
    for (HostImuSample& s : in.imu) s.time += time - in.time;
    const int count = k % 8 == 4 ? 0 : Spoil(k, in.imu, time);  // 4: a prior without readings
    in.prior[7] = time;
    if (k % 3 == 0) std::fill(in.prior, in.prior + 4, 0.0);
    if (k % 11 == 5) in.prior[1] = kNaN;
    if (k % 13 == 7) in.prior[5] = 1e300;
    if (k % 19 == 4) std::fill(in.prior, in.prior + 4, k % 2 == 0 ? 1e200 : 1e-200);
    const HostFrame frame{in.pixels.data(), time, g == 0 ? in.marker : nullptr};
    TrackingResult out;
    ASSERT_EQ(&out, ZevrionRunTracking(&out, &frame, k % 8 == 4 ? nullptr : in.imu.data(), count,
                                       in.prior));
    ASSERT_TRUE(out.status >= 0 && out.status <= 3) << "frame " << k << ": " << out.status;
    ASSERT_TRUE(out.planeCount >= 0 && out.objectCount >= 0 && out.text != nullptr);
    if (out.status == 2) {
      ++tracked;
      for (const float v : out.quaternion) ASSERT_TRUE(std::isfinite(v)) << "frame " << k;
      for (const float v : out.centre) ASSERT_TRUE(std::isfinite(v)) << "frame " << k;
    }
    if (k % 50 == 20) {
      RegisteredObject spoilt{k, 1.0f, {0, 0, 0, 1}, {0, NAN, 0}};
      EXPECT_FALSE(ZevrionRegisterObject(&spoilt)) << "frame " << k;
      spoilt.position[1] = 0.0f;
      spoilt.quaternion[3] = INFINITY;
      EXPECT_FALSE(ZevrionRegisterObject(&spoilt)) << "frame " << k;
      spoilt.quaternion[3] = 1.0f;
      ZevrionRegisterObject(&spoilt);  // either way, no harm
    }
    if (k % 97 == 96) {  // a restart with readings that are all spoilt
      ZevrionResetTracking();
      const HostImuSample bad[2] = {{0, kNaN, 0, 0, 0.0}, {1, 0, 0, 0, kNaN}};
      ZevrionStartTracking(bad, 2);
    }
  }
  ZevrionDestroy();
  // The room's frames are tracked some of the time, so the check above bites.
  EXPECT_GT(tracked, 0);
}
