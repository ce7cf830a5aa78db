// The thread-local generator: equal seeds give equal sequences in any thread,
// and one thread's reseeding never disturbs another's sequence.
#include "la/Random.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<u32> Draw(u32 seed, int n) {
  Random::Seed(seed);
  std::vector<u32> v(n);
  for (auto& x : v) x = Random::Next();
  return v;
}

TEST(Random, ThreadsSeededAlikeDrawTheSameSequence) {
  const std::vector<u32> reference = Draw(1234, 10000);
  std::vector<u32> a, b;
  std::atomic<int> ready{0};
  // Both threads draw at the same time while a third reseeds all along.
  std::atomic<bool> stop{false};
  std::thread noise([&] {
    u32 s = 0;
    while (!stop) Random::Seed(s++), Random::Next();
  });
  auto worker = [&](std::vector<u32>& out) {
    Random::Seed(1234);
    ++ready;
    while (ready < 2) std::this_thread::yield();
    out.resize(10000);
    for (auto& x : out) x = Random::Next();
  };
  std::thread t1(worker, std::ref(a)), t2(worker, std::ref(b));
  t1.join();
  t2.join();
  stop = true;
  noise.join();
  EXPECT_EQ(a, reference);
  EXPECT_EQ(b, reference);
}

TEST(Random, UnseededThreadStartsFromSeedOne) {
  std::vector<u32> fresh(100);
  std::thread t([&] {
    for (auto& x : fresh) x = Random::Next();
  });
  t.join();
  EXPECT_EQ(fresh, Draw(1, 100));
}

TEST(Random, RangeAndIndices) {
  Random::Seed(7);
  int high = 0;
  for (int i = 0; i < 100000; ++i) {
    const u32 v = Random::Next();
    ASSERT_LE(v, Random::kMax);
    high += (v >> 30) & 1;  // the 31st bit is as random as the others
    const u32 k = Random::Index(7);
    ASSERT_LT(k, 7u);
  }
  EXPECT_NEAR(high, 50000, 1000);
  EXPECT_EQ(Random::Index(0), 0u);
  EXPECT_EQ(Random::Index(1), 0u);
  EXPECT_NE(Draw(1, 8), Draw(2, 8));
}

}  // namespace
