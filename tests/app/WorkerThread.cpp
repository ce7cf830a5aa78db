// ctest-labels: threads
// The worker threads on real threads, and the client and the server link
// against a listener of our own on 127.0.0.1. A stop ends a worker thread
// within a second, blocked in Get, busy, facing a full queue or without
// input, with one "Stop" line; the inertial parameters stay frozen while it
// runs. The sender thread carries the exact bytes of every message type to a
// slow reader after failed connects; a closing peer raises no SIGPIPE, a send
// to a server that stopped reading ends at its deadline, a stop sends what is
// queued and does not hang on such a server, and the link stops threads 4 and
// 5 in order.
#include "app/WorkerThread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "app/SenderThread.h"
#include "app/ServerLink.h"
#include "common/WaitFor.h"

namespace {

// Records the items it sees; each run takes `delay` while busy.
class RecordingWorker : public Worker<int> {
 public:
  void Run(const int* item) override {
    busy = true;
    if (item != nullptr) seen.push_back(*item);
    ++runs;
    std::this_thread::sleep_for(delay);
    busy = false;
  }
  bool IsBusy() const override { return busy; }

  std::chrono::milliseconds delay{0};
  std::atomic<bool> busy{false};
  std::atomic<int> runs{0};
  std::vector<int> seen;
};

// A worker thread `id` over a pool and a queue, or without input.
template <class Item, class W>
struct Rig {
  Rig(i32 id, W* worker, u32 capacity, u32 queueCapacity, bool input = true)
      : pool(capacity), queue(queueCapacity) {
    context.id = id, context.worker = worker;
    if (input) context.in = &queue, context.out = &pool;
  }
  // Stops the thread: within `limit` seconds and with one "Stop <id>" line.
  void Stop(double limit = 1.0) {
    testing::internal::CaptureStdout();
    const auto t0 = std::chrono::steady_clock::now();
    if constexpr (std::is_same_v<W, ClientSender>)
      StopSenderThread(&context);
    else
      StopWorkerThread(&context);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), limit);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop " + std::to_string(context.id) + "\n");
  }
  MutexBufferPool<Item> pool;
  MutexBufferQueue<Item> queue;
  ThreadContext<Item, W> context;
};

// Blocked in Get, nothing runs; busy, the item finishes first; with a full
// queue every item goes back to the pool and at most the two taken run, and
// without an output pool none comes back; without input the worker runs,
// seeing no items, until stopped.
TEST(WorkerThread, StopEndsTheThreadInEveryState) {
  enum Case { kBlocked, kBusy, kFullQueue, kNoInput, kNoPool };
  for (const Case c : {kBlocked, kBusy, kFullQueue, kNoInput, kNoPool}) {
    SCOPED_TRACE(c);
    const bool full = c == kFullQueue || c == kNoPool;
    RecordingWorker worker;
    worker.delay = std::chrono::milliseconds(c == kBusy ? 150 : full ? 100 : 0);
    Rig<int, RecordingWorker> rig(c, &worker, full ? 4 : 1, full ? 3 : 1, c != kNoInput);
    if (c == kNoPool) rig.context.out = nullptr;
    StartWorkerThread(&rig.context);
    EXPECT_TRUE(IMU::ParametersFrozen());
    if (c == kBlocked) std::this_thread::sleep_for(std::chrono::milliseconds(10));  // into Get
    if (c == kBusy) {
      int* item = rig.pool.Get();
      *item = 42;
      rig.queue.Put(item);
    }
    for (int i = 0; full && i < 3; ++i) rig.queue.Put(rig.pool.Get());
    if (c == kBusy || full) {
      ASSERT_TRUE(WaitFor([&] { return worker.busy.load(); }));
    }
    if (full) {
      rig.queue.Put(rig.pool.Get());  // the queue is full again
      EXPECT_EQ(rig.queue.Count(), 3u);
    }
    if (c == kNoInput) {
      ASSERT_TRUE(WaitFor([&] { return worker.runs >= 2; }));
    }
    rig.Stop();
    EXPECT_EQ(rig.pool.Count(), c == kNoPool ? 0u : full ? 4u : 1u);
    EXPECT_EQ(rig.queue.Count(), 0u);
    EXPECT_EQ(worker.runs == 0, c == kBlocked);
    EXPECT_LE(worker.runs, full ? 2 : 1 << 30);
    if (!full) {
      EXPECT_EQ(worker.seen, c == kBusy ? std::vector<int>{42} : std::vector<int>());
    }
    EXPECT_FALSE(IMU::ParametersFrozen());
    StopWorkerThread(&rig.context);  // a second stop is harmless
    EXPECT_FALSE(IMU::ParametersFrozen());
  }
}

