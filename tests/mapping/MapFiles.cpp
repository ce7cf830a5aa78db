// The map's files. The binary map file: byte-exact round trips (also
// through a pipe), the exact section length, refusal of truncated and
// inconsistent files with the target map left as it was, and counts on a
// pipe that ask for no more memory than the bytes that came. Camera-track
// project files: the text writer read back exactly (unset poses unset, numbers
// far from 1), a hand-written text project and its binary twin (extra
// numbers, a missing image, a frame without a pose, repeated and
// out-of-image observations, file colours), the binary form from a named
// pipe, long sequence patterns, and refusal of broken files with the map left
// as it was. (Random damage: fuzz/FuzzMapFiles.cpp, fuzz/FuzzMapStream.cpp,
// fuzz/FuzzProjectFiles.cpp.)
#include <cvd/image_io.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <thread>

#include "common/TempFolder.h"
#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"
#include "mapping/BinaryFile.h"
#include "mapping/MapFile.h"
#include "mapping/PackedTrackLists.h"
#include "mapping/ProjectFile.h"

namespace {

// What the readers ask of operator new while a probe is open: the largest
// single request and the sum (vectors, track lists and images come from here).
struct AllocationProbe {
  AllocationProbe() {
    largest = total = count = 0;
    open = true;
  }
  ~AllocationProbe() {
    open = false;
    failAt = -1;
  }
  static inline std::atomic<bool> open{false};
  static inline std::atomic<std::size_t> largest{0}, total{0};
  // The allocation of this number (from 0, while open) fails; -1: none.
  static inline std::atomic<long> failAt{-1}, count{0};
};

// Every replaceable form but the aligned ones (left to the library, which
// pairs them with their own deletes) goes through malloc and free, out of
// line: inlined, the pairings would look mismatched to the compiler.
void* ProbedAllocate(std::size_t n) noexcept {
  if (AllocationProbe::open) {
    if (AllocationProbe::count++ == AllocationProbe::failAt) return nullptr;
    AllocationProbe::total += n;
    std::size_t seen = AllocationProbe::largest;
    while (n > seen && !AllocationProbe::largest.compare_exchange_weak(seen, n)) {
    }
  }
  return std::malloc(n == 0 ? 1 : n);
}

}  // namespace

