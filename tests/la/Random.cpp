// The thread-local generator: threads seeded alike draw the same sequence while
// another thread reseeds all along, an unseeded thread starts from seed 1, and
// the top bit is as random as the others.
#include "la/Random.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<u32> Draw(int n) {
  std::vector<u32> v(n);
  for (auto& x : v) x = Random::Next();
  return v;
}

TEST(Random, ThreadsSeededAlikeDrawTheSameSequence) {
  Random::Seed(1234);
  const std::vector<u32> reference = Draw(10000);
  std::vector<u32> a, b, fresh;
  std::atomic<int> ready{0};
  std::atomic<bool> stop{false};
  std::thread noise([&] {
    for (u32 s = 0; !stop; ++s) Random::Seed(s), Random::Next();
  });
  auto worker = [&](std::vector<u32>& out) {
    Random::Seed(1234);
    for (++ready; ready < 2;) std::this_thread::yield();
    out = Draw(10000);
  };
  std::thread t1(worker, std::ref(a)), t2(worker, std::ref(b));
  std::thread unseeded([&] { fresh = Draw(100); });
  t1.join();
  t2.join();
  unseeded.join();
  stop = true;
  noise.join();
  EXPECT_EQ(a, reference);
  EXPECT_EQ(b, reference);
  Random::Seed(1);
  EXPECT_EQ(fresh, Draw(100));
}

TEST(Random, ThirtyOneRandomBitsAndNoDivisionByZero) {
  Random::Seed(7);
  u32 high = 0;
  for (int i = 0; i < 100000; ++i) high += Random::Next() >> 30;  // 0 or 1 below kMax
  EXPECT_NEAR(high, 50000, 1000);
  EXPECT_EQ(Random::Index(0), 0u);
}

}  // namespace
