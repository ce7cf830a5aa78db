// AlignedArray growth rules, ownership of wrapped memory, alignment after
// every reallocation, pushes of the array's own elements, and the record
// stream with truncated and hostile files.
#include "la/AlignedArray.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "la/LinearAlgebra.h"
#include "la/Pose.h"

namespace {

bool Aligned32(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % 32 == 0;
}

using Point = LA::Vector2<float>;

TEST(AlignedArray, GrowthRules) {
  { AlignedArray<Point> untouched; }  // frees nothing

  AlignedArray<Point> a;
  const Point three[3] = {{1, 2}, {3, 4}, {5, 6}};
  a.Append8(three, 0);
  EXPECT_EQ(a.Capacity(), 0u);
  a.Append8(three, 3);
  EXPECT_EQ(a.Size(), 3u);
  EXPECT_EQ(a.Capacity(), 100002u);
  const Point* buffer = a.Data();
  a.Append8(three, 3);
  EXPECT_EQ(a.Data(), buffer);
  EXPECT_EQ(a[5].y, 6.0f);

  AlignedArray<CameraPose> poses;
  poses.PushBack48(CameraPose{});
  EXPECT_EQ(poses.Size(), 1u);
  EXPECT_EQ(poses.Capacity(), 1000u);

  AlignedArray<IMUState> states;
  states.PushBack136(IMUState{});
  EXPECT_EQ(states.Capacity(), 1000u);

  AlignedArray<LA::AlignedVector4f> points;
  points.PushBack16({{1, 2, 3, 4}});
  EXPECT_EQ(points.Capacity(), 20u);

  AlignedArray<Point> reserved;
  reserved.Reserve(5);
  for (int i = 0; i < 5; ++i) reserved.PushBackReserved8({float(i), 0});
  EXPECT_EQ(reserved.Capacity(), 5u);
  reserved.PushBackReserved8({5, 0});
  EXPECT_EQ(reserved.Capacity(), 25u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(reserved[i].x, float(i));
}

TEST(AlignedArray, AssignCopyAndWrap) {
  AlignedArray<LA::AlignedVector4f> src10, src30, dst;
  for (int i = 0; i < 30; ++i) {
    if (i < 10) src10.PushBack16({{float(i), 0, 0, 0}});
    src30.PushBack16({{float(i), 1, 0, 0}});
  }
  dst.Resize(20);
  const void* buffer = dst.Data();
  AssignAlignedArray16(dst, src10);
  EXPECT_EQ(dst.Size(), 10u);
  EXPECT_EQ(dst.Capacity(), 20u);
  EXPECT_EQ(dst.Data(), buffer);
  EXPECT_EQ(dst[9][0], 9.0f);
  AssignAlignedArray16(dst, src30);
  EXPECT_EQ(dst.Capacity(), 30u);
  EXPECT_EQ(dst[29][1], 1.0f);
  EXPECT_NE(dst.Data(), src30.Data());

  AlignedArray<Point> pts;
  pts.PushBack8({1, 2});
  pts.PushBack8({3, 4});
  const AlignedArray<Point> copy(pts);
  EXPECT_EQ(copy.Size(), 2u);
  EXPECT_EQ(copy.Capacity(), 2u);
  EXPECT_NE(copy.Data(), pts.Data());
  EXPECT_EQ(copy[1].y, 4.0f);

  // Wrapped foreign memory is replaced, never freed or written, on growth.
  alignas(32) LA::AlignedVector4f foreign[4] = {};
  AlignedArray<LA::AlignedVector4f> wrap;
  wrap.Wrap(foreign, 2, 4);
  EXPECT_FALSE(wrap.Owns());
  AssignAlignedArray16(wrap, src30);
  EXPECT_TRUE(wrap.Owns());
  EXPECT_NE(wrap.Data(), foreign);
  EXPECT_EQ(foreign[0][0], 0.0f);
  wrap.Wrap(foreign, 4, 4);
  wrap.PushBack16({{7, 7, 7, 7}});  // grows: keeps the four foreign elements
  EXPECT_TRUE(wrap.Owns());
  EXPECT_EQ(wrap.Size(), 5u);
  EXPECT_EQ(wrap[4][0], 7.0f);
}

TEST(AlignedArray, StaysAlignedAfterEveryReallocation) {
  AlignedArray<Point> a;
  u32 reallocations = 0;
  for (int i = 0; i < 300; ++i) {
    const u32 capacity = a.Capacity();
    a.PushBack8({float(i), 0});
    if (a.Capacity() != capacity) {
      ++reallocations;
      EXPECT_TRUE(Aligned32(a.Data()));
    }
  }
  EXPECT_EQ(reallocations, 15u);
  for (u32 n : {1u, 1000u, 3u, 5000u}) {
    a.Resize(n);
    EXPECT_TRUE(Aligned32(a.Data()));
  }
}

TEST(AlignedArray, PushingItsOwnElementWhileGrowing) {
  AlignedArray<IMUState> a;
  IMUState s{};
  for (int i = 0; i < 1000; ++i) {
    s.time = i;
    a.PushBack136(s);
  }
  ASSERT_EQ(a.Size(), a.Capacity());
  a.PushBack136(a[3]);  // the old buffer dies during this call
  EXPECT_EQ(a.Size(), 1001u);
  EXPECT_EQ(a[1000].time, 3.0);

  AlignedArray<Point> p;
  p.Append8(std::vector<Point>(100002, {1, 2}).data(), 100002);
  ASSERT_EQ(p.Size(), p.Capacity());
  p[0] = {9, 9};
  p.Append8(p.Data(), 2);  // its own range, with growth
  EXPECT_EQ(p.Size(), 100004u);
  EXPECT_EQ(p[100002].x, 9.0f);
  EXPECT_EQ(p[100003].y, 2.0f);
}

// Record streams of key-frame states, as the map files hold them.
class RecordStream : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = std::tmpfile();
    ASSERT_NE(file_, nullptr);
    for (int i = 0; i < 25; ++i) {
      IMUState s{};
      s.time = i;
      s.quaternion[3] = 1;
      states_.PushBack136(s);
    }
  }
  void TearDown() override {
    if (file_) std::fclose(file_);
  }
  static AlignedArray<IMUState> Prefilled() {
    AlignedArray<IMUState> a;
    IMUState s{};
    s.time = -1;
    a.PushBack136(s);
    return a;
  }
  FILE* file_ = nullptr;
  AlignedArray<IMUState> states_;
};

