// ctest-labels: threads
// The server link's start and stop: it gives the tracker its channel,
// carries a message to our own listener and stops threads 4 and 5 in order.
#include "app/ServerLink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace {

// Listens on an ephemeral port of 127.0.0.1.
struct Listener {
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd, 1);
    socklen_t n = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
  int fd;
  u16 port;
};

TEST(ServerLink, CarriesMessagesAndStopsInOrder) {
  GlobalMap map;
  Listener listener;
  std::vector<char> received;
  std::thread reader([&] {
    const int peer = ::accept(listener.fd, nullptr, nullptr);
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(peer, buffer, sizeof(buffer), 0)) > 0)
      received.insert(received.end(), buffer, buffer + n);
    ::close(peer);
  });
  ServerLink link;
  MutexBuffer<ClientSendingData>* pool = nullptr;
  MutexBuffer<ClientSendingData>* queue = nullptr;
  ASSERT_TRUE(StartServerLink(
      link, "localhost", &map, nullptr, nullptr, 0, "", true,
      [&](auto* p, auto* q) {
        pool = p;
        queue = q;
      },
      listener.port));
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
  reader.join();
  const std::vector<i32> head = {6, 9, 0x7FFFFFFF, 2, 2};
  ASSERT_EQ(received.size(), 20u + 4u + 4u);
  EXPECT_EQ(std::memcmp(received.data(), head.data(), 20), 0);
  EXPECT_EQ(static_cast<u8>(received[20]), 200);
  i32 flag;
  std::memcpy(&flag, received.data() + 24, 4);
  EXPECT_EQ(flag, 1);
}

}  // namespace
