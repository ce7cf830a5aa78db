// ctest-labels: threads
// The server link's start and stop: it gives the tracker its channel,
// carries a message to our own listener and stops threads 4 and 5 in order.
#include "app/ServerLink.h"

#include <gtest/gtest.h>

#include "app/Listener.h"

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
  const CVD::Image<u8> image(CVD::ImageRef(2, 2), 200);
  ClientSendingData sent;
  sent.Set(6, 9, 0x7FFFFFFF, image, 1);
  HandOverSynchronous(*pool, *queue,
                      [&](ClientSendingData& m) { m.Set(6, 9, 0x7FFFFFFF, image, 1); });
  testing::internal::CaptureStdout();
  StopServerLink(link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop 4\nStop 5\n");
  link.client->Close();
  listener.Join();
  EXPECT_EQ(listener.received, Wire(sent));
}
