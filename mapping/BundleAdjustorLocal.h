#pragma once
// The local bundle adjustor (worker thread 2): adjusts the window of the
// newest key frames after every key frame the tracker pushes, without
// stamping the map, then hands the request on to the global adjustor.
// A reset request runs no pass (planes are detected again on the next pass);
// a synchronous one's forward waits until the global adjustor has finished.
#include "la/MutexBuffer.h"
#include "mapping/BundleAdjustorGlobal.h"

class BundleAdjustorLocal : public BundleAdjustorGlobal {
 public:
  // globalPool and globalQueue (capacity 1) may be null: nothing is forwarded.
  BundleAdjustorLocal(GlobalMap* map, MutexBuffer<u8>* globalPool, MutexBuffer<u8>* globalQueue,
                      u8 verbose, const std::string& logFileName);

  // One local pass (none for a reset), then the forward to the global adjustor.
  void Run(const u8* request) override;
  // Forwards GlobalRequestOf(request): an asynchronous request only when an
  // item is free, a synchronous one waiting until the global adjustor is done.
  void NotifyGlobal(const u8* request);

  u8 planesInitialised = 0;
  MutexBuffer<u8>* globalPool;
  MutexBuffer<u8>* globalQueue;
  // The server link's hand-over, kept for the server adjustor; never used.
  MutexBuffer<u8>* serverPool = nullptr;
  MutexBuffer<u8>* serverQueue = nullptr;
};
