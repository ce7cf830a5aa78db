// The tracker's hand-over item is refilled in place: a steady stream of frames
// must reuse every buffer, and an empty source must keep what the item holds.
#include "la/TrackMatchingData.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// One 64x48 frame with `matches` map matches and twice as many corners per level.
void FillFrame(TrackMatchingData& d, u32 frame, u32 matches) {
  CVD::Image<u8> levels[4];
  for (int l = 0; l < 4; ++l)
    levels[l] = CVD::Image<u8>(CVD::ImageRef(64 >> l, 48 >> l), u8(frame + l));
  const CVD::ImageRef half(32, 24);
  d.SetImages(levels, CVD::Image<float>(half, 0.5f), CVD::Image<LA::Vector2<float>>(half, {1, -1}));
  for (int l = 0; l < 4; ++l) {
    const std::vector<LA::Vector2<u16>> corners(matches * 2, {static_cast<u16>(l), 7});
    const std::vector<int> rows(static_cast<size_t>(48 >> l) + 1, static_cast<int>(matches));
    d.SetCorners(l, corners.data(), static_cast<u32>(corners.size()), rows.data(),
                 static_cast<u32>(rows.size()));
    d.ResizeMatches(l, matches);
    for (u32 i = 0; i < matches; ++i) d.points[l][i] = {{float(i), 0.0f, 1.0f, 1.0f}};
  }
}

TEST(TrackMatchingData, RefillWithASmallerFrameKeepsEveryBuffer) {
  TrackMatchingData d;
  // The pose block is read with aligned SSE loads before the first fill.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.pose) % 32, 0u);
  for (const auto& row : d.pose->m)
    EXPECT_TRUE(row[0] == 0 && row[1] == 0 && row[2] == 0 && row[3] == 0);
  FillFrame(d, 1, 300);
  auto buffers = [&d] {
    return std::vector<const void*>{d.points[2].Data(),       d.corners[1].Data(),
                                    d.measurements[3].Data(), d.trackIndices[0].data(),
                                    d.pyramid[0].data(),      d.floatImage.data()};
  };
  const std::vector<const void*> before = buffers();
  FillFrame(d, 2, 40);
  EXPECT_EQ(buffers(), before);
  EXPECT_EQ(d.MatchCount(2), 40u);
  EXPECT_EQ(d.trackIndices[0].size(), 40u);
  EXPECT_EQ(d.corners[1].Size(), 80u);
  EXPECT_EQ(d.pyramid[3][CVD::ImageRef(2, 2)], 2 + 3);
  EXPECT_EQ(d.points[2][39][0], 39.0f);

  CVD::Image<u8> none[4];
  d.SetImages(none, CVD::Image<float>(), CVD::Image<LA::Vector2<float>>());
  EXPECT_EQ(d.pyramid[0].size(), CVD::ImageRef(64, 48));
  EXPECT_EQ(d.pyramid[0][CVD::ImageRef(5, 5)], 2);
  EXPECT_EQ(d.gradientImage[CVD::ImageRef(1, 1)].y, -1.0f);
}

}  // namespace
