// The tracker's hand-over item is refilled in place: a steady stream of frames
// must reuse every buffer, and an empty source must keep what the item holds.
#include "la/TrackMatchingData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

TEST(TrackMatchingData, RefillWithASmallerFrameKeepsEveryBuffer) {
  TrackMatchingData d;
  // The pose block is read with aligned SSE loads before the first fill.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.pose) % 32, 0u);
  for (const auto& row : d.pose->m)
    EXPECT_TRUE(std::all_of(row, row + 4, [](float v) { return v == 0; }));
  const void* before[4] = {};
  // Frames of 64x48 pixels, 300 and then 40 matches and twice as many corners per level.
  for (u32 matches : {300u, 40u}) {
    CVD::Image<u8> levels[4];
    for (int l = 0; l < 4; ++l)
      levels[l] = CVD::Image<u8>(CVD::ImageRef(64 >> l, 48 >> l), u8(matches + l));
    d.SetImages(levels, CVD::Image<float>(CVD::ImageRef(32, 24), 0.5f),
                CVD::Image<LA::Vector2<float>>(CVD::ImageRef(32, 24), {1, -1}));
    for (int l = 0; l < 4; ++l) {
      const std::vector<LA::Vector2<u16>> corners(matches * 2, {u16(l), 7});
      const std::vector<int> rows(size_t(48 >> l) + 1, int(matches));
      d.SetCorners(l, corners.data(), matches * 2, rows.data(), u32(rows.size()));
      d.ResizeMatches(l, matches);
    }
    const void* buffers[4] = {d.points[2].Data(), d.corners[1].Data(), d.trackIndices[0].data(),
                              d.pyramid[0].data()};
    EXPECT_TRUE(matches == 300 || std::equal(buffers, buffers + 4, before));
    std::copy(buffers, buffers + 4, before);
  }
  EXPECT_TRUE(d.MatchCount(2) == 40 && d.trackIndices[0].size() == 40 && d.corners[1].Size() == 80);

  // Empty sources keep what the item holds; a single row is copied.
  CVD::Image<u8> none[4];
  d.SetImages(none, CVD::Image<float>(CVD::ImageRef(3, 1), 2.0f), CVD::Image<LA::Vector2<float>>());
  EXPECT_EQ(d.floatImage.size(), CVD::ImageRef(3, 1));
  EXPECT_EQ(d.pyramid[3][CVD::ImageRef(2, 2)], 40 + 3);
  EXPECT_EQ(d.gradientImage[CVD::ImageRef(1, 1)].y, -1.0f);
}

}  // namespace
