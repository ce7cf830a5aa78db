#pragma once
// The window-event interface of the tracker and the marker detector: one
// libCVD GL window opened on demand, events pumped by the owner's thread and
// delivered to the virtual operations below, plus the shared text and
// texture drawing. Every window is optional: without a display OpenWindow
// fails and nothing else needs one.
#include <cvd/glwindow.h>

#include "la/Types.h"
#include "viewer/EventHandler.h"
#include "viewer/GLTexture.h"

class Viewer {
 public:
  Viewer();
  virtual ~Viewer();
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Event operations; true means handled.
  virtual bool OnKeyDown(int key);
  virtual bool OnKeyUp(int key);
  virtual void OnMouseMove(const CVD::ImageRef& position);
  virtual void OnMouseDown(const CVD::ImageRef& position, int button);
  virtual void OnMouseUp(const CVD::ImageRef& position, int button);
  virtual bool OnMouseDrag(const CVD::ImageRef& pressPosition, const CVD::ImageRef& position,
                           int button);
  virtual bool OnMouseDoubleClick(const CVD::ImageRef& position, int button);
  virtual void OnResize(const CVD::ImageRef& size);

  // Opens the window when it does not exist yet (false when no window can be
  // had), then resets the 2-D view, the event flags and the callbacks.
  bool OpenWindow(const u16& width, const u16& height);
  // Addresses the handler's callbacks to this viewer (OpenWindow does it).
  void ConnectEvents();
  // The 2-D view (one unit per pixel, y down) for a new size, then OnResize.
  void HandleResize(const CVD::ImageRef& size);
  // True once a window is open.
  bool HasWindow() const { return window != nullptr; }
  // Makes the window's GL context current (nothing without a window).
  void MakeCurrent();
  // Swaps the buffers and delivers the pending events to this viewer.
  void SwapAndPumpEvents();

  // Formats (printf style, at most 511 characters, longer text cut) and
  // draws at (15, 33) in Helvetica 18; returns the characters drawn (0 when
  // no GL context is current).
  static int DrawTextTopLeft(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // The same at the current raster position, continuing a line.
  static int DrawText(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // One quad over the whole window showing the bound texture texel for texel
  // scaled to the window; the caller enables GL_TEXTURE_RECTANGLE.
  void DrawTexture(const GLTexture& texture);

  EventHandler<Viewer> handler;

 protected:
  CVD::GLWindow* window = nullptr;
};
