// The binary map file: byte-exact round trips, the exact section length,
// and refusal of truncated, inconsistent and mutated files with the target
// map left as it was.
#include "mapping/MapFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/MutationCases.h"
#include "common/TempFolder.h"
#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

namespace {

// One scratch file for every read and write of a test.
class ByteFile {
 public:
  ByteFile() : f_(std::tmpfile()) {}
  ~ByteFile() { std::fclose(f_); }
  std::string Save(const GlobalMap& map) {
    Reset();
    EXPECT_TRUE(SaveMap(map, f_));
    std::fflush(f_);
    std::string bytes(static_cast<std::size_t>(std::ftell(f_)), '\0');
    std::rewind(f_);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f_), bytes.size());
    return bytes;
  }
  // Reads a map section from `bytes` followed by `tail`; the tail is what
  // the stream holds afterwards.
  bool Read(GlobalMap& map, const std::string& bytes, std::string* tail = nullptr) {
    Reset();
    std::fwrite(bytes.data(), 1, bytes.size(), f_);
    if (tail) std::fwrite(tail->data(), 1, tail->size(), f_);
    std::rewind(f_);
    const bool ok = ReadMap(map, f_);
    if (tail) {
      char rest[64] = {};
      tail->assign(rest, std::fread(rest, 1, sizeof(rest), f_));
    }
    return ok;
  }

 private:
  void Reset() {
    std::rewind(f_);
    EXPECT_EQ(ftruncate(fileno(f_), 0), 0);
  }
  FILE* f_;
};

// Moves track b's measurements to a (the two must not share a key frame)
// and leaves b pointing at `target`, a itself or a track merged into a.
void MergeAway(GlobalMap& map, u32 b, u32 a, u32 target) {
  const auto byKeyFrame = [](u32 x, u32 y) { return (x & 0xFFFF) < (y & 0xFFFF); };
  for (const u32 e : map.trackMeasurements[b]) {
    const u32 k = GlobalMap::MeasurementKeyFrame(e);
    map.measurementTracks[map.keyFrameMeasurementStart[k] + GlobalMap::MeasurementFeature(e)] = a;
    auto& range = map.keyFrameTrackRange[k];
    range = {std::min(range.first, a), std::max(range.second, a)};
    auto& list = map.trackMeasurements[a];
    list.insert(std::upper_bound(list.begin(), list.end(), e, byKeyFrame), e);
  }
  map.trackMeasurements[b].assign(1, ~target);
  map.trackFlags[b] |= kTrackMerged | kTrackMergedAway;
  map.trackFlags[a] |= kTrackMerged;
}

// Two merges b -> a of tracks that share no key frame.
void MergeTwoPairs(GlobalMap& map) {
  std::vector<u8> scratch;
  u32 merged = 0;
  for (u32 b = map.TrackCount(); b-- > 0 && merged < 2;) {
    if (map.trackFlags[b] & kTrackMerged) continue;
    for (u32 a = 0; a < map.TrackCount(); ++a) {
      if (a != b && !(map.trackFlags[a] & kTrackMergedAway) && !map.TracksOverlap(a, b, scratch)) {
        MergeAway(map, b, a, a);
        ++merged;
        break;
      }
    }
  }
  ASSERT_EQ(merged, 2u);
}

// A synthetic map with planes, merged-away tracks and images (one key frame
// without its float image and top level).
void BuildMap(GlobalMap& map, u32 keyFrames, u16 width, u32 points) {
  SyntheticMapOptions o;
  o.keyFrames = keyFrames;
  o.width = width;
  o.height = static_cast<u16>(width * 3 / 4);
  o.pointsPerPlane = points;
  o.clutterPoints = points / 2;
  o.images = true;
  SyntheticMap scene(o);
  scene.Build(map);
  map.keyFrames[1].floatImage = CVD::Image<float>();
  map.keyFrames[1].pyramid[3] = CVD::Image<u8>();
  MergeTwoPairs(map);
  std::string error;
  ASSERT_TRUE(map.CheckInvariants(&error)) << error;
  ASSERT_GT(map.PlaneCount(), 0u);
}

