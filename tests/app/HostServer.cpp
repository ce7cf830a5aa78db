// ctest-labels: threads
// The exported interface with a server on 127.0.0.1:3333 (the port is fixed,
// so CTest runs this test alone): the listener receives the exact bytes of
// the messages of an engine's life, from the first key frame to the quit; a
// second ZevrionSetServer on a live link changes nothing; status 4 follows
// the tracker's server flag; a closed port leaves no server behind and the
// status never 4. Where the build saves states, the saved state's message
// comes before the quit. Frames reach the server as the tracker saw them, which
// shows the undistortion: a lens engine remaps them, and a later engine
// without a lens at another size takes them unchanged.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/HostEngine.h"
#include "app/zevrion.h"
#include "common/SequenceGenerator.h"
#include "common/TempFolder.h"
#include "common/WaitFor.h"

namespace {

// A socket bound to 127.0.0.1:3333, listening or (refusing) not. Another
// program may hold the port for a moment: binding is retried for a while.
int BindPort3333(bool listening) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(3333);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        (!listening || ::listen(fd, 4) == 0)) {
      return fd;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return -1;
}

// The server: accepts one connection after another on port 3333 and keeps
// the bytes of each until its client closes.
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
  // The streams of the connections closed so far.
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
      for (ssize_t n; (n = ::recv(peer, buffer, sizeof(buffer), 0)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
      }
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

// The stream cut into messages; false when bytes are left over or missing.
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

// A message as the wire carries it.
void AppendWire(std::vector<u8>& out, i32 type, i32 id, i32 value, int w, int h,
                const std::vector<u8>& pixels, i32 flag) {
  const i32 head[5] = {type, id, value, w, h};
  const u8* p = reinterpret_cast<const u8*>(head);
  out.insert(out.end(), p, p + sizeof(head));
  out.insert(out.end(), pixels.begin(), pixels.end());
  p = reinterpret_cast<const u8*>(&flag);
  out.insert(out.end(), p, p + 4);
}

SequenceOptions Room(int width) {
  SequenceOptions options;
  options.frames = 30;
  options.width = width;
  options.height = width * 3 / 4;
  options.fx = options.fy = width * 500.0f / 640.0f;
  options.cx = (options.width - 1) * 0.5f;
  options.cy = (options.height - 1) * 0.5f;
  options.gravity = 0.0;
  return options;
}

double Hfov(const SequenceOptions& o) {
  return 2.0 * std::atan(o.width * 0.5 / o.fx) / 0.01745329238474369;
}

// Frame k of the room as the host hands it in, with its readings and prior.
struct HostInput {
  std::vector<u8> pixels;
  std::vector<HostImuSample> imu;
  double prior[8];
  float marker[10];
  double time;

  void Load(SequenceGenerator& sequence, u32 k) {
    CVD::Image<u8> image;
    sequence.RenderFrame(k, image);
    const int w = image.size().x, h = image.size().y;
    pixels.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) std::memcpy(&pixels[static_cast<size_t>(y) * w], image[y], w);
    std::vector<IMUSample> samples;
    sequence.FrameSamples(k, samples);
    imu.clear();
    for (const IMUSample& s : samples) {
      imu.push_back({0, s.acceleration[0] / -9.81, s.acceleration[1] / -9.81,
                     s.acceleration[2] / -9.81, s.time});
      imu.push_back({1, s.rotationRate[0], s.rotationRate[1], s.rotationRate[2], s.time});
    }
    sequence.PosePrior(k, prior);
    for (int i = 4; i < 7; ++i) prior[i] = -prior[i];
    sequence.MarkerObservation(k, marker);
    time = sequence.FrameTime(k);
  }
  TrackingResult Run(u32 k) {
    const HostFrame frame{pixels.data(), time, k == 0 ? marker : nullptr};
    TrackingResult out;
    ZevrionRunTracking(&out, &frame, imu.data(), static_cast<int>(imu.size()), prior);
    return out;
  }
};

