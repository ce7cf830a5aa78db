#pragma once
// The tracker's hand-over channels to the track matcher, the SURF worker, the
// local bundle adjustor and the server's sender, with the hand-over rule:
// synchronous (wait until the worker has finished the item) or asynchronous
// (dropped when no item is free). The server's sender is the exception: the
// frame loop never waits on the network for long, so a synchronous message
// to it waits for the sender at most kServerWait, and not at all while the
// sender still holds an earlier one.
#include <chrono>

#include "la/AdjustorRequest.h"
#include "la/ClientSendingData.h"
#include "tracker/TrackerOptions.h"
#include "tracker/TrackerRecords.h"

class WorkerLinks {
 public:
  // Longest a synchronous message waits for the server's sender.
  static constexpr std::chrono::milliseconds kServerWait{500};

  explicit WorkerLinks(const WorkerChannels& channels) : c_(channels) {}

  // The server channel (both null: no server).
  void SetServerLink(MutexBufferPool<ClientSendingData>* pool,
                     MutexBufferQueue<ClientSendingData>* queue);
  bool HasServer() const { return c_.serverPool != nullptr && c_.serverQueue != nullptr; }
  // A message about `frame` (none: frame number -1 and no image); false when
  // none was queued (no item free). A sent message makes the frame the last
  // one sent.
  bool SendMessage(ServerMessage type, const TrackerFrame* frame, u32 firstKeyFrameNumber,
                   bool serverLost, bool synchronous);
  // An ordinary-frame message, only for frame numbers at least 3 past the
  // last one sent.
  bool SendFrameMessage(const TrackerFrame& frame, u32 firstKeyFrameNumber, bool serverLost,
                        bool synchronous);
  // A key-frame candidate to the track matcher, filled by fill(item):
  // without waiting when parallel, else synchronously.
  template <class Fill>
  void SendToMatcher(bool parallel, Fill fill);
  // The key-frame count to the SURF worker and a request to the local
  // adjustor after a key frame was pushed.
  void SendToSurf(u16 keyFrameCount, bool synchronous);
  void SendToLocalAdjustor(bool synchronous);
  // Each worker's reset item, synchronously, matcher first: afterwards every
  // worker is idle.
  void SendResetItems();
  // Returns once the matcher, SURF and local-adjustor pools hold every item
  // again: no item with key-frame or track indices is in flight.
  void WaitForWorkers();
  i32 LastSentFrame() const { return lastSentFrame_; }
  void SetLastSentFrame(i32 number) { lastSentFrame_ = number; }

 private:
  template <class T, class Fill>
  static bool HandOver(MutexBufferPool<T>* pool, MutexBufferQueue<T>* queue, bool synchronous,
                       Fill fill);

  WorkerChannels c_;
  i32 lastSentFrame_ = -1;
};

template <class T, class Fill>
bool WorkerLinks::HandOver(MutexBufferPool<T>* pool, MutexBufferQueue<T>* queue, bool synchronous,
                           Fill fill) {
  if (pool == nullptr || queue == nullptr) return false;
  if (!synchronous) return HandOverAsynchronous(*pool, *queue, fill);
  HandOverSynchronous(*pool, *queue, fill);
  return true;
}

template <class Fill>
void WorkerLinks::SendToMatcher(bool parallel, Fill fill) {
  HandOver(c_.matcherPool, c_.matcherQueue, !parallel, fill);
}
