// ctest-labels: threads
// The exported interface with a server on 127.0.0.1:3333 (the port is fixed,
// so CTest runs this test alone): the listener receives the exact messages of
// an engine's life, from the first key frame to the quit, with the frames as
// the tracker saw them (remapped by a lens, unchanged by a later engine
// without one at another size); a second ZevrionSetServer on a live link
// changes nothing; status 4 follows the tracker's server flag; a closed port
// leaves no server behind and the status never 4; a server that stops
// reading holds up neither the frames nor the end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "app/HostEngine.h"
#include "common/TempFolder.h"
#include "common/WaitFor.h"
#include "common/app/HostInput.h"
#include "common/app/ServerPort.h"

namespace {

// Accepts one connection after another and keeps the bytes of each until its
// client closes.
class Server {
 public:
  Server() : fd_(BindPort3333(true)) {
    if (fd_ >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~Server() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Listening() const { return fd_ >= 0; }
  std::vector<std::vector<u8>> Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int peer = ::accept(fd_, nullptr, nullptr);
      if (peer < 0) continue;
      std::vector<u8> bytes;
      u8 buffer[1 << 16];
      for (ssize_t n; (n = ::recv(peer, buffer, sizeof(buffer), 0)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
      ::close(peer);
      std::lock_guard<std::mutex> lock(mutex_);
      closed_.push_back(std::move(bytes));
    }
  }

  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::vector<u8>> closed_;
};

struct Message {
  i32 type, id, value, width, height, flag;
  std::vector<u8> pixels;
};

// The stream cut into messages (type, id, value, width, height, pixels,
// flag); false when bytes are left over or missing.
bool Parse(const std::vector<u8>& bytes, std::vector<Message>& out) {
  size_t at = 0;
  const auto take = [&](void* to, size_t n) {
    if (bytes.size() - at < n) return false;
    std::memcpy(to, bytes.data() + at, n);
    at += n;
    return true;
  };
  while (at < bytes.size()) {
    Message m;
    i32 head[5];
    if (!take(head, sizeof(head))) return false;
    m.type = head[0], m.id = head[1], m.value = head[2], m.width = head[3], m.height = head[4];
    if (m.width < 0 || m.height < 0) return false;
    m.pixels.resize(static_cast<size_t>(m.width) * static_cast<size_t>(m.height));
    if (!take(m.pixels.data(), m.pixels.size()) || !take(&m.flag, 4)) return false;
    out.push_back(std::move(m));
  }
  return true;
}

// The messages of one connection, each with its frame counted from the
// first, at w x h with the image `expected` gives for its frame and the flag
// clear.
template <class Expected>
std::vector<Message> ExpectFrames(const std::vector<u8>& stream, int w, int h, u32 frames,
                                  Expected&& expected) {
  std::vector<Message> messages;
  EXPECT_TRUE(Parse(stream, messages)) << stream.size() << " bytes";
  EXPECT_FALSE(messages.empty());
  for (Message& m : messages) {
    m.id -= messages.front().id;
    EXPECT_TRUE(m.id >= 0 && m.id < static_cast<i32>(frames)) << m.id;
    EXPECT_EQ(w, m.width);
    EXPECT_EQ(h, m.height);
    EXPECT_EQ(0, m.flag);
    if (m.id >= 0 && m.id < static_cast<i32>(frames)) {
      EXPECT_TRUE(m.pixels == expected(static_cast<u32>(m.id))) << "frame " << m.id;
    }
  }
  return messages;
}

// An engine on the room's camera, linked to the server and started.
void StartEngine(const SequenceOptions& o, const float* lens) {
  ZevrionCreate(o.width, o.height, HostHfov(o), 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr,
                lens);
  ZevrionSetServer("127.0.0.1");
  ZevrionStartTracking(nullptr, 0);
}

}  // namespace

TEST(HostServerTest, ListenerReceivesTheExactMessagesOfEachEnginesLife) {
  Server server;
  ASSERT_TRUE(server.Listening());
  // A barrel lens at 640 x 480: the server gets the remapped frames.
  const SequenceOptions large = HostRoom(640);
  SequenceGenerator room(large);
  std::vector<HostInput> inputs(12);
  for (u32 k = 0; k < 4; ++k) inputs[k].Load(room, k);
  const float lens[9] = {480.0f, 480.0f, 322.0f, 238.0f, -0.2f, 0.03f, 0.001f, 0.0f, 0.0f};
  StartEngine(large, lens);
  for (u32 k = 0; k < 4; ++k) inputs[k].Run(k);
  ZevrionDestroy();
  ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 1; }));
  Intrinsic ideal;
  const float f = static_cast<float>(320 / std::tan(HostHfov(large) * 0.01745329238474369 / 2));
  ideal.Set(f, f, 319.5f, 239.5f);
  UndistortionTable table;
  table.Build(
      640, 480, ideal,
      LensModel{lens[0], lens[1], lens[2], lens[3], lens[4], lens[5], lens[6], lens[7], lens[8]});
  ExpectFrames(server.Closed()[0], 640, 480, 4, [&](u32 k) {
    CVD::Image<u8> image(CVD::ImageRef(640, 480));
    std::memcpy(image.data(), inputs[k].pixels.data(), 640 * 480);
    table.CopyFrameForRemap(image);
    table.RemapFrame(image);
    const std::vector<u8> out(image.data(), image.data() + 640 * 480);
    EXPECT_TRUE(out != inputs[k].pixels);  // the lens does change the frame
    return out;
  });

  // A smaller engine without a lens: frames pass unchanged, a second server
  // on the live link changes nothing, and the saved state's message comes
  // before the quit.
  constexpr u32 kFrames = 12;
  const SequenceOptions small = HostRoom(320);
  SequenceGenerator smallRoom(small);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Load(smallRoom, k);
  StartEngine(small, nullptr);
  ZevrionSetServer("127.0.0.1");
  for (u32 k = 0; k < kFrames; ++k) EXPECT_EQ(k < 2 ? 1 : 2, inputs[k].Run(k).status) << k;
  EXPECT_EQ(1u, server.Closed().size());
  TempFolder folder;
  ZevrionSaveFile(folder.File("state.bin").c_str());
  ZevrionDestroy();
  ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 2; }));
  std::vector<Message> sent =
      ExpectFrames(server.Closed()[1], 320, 240, kFrames, [&](u32 k) { return inputs[k].pixels; });
  // First key frame at the start frame; the saved state and the quit with
  // the last frame; between, ordinary frames at least 3 frames apart, so
  // that every third frame of the run goes out.
  ASSERT_GE(sent.size(), 3 + (kFrames - 1) / 3);
  EXPECT_EQ(kMessageStateSaved, sent[sent.size() - 2].type);
  EXPECT_EQ(static_cast<i32>(kFrames) - 1, sent[sent.size() - 2].id);
  sent.erase(sent.end() - 2);
  EXPECT_EQ(kMessageFirstKeyFrame, sent.front().type);
  EXPECT_EQ(kMessageQuit, sent.back().type);
  EXPECT_EQ(static_cast<i32>(kFrames) - 1, sent.back().id);
  for (size_t i = 1; i + 1 < sent.size(); ++i) {
    const i32 t = sent[i].type;
    EXPECT_TRUE(t == kMessageFrame || t == kMessageMapInitialised || t == kMessageKeyFrame) << t;
    if (t == kMessageFrame) {
      EXPECT_GE(sent[i].id, sent[i - 1].id + 3);
    }
  }
}