// Offsets and widths of every count field: key-frame count, sides of
// non-empty images,
// array counts and track-list lengths.
std::vector<std::pair<std::size_t, std::size_t>> CountFields(const std::string& b) {
  std::vector<std::pair<std::size_t, std::size_t>> fields;
  const auto at = [&b](std::size_t o) {
    u32 v;
    std::memcpy(&v, b.data() + o, 4);
    return v;
  };
  std::size_t p = 2 + 2 + 176 + 56 + 4;
  u16 K;
  std::memcpy(&K, b.data() + p, 2);
  fields.push_back({p, 2});
  p += 2;
  for (u32 k = 0; k < K; ++k) {
    p += 4;
    for (int image = 0; image < 5; ++image) {
      if (at(p) * at(p + 4) != 0) {  // a zero side makes the other one free
        fields.push_back({p, 4});
        fields.push_back({p + 4, 4});
      }
      p += 8 + static_cast<std::size_t>(at(p)) * at(p + 4) * (image == 0 ? 4 : 1);
    }
    p += 12 + 1640 + 64;
  }
  for (const std::size_t size : {136, 48, 16, 16, 8}) {
    fields.push_back({p, 4});
    p += 4 + at(p) * size;
  }
  const u32 T = at(p);
  fields.push_back({p, 4});
  p += 4;
  for (u32 t = 0; t < T; ++t) {
    fields.push_back({p, 4});
    p += 4 + 4 * at(p);
  }
  for (const std::size_t size : {4, 8, 4, 2, 1, 1, 1, 3}) {
    fields.push_back({p, 4});
    p += 4 + at(p) * size;
  }
  EXPECT_EQ(p + 1, b.size());
  return fields;
}

class MapFile : public ::testing::Test {
 protected:
  // Refused input leaves `target` as it was, counters included.
  void ExpectRefused(const std::string& bytes, const char* what) {
    const u64 counter = target_.ModificationCounter(), version = target_.StructureVersion();
    EXPECT_FALSE(file_.Read(target_, bytes)) << what;
    EXPECT_EQ(target_.ModificationCounter(), counter) << what;
    EXPECT_EQ(target_.StructureVersion(), version) << what;
  }
  void SetUp() override { BuildMap(target_, 4, 48, 30); }
  void TearDown() override { EXPECT_EQ(file_.Save(target_), targetBytes_) << "target changed"; }

  ByteFile file_;
  GlobalMap target_;
  std::string targetBytes_ = [this] {
    GlobalMap map;
    BuildMap(map, 4, 48, 30);
    return file_.Save(map);
  }();
};

TEST_F(MapFile, RoundTripIsByteExactAndConsumesOnlyItsSection) {
  GlobalMap map;
  BuildMap(map, 6, 96, 40);
  map.changed = 1;
  const std::string bytes = file_.Save(map);
  const u64 counter = target_.ModificationCounter(), version = target_.StructureVersion();
  std::string tail = "tracker state";
  ASSERT_TRUE(file_.Read(target_, bytes, &tail));
  EXPECT_EQ(tail, "tracker state");
  std::string where;
  EXPECT_TRUE(SameMapContent(map, target_, &where)) << where;
  EXPECT_EQ(target_.changed, 1);
  EXPECT_EQ(target_.ModificationCounter(), counter + 1);
  EXPECT_EQ(target_.StructureVersion(), version + 1);
  EXPECT_EQ(file_.Save(target_), bytes);
  ASSERT_TRUE(file_.Read(target_, targetBytes_));  // for TearDown
}

