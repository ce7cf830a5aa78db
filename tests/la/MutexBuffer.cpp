// ctest-labels: threads
// Pools and queues: calls that must block until their partner acts, the shared
// condition, the refused asynchronous hand-over, and 2 x 10^4 numbers through
// pairs of each capacity the system uses. A lost wake-up shows as the test's
// time-out.
#include "la/MutexBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Runs `call` in its own thread and then the steps in turn: the call must
// still be blocked before each step (20 ms after the previous one) and return
// after the last.
void ExpectBlockedUntil(const std::function<void()>& call,
                        const std::vector<std::function<void()>>& steps) {
  std::atomic<bool> returned{false};
  std::thread t([&] {
    call();
    returned = true;
  });
  for (const auto& step : steps) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned) << "returned before its partner acted";
    step();
  }
  t.join();
}

TEST(MutexBuffer, BlockingCallsAndTheRefusedAsynchronousItem) {
  MutexBufferPool<u16> pool(2);
  u16 *a = pool.Get(), *b = pool.TryGet();
  ASSERT_TRUE(a && b && a != b && *a == 0);
  EXPECT_EQ(pool.TryGet(), nullptr);
  ExpectBlockedUntil([&] { pool.WaitFull(); },
                     {[&] { pool.Put(a); }, [&] { EXPECT_TRUE(pool.TryPut(b)); }});

  MutexBufferQueue<u16> queue(1);
  EXPECT_EQ(queue.TryGet(), nullptr);
  EXPECT_TRUE(queue.TryPut(a));
  EXPECT_FALSE(queue.TryPut(b));
  ExpectBlockedUntil([&] { queue.Put(b); }, {[&] { EXPECT_EQ(queue.Get(), a); }});
  EXPECT_EQ(queue.Get(), b);

  // With a queue smaller than its pool the queue can refuse an item; it must
  // go back to the pool, or the next synchronous hand-over waits for ever.
  EXPECT_TRUE(HandOverAsynchronous(pool, queue, [](u16& v) { v = 1; }));
  EXPECT_FALSE(HandOverAsynchronous(pool, queue, [](u16& v) { v = 2; }));
  EXPECT_EQ(pool.Count(), 1u);
  u16 *queued = queue.TryGet(), *taken = pool.TryGet();  // Try: a lost item must not hang
  ASSERT_TRUE(queued && taken && queued != taken && *queued == 1);
  // An empty pool drops the message without filling anything.
  EXPECT_FALSE(HandOverAsynchronous(pool, queue, [](u16&) { ADD_FAILURE() << "filled"; }));
  EXPECT_EQ(queue.Count(), 0u);
  // Both items are out when the pool dies: it must delete them, once each
  // (the sanitizer build reports a leak or a double delete).

  // WaitNotEmpty and WaitFull share one condition: the first Put must wake
  // the former even while the latter sleeps beside it.
  MutexBufferQueue<u8> shared(3);
  u8 v[3] = {10, 11, 12};
  std::thread notEmpty([&] { shared.WaitNotEmpty(); });
  ExpectBlockedUntil([&] { shared.WaitFull(); },
                     {[&] {
                        shared.Put(&v[0]);
                        notEmpty.join();
                      },
                      [&] { shared.Put(&v[1]); }, [&] { shared.Put(&v[2]); }});
  for (u8& item : v) EXPECT_EQ(shared.Get(), &item);
}

// Sends 2 x 10^4 numbers from this thread to a consumer thread (enough to
// interleave every wait with every wake-up) through pairs of each capacity the
// system uses. The consumer must see exactly the accepted numbers, in order,
// and every item must come back.
TEST(MutexBuffer, TwentyThousandNumbersThroughEachKindOfPair) {
  for (const u32 capacity : {5u, 1u})
    for (const bool synchronous : {true, false}) {
      SCOPED_TRACE(testing::Message() << capacity << (synchronous ? " sync" : " async"));
      MutexBufferPool<u16> pool(capacity);
      MutexBufferQueue<u16> queue(capacity);
      std::atomic<bool> run{true};
      std::vector<u16> sent, received;
      std::thread consumer([&] {  // the system's worker loop
        while (run) {
          u16* item = queue.Get();
          if (item == nullptr) continue;  // a wake-up to re-test the run flag
          received.push_back(*item);
          pool.Put(item);
        }
      });
      for (u16 i = 0; i < 20000; ++i) {
        auto fill = [i](u16& v) { v = i; };
        if (synchronous) HandOverSynchronous(pool, queue, fill);
        if (synchronous || HandOverAsynchronous(pool, queue, fill)) sent.push_back(i);
      }
      pool.WaitFull();  // the consumer is idle once every item is back
      run = false;
      queue.Put(nullptr);
      consumer.join();
      EXPECT_TRUE(synchronous ? sent.size() == 20000 : !sent.empty()) << sent.size();
      EXPECT_EQ(received, sent);
      // The wake-up null stays queued when the consumer saw the cleared flag
      // first; no real item may be left.
      EXPECT_TRUE(queue.TryGet() == nullptr && queue.Count() == 0 && pool.Count() == capacity);
    }
}

}  // namespace
