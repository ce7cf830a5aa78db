#pragma once
// Bounded blocking hand-over of item pointers between threads. A pool owns a
// fixed set of pre-allocated items; a queue carries pointers to filled items
// from a producer to its consumer. Both share one interface so that a worker
// loop can hold its input and output buffers without knowing their kinds.
// Every operation holds the buffer's mutex for its whole duration; waits
// re-test their predicates after each wake-up. Notifications wake all waiters:
// the pool's Get, WaitNotEmpty and WaitFull share one condition, so waking one
// waiter could wake the wrong one and leave another asleep for ever.
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
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
  // Never destroyed through the base.
  ~MutexBuffer() = default;

  const u32 capacity_;
  boost::mutex mutex_;
};

// Owns `capacity` items created with new T() (numbers start at 0) and starts
// full. Putting back more items than it created is not refused.
template <class T>
class MutexBufferPool final : public MutexBuffer<T> {
  using Lock = boost::unique_lock<boost::mutex>;
  using MutexBuffer<T>::capacity_;
  using MutexBuffer<T>::mutex_;

 public:
  explicit MutexBufferPool(const unsigned int& capacity) : MutexBuffer<T>(capacity) {
    all_.reserve(capacity);
    for (u32 i = 0; i < capacity; ++i) {
      T* item = new T();
      all_.push_back(item);
      free_.push_back(item);
    }
  }
  // Deletes every item it created, taken out or not; none may be in use then.
  ~MutexBufferPool() {
    for (T* item : all_) delete item;
  }

  void Put(T* item) override {
    Lock lock(mutex_);
    free_.push_back(item);
    changed_.notify_all();
  }
  bool TryPut(T* item) override {
    Put(item);
    return true;
  }
  T* Get() override {
    Lock lock(mutex_);
    while (free_.empty()) changed_.wait(lock);
    T* item = free_.front();
    free_.pop_front();
    return item;
  }
  T* TryGet() override {
    Lock lock(mutex_);
    if (free_.empty()) return nullptr;
    T* item = free_.front();
    free_.pop_front();
    return item;
  }
  void WaitNotEmpty() override {
    Lock lock(mutex_);
    while (free_.empty()) changed_.wait(lock);
  }
  void WaitFull() override {
    Lock lock(mutex_);
    while (free_.size() < capacity_) changed_.wait(lock);
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
  using Lock = boost::unique_lock<boost::mutex>;
  using MutexBuffer<T>::capacity_;
  using MutexBuffer<T>::mutex_;

 public:
  explicit MutexBufferQueue(const unsigned int& capacity) : MutexBuffer<T>(capacity) {}
  ~MutexBufferQueue() = default;

  void Put(T* item) override {
    Lock lock(mutex_);
    while (items_.size() == capacity_) notFull_.wait(lock);
    items_.push_back(item);
    notEmpty_.notify_all();
  }
  bool TryPut(T* item) override {
    Lock lock(mutex_);
    if (items_.size() == capacity_) return false;
    items_.push_back(item);
    notEmpty_.notify_all();
    return true;
  }
  T* Get() override {
    Lock lock(mutex_);
    while (items_.empty()) notEmpty_.wait(lock);
    T* item = items_.front();
    items_.pop_front();
    notFull_.notify_all();
    return item;
  }
  T* TryGet() override {
    Lock lock(mutex_);
    if (items_.empty()) return nullptr;
    T* item = items_.front();
    items_.pop_front();
    notFull_.notify_all();
    return item;
  }
  void WaitNotEmpty() override {
    Lock lock(mutex_);
    while (items_.empty()) notEmpty_.wait(lock);
  }
  void WaitFull() override {
    Lock lock(mutex_);
    while (items_.size() < capacity_) notEmpty_.wait(lock);
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
