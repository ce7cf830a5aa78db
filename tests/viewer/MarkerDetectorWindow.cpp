// The marker detector's debug window: candidate keys, corner clicks and
// template capture through the event dispatcher, no waiting without a
// window, and under Xvfb the debug view of a rendered sheet (red expected
// outline, green best candidate).
#include <GL/glew.h>
#include <gtest/gtest.h>

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

TEST(MarkerDetectorWindow, RightDoubleClicksCaptureOnlyWithTemplateOutput) {
  MarkerScene scene;
  const CameraPose pose = scene.Camera();
  const CVD::Image<unsigned char> frame = scene.Render(pose);
  std::vector<int32_t> blob;
  for (std::vector<int32_t>* out : {static_cast<std::vector<int32_t>*>(nullptr), &blob}) {
    MarkerDetector d(640, 480, &scene.K, nullptr, 0, out);
    d.ConnectEvents();
    d.OnResize(CVD::ImageRef(d.rectifiedWidth, d.rectifiedHeight));  // one pixel per pixel
    // No candidates yet: ',' shows none and stays there, '.' wraps back.
    d.OnKeyDown(',');
    d.OnKeyDown(',');
    EXPECT_EQ(d.shownCandidate, 0xFFFFFFFFu);
    d.OnKeyDown('.');
    EXPECT_EQ(d.shownCandidate, 0u);
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
  float out[8];
  if (!d.HasWindow()) {
    // Without a display nothing draws and a paused detector never waits.
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
    reported = d.Run(scene.Render(pose), pose, out);
  }
  ASSERT_TRUE(reported);
  d.MakeCurrent();
  d.DrawScene();
  glFinish();
  std::vector<unsigned char> rgb(640 * 480 * 3);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, 640, 480, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  int red = 0, green = 0;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    red += rgb[i] == 255 && rgb[i + 1] == 0 && rgb[i + 2] == 0;
    green += rgb[i] == 0 && rgb[i + 1] == 255 && rgb[i + 2] == 0;
  }
  EXPECT_GT(red, 200);    // the expected outline
  EXPECT_GT(green, 200);  // the best candidate and the status line
}
