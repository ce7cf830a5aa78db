// The disk readers on files written here: exact values, the prior turned into
// the tracker's form, samples merged and filled in time order, times taken
// from the earliest seen; and truncated, oversized, non-finite and
// size-changing records refused with nothing changed.
#include "app/DiskInput.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/TempFolder.h"
#include "optimization/IMUAlgebra.h"

namespace {

struct RecordWriter {
  std::string bytes;
  template <class T>
  RecordWriter& Put(T v) {
    bytes.append(reinterpret_cast<const char*>(&v), sizeof(v));
    return *this;
  }
  RecordWriter& Header(i32 w, i32 h, f64 time) {
    Put(w).Put(h).Put(time);
    for (i32 i = 0; i < w * h; ++i) Put(static_cast<u8>(i * 7));
    return *this;
  }
  RecordWriter& Sample(i32 type, f64 x, f64 y, f64 z, f64 t) {
    Put(type);
    if (type == 0 || type == 1) Put(x).Put(y).Put(z);
    return Put(t);
  }
  RecordWriter& Prior(std::initializer_list<f64> v) {
    for (f64 x : v) Put(x);
    return *this;
  }
};

}  // namespace

TEST(DiskInputTest, FrameRecordsInTheTrackersForm) {
  TempFolder folder;
  RecordWriter first;
  first.Header(4, 3, 10.0).Put(i32{5});
  first.Sample(1, 0.1, 0.2, 0.3, 9.5);  // a gyroscope first: no acceleration yet
  first.Sample(0, 1.0, 0.0, -1.0, 10.0);
  first.Sample(1, 0.4, 0.5, 0.6, 10.0);  // same time: one sample with both
  first.Sample(7, 0, 0, 0, 10.25);       // neither half: both carried on
  first.Sample(0, NAN, 0, 0, 10.5);      // dropped
  first.Prior({0, 0, 0, -2, 1, 2, 3, 10.0});
  FrameRecordReader reader;
  DiskFrame frame;
  std::vector<IMUSample> imu;
  f64 prior[8];
  ASSERT_TRUE(reader.LoadFrameRecord(folder.Write("0.dat", first.bytes), frame, imu, prior));
  ASSERT_EQ(CVD::ImageRef(4, 3), frame.grey.size());
  EXPECT_EQ(static_cast<u8>(11 * 7), frame.grey[2][3]);
  EXPECT_EQ(0.5, frame.time);  // relative to the earliest sample, 9.5
  ASSERT_EQ(3u, imu.size());
  EXPECT_EQ(0.0, imu[0].time);
  EXPECT_EQ(0.0, imu[0].acceleration[0]);
  EXPECT_EQ(0.1, imu[0].rotationRate[0]);
  EXPECT_EQ(0.5, imu[1].time);
  EXPECT_DOUBLE_EQ(-9.81, imu[1].acceleration[0]);
  EXPECT_DOUBLE_EQ(9.81, imu[1].acceleration[2]);
  EXPECT_EQ(0.5, imu[1].rotationRate[1]);
  EXPECT_DOUBLE_EQ(-9.81, imu[2].acceleration[0]);
  EXPECT_EQ(0.6, imu[2].rotationRate[2]);
  EXPECT_EQ(0.75, imu[2].time);
  const f64 expectedPrior[8] = {0, 0, 0, 1, -1, -2, -3, 0.5};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(expectedPrior[i], prior[i]) << i;

  // The next record keeps the origin; a prior time of -1 means no prior.
  RecordWriter second;
  second.Header(4, 3, 12.0).Put(i32{0}).Prior({1, 1, 1, 1, 1, 2, 3, -1});
  ASSERT_TRUE(reader.LoadFrameRecord(folder.Write("1.dat", second.bytes), frame, imu, prior));
  EXPECT_EQ(2.5, frame.time);
  EXPECT_TRUE(imu.empty());
  EXPECT_EQ(kNoPriorTime, prior[7]);
  EXPECT_EQ(1.0, prior[4]);

  // A zero quaternion is no prior either.
  RecordWriter third;
  third.Header(4, 3, 13.0).Put(i32{0}).Prior({0, 0, 0, 0, 1, 2, 3, 13.0});
  ASSERT_TRUE(reader.LoadFrameRecord(folder.Write("2.dat", third.bytes), frame, imu, prior));
  EXPECT_EQ(kNoPriorTime, prior[7]);

  // A reading older than the clock's start (an inertial unit that ran before
  // the camera, handed over late) lies before it: the clock stays where the
  // records already read put it.
  RecordWriter fourth;
  fourth.Header(4, 3, 14.0).Put(i32{1}).Sample(1, 0.7, 0.8, 0.9, 9.0);
  fourth.Prior({0, 0, 0, 1, 0, 0, 0, -1});
  ASSERT_TRUE(reader.LoadFrameRecord(folder.Write("3.dat", fourth.bytes), frame, imu, prior));
  EXPECT_EQ(4.5, frame.time);
  ASSERT_EQ(1u, imu.size());
  EXPECT_EQ(-0.5, imu[0].time);
}

