#pragma once
// The request bytes the tracker hands the local bundle adjustor, and the ones
// the local adjustor passes on to the global adjustor.
#include "la/Types.h"

// To the local adjustor: bit 0 synchronous, bit 1 reset.
enum AdjustorRequest : u8 {
  kRequestAsynchronous = 0,  // a new key frame, handed over without waiting
  kRequestSynchronous = 1,   // a new key frame; the tracker waits for the pass
  kRequestReset = 3,         // synchronous, and the global adjustor resets too
};

// To the global adjustor.
enum GlobalAdjustorRequest : u8 {
  kGlobalRequestPass = 0,
  kGlobalRequestReset = 1,  // no pass
};

// A reset: the local adjustor runs no pass and forwards a reset.
inline bool IsResetRequest(u8 request) {
  return (request & 2) != 0;
}
// The tracker waits for the pass, and the forward waits for the global one.
inline bool IsSynchronousRequest(u8 request) {
  return (request & 1) != 0;
}

// The byte the local adjustor forwards to the global one.
inline u8 GlobalRequestOf(u8 request) {
  return IsResetRequest(request) ? kGlobalRequestReset : kGlobalRequestPass;
}
