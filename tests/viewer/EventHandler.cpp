// The click-twice rule, key state and key translation of the window events,
// first on the plain dispatcher, then with real X key events under Xvfb.
#include "viewer/EventHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/WindowSupport.h"
#include "viewer/Viewer.h"

namespace {

// Records every forwarded event as one short string.
class RecordingViewer : public Viewer {
 public:
  bool OnKeyDown(int key) override { return Log("down " + std::to_string(key)); }
  bool OnKeyUp(int key) override { return Log("up " + std::to_string(key)); }
  void OnMouseMove(const CVD::ImageRef& p) override { Log("move " + Where(p)); }
  void OnMouseDown(const CVD::ImageRef& p, int b) override { Log("press " + Where(p) + Button(b)); }
  void OnMouseUp(const CVD::ImageRef& p, int b) override { Log("release " + Where(p) + Button(b)); }
  bool OnMouseDrag(const CVD::ImageRef& from, const CVD::ImageRef& to, int) override {
    return Log("drag " + Where(from) + ">" + Where(to));
  }
  bool OnMouseDoubleClick(const CVD::ImageRef& p, int b) override {
    return Log("double " + Where(p) + Button(b));
  }
  // Gives tests access to the window for its title.
  CVD::GLWindow* Window() { return window; }

  std::vector<std::string> log;

 private:
  bool Log(const std::string& s) {
    log.push_back(s);
    return true;
  }
  static std::string Where(const CVD::ImageRef& p) {
    return std::to_string(p.x) + "," + std::to_string(p.y);
  }
  static std::string Button(int b) { return " b" + std::to_string(b); }
};

void Click(EventHandler<Viewer>& h, int x, int y, int button = 1) {
  h.MouseDown(CVD::ImageRef(x, y), button);
  h.MouseUp(CVD::ImageRef(x, y), button);
}

using Log = std::vector<std::string>;

}  // namespace

TEST(EventHandler, ClickTwiceRuleKeysMovesAndDrags) {
  RecordingViewer v;
  v.ConnectEvents();
  // The initial press position is (0, 0): a first press there is a second press.
  Click(v.handler, 0, 0);
  EXPECT_EQ(v.log, (Log{"double 0,0 b1"}));

  v.log.clear();
  Click(v.handler, 5, 5);
  Click(v.handler, 9, 9);
  Click(v.handler, 5, 5);
  EXPECT_EQ(v.log, (Log{"press 5,5 b1", "release 5,5 b1", "press 9,9 b1", "release 9,9 b1",
                        "press 5,5 b1", "release 5,5 b1"}));

  // Same pixel: ordinary, double, ordinary again (the marker no longer matches), double.
  v.log.clear();
  for (int i = 0; i < 3; ++i) Click(v.handler, 5, 5, 4);
  EXPECT_EQ(v.log, (Log{"double 5,5 b4", "press 5,5 b4", "release 5,5 b4", "double 5,5 b4"}));

  EventHandler<Viewer>& h = v.handler;
  h.KeyDown(27);
  EXPECT_TRUE(h.quit);
  h.KeyUp(27);
  EXPECT_EQ(h.key, -1);
  h.KeyDown('a');
  EXPECT_FALSE(h.quit);  // any later key clears quit
  EXPECT_EQ(h.key, 'a');

  v.log.clear();
  h.MouseMove(CVD::ImageRef(3, 4));
  EXPECT_EQ(v.log, (Log{"move 3,4"}));
  h.MouseDown(CVD::ImageRef(10, 10), 1);
  h.MouseMove(CVD::ImageRef(12, 10));
  h.MouseMove(CVD::ImageRef(15, 11));
  h.MouseUp(CVD::ImageRef(15, 11), 1);
  // A drag reports the press position, not the previous move.
  EXPECT_EQ(v.log, (Log{"move 3,4", "press 10,10 b1", "move 12,10", "drag 10,10>12,10",
                        "move 15,11", "drag 10,10>15,11", "release 15,11 b1"}));
  EXPECT_FALSE(h.buttonDown);
  EXPECT_FALSE(h.dragging);

  // A handler without a viewer records but forwards nothing.
  EventHandler<Viewer> lone;
  lone.KeyDown(27);
  Click(lone, 0, 0);
  EXPECT_TRUE(lone.quit);
}

TEST(EventHandler, KeySymTranslation) {
  // Escape, tab, return, backspace; Ctrl+letter as a control code; others unchanged.
  const int table[][3] = {{0xff1b, 0, 27}, {0xff09, 0, 9}, {0xff0d, 0, 13}, {0xff08, 0, 8},
                          {'a', 1, 1},     {'S', 1, 19},   {'s', 0, 's'},   {',', 1, ','}};
  for (const auto& t : table) EXPECT_EQ(TranslateKeySym(t[0], t[1] != 0), t[2]) << t[0];
  EXPECT_TRUE(IsCtrlKeySym(0xffe3) && IsCtrlKeySym(0xffe4) && !IsCtrlKeySym('c'));
}

// Real key presses through the X server reach the viewer translated.
TEST(EventHandler, XKeyEventsArriveTranslated) {
  if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "xdotool missing";
  RecordingViewer v;
  if (!v.OpenWindow(64, 48)) GTEST_SKIP() << "no X display";
  KeepGLDriverLoaded();
  const std::string title = "zevrion-keys-" + std::to_string(::getpid());
  v.Window()->set_title(title);
  v.SwapAndPumpEvents();
  const std::string command = "id=$(xdotool search --sync --name '^" + title +
                              "$' | head -n 1) && xdotool key --window \"$id\" Escape Tab comma "
                              "ctrl+a ctrl+s";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::vector<int> downs;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (downs.size() < 5 && std::chrono::steady_clock::now() < deadline) {
    v.SwapAndPumpEvents();
    for (const std::string& s : v.log)
      if (s.rfind("down ", 0) == 0) downs.push_back(std::stoi(s.substr(5)));
    v.log.clear();
    if (downs.size() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(downs, (std::vector<int>{27, 9, ',', 1, 19}));
}
