// ctest-labels: threads
// The tracker's messages to the server's sender never hold the frame loop on
// a sender that is stuck: a synchronous message waits for a sender that keeps
// up, at most kServerWait for one that does not, and not at all while an
// earlier message is still out; with every item out, a message is dropped.
#include "tracker/WorkerLinks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST(WorkerLinks, ServerMessagesNeverHoldTheFrameLoopOnAStuckSender) {
  MutexBufferPool<ClientSendingData> pool(5);
  MutexBufferQueue<ClientSendingData> queue(5);
  WorkerLinks links{WorkerChannels{}};
  EXPECT_FALSE(links.SendMessage(kMessageQuit, nullptr, 0, false, true));  // no server yet
  links.SetServerLink(&pool, &queue);

  // A sender that keeps up: the message has been sent when the call returns.
  std::thread sender([&] {
    ClientSendingData* message = queue.Get();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pool.Put(message);
  });
  EXPECT_TRUE(links.SendMessage(kMessageStateSaved, nullptr, 7, false, true));
  EXPECT_EQ(5u, pool.Count());
  sender.join();

  // A sender stuck on its server takes nothing more.
  std::atomic<int> returned{0};
  bool sent[6] = {};
  double first = 0.0, rest = 0.0;
  std::thread frameLoop([&] {
    Clock::time_point t0 = Clock::now();
    sent[0] = links.SendMessage(kMessageKeyFrame, nullptr, 0, false, true);
    first = SecondsSince(t0);
    ++returned;
    t0 = Clock::now();
    for (int k = 1; k < 6; ++k, ++returned)
      sent[k] = links.SendMessage(kMessageKeyFrame, nullptr, 0, false, true);
    rest = SecondsSince(t0);
  });
  // Frees a frame loop that waits for ever, so that a failure ends.
  const bool ended = WaitFor([&] { return returned == 6; }, 10.0);
  while (returned < 6) {
    if (ClientSendingData* message = queue.TryGet()) pool.Put(message);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  frameLoop.join();
  ASSERT_TRUE(ended);
  const double wait = std::chrono::duration<double>(WorkerLinks::kServerWait).count();
  EXPECT_GE(first, 0.9 * wait);
  EXPECT_LT(first, wait + 2.0);
  // Four more waits would take four times as long.
  EXPECT_LT(rest, wait);
  EXPECT_EQ((std::vector<bool>{true, true, true, true, true, false}),
            std::vector<bool>(sent, sent + 6));
  EXPECT_EQ(5u, queue.Count());
  EXPECT_EQ(0u, pool.Count());
  while (ClientSendingData* message = queue.TryGet()) {
    EXPECT_EQ(kMessageKeyFrame, message->type);
    pool.Put(message);
  }
}

// A channel with only one of its two buffers is no channel: nothing is
// taken from a lone pool, nothing waits on it, and a lone queue gets nothing.
TEST(WorkerLinks, AHalfSetChannelSendsNothing) {
  MutexBufferPool<u16> surfPool(5);
  MutexBufferQueue<u8> localQueue(1);
  WorkerChannels half;
  half.surfPool = &surfPool;
  half.localQueue = &localQueue;
  WorkerLinks links{half};
  links.SendToSurf(3, true);
  links.SendToSurf(3, false);
  links.SendToLocalAdjustor(true);
  links.SendToLocalAdjustor(false);
  EXPECT_EQ(5u, surfPool.Count());
  EXPECT_EQ(0u, localQueue.Count());
  MutexBufferQueue<ClientSendingData> serverQueue(5);
  links.SetServerLink(nullptr, &serverQueue);
  EXPECT_FALSE(links.HasServer());
  EXPECT_FALSE(links.SendMessage(kMessageQuit, nullptr, 0, false, true));
  EXPECT_EQ(0u, serverQueue.Count());
}

}  // namespace