TEST(HostServerTest, StatusFourFollowsTheServerFlagAndAClosedPortLeavesNoServer) {
  const SequenceOptions options = HostRoom(320);
  SequenceGenerator sequence(options);
  HostSettings settings;
  settings.width = 320;
  settings.height = 240;
  settings.hfovDegrees = HostHfov(options);
  std::string why;
  std::unique_ptr<HostEngine> engine = HostEngine::Create(settings, why);
  ASSERT_TRUE(engine) << why;
  HostInput input;
  TrackingResult out;
  UndistortionTable noLens;
  const auto run = [&](u32 k) {
    input.Load(sequence, k);
    const HostFrame frame{input.pixels.data(), input.time, k == 0 ? input.marker : nullptr};
    engine->RunTracking(out, frame, input.imu.data(), static_cast<int>(input.imu.size()),
                        input.prior, noLens);
    return out.status;
  };
  // The flag is the tracker's; the test sets it as a lost link would.
  const auto setFlag = [&](u8 flag) {
    const_cast<TrackerStatus&>(engine->GetTracker().Status()).serverFlag = flag;
  };

  // Nothing listens: the port is held closed, so the connection is refused.
  const int closed = BindPort3333(false);
  ASSERT_GE(closed, 0);
  engine->SetServer("127.0.0.1");
  engine->StartTracking(nullptr, 0);
  for (u32 k = 0; k < 6; ++k) {
    if (k == 3) setFlag(1);
    EXPECT_EQ(k < 2 ? 1 : 2, run(k)) << k;  // no client: never 4
  }
  setFlag(0);
  ::close(closed);

  // The failed attempt left nothing half made: a later one connects.
  Server server;
  ASSERT_TRUE(server.Listening());
  engine->SetServer("127.0.0.1");
  EXPECT_EQ(2, run(6));
  setFlag(1);
  EXPECT_EQ(4, run(7));
  EXPECT_EQ(4, run(8));
  setFlag(0);
  EXPECT_EQ(2, run(9));
  engine.reset();
  ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 1; }));
  // Messages carry the flag as the tracker held it; the quit's is clear.
  std::vector<Message> messages;
  ASSERT_TRUE(Parse(server.Closed()[0], messages));
  ASSERT_FALSE(messages.empty());
  for (const Message& m : messages) EXPECT_TRUE(m.flag == 0 || m.flag == 1);
  EXPECT_EQ(kMessageQuit, messages.back().type);
  EXPECT_EQ(0, messages.back().flag);
}