[[gnu::noinline]] void* operator new(std::size_t n) {
  if (void* p = ProbedAllocate(n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t n) {
  return operator new(n);
}
[[gnu::noinline]] void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return ProbedAllocate(n);
}
[[gnu::noinline]] void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return ProbedAllocate(n);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace {

// A synthetic map with planes, images and three merged-away tracks (newest
// tracks first), one key frame without its float image and top level.
void BuildMap(GlobalMap& map, u32 keyFrames, u16 width, u32 points) {
  SyntheticMapOptions o;
  o.keyFrames = keyFrames;
  o.width = width;
  o.height = static_cast<u16>(width * 3 / 4);
  o.pointsPerPlane = points;
  o.clutterPoints = points / 2;
  o.images = true;
  SyntheticMap(o).Build(map);
  map.keyFrames[1].floatImage = CVD::Image<float>();
  map.keyFrames[1].pyramid[3] = CVD::Image<u8>();
  std::vector<u8> scratch;
  for (int merges = 0; merges < 3; ++merges) {
    std::vector<TrackPair> pair;
    for (u32 b = map.TrackCount(); b-- > 0 && pair.empty();) {
      for (u32 a = 0; a < b && pair.empty() && !(map.trackFlags[b] & kTrackMergedAway); ++a)
        if (!(map.trackFlags[a] & kTrackMergedAway) && !map.TracksOverlap(a, b, scratch))
          pair.push_back({a, b});
    }
    ASSERT_TRUE(!pair.empty() && map.MergeTracks(0, pair, map.StructureVersion()));
  }
  ASSERT_TRUE(map.CheckInvariants());
  ASSERT_GT(map.PlaneCount(), 0u);
}

// Offsets and widths of the count fields: key-frame count, sides of
// non-empty images (a zero side makes the other one free), array counts and
// track-list lengths.
std::vector<std::pair<std::size_t, std::size_t>> CountFields(const std::string& b) {
  std::vector<std::pair<std::size_t, std::size_t>> fields = {{240, 2}};
  const auto at = [&b](std::size_t o) {
    u32 v = 0;
    std::memcpy(&v, b.data() + o, o == 240 ? 2 : 4);
    return v;
  };
  const auto array = [&](std::size_t& p, std::size_t size) {
    fields.push_back({p, 4});
    p += 4 + at(p) * size;
  };
  std::size_t p = 242;
  for (u32 k = 0; k < at(240); ++k, p += 12 + 1640 + 64) {
    p += 4;
    for (int image = 0; image < 5; ++image) {
      if (at(p) * at(p + 4) != 0) fields.insert(fields.end(), {{p, 4}, {p + 4, 4}});
      p += 8 + at(p) * at(p + 4) * (image == 0 ? 4 : 1);
    }
  }
  for (const std::size_t size : {136, 48, 16, 16, 8}) array(p, size);
  const u32 T = at(p);
  fields.push_back({p, 4});
  p += 4;
  for (u32 t = 0; t < T; ++t) array(p, 4);
  for (const std::size_t size : {4, 8, 4, 2, 1, 1, 1, 3}) array(p, size);
  EXPECT_EQ(p + 1, b.size());
  return fields;
}

// Reads `bytes` followed by *tail from memory; *tail becomes what the stream
// holds after.
bool Read(GlobalMap& map, const std::string& bytes, std::string* tail = nullptr) {
  std::string all = bytes + (tail ? *tail : std::string()) + '\0';
  FILE* f = fmemopen(all.data(), all.size() - 1, "rb");
  const bool ok = ReadMap(map, f);
  char rest[64];
  if (tail) tail->assign(rest, std::fread(rest, 1, sizeof(rest), f));
  std::fclose(f);
  return ok;
}

// Reads `bytes` through a pipe, which cannot be measured; false also when
// they do not fit the pipe's buffer.
bool ReadPiped(GlobalMap& map, const std::string& bytes) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const bool fits = fcntl(fds[1], F_SETPIPE_SZ, 1 << 20) >= static_cast<int>(bytes.size()) &&
                    write(fds[1], bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
  close(fds[1]);
  FILE* f = fdopen(fds[0], "rb");
  EXPECT_TRUE(fits) << bytes.size() << " bytes do not fit the pipe";
  const bool ok = fits && ReadMap(map, f);
  std::fclose(f);
  return ok;
}

class MapFile : public ::testing::Test {
 protected:
  // Refused input leaves target_ as it was, counters included.
  void ExpectRefused(const std::string& bytes, const std::string& what) {
    const u64 counter = target_.ModificationCounter(), version = target_.StructureVersion();
    EXPECT_FALSE(Read(target_, bytes)) << what;
    EXPECT_EQ(target_.ModificationCounter() - counter + target_.StructureVersion() - version, 0u)
        << what;
  }
  void SetUp() override {
    BuildMap(target_, 4, 48, 30);
    targetBytes_ = SavedMap(target_);
  }
  void TearDown() override { EXPECT_TRUE(SavedMap(target_) == targetBytes_) << "target changed"; }

  TempFolder folder_;
  GlobalMap target_;
  std::string targetBytes_, printed_;
};

TEST_F(MapFile, RoundTripIsByteExactAndConsumesOnlyItsSection) {
  GlobalMap map, empty;
  BuildMap(map, 6, 96, 40);
  map.changed = 1;
  const std::string bytes = SavedMap(map);
  const u64 counter = target_.ModificationCounter(), version = target_.StructureVersion();
  std::string tail = "tracker state";
  ASSERT_TRUE(Read(target_, bytes, &tail));
  EXPECT_EQ(tail, "tracker state");
  EXPECT_EQ(target_.changed, 1);
  EXPECT_EQ(target_.ModificationCounter(), counter + 1);
  EXPECT_EQ(target_.StructureVersion(), version + 1);
  EXPECT_TRUE(SavedMap(target_) == bytes);

  // A pipe cannot be measured or read ahead; the section is read exactly.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string piped = targetBytes_ + tail;
  ASSERT_LT(piped.size(), 65536u);  // fits the pipe's buffer
  ASSERT_EQ(write(fds[1], piped.data(), piped.size()), long(piped.size()));
  close(fds[1]);
  FILE* f = fdopen(fds[0], "rb");
  EXPECT_TRUE(ReadMap(target_, f));
  char rest[32];
  EXPECT_EQ(std::string(rest, std::fread(rest, 1, sizeof(rest), f)), tail);
  std::fclose(f);

  SyntheticMap(SyntheticMapOptions()).MakeEmptyMap(empty);
  EXPECT_EQ(SavedMap(empty).size(), 303u);
  EXPECT_TRUE(Read(map, SavedMap(empty)));
  EXPECT_EQ(map.keyFrameMeasurementStart, std::vector<u32>{0});
}

// Reads of every length from a file, after a small field has filled the
// read-ahead: what stays of a block past the buffered bytes may be larger
// than the buffer itself, and it still arrives whole, with the next field
// behind it.
TEST(BinaryReader, BlocksOfEveryLengthFollowASmallField) {
  constexpr std::size_t kBlock = 1 << 16;  // the reader's read-ahead
  for (const std::size_t n : {std::size_t{5}, kBlock / 2, kBlock + 100, 3 * kBlock / 2 + kBlock}) {
    SCOPED_TRACE(n);
    std::vector<char> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
      BinaryWriter out(f);
      out.Put(u32(0xC0FFEE));
      out.PutBytes(bytes.data(), n);
      out.Put(u16(0xBEEF));
    }
    std::rewind(f);
    {
      BinaryReader in(f);
      u32 head = 0;
      u16 tail = 0;
      std::vector<char> read(n);
      EXPECT_TRUE(in.Get(head) && in.GetBytes(read.data(), n) && in.Get(tail));
      EXPECT_EQ(head, 0xC0FFEEu);
      EXPECT_TRUE(read == bytes);
      EXPECT_EQ(tail, 0xBEEF);
      EXPECT_FALSE(in.Get(tail));
    }
    std::fclose(f);
  }
}

// A map larger than a read step goes through a pipe unchanged, as does a
// map of one key frame (arrays of one record).
TEST_F(MapFile, LargeMapThroughAPipeIsByteExact) {
  GlobalMap map;
  BuildHandMap(map, {{0, 1}});
  const std::string single = SavedMap(map);
  ASSERT_TRUE(ReadPiped(target_, single));
  EXPECT_TRUE(SavedMap(target_) == single);
  BuildMap(map, 3, 200, 40);
  const std::string bytes = SavedMap(map);
  ASSERT_GT(bytes.size(), 2 * BinaryReader::kUnmeasuredStep);
  ASSERT_TRUE(ReadPiped(target_, bytes));
  EXPECT_TRUE(SavedMap(target_) == bytes);
  targetBytes_ = bytes;
}

// On a pipe a count is taken at its word only up to the memory it would
// cost; within that, storage follows the bytes that arrive, so a file of a
// few kilobytes never asks for hundreds of megabytes.
TEST_F(MapFile, PipedCountsAskOnlyForMemoryTheBytesCover) {
  const auto expectRefused = [this](const std::string& bytes, const std::string& what) {
    const u64 counter = target_.ModificationCounter();
    AllocationProbe probe;
    EXPECT_FALSE(ReadPiped(target_, bytes)) << what;
    EXPECT_LT(AllocationProbe::largest, 1u << 20) << what;
    EXPECT_EQ(target_.ModificationCounter(), counter) << what;
  };
  for (const auto& [offset, width] : CountFields(targetBytes_)) {
    for (const u32 count : {1u << 24, 1u << 26, ~0u}) {
      std::string bytes = targetBytes_;
      std::memcpy(bytes.data() + offset, &count, width);
      expectRefused(bytes, "count " + std::to_string(count) + " at " + std::to_string(offset));
    }
  }
  // A float image of 8192 x 8192 claims exactly the limit of an unmeasured block.
  std::string bytes = targetBytes_;
  const i32 side = 8192;
  static_assert(4ull * side * side == BinaryReader::kUnmeasuredLimit);
  std::memcpy(bytes.data() + 246, &side, 4);
  std::memcpy(bytes.data() + 250, &side, 4);
  expectRefused(bytes, "float image");
  // A stream cut in half.
  expectRefused(targetBytes_.substr(0, targetBytes_.size() / 2), "cut");
}

TEST_F(MapFile, TruncatedInconsistentAndCyclicFilesAreRefused) {
  for (std::size_t n = 0; n < targetBytes_.size(); ++n)
    ExpectRefused(targetBytes_.substr(0, n), "truncated");
  // A file measures its bytes: no count it cannot hold asks for more memory
  // than a few times the file's size.
  for (const auto& [offset, width] : CountFields(targetBytes_)) {
    for (const u32 change : {0u, 1u, ~0u}) {
      std::string bytes = targetBytes_;
      u32 v = 0;
      std::memcpy(&v, bytes.data() + offset, width);
      v = change == 0 ? ~0u : v + change;
      std::memcpy(bytes.data() + offset, &v, width);
      AllocationProbe probe;
      ExpectRefused(bytes, "count at " + std::to_string(offset));
      EXPECT_LT(AllocationProbe::largest, 8 * bytes.size()) << "count at " << offset;
    }
  }
  // Two merged-away tracks pointing at each other.
  GlobalMap map;
  BuildMap(map, 4, 48, 30);
  std::vector<u32> away;
  for (u32 t = 0; t < map.TrackCount(); ++t)
    if (map.trackFlags[t] & kTrackMergedAway) away.push_back(t);
  ASSERT_GE(away.size(), 2u);
  map.trackMeasurements[away[0]].assign(1, ~away[1]);
  map.trackMeasurements[away[1]].assign(1, ~away[0]);
  ExpectRefused(SavedMap(map), "cycle");

  EXPECT_FALSE(LoadMap(target_, folder_.File("missing.txt")));
  const std::string name =
      folder_.Write("short.txt", targetBytes_.substr(0, targetBytes_.size() - 1));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(LoadMap(target_, name));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Cannot load"), std::string::npos);
}

// Reloading into a map whose lists are long enough reuses them, else they
// are made anew; either way the map reads back byte for byte.
TEST_F(MapFile, ReloadsIntoShorterAndLongerListsAreByteExact) {
  GlobalMap large, small;
  BuildMap(large, 6, 96, 40);
  BuildMap(small, 4, 48, 30);
  const std::string largeBytes = SavedMap(large), smallBytes = SavedMap(small);
  for (const std::string* bytes : {&largeBytes, &smallBytes, &largeBytes, &largeBytes}) {
    ASSERT_TRUE(Read(target_, *bytes));
    EXPECT_TRUE(SavedMap(target_) == *bytes);
    EXPECT_TRUE(target_.CheckInvariants());
  }
  targetBytes_ = largeBytes;
}

// Memory running out at any allocation of a load refuses the map and leaves
// the target as it was, whether the target's lists are reused or made anew.
TEST_F(MapFile, LoadsFailingForMemoryLeaveTheMapUnchanged) {
  GlobalMap large;
  BuildMap(large, 6, 96, 40);
  const std::string largeBytes = SavedMap(large), smallBytes = targetBytes_;
  for (const std::string* bytes : {&largeBytes, &smallBytes}) {
    long failAt = 0;
    for (bool ok = false; !ok; ++failAt) {
      const std::string before = SavedMap(target_);
      const u64 counter = target_.ModificationCounter();
      std::string all = *bytes;
      FILE* f = fmemopen(all.data(), all.size(), "rb");
      {
        AllocationProbe probe;
        AllocationProbe::failAt = failAt;
        ok = ReadMap(target_, f);
      }
      std::fclose(f);
      if (!ok) {
        ASSERT_TRUE(SavedMap(target_) == before) << "allocation " << failAt;
        ASSERT_EQ(target_.ModificationCounter(), counter) << "allocation " << failAt;
      }
      ASSERT_LT(failAt, 100000);
    }
    EXPECT_TRUE(SavedMap(target_) == *bytes);
    EXPECT_GT(failAt, 1);
  }
}

// The packed lists a loader checks are judged as the map's own lists are,
// with the same first fault named.
TEST_F(MapFile, PackedListsAreCheckedLikeTheMapsOwn) {
  GlobalMap map;
  BuildMap(map, 4, 48, 30);
  const auto pack = [](const GlobalMap& m) {
    PackedTrackLists lists;
    for (const std::vector<u32>& list : m.trackMeasurements) {
      lists.entries.insert(lists.entries.end(), list.begin(), list.end());
      lists.starts.push_back(static_cast<u32>(lists.entries.size()));
    }
    return lists;
  };
  const auto expectSame = [&](const GlobalMap& m, bool valid, const std::string& what) {
    std::string nested, packed;
    EXPECT_EQ(m.CheckInvariants(&nested), valid) << what << ": " << nested;
    EXPECT_EQ(CheckInvariants(m, pack(m), &packed), valid) << what << ": " << packed;
    EXPECT_EQ(nested, packed) << what;
  };
  expectSame(map, true, "as built");
  u32 live = 0;
  while (map.trackMeasurements[live].size() < 2 || (map.trackFlags[live] & kTrackMergedAway))
    ++live;
  std::vector<u32>& list = map.trackMeasurements[live];
  const u32 first = list[0], second = list[1];
  // One measurement left out: counted, then named.
  list.erase(list.begin());
  expectSame(map, false, "left out");
  // Named twice by the same track.
  list.insert(list.begin(), {first, first});
  expectSame(map, false, "named twice");
  // Out of key-frame order.
  list.erase(list.begin(), list.begin() + 2);
  list[0] = first;
  list.insert(list.begin(), second);
  expectSame(map, false, "unsorted");
  list[0] = first;
  list[1] = second;
  expectSame(map, true, "restored");
  // Outside the key frame's track range, and a range inverted.
  auto& range = map.keyFrameTrackRange[GlobalMap::MeasurementKeyFrame(first)];
  const auto kept = range;
  range.first = live + 1;
  expectSame(map, false, "range");
  range = {kept.second + 1, kept.second};
  expectSame(map, false, "inverted range");
  range = kept;
  expectSame(map, true, "range restored");
}

// A start list that does not begin at 0 or end at the measurement count is
// named for what it is, not for a key frame's block that it skews.
TEST_F(MapFile, MeasurementStartsMustSpanEveryMeasurement) {
  GlobalMap map;
  BuildMap(map, 4, 48, 30);
  std::vector<u32>& starts = map.keyFrameMeasurementStart;
  for (const int end : {0, 1}) {
    u32& bound = end ? starts.back() : starts.front();
    const u32 kept = bound;
    bound += 1;
    std::string error;
    EXPECT_FALSE(map.CheckInvariants(&error));
    EXPECT_NE(error.find("do not span"), std::string::npos) << error;
    bound = kept;
    EXPECT_TRUE(map.CheckInvariants());
  }
}

const TrackColor kDefault(0, 255, 255);

TrackColor ImageColour(int x, int y, int frame) {
  return TrackColor(static_cast<u8>(10 * x), static_cast<u8>(10 * y), static_cast<u8>(50 * frame));
}

// Three 16 x 12 frames f0.png, f1.png and a missing f2.png; four tracks with
// two extra numbers each: t0 in frame 0; t1 (an outlier) in frames 2 and 1,
// left of and below frame 1; t2 (unsolved) only in the missing frame; t3
// twice in frame 0, first right of and above it. Frame 1 has no pose.
const char kText[] =
    "#camera track project file\r\n<Image Sequence>\r\nSequence:C:\\data\\f0.png\r\n"
    "start:0\r\nstep:1\r\nend:2\r\n</Image Sequence>\r\n<intrinsic parameter>\r\n"
    "10 10 8 6 0 1\r\n</intrinsic parameter>\r\n<Feature Tracks>\r\nkpts: 2\r\n4\r\n"
    "1 0 1 0 0 5\r\n0 3 4 9.5 -1\r\n2 0 0 1 1 5\r\n2 5 5 1 -50 1e6 9.5 -1\r\n"
    "1 -1 1 0 0 0\r\n2 1 1 9.5 -1\r\n2 0 1 0 0 4\r\n0 1e6 -50 0 3 3 9.5 -1\r\n"
    "</Feature Tracks>\r\n<Camera Track>\r\n"
    "<FRAME0>\r\n10\r\n1 0 0 0.5\r\n0 1 0 0\r\n0 0 1 0\r\n0 0 0 1\r\n</FRAME0>\r\n"
    "<FRAME1>\r\n-1\r\n1 0 0 0\r\n0 1 0 0\r\n0 0 1 0\r\n0 0 0 1\r\n</FRAME1>\r\n"
    "<FRAME2>\r\n10\r\n0 -1 0 1\r\n1 0 0 2\r\n0 0 1 3\r\n0 0 0 1\r\n</FRAME2>\r\n"
    "</Camera Track>\r\n";
const std::vector<TrackColor> kImageColours = {ImageColour(3, 4, 0), ImageColour(0, 11, 1),
                                               kDefault, ImageColour(15, 0, 0)};

template <class... T>
void Append(std::string& s, const T&... v) {
  (s.append(reinterpret_cast<const char*>(&v), sizeof(T)), ...);
}

// kText in binary form, with `frames` stored and `colors` file colours
// (i, i + 1, i + 2) for track i.
std::string BinaryProject(const std::string& header, u32 frames, u32 colors) {
  std::string s = header + "f0.png\n";
  Append(s, i32(0), i32(1), i32(2), u32(0), u32(0), 10.0, 10.0, 8.0, 6.0, 0.0, 1.0, u8(0), i32(2),
         u32(4));
  const auto track = [&s](i32 n, i32 a, i32 b, f64 z, std::vector<f32> obs) {
    Append(s, n, a, b, 0.0, 0.0, z);
    for (std::size_t i = 0; i < obs.size(); i += 3) Append(s, i32(obs[i]), obs[i + 1], obs[i + 2]);
    Append(s, 9.5f, -1.0f);
  };
  track(1, 0, 1, 5, {0, 3, 4});
  track(2, 0, 0, 5, {2, 5, 5, 1, -50, 1e6f});
  track(1, -1, 1, 0, {2, 1, 1});
  track(2, 0, 1, 4, {0, 1e6f, -50, 0, 3, 3});
  s += "<CAM>";
  Append(s, frames);
  const f64 poses[3][12] = {{1, 0, 0, 0.5, 0, 1, 0, 0, 0, 0, 1, 0},
                            {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0},
                            {0, -1, 0, 1, 1, 0, 0, 2, 0, 0, 1, 3}};
  // Frame 1 has no pose: its focal length is -1.
  for (u32 i = 0; i < frames; ++i)
    Append(s, i % 3 == 1 ? -1.0 : 10.0, poses[i % 3], 0.0, 0.0, 0.0, 1.0);
  Append(s, colors);
  for (u32 i = 0; i < colors; ++i) s += {char(i), char(i + 1), char(i + 2)};
  return s;
}

const std::string kHeader = "#camera track binary project file 1.0\n";

// The map-file fixture's target and folder, with the frames f0.png and
// f1.png; loads may change the target.
class ProjectFile : public MapFile {
 protected:
  void SetUp() override {
    MapFile::SetUp();
    for (int frame = 0; frame < 2; ++frame) {
      CVD::Image<TrackColor> image(CVD::ImageRef(16, 12));
      for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) image[y][x] = ImageColour(x, y, frame);
      CVD::img_save(image, folder_.File("f" + std::to_string(frame) + ".png"));
    }
  }
  void TearDown() override {}
  // Loads text or binary bytes (or the file they name) into target_; what it
  // prints goes to printed_.
  bool Load(const std::string& bytes, bool binary, bool named = false) {
    const std::string name = named ? bytes : folder_.Write(binary ? "p.actb" : "p.act", bytes);
    testing::internal::CaptureStdout();
    const bool ok = binary ? LoadProjectBinary(target_, name) : LoadProjectText(target_, name);
    printed_ = testing::internal::GetCapturedStdout();
    return ok;
  }
  void ExpectRefused(const std::string& bytes, bool binary, const std::string& what) {
    const u64 counter = target_.ModificationCounter();
    EXPECT_FALSE(Load(bytes, binary)) << what;
    EXPECT_EQ(target_.ModificationCounter(), counter) << what;
  }
  // The map both forms of the hand-written project give.
  void ExpectHandWrittenMap(const std::vector<TrackColor>& colors) {
    const GlobalMap& m = target_;
    ASSERT_TRUE(m.CheckInvariants());
    ASSERT_EQ(m.KeyFrameCount(), 3u);
    EXPECT_EQ(m.width * 100 + m.height, 1612);  // from f0.png
    EXPECT_EQ(m.keyFrames[2].pyramid[0].size().x, 0);
    EXPECT_EQ(m.keyFrameMeasurementStart, (std::vector<u32>{0, 2, 3, 5}));
    // Every measurement on level 0.
    for (u32 k = 0; k < 3; ++k) {
      const u16 n =
          static_cast<u16>(m.keyFrameMeasurementStart[k + 1] - m.keyFrameMeasurementStart[k]);
      const u16* o = m.keyFrames[k].levelOffsets;
      EXPECT_EQ(std::vector<u16>(o, o + 6), (std::vector<u16>{0, n, n, n, n, n})) << k;
    }
    EXPECT_EQ(m.keyFrameTrackRange, (std::vector<std::pair<u32, u32>>{{0, 3}, {1, 1}, {1, 2}}));
    EXPECT_EQ(m.trackFlags, (std::vector<u8>{3, kTrackSolved, 0, 3}));
    EXPECT_EQ(m.trackMeasurements[1], (std::vector<u32>{1, 2}));  // (1, 0), (2, 0)
    EXPECT_EQ(m.trackMeasurements[2], (std::vector<u32>{2 | 1 << 16}));
    EXPECT_FLOAT_EQ(m.measurements[0].x, -0.5f);
    EXPECT_FLOAT_EQ(m.measurements[0].y, -0.2f);
    // Every element of the two set poses as written.
    const float rows[2][12] = {{1, 0, 0, 0.5f, 0, 1, 0, 0, 0, 0, 1, 0},
                               {0, -1, 0, 1, 1, 0, 0, 2, 0, 0, 1, 3}};
    for (int j = 0; j < 12; ++j) {
      EXPECT_EQ(m.keyFramePoses[0].m[j / 4][j % 4], rows[0][j]) << j;
      EXPECT_EQ(m.keyFramePoses[2].m[j / 4][j % 4], rows[1][j]) << j;
    }
    EXPECT_TRUE(IsPoseValid(m.keyFramePoses[0]) && IsPoseInvalid(m.keyFramePoses[1]));
    EXPECT_EQ(m.trackPlanes, std::vector<u16>(4, kNone16));
    for (u32 t = 0; t < 4; ++t) EXPECT_TRUE(m.trackColors[t] == colors[t]) << "track " << t;
  }
};

