#pragma once
// The server link of an engine: the TCP client, the sender thread (id 4)
// with its message channel, and the server adjustor's thread (id 5). One
// start function serves the console program and the exported interface.
#include <functional>
#include <memory>
#include <string>

#include "app/SenderThread.h"
#include "mapping/BundleAdjustorLocal.h"
#include "mapping/BundleAdjustorServer.h"

struct ServerLink {
  std::unique_ptr<TcpClient> client;
  std::unique_ptr<ClientSender> sender;
  std::unique_ptr<BundleAdjustorServer> adjustor;
  std::unique_ptr<MutexBufferPool<ClientSendingData>> pool;
  std::unique_ptr<MutexBufferQueue<ClientSendingData>> queue;
  // With synchronous hand-overs the local adjustor hands the server adjustor
  // its requests here (capacity 1); otherwise the server adjustor runs alone.
  std::unique_ptr<MutexBufferPool<u8>> adjustorPool;
  std::unique_ptr<MutexBufferQueue<u8>> adjustorQueue;
  SenderContext senderThread;
  ThreadContext<u8> adjustorThread;
};

// Gives the tracker the message channel to the sender.
using ServerChannelHook = std::function<void(MutexBuffer<ClientSendingData>* pool,
                                             MutexBuffer<ClientSendingData>* queue)>;

// Connects to host (port 3333 unless given). On failure returns false with
// nothing else made when requireConnection is set (the exported interface);
// otherwise goes on without a connection (the console program). Then makes
// what is missing (sender, server adjustor, channel of 5 messages), hands the
// channel to the tracker and starts threads 4 and 5. With parallel the local
// adjustor's server hand-over is cleared and thread 5 runs without input;
// without it thread 5 takes the local adjustor's requests through a channel
// of its own. True when connected.
bool StartServerLink(ServerLink& link, const std::string& host, GlobalMap* map, Tracker* tracker,
                     BundleAdjustorLocal* local, u8 verbose, const std::string& logFileName,
                     bool requireConnection, const ServerChannelHook& giveTracker, u16 port = 3333,
                     bool parallel = true);
// Stops thread 4, then thread 5; the objects stay.
void StopServerLink(ServerLink& link);
