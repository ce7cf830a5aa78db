// The undistortion table: no distortion passes the frame through but for the
// last row and column (no square there), a barrel lens agrees with OpenCV's
// rectification maps and bilinear remap within one grey level, points just
// outside the frame are clamped rather than wrapped, and the weight buffer is
// reused for smaller frames.
#include "app/UndistortionTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "la/Random.h"

namespace {

CVD::Image<u8> NoiseImage(int w, int h) {
  CVD::Image<u8> image(CVD::ImageRef(w, h));
  Random::Seed(3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      // Smooth enough for bilinear sampling to matter, with detail.
      image[y][x] = static_cast<u8>(128 + 60 * std::sin(x * 0.21) * std::cos(y * 0.13) +
                                    Random::Index(40) - 20);
    }
  }
  return image;
}

Intrinsic Ideal(int w, int h, float f) {
  Intrinsic K;
  K.Set(f, f, (w - 1) * 0.5f, (h - 1) * 0.5f);
  return K;
}

}  // namespace

TEST(UndistortionTableTest, NoDistortionIsTheIdentityButTheLastRowAndColumn) {
  const int w = 64, h = 48;
  const Intrinsic K = Ideal(w, h, 50.0f);
  UndistortionTable table;
  table.Build(w, h, K, LensModel{50.0f, 50.0f, K.cx[0], K.cy[0], 0, 0, 0, 0, 0});
  const CVD::Image<u8> in = NoiseImage(w, h);
  CVD::Image<u8> out(in.size());
  table.CopyFrameForRemap(in);
  table.RemapFrame(out);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      ASSERT_EQ(x == w - 1 || y == h - 1 ? 0 : in[y][x], out[y][x]) << x << "," << y;
    }
  }
}

TEST(UndistortionTableTest, BarrelLensAgreesWithOpenCv) {
  const int w = 160, h = 120;
  const Intrinsic K = Ideal(w, h, 120.0f);
  const LensModel lens{118.0f, 121.0f, 81.0f, 58.5f, -0.2f, 0.03f, 0.001f, -0.002f, 0.02f};
  UndistortionTable table;
  table.Build(w, h, K, lens);
  const CVD::Image<u8> in = NoiseImage(w, h);
  CVD::Image<u8> out(in.size());
  table.CopyFrameForRemap(in);
  table.RemapFrame(out);

  const cv::Matx33d real(lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1);
  const cv::Matx33d ideal(K.fx[0], 0, K.cx[0], 0, K.fy[0], K.cy[0], 0, 0, 1);
  const std::vector<double> distortion{lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
  cv::Mat mapX, mapY, expected;
  cv::initUndistortRectifyMap(real, distortion, cv::noArray(), ideal, cv::Size(w, h), CV_32FC1,
                              mapX, mapY);
  const cv::Mat src(h, w, CV_8UC1, const_cast<u8*>(in.data()), in.row_stride());
  cv::remap(src, expected, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
  int compared = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float u = mapX.at<float>(y, x), v = mapY.at<float>(y, x);
      if (table.Sources()[y * w + x].x < 0) {
        EXPECT_EQ(0, out[y][x]);
        // OpenCV blends the border in; only pixels well inside must agree.
        continue;
      }
      if (u < 1 || v < 1 || u > w - 2 || v > h - 2) continue;
      ASSERT_LE(std::abs(out[y][x] - expected.at<u8>(y, x)), 1) << x << "," << y;
      ++compared;
    }
  }
  EXPECT_GT(compared, w * h * 8 / 10);
}

TEST(UndistortionTableTest, EdgesClampAndTheBufferIsReused) {
  const int w = 32, h = 24;
  const Intrinsic K = Ideal(w, h, 30.0f);
  UndistortionTable table;
  // Shifted 0.5 px left: column 0 reads u = -0.5, truncated to 0 with a
  // negative weight; a white frame must not wrap past 255.
  table.Build(w, h, K, LensModel{30.0f, 30.0f, K.cx[0] - 0.5f, K.cy[0], 0, 0, 0, 0, 0});
  EXPECT_EQ(0, table.Sources()[0].x);
  CVD::Image<u8> white(CVD::ImageRef(w, h), 255), out(CVD::ImageRef(w, h), 7);
  white[0][1] = 0;  // the extrapolation from column 1 is 255 + 0.5 * 255
  table.CopyFrameForRemap(white);
  table.RemapFrame(out);
  EXPECT_EQ(255, out[0][0]);
  EXPECT_EQ(255, out[5][0]);
  EXPECT_EQ(255, out[5][w - 1]);  // u = w - 1.5 truncates to w - 2: kept
  EXPECT_EQ(0, out[h - 1][5]);    // v = h - 1: no square below it

  const u32 capacity = table.WeightCapacity();
  table.Build(16, 12, Ideal(16, 12, 15.0f), LensModel{15, 15, 7.5f, 5.5f, 0, 0, 0, 0, 0});
  EXPECT_EQ(capacity, table.WeightCapacity());
  table.Build(40, 30, Ideal(40, 30, 35.0f), LensModel{35, 35, 19.5f, 14.5f, 0, 0, 0, 0, 0});
  EXPECT_EQ(40u * 30u, table.WeightCapacity());
  table.Clear();
  EXPECT_FALSE(table.Present());
}

