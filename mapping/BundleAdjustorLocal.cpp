#include "mapping/BundleAdjustorLocal.h"

#include <chrono>
#include <thread>

BundleAdjustorLocal::BundleAdjustorLocal(GlobalMap* map, MutexBuffer<u8>* globalPool,
                                         MutexBuffer<u8>* globalQueue, u8 verbose,
                                         const std::string& logFileName)
    : BundleAdjustorGlobal(map, verbose, logFileName),
      globalPool(globalPool),
      globalQueue(globalQueue) {
  solver.maxIterations = 50;
  solver.initialDamping = 0.001f;
}

void BundleAdjustorLocal::Run(const u8* request) {
  busy = true;
  const u8 r = request ? *request : u8{kRequestAsynchronous};
  if (IsResetRequest(r)) {
    planesInitialised = 0;
  } else {
    const f32 s = intrinsic.misc[1];
    solves = 0;
    writeBackAttempts = 0;
    if (map->GetLBAProblem(problem, state, index, token)) {
      u32 line = 0;
      for (;;) {
        BeginPass();
        const f32 ratio = SolveWithRatios("LBA", false, line);
        MarkUnreliablePoints();
        RejectOutliers(ratio, 16.0f * s, 1600.0f * s, false);
        RecoverInliers();
        if (!planesInitialised) {
          UpdatePlanes();
          planesInitialised = 1;
        }
        ++writeBackAttempts;
        if (map->SetBAResult(problem, state, index.keyFrames, pointTracks, OldPlanes(), edits,
                             token, 0, "LBA"))
          break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!map->GetLBAProblem(problem, state, index, token)) break;
      }
    }
    ReopenLog();
  }
  NotifyGlobal(&r);
  busy = false;
}

void BundleAdjustorLocal::NotifyGlobal(const u8* request) {
  if (globalPool == nullptr || globalQueue == nullptr) return;
  const u8 forward = GlobalRequestOf(*request);
  const auto fill = [forward](u8& item) { item = forward; };
  if (IsSynchronousRequest(*request)) {
    HandOverSynchronous(*globalPool, *globalQueue, fill);
  } else {
    // A refused item goes back to the pool, or a later synchronous forward
    // would wait for it for ever.
    HandOverAsynchronous(*globalPool, *globalQueue, fill);
  }
}