// An unset pose reads back unset and seeing nothing, an unset point as an
// unsolved track without measurements; every other track is solved at its
// point and measured where it projects. Poses and points come back exactly.
TEST_F(ProjectFile, WrittenTextReadsBack) {
  SyntheticMap scene(SyntheticMapOptions{});
  AlignedArray<CameraPose> poses;
  AlignedArray<MapPoint> points;
  for (u32 i = 0; i < 5; ++i) poses.PushBack48(scene.TruePose(i));
  for (const MapPoint& p : scene.ScenePoints()) points.PushBack16(p);
  poses[2].m[0][0] = points[3].v[0] = FLT_MAX;
  const std::string name = folder_.File("out.act");
  ASSERT_TRUE(SaveProjectText(name, scene.Camera(), poses, points));
  ASSERT_TRUE(Load(name, false, true) && target_.CheckInvariants()) << printed_;
  ASSERT_EQ(target_.KeyFrameCount() * 10000 + target_.TrackCount(), 50000 + points.Size());
  EXPECT_TRUE(IsPoseInvalid(target_.keyFramePoses[2]));
  for (u32 i = 0; i < 5; ++i) {
    for (int j = 0; j < 12 && i != 2; ++j)
      EXPECT_EQ(target_.keyFramePoses[i].m[j / 4][j % 4], poses[i].m[j / 4][j % 4]);
  }
  EXPECT_EQ(target_.trackFlags[3], 0);
  EXPECT_TRUE(target_.trackMeasurements[3].empty());
  u32 observed = 0;
  for (u32 t = 0; t < points.Size(); ++t) {
    EXPECT_TRUE(target_.trackColors[t] == kDefault);
    EXPECT_EQ(target_.trackFlags[t], t == 3 ? 0 : kTrackSolved | kTrackInlier);
    for (int j = 0; j < 3 && t != 3; ++j) EXPECT_EQ(target_.points[t].v[j], points[t].v[j]);
    for (const u32 e : target_.trackMeasurements[t]) {
      const u32 k = GlobalMap::MeasurementKeyFrame(e);
      ASSERT_NE(k, 2u);
      float x[3];
      SceneRender::ToCamera(poses[k], points[t].v, x);
      EXPECT_NEAR(MeasurementOf(target_, e).x, x[0] / x[2], 1e-5f);
      EXPECT_NEAR(MeasurementOf(target_, e).y, x[1] / x[2], 1e-5f);
      ++observed;
    }
  }
  EXPECT_GT(observed, points.Size());
}