// The table against a scalar reference of the lens mapping and the bilinear
// sum (in its fixed order, +0.5, truncated, saturated), pixel for pixel, on a
// width that leaves a tail after the four-wide loop and a lens shifted so
// that some points fall just left of or above the frame.
TEST(UndistortionTableTest, EveryPixelMatchesTheScalarReference) {
  const int w = 67, h = 50;
  const Intrinsic K = Ideal(w, h, 55.0f);
  const LensModel lens{62.0f, 60.0f, 32.6f, 24.1f, -0.2f, 0.04f, 0.002f, -0.003f, 0.01f};
  UndistortionTable table;
  table.Build(w, h, K, lens);
  // Full-range noise: many sums fall near a half, where the order counts.
  CVD::Image<u8> in(CVD::ImageRef(w, h)), out(CVD::ImageRef(w, h), 7);
  int kept = 0, outside = 0, leftOrAbove = 0;
  for (u32 seed = 1; seed <= 20; ++seed) {
    Random::Seed(seed);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) in[y][x] = static_cast<u8>(Random::Index(256));
    }
    table.CopyFrameForRemap(in);
    table.RemapFrame(out);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const float xn = (x - K.cx[0]) / K.fx[0], yn = (y - K.cy[0]) / K.fy[0];
        const float r2 = xn * xn + yn * yn;
        const float radial = 1.0f + lens.k1 * r2 + lens.k2 * r2 * r2 + lens.k3 * r2 * r2 * r2;
        const float xd = xn * radial + 2.0f * lens.p1 * xn * yn + lens.p2 * (r2 + 2.0f * xn * xn);
        const float yd = yn * radial + lens.p1 * (r2 + 2.0f * yn * yn) + 2.0f * lens.p2 * xn * yn;
        const float u = lens.fx * xd + lens.cx, v = lens.fy * yd + lens.cy;
        const int ix = static_cast<int>(u), iy = static_cast<int>(v);
        const UndistortionTable::SourcePixel& s = table.Sources()[y * w + x];
        if (ix < 0 || ix > w - 2 || iy < 0 || iy > h - 2) {
          EXPECT_EQ(-1, s.x) << x << "," << y;
          EXPECT_EQ(0, out[y][x]) << x << "," << y;
          ++outside;
          continue;
        }
        ASSERT_EQ(ix, s.x) << x << "," << y;
        ASSERT_EQ(iy, s.y) << x << "," << y;
        const float dx = u - ix, dy = v - iy;
        const float w3 = dx * dy, w2 = dx - dx * dy, w1 = dy - dx * dy, w0 = 1.0f - dy - w2;
        const float sum = w2 * in[iy][ix + 1] + w0 * in[iy][ix] + w1 * in[iy + 1][ix] +
                          w3 * in[iy + 1][ix + 1] + 0.5f;
        const int expected = std::min(255, std::max(0, static_cast<int>(sum)));
        ASSERT_EQ(expected, out[y][x]) << x << "," << y;
        ++kept;
        if (u < 0.0f || v < 0.0f) ++leftOrAbove;
      }
    }
  }
  EXPECT_GT(kept, 20 * w * h / 2);
  EXPECT_GT(outside, 0);
  EXPECT_GT(leftOrAbove, 0);
  // A frame of 3350 pixels ends two into its last group of four: the write
  // stays inside the frame, whatever follows it in memory.
  std::vector<u8> buffer(w * h + 4, 0xAB);
  CVD::BasicImage<u8> view(buffer.data(), CVD::ImageRef(w, h));
  table.RemapFrame(view);
  EXPECT_EQ(std::memcmp(buffer.data(), out.data(), w * h), 0);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(buffer[w * h + k], 0xAB) << k;
}
