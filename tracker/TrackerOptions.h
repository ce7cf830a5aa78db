#pragma once
// What a tracker is built with: its settings and the hand-over channels to
// the background workers (none of which it owns).
#include <string>

#include "la/ClientSendingData.h"
#include "la/MutexBuffer.h"
#include "la/TrackMatchingData.h"
#include "la/Types.h"

struct TrackerOptions {
  bool parallel = false;           // asynchronous hand-over once the map has two key frames
  bool verbose = false;            // log lines to standard output instead of the log file
  std::string logFileName;         // empty: no log file
  i32 startFrame = kUnsetCounter;  // the first key frame
  i32 endFrame = kUnsetCounter;    // unset: anchor to the marker at the start frame
  bool imageRotation = false;  // rotation between frames from the small images, not the gyroscope
  bool isoWindow = false;      // the ISO step over a window of frames, not the current one alone
  bool view = false;           // the display is updated every frame
  f32 initialDepth = 1.0f;     // scene depth assumed where the map cannot measure one

  // A map started from one frame stands on points at one guessed depth until
  // its second key frame, and a sideways step from them reads as a turn, as
  // it does in the small images: there the images' rotation only predicts.
  // A two-view start triangulates its points first, and the images' rotation
  // weighs as a coarse gyroscope.
  bool ImageRatesWeighNothing() const { return imageRotation && endFrame == kUnsetCounter; }
};

// Pool and queue of each worker; null pairs are links that do not exist.
struct WorkerChannels {
  MutexBufferPool<TrackMatchingData>* matcherPool = nullptr;
  MutexBufferQueue<TrackMatchingData>* matcherQueue = nullptr;
  MutexBufferPool<u16>* surfPool = nullptr;
  MutexBufferQueue<u16>* surfQueue = nullptr;
  MutexBufferPool<u8>* localPool = nullptr;
  MutexBufferQueue<u8>* localQueue = nullptr;
  MutexBufferPool<ClientSendingData>* serverPool = nullptr;
  MutexBufferQueue<ClientSendingData>* serverQueue = nullptr;
};
