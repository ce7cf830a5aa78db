#pragma once
// Bounded blocking hand-over of item pointers between threads. A pool owns a
// fixed set of pre-allocated items; a queue carries pointers to filled items
// from a producer to its consumer. Both share one interface so that a worker
// loop can hold its input and output buffers without knowing their kinds.
// Every operation holds the buffer's mutex for its whole duration; waits
// release it while blocked and re-test their predicates under it. Notifications
// wake all waiters: the pool's Get, WaitNotEmpty and WaitFull share one
// condition, so waking one waiter could wake the wrong one and leave another
// asleep for ever.
#include <immintrin.h>

#include <atomic>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <chrono>
#include <deque>
#include <vector>

#include "la/Types.h"

template <class T>
class MutexBuffer {
 public:
  explicit MutexBuffer(const unsigned int& capacity) : capacity_(capacity) {}
  MutexBuffer(const MutexBuffer&) = delete;
  MutexBuffer& operator=(const MutexBuffer&) = delete;

  // Hands an item in, blocking while the buffer cannot take it.
  virtual void Put(T* item) = 0;
  // Hands an item in without blocking; false (nothing changed) when refused.
  virtual bool TryPut(T* item) = 0;
  // Takes the oldest item out, blocking while there is none.
  virtual T* Get() = 0;
  // Takes the oldest item out, or null when there is none.
  virtual T* TryGet() = 0;
  // Blocks until an item is available; removes nothing.
  virtual void WaitNotEmpty() = 0;
  // Blocks until the buffer holds `capacity` items.
  virtual void WaitFull() = 0;
  // Number of items held now (a snapshot).
  virtual u32 Count() = 0;

  u32 Capacity() const { return capacity_; }

 protected:
  using Lock = boost::unique_lock<boost::mutex>;

  // Never destroyed through the base.
  ~MutexBuffer() = default;

  // Returns, with `lock` held, once ready(number of items held) is true. A
  // running hand-over partner answers within microseconds, while waking a
  // sleeping thread costs 5-15 us, more on a busy machine; so the count is
  // first polled without the lock. The window is long enough that one late
  // wake-up does not make the partner sleep too, and so on for every item.
  template <class Ready>
  void WaitUntil(Lock& lock, boost::condition_variable& cv, Ready ready) {
    if (ready(size_.load(std::memory_order_relaxed))) return;
    lock.unlock();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::microseconds(kPollMicroseconds);
    while (!ready(size_.load(std::memory_order_relaxed)) &&
           std::chrono::steady_clock::now() < until)
      _mm_pause();
    lock.lock();
    while (!ready(size_.load(std::memory_order_relaxed))) {
      ++sleepers_;
      cv.wait(lock);
      --sleepers_;
    }
  }
  // Wakes every thread asleep on cv; with the mutex held. Skipped when no
  // thread of this buffer sleeps, which is the usual case with polling.
  void Notify(boost::condition_variable& cv) {
    if (sleepers_ > 0) cv.notify_all();
  }
  // Every change of a buffer's list goes through these, under the mutex, so
  // that size_ always equals the list's size there.
  void PushBack(std::deque<T*>& list, T* item) {
    list.push_back(item);
    size_.store(static_cast<u32>(list.size()), std::memory_order_relaxed);
  }
  T* PopFront(std::deque<T*>& list) {
    T* item = list.front();
    list.pop_front();
    size_.store(static_cast<u32>(list.size()), std::memory_order_relaxed);
    return item;
  }

  static constexpr int kPollMicroseconds = 100;
  const u32 capacity_;
  boost::mutex mutex_;
  std::atomic<u32> size_{0};  // items held; read without the mutex only to poll
  u32 sleepers_ = 0;          // threads in cv.wait on any condition of this buffer
};

// Owns `capacity` items created with new T() (numbers start at 0) and starts
// full. Putting back more items than it created is not refused.
template <class T>
class MutexBufferPool final : public MutexBuffer<T> {
  using typename MutexBuffer<T>::Lock;
  using MutexBuffer<T>::capacity_;
  using MutexBuffer<T>::mutex_;
  using MutexBuffer<T>::PushBack;
  using MutexBuffer<T>::PopFront;
  using MutexBuffer<T>::WaitUntil;
  using MutexBuffer<T>::Notify;

