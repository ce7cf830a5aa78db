// ctest-labels: threads
// The client and the server link against a listener of our own on
// 127.0.0.1: the exact bytes of every message type through the sender
// thread, also through small buffers to a slow reader and after failed
// connects; no SIGPIPE from a closing peer, a stop that does not hang on a
// server that stopped reading, and the link's threads 4 and 5 stopped in order.
#include "app/TcpClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "app/SenderThread.h"
#include "app/ServerLink.h"
#include "common/WaitFor.h"

namespace {

// Accepts one connection on an ephemeral port of 127.0.0.1; a receiveBuffer
// above 0 shrinks the kernel's receive buffer.
struct Listener {
  explicit Listener(int receiveBuffer = 0) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof(a);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), n);
    ::listen(fd, 1);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~Listener() {
    Join();
    if (peer >= 0) ::close(peer);
    ::close(fd);
  }
  // On a thread: accepts and reads everything until the client closes,
  // `chunk` bytes a call, pausing `pause` after each call.
  void ReadAll(size_t chunk = 1 << 16, std::chrono::microseconds pause = {}) {
    reader = std::thread([this, chunk, pause] {
      Accept();
      std::vector<char> buffer(chunk);
      for (ssize_t n; (n = ::recv(peer, buffer.data(), chunk, 0)) > 0;) {
        received.insert(received.end(), buffer.data(), buffer.data() + n);
        std::this_thread::sleep_for(pause);
      }
    });
  }
  // Accepts, then closes at once (thenClose) or never reads.
  void Accept(bool thenClose = false) {
    peer = ::accept(fd, nullptr, nullptr);
    if (!thenClose) return;
    ::close(peer);
    peer = -1;
  }
  void Join() {
    if (reader.joinable()) reader.join();
  }

  int fd = -1, peer = -1;
  u16 port = 0;
  std::vector<char> received;
  std::thread reader;
};

// A message of the given type whose pixels depend on the type.
void Fill(ClientSendingData& m, i32 type, int width = 640, int height = 480) {
  CVD::Image<u8> image(CVD::ImageRef(width, height));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image[y][x] = static_cast<u8>(x * 7 + y * 3 + type);
  m.Set(type, 1000 + type, -type, image, type & 1);
}

// Such a message on the wire: type, frame id, value, width, height, the
// pixels row by row, the flag.
std::vector<char> Wire(i32 type, int width = 640, int height = 480) {
  ClientSendingData m;
  Fill(m, type, width, height);
  const i32 head[5] = {m.type, m.frameId, m.value, width, height};
  std::vector<char> out(reinterpret_cast<const char*>(head),
                        reinterpret_cast<const char*>(head + 5));
  const char* p = reinterpret_cast<const char*>(m.image.data());
  out.insert(out.end(), p, p + width * height);
  const char* flag = reinterpret_cast<const char*>(&m.flag);
  out.insert(out.end(), flag, flag + 4);
  return out;
}

// The sender thread (id 4) over a client and a channel of 5 messages.
struct SenderRig {
  SenderRig() : pool(5), queue(5), sender(&client) {
    context.id = 4, context.worker = &sender, context.in = &queue, context.out = &pool;
  }
  // Stops the sender, which reports its id once.
  void Stop() {
    testing::internal::CaptureStdout();
    StopSenderThread(&context);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop 4\n");
  }
  void Send(i32 type) {
    HandOverSynchronous(pool, queue, [type](ClientSendingData& m) { Fill(m, type); });
  }
  TcpClient client;
  MutexBufferPool<ClientSendingData> pool;
  MutexBufferQueue<ClientSendingData> queue;
  ClientSender sender;
  SenderContext context;
};

