// The marker detector's debug window: the key table, corner clicks and
// template capture through the event dispatcher, no waiting without a
// window, and under Xvfb a saved picture of the debug view of a rendered
// sheet (red expected outline, green best candidate).
#include <GL/glew.h>
#include <cvd/image_io.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/common/MarkerScene.h"
#include "tests/common/WindowSupport.h"
#include "viewer/MarkerDetector.h"

namespace {

void DoubleClick(EventHandler<Viewer>& h, float x, float y, int button) {
  const CVD::ImageRef p(static_cast<int>(x + 0.5f), static_cast<int>(y + 0.5f));
  for (int i = 0; i < 2; ++i) {
    h.MouseDown(p, button);
    h.MouseUp(p, button);
  }
}

}  // namespace

TEST(MarkerDetectorWindow, KeyTable) {
  MarkerScene scene;
  MarkerDetector d(640, 480, &scene.K, nullptr, 0, nullptr);
  // Gains step through 1/n below 1 and by whole numbers above.
  const std::pair<int, float> gains[] = {
      {'-', 0.5f}, {'-', 1 / 3.0f}, {'+', 0.5f}, {'+', 1.0f}, {'+', 2.0f}};
  for (const auto& [key, gain] : gains) {
    EXPECT_TRUE(d.OnKeyDown(key));
    EXPECT_FLOAT_EQ(d.displayGain, gain);
  }

  // An empty candidate list: ',' shows no candidate and stays there, '.' wraps back.
  ASSERT_EQ(d.candidates.Size(), 0u);
  for (int i = 0; i < 2; ++i) {
    d.OnKeyDown(',');
    EXPECT_EQ(d.shownCandidate, 0xFFFFFFFFu);
  }
  d.OnKeyDown('.');
  EXPECT_EQ(d.shownCandidate, 0u);

  d.OnKeyDown('d');
  EXPECT_EQ(d.shownImage, 0u);
  for (int i = 0; i < 9; ++i) d.OnKeyDown('f');
  EXPECT_EQ(d.shownImage, 6u);
  EXPECT_TRUE(d.OnKeyDown(19));
  EXPECT_FALSE(d.paused);
  EXPECT_TRUE(d.OnKeyDown(1));
  EXPECT_TRUE(d.stepRequested);
  d.OnKeyDown('r');
  d.OnKeyDown('h');
  d.OnKeyDown('l');
  EXPECT_FALSE(d.showExpectedCorners || d.showReference || d.showStatus);
  EXPECT_FALSE(d.OnKeyDown('x'));
}

TEST(MarkerDetectorWindow, RightDoubleClicksCaptureOnlyWithTemplateOutput) {
  MarkerScene scene;
  const CameraPose pose = scene.Camera();
  const CVD::Image<unsigned char> frame = scene.Render(pose);
  std::vector<int32_t> blob;
  for (std::vector<int32_t>* out : {static_cast<std::vector<int32_t>*>(nullptr), &blob}) {
    MarkerDetector d(640, 480, &scene.K, nullptr, 0, out);
    d.ConnectEvents();
    d.OnResize(CVD::ImageRef(d.rectifiedWidth, d.rectifiedHeight));  // one pixel per pixel
    float result[8];
    d.Run(frame, pose, result);
    // A left double click discards the clicks so far.
    DoubleClick(d.handler, 10, 10, 4);
    DoubleClick(d.handler, 20, 20, 4);
    EXPECT_EQ(d.clickCount, 2);
    DoubleClick(d.handler, 30, 30, 1);
    EXPECT_EQ(d.clickCount, 0);
    // The four corners in model-corner order.
    for (int k = 0; k < 4; ++k)
      DoubleClick(d.handler, d.expectedCorners[2 * k], d.expectedCorners[2 * k + 1], 4);
    EXPECT_EQ(d.clickCount, 0);
  }
  // Capture ran once, from a pose close to the identity: level 0 has records
  // (the reload is checked in MarkerDetector's tests).
  ASSERT_FALSE(blob.empty());
  EXPECT_GT(blob[0], 8 * 100);
}

TEST(MarkerDetectorWindow, DebugViewOfARenderedSheet) {
  MarkerScene scene;
  MarkerDetector d(640, 480, &scene.K, nullptr, 0, nullptr, true);
  if (!d.HasWindow()) {
    // Without a display nothing draws and a paused detector never waits.
    float out[8];
    EXPECT_FALSE(d.Run(scene.Render(scene.Camera()), scene.Camera(), out));
    GTEST_SKIP() << "no X display";
  }
  KeepGLDriverLoaded();
  EXPECT_TRUE(d.paused);
  d.paused = 0;  // no one presses keys here
  // An empty candidate list past its end draws nothing and does not fail.
  d.shownCandidate = 5;
  d.DrawScene();
  d.shownCandidate = 0;

  bool reported = false;
  for (int i = 0; i < 20; ++i) {
    const CameraPose pose = scene.Camera(0.002f * (i % 3), 0, 0, 0, 0, 0.002f * (i % 2));
    float out[8];
    reported = d.Run(scene.Render(pose), pose, out);
  }
  ASSERT_TRUE(reported);
  ASSERT_GT(d.candidates.Size(), 0u);
  d.MakeCurrent();
  d.DrawScene();
  glFinish();
  CVD::Image<CVD::Rgb<CVD::byte>> picture(CVD::ImageRef(640, 480));
  std::vector<unsigned char> rgb(640 * 480 * 3);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, 640, 480, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  int red = 0, green = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      const unsigned char* p = &rgb[((479 - y) * 640 + x) * 3];
      picture[y][x] = CVD::Rgb<CVD::byte>(p[0], p[1], p[2]);
      red += p[0] == 255 && p[1] == 0 && p[2] == 0;
      green += p[0] == 0 && p[1] == 255 && p[2] == 0;
    }
  EXPECT_GT(red, 200);    // the expected outline
  EXPECT_GT(green, 200);  // the best candidate and the status line
  const std::string path = ::testing::TempDir() + "marker_debug_view.png";
  CVD::img_save(picture, path, CVD::ImageType::PNG);
  const CVD::Image<CVD::Rgb<CVD::byte>> back = CVD::img_load(path);
  EXPECT_EQ(back.size(), picture.size());
}