// Numbers far from 1 (a focal length below 5e-7, points near the float
// range's ends) read back as written, and saving what was read writes the
// same file again.
TEST_F(ProjectFile, ExtremeNumbersReadBackExactly) {
  Intrinsic k;
  k.Set(1e-7f, 3e-7f, 1.5e-7f, 1e-7f);
  AlignedArray<CameraPose> poses;
  CameraPose pose{};
  pose.m[0][0] = pose.m[1][1] = pose.m[2][2] = 1.0f;
  pose.m[0][3] = 1.25e-30f;
  pose.m[2][3] = 3e30f;
  poses.PushBack48(pose);
  pose.m[0][0] = FLT_MAX;
  poses.PushBack48(pose);
  SetPoseInvalid(pose);  // as the console writes a frame without a pose
  poses.PushBack48(pose);
  AlignedArray<MapPoint> points;
  for (const MapPoint& p :
       {MapPoint{{0.1f, 0.2f, 2.0f, 1.0f}}, MapPoint{{-3e38f, 1e-38f, 7.0f, 1.0f}},
        MapPoint{{1e-45f, -0.0f, 123456.789f, 1.0f}}})
    points.PushBack16(p);
  const std::string first = folder_.File("first.act"), second = folder_.File("second.act");
  ASSERT_TRUE(SaveProjectText(first, k, poses, points));
  ASSERT_TRUE(Load(first, false, true)) << printed_;
  const Intrinsic& loaded = target_.intrinsic;
  EXPECT_TRUE(loaded.fx[0] == k.fx[0] && loaded.fy[0] == k.fy[0] && loaded.cx[0] == k.cx[0] &&
              loaded.cy[0] == k.cy[0]);
  EXPECT_TRUE(IsPoseInvalid(target_.keyFramePoses[1]));
  EXPECT_TRUE(IsPoseInvalid(target_.keyFramePoses[2]));
  EXPECT_EQ(std::memcmp(&target_.keyFramePoses[0], &poses[0], sizeof(CameraPose)), 0);
  ASSERT_EQ(target_.TrackCount(), 3u);
  EXPECT_EQ(std::memcmp(target_.points.Data(), points.Data(), 3 * sizeof(MapPoint)), 0);
  EXPECT_EQ(target_.trackMeasurements[0].size(), 1u);  // seen by the posed frame only
  ASSERT_TRUE(SaveProjectText(second, target_.intrinsic, target_.keyFramePoses, target_.points));
  std::ifstream a(first), b(second);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}),
            std::string(std::istreambuf_iterator<char>(b), {}));
}