// A pipe cannot be measured or read ahead: the section is read byte-exact.
TEST_F(MapFile, ReadsFromAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string tail = "tracker state";
  ASSERT_LT(targetBytes_.size() + tail.size(), 65536u);  // fits the pipe's buffer
  ASSERT_EQ(write(fds[1], targetBytes_.data(), targetBytes_.size()), long(targetBytes_.size()));
  ASSERT_EQ(write(fds[1], tail.data(), tail.size()), long(tail.size()));
  close(fds[1]);
  FILE* f = fdopen(fds[0], "rb");
  GlobalMap map;
  EXPECT_TRUE(ReadMap(map, f));
  char rest[32] = {};
  EXPECT_EQ(std::string(rest, std::fread(rest, 1, sizeof(rest), f)), tail);
  std::fclose(f);
  EXPECT_EQ(file_.Save(map), targetBytes_);
}

TEST_F(MapFile, EmptyMapIs303Bytes) {
  GlobalMap empty;
  SyntheticMap(SyntheticMapOptions()).MakeEmptyMap(empty);
  const std::string bytes = file_.Save(empty);
  EXPECT_EQ(bytes.size(), 303u);
  GlobalMap map;
  EXPECT_TRUE(file_.Read(map, bytes));
  EXPECT_EQ(map.KeyFrameCount(), 0u);
  EXPECT_EQ(map.keyFrameMeasurementStart, std::vector<u32>{0});
}

TEST_F(MapFile, EveryTruncationIsRefused) {
  for (std::size_t n = 0; n < targetBytes_.size(); ++n) {
    ExpectRefused(targetBytes_.substr(0, n), "truncated");
  }
}

TEST_F(MapFile, CountsThatDisagreeWithTheContentAreRefused) {
  for (const auto& [offset, width] : CountFields(targetBytes_)) {
    for (const int change : {0, 1, -1}) {
      std::string bytes = targetBytes_;
      u32 v = 0;
      std::memcpy(&v, bytes.data() + offset, width);
      v = change == 0 ? 0xFFFFFFFF : v + change;
      std::memcpy(bytes.data() + offset, &v, width);
      ExpectRefused(bytes, ("count at " + std::to_string(offset)).c_str());
    }
  }
}

TEST_F(MapFile, CyclicMergeChainIsRefused) {
  GlobalMap map;
  BuildMap(map, 4, 48, 30);
  std::vector<u32> away;
  for (u32 t = 0; t < map.TrackCount(); ++t) {
    if (map.trackFlags[t] & kTrackMergedAway) away.push_back(t);
  }
  ASSERT_EQ(away.size(), 2u);
  map.trackMeasurements[away[0]].assign(1, ~away[1]);
  map.trackMeasurements[away[1]].assign(1, ~away[0]);
  ExpectRefused(file_.Save(map), "cycle");
}

TEST_F(MapFile, LoadMapReportsMissingAndDamagedFiles) {
  TempFolder folder;
  EXPECT_FALSE(LoadMap(target_, folder.File("missing.txt")));
  FILE* f = std::fopen(folder.File("short.txt").c_str(), "wb");
  std::fwrite(targetBytes_.data(), 1, targetBytes_.size() - 1, f);
  std::fclose(f);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(LoadMap(target_, folder.File("short.txt")));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Cannot load"), std::string::npos);
}

// Damaged files never crash the reader, and what it accepts is a sound map
// that saves and reads back to the same bytes.
TEST_F(MapFile, MutatedFilesAreRefusedOrSound) {
  Random::Seed(14);
  const u32 cases = MutationCases();
  u32 accepted = 0;
  for (u32 i = 0; i < cases; ++i) {
    std::string bytes = targetBytes_;
    for (u32 m = 1 + Random::Index(3); m > 0; --m) Mutate(bytes);
    GlobalMap map;
    if (!file_.Read(map, bytes)) continue;
    ++accepted;
    ASSERT_TRUE(map.CheckInvariants()) << "case " << i;
    GlobalMap again;
    ASSERT_TRUE(file_.Read(again, file_.Save(map)));
  }
  EXPECT_GT(accepted, 0u);  // flips inside pixels and points still load
}

}  // namespace