TEST(TcpClient, SendsEveryMessageTypeByteExactAlsoToASlowReaderAndAfterFailedConnects) {
  for (const bool slow : {false, true}) {
    Listener listener(slow ? 4096 : 0);  // a 4 KiB receive buffer read in small steps
    SenderRig rig;
    if (!slow) {
      // Failed connects leave nothing to send on; the retry takes a fresh socket.
      const u16 closedPort = Listener().port;
      EXPECT_FALSE(rig.client.Connect(""));
      EXPECT_FALSE(rig.client.Connect("127.0.0.1", closedPort));
      EXPECT_FALSE(rig.client.IsConnected());
      ClientSendingData m;
      Fill(m, 0);
      EXPECT_FALSE(rig.client.SendMessage(m));
    }
    listener.ReadAll(slow ? 4096 : 1 << 16, std::chrono::microseconds(slow ? 20 : 0));
    ASSERT_TRUE(rig.client.Connect(slow ? "127.0.0.1" : "localhost", listener.port));
    StartWorkerThread(&rig.context);
    std::vector<char> expected;
    for (i32 type = 0; type <= 6; ++type) {
      // Every other message goes asynchronously, retried until an item is free.
      const auto fill = [type](ClientSendingData& m) { Fill(m, type); };
      if (type % 2 == 0)
        rig.Send(type);
      else
        ASSERT_TRUE(WaitFor([&] { return HandOverAsynchronous(rig.pool, rig.queue, fill); }));
      const std::vector<char> e = Wire(type);
      expected.insert(expected.end(), e.begin(), e.end());
    }
    rig.Stop();
    EXPECT_FALSE(rig.client.IsBroken());
    rig.client.Close();
    listener.Join();
    EXPECT_TRUE(listener.received == expected) << slow;
  }
}

// A peer that closes breaks the link without a signal: the first sends may
// still land in the kernel buffers, a later one fails and further items come
// back unsent. A peer that never reads blocks the sender in send, and the
// stop still ends it within a second.
TEST(TcpClient, ClosedOrStalledPeerBreaksTheLinkAndTheStopStillEnds) {
  for (const bool closes : {true, false}) {
    Listener listener(4096);
    SenderRig rig;
    ASSERT_TRUE(rig.client.Connect("127.0.0.1", listener.port));
    listener.Accept(closes);
    StartWorkerThread(&rig.context);
    if (closes) {
      ASSERT_TRUE(WaitFor([&] {
        rig.Send(3);
        return rig.client.IsBroken();
      }));
      rig.Send(6);
    } else {
      // Far more than the socket buffers hold.
      for (int i = 0; i < 5; ++i)
        HandOverAsynchronous(rig.pool, rig.queue,
                             [](ClientSendingData& m) { Fill(m, 0, 4096, 4096); });
      ASSERT_TRUE(WaitFor([&] { return rig.queue.Count() < 5; }));
    }
    const auto t0 = std::chrono::steady_clock::now();
    rig.Stop();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.5);
    EXPECT_TRUE(rig.client.IsBroken());
    EXPECT_EQ(rig.pool.Count(), 5u);
  }
}

// The link gives the tracker its channel of 5 messages, carries a message to
// the listener and stops threads 4 and 5 in order.
TEST(ServerLink, CarriesMessagesAndStopsInOrder) {
  GlobalMap map;
  Listener listener;
  listener.ReadAll();
  ServerLink link;
  MutexBuffer<ClientSendingData>*pool = nullptr, *queue = nullptr;
  const auto hook = [&](auto* p, auto* q) { pool = p, queue = q; };
  ASSERT_TRUE(
      StartServerLink(link, "localhost", &map, nullptr, nullptr, 0, "", true, hook, listener.port));
  ASSERT_TRUE(pool && queue);
  EXPECT_EQ(pool->Count(), 5u);
  HandOverSynchronous(*pool, *queue, [](ClientSendingData& m) { Fill(m, 5, 2, 2); });
  testing::internal::CaptureStdout();
  StopServerLink(link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop 4\nStop 5\n");
  link.client->Close();
  listener.Join();
  EXPECT_EQ(listener.received, Wire(5, 2, 2));
}

}  // namespace
