// Camera-track project files: the text writer read back, a hand-written
// text project and its binary twin with extra numbers, missing images,
// repeated and out-of-image observations, file colours, and refusal of
// broken files with the map left as it was.
#include "mapping/ProjectFile.h"

#include <cvd/image_io.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cstring>

#include "common/MutationCases.h"
#include "common/TempFolder.h"
#include "common/mapping/SyntheticMap.h"
#include "features/FeatureRecords.h"

namespace {

const TrackColor kDefault(0, 255, 255);

TrackColor ImageColour(int x, int y, int frame) {
  return TrackColor(static_cast<u8>(10 * x), static_cast<u8>(10 * y), static_cast<u8>(50 * frame));
}

// Three 16 x 12 frames f0.png, f1.png and a missing f2.png; four tracks with
// two extra numbers each: t0 in frame 0; t1 (an outlier) in frames 2 and 1;
// t2 (unsolved) only in the missing frame; t3 twice in frame 0, first
// outside the image. Frame 1 has no pose.
const char kText[] =
    "#camera track project file\r\n<Image Sequence>\r\nSequence:C:\\data\\f0.png\r\n"
    "start:0\r\nstep:1\r\nend:2\r\n</Image Sequence>\r\n<intrinsic parameter>\r\n"
    "10 10 8 6 0 1\r\n</intrinsic parameter>\r\n<Feature Tracks>\r\nkpts: 2\r\n4\r\n"
    "1 0 1 0 0 5\r\n0 3 4 9.5 -1\r\n"
    "2 0 0 1 1 5\r\n2 5 5 1 6 7 9.5 -1\r\n"
    "1 -1 1 0 0 0\r\n2 1 1 9.5 -1\r\n"
    "2 0 1 0 0 4\r\n0 -50 1e6 0 3 3 9.5 -1\r\n</Feature Tracks>\r\n<Camera Track>\r\n"
    "<FRAME0>\r\n10\r\n1 0 0 0.5\r\n0 1 0 0\r\n0 0 1 0\r\n0 0 0 1\r\n</FRAME0>\r\n"
    "<FRAME1>\r\n-1\r\n1 0 0 0\r\n0 1 0 0\r\n0 0 1 0\r\n0 0 0 1\r\n</FRAME1>\r\n"
    "<FRAME2>\r\n10\r\n0 -1 0 1\r\n1 0 0 2\r\n0 0 1 3\r\n0 0 0 1\r\n</FRAME2>\r\n"
    "</Camera Track>\r\n";

template <class T>
void Append(std::string& s, const T& v) {
  s.append(reinterpret_cast<const char*>(&v), sizeof(T));
}

// The binary form of kText with `frames` stored and `colors` file colours
// (i, i + 1, i + 2) for track i.
std::string BinaryProject(const std::string& header, u32 frames, u32 colors) {
  std::string s = header + "f0.png\n";
  for (const i32 v : {0, 1, 2}) Append(s, v);
  for (const u32 v : {0u, 0u}) Append(s, v);
  for (const f64 v : {10.0, 10.0, 8.0, 6.0, 0.0, 1.0}) Append(s, v);
  Append(s, u8(0));
  Append(s, i32(2));
  Append(s, u32(4));
  const struct {
    i32 n, a, b;
    f64 p[3];
    std::vector<std::pair<i32, std::pair<f32, f32>>> obs;
  } tracks[] = {{1, 0, 1, {0, 0, 5}, {{0, {3, 4}}}},
                {2, 0, 0, {1, 1, 5}, {{2, {5, 5}}, {1, {6, 7}}}},
                {1, -1, 1, {0, 0, 0}, {{2, {1, 1}}}},
                {2, 0, 1, {0, 0, 4}, {{0, {-50, 1e6f}}, {0, {3, 3}}}}};
  for (const auto& t : tracks) {
    for (const i32 v : {t.n, t.a, t.b}) Append(s, v);
    for (const f64 v : t.p) Append(s, v);
    for (const auto& o : t.obs) {
      Append(s, o.first);
      Append(s, o.second.first);
      Append(s, o.second.second);
    }
    for (const f32 v : {9.5f, -1.0f}) Append(s, v);
  }
  s += "<CAM>";
  Append(s, frames);
  const f64 poses[3][12] = {{1, 0, 0, 0.5, 0, 1, 0, 0, 0, 0, 1, 0},
                            {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0},
                            {0, -1, 0, 1, 1, 0, 0, 2, 0, 0, 1, 3}};
  for (u32 i = 0; i < frames; ++i) {
    Append(s, f64(10));
    for (int j = 0; j < 12; ++j) Append(s, poses[i % 3][j]);
    for (const f64 v : {0.0, 0.0, 0.0, 1.0}) Append(s, v);
  }
  Append(s, colors);
  for (u32 i = 0; i < colors; ++i) s += {char(i), char(i + 1), char(i + 2)};
  return s;
}

const std::string kHeader = "#camera track binary project file 1.0\n";

class ProjectFile : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int frame = 0; frame < 2; ++frame) {
      CVD::Image<TrackColor> image(CVD::ImageRef(16, 12));
      for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 16; ++x) image[y][x] = ImageColour(x, y, frame);
      }
      CVD::img_save(image, folder_.File("f" + std::to_string(frame) + ".png"));
    }
    SyntheticMap(SyntheticMapOptions()).Build(target_);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = folder_.File(name);
    std::remove(path.c_str());  // a truncated file would be flushed at every close
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
  // Loads text or binary bytes into target_; the output goes to *out, or
  // nowhere.
  bool Load(const std::string& bytes, bool binary, std::string* out = nullptr) {
    const std::string name = Write(binary ? "p.actb" : "p.act", bytes);
    std::fflush(stdout);
    const int saved = dup(1);
    if (!out) dup2(silent_, 1);
    if (out) testing::internal::CaptureStdout();
    const bool ok = binary ? LoadProjectBinary(target_, name) : LoadProjectText(target_, name);
    if (out) *out = testing::internal::GetCapturedStdout();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return ok;
  }
  void ExpectRefused(const std::string& bytes, bool binary, const std::string& what) {
    const u64 counter = target_.ModificationCounter();
    const u32 keyFrames = target_.KeyFrameCount();
    EXPECT_FALSE(Load(bytes, binary)) << what;
    EXPECT_EQ(target_.ModificationCounter(), counter) << what;
    EXPECT_EQ(target_.KeyFrameCount(), keyFrames) << what;
  }
  // The map both forms of the hand-written project give.
  void ExpectHandWrittenMap(const std::vector<TrackColor>& colors) {
    const GlobalMap& m = target_;
    std::string error;
    ASSERT_TRUE(m.CheckInvariants(&error)) << error;
    ASSERT_EQ(m.KeyFrameCount(), 3u);
    ASSERT_EQ(m.TrackCount(), 4u);
    EXPECT_EQ(m.width, 16);
    EXPECT_EQ(m.height, 12);
    EXPECT_EQ(m.keyFrames[2].frameId, 2u);
    EXPECT_EQ(m.keyFrames[2].pyramid[0].size().x, 0);  // missing image
    EXPECT_EQ(m.keyFrames[0].levelOffsets[5], 2);
    EXPECT_EQ(m.keyFrameMeasurementStart, (std::vector<u32>{0, 2, 3, 5}));
    EXPECT_EQ(m.trackFlags, (std::vector<u8>{kTrackSolved | kTrackInlier, kTrackSolved, 0,
                                             kTrackSolved | kTrackInlier}));
    EXPECT_EQ(m.trackMeasurements[1], (std::vector<u32>{GlobalMap::PackMeasurement(1, 0),
                                                        GlobalMap::PackMeasurement(2, 0)}));
    EXPECT_EQ(m.trackMeasurements[2], (std::vector<u32>{GlobalMap::PackMeasurement(2, 1)}));
    EXPECT_FLOAT_EQ(m.measurements[0].x, -0.5f);
    EXPECT_FLOAT_EQ(m.measurements[0].y, -0.2f);
    EXPECT_EQ(m.points[1].v[3], 1.0f);
    EXPECT_EQ(m.keyFramePoses[0].m[0][3], 0.5f);
    EXPECT_EQ(m.keyFramePoses[2].m[0][1], -1.0f);
    EXPECT_EQ(m.trackPlanes, std::vector<u16>(4, kNoIndex16));
    EXPECT_EQ(m.scale, 0.0f);
    EXPECT_EQ(m.extrinsic[0], -0.70710678);
    for (u32 t = 0; t < 4; ++t) {
      EXPECT_TRUE(m.trackColors[t] == colors[t]) << "track " << t;
    }
  }

  TempFolder folder_;
  GlobalMap target_;
  const int silent_ = open("/dev/null", O_WRONLY);
  void TearDown() override { close(silent_); }
};