TEST_F(RecordStream, RoundTripOfConsecutiveArrays) {
  AlignedArray<IMUState> empty;
  ASSERT_TRUE(WriteAlignedArray(file_, states_));
  ASSERT_TRUE(WriteAlignedArray(file_, empty));
  ASSERT_TRUE(WriteAlignedArray(file_, states_));
  EXPECT_EQ(std::ftell(file_), long(3 * 4 + 2 * 25 * 136));
  std::rewind(file_);
  AlignedArray<IMUState> a = Prefilled(), b = Prefilled(), c;
  ASSERT_TRUE(ReadAlignedArray136(file_, a));
  ASSERT_TRUE(ReadAlignedArray136(file_, b));
  ASSERT_TRUE(ReadAlignedArray136(file_, c));
  EXPECT_EQ(b.Size(), 0u);
  ASSERT_EQ(a.Size(), 25u);
  ASSERT_EQ(c.Size(), 25u);
  for (u32 i = 0; i < 25; ++i) {
    EXPECT_EQ(a[i].time, double(i));
    EXPECT_EQ(c[i].quaternion[3], 1.0);
  }
  // At the end of the file: false, and the array untouched.
  EXPECT_FALSE(ReadAlignedArray136(file_, a));
  EXPECT_EQ(a.Size(), 25u);
}

TEST_F(RecordStream, TruncatedFileIsRefusedAndLeavesTheArrayEmpty) {
  ASSERT_TRUE(WriteAlignedArray(file_, states_));
  std::fflush(file_);
  ASSERT_EQ(ftruncate(fileno(file_), 4 + 24 * 136 + 100), 0);
  std::rewind(file_);
  AlignedArray<IMUState> a = Prefilled();
  EXPECT_FALSE(ReadAlignedArray136(file_, a));
  EXPECT_EQ(a.Size(), 0u);
}

TEST_F(RecordStream, HostileCountIsRefusedBeforeAllocating) {
  const u32 count = 0xFFFFFFFFu;  // 584 GB of records: allocating would fail
  ASSERT_EQ(std::fwrite(&count, 4, 1, file_), 1u);
  ASSERT_EQ(std::fwrite(states_.Data(), 136, 2, file_), 2u);
  std::rewind(file_);
  AlignedArray<IMUState> a = Prefilled();
  EXPECT_FALSE(ReadAlignedArray136(file_, a));
  EXPECT_EQ(a.Size(), 0u);
  EXPECT_LE(a.Capacity(), 1000u);
}

// A pipe cannot be measured: the reader must still notice missing records.
TEST_F(RecordStream, PipeStreamsAreCheckedByWhatArrives) {
  for (bool truncated : {false, true}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const u32 count = truncated ? 5000000u : 25u;
    ASSERT_EQ(write(fds[1], &count, 4), 4);
    ASSERT_EQ(write(fds[1], states_.Data(), 25 * 136), 25 * 136);
    close(fds[1]);
    FILE* in = fdopen(fds[0], "rb");
    ASSERT_NE(in, nullptr);
    AlignedArray<IMUState> a = Prefilled();
    EXPECT_EQ(ReadAlignedArray136(in, a), !truncated);
    EXPECT_EQ(a.Size(), truncated ? 0u : 25u);
    if (!truncated) {
      EXPECT_EQ(a[24].time, 24.0);
    }
    EXPECT_LT(a.Capacity(), 100000u) << "growth must follow the data, not the count";
    std::fclose(in);
  }
}

}  // namespace