// Every message of one connection: the wire layout with the frame's image
// as sent in (after `expected` turned it into what the tracker sees). Gives
// each message's type and frame (counted from the start frame).
struct Sent {
  i32 type, frame;
};
template <class Expected>
void ExpectExactMessages(const std::vector<u8>& stream, int w, int h, u32 frames,
                         Expected&& expected, std::vector<Sent>& sent) {
  std::vector<Message> messages;
  ASSERT_TRUE(Parse(stream, messages)) << stream.size() << " bytes";
  ASSERT_GE(messages.size(), 2u);
  // Frame numbers count from the start frame on.
  const i32 first = messages.front().id;
  std::vector<u8> rebuilt;
  for (const Message& m : messages) {
    sent.push_back({m.type, m.id - first});
    ASSERT_GE(m.id, first);
    ASSERT_LT(m.id - first, static_cast<i32>(frames));
    AppendWire(rebuilt, m.type, m.id, m.value, w, h, expected(static_cast<u32>(m.id - first)), 0);
  }
  EXPECT_TRUE(rebuilt == stream);
}

}  // namespace

TEST(HostServerTest, ListenerReceivesTheExactMessagesOfAnEnginesLife) {
  Server server;
  ASSERT_TRUE(server.Listening());
  const SequenceOptions options = Room(320);
  SequenceGenerator sequence(options);
  constexpr u32 kFrames = 12;
  std::vector<HostInput> inputs(kFrames);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Load(sequence, k);

  ZevrionCreate(320, 240, Hfov(options), 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
  ZevrionSetServer("127.0.0.1");
  // On a live link a second server changes nothing (no second connection,
  // the first one stays open).
  ZevrionSetServer("127.0.0.1");
  ZevrionStartTracking(nullptr, 0);
  for (u32 k = 0; k < kFrames; ++k) {
    const TrackingResult out = inputs[k].Run(k);
    EXPECT_EQ(k < 2 ? 1 : 2, out.status) << k;  // the server flag is not set
  }
  EXPECT_TRUE(server.Closed().empty());
  TempFolder folder;
  ZevrionSaveFile(folder.File("state.bin").c_str());
  ZevrionDestroy();
  ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 1; }));

  std::vector<Sent> sent;
  ExpectExactMessages(
      server.Closed()[0], 320, 240, kFrames, [&](u32 k) { return inputs[k].pixels; }, sent);
  // The first key frame (the start frame) opens the stream, the quit with
  // the last frame closes it (after the saved state's message, with the same
  // frame); ordinary frames go at least 3 frames apart.
  ASSERT_GE(sent.size(), 2u);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(kMessageStateSaved, sent[sent.size() - 2].type);
  EXPECT_EQ(static_cast<i32>(kFrames) - 1, sent[sent.size() - 2].frame);
  sent.erase(sent.end() - 2);
  EXPECT_EQ(kMessageFirstKeyFrame, sent.front().type);
  EXPECT_EQ(0, sent.front().frame);
  EXPECT_EQ(kMessageQuit, sent.back().type);
  EXPECT_EQ(static_cast<i32>(kFrames) - 1, sent.back().frame);
  for (size_t i = 1; i + 1 < sent.size(); ++i) {
    EXPECT_TRUE(sent[i].type == kMessageFrame || sent[i].type == kMessageMapInitialised ||
                sent[i].type == kMessageKeyFrame)
        << i << ": " << sent[i].type;
    if (sent[i].type == kMessageFrame) {
      EXPECT_GE(sent[i].frame, sent[i - 1].frame + 3);
    }
  }
  // Every third frame goes out: the server saw the run through.
  EXPECT_GE(sent.size(), 2 + (kFrames - 1) / 3);
}