TEST_F(ProjectFile, WrittenTextReadsBack) {
  SyntheticMapOptions o;
  o.keyFrames = 5;
  SyntheticMap scene(o);
  AlignedArray<CameraPose> poses;
  for (u32 i = 0; i < 5; ++i) poses.PushBack48(scene.TruePose(i));
  poses[2].m[0][0] = FLT_MAX;
  AlignedArray<MapPoint> points;
  for (const MapPoint& p : scene.ScenePoints()) points.PushBack16(p);
  points[3].v[0] = FLT_MAX;
  const std::string name = folder_.File("out.act");
  testing::internal::CaptureStdout();
  const bool saved = SaveProjectText(name, scene.Camera(), poses, points);
  const bool loaded = LoadProjectText(target_, name);
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(saved && loaded) << printed;

  std::string error;
  ASSERT_TRUE(target_.CheckInvariants(&error)) << error;
  ASSERT_EQ(target_.KeyFrameCount(), 5u);
  ASSERT_EQ(target_.TrackCount(), points.Size());
  for (u32 i = 0; i < 5; ++i) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) {
        const float expected = i == 2 ? (r == c ? 1.0f : 0.0f) : poses[i].m[r][c];
        EXPECT_NEAR(target_.keyFramePoses[i].m[r][c], expected, 1e-6f);
      }
    }
  }
  u32 observed = 0;
  for (u32 t = 0; t < points.Size(); ++t) {
    const std::vector<u32>& list = target_.trackMeasurements[t];
    if (t == 3) {
      EXPECT_EQ(target_.trackFlags[t], 0);
      EXPECT_TRUE(list.empty());
      continue;
    }
    EXPECT_EQ(target_.trackFlags[t], kTrackSolved | kTrackInlier);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(target_.points[t].v[j], points[t].v[j], 1e-6f);
    for (const u32 e : list) {
      const u32 k = GlobalMap::MeasurementKeyFrame(e);
      ASSERT_NE(k, 2u);  // no pose, no observation
      const CameraPose& P = poses[k];
      float x[3];
      for (int r = 0; r < 3; ++r) {
        x[r] = P.m[r][0] * points[t].v[0] + P.m[r][1] * points[t].v[1] +
               P.m[r][2] * points[t].v[2] + P.m[r][3];
      }
      const MapMeasurement& m =
          target_
              .measurements[target_.keyFrameMeasurementStart[k] + GlobalMap::MeasurementFeature(e)];
      EXPECT_NEAR(m.x, x[0] / x[2], 1e-5f);
      EXPECT_NEAR(m.y, x[1] / x[2], 1e-5f);
      ++observed;
    }
    EXPECT_TRUE(target_.trackColors[t] == kDefault);
  }
  EXPECT_GT(observed, points.Size());
  std::size_t missing = 0;
  for (std::size_t at = 0; (at = printed.find("Cannot load image", at)) != std::string::npos; ++at)
    ++missing;
  EXPECT_EQ(missing, 5u);
}

