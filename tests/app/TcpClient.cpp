// ctest-labels: threads
// The client against a listener of our own on 127.0.0.1: the exact bytes of
// every message type through the sender thread, also through small buffers to
// a slow reader and after failed connects; no SIGPIPE from a closing peer, and
// a stop that does not hang on a server that stopped reading.
#include "app/TcpClient.h"

#include <gtest/gtest.h>

#include <chrono>

#include "app/Listener.h"
#include "app/SenderThread.h"
#include "common/WaitFor.h"

namespace {

// A message of the given type whose pixels depend on the type.
void Fill(ClientSendingData& m, i32 type, int width = 640, int height = 480) {
  CVD::Image<u8> image(CVD::ImageRef(width, height));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image[y][x] = static_cast<u8>(x * 7 + y * 3 + type);
  m.Set(type, 1000 + type, -type, image, type & 1);
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
      rig.Send(type);
      ClientSendingData m;
      Fill(m, type);
      const std::vector<char> e = Wire(m);
      expected.insert(expected.end(), e.begin(), e.end());
    }
    rig.Stop();
    EXPECT_FALSE(rig.client.IsBroken());
    rig.client.Close();
    listener.Join();
    EXPECT_TRUE(listener.received == expected) << slow;
  }
}

TEST(TcpClient, ClosingPeerBreaksTheLinkWithoutSignal) {
  Listener listener;
  SenderRig rig;
  ASSERT_TRUE(rig.client.Connect("127.0.0.1", listener.port));
  listener.Accept(true);
  StartWorkerThread(&rig.context);
  // The first sends may still land in the kernel buffers; a later one fails.
  ASSERT_TRUE(WaitFor([&] {
    rig.Send(3);
    return rig.client.IsBroken();
  }));
  rig.Send(6);  // dropped unsent, the item comes back
  EXPECT_EQ(rig.pool.Count(), 5u);
  rig.Stop();
}

TEST(TcpClient, StopDuringABlockedSendEndsWithinASecond) {
  Listener listener(4096);
  SenderRig rig;
  ASSERT_TRUE(rig.client.Connect("127.0.0.1", listener.port));
  listener.Accept();
  StartWorkerThread(&rig.context);
  // Far more than the socket buffers hold: the sender blocks in send.
  for (int i = 0; i < 5; ++i)
    HandOverAsynchronous(rig.pool, rig.queue, [](ClientSendingData& m) { Fill(m, 0, 4096, 4096); });
  ASSERT_TRUE(WaitFor([&] { return rig.queue.Count() < 5; }));
  const auto t0 = std::chrono::steady_clock::now();
  rig.Stop();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.5);
  EXPECT_TRUE(rig.client.IsBroken());
  EXPECT_EQ(rig.pool.Count(), 5u);
}

}  // namespace
