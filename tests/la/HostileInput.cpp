// Hostile input to the bottom library: LAPACK calls on matrices holding NaN
// or infinity (the SVD used to loop for ever), a record stream read from a
// pipe into an array that wraps foreign memory, and integers that do not fit
// 32 bits in the configuration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "la/AlignedArray.h"
#include "la/Configuration.h"
#include "la/Lapack.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(LapackWrappers, RefuseNonFiniteMatricesAndStillSolveFiniteOnes) {
  for (const float bad : {kNaN, kInf, -kInf}) {
    // diag(3, 2, 1) with one spoilt entry, column-major, leading dimension 4.
    float a[16] = {3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0};
    a[4] = bad;
    float s[3], u[16], vt[16], work[64];
    EXPECT_EQ(Lapack::Gesvd('A', 'A', 3, 3, a, 4, s, u, 4, vt, 4, work, 64),
              Lapack::kNonFiniteInput);
    float w[3];
    EXPECT_EQ(Lapack::Syev('V', 'L', 3, a, 4, w, work, 64), Lapack::kNonFiniteInput);
    float wr[3], wi[3];
    EXPECT_EQ(Lapack::Geev('N', 'N', 3, a, 4, wr, wi, u, 1, vt, 1, work, 64),
              Lapack::kNonFiniteInput);
    int pivots[3];
    float b[4] = {1, 1, 1, 0};
    EXPECT_EQ(Lapack::Gesv(3, 1, a, 4, pivots, b, 4), Lapack::kNonFiniteInput);
    EXPECT_EQ(Lapack::Gels('N', 3, 3, 1, a, 4, b, 4, work, 64), Lapack::kNonFiniteInput);
    // A bad right-hand side is refused as well.
    float good[16] = {3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0};
    float rhs[4] = {1, bad, 1, 0};
    EXPECT_EQ(Lapack::Gesv(3, 1, good, 4, pivots, rhs, 4), Lapack::kNonFiniteInput);
  }
  float a[16] = {3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0};
  float s[3], u[16], vt[16], work[64];
  ASSERT_EQ(Lapack::Gesvd('N', 'N', 3, 3, a, 4, s, u, 1, vt, 1, work, 64), 0);
  EXPECT_FLOAT_EQ(s[0], 3.0f);
  EXPECT_FLOAT_EQ(s[2], 1.0f);
}

struct Record {
  u8 bytes[136];
};

// The read end of a pipe holding the bytes (they fit the pipe's buffer).
FILE* PipeOf(const std::vector<u8>& bytes) {
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  const ssize_t n = write(fds[1], bytes.data(), bytes.size());
  close(fds[1]);
  if (n != static_cast<ssize_t>(bytes.size())) return nullptr;
  return fdopen(fds[0], "rb");
}

TEST(ReadAlignedArray136, PipeIntoWrappedMemoryLeavesItAloneWhenTheRecordsDoNotFit) {
  // Two records in a stream; the array wraps foreign room for one.
  std::vector<u8> stream(4 + 2 * sizeof(Record));
  const u32 count = 2;
  std::memcpy(stream.data(), &count, 4);
  for (size_t i = 4; i < stream.size(); ++i) stream[i] = static_cast<u8>(i);
  std::vector<Record> foreign(2);
  std::memset(foreign.data(), 0xA5, sizeof(Record) * foreign.size());
  AlignedArray<Record> array;
  array.Wrap(foreign.data(), 0, 1);
  FILE* f = PipeOf(stream);
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(ReadAlignedArray136(f, array));
  std::fclose(f);
  EXPECT_TRUE(array.Owns());
  ASSERT_EQ(array.Size(), 2u);
  EXPECT_EQ(std::memcmp(array.Data(), stream.data() + 4, 2 * sizeof(Record)), 0);
  const u8* raw = reinterpret_cast<const u8*>(foreign.data());
  for (size_t i = 0; i < sizeof(Record) * foreign.size(); ++i) ASSERT_EQ(raw[i], 0xA5) << i;

  // A stream that ends early: false, empty, foreign memory still untouched.
  stream.resize(4 + sizeof(Record) + 10);
  array.Wrap(foreign.data(), 0, 1);
  f = PipeOf(stream);
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(ReadAlignedArray136(f, array));
  std::fclose(f);
  EXPECT_EQ(array.Size(), 0u);
  for (size_t i = 0; i < sizeof(Record) * foreign.size(); ++i) ASSERT_EQ(raw[i], 0xA5) << i;
}

TEST(ConfigGetInt, KeepsTheDefaultForNumbersBeyondThirtyTwoBits) {
  const Configuration config = {
      {"wraps", "4294967296"}, {"low", "-2147483649"}, {"huge", "99999999999999999999999"},
      {"max", "2147483647"},   {"min", "-2147483648"}, {"trailing", "12abc"},
      {"text", "abc"}};
  EXPECT_EQ(ConfigGetInt(config, "wraps", 5), 5);
  EXPECT_EQ(ConfigGetInt(config, "low", 5), 5);
  EXPECT_EQ(ConfigGetInt(config, "huge", 5), 5);
  EXPECT_EQ(ConfigGetInt(config, "max", 5), INT32_MAX);
  EXPECT_EQ(ConfigGetInt(config, "min", 5), INT32_MIN);
  EXPECT_EQ(ConfigGetInt(config, "trailing", 5), 12);
  EXPECT_EQ(ConfigGetInt(config, "text", 5), 0);
  EXPECT_EQ(ConfigGetInt(config, "missing", 5), 5);
}

}  // namespace
