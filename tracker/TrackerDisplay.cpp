// The display's state, its per-frame update with the pause loop and screen
// recording, the choice of the shown item and the scene drawing.
#include "tracker/TrackerDisplay.h"

// GLEW must come before every other GL header.
#include <GL/glew.h>
// clang-format off
#include <GL/glu.h>
// clang-format on
#include <cvd/image_io.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "features/ImageMapMath.h"
#include "mapping/SequenceFileName.h"
#include "tracker/FrameMeasures.h"
#include "tracker/ImageMaps.h"
#include "tracker/Tracker.h"

namespace {

// A paused display redraws at most this often while it waits for a key.
constexpr auto kPauseRedraw = std::chrono::milliseconds(10);

// The file type of a recorded image from its name's extension (PNG unless
// it names another).
CVD::ImageType::ImageType RecordingType(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "jpg" || ext == "jpeg") return CVD::ImageType::JPEG;
  if (ext == "bmp") return CVD::ImageType::BMP;
  if (ext == "pnm" || ext == "ppm" || ext == "pgm") return CVD::ImageType::PNM;
  return CVD::ImageType::PNG;
}

// The pose [R | t] column-major into a 4 x 4 matrix with last row (0, 0, 0, 1).
void PoseToColumnMajor(const CameraPose& pose, float m[16]) {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 3; ++r) m[4 * c + r] = pose.m[r][c];
    m[4 * c + 3] = c == 3 ? 1.0f : 0.0f;
  }
}

// Saves both GL matrices and loads the 3-D view's, seen from a model pose.
void PushView(const double projection[16], const double view[16], const float model[16]) {
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadMatrixd(projection);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadMatrixd(view);
  glMultMatrixf(model);
}

void PopView() {
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
}

}  // namespace

TrackerDisplay::TrackerDisplay(Tracker& tracker, const TrackerContext& context)
    : tracker_(tracker),
      measures_(std::make_unique<FrameMeasures>(context)),
      imageMaps_(std::make_unique<ImageMaps>(context.camera, context.ring, context.mapView)) {
  std::copy(kInitialDisplaySettings, kInitialDisplaySettings + kDisplaySettingCount, settings_);
}

TrackerDisplay::~TrackerDisplay() = default;

void TrackerDisplay::Reset() {
  shownFrame_ = kNone16;
  shownRingFrame_ = kNone16;
  comparisonFrame_ = kNone16;
  showingKeyFrame_ = 0;
  centred_ = false;
  centredFrame_ = kUnsetCounter;
  // Selections stay: the next update drops those the emptied map no longer has.
  lastShownFrameNumber_ = kUnsetCounter;
}

void TrackerDisplay::InitializeDisplay() {
  const TrackerCamera& camera = tracker_.Camera();
  if (tracker_.OpenWindow(camera.width, camera.height)) {
    for (GLTexture& t : textures_)
      if (t.id == 0) t.Create();
    textures_[0].ResizeRgb(camera.width, camera.height);
    textures_[1].ResizeRgb(camera.width, camera.height);
    for (int l = 0; l < kPyramidLevels; ++l) {
      const u16 w = static_cast<u16>(camera.width >> l), h = static_cast<u16>(camera.height >> l);
      textures_[2 + 2 * l].Resize(w, h);
      textures_[3 + 2 * l].Resize(w, h);
    }
    glEnable(GL_CULL_FACE);
  }
  paused_ = singleStep_ = 0;
  imageView_ = 1;
  keyFrameShown_ = 1;
  poseView_ = furtherFlag_ = 0;
  shownFrame_ = shownRingFrame_ = shownKeyFrame_ = comparisonFrame_ = kNone16;
  showingKeyFrame_ = 0;
  selectedTracks_[0] = selectedTracks_[1] = kNone32;
  selectedPlane_ = kNone16;
  shownLevel_ = 5;
  std::copy(kInitialDisplaySettings, kInitialDisplaySettings + kDisplaySettingCount, settings_);
  for (float& s : scales_) s = 1.0f;
  lastShownFrameNumber_ = kUnsetCounter;
  SetupProjection();
  SetupView();
}

bool TrackerDisplay::ShowingKeyFrame() const {
  return showingKeyFrame_ && shownKeyFrame_ < tracker_.KeyFrameCount();
}

u16 TrackerDisplay::DisplayIndexOfSlot(u16 slot) const {
  const FrameRing& ring = tracker_.Ring();
  const u32 n = ring.Size(), cur = ring.Current();
  return static_cast<u16>(tracker_.KeyFrameCount() + (slot + n - cur + n - 1) % n);
}

bool TrackerDisplay::QuitRequested() const {
  return tracker_.handler.quit != 0 || tracker_.StopRequested();
}

