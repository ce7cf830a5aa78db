#pragma once
// The sender thread (id 4): the worker routine over a ClientSender. Its stop
// first lets the messages already queued go out (the quit among them), for at
// most 1 s; a server that has not taken them by then has its socket shut, so
// that neither the stop nor a send blocked on it waits any longer.
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
  TcpClient* client = context->worker->client;
  const auto shut = [client] {
    if (client != nullptr)
      client->Shutdown("the server did not take the last messages within 1 s of the stop");
  };
  // Every item back in the pool: nothing is queued or being sent.
  const auto drained = [context] {
    return context->out == nullptr || context->out->Count() >= context->out->Capacity();
  };
  const auto late = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!drained() && std::chrono::steady_clock::now() < late)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!drained()) shut();
  context->run = false;
  while (context->worker->IsBusy()) std::this_thread::sleep_for(kThreadPollStep);
  detail::WakeAndJoin(context, std::chrono::seconds(1), shut);
}