 public:
  explicit MutexBufferPool(const unsigned int& capacity) : MutexBuffer<T>(capacity) {
    all_.reserve(capacity);
    for (u32 i = 0; i < capacity; ++i) {
      T* item = new T();
      all_.push_back(item);
      PushBack(free_, item);
    }
  }
  // Deletes every item it created, taken out or not; none may be in use then.
  ~MutexBufferPool() {
    for (T* item : all_) delete item;
  }

  void Put(T* item) override {
    Lock lock(mutex_);
    PushBack(free_, item);
    Notify(changed_);
  }
  bool TryPut(T* item) override {
    Put(item);
    return true;
  }
  T* Get() override {
    Lock lock(mutex_);
    WaitUntil(lock, changed_, [](u32 n) { return n > 0; });
    return PopFront(free_);
  }
  T* TryGet() override {
    Lock lock(mutex_);
    if (free_.empty()) return nullptr;
    return PopFront(free_);
  }
  void WaitNotEmpty() override {
    Lock lock(mutex_);
    WaitUntil(lock, changed_, [](u32 n) { return n > 0; });
  }
  void WaitFull() override {
    Lock lock(mutex_);
    WaitUntil(lock, changed_, [this](u32 n) { return n >= capacity_; });
  }
  u32 Count() override {
    Lock lock(mutex_);
    return static_cast<u32>(free_.size());
  }

 private:
  boost::condition_variable changed_;
  std::vector<T*> all_;
  std::deque<T*> free_;  // oldest first
};

// Carries at most `capacity` pointers, oldest first; owns none of them. A null
// pointer is carried like any other: it wakes a consumer blocked in Get.
template <class T>
class MutexBufferQueue final : public MutexBuffer<T> {
  using typename MutexBuffer<T>::Lock;
  using MutexBuffer<T>::capacity_;
  using MutexBuffer<T>::mutex_;
  using MutexBuffer<T>::PushBack;
  using MutexBuffer<T>::PopFront;
  using MutexBuffer<T>::WaitUntil;
  using MutexBuffer<T>::Notify;

 public:
  explicit MutexBufferQueue(const unsigned int& capacity) : MutexBuffer<T>(capacity) {}
  ~MutexBufferQueue() = default;

  void Put(T* item) override {
    Lock lock(mutex_);
    WaitUntil(lock, notFull_, [this](u32 n) { return n != capacity_; });
    PushBack(items_, item);
    Notify(notEmpty_);
  }
  bool TryPut(T* item) override {
    Lock lock(mutex_);
    if (items_.size() == capacity_) return false;
    PushBack(items_, item);
    Notify(notEmpty_);
    return true;
  }
  T* Get() override {
    Lock lock(mutex_);
    WaitUntil(lock, notEmpty_, [](u32 n) { return n > 0; });
    T* item = PopFront(items_);
    Notify(notFull_);
    return item;
  }
  T* TryGet() override {
    Lock lock(mutex_);
    if (items_.empty()) return nullptr;
    T* item = PopFront(items_);
    Notify(notFull_);
    return item;
  }
  void WaitNotEmpty() override {
    Lock lock(mutex_);
    WaitUntil(lock, notEmpty_, [](u32 n) { return n > 0; });
  }
  void WaitFull() override {
    Lock lock(mutex_);
    WaitUntil(lock, notEmpty_, [this](u32 n) { return n >= capacity_; });
  }
  u32 Count() override {
    Lock lock(mutex_);
    return static_cast<u32>(items_.size());
  }

 private:
  boost::condition_variable notFull_;
  boost::condition_variable notEmpty_;
  std::deque<T*> items_;
};

// Synchronous hand-over: takes a free item (blocking), fills it with
// fill(item), queues it and returns only when the consumer has put every item
// back into the pool, that is when the work is done.
template <class T, class Fill>
void HandOverSynchronous(MutexBuffer<T>& pool, MutexBuffer<T>& queue, Fill&& fill) {
  T* item = pool.Get();
  fill(*item);
  queue.Put(item);
  pool.WaitFull();
}

// Asynchronous hand-over: never blocks. Returns false and drops the message
// when no item is free or the queue refuses it; a refused item goes back into
// the pool so that a later synchronous hand-over still finds the pool full.
template <class T, class Fill>
bool HandOverAsynchronous(MutexBuffer<T>& pool, MutexBuffer<T>& queue, Fill&& fill) {
  T* item = pool.TryGet();
  if (item == nullptr) return false;
  fill(*item);
  if (!queue.TryPut(item)) {
    pool.Put(item);
    return false;
  }
  return true;
}