void TrackerDisplay::UpdateDisplay(bool follow) {
  pickedMatch_ = kNone32;
  const FrameRing& ring = tracker_.Ring();
  const TrackerStatus& status = tracker_.Status();
  const u16 cur = ring.Current();
  DropStaleSelections();

  if (ring.Size() == 0 || !ring.Contains(cur)) {
    // No frame (a failed start resets the tracker inside Run): an empty view.
    shownRingFrame_ = comparisonFrame_ = kNone16;
    if (!ShowingKeyFrame()) shownFrame_ = kNone16;
  } else {
    if (follow || !ring.Contains(shownRingFrame_)) shownRingFrame_ = cur;
    const u16 alignedOrReference =
        status.alignedFrame != kNone16 ? status.alignedFrame : ring.Reference();
    if (ShowingKeyFrame()) {
      shownRingFrame_ = cur;
      shownFrame_ = shownKeyFrame_;
      comparisonFrame_ = alignedOrReference;
    } else {
      showingKeyFrame_ = 0;
      SetCurrentFrame(DisplayIndexOfSlot(shownRingFrame_));
      const TrackerFrame& f = ring[shownRingFrame_];
      shownKeyFrame_ = kNone16;
      for (const u16 k : {f.alignedKeyFrame, f.parallaxKeyFrame, f.nearKeyFrame,
                          f.relocalisationKeyFrame, f.imuKeyFrame})
        if (k != kNone16) {
          shownKeyFrame_ = k;
          break;
        }
      comparisonFrame_ = shownRingFrame_ == cur ? alignedOrReference : cur;
    }
  }

  const bool allPlanes = selectedPlane_ != kNone16 && selectedPlane_ == planeShown_.size();
  tracker_.MapView().CountPlaneTracks(planeCounts_);
  UpdatePlaneGrids();
  if (shownFrame_ != kNone16) SetCurrentFrame(shownFrame_);
  SelectPlane(allPlanes ? static_cast<u16>(planeCounts_.size()) : selectedPlane_, false);

  // Once at the first update, and once more at the frame tracking starts.
  if (!centred_ ||
      (status.frameCounter == status.startFrame && centredFrame_ != status.frameCounter)) {
    CenterView();
    centred_ = true;
    centredFrame_ = status.frameCounter;
  }
  CollectSelectedMatches();
  PrintSelectedLine();

  if (tracker_.HasWindow()) {
    // A step key taken in by this first redraw is this update's step: it
    // must not be lost before the pause loop looks for it.
    Redraw();
    while (!QuitRequested()) {
      if (!paused_ || singleStep_) break;
      std::this_thread::sleep_for(kPauseRedraw);
      Redraw();
    }
    singleStep_ = 0;
  }
  const std::string& prefix = tracker_.States().outputPrefix;
  if (!prefix.empty()) RecordFrame(prefix, status.frameCounter);
}

void TrackerDisplay::Redraw() {
  tracker_.MakeCurrent();
  DrawScene();
  tracker_.SwapAndPumpEvents();
}

void TrackerDisplay::RecordFrame(const std::string& prefix, i32 frame) {
  if (!tracker_.HasWindow()) return;
  const u32 kept[2] = {settings_[kDisplayMode], settings_[kTrackFilter]};
  settings_[kDisplayMode] = settings_[kTrackFilter] = 0;
  tracker_.MakeCurrent();
  DrawScene();
  // Sized to the window as it is now: a resize since the last recording
  // must not overflow the image.
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  const CVD::ImageRef size(viewport[2], viewport[3]);
  if (size.x > 0 && size.y > 0) {
    recording_.resize(size);
    glFinish();
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, size.x, size.y, GL_RGBA, GL_UNSIGNED_BYTE, recording_.data());
    FlipRecordingImageRows();
    for (CVD::Rgba<u8>& p : recording_) p.alpha = 255;
    MakeSequenceFileName(recordingName_, prefix, static_cast<u32>(frame < 0 ? 0 : frame));
    try {
      CVD::img_save(recording_, recordingName_, RecordingType(recordingName_));
    } catch (const CVD::Exceptions::All&) {
      std::printf("Cannot save '%s'\n", recordingName_.c_str());
    }
  }
  settings_[kDisplayMode] = kept[0];
  settings_[kTrackFilter] = kept[1];
  Redraw();
}

void TrackerDisplay::SetCurrentFrame(u16 displayIndex) {
  const FrameRing& ring = tracker_.Ring();
  const u32 K = tracker_.KeyFrameCount(), N = ring.Size();
  if (displayIndex >= K + N) return;
  shownFrame_ = displayIndex;
  if (displayIndex >= K) {
    const u16 cur = ring.Current();
    const u16 frame = static_cast<u16>((cur + (displayIndex - K) + 1) % N);
    shownRingFrame_ = frame;
    showingKeyFrame_ = 0;
    if (frame != cur) {
      comparisonFrame_ = frame;
      keyFrameShown_ = 0;
    }
    const u32 slot = settings_[kPoseSlot] < 3 ? settings_[kPoseSlot] : u32{kVisual};
    PoseToColumnMajor(ring[frame].pose.slot[slot], shownPoseMatrix_);
  } else {
    shownKeyFrame_ = displayIndex;
    keyFrameShown_ = 1;
    showingKeyFrame_ = 1;
    PoseToColumnMajor(tracker_.MapView().Working().keyFramePoses[displayIndex], shownPoseMatrix_);
  }
}

