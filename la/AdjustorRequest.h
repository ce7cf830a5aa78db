#pragma once
// The request bytes the tracker hands the local bundle adjustor, which passes
// (request >> 1) & 1 on to the global adjustor: 0 asks for a pass, 1 resets.
#include "la/Types.h"

enum AdjustorRequest : u8 {
  kRequestAsynchronous = 0,  // a new key frame, handed over without waiting
  kRequestSynchronous = 1,   // a new key frame; the tracker waits for the pass
  kRequestReset = 3,         // synchronous, and the global adjustor resets too
};

// The byte the local adjustor forwards to the global one.
inline u8 GlobalRequestOf(u8 request) {
  return static_cast<u8>((request >> 1) & 1);
}