TEST(HostServerTest, StatusFourFollowsTheServerFlagAndAClosedPortLeavesNoServer) {
  const SequenceOptions options = Room(320);
  SequenceGenerator sequence(options);
  HostSettings settings;
  settings.width = 320;
  settings.height = 240;
  settings.hfovDegrees = Hfov(options);
  std::string why;
  HostInput input;
  TrackingResult out;
  UndistortionTable noLens;
  const auto run = [&](HostEngine& engine, u32 k) {
    input.Load(sequence, k);
    const HostFrame frame{input.pixels.data(), input.time, k == 0 ? input.marker : nullptr};
    engine.RunTracking(out, frame, input.imu.data(), static_cast<int>(input.imu.size()),
                       input.prior, noLens);
    return out.status;
  };
  // The flag is the tracker's; a test sets it as a lost link would.
  const auto setFlag = [](HostEngine& engine, u8 flag) {
    const_cast<TrackerStatus&>(engine.GetTracker().Status()).serverFlag = flag;
  };

  {
    // Nothing listens: the port is held closed, so the connection is refused.
    const int closed = BindPort3333(false);
    ASSERT_GE(closed, 0);
    std::unique_ptr<HostEngine> engine = HostEngine::Create(settings, why);
    ASSERT_TRUE(engine) << why;
    engine->SetServer("127.0.0.1");
    engine->StartTracking(nullptr, 0);
    for (u32 k = 0; k < 6; ++k) {
      if (k == 3) setFlag(*engine, 1);
      EXPECT_EQ(k < 2 ? 1 : 2, run(*engine, k)) << k;  // no client: never 4
    }
    setFlag(*engine, 0);
    ::close(closed);

    // The failed attempt left nothing half made: a later one connects.
    Server server;
    ASSERT_TRUE(server.Listening());
    engine->SetServer("127.0.0.1");
    EXPECT_EQ(2, run(*engine, 6));
    setFlag(*engine, 1);
    EXPECT_EQ(4, run(*engine, 7));
    EXPECT_EQ(4, run(*engine, 8));
    setFlag(*engine, 0);
    EXPECT_EQ(2, run(*engine, 9));
    engine.reset();
    ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 1; }));
    // Messages carry the flag as the tracker held it.
    std::vector<Message> messages;
    ASSERT_TRUE(Parse(server.Closed()[0], messages));
    ASSERT_FALSE(messages.empty());
    for (const Message& m : messages) EXPECT_TRUE(m.flag == 0 || m.flag == 1);
    EXPECT_EQ(kMessageQuit, messages.back().type);
    EXPECT_EQ(0, messages.back().flag);
  }
}

TEST(HostServerTest, FramesAreRemappedWithALensAndUnchangedAfterAnEngineWithout) {
  Server server;
  ASSERT_TRUE(server.Listening());
  constexpr u32 kFrames = 4;

  // A barrel lens at 640 x 480.
  const SequenceOptions large = Room(640);
  SequenceGenerator room(large);
  std::vector<HostInput> inputs(kFrames);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Load(room, k);
  const float lens[9] = {480.0f, 480.0f, 322.0f, 238.0f, -0.2f, 0.03f, 0.001f, 0.0f, 0.0f};
  ZevrionCreate(640, 480, Hfov(large), 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, lens);
  ZevrionSetServer("127.0.0.1");
  ZevrionStartTracking(nullptr, 0);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Run(k);
  ZevrionDestroy();
  ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 1; }));

  Intrinsic ideal;
  const float f = static_cast<float>(640 / (2.0 * std::tan(Hfov(large) * 0.01745329238474369 / 2)));
  ideal.Set(f, f, 319.5f, 239.5f);
  UndistortionTable table;
  table.Build(
      640, 480, ideal,
      LensModel{lens[0], lens[1], lens[2], lens[3], lens[4], lens[5], lens[6], lens[7], lens[8]});
  const auto remapped = [&](u32 k) {
    CVD::Image<u8> image(CVD::ImageRef(640, 480));
    for (int y = 0; y < 480; ++y) std::memcpy(image[y], &inputs[k].pixels[y * 640], 640);
    table.CopyFrameForRemap(image);
    table.RemapFrame(image);
    std::vector<u8> out(640 * 480);
    for (int y = 0; y < 480; ++y) std::memcpy(&out[y * 640], image[y], 640);
    EXPECT_TRUE(out != inputs[k].pixels);  // the lens does change the frame
    return out;
  };
  std::vector<Sent> sent;
  ExpectExactMessages(server.Closed()[0], 640, 480, kFrames, remapped, sent);

  // Another engine, smaller and without a lens: frames pass unchanged.
  const SequenceOptions small = Room(320);
  SequenceGenerator smallRoom(small);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Load(smallRoom, k);
  ZevrionCreate(320, 240, Hfov(small), 0, 0, 1.1f, 0.297f, 0.21f, false, false, nullptr, nullptr);
  ZevrionSetServer("127.0.0.1");
  ZevrionStartTracking(nullptr, 0);
  for (u32 k = 0; k < kFrames; ++k) inputs[k].Run(k);
  ZevrionDestroy();
  ASSERT_TRUE(WaitFor([&] { return server.Closed().size() == 2; }));
  sent.clear();
  ExpectExactMessages(
      server.Closed()[1], 320, 240, kFrames, [&](u32 k) { return inputs[k].pixels; }, sent);
}