TEST_F(ProjectFile, HandWrittenTextAndBinaryForms) {
  ASSERT_TRUE(Load(kText, false));
  EXPECT_NE(printed_.find("Cannot load image"), std::string::npos);
  EXPECT_NE(printed_.find("Dropped 1"), std::string::npos);
  ExpectHandWrittenMap(kImageColours);

  ASSERT_TRUE(Load(BinaryProject(kHeader, 3, 0), true));
  ExpectHandWrittenMap(kImageColours);
  // A frame image of 4 x 0 pixels (a bitmap the image library loads) is refused.
  std::string empty = "BM";
  Append(empty, u32(54), u32(0), u32(54), u32(40), i32(4), i32(0), u16(1), u16(24), u32(0), u32(0),
         i32(2835), i32(2835), u32(0), u32(0));
  folder_.Write("f2.png", empty);
  ASSERT_TRUE(Load(kText, false));
  EXPECT_NE(printed_.find("Cannot load image"), std::string::npos);
  ExpectHandWrittenMap(kImageColours);
  ASSERT_TRUE(Load(BinaryProject(kHeader, 3, 4), true));
  ExpectHandWrittenMap({{0, 1, 2}, {1, 2, 3}, {2, 3, 4}, {3, 4, 5}});
  ASSERT_TRUE(Load(BinaryProject(kHeader, 3, 2), true));
  EXPECT_NE(printed_.find("2 track colours for 4 tracks"), std::string::npos);
  ExpectHandWrittenMap({{0, 1, 2}, {1, 2, 3}, kImageColours[2], kImageColours[3]});
}

