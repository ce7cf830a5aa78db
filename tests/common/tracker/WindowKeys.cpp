// The window tests' X11 side: the keyboard focus for a window found by its
// title, a synthetic Escape, and the text font's connection closed at the end.
#include <GL/freeglut.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace display_scene::window_keys {

namespace {

// Other processes' windows come and go while one is looked for: an error
// about one of them is no error here.
int IgnoreError(Display*, XErrorEvent*) {
  return 0;
}

// The root's child titled `title` (0: none); without a window manager the
// tracker's windows are not reparented.
Window FindTopLevelWindow(Display* x, const std::string& title) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    char* name = nullptr;
    if (XFetchName(x, children[i], &name) && name != nullptr) {
      if (title == name) found = children[i];
      XFree(name);
    }
  }
  if (children != nullptr) XFree(children);
  return found;
}

}  // namespace

unsigned long FocusWindow(const std::string& title, const std::function<void()>& pump,
                          std::chrono::milliseconds deadline) {
  Display* x = XOpenDisplay(nullptr);
  if (x == nullptr) return 0;
  const auto previous = XSetErrorHandler(IgnoreError);
  const auto end = std::chrono::steady_clock::now() + deadline;
  Window window = 0;
  bool focused = false;
  while (!focused && std::chrono::steady_clock::now() < end) {
    // The window's own connection sends its title and takes its events.
    pump();
    if (window == 0) window = FindTopLevelWindow(x, title);
    XWindowAttributes a;
    // Only a mapped window can take the focus.
    if (window != 0 && XGetWindowAttributes(x, window, &a) && a.map_state == IsViewable) {
      Window focus = 0;
      int revert = 0;
      XGetInputFocus(x, &focus, &revert);
      focused = focus == window;
      if (!focused) XSetInputFocus(x, window, RevertToPointerRoot, CurrentTime);
      XSync(x, False);
    }
    if (!focused) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  XSetErrorHandler(previous);
  XCloseDisplay(x);
  return focused ? window : 0;
}

void* OpenConnection() {
  return XOpenDisplay(nullptr);
}

void CloseConnection(void* connection) {
  if (connection != nullptr) XCloseDisplay(static_cast<Display*>(connection));
}

void SendEscape(void* connection, unsigned long window) {
  Display* x = static_cast<Display*>(connection);
  if (x == nullptr || window == 0) return;
  XKeyEvent key{};
  key.display = x;
  key.window = window;
  key.root = DefaultRootWindow(x);
  key.same_screen = True;
  key.keycode = XKeysymToKeycode(x, XK_Escape);
  for (const int type : {KeyPress, KeyRelease}) {
    key.type = type;
    XSendEvent(x, window, True, type == KeyPress ? KeyPressMask : KeyReleaseMask,
               reinterpret_cast<XEvent*>(&key));
  }
  XFlush(x);
}

void CloseTextFont() {
  if (glutGet(GLUT_INIT_STATE)) glutExit();
}

}  // namespace display_scene::window_keys