const float* TrackerDisplay::ShownImageMap() const {
  const WarpRecord* map = ShownItemMap();
  if (map == nullptr) return nullptr;
  // Every warped point asks for this map: invert only when the stored map changed.
  if (std::memcmp(map, &shownImageMapSource_, sizeof(WarpRecord)) == 0)
    return shownImageMapValid_ ? shownImageMap_.m : nullptr;
  shownImageMapSource_ = *map;
  shownImageMapValid_ = false;
  // The stored map carries the current frame's positions into the item's;
  // drawing needs the way back, between normalised coordinates.
  WarpRecord inverse;
  if (map->IsAffine()) {
    if (!Invert2x2(*map, inverse)) return nullptr;
    inverse.m[8] = FLT_MAX;
  } else if (!Invert3x3(*map, inverse)) {
    return nullptr;
  }
  measures_->MapToNormalised(inverse, shownImageMap_);
  shownImageMapValid_ = true;
  return shownImageMap_.m;
}

void TrackerDisplay::DropStaleSelections() {
  const size_t tracks = tracker_.MapView().Working().trackFlags.size();
  for (u32& t : selectedTracks_)
    if (t != kNone32 && t >= tracks) t = kNone32;
  if (selectedTracks_[0] == kNone32) std::swap(selectedTracks_[0], selectedTracks_[1]);
}

void TrackerDisplay::CollectSelectedMatches() {
  matchedIn_.clear();
  u32 track = selectedTracks_[0];
  if (track == kNone32) return;
  tracker_.MapView().Map().GetTrackMeasurements(track, measurementKeyFrames_, measurementFeatures_);
  for (const u16 k : measurementKeyFrames_) matchedIn_.push_back(k);
  const FrameRing& ring = tracker_.Ring();
  if (!ring.Contains(ring.Current())) return;
  for (u16 s = 0; s < ring.Size(); ++s) {
    bool matched = false;
    for (const auto& list : ring[s].mapMatches)
      for (const MapMatch& m : list) matched = matched || m.track == track;
    if (matched) matchedIn_.push_back(DisplayIndexOfSlot(s));
  }
}

void TrackerDisplay::PrintSelectedLine() const {
  const u32 a = selectedTracks_[0], b = selectedTracks_[1];
  const MapWorkingCopy& w = tracker_.MapView().Working();
  if (a == kNone32 || b == kNone32 || a >= w.trackFlags.size() || b >= w.trackFlags.size()) return;
  if (!(w.trackFlags[a] & kTrackInlier) || !(w.trackFlags[b] & kTrackInlier)) return;
  const float* p = w.points[a].v;
  const float* q = w.points[b].v;
  const float dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  std::printf("Line (%d, %d): %f", static_cast<int>(a), static_cast<int>(b),
              std::sqrt(dx * dx + dy * dy + dz * dz));
  std::printf(" meters\n");
}

void TrackerDisplay::DrawScene() {
  if (!tracker_.HasWindow()) return;
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glColor3ub(255, 255, 255);
  const Intrinsic& K = tracker_.Camera().intrinsic[0];
  if (imageView_) {
    DrawImage();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glScalef(imageToWindow_[0], imageToWindow_[1], 1.0f);
    const u32 corners = settings_[kCornerMode];
    if (corners == 1 || corners == 3) DrawCorners();
    if (corners == 1 || corners == 4) DrawFeatures();
    // Pixel centres lie half a pixel into the texture's texels.
    glTranslatef(K.cx[0] + 0.5f, K.cy[0] + 0.5f, 0.0f);
    glScalef(K.fx[0], K.fy[0], 1.0f);
    if (tracker_.KeyFrameCount() > 0 && (!tracker_.Status().tracking || furtherFlag_))
      DrawMatchLines();
    if (corners == 1 || corners == 2) DrawFeatureCrosses();
    if (settings_[kOverlayMode] != 0) DrawMatchOverlays();
    glPopMatrix();
    if (!(poseView_ && ShownImageMap() != nullptr) && ShownPose() != nullptr)
      DrawObjectsOverImage();
  } else {
    float view[16];
    CameraPose pose;
    std::memcpy(pose.m, viewPose_.m, sizeof(pose.m));
    PoseToColumnMajor(pose, view);
    PushView(projectionMatrix_, viewMatrix_, view);
    DrawMapPoints();
    DrawObjects();
    DrawCameras();
    PopView();
  }
  glDisable(GL_DEPTH_TEST);
  const double rate = tracker_.Timers().FrameRate();
  glColor3ub(0, 255, 0);
  Viewer::DrawTextTopLeft("FPS %.2f", std::isfinite(rate) ? rate : 0.0);
}

void TrackerDisplay::DrawObjectsOverImage() {
  // The objects seen from the shown camera: the 3-D view's projection with
  // the shown pose as the model-view.
  PushView(projectionMatrix_, viewMatrix_, shownPoseMatrix_);
  DrawObjects();
  PopView();
}