// The most frames under a pattern of nearly a path's length cost one
// pattern, not a name per frame (65535 of those would be 268 MB); a pattern
// longer than a path is refused.
TEST_F(ProjectFile, LongSequencePatternsCostNoNamePerFrame) {
  const auto text = [](const std::string& pattern) {
    return "<Image Sequence>\nSequence:" + pattern +
           "\nstart:0\nstep:1\nend:65534\n</Image Sequence>\n<intrinsic parameter>\n"
           "10 10 8 6\n</intrinsic parameter>\n<Feature Tracks>\n0\n</Feature Tracks>\n"
           "<Camera Track>\n</Camera Track>\n";
  };
  const auto binary = [](const std::string& pattern) {
    std::string s = kHeader + pattern + "\n";
    Append(s, i32(0), i32(1), i32(65534), u32(0), u32(0), 10.0, 10.0, 8.0, 6.0, 0.0, 1.0, u8(0),
           i32(0), u32(0));
    s += "<CAM>";
    Append(s, u32(0), u32(0));
    return s;
  };
  const std::string longest(PATH_MAX - folder_.File("").size(), '7');
  for (const bool isBinary : {false, true}) {
    {
      AllocationProbe probe;
      ExpectRefused(isBinary ? binary(longest) : text(longest), isBinary, "no frame poses");
      EXPECT_LT(AllocationProbe::total, 32u << 20);
    }
    EXPECT_NE(printed_.find(isBinary ? "holds 0 frames, not 65535" : "no <FRAME0>"),
              std::string::npos)
        << printed_;
    ExpectRefused(isBinary ? binary(longest + "7") : text(longest + "7"), isBinary, "too long");
    EXPECT_NE(printed_.find("longer than a path"), std::string::npos) << printed_;
  }
}