// Queued items run in order with no pause between them: the poll step's
// pause is for a worker without input (after each of 100 items, 2 s).
TEST(WorkerThread, QueuedItemsRunInOrderWithoutAPause) {
  RecordingWorker worker;
  Rig<int, RecordingWorker> rig(6, &worker, 100, 100);
  StartWorkerThread(&rig.context);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    int* item = rig.pool.Get();
    *item = i;
    rig.queue.Put(item);
  }
  ASSERT_TRUE(WaitFor([&] { return worker.runs == 100; }));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  rig.Stop();
  std::vector<int> order(100);
  for (int i = 0; i < 100; ++i) order[i] = i;
  EXPECT_EQ(worker.seen, order);
  EXPECT_EQ(rig.pool.Count(), 100u);
}

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
  // `chunk` bytes a call, pausing `pause` after each call; past `limit`
  // bytes it stops reading and closes, so that a runaway sender fails.
  void ReadAll(size_t chunk = 1 << 16, std::chrono::microseconds pause = {},
               size_t limit = SIZE_MAX) {
    reader = std::thread([this, chunk, pause, limit] {
      Accept();
      std::vector<char> buffer(chunk);
      for (ssize_t n;
           received.size() <= limit && (n = ::recv(peer, buffer.data(), chunk, 0)) > 0;) {
        received.insert(received.end(), buffer.data(), buffer.data() + n);
        std::this_thread::sleep_for(pause);
      }
      if (received.size() > limit) ::shutdown(peer, SHUT_RDWR);
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
struct SenderRig : Rig<ClientSendingData, ClientSender> {
  SenderRig() : Rig(4, &sender, 5, 5) {}
  void Send(i32 type) {
    HandOverSynchronous(pool, queue, [type](ClientSendingData& m) { Fill(m, type); });
  }
  TcpClient client;
  ClientSender sender{&client};
};

// A 4 KiB receive buffer read in small steps keeps the sender waiting.
TEST(TcpClient, SendsEveryMessageTypeByteExactToASlowReaderAfterFailedConnects) {
  Listener listener(4096);
  SenderRig rig;
  // Failed connects leave nothing to send on; the retry takes a fresh socket.
  const u16 closedPort = Listener().port;
  EXPECT_FALSE(rig.client.Connect(""));
  EXPECT_FALSE(rig.client.Connect("127.0.0.1", closedPort));
  EXPECT_FALSE(rig.client.IsConnected());
  ClientSendingData m;
  Fill(m, kMessageFrame);
  EXPECT_FALSE(rig.client.SendMessage(m));
  listener.ReadAll(4096, std::chrono::microseconds(20));
  ASSERT_TRUE(rig.client.Connect("localhost", listener.port));
  StartWorkerThread(&rig.context);
  std::vector<char> expected;
  for (i32 type = kMessageFrame; type <= kMessageQuit; ++type) {
    // Every other message goes asynchronously, retried until an item is free.
    const auto fill = [type](ClientSendingData& m) { Fill(m, type); };
    if (type % 2 == 0)
      rig.Send(type);
    else
      ASSERT_TRUE(WaitFor([&] { return HandOverAsynchronous(rig.pool, rig.queue, fill); }));
    const std::vector<char> e = Wire(type);
    expected.insert(expected.end(), e.begin(), e.end());
  }
  rig.Stop(5.0);
  EXPECT_FALSE(rig.client.IsBroken());
  rig.client.Close();
  listener.Join();
  EXPECT_TRUE(listener.received == expected);
}

// Sends SIGUSR1, whose handler only counts and restarts nothing, to one
// thread every `period` while it lives: the thread's blocking calls return
// early, a send with part of its bytes (or none: EINTR), a connect with EINTR.
class Interrupter {
 public:
  Interrupter(pthread_t target, std::chrono::microseconds period) {
    struct sigaction action {};
    action.sa_handler = [](int) { ++signals; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);  // stays: a late signal only counts
    thread = std::thread([this, target, period] {
      for (; !stop; std::this_thread::sleep_for(period)) pthread_kill(target, SIGUSR1);
    });
  }
  ~Interrupter() {
    stop = true;
    thread.join();
  }
  static inline std::atomic<int> signals{0};

 private:
  std::atomic<bool> stop{false};
  std::thread thread;
};

// 8 MiB, far more than the socket buffers hold, to a slow reader while the
// sending thread is interrupted every millisecond: the sends that return
// part of the bytes or none are continued, and every byte arrives in order;
// so does a single byte.
TEST(TcpClient, InterruptedAndPartialSendsAreContinuedAndOneByteIsSent) {
  std::vector<char> data(8 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  const char last = 'z';
  Listener listener(4096);
  listener.ReadAll(4096, std::chrono::microseconds(20), data.size() + 1);
  TcpClient client;
  // A reader this slow is no stalled server, however loaded the machine.
  client.SetSendDeadline(std::chrono::minutes(2));
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.port));
  const int before = Interrupter::signals;
  {
    Interrupter interrupter(pthread_self(), std::chrono::milliseconds(1));
    EXPECT_TRUE(client.SendAll(data.data(), data.size()));
  }
  EXPECT_GT(Interrupter::signals - before, 10);
  EXPECT_TRUE(client.SendAll(&last, 1));
  client.Close();
  listener.Join();
  data.push_back(last);
  EXPECT_TRUE(listener.received == data) << listener.received.size();
}

// Connections nobody accepts, until one stays pending: the listener's queue
// is full and the kernel drops further handshakes.
static std::vector<int> FillAcceptQueue(u16 port) {
  std::vector<int> fillers;
  for (bool pending = false; !pending && fillers.size() < 16;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    pollfd p{fd, POLLOUT, 0};
    pending = ::poll(&p, 1, 100) == 0;
    fillers.push_back(fd);
  }
  return fillers;
}

// With the listener's queue full the connect waits until a retried SYN gets
// in; interrupted meanwhile, it waits on rather than giving up. Nobody
// accepting, it gives up at its deadline instead of the system's minutes.
TEST(TcpClient, AConnectWaitsThroughInterruptionsUntilItsDeadline) {
  {
    Listener listener;
    std::vector<int> fillers = FillAcceptQueue(listener.port);
    TcpClient client;
    client.SetSendDeadline(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect("127.0.0.1", listener.port));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(client.IsConnected());
    for (const int fd : fillers) ::close(fd);
  }
  Listener listener;
  std::vector<int> fillers = FillAcceptQueue(listener.port);
  // Once the client has been interrupted a few times, the queue is emptied.
  std::atomic<bool> connecting{true};
  std::thread acceptor([&] {
    const int start = Interrupter::signals;
    while (connecting && Interrupter::signals - start < 5)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (connecting) {
      pollfd p{listener.fd, POLLIN, 0};
      if (::poll(&p, 1, 10) == 1) fillers.push_back(::accept(listener.fd, nullptr, nullptr));
    }
  });
  TcpClient client;
  client.SetSendDeadline(std::chrono::seconds(30));
  const int before = Interrupter::signals;
  bool connected;
  {
    Interrupter interrupter(pthread_self(), std::chrono::milliseconds(20));
    connected = client.Connect("127.0.0.1", listener.port);
  }
  connecting = false;
  acceptor.join();
  EXPECT_TRUE(connected);
  EXPECT_TRUE(client.IsConnected());
  EXPECT_GE(Interrupter::signals - before, 5);
  for (const int fd : fillers) ::close(fd);
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
        rig.Send(kMessageKeyFrame);
        return rig.client.IsBroken();
      }));
      rig.Send(kMessageQuit);
    } else {
      // Far more than the socket buffers hold.
      for (int i = 0; i < 5; ++i)
        HandOverAsynchronous(rig.pool, rig.queue,
                             [](ClientSendingData& m) { Fill(m, kMessageFrame, 4096, 4096); });
      ASSERT_TRUE(WaitFor([&] { return rig.queue.Count() < 5; }));
    }
    rig.Stop(1.5);
    EXPECT_TRUE(rig.client.IsBroken());
    EXPECT_EQ(rig.pool.Count(), 5u);
  }
}

