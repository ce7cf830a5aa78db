#include "tracker/WorkerLinks.h"

void WorkerLinks::SetServerLink(MutexBufferPool<ClientSendingData>* pool,
                                MutexBufferQueue<ClientSendingData>* queue) {
  c_.serverPool = pool;
  c_.serverQueue = queue;
}

bool WorkerLinks::SendMessage(ServerMessage type, const TrackerFrame* frame,
                              u32 firstKeyFrameNumber, bool serverLost, bool synchronous) {
  const i32 number = frame != nullptr ? frame->number : -1;
  const bool sent =
      HandOver(c_.serverPool, c_.serverQueue, synchronous, [&](ClientSendingData& item) {
        const i32 first = static_cast<i32>(firstKeyFrameNumber);
        if (frame != nullptr) {
          item.Set(type, number, first, frame->pyramid[0], serverLost ? 1 : 0);
        } else {
          // No frame: no image, not the previous message's.
          item.Set(type, number, first, CVD::Image<u8>(), serverLost ? 1 : 0);
          item.image = CVD::Image<u8>();
        }
      });
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
