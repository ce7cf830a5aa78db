#include "tracker/StateFile.h"

// ctest-labels: threads
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "common/tracker/StateFileScene.h"
#include "mapping/MapFile.h"

namespace {

using state_file_scene::ReadFile;
using state_file_scene::Scene;

SyntheticMapOptions SmallMap(u32 markerTracks = 0) {
  SyntheticMapOptions o;
  o.keyFrames = 3;
  o.planes = 1;
  o.pointsPerPlane = 12;
  o.clutterPoints = 4;
  o.width = 64;
  o.height = 48;
  o.markerTracks = markerTracks;
  return o;
}

SyntheticMapOptions ImageMap() {
  SyntheticMapOptions o;
  o.keyFrames = 5;
  o.markerTracks = 4;
  o.images = true;
  o.width = 160;
  o.height = 120;
  return o;
}

// The whole state as the file holds it: equal digests, equal tracker and map.
std::string Digest(Tracker& tracker, const TempFolder& folder) {
  const std::string path = folder.File("digest.bin");
  if (!tracker.SaveState(path)) return "";
  return ReadFile(path);
}

// A fresh tracker over a fresh map of the same camera.
struct Fresh {
  explicit Fresh(const SyntheticMap& synthetic) : tracker((synthetic.MakeEmptyMap(map), map)) {}
  GlobalMap map;
  Tracker tracker;
};

void PatchBytes(std::string& bytes, size_t offset, const void* value, size_t size) {
  ASSERT_LE(offset + size, bytes.size());
  bytes.replace(offset, size, static_cast<const char*>(value), size);
}

// Offsets in the tracker section: the frame counter and the ring count.
constexpr size_t kFrameCounterOffset = 8;
constexpr size_t kRingCountOffset = 104;

class StateFileTest : public ::testing::Test {
 protected:
  TempFolder folder;
};

TEST_F(StateFileTest, SaveLoadSaveIsByteIdenticalAndDerivesAnchoring) {
  for (const bool marker : {true, false}) {
    SyntheticMapOptions options = ImageMap();
    options.markerTracks = marker ? 4 : 0;
    Scene scene(options, 4);
    const std::string first = folder.File("first.state");
    ASSERT_TRUE(scene.tracker.SaveState(first));
    EXPECT_FALSE(std::filesystem::exists(first + ".tmp"));

    Fresh fresh(scene.synthetic);
    ASSERT_TRUE(fresh.tracker.LoadState(first));
    const std::string second = folder.File("second.state");
    ASSERT_TRUE(fresh.tracker.SaveState(second));
    EXPECT_EQ(ReadFile(first), ReadFile(second));

    // Not in the file: anchoring comes from the map's marker tracks, the
    // key-frame images from a pull of the loaded map.
    EXPECT_EQ(fresh.tracker.Status().anchored, marker ? 1 : 0);
    EXPECT_GT(fresh.tracker.MapView().KeyFrameImage(1).size().area(), 0);
    EXPECT_EQ(fresh.tracker.MapView().KeyFrameImage(1).size(),
              scene.tracker.MapView().KeyFrameImage(1).size());
  }
}

TEST_F(StateFileTest, EmptyTrackerRoundTrips) {
  SyntheticMap synthetic(SmallMap());
  Fresh a(synthetic), b(synthetic);
  const std::string first = folder.File("empty.state");
  ASSERT_TRUE(a.tracker.SaveState(first));
  ASSERT_TRUE(b.tracker.LoadState(first));
  EXPECT_EQ(b.tracker.Ring().Size(), 0);
  EXPECT_EQ(Digest(b.tracker, folder), ReadFile(first));
}

TEST_F(StateFileTest, EveryTruncationIsRefusedAndChangesNothing) {
  Scene source(SmallMap(), 2);
  const std::string path = folder.File("source.state");
  ASSERT_TRUE(source.tracker.SaveState(path));
  const std::string bytes = ReadFile(path);
  ASSERT_GT(bytes.size(), 1000u);
  ASSERT_LT(bytes.size(), 60000u);

  // The target holds a different state, so a partial load would show.
  Scene target(SmallMap(), 3, 11);
  const std::string before = Digest(target.tracker, folder);
  ASSERT_FALSE(before.empty());
  const u64 counter = target.map.ModificationCounter();
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::string cutPath = folder.Write("cut.state", bytes.substr(0, cut));
    ASSERT_FALSE(target.tracker.LoadState(cutPath)) << "cut at " << cut;
    ASSERT_EQ(target.tracker.Ring().Size(), 3) << "cut at " << cut;
    ASSERT_EQ(target.map.ModificationCounter(), counter) << "cut at " << cut;
  }
  EXPECT_EQ(Digest(target.tracker, folder), before);
  EXPECT_TRUE(target.tracker.LoadState(path));
}

