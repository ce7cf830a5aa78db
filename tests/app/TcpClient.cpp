// ctest-labels: threads
// The server link against a listener of our own on 127.0.0.1: the exact bytes
// of every message type through the sender thread, an intact stream through
// small buffers and a slow reader, no SIGPIPE from a closing peer, and a stop
// that does not hang on a server that stopped reading.
#include "app/TcpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "app/Listener.h"
#include "app/SenderThread.h"
#include "common/WaitFor.h"

namespace {

// A 640 x 480 image (or a larger one) whose bytes depend on the message type.
void FillMessage(ClientSendingData& m, i32 type, int width = 640, int height = 480) {
  m.type = type;
  m.frameId = 1000 + type;
  m.value = -type;
  m.image.resize(CVD::ImageRef(width, height));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) m.image[y][x] = static_cast<u8>(x * 7 + y * 3 + type);
  m.flag = type & 1;
}

void AppendInt(std::vector<char>& out, i32 v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

std::vector<char> Expected(const ClientSendingData& m) {
  std::vector<char> out;
  for (i32 v : {m.type, m.frameId, m.value, 640, 480}) AppendInt(out, v);
  const char* p = reinterpret_cast<const char*>(m.image.data());
  out.insert(out.end(), p, p + 640 * 480);
  AppendInt(out, m.flag);
  return out;
}

struct SenderRig {
  SenderRig() : pool(5), queue(5), sender(&client) {
    context.id = 4;
    context.worker = &sender;
    context.in = &queue;
    context.out = &pool;
  }
  // Stops the sender, which reports its id once.
  void Stop() {
    testing::internal::CaptureStdout();
    StopSenderThread(&context);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop 4\n");
  }
  void Send(i32 type) {
    HandOverSynchronous(pool, queue, [type](ClientSendingData& m) { FillMessage(m, type); });
  }
  TcpClient client;
  MutexBufferPool<ClientSendingData> pool;
  MutexBufferQueue<ClientSendingData> queue;
  ClientSender sender;
  SenderContext context;
};

TEST(TcpClient, SendsEveryMessageTypeByteExactAlsoToASlowReader) {
  for (const bool slow : {false, true}) {
    Listener listener(slow ? 4096 : 0);  // a 4 KiB receive buffer read in small steps
    if (slow) {
      listener.ReadAll(4096, std::chrono::microseconds(20));
    } else {
      listener.ReadAll();
    }
    SenderRig rig;
    ASSERT_TRUE(rig.client.Connect(slow ? "127.0.0.1" : "localhost", listener.Port()));
    StartWorkerThread(&rig.context);
    std::vector<char> expected;
    for (i32 type = 0; type <= 6; ++type) {
      rig.Send(type);
      ClientSendingData m;
      FillMessage(m, type);
      const std::vector<char> e = Expected(m);
      expected.insert(expected.end(), e.begin(), e.end());
    }
    rig.Stop();
    EXPECT_FALSE(rig.client.IsBroken());
    rig.client.Close();
    listener.Join();
    ASSERT_EQ(listener.received.size(), expected.size()) << slow;
    EXPECT_TRUE(listener.received == expected) << slow;
  }
}

TEST(TcpClient, ConnectFailsCleanlyAndRetriesOnAFreshSocket) {
  TcpClient client;
  EXPECT_FALSE(client.Connect(""));
  u16 closedPort;
  {
    Listener gone;
    closedPort = gone.Port();
  }
  EXPECT_FALSE(client.Connect("127.0.0.1", closedPort));
  EXPECT_FALSE(client.IsConnected());
  ClientSendingData m;
  FillMessage(m, 0);
  EXPECT_FALSE(client.SendMessage(m));  // nothing to send on
  Listener listener;
  listener.ReadAll();
  EXPECT_TRUE(client.Connect("127.0.0.1", listener.Port()));
  EXPECT_TRUE(client.SendMessage(m));
  client.Close();
  listener.Join();
  EXPECT_EQ(listener.received, Expected(m));
}

TEST(TcpClient, ClosingPeerBreaksTheLinkWithoutSignal) {
  Listener listener;
  SenderRig rig;
  ASSERT_TRUE(rig.client.Connect("127.0.0.1", listener.Port()));
  listener.AcceptAndClose();
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
  ASSERT_TRUE(rig.client.Connect("127.0.0.1", listener.Port()));
  listener.AcceptAndHold();
  StartWorkerThread(&rig.context);
  // Far more than the socket buffers hold: the sender blocks in send.
  for (int i = 0; i < 5; ++i) {
    HandOverAsynchronous(rig.pool, rig.queue,
                         [](ClientSendingData& m) { FillMessage(m, 0, 4096, 4096); });
  }
  ASSERT_TRUE(WaitFor([&] { return rig.queue.Count() < 5; }));
  const auto t0 = std::chrono::steady_clock::now();
  rig.Stop();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 1.5);
  EXPECT_TRUE(rig.client.IsBroken());
  EXPECT_EQ(rig.pool.Count(), 5u);
}

}  // namespace
