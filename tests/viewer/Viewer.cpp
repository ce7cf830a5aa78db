// ctest-lock: x-input
// The viewer's event dispatch on the plain dispatcher, then its window under
// Xvfb: texture readback, text limits, two contexts and real X key events.
// Without a display OpenWindow and text drawing fail cleanly.
#include "viewer/Viewer.h"

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "viewer/EventHandler.h"

namespace {

// Logs every forwarded event as a letter and where: k/u key down/up, m move,
// p/r press/release (with the button), d drag (from > to), c second click.
class RecordingViewer : public Viewer {
 public:
  bool OnKeyDown(int key) override {
    keys.push_back(key);
    return Log("k" + std::to_string(key));
  }
  bool OnKeyUp(int key) override { return Log("u" + std::to_string(key)); }
  void OnMouseMove(const CVD::ImageRef& p) override { Log("m" + At(p)); }
  void OnMouseDown(const CVD::ImageRef& p, int b) override { Log("p" + At(p, b)); }
  void OnMouseUp(const CVD::ImageRef& p, int b) override { Log("r" + At(p, b)); }
  bool OnMouseDrag(const CVD::ImageRef& from, const CVD::ImageRef& to, int) override {
    return Log("d" + At(from) + ">" + At(to));
  }
  bool OnMouseDoubleClick(const CVD::ImageRef& p, int b) override { return Log("c" + At(p, b)); }
  // Returns the log so far and clears it.
  std::string Take() { return std::exchange(log, ""); }
  // Gives tests access to the window for its title.
  CVD::GLWindow* Window() { return window; }

  std::string log;
  std::vector<int> keys;

 private:
  bool Log(const std::string& s) {
    log += log.empty() ? s : " " + s;
    return true;
  }
  static std::string At(const CVD::ImageRef& p, int b = 0) {
    return std::to_string(p.x) + "," + std::to_string(p.y) + (b ? "b" + std::to_string(b) : "");
  }
};

void Click(EventHandler<Viewer>& h, int x, int y, int button = 1) {
  h.MouseDown(CVD::ImageRef(x, y), button);
  h.MouseUp(CVD::ImageRef(x, y), button);
}

// Reads the current window's red channel back, bottom row first.
std::vector<unsigned char> ReadRed(int width, int height) {
  std::vector<unsigned char> pixels(static_cast<size_t>(width) * height);
  glFinish();
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, width, height, GL_RED, GL_UNSIGNED_BYTE, pixels.data());
  return pixels;
}

}  // namespace

TEST(EventHandler, ClickTwiceRuleKeysMovesDragsAndKeySyms) {
  RecordingViewer v;
  v.ConnectEvents();
  EventHandler<Viewer>& h = v.handler;
  // The initial press position is (0, 0): a first press there is a second press.
  Click(h, 0, 0);
  EXPECT_EQ(v.Take(), "c0,0b1");
  for (const int x : {5, 9, 5}) Click(h, x, x);
  EXPECT_EQ(v.Take(), "p5,5b1 r5,5b1 p9,9b1 r9,9b1 p5,5b1 r5,5b1");
  // Same pixel: double, ordinary again (the marker no longer matches), double.
  for (int i = 0; i < 3; ++i) Click(h, 5, 5, 4);
  EXPECT_EQ(v.Take(), "c5,5b4 p5,5b4 r5,5b4 c5,5b4");

  h.KeyDown(27);
  EXPECT_TRUE(h.quit);
  h.KeyUp(27);
  EXPECT_EQ(h.key, -1);
  h.KeyDown('a');
  EXPECT_FALSE(h.quit);  // any later key clears quit
  EXPECT_EQ(h.key, 'a');
  EXPECT_EQ(v.Take(), "k27 u27 k97");

  h.MouseMove(CVD::ImageRef(3, 4));
  h.MouseDown(CVD::ImageRef(10, 10), 1);
  h.MouseMove(CVD::ImageRef(12, 10));
  h.MouseMove(CVD::ImageRef(15, 11));
  h.MouseUp(CVD::ImageRef(15, 11), 1);
  // A drag reports the press position, not the previous move.
  EXPECT_EQ(v.Take(), "m3,4 p10,10b1 m12,10 d10,10>12,10 m15,11 d10,10>15,11 r15,11b1");
  EXPECT_FALSE(h.buttonDown || h.dragging);

  // A handler without a viewer records but forwards nothing, even with
  // callbacks set.
  EventHandler<Viewer> lone;
  static int forwarded = 0;
  lone.onKeyDown = lone.onKeyUp = [](Viewer*, int) { ++forwarded; };
  lone.KeyDown(27);
  Click(lone, 0, 0);
  EXPECT_TRUE(lone.quit);
  lone.KeyUp(27);
  EXPECT_EQ(lone.key, -1);
  EXPECT_EQ(forwarded, 0);

  // Escape, tab, return, backspace; Ctrl+letter as a control code, the
  // first and last letters included and their neighbours not; others unchanged.
  const int table[][3] = {{0xff1b, 0, 27}, {0xff09, 0, 9}, {0xff0d, 0, 13}, {0xff08, 0, 8},
                          {'a', 1, 1},     {'S', 1, 19},   {'s', 0, 's'},   {',', 1, ','},
                          {'z', 1, 26},    {'A', 1, 1},    {'Z', 1, 26},    {'`', 1, '`'},
                          {'{', 1, '{'},   {'@', 1, '@'},  {'[', 1, '['}};
  for (const auto& t : table) EXPECT_EQ(TranslateKeySym(t[0], t[1] != 0), t[2]) << t[0];
  EXPECT_TRUE(IsCtrlKeySym(0xffe3) && IsCtrlKeySym(0xffe4) && !IsCtrlKeySym('c'));
}

