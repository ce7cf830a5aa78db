#pragma once
// A fixed state for the display's tests and benchmark: a tracker viewing a
// synthetic map of two key frames (640 x 480, f = 512, cameras 5 above the
// ground plane z = 0 looking along +z, key-frame images), one patch per track,
// the key-frame features in the tracker's arrays, a ring of three frames with
// known poses, images, corners and map matches at the projected pixels of the
// solved tracks, and one registered object (a cube sitting on the plane in
// front of the first camera).
//
// Ring slots 0, 1, 2 hold frames 10, 11, 12 (slot 2 current). Slot 0 sits at
// key frame 0 and links to it, slot 2 at key frame 1 and links to it, slot 1
// halfway with only a near link to key frame 0 (a rejected frame). Slots 1
// and 2 carry colour images, slot 0 grey only. The predicted pose of each
// frame is its visual pose moved 0.02 along x; the output pose is unset.
//
// Below the scene: the window tests' shared helpers (read-back, screenshots
// written as PNG, a fixture that opens the scene's window and gives it the
// keyboard for xdotool, a watchdog for waits on keys, and a quiet exit).
#include <GL/gl.h>
#include <cvd/image_io.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/mapping/SyntheticMap.h"
#include "tracker/Tracker.h"

namespace display_scene {

constexpr u16 kWidth = 640, kHeight = 480;
constexpr u16 kRingFrames = 3;
constexpr i32 kFirstFrameNumber = 10;
constexpr f32 kPredictedShift = 0.02f;  // predicted pose: visual pose moved along x
// The registered object: a cube of half-size kObjectSize about kObjectOrigin
// (a point above the ground plane, towards the cameras).
constexpr f32 kObjectSize = 0.25f;
constexpr f32 kObjectOrigin[3] = {0.0f, -0.2f, -0.25f};

inline SyntheticMapOptions MapOptions() {
  SyntheticMapOptions o;
  o.seed = 7;
  o.keyFrames = 2;
  o.planes = 1;  // plane 0: the ground z = 0, GROUND flag
  o.pointsPerPlane = 60;
  o.clutterPoints = 12;
  o.images = true;
  o.width = kWidth;
  o.height = kHeight;
  return o;
}

// Grey value of ring slot s at level-0 pixel (x, y); every slot differs.
inline u8 FrameGrey(u16 slot, int x, int y) {
  return static_cast<u8>(((x ^ y) + 70 * slot) & 255);
}
// Colour of ring slot s at (x, y) (slots 1 and 2 only).
inline CVD::Rgb<u8> FrameColour(u16 slot, int x, int y) {
  return CVD::Rgb<u8>(static_cast<u8>(x & 255), static_cast<u8>(y & 255),
                      static_cast<u8>(80 * slot));
}

// Level-l pixel of a world point under a pose, with its depth; false behind
// the camera.
inline bool ProjectToLevel(const CameraPose& pose, const Intrinsic& level, const float X[3],
                           float uv[2], float* depth = nullptr) {
  float x[3];
  for (int i = 0; i < 3; ++i)
    x[i] = pose.m[i][0] * X[0] + pose.m[i][1] * X[1] + pose.m[i][2] * X[2] + pose.m[i][3];
  if (depth) *depth = x[2];
  if (x[2] <= 0.0f) return false;
  uv[0] = level.fx[0] * x[0] / x[2] + level.cx[0];
  uv[1] = level.fy[0] * x[1] / x[2] + level.cy[0];
  return true;
}

// Two poses' 3 x 4 entries agree (view and camera poses alike).
template <class A, class B>
void ExpectSamePose(const A& a, const B& b, float tolerance) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(a.m[r][c], b.m[r][c], tolerance) << r << "," << c;
}

// The midpoint of two points.
struct Mid {
  Mid(const float a[3], const float b[3]) {
    for (int i = 0; i < 3; ++i) v[i] = 0.5f * (a[i] + b[i]);
  }
  float v[3];
};

// Pose moved by d along world x (the centre moves, the rotation stays).
inline CameraPose MovedAlongX(const CameraPose& pose, float d) {
  CameraPose p = pose;
  for (int i = 0; i < 3; ++i) p.m[i][3] -= pose.m[i][0] * d;
  return p;
}