// Records a run passes over (image_step): their readings come first in the
// next record taken, once; a record the reader refuses carries nothing.
TEST(DiskInputTest, PassedOverRecordsHandTheirReadingsToTheNext) {
  TempFolder folder;
  const auto record = [&](const char* name, f64 time, f64 gyro, i32 w = 4) {
    RecordWriter r;
    r.Header(w, 3, time).Put(i32{2});
    r.Sample(0, 0.0, 0.0, -1.0, time).Sample(1, gyro, 0.0, 0.0, time);
    r.Prior({0, 0, 0, 1, 0, 0, 0, -1});
    return folder.Write(name, r.bytes);
  };
  FrameRecordReader reader;
  DiskFrame frame;
  std::vector<IMUSample> imu;
  f64 prior[8];
  ASSERT_TRUE(reader.LoadFrameRecord(record("0.dat", 1.0, 0.1), frame, imu, prior));
  EXPECT_TRUE(reader.CarryReadings(record("1.dat", 1.1, 0.2)));
  EXPECT_TRUE(reader.CarryReadings(record("2.dat", 1.2, 0.3)));
  EXPECT_FALSE(reader.CarryReadings(record("3.dat", 1.25, 9.0, 5)));  // another size
  EXPECT_FALSE(reader.CarryReadings(folder.File("missing.dat")));
  ASSERT_TRUE(reader.LoadFrameRecord(record("4.dat", 1.3, 0.4), frame, imu, prior));
  EXPECT_NEAR(frame.time, 0.3, 1e-12);
  ASSERT_EQ(imu.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(imu[i].time, 0.1 * (i + 1), 1e-12) << i;
    EXPECT_DOUBLE_EQ(imu[i].rotationRate[0], 0.2 + 0.1 * i) << i;
    EXPECT_DOUBLE_EQ(imu[i].acceleration[2], 9.81) << i;
  }
  ASSERT_TRUE(reader.LoadFrameRecord(record("5.dat", 1.4, 0.5), frame, imu, prior));
  ASSERT_EQ(imu.size(), 1u);  // carried once
  EXPECT_DOUBLE_EQ(imu[0].rotationRate[0], 0.5);
}

// Priors that are numbers yet no usable prior: a quaternion whose squared
// length leaves the double range (overflow or underflow) and a time whose
// distance from the origin does. Each counts as none; the record is read.
TEST(DiskInputTest, PriorsBeyondTheDoubleRangeAreNone) {
  TempFolder folder;
  FrameRecordReader reader;
  DiskFrame frame;
  std::vector<IMUSample> imu;
  f64 prior[8];
  const auto load = [&](f64 frameTime, std::initializer_list<f64> p) {
    RecordWriter r;
    r.Header(4, 3, frameTime).Put(i32{0}).Prior(p);
    return reader.LoadFrameRecord(folder.Write("r.dat", r.bytes), frame, imu, prior);
  };
  ASSERT_TRUE(load(-1e308, {0, 0, 0, 1, 0, 0, 0, 0.0}));  // the origin, far in the past
  EXPECT_EQ(1e308, prior[7]);
  ASSERT_TRUE(load(0.0, {0, 0, 0, 1, 0, 0, 0, 1e308}));
  EXPECT_EQ(kNoPriorTime, prior[7]);
  for (const f64 c : {1e200, -1e200, 1e-200, 1e-160}) {
    ASSERT_TRUE(load(0.0, {c, c, 0, c, 1, 2, 3, 1.0}));
    EXPECT_EQ(kNoPriorTime, prior[7]) << c;
  }
  // Large and small, yet squares within range: normalised as any other.
  ASSERT_TRUE(load(0.0, {0, 3e150, 0, -4e150, 1, 2, 3, 1.0}));
  EXPECT_DOUBLE_EQ(-0.6, prior[1]);
  EXPECT_DOUBLE_EQ(0.8, prior[3]);
  ASSERT_TRUE(load(0.0, {3e-150, 0, 0, 4e-150, 1, 2, 3, 1.0}));
  EXPECT_DOUBLE_EQ(0.6, prior[0]);
  EXPECT_DOUBLE_EQ(0.8, prior[3]);
  EXPECT_EQ(-3.0, prior[6]);
  // Every component counts to the length: a half turn about the x = y diagonal.
  ASSERT_TRUE(load(0.0, {2, 2, 0, 0, 1, 2, 3, 1.0}));
  EXPECT_DOUBLE_EQ(std::sqrt(0.5), prior[0]);
  EXPECT_DOUBLE_EQ(std::sqrt(0.5), prior[1]);
  // And a quarter turn about z.
  ASSERT_TRUE(load(0.0, {0, 0, 1, 1, 1, 2, 3, 1.0}));
  EXPECT_DOUBLE_EQ(std::sqrt(0.5), prior[2]);
  EXPECT_DOUBLE_EQ(std::sqrt(0.5), prior[3]);
  // A half turn about each axis alone is a prior; no length, or a part that
  // is not finite, is none.
  for (int axis = 0; axis < 4; ++axis) {
    f64 q[8] = {0, 0, 0, 0, 1, 2, 3, 1.0};
    q[axis] = 1.0;
    EXPECT_TRUE(IsUsablePrior(q)) << axis;
    q[axis] = 0.0;
    EXPECT_FALSE(IsUsablePrior(q)) << axis;
    q[axis] = 1.0;
    q[4 + axis] = NAN;
    EXPECT_FALSE(IsUsablePrior(q)) << axis;
  }
}

