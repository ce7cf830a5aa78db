// ctest-labels: threads
// A careless or broken host through the shared library: 500 frames mixing
// the synthetic room with black, white and noise frames, some with a NaN or
// infinite time, readings with NaN, infinite and huge values or times,
// `count` 0 or negative with readings given, readings without a prior and
// priors with a zero or NaN quaternion, with resets and restarts on the way. No call crashes, every
// status is one of 0 to 3 (no server), and no frame reports tracking (status 2) with a non-finite
// pose; objects with a non-finite record are refused.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "app/zevrion.h"
#include "common/SequenceGenerator.h"
#include "la/Random.h"

namespace {

constexpr int kFrames = 500;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The sequence's readings as a host delivers them: accelerometer in g, then
// the gyroscope, one record each per sample.
void HostReadings(const std::vector<IMUSample>& samples, std::vector<HostImuSample>& out) {
  out.clear();
  for (const IMUSample& s : samples) {
    out.push_back({0, s.acceleration[0] / -9.81, s.acceleration[1] / -9.81,
                   s.acceleration[2] / -9.81, s.time});
    out.push_back({1, s.rotationRate[0], s.rotationRate[1], s.rotationRate[2], s.time});
  }
}

// Spoils the readings the way frame k's host does; returns the count to pass.
int Spoil(int k, std::vector<HostImuSample>& imu, double frameTime) {
  const int n = static_cast<int>(imu.size());
  if (imu.empty()) imu.push_back({0, 0, 0, -1, frameTime});
  switch (k % 8) {
    case 1:  // NaN values
      imu[0].x = kNaN;
      imu.back().z = kNaN;
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

bool Finite(const TrackingResult& out) {
  for (const float q : out.quaternion) {
    if (!std::isfinite(q)) return false;
  }
  for (const float c : out.centre) {
    if (!std::isfinite(c)) return false;
  }
  return true;
}

}  // namespace

TEST(HostDegenerateFramesTest, NoCrashAndNoNonFinitePoseWhileTracking) {
  SequenceOptions options;
  options.frames = 150;
  options.width = 320;
  options.height = 240;
  options.fx = options.fy = 250.0f;
  options.cx = 159.5f;
  options.cy = 119.5f;
  options.gravity = 0.0;
  SequenceGenerator sequence(options);
  const double hfov = 2.0 * std::atan(160.0 / 250.0) / 0.01745329238474369;
  ZevrionCreate(320, 240, hfov, 0.0, 0.0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
  ZevrionStartTracking(nullptr, 0);

  CVD::Image<u8> image;
  std::vector<u8> pixels(320 * 240);
  std::vector<IMUSample> samples;
  std::vector<HostImuSample> imu;
  float marker[10];
  int statusCount[5] = {};
  int nonFiniteTracking = 0;
  Random::Seed(11);
  for (int k = 0; k < kFrames; ++k) {
    const u32 g = static_cast<u32>(k) % sequence.FrameCount();
    double time = k / 30.0;
    if (k % 17 == 9) time = NAN;
    if (k % 23 == 11) time = INFINITY;
    sequence.RenderFrame(g, image);
    for (int y = 0; y < 240; ++y) {
      for (int x = 0; x < 320; ++x) {
        u8& p = pixels[static_cast<size_t>(y) * 320 + x];
        switch (k % 7) {
          case 0:
            p = 0;
            break;
          case 1:
            p = static_cast<u8>(Random::Index(256));
            break;
          case 2:
            p = 255;
            break;
          default:
            p = image[y][x];
        }
      }
    }
    sequence.FrameSamples(g, samples);
    for (IMUSample& s : samples) s.time += time - sequence.FrameTime(g);
    HostImuSample* imuIn = nullptr;
    int count = 0;
    if (k % 8 != 4) {  // 4: a prior without readings
      HostReadings(samples, imu);
      count = Spoil(k, imu, time);
      imuIn = imu.data();
    }
    double prior[8];
    sequence.PosePrior(g, prior);
    for (int i = 4; i < 7; ++i) prior[i] = -prior[i];
    prior[7] = time;
    if (k % 3 == 0) prior[0] = prior[1] = prior[2] = prior[3] = 0.0;
    if (k % 11 == 5) prior[1] = kNaN;
    if (k % 13 == 7) prior[5] = 1e300;

    sequence.MarkerObservation(g, marker);
    const HostFrame frame{pixels.data(), time, g == 0 ? marker : nullptr};
    TrackingResult out;
    ASSERT_EQ(&out, ZevrionRunTracking(&out, &frame, imuIn, count, prior));
    ASSERT_GE(out.status, 0);
    ASSERT_LE(out.status, 3) << "frame " << k;
    ++statusCount[out.status];
    if (out.status == 2 && !Finite(out)) ++nonFiniteTracking;
    ASSERT_GE(out.planeCount, 0);
    ASSERT_GE(out.objectCount, 0);
    ASSERT_NE(nullptr, out.text);

    if (k % 50 == 20) {
      RegisteredObject spoilt{k, 1.0f, {0, 0, 0, 1}, {0, NAN, 0}};
      EXPECT_FALSE(ZevrionRegisterObject(&spoilt)) << "frame " << k;
      spoilt.position[1] = 0.0f;
      spoilt.quaternion[3] = INFINITY;
      EXPECT_FALSE(ZevrionRegisterObject(&spoilt)) << "frame " << k;
      spoilt.quaternion[3] = 1.0f;
      ZevrionRegisterObject(&spoilt);  // either way, no harm
    }
    if (k % 97 == 96) {
      ZevrionResetTracking();
      // A restart with readings that are all spoilt.
      const HostImuSample bad[2] = {{0, kNaN, 0, 0, 0.0}, {1, 0, 0, 0, kNaN}};
      ZevrionStartTracking(bad, 2);
    }
  }
  ZevrionDestroy();
  EXPECT_EQ(0, nonFiniteTracking);
  // The room's frames are tracked some of the time, so the check above bites.
  EXPECT_GT(statusCount[2], 0);
  std::printf("statuses 0..3: %d %d %d %d\n", statusCount[0], statusCount[1], statusCount[2],
              statusCount[3]);
}
