#pragma once
// What a worker thread drives: one run per handed-over item, and a busy flag
// that the owner polls before it wakes the thread to stop it.
template <class Item>
class Worker {
 public:
  virtual ~Worker() = default;
  // Processes one item (null every time for a worker without input).
  virtual void Run(const Item* item) = 0;
  // True while Run is working on an item.
  virtual bool IsBusy() const = 0;
};