// TrackerType: Tracker, or a test's subclass constructed as Tracker(map, view).
template <class TrackerType>
struct SceneOf {
  // With view the tracker opens its display (a window when one can be had).
  explicit SceneOf(bool view = false)
      : synthetic(MapOptions()), tracker((synthetic.Build(map), map), view) {
    FillKeyFrameArrays();
    FillRing();
    AddObject();
  }

  TrackerMapView& View() { return tracker.MapView(); }
  const MapWorkingCopy& Working() { return tracker.MapView().Working(); }
  const TrackerCamera& Camera() const { return tracker.Camera(); }
  TrackerFrame& Frame(u16 slot) { return tracker.Ring()[slot]; }
  u32 TrackCount() { return Working().points.Size(); }
  const float* Point(u32 track) { return Working().points[track].v; }
  // Pose of key frame k as the working copy holds it.
  const CameraPose& KeyFramePose(u16 k) { return Working().keyFramePoses[k]; }

  // The key frame that created each track, the feature index within the key
  // frame's track list and the level; one FeaturePatch per track (patch
  // index = track id) at its level pixel, 8 x 8 corners, RELIABLE.
  void FillKeyFrameArrays() {
    const MapWorkingCopy& w = Working();
    const u32 tracks = w.points.Size();
    const u32 features = static_cast<u32>(w.measurementTracks.size());
    TrackerMapView& v = View();
    v.KeyFramePixels().Resize(features);
    v.KeyFrameNormalized().Resize(features);
    v.Patches().Resize(tracks);
    std::vector<u8> created(tracks, 0);
    for (u16 k = 0; k < w.keyFrames.size(); ++k) {
      const u32 base = w.keyFrameMeasurementStart[k];
      const u16* offsets = w.keyFrames[k].levelOffsets;
      for (int l = 0; l < kPyramidLevels; ++l) {
        const Intrinsic& K = Camera().intrinsic[l];
        for (u32 i = base + offsets[l]; i < base + offsets[l + 1]; ++i) {
          const MapMeasurement& n = tracker.MapView().Map().measurements[i];
          const LA::Vector2<float> px{n.x * K.fx[0] + K.cx[0], n.y * K.fy[0] + K.cy[0]};
          v.KeyFramePixels()[i] = px;
          v.KeyFrameNormalized()[i] = n;
          const u32 t = w.measurementTracks[i];
          if (t >= tracks || created[t]) continue;
          created[t] = 1;
          FeaturePatch& p = v.Patches()[t];
          std::memset(static_cast<void*>(&p), 0, sizeof(p));
          for (int j = 0; j < 64; ++j) p.pixels[j] = static_cast<u8>(4 * j);
          p.x = px.x;
          p.y = px.y;
          const float c[4][2] = {{-4, -4}, {-4, 4}, {4, -4}, {4, 4}};
          for (int j = 0; j < 4; ++j) {
            p.corners[j][0] = p.x + c[j][0];
            p.corners[j][1] = p.y + c[j][1];
          }
          p.keyFrame = k;
          p.feature = static_cast<u16>(i - base);
          p.level = static_cast<u8>(l);
          p.flags = kPatchSumsValid | kPatchReliable;
          p.trackedCount = 3;
          p.lostCount = 1;
        }
      }
    }
    v.KeyFrameMaps().Resize(static_cast<u32>(w.keyFrames.size()));
    for (WarpRecord& m : v.KeyFrameMaps()) SetIdentityMap(m);
  }

