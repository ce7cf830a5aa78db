#pragma once
// The send-only link to the remote server, and the worker of the sender
// thread. A message goes out as little-endian int32 type, id, value, image
// width and height, the pixel rows as stored (stride x height bytes) and an
// int32 flag, with no framing. Every message has a deadline: a server that
// stops reading breaks the link instead of holding the sender for ever. After
// a failed send the link counts as broken and later messages are dropped
// unsent.
#include <atomic>
#include <chrono>
#include <cstddef>

#include "la/ClientSendingData.h"
#include "la/Types.h"
#include "mapping/Worker.h"

class TcpClient {
 public:
  // Time one message may take to go out by default.
  static constexpr std::chrono::milliseconds kSendDeadline{3000};

  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to the first IPv4 address of host; a fresh socket per attempt
  // (a socket is unusable after a failed connect). False when the name does
  // not resolve or the connection fails or is not made within the send
  // deadline.
  bool Connect(const char* host, u16 port = 3333);
  // Sends every byte within the deadline (partial sends continued,
  // interruptions retried, no SIGPIPE); false, and the link marked broken,
  // when the peer fails or the deadline passes.
  bool SendAll(const void* data, size_t size);
  // Sends one message in the wire layout within one deadline; false when not
  // connected or broken.
  bool SendMessage(const ClientSendingData& message);
  // The time a message (or a SendAll, or a Connect) may take before the link
  // breaks.
  void SetSendDeadline(std::chrono::milliseconds deadline) { deadline_ = deadline; }
  // Ends a send blocked on a peer that stopped reading (from another thread):
  // the link counts as broken, saying why when a reason is given.
  void Shutdown(const char* why = nullptr);
  // True once a send has failed.
  bool IsBroken() const { return broken_; }
  // True while a connected socket is held.
  bool IsConnected() const { return socket_ >= 0; }
  // Closes the socket; the server sees the end of the stream.
  void Close();

 private:
  using Clock = std::chrono::steady_clock;

  bool SendUntil(const void* data, size_t size, Clock::time_point deadline);
  // Marks the link broken; the first time, says why on standard error.
  void Break(const char* why);

  std::atomic<int> socket_{-1};
  std::atomic<bool> broken_{false};
  std::atomic<std::chrono::milliseconds> deadline_{kSendDeadline};
};

// Worker of the sender thread (id 4): sends each message on the client.
class ClientSender : public Worker<ClientSendingData> {
 public:
  explicit ClientSender(TcpClient* client) : client(client) {}
  // Sends the message; failures only mark the link broken.
  void Run(const ClientSendingData* message) override;
  // Never set: a send blocked on the network must not hold up the stop.
  bool IsBusy() const override { return busy; }

  TcpClient* client;
  std::atomic<bool> busy{false};
};