// A peer that takes nothing more holds a send no longer than the deadline:
// the message fails, the link breaks with one line on standard error, and
// later sends fail at once, without another line.
TEST(TcpClient, ASendToAStalledPeerEndsAtItsDeadline) {
  Listener listener(4096);
  TcpClient client;
  client.SetSendDeadline(std::chrono::milliseconds(300));
  ASSERT_TRUE(client.Connect("127.0.0.1", listener.port));
  listener.Accept();
  ClientSendingData m;
  Fill(m, kMessageKeyFrame, 4096, 4096);  // far more than the socket buffers hold
  testing::internal::CaptureStderr();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.SendMessage(m));
  const double first = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.SendMessage(m));
  const double second =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(client.IsBroken());
  EXPECT_GE(first, 0.25);
  EXPECT_LT(first, 5.0);
  EXPECT_LT(second, 0.25);
  EXPECT_EQ("Server link: a message did not go out within 0.3 s: going on without the server\n",
            printed);
}

// Messages still queued when the stop comes, the quit among them, go out
// before the sender ends: 5 MiB, more than the socket buffers hold, to a
// reader that starts 0.2 s late, so that the sender is still at the first
// ones when the stop comes, and then reads at full speed.
TEST(TcpClient, TheStopSendsWhatIsQueuedFirst) {
  Listener listener(4096);
  std::thread late([&listener] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    listener.ReadAll();
  });
  SenderRig rig;
  ASSERT_TRUE(rig.client.Connect("127.0.0.1", listener.port));
  StartWorkerThread(&rig.context);
  std::vector<char> expected;
  for (i32 type = kMessageFrame; type < kMessageFrame + 5; ++type) {
    ASSERT_TRUE(HandOverAsynchronous(rig.pool, rig.queue,
                                     [type](ClientSendingData& m) { Fill(m, type, 1024, 1024); }));
    const std::vector<char> e = Wire(type, 1024, 1024);
    expected.insert(expected.end(), e.begin(), e.end());
  }
  rig.Stop(5.0);
  EXPECT_FALSE(rig.client.IsBroken());
  EXPECT_EQ(rig.pool.Count(), 5u);
  rig.client.Close();
  late.join();
  listener.Join();
  EXPECT_TRUE(listener.received == expected) << listener.received.size();
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
  HandOverSynchronous(*pool, *queue,
                      [](ClientSendingData& m) { Fill(m, kMessageStateLoaded, 2, 2); });
  testing::internal::CaptureStdout();
  StopServerLink(link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Stop 4\nStop 5\n");
  EXPECT_FALSE(IMU::ParametersFrozen());  // both stops thawed
  link.client->Close();
  listener.Join();
  EXPECT_EQ(listener.received, Wire(kMessageStateLoaded, 2, 2));
}