TEST_F(StateFileTest, CorruptedCountsAndSizesAreRefused) {
  Scene source(SmallMap(), 2);
  const std::string path = folder.File("source.state");
  ASSERT_TRUE(source.tracker.SaveState(path));
  const std::string bytes = ReadFile(path);
  const size_t tracker = SavedMap(source.map).size();

  Scene target(SmallMap(), 3, 11);
  const std::string before = Digest(target.tracker, folder);
  auto refused = [&](const std::string& corrupt, const char* what) {
    EXPECT_FALSE(target.tracker.LoadState(folder.Write("corrupt.state", corrupt))) << what;
  };
  std::string b = bytes;
  const u16 ring31 = 31;
  PatchBytes(b, tracker + kRingCountOffset, &ring31, 2);
  refused(b, "a ring count of 31");
  {
    Scene overfull(SmallMap(), kRingCapacity + 1);
    const std::string path31 = folder.File("ring31.state");
    ASSERT_TRUE(overfull.tracker.SaveState(path31));
    EXPECT_FALSE(target.tracker.LoadState(path31)) << "a ring of 31 frames";
  }
  b = bytes;
  const i32 negative = -64;
  // The first frame's level-0 width, after its number.
  PatchBytes(b, tracker + kRingCountOffset + 2 + 4, &negative, 4);
  refused(b, "a negative width");
  b = bytes;
  const i32 wide = 63;
  PatchBytes(b, tracker + kRingCountOffset + 2 + 4, &wide, 4);
  refused(b, "a pyramid of another size");
  // Frame 0's list of three body states, after its images.
  const TrackerFrame& frame0 = source.tracker.Ring()[0];
  size_t states = tracker + kRingCountOffset + 2 + 4 + 7 * 8 + 4 + frame0.colour.size().area() * 3 +
                  frame0.alignmentImage.size().area() * 12;
  for (const CVD::Image<u8>& level : frame0.pyramid) states += level.size().area();
  for (const u32 count : {2u, 4u}) {
    b = bytes;
    ASSERT_EQ(b.compare(states, 4, std::string("\3\0\0\0", 4)), 0);
    PatchBytes(b, states, &count, 4);
    refused(b, "not three body states");
  }
  const std::string emptyList(4, '\0');
  refused(bytes + emptyList + "x", "a byte after the end");
  EXPECT_EQ(Digest(target.tracker, folder), before);

  // Any 32-bit field set to a huge or negative count: refused or taken in,
  // never a fault; refusals leave the target as it was.
  for (size_t at = tracker; at + 4 <= bytes.size(); at += 4) {
    for (const u32 value : {0xFFFFFFF0u, 0x7FFFFFFFu}) {
      b = bytes;
      PatchBytes(b, at, &value, 4);
      if (target.tracker.LoadState(folder.Write("corrupt.state", b))) {
        ASSERT_TRUE(target.tracker.LoadState(folder.Write("restore.state", before)));
      }
    }
  }
  EXPECT_EQ(Digest(target.tracker, folder), before);

  // An external pose list may follow the display state.
  const u32 one = 1;
  std::string withPoses = bytes;
  withPoses.append(reinterpret_cast<const char*>(&one), 4).append(48, '\0');
  EXPECT_TRUE(target.tracker.LoadState(folder.Write("poses.state", withPoses)));
  EXPECT_TRUE(target.tracker.LoadState(folder.Write("poses.state", bytes + emptyList)));
}

// One index set out of range in the source tracker, which then saves it.
struct BadIndex {
  const char* what;
  std::function<void(Tracker&)> spoil;
};