// A binary project from a named pipe, which cannot be measured: a file's
// own form loads, and counts its bytes do not back cost no memory (the
// track count 112 MB, the colour count 240 MB when taken at their word).
TEST_F(ProjectFile, BinaryProjectFromANamedPipe) {
  const std::string fifo = folder_.File("pipe.actb");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto loadPiped = [&](const std::string& bytes) {
    // One write below PIPE_BUF: it is whole in the pipe before the reader can stop.
    EXPECT_LE(bytes.size(), std::size_t(PIPE_BUF));
    std::thread writer([&] {
      FILE* f = std::fopen(fifo.c_str(), "wb");
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    });
    AllocationProbe probe;
    const bool ok = Load(fifo, true, true);
    writer.join();
    EXPECT_LT(AllocationProbe::largest, 1u << 20);
    return ok;
  };
  ASSERT_TRUE(loadPiped(BinaryProject(kHeader, 3, 4)));
  ExpectHandWrittenMap({{0, 1, 2}, {1, 2, 3}, {2, 3, 4}, {3, 4, 5}});
  const u64 counter = target_.ModificationCounter();
  std::string tracks = BinaryProject(kHeader, 3, 4);
  const u32 manyTracks = 7000000, manyColours = 80000000;
  std::memcpy(tracks.data() + kHeader.size() + 80, &manyTracks, 4);
  EXPECT_FALSE(loadPiped(tracks));
  std::string colours = BinaryProject(kHeader, 3, 4);
  std::memcpy(colours.data() + colours.size() - 16, &manyColours, 4);
  EXPECT_FALSE(loadPiped(colours));
  EXPECT_NE(printed_.find("no track colours"), std::string::npos) << printed_;
  EXPECT_EQ(target_.ModificationCounter(), counter);
}

