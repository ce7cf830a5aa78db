// AlignedArray growth rules and alignment, foreign (wrapped) memory, pushes of
// the array's own elements across a reallocation, and the record stream with
// truncated, hostile and unmeasurable input.
#include "la/AlignedArray.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "la/LinearAlgebra.h"
#include "la/Pose.h"

namespace {

using Point = LA::Vector2<float>;
using Vector4 = LA::AlignedVector4f;

bool Aligned32(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % 32 == 0;
}

TEST(AlignedArray, GrowthStepsPerRecordKindKeepAlignment) {
  AlignedArray<Point> a;
  u32 reallocations = 0;
  for (int i = 0; i < 300; ++i) {
    const u32 capacity = a.Capacity();
    a.PushBack8({float(i), 0});
    reallocations += a.Capacity() != capacity;
    EXPECT_TRUE(Aligned32(a.Data()));
  }
  EXPECT_EQ(reallocations, 15u);  // steps of 20
  for (u32 n : {1u, 1000u, 3u, 5000u}) {
    a.Resize(n);
    EXPECT_TRUE(Aligned32(a.Data()));
  }

  AlignedArray<CameraPose> poses;
  poses.PushBack48(CameraPose{});
  AlignedArray<IMUState> states;
  states.PushBack136(IMUState{});
  AlignedArray<Vector4> vectors;
  vectors.PushBack16({{1, 2, 3, 4}});
  EXPECT_EQ(poses.Capacity(), 1000u);
  EXPECT_EQ(states.Capacity(), 1000u);
  EXPECT_EQ(vectors.Capacity(), 20u);

  AlignedArray<Point> reserved;
  reserved.Reserve(5);
  for (int i = 0; i < 6; ++i) reserved.PushBackReserved8({float(i), 0});
  EXPECT_EQ(reserved.Capacity(), 25u);
  EXPECT_EQ(reserved[5].x, 5.0f);
}

TEST(AlignedArray, AssignmentKeepsBuffersAndForeignMemoryIsNeverFreed) {
  AlignedArray<Vector4> src10, src30, dst;
  for (int i = 0; i < 30; ++i) {
    if (i < 10) src10.PushBack16({{float(i), 0, 0, 0}});
    src30.PushBack16({{float(i), 1, 0, 0}});
  }
  dst.Resize(20);
  const void* buffer = dst.Data();
  AssignAlignedArray16(dst, src10);
  EXPECT_EQ(dst.Data(), buffer);
  EXPECT_EQ(dst.Size(), 10u);
  EXPECT_EQ(dst[9][0], 9.0f);

  // Growth replaces wrapped memory by an owned buffer and keeps its elements.
  alignas(32) Vector4 foreign[4] = {};
  foreign[3][0] = 3.0f;
  AlignedArray<Vector4> wrap;
  wrap.Wrap(foreign, 2, 4);
  AssignAlignedArray16(wrap, src30);
  EXPECT_TRUE(wrap.Owns());
  EXPECT_EQ(foreign[0][0], 0.0f);
  wrap.Wrap(foreign, 4, 4);
  EXPECT_FALSE(wrap.Owns());
  wrap.PushBack16({{7, 7, 7, 7}});
  EXPECT_TRUE(wrap.Owns());
  EXPECT_EQ(wrap[3][0], 3.0f);
  EXPECT_EQ(wrap[4][0], 7.0f);
}

// The old buffer dies during these growths: the source must be copied first.
TEST(AlignedArray, PushingItsOwnElementsWhileGrowing) {
  AlignedArray<IMUState> a;
  IMUState s{};
  for (int i = 0; i < 1000; ++i) {
    s.time = i;
    a.PushBack136(s);
  }
  ASSERT_EQ(a.Size(), a.Capacity());
  a.PushBack136(a[3]);
  EXPECT_EQ(a[1000].time, 3.0);

  // Append grows by the smallest multiple of n above 10^5, or not at all for n = 0.
  AlignedArray<Point> p;
  p.Append8(nullptr, 0);
  EXPECT_EQ(p.Capacity(), 0u);
  p.Append8(std::vector<Point>(100002, {1, 2}).data(), 100002);
  ASSERT_EQ(p.Capacity(), 100002u);
  p[0] = {9, 9};
  p.Append8(p.Data(), 2);
  EXPECT_EQ(p.Capacity(), 200004u);
  EXPECT_EQ(p[100002].x, 9.0f);
  EXPECT_EQ(p[100003].y, 2.0f);
}

// Key-frame states as the map files hold them, and an array holding one
// record, to show whether a read empties it.
AlignedArray<IMUState> States(u32 n) {
  AlignedArray<IMUState> a;
  for (u32 i = 0; i < n; ++i) a.PushBack136(IMUState{{}, {}, {0, 0, 0, 1}, {}, {}, double(i)});
  return a;
}

TEST(RecordStream, RoundTripOfConsecutiveArrays) {
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  for (u32 n : {25u, 0u, 3u}) ASSERT_TRUE(WriteAlignedArray(f, States(n)));
  EXPECT_EQ(std::ftell(f), long(3 * 4 + 28 * 136));
  std::rewind(f);
  for (u32 n : {25u, 0u, 3u}) {
    AlignedArray<IMUState> a = States(1);
    ASSERT_TRUE(ReadAlignedArray136(f, a));
    ASSERT_EQ(a.Size(), n);
    for (u32 i = 0; i < n; ++i) EXPECT_EQ(a[i].time, double(i));
  }
  // No count left: false, and the array untouched.
  AlignedArray<IMUState> a = States(1);
  EXPECT_FALSE(ReadAlignedArray136(f, a));
  EXPECT_EQ(a.Size(), 1u);
  std::fclose(f);
}

// A count, then some records, in a file or through a pipe (which cannot be
// measured: the reader must notice missing records as it reads).
TEST(RecordStream, CountsTheDataDoesNotHoldAreRefusedWithoutAllocating) {
  const AlignedArray<IMUState> states = States(25);
  const struct {
    bool pipe;
    u32 count, records;
  } cases[] = {{false, 25, 24},
               {false, 0xFFFFFFFFu, 2},
               {true, 25, 25},
               {true, 26, 25},
               {true, 5000000, 25}};
  for (const auto& c : cases) {
    FILE* f = nullptr;
    int fds[2];
    if (c.pipe && pipe(fds) == 0) {
      EXPECT_EQ(write(fds[1], &c.count, 4), 4);
      EXPECT_EQ(write(fds[1], states.Data(), c.records * 136), ssize_t(c.records * 136));
      close(fds[1]);
      f = fdopen(fds[0], "rb");
    } else if (!c.pipe && (f = std::tmpfile()) != nullptr) {
      std::fwrite(&c.count, 4, 1, f);
      std::fwrite(states.Data(), 136, c.records, f);
      std::rewind(f);
    }
    ASSERT_NE(f, nullptr);
    AlignedArray<IMUState> a = States(1);
    const bool ok = c.count == c.records;
    EXPECT_EQ(ReadAlignedArray136(f, a), ok) << c.count << " records announced";
    EXPECT_EQ(a.Size(), ok ? 25u : 0u);
    EXPECT_TRUE(!ok || a[24].time == 24.0);
    EXPECT_LT(a.Capacity(), 100000u) << "growth must follow the data, not the count";
    std::fclose(f);
  }
}

}  // namespace