// A device whose inertial unit sits in other axes: the calibration's
// rotation turns its readings, and the attitude it reports is of the same
// body, so it turns with them. Left as it came, gravity read off it pulled
// every frame by the angle between the two bodies.
TEST(DiskInputTest, TurnedReadingsTakeTheirAttitudeWithThem) {
  // Rotations back to themselves through every branch of the conversion:
  // none, half turns about each axis and about a diagonal, a general one.
  const f64 h = std::sqrt(0.5);
  for (const auto& q : std::vector<std::array<f64, 4>>{{0, 0, 0, 1},
                                                       {1, 0, 0, 0},
                                                       {0, 1, 0, 0},
                                                       {0, 0, 1, 0},
                                                       {-h, h, 0, 0},
                                                       {0.2, -0.3, 0.1, 0.927}}) {
    f64 unit[4] = {q[0], q[1], q[2], q[3]}, H[9], back[4];
    NormalizeQuaternion(unit);
    QuaternionToRotationDouble(unit, H);
    RotationToQuaternionDouble(H, back);
    // A half turn (w = 0) may come back negated: the same rotation.
    const f64 sign =
        back[0] * unit[0] + back[1] * unit[1] + back[2] * unit[2] + back[3] * unit[3] < 0 ? -1.0
                                                                                          : 1.0;
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(unit[i], sign * back[i], 1e-15) << q[0] << " " << i;
  }

  // M: a quarter turn about z, x'' = M x' (x' along y'').
  const f64 M[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  std::vector<IMUSample> imu(1);
  imu[0].acceleration[0] = 1.0, imu[0].acceleration[1] = 2.0, imu[0].acceleration[2] = 3.0;
  imu[0].rotationRate[0] = 0.5, imu[0].rotationRate[1] = 0.0, imu[0].rotationRate[2] = -1.0;
  imu[0].time = 4.0;
  // The body pitched by 30 degrees about its y axis.
  const f64 c = std::cos(M_PI / 12), s = std::sin(M_PI / 12);
  f64 prior[8] = {0, s, 0, c, 1, 2, 3, 4.0};
  TurnReadings(M, imu, prior);
  EXPECT_EQ(-2.0, imu[0].acceleration[0]);
  EXPECT_EQ(1.0, imu[0].acceleration[1]);
  EXPECT_EQ(3.0, imu[0].acceleration[2]);
  EXPECT_EQ(0.0, imu[0].rotationRate[0]);
  EXPECT_EQ(0.5, imu[0].rotationRate[1]);
  EXPECT_EQ(-1.0, imu[0].rotationRate[2]);
  EXPECT_EQ(4.0, imu[0].time);
  // World z seen from the turned body is M times world z seen from the
  // body: (-sin 30, 0, cos 30) becomes (0, -sin 30, cos 30).
  f64 H[9];
  QuaternionToRotationDouble(prior, H);
  EXPECT_NEAR(0.0, H[6], 1e-15);
  EXPECT_NEAR(-0.5, H[7], 1e-15);
  EXPECT_NEAR(std::sqrt(0.75), H[8], 1e-15);
  // q'' = q (x) conj(m), m the quarter turn: the rest of the prior stays.
  const f64 expected[4] = {-s * h, s * h, -c * h, c * h};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(expected[i], prior[i], 1e-15) << i;
  EXPECT_EQ(1.0, prior[4]);
  EXPECT_EQ(4.0, prior[7]);

  // A frame without a prior keeps none.
  f64 none[8] = {0, 0, 0, 1, 0, 0, 0, kNoPriorTime};
  TurnReadings(M, imu, none);
  EXPECT_EQ(1.0, none[3]);
  EXPECT_EQ(kNoPriorTime, none[7]);
}

TEST(DiskInputTest, BadRecordsChangeNothing) {
  TempFolder folder;
  RecordWriter good;
  good.Header(4, 3, 1.0).Put(i32{1}).Sample(0, 1, 2, 3, 1.0).Prior({0, 0, 0, 1, 0, 0, 0, 1.0});
  FrameRecordReader reader;
  DiskFrame frame;
  std::vector<IMUSample> imu;
  f64 prior[8] = {};
  const auto load = [&](const std::string& bytes) {
    return reader.LoadFrameRecord(folder.Write("r.dat", bytes), frame, imu, prior);
  };
  for (size_t cut = 0; cut < good.bytes.size(); ++cut) {
    EXPECT_FALSE(load(good.bytes.substr(0, cut))) << cut;
  }
  EXPECT_TRUE(frame.grey.size() == CVD::ImageRef(0, 0) && imu.empty() && prior[3] == 0.0);
  EXPECT_FALSE(load(RecordWriter().Put(i32{16385}).Put(i32{1}).Put(0.0).bytes));
  // The largest side is a frame, one more is not, whole records both (for a
  // fresh reader: sizes are fixed).
  for (const i32 side : {16384, 16385}) {
    for (const auto& [w, h] : {std::pair<i32, i32>{side, 1}, {1, side}}) {
      RecordWriter longest;
      longest.Header(w, h, 0.0).Put(i32{0}).Prior({0, 0, 0, 1, 0, 0, 0, 0.0});
      FrameRecordReader fresh;
      DiskFrame wide;
      std::vector<IMUSample> none;
      f64 level[8];
      EXPECT_EQ(fresh.LoadFrameRecord(folder.Write("long.dat", longest.bytes), wide, none, level),
                side == 16384)
          << w << " x " << h;
      EXPECT_EQ(side == 16384 ? CVD::ImageRef(w, h) : CVD::ImageRef(0, 0), wide.grey.size());
    }
  }
  EXPECT_FALSE(load(RecordWriter().Put(i32{-4}).Put(i32{3}).Put(0.0).bytes));
  EXPECT_FALSE(load(RecordWriter().Header(4, 3, 1.0).Put(i32{1 << 30}).bytes));
  EXPECT_FALSE(
      load(RecordWriter().Header(4, 3, 1.0).Put(i32{-1}).Prior({0, 0, 0, 1, 0, 0, 0, 1}).bytes));
  EXPECT_FALSE(
      load(RecordWriter().Header(4, 3, NAN).Put(i32{0}).Prior({0, 0, 0, 1, 0, 0, 0, 1}).bytes));
  ASSERT_TRUE(load(good.bytes));
  // Another size mid-run is refused; the frame keeps the last good record.
  RecordWriter wider;
  wider.Header(5, 3, 2.0).Put(i32{0}).Prior({0, 0, 0, 1, 0, 0, 0, 2.0});
  EXPECT_FALSE(load(wider.bytes));
  EXPECT_EQ(CVD::ImageRef(4, 3), frame.grey.size());
  EXPECT_EQ(0.0, frame.time);
  EXPECT_FALSE(reader.LoadFrameRecord(folder.File("missing.dat"), frame, imu, prior));
}

TEST(DiskInputTest, ImuTextFilesAndMarkers) {
  TempFolder folder;
  f64 time = -1.0, prior[8] = {};
  std::vector<IMUSample> imu;
  const std::string good = folder.Write(
      "imu.txt", "0.5 2\n-9.81 0 0 0.1 0.2 0.3 0.25\n0 -9.81 0 0 0 0 0.5\n0 0 0 1 1 2 3 0.5\n");
  ASSERT_TRUE(LoadImuFile(good, &time, imu, prior));
  EXPECT_EQ(0.5, time);
  ASSERT_EQ(2u, imu.size());
  EXPECT_EQ(-9.81, imu[0].acceleration[0]);  // stored as read
  EXPECT_EQ(0.3, imu[0].rotationRate[2]);
  EXPECT_EQ(-9.81, imu[1].acceleration[1]);
  EXPECT_EQ(0.5, imu[1].time);
  EXPECT_EQ(3.0, prior[6]);
  for (const char* bad : {"0.5 2\n1 2 3 4 5 6 7\n", "0.5 x\n", "0.5 99999999999\n",
                          "0.5 0\n0 0 0 1 1 2 3\n", "0.5 -1\n0 0 0 1 1 2 3 0.5\n"}) {
    time = -1.0;
    EXPECT_FALSE(LoadImuFile(folder.Write("bad.txt", bad), &time, imu, prior)) << bad;
    EXPECT_EQ(-1.0, time);
    EXPECT_EQ(3.0, prior[6]);
  }
  EXPECT_FALSE(LoadImuFile(folder.File("missing.txt"), &time, imu, prior));
  // What no tracker can take: a sample with a value that is not finite is
  // dropped, and so is a prior (one such prior left every frame unposed);
  // a usable prior's rotation comes as a unit quaternion with w >= 0.
  ASSERT_TRUE(LoadImuFile(
      folder.Write("nan.txt", "0.5 2\nnan 0 0 0 0 0 0.25\n0 0 0 0 0 1 0.5\n0 0 nan 1 1 2 3 0.5\n"),
      &time, imu, prior));
  ASSERT_EQ(1u, imu.size());
  EXPECT_EQ(1.0, imu[0].rotationRate[2]);
  EXPECT_EQ(kNoPriorTime, prior[7]);
  ASSERT_TRUE(
      LoadImuFile(folder.Write("zero.txt", "0.5 0\n0 0 0 0 1 2 3 0.5\n"), &time, imu, prior));
  EXPECT_EQ(kNoPriorTime, prior[7]);
  ASSERT_TRUE(
      LoadImuFile(folder.Write("long.txt", "0.5 0\n0 0 -3 -4 1 2 3 0.5\n"), &time, imu, prior));
  EXPECT_DOUBLE_EQ(0.6, prior[2]);
  EXPECT_DOUBLE_EQ(0.8, prior[3]);
  EXPECT_EQ(1.0, prior[4]);  // the rest as read
  EXPECT_EQ(0.5, prior[7]);

  float marker[10] = {};
  EXPECT_FALSE(LoadMarkerFile(folder.Write("m9.txt", "1 2 3 4 5 6 7 8 9"), marker));
  EXPECT_EQ(0.0f, marker[0]);
  ASSERT_TRUE(LoadMarkerFile(folder.Write("m.txt", "1 2 3 4 5 6 7 8 0.2 0.3\n"), marker));
  EXPECT_EQ(1.0f, marker[0]);
  EXPECT_EQ(0.3f, marker[9]);
}

// What the demo writer puts down reads back as it was, up to the g round
// trip of the accelerations.
TEST(DiskInputTest, WrittenRecordsReadBack) {
  TempFolder folder;
  CVD::Image<u8> grey(CVD::ImageRef(5, 4));
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) grey[y][x] = static_cast<u8>(17 * x + 3 * y);
  }
  const std::vector<IMUSample> imu = {{{0.5, -9.81, 2.0}, {0.1, 0.2, 0.3}, 0.0},
                                      {{1.0, 0.0, -1.5}, {-0.1, 0.0, 0.7}, 0.005}};
  const f64 prior[8] = {0.0, 0.6, 0.0, 0.8, -1.0, 2.0, -3.0, 0.01};
  ASSERT_TRUE(WriteFrameRecord(folder.File("r.dat"), grey, 0.01, imu, prior));
  FrameRecordReader reader;
  DiskFrame frame;
  std::vector<IMUSample> read;
  f64 readPrior[8];
  ASSERT_TRUE(reader.LoadFrameRecord(folder.File("r.dat"), frame, read, readPrior));
  EXPECT_EQ(0.01, frame.time);
  EXPECT_EQ(grey[3][4], frame.grey[3][4]);
  ASSERT_EQ(2u, read.size());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(imu[i].time, read[i].time);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(imu[i].acceleration[k], read[i].acceleration[k], 1e-12);
      EXPECT_EQ(imu[i].rotationRate[k], read[i].rotationRate[k]);
    }
  }
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(prior[i], readPrior[i], 1e-15) << i;
  EXPECT_FALSE(WriteFrameRecord(folder.File("missing/r.dat"), grey, 0.0, imu, prior));
}
