#pragma once
// The worker of thread 1. It receives the index of every new key frame (and
// kNone16 on a reset) but does no work on it yet: a run only marks it busy and
// flushes its log, so that the thread, its channel and its stop protocol are
// in place.
#include <atomic>
#include <cstdio>
#include <string>

#include "la/MutexBuffer.h"
#include "mapping/GlobalMap.h"
#include "mapping/Worker.h"

class TrackerSurf : public Worker<u16> {
 public:
  // Opens the log for writing when not verbose and a name is given.
  TrackerSurf(GlobalMap* map, MutexBuffer<u16>* pool, MutexBuffer<u16>* queue, u8 flag, u8 verbose,
              const std::string& logName);
  ~TrackerSurf() override;
  TrackerSurf(const TrackerSurf&) = delete;
  TrackerSurf& operator=(const TrackerSurf&) = delete;

  // Flushes the log; a reset item (kNone16) does nothing.
  void Run(const u16* keyFrame) override;
  bool IsBusy() const override { return busy; }
  // True while a log file is open.
  bool HasLog() const { return log_ != nullptr; }

 private:
  GlobalMap* map_;
  Intrinsic intrinsic_;
  // The channel and flag the worker's future runs use; held, not read yet.
  [[maybe_unused]] MutexBuffer<u16>* pool_;
  [[maybe_unused]] MutexBuffer<u16>* queue_;
  [[maybe_unused]] u8 flag_;
  u8 verbose_;
  FILE* log_ = nullptr;
  std::string logName_;
  std::atomic<bool> busy{false};
};