  // Images, poses, links, corners and matches of the three ring frames.
  void FillRing() {
    FrameRing& ring = tracker.Ring();
    ring.ResetTo(kRingFrames);
    const CameraPose& k0 = KeyFramePose(0);
    const CameraPose& k1 = KeyFramePose(1);
    for (u16 s = 0; s < kRingFrames; ++s) {
      TrackerFrame& f = ring[s];
      f.number = kFirstFrameNumber + s;
      f.time = 0.1 * s;
      CVD::Image<u8> grey(CVD::ImageRef(kWidth, kHeight));
      for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) grey[y][x] = FrameGrey(s, x, y);
      BuildPyramid(grey, f.pyramid);
      if (s > 0) {
        f.colour.resize(grey.size());
        for (int y = 0; y < kHeight; ++y)
          for (int x = 0; x < kWidth; ++x) f.colour[y][x] = FrameColour(s, x, y);
      }
      const CameraPose visual = s == 0 ? k0 : s == 2 ? k1 : MovedAlongX(k0, 0.5f * MovedStep());
      f.pose.slot[kVisual] = visual;
      f.pose.slot[kPredicted] = MovedAlongX(visual, kPredictedShift);
      f.pose.slot[kOutput].m[0][0] = FLT_MAX;
      SetIdentityMap(ring.Map(s));
      f.keyFrame = s == 2 ? 1 : 0;
      f.nearKeyFrame = s == 2 ? 1 : 0;
      f.alignedKeyFrame = s == 0 ? 0 : s == 2 ? 1 : kNone16;
      f.rejected = s == 1;
      f.candidate = s == 2;
      f.mapCoverage = 0.25f;
      f.imageCoverage = 0.5f;
      f.combinedCoverage = 0.125f;
      f.parallax = 12.5f;
      FillMatches(f, visual);
    }
  }

  // Centre distance between the key frames along x.
  float MovedStep() {
    float c0[3], c1[3];
    CameraCentre(KeyFramePose(0), c0);
    CameraCentre(KeyFramePose(1), c1);
    return c1[0] - c0[0];
  }

  // Map matches of every SOLVED track seen inside the image at level
  // track % 4 (position = projection, prediction 1 level pixel right and
  // down), FAST corners at the rounded match positions, one candidate and
  // one miss on level 0.
  void FillMatches(TrackerFrame& f, const CameraPose& pose) {
    const MapWorkingCopy& w = Working();
    f.inlierCount = f.unsolvedCount = 0;
    for (int l = 0; l < kPyramidLevels; ++l) {
      f.mapMatches[l].clear();
      f.candidates[l].clear();
      f.lost[l].clear();
      f.misses[l].clear();
      f.corners[l].corners.Clear();
      f.corners[l].rowStarts.clear();
    }
    for (u32 t = 0; t < w.points.Size(); ++t) {
      if (!(w.trackFlags[t] & kTrackSolved)) continue;
      const int l = static_cast<int>(t % kPyramidLevels);
      const Intrinsic& K = Camera().intrinsic[l];
      float uv[2];
      if (!ProjectToLevel(pose, K, w.points[t].v, uv)) continue;
      const int lw = kWidth >> l, lh = kHeight >> l;
      if (uv[0] < 2 || uv[1] < 2 || uv[0] >= lw - 2 || uv[1] >= lh - 2) continue;
      MapMatch m;
      m.track = t;
      m.patch = t;
      m.corner = kNone32;
      m.x = uv[0];
      m.y = uv[1];
      m.px = uv[0] + 1.0f;
      m.py = uv[1] + 1.0f;
      m.nx = (uv[0] - K.cx[0]) / K.fx[0];
      m.ny = (uv[1] - K.cy[0]) / K.fy[0];
      m.ssd = 100;
      f.mapMatches[l].push_back(m);
      if (w.trackFlags[t] & kTrackInlier) ++f.inlierCount;
    }
    for (int l = 0; l < kPyramidLevels; ++l) {
      std::vector<CornerXY> corners;
      for (const MapMatch& m : f.mapMatches[l])
        corners.push_back({static_cast<u16>(std::lround(m.x)), static_cast<u16>(std::lround(m.y))});
      std::sort(corners.begin(), corners.end(), [](const CornerXY& a, const CornerXY& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
      });
      FeatureGrid& grid = f.corners[l];
      for (const CornerXY& c : corners) grid.corners.PushBack(c, 64);
      const int lh = kHeight >> l;
      grid.rowStarts.assign(lh + 1, 0);
      u32 i = 0;
      for (int y = 0; y < lh; ++y) {
        while (i < corners.size() && corners[i].y < y) ++i;
        grid.rowStarts[y] = i;
      }
      grid.rowStarts[lh] = static_cast<u32>(corners.size());
    }
    f.candidates[0].push_back({0, 0, kNone32, 100.0f, 100.0f});
    f.misses[0].push_back({1, 1, kNone32, 540.0f, 380.0f});
  }

  // One object: anchor key frame 0, its first four features, the matrices
  // [I | origin] with scale row (1, 1, 1, 1), size kObjectSize.
  void AddObject() {
    const MapWorkingCopy& w = Working();
    TrackerObject object;
    object.anchorKeyFrame = 0;
    const u32 base = w.keyFrameMeasurementStart[0];
    for (u16 i = 0; i < 4; ++i) {
      object.features.PushBack(i, 4);
      object.points.PushBack16(w.points[w.measurementTracks[base + i]]);
    }
    object.transforms.Resize(3);
    for (LA::AlignedMatrix4f& m : object.transforms) {
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m.m[r][c] = r == c ? 1.0f : 0.0f;
      for (int r = 0; r < 3; ++r) m.m[r][3] = kObjectOrigin[r];
      m.m[3][0] = m.m[3][1] = m.m[3][2] = 1.0f;
    }
    object.scale = kObjectSize;
    tracker.Objects().List().assign(1, object);
  }

  SyntheticMap synthetic;
  GlobalMap map;
  TrackerType tracker;
};