TEST_F(ProjectFile, BrokenFilesAreRefusedAndTheMapKept) {
  EXPECT_FALSE(LoadProjectText(target_, folder_.File("missing.act")));
  EXPECT_FALSE(LoadProjectBinary(target_, folder_.File("missing.actb")));
  const std::string text = kText;
  for (const auto& [from, to] :
       std::vector<std::pair<std::string, std::string>>{{"step:1", "step:0"},
                                                        {"end:2", "end:-1"},
                                                        {"start:0", "start:3"},
                                                        {"0 3 4 9.5", "3 3 4 9.5"},
                                                        {"2 1 1 9.5", "-1 1 1 9.5"},
                                                        {"\r\n4\r\n", "\r\n4000000\r\n"},
                                                        {"1 -1 1 0", "-1 -1 1 0"},
                                                        {"10 10 8 6", "0 10 8 6"},
                                                        {"10 10 8 6", "1e-40 500 8 6"},
                                                        {"10 10 8 6", "1e-30 1e30 1e10 6"},
                                                        {"</Camera Track>", ""},
                                                        {"<FRAME2>", "<FRAME3>"},
                                                        {"<Image Sequence>", ""},
                                                        {"kpts: 2", "kpts: 3"}}) {
    std::string edited = text;
    ExpectRefused(edited.replace(edited.find(from), from.size(), to), false, from + " -> " + to);
  }
  // Cut anywhere before the last tag is complete.
  for (std::size_t n = 0; n < text.rfind("</Camera Track>") + 15; n += 3)
    ExpectRefused(text.substr(0, n), false, "cut");
  for (const char* header :
       {"#camera track binary project file 1.1\n", "#camera track binary project file 1.0 \n",
        "#camera track binary project file 1.\n", "#Camera track binary project file 1.0\n"})
    ExpectRefused(BinaryProject(header, 3, 0), true, header);
  ExpectRefused(BinaryProject(kHeader, 4, 0), true, "four frames stored");
  // A denormal fx: positive and finite, as is 1/(fx fy), yet 1/fx is not.
  std::string denormal = BinaryProject(kHeader, 3, 0);
  const double fxfy[2] = {1e-40, 500};
  std::memcpy(denormal.data() + kHeader.size() + 7 + 5 * 4, fxfy, sizeof(fxfy));
  ExpectRefused(denormal, true, "denormal fx");
  const std::string binary = BinaryProject(kHeader, 3, 4);
  for (std::size_t n = 0; n < binary.size(); ++n) ExpectRefused(binary.substr(0, n), true, "cut");
}

}  // namespace
