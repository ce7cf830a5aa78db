// The marker detector's debug window: seven debug images of the rectified
// view, the expected, reference and candidate outlines, a status line, the
// pause and step keys and the corner clicks that capture a template.
#include <GL/glew.h>

#include <cmath>
#include <cstdio>

#include "viewer/MarkerDetector.h"

void MarkerDetector::InitializeWindow() {
  if (!OpenWindow(640, 480)) return;
  for (GLTexture& texture : textures) {
    if (texture.id == 0) {
      texture.Create();
    } else {
      texture.Bind();
    }
    texture.Resize(rectifiedWidth, rectifiedHeight);
  }
  shownCandidate = 0;
  paused = 1;
  stepRequested = 0;
  showExpectedCorners = showReference = showStatus = 1;
  displayGain = 1.0f;
}

void MarkerDetector::OnResize(const CVD::ImageRef& size) {
  imageToWindow[0] = static_cast<float>(size.x) / rectifiedWidth;
  imageToWindow[1] = static_cast<float>(size.y) / rectifiedHeight;
  windowToImage[0] = 1.0f / imageToWindow[0];
  windowToImage[1] = 1.0f / imageToWindow[1];
}

void MarkerDetector::FillDisplayImage(u32 index) {
  CVD::Image<float>& out = displayImages[index];
  const int w = rectifiedWidth, h = rectifiedHeight;
  if (index == 0) {
    out.copy_from(levels[0]);
  } else if (index <= 2) {
    out.fill(0.0f);
    for (int y = 1; y <= h - 2; ++y)
      for (int x = 1; x <= w - 2; ++x) {
        const LA::Vector2<float> g = gradients[0][y][x];
        out[y][x] = std::fabs(index == 1 ? g.x : g.y) * displayGain;
      }
  } else {
    out.copy_from(edgeMaps[index - 3]);
  }
}

void MarkerDetector::DrawScene() {
  const CVD::ImageRef size = window->size();
  glViewport(0, 0, size.x, size.y);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluOrtho2D(0, size.x, size.y, 0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

  glEnable(GL_TEXTURE_RECTANGLE);
  GLTexture& texture = textures[shownImage];
  texture.Bind();
  if (!uploaded[shownImage]) {
    FillDisplayImage(shownImage);
    texture.UploadLuminanceFloats(displayImages[shownImage].data());
    uploaded[shownImage] = 1;
  }
  DrawTexture(texture);
  glDisable(GL_TEXTURE_RECTANGLE);

  glPushMatrix();
  glScalef(imageToWindow[0], imageToWindow[1], 1.0f);
  const auto strip = [](const float* corners, int count) {
    glBegin(GL_LINE_LOOP);
    for (int k = 0; k < count; ++k) glVertex2f(corners[2 * k], corners[2 * k + 1]);
    glEnd();
  };
  if (showExpectedCorners) {
    glColor3ub(255, 0, 0);
    strip(expectedCorners, 4);
  }
  if (showReference && records.Size() == kHistorySize) {
    glColor3ub(0, 0, 255);
    strip(referenceCorners, 4);
  }
  const u32 count = candidates.Size();
  if (shownCandidate >= count) {
    if (clickCount >= 1) {
      glColor3ub(0, 255, 0);
      strip(&clickedCorners[0][0], clickCount);
    } else if (count > 0) {
      const MarkerCandidate& c = candidates[count - 1];
      const float green = displayGain / (c.energy - candidates[0].energy + 1e-10f);
      glColor3f(0.0f, green, 0.0f);
      strip(c.corners, 4);
    }
  } else {
    const MarkerCandidate& c = candidates[shownCandidate];
    const float green = displayGain / (c.energy - candidates[0].energy + 1e-10f);
    glColor3f(0.0f, green, 0.0f);
    strip(c.corners, 4);
  }
  glPopMatrix();

  if (showStatus) {
    const bool full = records.Size() == kHistorySize;
    if (full) {
      glColor3ub(0, 255, 0);
    } else {
      glColor3ub(255, 0, 0);
    }
    DrawTextTopLeft("[%d] FPS = %.2f", frameCounter, timer.Rate());
    if (full) DrawText(", Variance = %.2f", ComputeHistoryVariance());
    if (shownCandidate < count) {
      const MarkerCandidate& c = candidates[shownCandidate];
      DrawText(", Energy = %.2f, Distance = %.2f / %.2f", c.energy, c.expectedDistance,
               c.referenceDistance);
    }
  }
}

void MarkerDetector::Draw() {
  // Without a window nothing is drawn and nothing waits.
  if (!HasWindow()) return;
  for (u8& flag : uploaded) flag = 0;
  MakeCurrent();
  DrawScene();
  SwapAndPumpEvents();
  stepRequested = 0;
  while (!handler.quit) {
    if (!paused || stepRequested) break;
    DrawScene();
    SwapAndPumpEvents();
  }
}

bool MarkerDetector::OnKeyDown(int key) {
  const u32 count = candidates.Size();
  const auto round = [](float v) { return static_cast<int>(v + 0.5f); };
  switch (key) {
    case 1:
      stepRequested = 1;
      return true;
    case 19:
      paused = !paused;
      return true;
    case '+':
      displayGain = displayGain >= 1.0f ? displayGain + 1.0f
                                        : 1.0f / static_cast<float>(round(1.0f / displayGain) - 1);
      for (u8& flag : uploaded) flag = 0;
      return true;
    case '-':
      displayGain = displayGain > 1.0f ? displayGain - 1.0f
                                       : 1.0f / static_cast<float>(round(1.0f / displayGain) + 1);
      for (u8& flag : uploaded) flag = 0;
      return true;
    case ',':
      if (shownCandidate == kNone32) return true;
      if (shownCandidate >= count) {
        // Past the end: the last candidate, or none for an empty list.
        shownCandidate = count == 0 ? kNone32 : count - 1;
      } else {
        shownCandidate -= 1;  // from 0 it wraps to "none"
      }
      return true;
    case '.':
      shownCandidate += 1;
      if (count > 0 && shownCandidate > count - 1 && shownCandidate != kNone32)
        shownCandidate = count - 1;
      return true;
    case 'd':
      if (shownImage > 0) shownImage -= 1;
      return true;
    case 'f':
      if (shownImage < 6) shownImage += 1;
      return true;
    case 'h':
      showReference = !showReference;
      return true;
    case 'l':
      showStatus = !showStatus;
      return true;
    case 'r':
      showExpectedCorners = !showExpectedCorners;
      return true;
    default:
      return false;
  }
}

bool MarkerDetector::OnMouseDoubleClick(const CVD::ImageRef& position, int button) {
  if (button != 4) {
    clickCount = 0;
    return false;
  }
  clickedCorners[clickCount][0] = position.x * windowToImage[0];
  clickedCorners[clickCount][1] = position.y * windowToImage[1];
  std::printf("click = (%f, %f)\n", clickedCorners[clickCount][0], clickedCorners[clickCount][1]);
  clickCount += 1;
  if (clickCount == 4) {
    if (templateOut) PoseFromClickedCorners();
    clickCount = 0;
  }
  return true;
}
