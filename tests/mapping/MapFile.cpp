// The binary map file: byte-exact round trips (also through a pipe), the
// exact section length, and refusal of truncated and inconsistent files with
// the target map left as it was (random damage: fuzz/FuzzMapFiles.cpp).
#include "mapping/MapFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "common/TempFolder.h"
#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

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

  GlobalMap target_;
  std::string targetBytes_;
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

TEST_F(MapFile, TruncatedInconsistentAndCyclicFilesAreRefused) {
  for (std::size_t n = 0; n < targetBytes_.size(); ++n)
    ExpectRefused(targetBytes_.substr(0, n), "truncated");
  for (const auto& [offset, width] : CountFields(targetBytes_)) {
    for (const u32 change : {0u, 1u, ~0u}) {
      std::string bytes = targetBytes_;
      u32 v = 0;
      std::memcpy(&v, bytes.data() + offset, width);
      v = change == 0 ? ~0u : v + change;
      std::memcpy(bytes.data() + offset, &v, width);
      ExpectRefused(bytes, "count at " + std::to_string(offset));
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

  TempFolder folder;
  EXPECT_FALSE(LoadMap(target_, folder.File("missing.txt")));
  const std::string name =
      folder.Write("short.txt", targetBytes_.substr(0, targetBytes_.size() - 1));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(LoadMap(target_, name));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Cannot load"), std::string::npos);
}

}  // namespace