TEST_F(StateFileTest, OutOfRangeIndicesAreRefused) {
  const std::vector<BadIndex> cases = {
      {"map match track",
       [](Tracker& t) {
         t.Ring()[0].mapMatches[1][0].track = t.MapView().Working().points.Size();
       }},
      {"map match patch",
       [](Tracker& t) { t.Ring()[1].mapMatches[0][0].patch = t.MapView().Patches().Size(); }},
      {"map match corner", [](Tracker& t) { t.Ring()[1].mapMatches[3][0].corner = 6; }},
      {"candidate warp", [](Tracker& t) { t.Ring()[0].candidates[0][0].warp = 3; }},
      {"miss hypothesis", [](Tracker& t) { t.Ring()[0].misses[2][0].warp = 33; }},
      {"frame key frame", [](Tracker& t) { t.Ring()[1].parallaxKeyFrame = 3; }},
      {"corner row starts", [](Tracker& t) { t.Ring()[0].corners[1].rowStarts[2] = 0; }},
      {"patch key frame", [](Tracker& t) { t.MapView().Patches()[0].keyFrame = 3; }},
      {"patch level", [](Tracker& t) { t.MapView().Patches()[0].level = 4; }},
      {"track list",
       [](Tracker& t) {
         t.MapView().Working().measurementTracks[2] = t.MapView().Working().points.Size();
       }},
      {"track plane",
       [](Tracker& t) {
         t.MapView().Working().trackPlanes[0] =
             static_cast<u16>(t.MapView().Working().planes.Size());
       }},
      {"track-list start",
       [](Tracker& t) { t.MapView().Working().keyFrameMeasurementStart[1] = 0; }},
      {"first track-list start",
       [](Tracker& t) { t.MapView().Working().keyFrameMeasurementStart[0] = 1; }},
      {"feature arrays",
       [](Tracker& t) {
         t.MapView().KeyFrameNormalized().Resize(t.MapView().KeyFramePixels().Size() - 1);
       }},
      {"pyramid size", [](Tracker& t) { t.Ring()[1].pyramid[2].resize(CVD::ImageRef(15, 12)); }},
      {"gradient image size",
       [](Tracker& t) { t.Ring()[1].gradientImage.resize(CVD::ImageRef(3, 3)); }},
      {"key-frame record", [](Tracker& t) { t.MapView().Records()[1].firstPatch[0] = 0xFFFFFF; }},
      {"object anchor", [](Tracker& t) { t.Objects().List()[0].anchorKeyFrame = 3; }},
      {"object feature",
       [](Tracker& t) {
         const std::vector<u32>& starts = t.MapView().Working().keyFrameMeasurementStart;
         t.Objects().List()[0].features[0] = static_cast<u16>(starts[1] - starts[0]);
       }},
  };
  Scene target(SmallMap(), 3, 11);
  const std::string before = Digest(target.tracker, folder);
  for (const BadIndex& c : cases) {
    Scene source(SmallMap(), 2);
    c.spoil(source.tracker);
    const std::string path = folder.File("bad.state");
    ASSERT_TRUE(source.tracker.SaveState(path)) << c.what;
    EXPECT_FALSE(target.tracker.LoadState(path)) << c.what;
  }
  // A current slot outside the ring.
  Scene source(SmallMap(), 2);
  std::vector<TrackerFrame> frames(2);
  source.tracker.Ring().Restore(frames, source.tracker.Ring().Maps(), 2, 0);
  const std::string path = folder.File("bad.state");
  ASSERT_TRUE(source.tracker.SaveState(path));
  EXPECT_FALSE(target.tracker.LoadState(path));
  EXPECT_EQ(Digest(target.tracker, folder), before);
}

TEST_F(StateFileTest, AStateOfAnotherCameraIsRefused) {
  Scene source(SmallMap(), 1);
  const std::string path = folder.File("source.state");
  ASSERT_TRUE(source.tracker.SaveState(path));
  SyntheticMapOptions other = SmallMap();
  other.width = 80;
  SyntheticMap synthetic(other);
  Fresh fresh(synthetic);
  EXPECT_FALSE(fresh.tracker.LoadState(path));
  EXPECT_EQ(fresh.map.KeyFrameCount(), 0u);
}

TEST_F(StateFileTest, AFullRingOf30RoundTrips) {
  Scene scene(SmallMap(), kRingCapacity);
  const std::string path = folder.File("full.state");
  ASSERT_TRUE(scene.tracker.SaveState(path));
  SyntheticMap synthetic(SmallMap());
  Fresh fresh(synthetic);
  ASSERT_TRUE(fresh.tracker.LoadState(path));
  EXPECT_EQ(fresh.tracker.Ring().Size(), kRingCapacity);
  EXPECT_EQ(Digest(fresh.tracker, folder), ReadFile(path));
}

