// ctest-labels: threads
// The thread-local generator: threads seeded alike draw the same sequence while
// another thread reseeds all along, an unseeded thread starts from seed 1, and
// the top bit is as random as the others.
#include "la/Random.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(Random, ThreadsSeededAlikeDrawTheSameSequenceOfThirtyOneBits) {
  const auto draw = [](int n, u32 seed) {  // n draws after Seed(seed), unseeded for seed 0
    if (seed != 0) Random::Seed(seed);
    std::vector<u32> v(n);
    for (auto& x : v) x = Random::Next();
    return v;
  };
  std::vector<u32> a, b, fresh;
  std::atomic<bool> stop{false};
  std::thread noise([&] {
    for (u32 s = 0; !stop; ++s) Random::Seed(s), Random::Next();
  });
  std::thread t1([&] { a = draw(10000, 1234); }), t2([&] { b = draw(10000, 1234); });
  std::thread t3([&] { fresh = draw(100, 0); });
  for (std::thread* t : {&t1, &t2, &t3}) t->join();
  stop = true;
  noise.join();
  EXPECT_EQ(a, draw(10000, 1234));
  EXPECT_EQ(b, a);
  EXPECT_EQ(fresh, draw(100, 1));
  u32 high = 0;
  for (u32 x : a) high += x >> 30;  // 0 or 1 below kMax
  EXPECT_NEAR(high, 5000, 300);
  EXPECT_EQ(Random::Index(0), 0u);
}

}  // namespace
