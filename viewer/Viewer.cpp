#include "viewer/Viewer.h"

// GLEW must come before every other GL header.
#include <GL/glew.h>
// clang-format off
#include <GL/freeglut.h>
#include <GL/glu.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
// clang-format on

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <mutex>

namespace {

void KeyDownCallback(Viewer* v, int key) {
  v->OnKeyDown(key);
}
void KeyUpCallback(Viewer* v, int key) {
  v->OnKeyUp(key);
}
void MouseMoveCallback(Viewer* v, const CVD::ImageRef& p) {
  v->OnMouseMove(p);
}
void MouseDownCallback(Viewer* v, const CVD::ImageRef& p, int b) {
  v->OnMouseDown(p, b);
}
void MouseUpCallback(Viewer* v, const CVD::ImageRef& p, int b) {
  v->OnMouseUp(p, b);
}
void MouseDragCallback(Viewer* v, const CVD::ImageRef& from, const CVD::ImageRef& to, int b) {
  v->OnMouseDrag(from, to, b);
}
void DoubleClickCallback(Viewer* v, const CVD::ImageRef& p, int b) {
  v->OnMouseDoubleClick(p, b);
}
void ResizeCallback(Viewer* v, const CVD::ImageRef& size) {
  v->HandleResize(size);
}

void SetTwoDimensionalView(int width, int height) {
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluOrtho2D(0, width, height, 0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
}

// freeglut ends the process when its fonts are used before glutInit, and
// also at a second glutInit: run it once, and only with a context. A host
// may hold two copies of this code (the shared library and its own) over
// one freeglut, so ask freeglut rather than trust the flag alone.
bool PrepareBitmapText() {
  if (glXGetCurrentContext() == nullptr) return false;
  static std::once_flag once;
  std::call_once(once, [] {
    if (glutGet(GLUT_INIT_STATE)) return;
    int argc = 1;
    char name[] = "zevrion";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
  });
  return true;
}

int DrawFormatted(const char* format, va_list args) {
  if (!PrepareBitmapText()) return 0;
  char buffer[512];
  const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  if (n < 0) return 0;
  int drawn = 0;
  for (const char* c = buffer; *c != '\0'; ++c, ++drawn)
    glutBitmapCharacter(GLUT_BITMAP_HELVETICA_18, *c);
  return drawn;
}

}  // namespace

Viewer::Viewer() = default;

Viewer::~Viewer() {
  delete window;
}

bool Viewer::OnKeyDown(int) {
  return false;
}
bool Viewer::OnKeyUp(int) {
  return false;
}
void Viewer::OnMouseMove(const CVD::ImageRef&) {}
void Viewer::OnMouseDown(const CVD::ImageRef&, int) {}
void Viewer::OnMouseUp(const CVD::ImageRef&, int) {}
bool Viewer::OnMouseDrag(const CVD::ImageRef&, const CVD::ImageRef&, int) {
  return false;
}
bool Viewer::OnMouseDoubleClick(const CVD::ImageRef&, int) {
  return false;
}
void Viewer::OnResize(const CVD::ImageRef&) {}

bool Viewer::OpenWindow(const u16& width, const u16& height) {
  if (window == nullptr) {
    try {
      window = new CVD::GLWindow(CVD::ImageRef(width, height), 24, "GLWindow");
    } catch (const CVD::Exceptions::All&) {
      window = nullptr;
    } catch (const std::exception&) {
      window = nullptr;
    }
    if (window == nullptr) return false;
    // Centre on the screen when the screen size can be read.
    if (Display* display = XOpenDisplay(nullptr)) {
      const int screen = DefaultScreen(display);
      window->set_position(CVD::ImageRef((DisplayWidth(display, screen) - width) / 2,
                                         (DisplayHeight(display, screen) - height) / 2));
      XCloseDisplay(display);
    }
    window->make_current();
    glewInit();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
  }
  window->make_current();
  SetTwoDimensionalView(width, height);
  OnResize(CVD::ImageRef(width, height));
  handler.quit = 0;
  handler.keyDown = 0;
  handler.buttonDown = 0;
  ConnectEvents();
  return true;
}

void Viewer::ConnectEvents() {
  handler.viewer = this;
  handler.onKeyDown = KeyDownCallback;
  handler.onKeyUp = KeyUpCallback;
  handler.onMouseMove = MouseMoveCallback;
  handler.onMouseDown = MouseDownCallback;
  handler.onMouseUp = MouseUpCallback;
  handler.onMouseDrag = MouseDragCallback;
  handler.onMouseDoubleClick = DoubleClickCallback;
  handler.onResize = ResizeCallback;
}

void Viewer::HandleResize(const CVD::ImageRef& size) {
  SetTwoDimensionalView(size.x, size.y);
  OnResize(size);
}

void Viewer::MakeCurrent() {
  if (window) window->make_current();
}

void Viewer::SwapAndPumpEvents() {
  if (!window) return;
  window->swap_buffers();
  window->handle_events(handler);
}

int Viewer::DrawTextTopLeft(const char* format, ...) {
  if (glXGetCurrentContext() == nullptr) return 0;
  glRasterPos2i(15, 33);
  va_list args;
  va_start(args, format);
  const int n = DrawFormatted(format, args);
  va_end(args);
  return n;
}

int Viewer::DrawText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = DrawFormatted(format, args);
  va_end(args);
  return n;
}

void Viewer::DrawTexture(const GLTexture& texture) {
  if (!window) return;
  texture.Bind();
  const CVD::ImageRef size = window->size();
  const float w = texture.width, h = texture.height;
  glBegin(GL_QUADS);
  glTexCoord2f(0.0f, 0.0f);
  glVertex2i(0, 0);
  glTexCoord2f(0.0f, h);
  glVertex2i(0, size.y);
  glTexCoord2f(w, h);
  glVertex2i(size.x, size.y);
  glTexCoord2f(w, 0.0f);
  glVertex2i(size.x, 0);
  glEnd();
}