// A server that accepts and never reads, sent 640 x 480 frames: the socket
// buffers fill within a few dozen messages, and every frame still returns
// with a pose, the destroy ends within seconds, and the stall is reported
// once. (A frame stuck on the server is freed by dropping the connection, so
// that a failure ends.)
TEST(HostServerTest, AServerThatStopsReadingHoldsUpNoFrame) {
  constexpr u32 kFrames = 36;
  StalledServer server;
  ASSERT_TRUE(server.Listening());
  const SequenceOptions options = HostRoom(640, kFrames);
  SequenceGenerator room(options);
  std::vector<HostInput> inputs(kFrames);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Load(room, k);
  std::vector<TrackingResult> results(kFrames);
  std::atomic<u32> returned{0};
  std::atomic<bool> finished{false};
  double destroySeconds = 0.0;
  testing::internal::CaptureStderr();
  std::thread host([&] {
    StartEngine(options, nullptr);
    for (u32 k = 0; k < kFrames; ++k, ++returned) results[k] = inputs[k].Run(k);
    const auto t0 = std::chrono::steady_clock::now();
    ZevrionDestroy();
    destroySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    finished = true;
  });
  const bool ended = WaitFor([&] { return finished.load(); }, 120.0);
  const u32 reached = returned;
  const bool accepted = server.Accepted();
  if (!ended) server.Release();
  host.join();
  const std::string printed = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended) << "stuck on the server after " << reached << " frames";
  EXPECT_TRUE(accepted);
  EXPECT_LT(destroySeconds, 5.0);
  for (u32 k = 0; k < kFrames; ++k) {
    EXPECT_EQ(k < 2 ? 1 : 2, results[k].status) << k;
    if (k >= 2) {
      const float* q = results[k].quaternion;
      EXPECT_NEAR(1.0f, q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1e-3f) << k;
    }
  }
  const size_t at = printed.find("Server link: ");
  EXPECT_NE(std::string::npos, at) << printed;
  EXPECT_EQ(std::string::npos, printed.find("Server link: ", at + 1)) << printed;
}