using Scene = SceneOf<Tracker>;

// What a call printed on standard output.
template <class Call>
std::string Printed(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

// A tracker whose window a test can name for xdotool.
class NamedTracker : public Tracker {
 public:
  explicit NamedTracker(GlobalMap& map, bool view = false) : Tracker(map, view) {}
  CVD::GLWindow* Window() { return window; }
};

// The window's pixels, top row first.
struct Screenshot {
  int width = 0, height = 0;
  std::vector<u8> rgb;
  const u8* At(int x, int y) const { return &rgb[3 * (static_cast<size_t>(y) * width + x)]; }
  bool Is(int x, int y, u8 r, u8 g, u8 b) const {
    const u8* p = At(x, y);
    return p[0] == r && p[1] == g && p[2] == b;
  }
  // A pixel within r of (x, y) has the colour, within 8 levels.
  bool Near(float fx, float fy, const u8 c[3], int r = 1) const {
    const int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
    for (int y = y0 - r; y <= y0 + r; ++y)
      for (int x = x0 - r; x <= x0 + r; ++x) {
        if (x < 0 || y < 0 || x >= width || y >= height) continue;
        const u8* p = At(x, y);
        if (std::abs(p[0] - c[0]) <= 8 && std::abs(p[1] - c[1]) <= 8 && std::abs(p[2] - c[2]) <= 8)
          return true;
      }
    return false;
  }
};

inline Screenshot ReadBack(int width = kWidth, int height = kHeight) {
  Screenshot s{width, height, std::vector<u8>(3 * static_cast<size_t>(width) * height)};
  std::vector<u8> raw(s.rgb.size());
  glFinish();
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, raw.data());
  for (int y = 0; y < height; ++y)
    std::copy_n(&raw[3 * static_cast<size_t>(height - 1 - y) * width], 3 * width,
                &s.rgb[3 * static_cast<size_t>(y) * width]);
  return s;
}

// screenshots/ beside the tests' folder in the build tree.
inline std::filesystem::path ScreenshotFolder() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::filesystem::path folder = error ? std::filesystem::path("screenshots")
                                             : exe.parent_path().parent_path() / "screenshots";
  std::filesystem::create_directories(folder, error);
  return folder;
}

// Writes what a test saw for a person to look at.
inline void Save(const Screenshot& s, const std::string& name) {
  CVD::Image<CVD::Rgb<u8>> image(CVD::ImageRef(s.width, s.height));
  std::memcpy(static_cast<void*>(image.data()), s.rgb.data(), s.rgb.size());
  try {
    CVD::img_save(image, (ScreenshotFolder() / name).string(), CVD::ImageType::PNG);
  } catch (const CVD::Exceptions::All&) {
  }
}

