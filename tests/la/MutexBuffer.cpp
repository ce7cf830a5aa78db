// Pools and queues under contention: blocking and non-blocking semantics,
// FIFO order, the null wake-up, item ownership, and 10^5 messages through
// each number pair with real producer and consumer threads. Every scenario
// runs under a time limit.
#include "la/MutexBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Bounded.h"
#include "HandOverStream.h"

namespace {

constexpr double kLimit = 60.0;  // seconds; far above the normal run time

TEST(MutexBufferPool, StartsFullAndWaitFullBlocksUntilEveryItemIsBack) {
  RunBounded(kLimit, "pool WaitFull", [] {
    MutexBufferPool<u16> pool(5);
    EXPECT_EQ(pool.Count(), 5u);
    u16* a = pool.Get();
    u16* b = pool.TryGet();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(*a, 0);
    EXPECT_EQ(pool.Count(), 3u);

    std::atomic<bool> full{false};
    std::thread waiter([&] {
      pool.WaitFull();
      full = true;
    });
    EXPECT_TRUE(StaysFalseFor(20, [&] { return full.load(); }));
    pool.Put(a);
    EXPECT_TRUE(StaysFalseFor(20, [&] { return full.load(); }));
    EXPECT_TRUE(pool.TryPut(b));  // a pool never refuses
    waiter.join();
    EXPECT_TRUE(full);
    EXPECT_EQ(pool.Count(), 5u);
  });
}

TEST(MutexBufferPool, EmptyPoolBlocksGetAndRefusesTryGet) {
  RunBounded(kLimit, "pool Get", [] {
    MutexBufferPool<u8> pool(1);
    u8* item = pool.Get();
    EXPECT_EQ(pool.TryGet(), nullptr);
    std::atomic<u8*> got{nullptr};
    std::thread taker([&] { got = pool.Get(); });
    EXPECT_TRUE(StaysFalseFor(20, [&] { return got.load() != nullptr; }));
    pool.Put(item);
    taker.join();
    EXPECT_EQ(got.load(), item);
  });
}

// Counts live objects to show that a pool deletes each item exactly once,
// including one that is taken out when the pool dies.
struct Counted {
  static std::atomic<int> alive;
  Counted() { ++alive; }
  ~Counted() { --alive; }
  int payload = 0;
};
std::atomic<int> Counted::alive{0};

TEST(MutexBufferPool, DeletesEveryItemOnceEvenWhenTakenOut) {
  {
    MutexBufferPool<Counted> pool(3);
    EXPECT_EQ(Counted::alive, 3);
    Counted* out = pool.Get();
    out->payload = 7;
  }
  EXPECT_EQ(Counted::alive, 0);
}

TEST(MutexBufferQueue, CapacityOneRefusesTryPutAndBlocksPut) {
  RunBounded(kLimit, "queue Put", [] {
    MutexBufferQueue<u16> queue(1);
    u16 first = 1, second = 2;
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.TryGet(), nullptr);
    EXPECT_TRUE(queue.TryPut(&first));
    EXPECT_FALSE(queue.TryPut(&second));
    EXPECT_EQ(queue.Count(), 1u);

    std::atomic<bool> put{false};
    std::thread producer([&] {
      queue.Put(&second);
      put = true;
    });
    EXPECT_TRUE(StaysFalseFor(20, [&] { return put.load(); }));
    EXPECT_EQ(queue.Get(), &first);
    producer.join();
    EXPECT_EQ(queue.Get(), &second);
  });
}

TEST(MutexBufferQueue, KeepsOrderAndWaitsForFullAndNotEmpty) {
  RunBounded(kLimit, "queue order", [] {
    MutexBufferQueue<u8> queue(4);
    u8 items[4] = {10, 11, 12, 13};
    std::atomic<bool> notEmpty{false}, full{false};
    std::thread w1([&] {
      queue.WaitNotEmpty();
      notEmpty = true;
    });
    std::thread w2([&] {
      queue.WaitFull();
      full = true;
    });
    EXPECT_TRUE(StaysFalseFor(20, [&] { return notEmpty.load() || full.load(); }));
    queue.Put(&items[0]);
    w1.join();  // both waiters share one condition: the first Put must wake this one
    EXPECT_TRUE(StaysFalseFor(20, [&] { return full.load(); }));
    for (int k = 1; k < 4; ++k) queue.Put(&items[k]);
    w2.join();
    EXPECT_EQ(queue.Count(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(queue.Get(), &items[k]);
  });
}

TEST(MutexBufferQueue, NullItemWakesABlockedGet) {
  RunBounded(kLimit, "null wake-up", [] {
    MutexBufferQueue<u16> queue(5);
    std::atomic<bool> returned{false};
    u16 sentinel = 0;
    u16* got = &sentinel;
    std::thread consumer([&] {
      got = queue.Get();
      returned = true;
    });
    EXPECT_TRUE(StaysFalseFor(20, [&] { return returned.load(); }));
    EXPECT_TRUE(queue.TryPut(nullptr));
    consumer.join();
    EXPECT_EQ(got, nullptr);
  });
}

// With a queue smaller than its pool the queue can refuse an item; the item
// must go back to the pool, or the next synchronous hand-over waits for ever.
TEST(HandOver, RefusedAsynchronousItemReturnsToThePool) {
  RunBounded(kLimit, "refused hand-over", [] {
    MutexBufferPool<u16> pool(2);
    MutexBufferQueue<u16> queue(1);
    EXPECT_TRUE(HandOverAsynchronous(pool, queue, [](u16& v) { v = 1; }));
    EXPECT_FALSE(HandOverAsynchronous(pool, queue, [](u16& v) { v = 2; }));
    EXPECT_EQ(pool.Count(), 1u);
    EXPECT_EQ(queue.Count(), 1u);

    std::atomic<bool> run{true};
    std::vector<u16> seen;
    std::thread consumer(
        [&] { ConsumerLoop(queue, pool, run, [&](u16& v) { seen.push_back(v); }); });
    HandOverSynchronous(pool, queue, [](u16& v) { v = 3; });
    EXPECT_EQ(pool.Count(), 2u);
    run = false;
    queue.Put(nullptr);
    consumer.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[1], 3);
  });
}

TEST(HandOver, EmptyPoolDropsAsynchronousMessage) {
  MutexBufferPool<u8> pool(1);
  MutexBufferQueue<u8> queue(1);
  u8* taken = pool.Get();
  bool filled = false;
  EXPECT_FALSE(HandOverAsynchronous(pool, queue, [&](u8&) { filled = true; }));
  EXPECT_FALSE(filled);
  EXPECT_EQ(queue.Count(), 0u);
  pool.Put(taken);
}

constexpr u32 kMessages = 100000;

TEST(HandOver, HundredThousandNumbersThroughEachPair) {
  for (bool synchronous : {true, false}) {
    RunBounded(kLimit, synchronous ? "u16 synchronous stream" : "u16 asynchronous stream", [&] {
      const StreamResult r = StreamThroughPair<u16>(
          5, kMessages, synchronous, 1u << 16, [](u16& v, u32 i) { v = static_cast<u16>(i); },
          [](const u16& v) { return u32(v); });
      EXPECT_GT(r.delivered, 0u);
    });
    RunBounded(kLimit, synchronous ? "u8 synchronous stream" : "u8 asynchronous stream", [&] {
      const StreamResult r = StreamThroughPair<u8>(
          1, kMessages, synchronous, 1u << 8, [](u8& v, u32 i) { v = static_cast<u8>(i); },
          [](const u8& v) { return u32(v); });
      EXPECT_GT(r.delivered, 0u);
    });
  }
}

}  // namespace
