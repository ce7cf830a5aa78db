// AlignedArray growth rules and alignment, wrapped foreign memory, pushes of
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

// n key-frame states as the map files hold them, numbered by their time.
AlignedArray<IMUState> States(u32 n) {
  AlignedArray<IMUState> a;
  for (u32 i = 0; i < n; ++i) a.PushBack136(IMUState{{}, {}, {0, 0, 0, 1}, {}, {}, double(i)});
  return a;
}

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

  AlignedArray<Point> reserved;
  reserved.Reserve(5);
  for (int i = 0; i < 6; ++i) reserved.PushBackReserved8({float(i), 0});
  EXPECT_EQ(reserved.Capacity(), 25u);
  EXPECT_EQ(reserved[5].x, 5.0f);
  // Copies of every size own their own buffer with the same elements.
  for (u32 n : {0u, 1u, 3u}) {
    reserved.Resize(n);
    const AlignedArray<Point> copy(reserved);
    ASSERT_EQ(copy.Size(), n);
    EXPECT_TRUE(n == 0 || copy.Data() != reserved.Data());
    for (u32 i = 0; i < n; ++i) EXPECT_EQ(copy[i].x, reserved[i].x);
  }
}

// Growth replaces wrapped memory by an owned buffer, keeps its elements and
// never frees or writes the foreign memory.
TEST(AlignedArray, WrappedMemoryIsReplacedNeverFreed) {
  AlignedArray<IMUState> wrap;
  alignas(32) IMUState foreign[4] = {};
  foreign[3].time = 3.0;
  wrap.Wrap(foreign, 2, 4);
  AssignAlignedArray136(wrap, States(30));
  EXPECT_TRUE(wrap.Owns());
  EXPECT_EQ(foreign[0].time, 0.0);
  wrap.Wrap(foreign, 4, 4);
  EXPECT_FALSE(wrap.Owns());
  wrap.PushBack136(foreign[0]);
  EXPECT_TRUE(wrap.Owns());
  EXPECT_EQ(wrap.Size(), 5u);
  EXPECT_EQ(wrap[3].time, 3.0);
}

// The old buffer dies during these growths: the source must be copied first.
TEST(AlignedArray, PushingItsOwnElementsWhileGrowing) {
  AlignedArray<IMUState> a = States(1000);
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