// With synchronous hand-overs the local adjustor reaches the server adjustor
// (thread 5) through a channel of one request; with parallel ones it does not.
TEST(ServerLink, SynchronousRunsGiveTheServerAdjustorItsChannel) {
  GlobalMap map;
  BundleAdjustorLocal local(&map, nullptr, nullptr, 0, "");
  for (const bool parallel : {false, true}) {
    Listener listener;
    listener.ReadAll();
    ServerLink link;
    ASSERT_TRUE(StartServerLink(link, "localhost", &map, nullptr, &local, 0, "", true, nullptr,
                                listener.port, parallel));
    EXPECT_EQ(parallel ? nullptr : link.adjustorPool.get(), local.serverPool);
    EXPECT_EQ(parallel ? nullptr : link.adjustorQueue.get(), local.serverQueue);
    EXPECT_EQ(local.serverQueue, link.adjustorThread.in);
    if (!parallel) {
      ASSERT_EQ(1u, link.adjustorPool->Count());
      HandOverSynchronous(*link.adjustorPool, *link.adjustorQueue,
                          [](u8& request) { request = 1; });
      EXPECT_EQ(1u, link.adjustorPool->Count());  // thread 5 gave it back
    }
    testing::internal::CaptureStdout();
    StopServerLink(link);
    testing::internal::GetCapturedStdout();
    link.client->Close();
    listener.Join();
  }
}

}  // namespace
