// ctest-labels: threads
// The server link's start and stop: it gives the tracker its channel,
// carries a message to our own listener and stops threads 4 and 5 in order.
#include "app/ServerLink.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/Listener.h"

namespace {

TEST(ServerLink, CarriesMessagesAndStopsInOrder) {
  GlobalMap map;
  Listener listener;
  listener.ReadAll();
  ServerLink link;
  MutexBuffer<ClientSendingData>* pool = nullptr;
  MutexBuffer<ClientSendingData>* queue = nullptr;
  ASSERT_TRUE(StartServerLink(
      link, "localhost", &map, nullptr, nullptr, 0, "", true,
      [&](auto* p, auto* q) {
        pool = p;
        queue = q;
      },
      listener.Port()));
  ASSERT_TRUE(pool && queue);
  EXPECT_EQ(pool->Count(), 5u);
  HandOverSynchronous(*pool, *queue, [](ClientSendingData& m) {
    m.type = 6;
    m.frameId = 9;
    m.value = 0x7FFFFFFF;
    m.image.resize(CVD::ImageRef(2, 2));
    m.image.fill(200);
    m.flag = 1;
  });
  testing::internal::CaptureStdout();
  StopServerLink(link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop 4\nStop 5\n");
  link.client->Close();
  listener.Join();
  const std::vector<i32> head = {6, 9, 0x7FFFFFFF, 2, 2};
  ASSERT_EQ(listener.received.size(), 20u + 4u + 4u);
  EXPECT_EQ(std::memcmp(listener.received.data(), head.data(), 20), 0);
  EXPECT_EQ(static_cast<u8>(listener.received[20]), 200);
  i32 flag;
  std::memcpy(&flag, listener.received.data() + 24, 4);
  EXPECT_EQ(flag, 1);
}

}  // namespace
