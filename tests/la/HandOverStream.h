#pragma once
// Streams numbered messages from a producer thread through a pool/queue pair
// to a consumer thread running the worker loop of the system, and checks that
// every delivered message arrives once, in order, and that every item comes
// back to the pool.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "la/MutexBuffer.h"

// The worker loop: a null item only re-tests the run flag.
template <class T, class Work>
void ConsumerLoop(MutexBuffer<T>& queue, MutexBuffer<T>& pool, const std::atomic<bool>& run,
                  Work&& work) {
  while (run.load()) {
    T* item = queue.Get();
    if (item == nullptr) continue;
    work(*item);
    pool.Put(item);
  }
}

struct StreamResult {
  u32 delivered = 0;
  u32 dropped = 0;
};

// set(item, i) writes message i; get(item) reads it back modulo `modulus`
// (items that are single numbers wrap).
template <class T, class Set, class Get>
StreamResult StreamThroughPair(u32 capacity, u32 count, bool synchronous, u64 modulus, Set set,
                               Get get) {
  MutexBufferPool<T> pool(capacity);
  MutexBufferQueue<T> queue(capacity);
  std::atomic<bool> run{true};
  std::vector<u32> received;
  received.reserve(count);
  std::thread consumer(
      [&] { ConsumerLoop(queue, pool, run, [&](T& item) { received.push_back(get(item)); }); });
  StreamResult result;
  std::vector<u32> sent;
  sent.reserve(count);
  for (u32 i = 0; i < count; ++i) {
    auto fill = [&](T& item) { set(item, i); };
    if (synchronous) {
      HandOverSynchronous(pool, queue, fill);
      ++result.delivered;
      sent.push_back(i);
    } else if (HandOverAsynchronous(pool, queue, fill)) {
      ++result.delivered;
      sent.push_back(i);
    } else {
      ++result.dropped;
    }
  }
  pool.WaitFull();  // the consumer is idle once every item is back
  EXPECT_EQ(queue.Count(), 0u);
  run.store(false);
  queue.Put(nullptr);
  consumer.join();

  EXPECT_EQ(received.size(), result.delivered);
  EXPECT_EQ(result.delivered + result.dropped, count);
  // First in, first out: the consumer sees exactly what the queue accepted.
  for (size_t k = 0; k < received.size() && k < sent.size(); ++k) {
    if (received[k] != sent[k] % modulus) {
      ADD_FAILURE() << "delivery " << k << " carried " << received[k] << " instead of "
                    << sent[k] % modulus;
      break;
    }
  }
  EXPECT_EQ(pool.Count(), capacity);
  return result;
}
