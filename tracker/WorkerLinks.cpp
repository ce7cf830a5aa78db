#include "tracker/WorkerLinks.h"

#include <thread>

void WorkerLinks::SetServerLink(MutexBufferPool<ClientSendingData>* pool,
                                MutexBufferQueue<ClientSendingData>* queue) {
  c_.serverPool = pool;
  c_.serverQueue = queue;
}

bool WorkerLinks::SendMessage(ServerMessage type, const TrackerFrame* frame,
                              u32 firstKeyFrameNumber, bool serverLost, bool synchronous) {
  if (!HasServer()) return false;
  MutexBufferPool<ClientSendingData>& pool = *c_.serverPool;
  // A sender still holding an earlier message may sit on a server that has
  // stopped reading: then this one is only queued. The item carries its own
  // copy of the image and the queue keeps the order, so nothing needs the
  // wait but the repeatability of synchronous runs.
  const bool wait = synchronous && pool.Count() >= pool.Capacity();
  const i32 number = frame != nullptr ? frame->number : -1;
  const bool sent = HandOverAsynchronous(pool, *c_.serverQueue, [&](ClientSendingData& item) {
    const i32 first = static_cast<i32>(firstKeyFrameNumber);
    if (frame != nullptr) {
      item.Set(type, number, first, frame->pyramid[0], serverLost ? 1 : 0);
    } else {
      // No frame: no image, not the previous message's.
      item.Set(type, number, first, CVD::Image<u8>(), serverLost ? 1 : 0);
      item.image = CVD::Image<u8>();
    }
  });
  if (sent && wait) {
    const auto until = std::chrono::steady_clock::now() + kServerWait;
    while (pool.Count() < pool.Capacity() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  if (sent) lastSentFrame_ = number;
  return sent;
}

bool WorkerLinks::SendFrameMessage(const TrackerFrame& frame, u32 firstKeyFrameNumber,
                                   bool serverLost, bool synchronous) {
  if (frame.number < lastSentFrame_ + 3) return false;
  return SendMessage(kMessageFrame, &frame, firstKeyFrameNumber, serverLost, synchronous);
}

void WorkerLinks::SendToSurf(u16 keyFrameCount, bool synchronous) {
  HandOver(c_.surfPool, c_.surfQueue, synchronous, [&](u16& id) { id = keyFrameCount; });
}

void WorkerLinks::SendToLocalAdjustor(bool synchronous) {
  const u8 request = synchronous ? kRequestSynchronous : kRequestAsynchronous;
  HandOver(c_.localPool, c_.localQueue, synchronous, [&](u8& r) { r = request; });
}

void WorkerLinks::SendResetItems() {
  HandOver(c_.matcherPool, c_.matcherQueue, true,
           [](TrackMatchingData& item) { item.frameId = TrackMatchingData::kResetFrameId; });
  HandOver(c_.surfPool, c_.surfQueue, true, [](u16& id) { id = kNone16; });
  HandOver(c_.localPool, c_.localQueue, true, [](u8& request) { request = kRequestReset; });
}

void WorkerLinks::WaitForWorkers() {
  if (c_.matcherPool != nullptr) c_.matcherPool->WaitFull();
  if (c_.surfPool != nullptr) c_.surfPool->WaitFull();
  if (c_.localPool != nullptr) c_.localPool->WaitFull();
}
