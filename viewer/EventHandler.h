#pragma once
// Window events of a Viewer: a plain dispatcher that holds the click-twice
// rule and the key and button state, and a thin libCVD adapter that
// translates X keysyms into the system's key codes before dispatching.
#include <cvd/glwindow.h>
#include <cvd/image_ref.h>

#include "la/Types.h"

// Key code of an X keysym with the Ctrl state: Escape 27, Tab 9, Return 13,
// BackSpace 8, Ctrl + letter 1 .. 26, printable keys unchanged, any other
// keysym passed through.
int TranslateKeySym(unsigned int keysym, bool ctrlHeld);
// True for the two Ctrl keysyms.
bool IsCtrlKeySym(unsigned int keysym);

template <class V>
class EventHandler : public CVD::GLWindow::EventHandler {
 public:
  // Key down: records the key, quit := (key == 27), forwards.
  void KeyDown(int k) {
    keyDown = 1;
    key = k;
    quit = k == 27;
    if (viewer && onKeyDown) onKeyDown(viewer, k);
  }
  // Key up: clears the key and forwards.
  void KeyUp(int k) {
    keyDown = 0;
    key = -1;
    if (viewer && onKeyUp) onKeyUp(viewer, k);
  }
  // Mouse move; with a button held also a drag from the press position.
  void MouseMove(const CVD::ImageRef& position) {
    mousePosition = position;
    if (viewer && onMouseMove) onMouseMove(viewer, position);
    dragging = buttonDown;
    if (buttonDown && viewer && onMouseDrag) onMouseDrag(viewer, pressPosition, position, button);
  }
  // Mouse down; a second press at exactly the last press pixel is swallowed
  // and marks the release as a double click.
  void MouseDown(const CVD::ImageRef& position, int b) {
    buttonDown = 1;
    button = b;
    if (position == pressPosition) {
      pressPosition.x = -1;
      return;
    }
    pressPosition = position;
    if (viewer && onMouseDown) onMouseDown(viewer, position, b);
  }
  // Mouse up: a double click after a swallowed press, else an ordinary up.
  void MouseUp(const CVD::ImageRef& position, int b) {
    if (pressPosition.x == -1) {
      if (viewer && onMouseDoubleClick) onMouseDoubleClick(viewer, position, b);
    } else if (viewer && onMouseUp) {
      onMouseUp(viewer, position, b);
    }
    buttonDown = 0;
    dragging = 0;
  }
  // Resize: forwarded to the resize callback.
  void Resize(const CVD::ImageRef& size) {
    if (viewer && onResize) onResize(viewer, size);
  }

  // libCVD adapter.
  void on_key_down(CVD::GLWindow&, unsigned int k) override {
    if (IsCtrlKeySym(k)) {
      ctrlHeld = 1;
      return;
    }
    KeyDown(TranslateKeySym(k, ctrlHeld != 0));
  }
  void on_key_up(CVD::GLWindow&, unsigned int k) override {
    if (IsCtrlKeySym(k)) {
      ctrlHeld = 0;
      return;
    }
    KeyUp(TranslateKeySym(k, ctrlHeld != 0));
  }
  void on_mouse_move(CVD::GLWindow&, CVD::ImageRef where, unsigned int) override {
    MouseMove(where);
  }
  void on_mouse_down(CVD::GLWindow&, CVD::ImageRef where, unsigned int, unsigned int b) override {
    MouseDown(where, static_cast<int>(b));
  }
  void on_mouse_up(CVD::GLWindow&, CVD::ImageRef where, unsigned int, unsigned int b) override {
    MouseUp(where, static_cast<int>(b));
  }
  void on_resize(CVD::GLWindow&, CVD::ImageRef size) override { Resize(size); }
  // Closing the window asks to quit like Esc.
  void on_event(CVD::GLWindow&, unsigned int event) override {
    if (event == CVD::GLWindow::EVENT_CLOSE) quit = 1;
  }

  u8 quit = 0;
  u8 keyDown = 0;
  u8 buttonDown = 0;
  u8 dragging = 0;
  int key = -1;
  int button = 0;
  CVD::ImageRef pressPosition{0, 0};
  CVD::ImageRef mousePosition{0, 0};
  V* viewer = nullptr;
  void (*onKeyDown)(V*, int) = nullptr;
  void (*onKeyUp)(V*, int) = nullptr;
  void (*onMouseMove)(V*, const CVD::ImageRef&) = nullptr;
  void (*onMouseDown)(V*, const CVD::ImageRef&, int) = nullptr;
  void (*onMouseUp)(V*, const CVD::ImageRef&, int) = nullptr;
  void (*onMouseDrag)(V*, const CVD::ImageRef&, const CVD::ImageRef&, int) = nullptr;
  void (*onMouseDoubleClick)(V*, const CVD::ImageRef&, int) = nullptr;
  void (*onResize)(V*, const CVD::ImageRef&) = nullptr;
  // Ctrl held, from the Ctrl keys' own events (X key events carry no state here).
  u8 ctrlHeld = 0;
};