TEST_F(StateFileTest, AFailedWriteKeepsTheOldFileAndSaysNothing) {
  Scene scene(SmallMap(), 2);
  const std::string path = folder.File("state.bin");
  ASSERT_TRUE(scene.tracker.SaveState(path));
  const std::string old = ReadFile(path);
  scene.tracker.Ring()[0].number = 999;

  // The disk fills up part way: every write is checked, so nothing is
  // renamed over the old file and no "Saved" line appears.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = old.size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  testing::internal::CaptureStdout();
  const bool ok = scene.tracker.SaveState(path);
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(printed.find("Saved"), std::string::npos);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  // The temporary name taken by a folder: the file cannot be made.
  std::filesystem::create_directory(path + ".tmp");
  EXPECT_FALSE(scene.tracker.SaveState(path));
  EXPECT_EQ(ReadFile(path), old);
}

TEST_F(StateFileTest, ServerHearsOfSaveAndLoadOnly) {
  MutexBufferPool<ClientSendingData> pool(1);
  MutexBufferQueue<ClientSendingData> queue(1);
  std::vector<std::pair<i32, i32>> heard;  // type, frame
  std::thread sender([&] {
    for (int i = 0; i < 2; ++i) {
      ClientSendingData* item = queue.Get();
      heard.emplace_back(item->type, item->frameId);
      pool.Put(item);
    }
  });
  Scene scene(SmallMap(), 2);
  scene.tracker.SetServerLink(&pool, &queue);
  const i32 current = scene.tracker.Ring()[scene.tracker.Ring().Current()].number;
  const std::string path = folder.File("state.bin");
  EXPECT_TRUE(scene.tracker.SaveState(path));
  EXPECT_FALSE(scene.tracker.SaveState(folder.File("missing/state.bin")));
  EXPECT_FALSE(scene.tracker.LoadState(folder.Write("short.state", "abc")));
  EXPECT_TRUE(scene.tracker.LoadState(path));
  sender.join();
  using Heard = std::vector<std::pair<i32, i32>>;
  EXPECT_EQ(heard, (Heard{{kMessageStateSaved, current}, {kMessageStateLoaded, current}}));
  EXPECT_EQ(scene.tracker.Links().LastSentFrame(), current);
}