// X11 helpers of the window tests (WindowKeys.cpp), out of this header for
// the macros Xlib defines.
namespace window_keys {
// Waits until the root's child titled `title` is mapped and holds the input
// focus, asking for it again until it has and calling pump() between tries;
// its id, or 0 at the deadline.
unsigned long FocusWindow(const std::string& title, const std::function<void()>& pump,
                          std::chrono::milliseconds deadline);
// A connection of the caller's own (null when there is no display).
void* OpenConnection();
void CloseConnection(void* connection);
// Escape pressed and released, sent straight to the window.
void SendEscape(void* connection, unsigned long window);
// Closes the X connection of the text font, when it was opened.
void CloseTextFont();
}  // namespace window_keys

// Ends a wait of the display that no key ended. Unless Done() comes first,
// at the deadline it sends Escape straight to the window (the display's
// pause loop quits on it), and when even that is not taken ends the test
// program at once: a failure, never a hang.
class KeyWatchdog {
 public:
  KeyWatchdog(unsigned long window, std::chrono::seconds deadline)
      : connection_(window_keys::OpenConnection()), window_(window) {
    thread_ = std::thread([this, deadline] { Watch(deadline); });
  }
  ~KeyWatchdog() {
    Done();
    thread_.join();
    window_keys::CloseConnection(connection_);
  }
  KeyWatchdog(const KeyWatchdog&) = delete;
  KeyWatchdog& operator=(const KeyWatchdog&) = delete;

  void Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }
  // True when the deadline passed before Done().
  bool Fired() const { return fired_.load(); }

 private:
  void Watch(std::chrono::seconds deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, deadline, [this] { return done_; })) return;
    fired_ = true;
    window_keys::SendEscape(connection_, window_);
    if (changed_.wait_for(lock, deadline, [this] { return done_; })) return;
    std::fprintf(stderr, "No key, not even the watchdog's Escape, ended the display's wait\n");
    std::fflush(stderr);
    std::_Exit(1);
  }

  void* connection_;
  unsigned long window_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::atomic<bool> fired_{false};
};

// The number of threads of this process.
inline size_t ThreadCount() {
  std::error_code error;
  size_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error))
    ++n;
  return n;
}

// Nothing the window tests started may still run when main returns:
// LeakSanitizer stops every thread at exit to scan it, and once failed a
// run there. At the end of the program this closes the text font's X
// connection and waits until the threads the tests started (the GL
// driver's, the key senders) have ended. (The display tests' ctest-env line
// keeps the BLAS library from starting worker threads of its own.)
class QuietExit : public ::testing::Environment {
 public:
  void SetUp() override { threads_ = ThreadCount(); }
  void TearDown() override {
    window_keys::CloseTextFont();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ThreadCount() > threads_ && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(ThreadCount(), threads_) << "threads the tests started still run at the end";
  }

 private:
  size_t threads_ = 0;
};
inline ::testing::Environment* const kQuietExit =
    ::testing::AddGlobalTestEnvironment(new QuietExit);

// The scene with its window open (under Xvfb); skips when none can be had.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scene = std::make_unique<SceneOf<NamedTracker>>(true);
    if (!scene->tracker.HasWindow()) GTEST_SKIP() << "no window can be opened";
  }
  TrackerDisplay& Display() { return scene->tracker.Display(); }
  Screenshot Draw() {
    scene->tracker.MakeCurrent();
    Display().DrawScene();
    return ReadBack();
  }
  static bool HasXdotool() { return std::system("command -v xdotool >/dev/null 2>&1") == 0; }
  // Titles the window, then waits until the X server shows it mapped and
  // has given it the input focus (asked for again until it has), pumping
  // the window's events meanwhile; false at the deadline. Keys pressed after
  // that come through the keyboard to this window.
  bool FocusWindow(const std::string& name) {
    title = "zevrion-" + name + "-" + std::to_string(::getpid());
    scene->tracker.Window()->set_title(title);
    windowId = window_keys::FocusWindow(
        title, [this] { scene->tracker.SwapAndPumpEvents(); }, std::chrono::seconds(30));
    return windowId != 0;
  }
  // A shell command pressing keys in the focused window, ended after 20 s.
  std::string PressKeys(const std::string& keys) const {
    return "timeout 20 xdotool key --window " + std::to_string(windowId) + " " + keys;
  }
  std::unique_ptr<SceneOf<NamedTracker>> scene;
  std::string title;
  unsigned long windowId = 0;
};

}  // namespace display_scene
