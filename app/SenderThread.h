#pragma once
// The sender thread (id 4): the worker routine over a ClientSender. Its stop
// cannot wait for a send blocked on a server that stopped reading, so the
// socket is shut down when the thread has not ended 1 s after its wake-up.
#include <chrono>

#include "app/TcpClient.h"
#include "app/WorkerThread.h"

using SenderContext = ThreadContext<ClientSendingData, ClientSender>;

// Thread routine of the sender.
inline int SenderThreadProc(SenderContext* context) {
  return WorkerThreadProc(context);
}

// Stops the sender thread; returns once it has ended.
inline void StopSenderThread(SenderContext* context) {
  if (!context->thread.joinable()) return;
  context->run = false;
  while (context->worker->IsBusy()) std::this_thread::sleep_for(kThreadPollStep);
  detail::WakeAndJoin(context, std::chrono::seconds(1), [context] {
    if (context->worker->client != nullptr) context->worker->client->Shutdown();
  });
}