TEST_F(StateFileTest, WorkersAreResetBeforeTheMapIsReplaced) {
  Scene source(SmallMap(), 2);
  const std::string path = folder.File("state.bin");
  ASSERT_TRUE(source.tracker.SaveState(path));

  MutexBufferPool<u16> pool(1);
  MutexBufferQueue<u16> queue(1);
  WorkerChannels channels;
  channels.surfPool = &pool;
  channels.surfQueue = &queue;
  GlobalMap map;
  source.synthetic.MakeEmptyMap(map);
  Tracker tracker(&map, channels, TrackerOptions{});
  u16 item = 0;
  u32 keyFramesSeen = 99;
  std::thread worker([&] {
    // Polls, so that a load that never tells the worker fails rather than hangs.
    u16* id = nullptr;
    for (int i = 0; i < 500 && id == nullptr; ++i) {
      id = queue.TryGet();
      if (id == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (id == nullptr) return;
    item = *id;
    {
      boost::shared_lock<boost::shared_mutex> lock(map.mutex);
      keyFramesSeen = map.KeyFrameCount();
    }
    pool.Put(id);
  });
  // A refused file reaches no worker.
  EXPECT_FALSE(tracker.LoadState(folder.Write("short.state", "abc")));
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_TRUE(tracker.LoadState(path));
  worker.join();
  EXPECT_EQ(item, kNone16);
  EXPECT_EQ(keyFramesSeen, 0u);
  EXPECT_EQ(map.KeyFrameCount(), 3u);
}

TEST_F(StateFileTest, AReadOnlyFolderKeepsTheOldFile) {
  Scene scene(SmallMap(), 1);
  const std::string sub = folder.File("locked");
  std::filesystem::create_directory(sub);
  const std::string path = sub + "/state.bin";
  ASSERT_TRUE(scene.tracker.SaveState(path));
  const std::string old = ReadFile(path);
  EXPECT_FALSE(scene.tracker.SaveState(folder.File("missing/state.bin")));
  chmod(sub.c_str(), 0555);
  // Root writes anyway: nothing to check then.
  if (access(sub.c_str(), W_OK) == 0) {
    chmod(sub.c_str(), 0755);
    GTEST_SKIP() << "the folder stays writable";
  }
  scene.tracker.Ring()[0].number = 999;
  EXPECT_FALSE(scene.tracker.SaveState(path));
  chmod(sub.c_str(), 0755);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(StateFileTest, NumberedCopyTakesAnyNameAndRunsNothing) {
  EXPECT_EQ(StripExtension("dir/state.bin"), "dir/state");
  EXPECT_EQ(StripExtension("a.b/state"), "a.b/state");
  EXPECT_EQ(StripExtension("state"), "state");
  EXPECT_EQ(NumberedCopyName("out/s.x.dat", 7), "out/s.x_0007.txt");
  EXPECT_EQ(NumberedCopyName("out/s", 12345), "out/s_12345.txt");

  // A state at frame 7, loaded from a patched file.
  Scene scene(SmallMap(), 1);
  const std::string plain = folder.File("plain.state");
  ASSERT_TRUE(scene.tracker.SaveState(plain));
  std::string bytes = ReadFile(plain);
  const i32 seven = 7;
  PatchBytes(bytes, SavedMap(scene.map).size() + kFrameCounterOffset, &seven, 4);
  ASSERT_TRUE(scene.tracker.LoadState(folder.Write("seven.state", bytes)));
  ASSERT_EQ(scene.tracker.Status().frameCounter, 7);

  const std::string name = folder.File("my state 'x\" ; touch PWNED ; echo .bin");
  ASSERT_TRUE(scene.tracker.SaveState(name));
  const std::string copy = folder.File("my state 'x\" ; touch PWNED ; echo _0007.txt");
  EXPECT_EQ(ReadFile(copy), ReadFile(name));
  EXPECT_FALSE(std::filesystem::exists(folder.File("PWNED")));
  EXPECT_FALSE(std::filesystem::exists("PWNED"));
}

TEST_F(StateFileTest, RequestedSaveMakesItsFolder) {
  Scene scene(SmallMap(), 1);
  StateFile& states = scene.tracker.States();
  EXPECT_FALSE(scene.tracker.SaveStateIfRequested());
  const std::string name = folder.File("run/states/s.bin");
  scene.tracker.SetStateFile(name, 5);
  EXPECT_TRUE(std::filesystem::is_directory(folder.File("run/states")));
  EXPECT_TRUE(states.Due(5));
  EXPECT_FALSE(states.Due(4));
  EXPECT_TRUE(scene.tracker.SaveStateIfRequested());
  EXPECT_TRUE(std::filesystem::exists(name));
}

TEST_F(StateFileTest, OutputFolderIsNeverEmptiedWithoutAnAnswer) {
  EXPECT_TRUE(IsProtectedFolder(""));
  EXPECT_TRUE(IsProtectedFolder("/"));
  EXPECT_TRUE(IsProtectedFolder("."));
  EXPECT_TRUE(IsProtectedFolder("./"));
  EXPECT_TRUE(IsProtectedFolder(".."));
  EXPECT_TRUE(IsProtectedFolder(folder.File("x/..")));
  const std::string working = std::filesystem::current_path().string();
  EXPECT_TRUE(IsProtectedFolder(working));
  EXPECT_TRUE(IsProtectedFolder(working + "/"));
  EXPECT_TRUE(IsProtectedFolder(std::filesystem::current_path().parent_path().string()));
  if (const char* home = std::getenv("HOME")) {
    EXPECT_TRUE(IsProtectedFolder(home));
    EXPECT_TRUE(IsProtectedFolder(std::filesystem::path(home).parent_path().string()));
  }
  EXPECT_FALSE(IsProtectedFolder(folder.File("out")));
  EXPECT_FALSE(IsProtectedFolder(folder.File("out/")));

  auto answer = [](const char* typed, bool interactive) {
    FILE* in = std::tmpfile();
    std::fputs(typed, in);
    std::rewind(in);
    const bool yes = ReadYesAnswer(in, interactive);
    std::fclose(in);
    return yes;
  };
  EXPECT_TRUE(answer("Y\n", true));
  EXPECT_TRUE(answer("  y", true));
  EXPECT_FALSE(answer("yes\n", true));
  EXPECT_FALSE(answer("N\n", true));
  EXPECT_FALSE(answer("", true));
  EXPECT_FALSE(answer("Y\n", false));

  // No standard input: an existing folder keeps its files; a missing one is made.
  ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  Scene scene(SmallMap(), 1);
  const std::string kept = folder.Write("keep.txt", "x");
  scene.tracker.SetOutputFolder(folder.File("image_"));
  EXPECT_EQ(scene.tracker.States().outputPrefix, folder.File("image_"));
  EXPECT_EQ(ReadFile(kept), "x");
  scene.tracker.SetOutputFolder(folder.File("new/out/image_"));
  EXPECT_TRUE(std::filesystem::is_directory(folder.File("new/out")));
}

}  // namespace
