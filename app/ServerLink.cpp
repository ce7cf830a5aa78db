#include "app/ServerLink.h"

bool StartServerLink(ServerLink& link, const std::string& host, GlobalMap* map, Tracker* tracker,
                     BundleAdjustorLocal* local, u8 verbose, const std::string& logFileName,
                     bool requireConnection, const ServerChannelHook& giveTracker, u16 port,
                     bool parallel) {
  if (!link.client) link.client = std::make_unique<TcpClient>();
  const bool connected = link.client->Connect(host.c_str(), port);
  if (!connected && requireConnection) {
    link.client.reset();
    return false;
  }
  if (!link.sender) link.sender = std::make_unique<ClientSender>(link.client.get());
  if (!link.adjustor)
    link.adjustor = std::make_unique<BundleAdjustorServer>(link.client.get(), tracker, map, verbose,
                                                           logFileName);
  if (!link.pool) link.pool = std::make_unique<MutexBufferPool<ClientSendingData>>(5);
  if (!link.queue) link.queue = std::make_unique<MutexBufferQueue<ClientSendingData>>(5);
  if (giveTracker) giveTracker(link.pool.get(), link.queue.get());

  SenderContext& s = link.senderThread;
  if (!s.thread.joinable()) {
    s.id = 4;
    s.worker = link.sender.get();
    s.in = link.queue.get();
    s.out = link.pool.get();
    StartWorkerThread(&s);
  }
  if (!parallel && !link.adjustorPool) {
    link.adjustorPool = std::make_unique<MutexBufferPool<u8>>(1);
    link.adjustorQueue = std::make_unique<MutexBufferQueue<u8>>(1);
  }
  ThreadContext<u8>& a = link.adjustorThread;
  if (!a.thread.joinable()) {
    a.id = 5;
    a.worker = link.adjustor.get();
    a.in = parallel ? nullptr : link.adjustorQueue.get();
    a.out = parallel ? nullptr : link.adjustorPool.get();
    StartWorkerThread(&a);
  }
  if (local != nullptr) {
    local->serverPool = parallel ? nullptr : link.adjustorPool.get();
    local->serverQueue = parallel ? nullptr : link.adjustorQueue.get();
  }
  return connected;
}

void StopServerLink(ServerLink& link) {
  StopSenderThread(&link.senderThread);
  StopWorkerThread(&link.adjustorThread);
}
