// Under Xvfb: a byte texture of odd width uploads and reads back exactly,
// long text is cut instead of overflowing, and two windows keep their own
// contexts. Without a display the case is skipped, and OpenWindow and text
// drawing fail cleanly.
#include "viewer/Viewer.h"

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/WindowSupport.h"

namespace {

// Reads the current window's red channel back, bottom row first.
std::vector<unsigned char> ReadRed(int width, int height) {
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height);
  glFinish();
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, width, height, GL_RED, GL_UNSIGNED_BYTE, pixels.data());
  return pixels;
}

}  // namespace

TEST(Viewer, OddWidthTextureLongTextAndTwoContexts) {
  constexpr int kWidth = 321, kHeight = 37;
  Viewer a, b;
  EXPECT_EQ(Viewer::DrawText("no context: %d", 1), 0);  // no GL, no glutInit, no exit
  if (!a.OpenWindow(kWidth, kHeight)) GTEST_SKIP() << "no X display";
  KeepGLDriverLoaded();
  ASSERT_TRUE(b.OpenWindow(50, 20));
  a.MakeCurrent();
  std::vector<unsigned char> image(static_cast<size_t>(kWidth) * kHeight);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) image[y * kWidth + x] = static_cast<u8>(x * 7 + y * 13);
  GLTexture texture;
  texture.Create();
  texture.Resize(kWidth, kHeight);
  EXPECT_EQ(texture.pixelCount, static_cast<u32>(kWidth * kHeight));
  texture.UploadLuminanceBytes(image.data());
  glClear(GL_COLOR_BUFFER_BIT);
  glEnable(GL_TEXTURE_RECTANGLE);
  a.DrawTexture(texture);
  glDisable(GL_TEXTURE_RECTANGLE);
  const std::vector<unsigned char> back = ReadRed(kWidth, kHeight);
  int wrong = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      wrong += back[(kHeight - 1 - y) * kWidth + x] != image[y * kWidth + x];
  EXPECT_EQ(wrong, 0);

  EXPECT_EQ(Viewer::DrawTextTopLeft("%s", std::string(5000, 'x').c_str()), 511);
  EXPECT_EQ(Viewer::DrawText("%d", 42), 2);
  glClearColor(1, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  b.MakeCurrent();
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  EXPECT_EQ(ReadRed(50, 20)[0], 0);
  a.MakeCurrent();
  EXPECT_EQ(ReadRed(kWidth, kHeight)[0], 255);
  // Opening again keeps the window and resets the event state.
  a.handler.quit = 1;
  EXPECT_TRUE(a.OpenWindow(kWidth, kHeight));
  EXPECT_FALSE(a.handler.quit);
}
