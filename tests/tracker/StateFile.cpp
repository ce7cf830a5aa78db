#include "tracker/StateFile.h"

// ctest-labels: threads long
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/Sanitizers.h"
#include "common/tracker/StateFileScene.h"
#include "mapping/MapFile.h"
#include "tracker/StateFileFormat.h"

namespace {

using state_file_scene::Fresh;
using state_file_scene::ReadFile;
using state_file_scene::Scene;
using state_file_scene::SmallMap;

void PatchBytes(std::string& bytes, size_t offset, const void* value, size_t size) {
  ASSERT_LE(offset + size, bytes.size());
  bytes.replace(offset, size, static_cast<const char*>(value), size);
}

// Offsets in the tracker section: the frame counter and the ring count.
constexpr size_t kFrameCounterOffset = 8;
constexpr size_t kRingCountOffset = 104;

class StateFileTest : public ::testing::Test {
 protected:
  // The bytes `source` saves, the whole state: equal bytes, equal tracker
  // and map.
  std::string Saved(Tracker& source, const char* name = "source.state") {
    const std::string path = folder.File(name);
    EXPECT_TRUE(source.SaveState(path)) << name;
    return ReadFile(path);
  }

  TempFolder folder;
  // Holds another state than the sources, so that a partial load would show.
  Scene target{SmallMap(), 3, 11};
};

// Save, load into a fresh tracker, save again: the same bytes, with and
// without marker tracks, for an empty tracker and for a full ring.
TEST_F(StateFileTest, SaveLoadSaveIsByteIdenticalAndDerivesAnchoringAndLevel) {
  SyntheticMapOptions images;
  images.keyFrames = 5;
  images.images = true;
  images.width = 160;
  images.height = 120;
  for (const u32 markers : {4u, 3u, 0u}) {
    images.markerTracks = markers;
    Scene scene(images, 4);
    // A map whose first key frame took no host attitude takes none later.
    if (markers == 3) scene.map.keyFrames[0].attitude.time = DBL_MAX;
    const std::string first = folder.File("first.state");
    ASSERT_TRUE(scene.tracker.SaveState(first));
    EXPECT_FALSE(std::filesystem::exists(first + ".tmp"));
    Fresh fresh(scene.synthetic);
    ASSERT_TRUE(fresh.tracker.LoadState(first));
    EXPECT_EQ(Saved(fresh.tracker, "again.state"), ReadFile(first));
    // Not in the file: anchoring comes from the map's marker tracks (the
    // sheet's four corners), the key-frame images from a pull of the loaded map.
    EXPECT_EQ(fresh.tracker.Status().anchored, markers == 4 ? 1 : 0);
    EXPECT_EQ(fresh.tracker.Status().levelled, markers == 3 ? 0 : 1);
    EXPECT_GT(fresh.tracker.MapView().KeyFrameImage(1).size().area(), 0);
    EXPECT_EQ(fresh.tracker.MapView().KeyFrameImage(1).size(),
              scene.tracker.MapView().KeyFrameImage(1).size());
  }
  Scene full(SmallMap(), kRingCapacity);
  Fresh empty(full.synthetic);
  for (Tracker* source : {&empty.tracker, &full.tracker}) {
    const std::string bytes = Saved(*source);
    Fresh fresh(full.synthetic);
    ASSERT_TRUE(fresh.tracker.LoadState(folder.File("source.state")));
    EXPECT_EQ(fresh.tracker.Ring().Size(), source->Ring().Size());
    EXPECT_EQ(Saved(fresh.tracker, "again.state"), bytes);
  }
}

// Every truncation, bad counts and sizes, another camera: refused, and the
// target keeps its state.
TEST_F(StateFileTest, DamagedFilesAreRefusedAndChangeNothing) {
  Scene source(SmallMap(), 2);
  const std::string bytes = Saved(source.tracker);
  ASSERT_TRUE(bytes.size() > 1000u && bytes.size() < 60000u);
  const size_t tracker = SavedMap(source.map).size();
  const std::string before = Saved(target.tracker, "before.state");
  const u64 counter = target.map.ModificationCounter();
#ifdef ZEVRION_TSAN_BUILD
  // ThreadSanitizer checks the threads, not the reads: a sample of the cuts
  // and of the patched fields.
  constexpr size_t kCutStep = 17;
#else
  constexpr size_t kCutStep = 1;
#endif
  for (size_t cut = 0; cut < bytes.size(); cut += kCutStep) {
    ASSERT_FALSE(target.tracker.LoadState(folder.Write("cut.state", bytes.substr(0, cut))))
        << "cut at " << cut;
    ASSERT_EQ(target.tracker.Ring().Size(), 3) << "cut at " << cut;
    ASSERT_EQ(target.map.ModificationCounter(), counter) << "cut at " << cut;
  }
  auto refused = [&](size_t at, u32 value, const char* what) {
    std::string b = bytes;
    PatchBytes(b, at, &value, 4);
    EXPECT_FALSE(target.tracker.LoadState(folder.Write("corrupt.state", b))) << what;
  };
  // The first frame's level-0 width follows the ring count and its number.
  const size_t width = tracker + kRingCountOffset + 2 + 4;
  refused(width, static_cast<u32>(-64), "a negative width");
  refused(width, 63, "a pyramid of another size");
  // Frame 0's list of three body states, after its images.
  const TrackerFrame& frame0 = source.tracker.Ring()[0];
  size_t states = width + 7 * 8 + 4 + frame0.colour.size().area() * 3 +
                  frame0.alignmentImage.size().area() * 12;
  for (const CVD::Image<u8>& level : frame0.pyramid) states += level.size().area();
  ASSERT_EQ(bytes.compare(states, 4, std::string("\3\0\0\0", 4)), 0);
  refused(states, 2, "two body states");
  refused(states, 4, "four body states");
  const std::string emptyList(4, '\0');
  EXPECT_FALSE(target.tracker.LoadState(folder.Write("c.state", bytes + emptyList + "x")));
  Scene overfull(SmallMap(), kRingCapacity + 1);
  Saved(overfull.tracker, "ring31.state");
  EXPECT_FALSE(target.tracker.LoadState(folder.File("ring31.state")));
  EXPECT_EQ(Saved(target.tracker, "after.state"), before);

  // Any 32-bit field set to a huge or negative count: refused or taken in,
  // never a fault; refusals leave the target as it was.
  for (size_t at = tracker; at + 4 <= bytes.size(); at += 4 * kCutStep) {
    for (const u32 value : {0xFFFFFFF0u, 0x7FFFFFFFu}) {
      std::string b = bytes;
      PatchBytes(b, at, &value, 4);
      if (target.tracker.LoadState(folder.Write("corrupt.state", b))) {
        ASSERT_TRUE(target.tracker.LoadState(folder.Write("restore.state", before)));
      }
    }
  }
  EXPECT_EQ(Saved(target.tracker, "after.state"), before);

  // An external pose list may follow the display state.
  const u32 one = 1;
  std::string withPoses = bytes;
  withPoses.append(reinterpret_cast<const char*>(&one), 4).append(48, '\0');
  EXPECT_TRUE(target.tracker.LoadState(folder.Write("poses.state", withPoses)));
  EXPECT_TRUE(target.tracker.LoadState(folder.Write("poses.state", bytes + emptyList)));

  // Another camera's tracker takes in nothing.
  SyntheticMapOptions wider = SmallMap();
  wider.width = 80;
  Fresh other(SyntheticMap{wider});
  EXPECT_FALSE(other.tracker.LoadState(folder.File("source.state")));
  EXPECT_EQ(other.map.KeyFrameCount(), 0u);
}

// A camera mounting that is no float: a state whose map copy an earlier
// build's adjustment had rounded to float still loads, and the map takes
// the tracker's exact mounting again; another mounting is refused.
TEST_F(StateFileTest, AMountingRoundedToFloatLoadsExact) {
  const f64 mounting[7] = {-0.70710678, 0.70710678, 0.0, 0.0, 0.1, -0.05, 0.02};
  SyntheticMap synthetic(SmallMap());
  const auto mounted = [&](GlobalMap& map, bool build) {
    build ? synthetic.Build(map) : synthetic.MakeEmptyMap(map);
    std::copy(mounting, mounting + 7, map.extrinsic);
  };
  GlobalMap sourceMap;
  mounted(sourceMap, true);
  Tracker source(sourceMap);
  state_file_scene::FillArrays(source.MapView(), source.Objects());
  std::string bytes = Saved(source);
  const std::string exact(reinterpret_cast<const char*>(mounting), sizeof(mounting));
  const size_t at = bytes.find(exact);
  ASSERT_NE(at, std::string::npos);
  f64 rounded[7];
  for (int i = 0; i < 7; ++i) rounded[i] = static_cast<f32>(mounting[i]);
  bytes.replace(at, sizeof(rounded), reinterpret_cast<const char*>(rounded), sizeof(rounded));

  GlobalMap map;
  mounted(map, false);
  Tracker fresh(map);
  ASSERT_TRUE(fresh.LoadState(folder.Write("rounded.state", bytes)));
  EXPECT_EQ(std::memcmp(map.extrinsic, mounting, sizeof(mounting)), 0);
  EXPECT_EQ(map.KeyFrameCount(), sourceMap.KeyFrameCount());
  rounded[4] += 1e-3;  // a mounting moved by more than float rounding
  bytes.replace(at, sizeof(rounded), reinterpret_cast<const char*>(rounded), sizeof(rounded));
  EXPECT_FALSE(fresh.LoadState(folder.Write("moved.state", bytes)));
}

// A list whose count the bytes left cannot hold is refused before anything
// is made for it: the list keeps its size and content, and a count of four
// thousand million asks for no memory at all.
TEST(StateFileLists, ACountPastTheBytesLeftLeavesTheListAsItWas) {
  for (const u32 count : {3u, 0xFFFFFFFFu}) {
    std::string bytes(reinterpret_cast<const char*>(&count), 4);
    bytes.append(16, '\x5A');  // two 8-byte records
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    ASSERT_NE(f, nullptr);
    AlignedArray<LA::Vector2<float>> a;
    a.PushBack({1.0f, 2.0f}, 1);
    {
      BinaryReader in(f);
      EXPECT_FALSE(state_file::ReadRaw(a, in)) << count;
    }
    ASSERT_EQ(a.Size(), 1u) << count;
    EXPECT_TRUE(a[0].x == 1.0f && a[0].y == 2.0f) << count;
    std::rewind(f);
    std::vector<u64> v = {7};
    {
      BinaryReader in(f);
      EXPECT_FALSE(state_file::ReadRaw(v, in)) << count;
    }
    EXPECT_EQ(v, std::vector<u64>{7}) << count;
    std::fclose(f);
  }
}

// An image with either side zero reads back empty, whatever it held, and
// the reader goes on right after the two sides.
TEST(StateFileLists, AnImageWithAZeroSideReadsBackEmpty) {
  for (const auto& sides : {std::pair<i32, i32>{0, 5}, {5, 0}}) {
    const i32 next = 0x1234;
    std::string bytes;
    for (const i32 v : {sides.first, sides.second, next})
      bytes.append(reinterpret_cast<const char*>(&v), 4);
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    ASSERT_NE(f, nullptr);
    CVD::Image<u8> image(CVD::ImageRef(3, 2), 9);
    i32 after = 0;
    {
      BinaryReader in(f);
      EXPECT_TRUE(ReadImage(image, in));
      EXPECT_TRUE(in.Get(after));
    }
    std::fclose(f);
    EXPECT_EQ(image.size(), CVD::ImageRef(0, 0)) << sides.first << " x " << sides.second;
    EXPECT_EQ(after, next);
  }
}

TEST_F(StateFileTest, OutOfRangeIndicesAreRefused) {
  struct Parts {
    Tracker& t;
    FrameRing& r;
    TrackerMapView& v;
    MapWorkingCopy& w;
  };
  const std::vector<std::pair<const char*, void (*)(Parts&)>> cases = {
      {"match track", [](Parts& p) { p.r[0].mapMatches[1][0].track = p.w.points.Size(); }},
      {"match patch", [](Parts& p) { p.r[1].mapMatches[0][0].patch = p.v.Patches().Size(); }},
      {"match corner", [](Parts& p) { p.r[1].mapMatches[3][0].corner = 6; }},
      {"candidate warp", [](Parts& p) { p.r[0].candidates[0][0].warp = 3; }},
      {"miss hypothesis", [](Parts& p) { p.r[0].misses[2][0].warp = 33; }},
      {"frame key frame", [](Parts& p) { p.r[1].parallaxKeyFrame = 3; }},
      {"corner row starts", [](Parts& p) { p.r[0].corners[1].rowStarts[2] = 0; }},
      {"patch key frame", [](Parts& p) { p.v.Patches()[0].keyFrame = 3; }},
      {"patch level", [](Parts& p) { p.v.Patches()[0].level = 4; }},
      {"track list", [](Parts& p) { p.w.measurementTracks[2] = p.w.points.Size(); }},
      {"track plane", [](Parts& p) { p.w.trackPlanes[0] = static_cast<u16>(p.w.planes.Size()); }},
      {"track-list start", [](Parts& p) { p.w.keyFrameMeasurementStart[1] = 0; }},
      {"first track-list start", [](Parts& p) { p.w.keyFrameMeasurementStart[0] = 1; }},
      {"feature arrays",
       [](Parts& p) { p.v.KeyFrameNormalized().Resize(p.v.KeyFramePixels().Size() - 1); }},
      {"pyramid size", [](Parts& p) { p.r[1].pyramid[2].resize(CVD::ImageRef(15, 12)); }},
      {"level-0 size",
       [](Parts& p) { p.r[1].pyramid[0].resize(p.r[1].pyramid[0].size() - CVD::ImageRef(2, 0)); }},
      {"gradient size", [](Parts& p) { p.r[1].gradientImage.resize(CVD::ImageRef(3, 3)); }},
      {"key-frame record", [](Parts& p) { p.v.Records()[1].firstPatch[0] = 0xFFFFFF; }},
      {"object anchor", [](Parts& p) { p.t.Objects().List()[0].anchorKeyFrame = 3; }},
      {"object feature",
       [](Parts& p) {
         const std::vector<u32>& starts = p.w.keyFrameMeasurementStart;
         p.t.Objects().List()[0].features[0] = static_cast<u16>(starts[1] - starts[0]);
       }},
      {"track count",  // one more track than the map has, every track array agreeing
       [](Parts& p) {
         const MapPoint X = p.w.points[0];
         p.w.points.PushBack(X, 16);
         p.w.trackFlags.push_back(p.w.trackFlags[0]);
         p.w.trackPlanes.push_back(kNone16);
         p.w.resolvedTracks.push_back(static_cast<u32>(p.w.resolvedTracks.size()));
       }},
      {"current slot",
       [](Parts& p) {
         std::vector<TrackerFrame> frames(2);
         p.r.Restore(frames, p.r.Maps(), 2, 0);
       }},
  };
  const std::string before = Saved(target.tracker, "before.state");
  for (const auto& [what, spoil] : cases) {
    Scene source(SmallMap(), 2);
    Tracker& t = source.tracker;
    Parts parts{t, t.Ring(), t.MapView(), t.MapView().Working()};
    spoil(parts);
    Saved(t, "bad.state");
    EXPECT_FALSE(target.tracker.LoadState(folder.File("bad.state"))) << what;
  }
  EXPECT_EQ(Saved(target.tracker, "after.state"), before);
  // The last record of each kind is in range: a pair for a candidate, one
  // hypothesis for a miss.
  Scene edge(SmallMap(), 2);
  TrackerFrame& f = edge.tracker.Ring()[0];
  f.candidates[0][0].warp = f.warps.Size() - 2;
  f.misses[2][0].warp = f.hypotheses.Size() - 1;
  Saved(edge.tracker, "edge.state");
  EXPECT_TRUE(target.tracker.LoadState(folder.File("edge.state")));
}

// A write that fails part way or a temporary file that cannot be made:
// false, and the old file stays as it was.
TEST_F(StateFileTest, AFailedWriteKeepsTheOldFileAndSaysNothing) {
  const std::string path = folder.File("state.bin");
  const std::string old = Saved(target.tracker, "state.bin");
  target.tracker.Ring()[0].number = 999;

  // The disk fills up part way: every write is checked, so nothing is
  // renamed over the old file and no "Saved" line appears.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = old.size() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  testing::internal::CaptureStdout();
  const bool ok = target.tracker.SaveState(path);
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(printed.find("Saved"), std::string::npos);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  // The temporary name taken by a folder: the file cannot be made.
  std::filesystem::create_directory(path + ".tmp");
  EXPECT_FALSE(target.tracker.SaveState(path));
  EXPECT_EQ(ReadFile(path), old);
}

// A load resets the workers before the map is replaced, a refused file
// reaches none; the server hears of a save and a load, of no failure.
TEST_F(StateFileTest, WorkersAndServerHearOfSaveAndLoadOnly) {
  Scene source(SmallMap(), 2);
  Saved(source.tracker);
  const i32 current = source.tracker.Ring()[source.tracker.Ring().Current()].number;
  MutexBufferPool<u16> pool(1);
  MutexBufferQueue<u16> queue(1);
  WorkerChannels channels;
  channels.surfPool = &pool;
  channels.surfQueue = &queue;
  GlobalMap map;
  source.synthetic.MakeEmptyMap(map);
  Tracker tracker(&map, channels, TrackerOptions{});
  MutexBufferPool<ClientSendingData> serverPool(1);
  MutexBufferQueue<ClientSendingData> serverQueue(1);
  tracker.SetServerLink(&serverPool, &serverQueue);
  std::vector<std::pair<i32, i32>> heard;  // type, frame
  // Polls until the save is heard, so that a message too many fails the
  // test rather than blocking the tracker.
  std::thread server([&] {
    for (int i = 0; i < 500 && (heard.empty() || heard.back().first != kMessageStateSaved); ++i) {
      if (ClientSendingData* item = serverQueue.TryGet()) {
        heard.emplace_back(item->type, item->frameId);
        serverPool.Put(item);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  });
  u16 item = 0;
  u32 keyFramesSeen = 99;
  std::thread worker([&] {
    // Polls, so that a load that never tells the worker fails rather than hangs.
    u16* id = nullptr;
    for (int i = 0; i < 500 && (id = queue.TryGet()) == nullptr; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (id == nullptr) return;
    item = *id;
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    keyFramesSeen = map.KeyFrameCount();
    pool.Put(id);
  });
  EXPECT_FALSE(tracker.LoadState(folder.Write("short.state", "abc")));
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_TRUE(tracker.LoadState(folder.File("source.state")));
  worker.join();
  EXPECT_TRUE(item == kNone16 && keyFramesSeen == 0u && map.KeyFrameCount() == 3u);
  EXPECT_FALSE(tracker.SaveState(folder.File("missing/state.bin")));
  EXPECT_TRUE(tracker.SaveState(folder.File("state.bin")));
  server.join();
  using Heard = std::vector<std::pair<i32, i32>>;
  EXPECT_EQ(heard, (Heard{{kMessageStateLoaded, current}, {kMessageStateSaved, current}}));
  EXPECT_EQ(tracker.Links().LastSentFrame(), current);
}

TEST_F(StateFileTest, NumberedCopyTakesAnyNameAndRunsNothing) {
  EXPECT_EQ(NumberedCopyName("out/s.x.dat", 7), "out/s.x_0007.txt");
  EXPECT_EQ(NumberedCopyName("a.b/s", 12345), "a.b/s_12345.txt");
  EXPECT_EQ(NumberedCopyName("s", 1), "s_0001.txt");

  // A state at frame 7, loaded from a patched file.
  Scene scene(SmallMap(), 1);
  std::string bytes = Saved(scene.tracker);
  const i32 seven = 7;
  PatchBytes(bytes, SavedMap(scene.map).size() + kFrameCounterOffset, &seven, 4);
  ASSERT_TRUE(scene.tracker.LoadState(folder.Write("seven.state", bytes)));
  ASSERT_EQ(scene.tracker.Status().frameCounter, 7);

  const std::string name = folder.File("my state 'x\" ; touch PWNED ; echo .bin");
  ASSERT_TRUE(scene.tracker.SaveState(name));
  const std::string copy = folder.File("my state 'x\" ; touch PWNED ; echo _0007.txt");
  EXPECT_EQ(ReadFile(copy), ReadFile(name));
  EXPECT_FALSE(std::filesystem::exists(folder.File("PWNED")) || std::filesystem::exists("PWNED"));
}

TEST_F(StateFileTest, RequestedSaveMakesItsFolder) {
  EXPECT_FALSE(target.tracker.SaveStateIfRequested());
  const std::string name = folder.File("run/states/s.bin");
  target.tracker.SetStateFile(name, 5);
  EXPECT_TRUE(std::filesystem::is_directory(folder.File("run/states")));
  EXPECT_TRUE(target.tracker.States().Due(5) && !target.tracker.States().Due(4));
  EXPECT_TRUE(target.tracker.SaveStateIfRequested());
  EXPECT_TRUE(std::filesystem::exists(name));
}

TEST_F(StateFileTest, OutputFolderIsNeverEmptiedWithoutAnAnswer) {
  const std::filesystem::path working = std::filesystem::current_path();
  std::vector<std::string> kept = {"",
                                   "/",
                                   ".",
                                   "./",
                                   "..",
                                   folder.File("x/.."),
                                   working,
                                   working.string() + "/",
                                   working.parent_path()};
  if (const char* home = std::getenv("HOME"))
    kept.insert(kept.end(), {home, std::filesystem::path(home).parent_path()});
  for (const std::string& f : kept) EXPECT_TRUE(IsProtectedFolder(f)) << f;
  EXPECT_FALSE(IsProtectedFolder(folder.File("out")) || IsProtectedFolder(folder.File("out/")));
  // An empty or unset HOME adds nothing to protect.
  const char* home = std::getenv("HOME");
  const bool hadHome = home != nullptr;
  const std::string savedHome = hadHome ? home : "";
  ASSERT_EQ(setenv("HOME", "", 1), 0);
  EXPECT_FALSE(IsProtectedFolder(folder.File("out")));
  ASSERT_EQ(unsetenv("HOME"), 0);
  EXPECT_FALSE(IsProtectedFolder(folder.File("out")));
  if (hadHome) {
    ASSERT_EQ(setenv("HOME", savedHome.c_str(), 1), 0);
  }

  const std::vector<std::tuple<const char*, bool, bool>> answers = {
      {"Y\n", true, true},  {"  y", true, true}, {"yes\n", true, false},
      {"N\n", true, false}, {"", true, false},   {"Y\n", false, false}};
  for (const auto& [typed, interactive, yes] : answers) {
    FILE* in = std::tmpfile();
    std::fputs(typed, in);
    std::rewind(in);
    EXPECT_EQ(ReadYesAnswer(in, interactive), yes) << typed;
    std::fclose(in);
  }

  // No standard input: an existing folder keeps its files; a missing one is made.
  ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  const std::string file = folder.Write("keep.txt", "x");
  target.tracker.SetOutputFolder(folder.File("image_"));
  EXPECT_EQ(target.tracker.States().outputPrefix, folder.File("image_"));
  EXPECT_EQ(ReadFile(file), "x");
  target.tracker.SetOutputFolder(folder.File("new/out/image_"));
  EXPECT_TRUE(std::filesystem::is_directory(folder.File("new/out")));
}

}  // namespace
