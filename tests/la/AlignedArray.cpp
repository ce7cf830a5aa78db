// AlignedArray growth, copies, wrapped foreign memory and pushes of its own
// elements across a reallocation; the record stream with truncated, hostile
// and unmeasurable input.
#include "la/AlignedArray.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>

#include "la/Pose.h"

namespace {

// n key-frame states as the map files hold them, numbered by their time.
AlignedArray<IMUState> States(u32 n) {
  AlignedArray<IMUState> a;
  for (u32 i = 0; i < n; ++i) a.PushBack136(IMUState{{}, {}, {0, 0, 0, 1}, {}, {}, double(i)});
  return a;
}

TEST(AlignedArray, GrowthCopiesAndWrappedMemory) {
  AlignedArray<LA::Vector2<float>> a;
  for (u32 i = 0; i < 300; ++i) {
    a.PushBack8({float(i), 0});
    EXPECT_EQ(a.Capacity(), (i / 20 + 1) * 20) << "steps of 20";
  }
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.Data()) % 32, 0u);
  // Copies own their own buffer with the same elements, also when empty.
  const AlignedArray<LA::Vector2<float>> copy(a), none, noneCopy(none);
  EXPECT_TRUE(copy.Data() != a.Data() && copy[299].x == 299.0f && noneCopy.Size() == 0);
  // Append grows by the smallest multiple of n above 10^5, or not at all for
  // n = 0, and may append the array's own elements.
  a.Append8(nullptr, 0);
  EXPECT_EQ(a.Capacity(), 300u);
  a.Append8(a.Data(), 20);
  EXPECT_EQ(a.Capacity(), 300u + 20u * 5001);
  EXPECT_EQ(a[319].x, 19.0f);

  // Growth replaces wrapped memory by an owned buffer, keeps its elements and
  // never frees or writes the foreign memory; a push of the array's own
  // element survives the death of the old buffer.
  AlignedArray<IMUState> s;
  alignas(32) IMUState foreign[4] = {};
  foreign[3].time = 3.0;
  s.Wrap(foreign, 2, 4);
  AssignAlignedArray136(s, States(1000));
  EXPECT_TRUE(s.Owns() && foreign[0].time == 0.0);
  s.PushBack136(s[3]);
  EXPECT_EQ(s[1000].time, 3.0);
  s.Wrap(foreign, 4, 4);
  EXPECT_FALSE(s.Owns());
  s.PushBack136(foreign[0]);
  EXPECT_TRUE(s.Owns() && s.Size() == 5 && s[3].time == 3.0);
}

// A size that moves from call to call grows with a quarter to spare and then
// keeps its buffer until it passes that.
TEST(AlignedArray, ResizeWithRoom) {
  AlignedArray<u32> a;
  a.ResizeWithRoom(100);
  EXPECT_EQ(a.Size(), 100u);
  EXPECT_EQ(a.Capacity(), 125u);
  const u32* buffer = a.Data();
  a.ResizeWithRoom(125);
  a.ResizeWithRoom(3);
  EXPECT_TRUE(a.Data() == buffer && a.Size() == 3u && a.Capacity() == 125u);
  a.ResizeWithRoom(126);
  EXPECT_EQ(a.Capacity(), 157u);
}

// A count, then some records, in a file or through a pipe (which cannot be
// measured: the reader must notice missing records as it reads), into an
// owned array or one wrapping foreign memory too small for the records.
TEST(RecordStream, RoundTripAndCountsTheDataDoesNotHold) {
  const u32 kNoCount = 7;  // an empty stream
  const struct {
    bool pipe;
    u32 count, records;
    bool wrap;
  } cases[] = {{false, 1, 1, false},   {false, 0, 0, false},           {false, kNoCount, 0, false},
               {false, 25, 24, false}, {false, 0xFFFFFFFFu, 2, false}, {true, 25, 25, false},
               {true, 26, 25, false},  {true, 5000000, 25, false},     {true, 25, 25, true},
               {true, 25, 24, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " announced, " << c.records << " records, pipe "
                                    << c.pipe << ", wrap " << c.wrap);
    const bool ok = c.count == c.records;
    int fds[2];
    ASSERT_TRUE(!c.pipe || pipe(fds) == 0);
    FILE* f = c.pipe ? fdopen(fds[1], "wb") : std::tmpfile();
    ASSERT_NE(f, nullptr);
    if (ok) {
      ASSERT_TRUE(WriteAlignedArray(f, States(c.records)));
    } else if (c.count != kNoCount) {
      std::fwrite(&c.count, 4, 1, f);
      std::fwrite(States(c.records).Data(), 136, c.records, f);
    }
    if (c.pipe) {
      std::fclose(f);
      f = fdopen(fds[0], "rb");
    } else {
      std::rewind(f);
    }
    AlignedArray<IMUState> a = States(1);
    IMUState foreign[2] = {};
    foreign[0].time = foreign[1].time = -1.0;
    if (c.wrap) a.Wrap(foreign, 0, 1);
    EXPECT_EQ(ReadAlignedArray136(f, a), ok && c.count != kNoCount);
    // A missing count leaves the array untouched, missing records empty.
    EXPECT_EQ(a.Size(), c.count == kNoCount ? 1 : ok ? c.count : 0u);
    for (u32 i = 0; i < a.Size(); ++i) EXPECT_EQ(a[i].time, double(i));
    EXPECT_TRUE(!ok || a.Owns());
    EXPECT_LT(a.Capacity(), 100000u) << "growth must follow the data, not the count";
    EXPECT_TRUE(c.pipe || a.Capacity() == 1000)
        << "a file is measured before anything is allocated";
    EXPECT_TRUE(foreign[0].time == -1.0 && foreign[1].time == -1.0) << "foreign memory written";
    std::fclose(f);
  }
}

}  // namespace
