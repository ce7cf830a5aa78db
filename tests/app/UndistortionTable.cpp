// The undistortion table: no distortion passes the frame through but for the
// last row and column (no square there), a barrel lens agrees with OpenCV's
// rectification maps and bilinear remap within one grey level, points just
// outside the frame are clamped rather than wrapped, and the weight buffer is
// reused for smaller frames.
#include "app/UndistortionTable.h"

#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

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
  const LensModel lens{118.0f, 121.0f, 81.0f, 58.5f, -0.2f, 0.03f, 0.001f, -0.002f, 0.0f};
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