TEST_F(ProjectFile, HandWrittenTextWithExtraNumbersAndMissingImage) {
  std::string printed;
  ASSERT_TRUE(Load(kText, false, &printed));
  EXPECT_NE(printed.find("Cannot load image"), std::string::npos);
  EXPECT_NE(printed.find("Dropped 1"), std::string::npos);
  ExpectHandWrittenMap(
      {ImageColour(3, 4, 0), ImageColour(6, 7, 1), kDefault, ImageColour(0, 11, 0)});
}

TEST_F(ProjectFile, BinaryTakesFileColoursOrImageColours) {
  const std::vector<TrackColor> fromImages = {ImageColour(3, 4, 0), ImageColour(6, 7, 1), kDefault,
                                              ImageColour(0, 11, 0)};
  ASSERT_TRUE(Load(BinaryProject(kHeader, 3, 0), true));
  ExpectHandWrittenMap(fromImages);
  ASSERT_TRUE(Load(BinaryProject(kHeader, 3, 4), true));
  ExpectHandWrittenMap({{0, 1, 2}, {1, 2, 3}, {2, 3, 4}, {3, 4, 5}});
  std::string printed;
  ASSERT_TRUE(Load(BinaryProject(kHeader, 3, 2), true, &printed));
  EXPECT_NE(printed.find("2 track colours for 4 tracks"), std::string::npos);
  ExpectHandWrittenMap({{0, 1, 2}, {1, 2, 3}, fromImages[2], fromImages[3]});
}