// Luminance floats and RGB bytes upload and read back, a resize to the same
// size and kind between upload and drawing included; the counts follow the
// kind. Bind binds over another texture; deleting a texture unbinds it only
// when it is bound.
TEST(Viewer, TextureKindsSizesBindingAndDeletion) {
  constexpr int kW = 6, kH = 4, kN = kW * kH;
  Viewer v;
  if (!v.OpenWindow(kW, kH)) GTEST_SKIP() << "no X display";
  v.MakeCurrent();
  // The red channel of the texture drawn over the window, top row first.
  const auto shown = [&](const GLTexture& t) {
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_TEXTURE_RECTANGLE);
    v.DrawTexture(t);
    glDisable(GL_TEXTURE_RECTANGLE);
    const std::vector<unsigned char> red = ReadRed(kW, kH);
    std::vector<int> top(kN);
    for (int i = 0; i < kN; ++i) top[i] = red[(kH - 1 - i / kW) * kW + i % kW];
    return top;
  };
  const auto bound = [] {
    GLint b = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_RECTANGLE, &b);
    return static_cast<u32>(b);
  };
  std::vector<float> luminance(kN);
  std::vector<u8> rgb(3 * kN);
  std::vector<int> grey(kN), red(kN);
  for (int i = 0; i < kN; ++i) {
    grey[i] = 10 * i, red[i] = 200 - 5 * i;
    luminance[i] = static_cast<float>(grey[i]) / 255.0f;
    rgb[3 * i] = static_cast<u8>(red[i]), rgb[3 * i + 1] = static_cast<u8>(i), rgb[3 * i + 2] = 3;
  }
  GLTexture t;
  t.Create();
  EXPECT_NE(t.id, 0u);
  t.Resize(kW, kH);
  EXPECT_EQ(t.pixelCount + t.valueCount, 2u * kN);
  t.UploadLuminanceFloats(luminance.data());
  t.Resize(kW, kH);
  EXPECT_EQ(shown(t), grey);
  t.ResizeRgb(kW, kH);
  EXPECT_EQ(t.pixelCount + t.valueCount, 4u * kN);
  t.UploadRgbBytes(rgb.data());
  t.ResizeRgb(kW, kH);
  EXPECT_EQ(shown(t), red);
  t.Resize(kW, kH);
  EXPECT_EQ(t.valueCount, static_cast<u32>(kN));

  auto other = std::make_unique<GLTexture>();
  other->Create();
  EXPECT_EQ(bound(), other->id);
  t.Bind();
  EXPECT_EQ(bound(), t.id);
  other.reset();  // not bound: t stays bound
  EXPECT_EQ(bound(), t.id);
  other = std::make_unique<GLTexture>();
  other->Create();
  other.reset();
  EXPECT_EQ(bound(), 0u);
}

TEST(Viewer, OddWidthTextureLongTextTwoContextsAndXKeyEvents) {
  constexpr int kWidth = 321, kHeight = 37;
  RecordingViewer a;
  Viewer b;
  EXPECT_EQ(Viewer::DrawText("no context: %d", 1), 0);  // no GL, no glutInit, no exit
  if (!a.OpenWindow(kWidth, kHeight)) GTEST_SKIP() << "no X display";
  ASSERT_TRUE(b.OpenWindow(50, 20));
  a.MakeCurrent();
  // An odd-width byte texture uploads and reads back exactly.
  std::vector<unsigned char> image(static_cast<size_t>(kWidth) * kHeight);
  for (int i = 0; i < kWidth * kHeight; ++i) image[i] = u8(i % kWidth * 7 + i / kWidth * 13);
  GLTexture texture;
  texture.Create();
  texture.Resize(kWidth, kHeight);
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

  // Long text is cut instead of overflowing; each window keeps its context.
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

  // Real key presses through the X server reach the viewer translated.
  if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "xdotool missing";
  const std::string title = "zevrion-keys-" + std::to_string(::getpid());
  a.Window()->set_title(title);
  a.SwapAndPumpEvents();
  const std::string command = "id=$(xdotool search --sync --name '^" + title +
                              "$' | head -n 1) && xdotool key --window \"$id\" Escape Tab comma "
                              "ctrl+a ctrl+s";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (a.keys.size() < 5 && std::chrono::steady_clock::now() < deadline) {
    a.SwapAndPumpEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(a.keys, (std::vector<int>{27, 9, ',', 1, 19}));
}