TEST_F(ProjectFile, BrokenFilesAreRefusedAndTheMapKept) {
  EXPECT_FALSE(LoadProjectText(target_, folder_.File("missing.act")));
  EXPECT_FALSE(LoadProjectBinary(target_, folder_.File("missing.actb")));
  const std::string text = kText;
  const auto edit = [&text](const std::string& from, const std::string& to) {
    std::string s = text;
    return s.replace(s.find(from), from.size(), to);
  };
  const std::pair<std::string, std::string> edits[] = {
      {"step:1", "step:0"},       {"end:2", "end:-1"},         {"start:0", "start:3"},
      {"0 3 4 9.5", "3 3 4 9.5"}, {"2 1 1 9.5", "-1 1 1 9.5"}, {"\r\n4\r\n", "\r\n4000000\r\n"},
      {"1 -1 1 0", "-1 -1 1 0"},  {"10 10 8 6", "0 10 8 6"},   {"</Camera Track>", ""},
      {"<FRAME2>", "<FRAME3>"},   {"<Image Sequence>", ""},    {"kpts: 2", "kpts: 3"},
  };
  for (const auto& [from, to] : edits) ExpectRefused(edit(from, to), false, from + " -> " + to);
  // Cut anywhere before the last tag is complete.
  const std::size_t complete = text.rfind("</Camera Track>") + 15;
  for (std::size_t n = 0; n < complete; n += 3) ExpectRefused(text.substr(0, n), false, "cut");

  for (const char* header :
       {"#camera track binary project file 1.1\n", "#camera track binary project file 1.0 \n",
        "#camera track binary project file 1.\n", "#Camera track binary project file 1.0\n"}) {
    ExpectRefused(BinaryProject(header, 3, 0), true, header);
  }
  ExpectRefused(BinaryProject(kHeader, 4, 0), true, "four frames stored");
  const std::string binary = BinaryProject(kHeader, 3, 4);
  for (std::size_t n = 0; n < binary.size(); ++n) ExpectRefused(binary.substr(0, n), true, "cut");
}

// Damaged files never crash the readers; what they accept is a sound map.
TEST_F(ProjectFile, MutatedFilesAreRefusedOrSound) {
  Random::Seed(14);
  const u32 cases = MutationCases();
  const std::string valid[2] = {kText, BinaryProject(kHeader, 3, 2)};
  u32 accepted[2] = {0, 0};
  for (u32 i = 0; i < cases; ++i) {
    const int binary = static_cast<int>(i & 1);
    std::string bytes = valid[binary];
    for (u32 m = 1 + Random::Index(3); m > 0; --m) Mutate(bytes);
    if (!Load(bytes, binary != 0)) continue;
    ++accepted[binary];
    ASSERT_TRUE(target_.CheckInvariants()) << "case " << i;
  }
  EXPECT_GT(accepted[0], 0u);
  EXPECT_GT(accepted[1], 0u);
}

}  // namespace
