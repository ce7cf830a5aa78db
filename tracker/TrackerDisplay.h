#pragma once
// The tracker's display: the image view with its overlays, the 3-D map view,
// window input with picking, and the printouts of a selection. It draws the
// tracker's own copies of the map on the frame thread, keeps its own state
// and scratch, and is reached through the window events the tracker forwards.
//
// Files: TrackerDisplay.cpp (state, per-frame update, pause loop, recording,
// status lines, printouts), DisplayImageView.cpp (the image view's lists),
// DisplayGeometry.cpp (rotation, frustum and arcball helpers), DisplayMapView.cpp
// (projection, view transform, the 3-D map view), DisplayInput.cpp (keys,
// mouse, 'o' objects), DisplayPicking.cpp (the double click's picking),
// DisplayPrimitives.cpp (the overlay points, lines, squares and patch outlines).
#include <cvd/image.h>
#include <cvd/image_ref.h>
#include <cvd/rgb.h>
#include <cvd/rgba.h>

#include <memory>
#include <string>
#include <vector>

#include "la/LinearAlgebra.h"
#include "tracker/TrackerRecords.h"
#include "viewer/GLTexture.h"

class FrameMeasures;
class ImageMaps;
class Tracker;
struct TrackerContext;

// The nine display settings by position; the state file keeps the first four.
enum DisplaySetting : u32 {
  kDisplayMode = 0,       // 0 shown camera, 1 + key-frame frusta, 2 paths, 3 paths + camera, 4 all
  kCornerMode = 1,        // 1 corners, features and crosses; 2 crosses; 3 corners; 4 features
  kOverlayMode = 2,       // 0 none, 1 all overlays, 2 matches only
  kSetting3 = 3,          // kept for the state file; nothing reads it
  kSetting4 = 4,          // kept for the state file; nothing reads it
  kPoseSlot = 5,          // which FramePose slot the views show
  kTrackFilter = 6,       // see FilterTrack
  kShowFrustum = 7,       // frusta with their side lines
  kShowFrustumImage = 8,  // the shown camera's image on its frustum
  kDisplaySettingCount = 9,
};
constexpr u32 kInitialDisplaySettings[kDisplaySettingCount] = {1, 2, 2, 2, 4, 1, 2, 1, 1};

// The six float factors of the views, all 1 at start.
enum DisplayScale : u32 {
  kPlaneGridScale = 0,
  kObjectScale = 1,
  kSquareScale = 2,  // squares and patch outlines of the image view
  kBarScale = 3,     // opacity gain of the key-frame bar
  kStemLength = 4,
  kRayLength = 5,
  kDisplayScaleCount = 6,
};

// A rotation and translation as three rows of four floats.
struct ViewPose {
  float m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
};

// Prints one plane: index, ground flag and equation.
void PrintPlane(u16 plane, bool groundFlag, const float equation[4]);

// --- Geometry of the 3-D view (DisplayGeometry.cpp); no GL needed.
// Rotation taking unit vector a onto b: identity when parallel, a half turn
// about a perpendicular axis when opposite.
void RotationBetweenVectors(const float a[3], const float b[3], float R[3][3]);
// Inverse of [R | t] given with per-axis scales: [R^T | -R^T t], reciprocal scales.
void InvertScaledPose(const float pose[3][4], const float scale[3], float inverse[3][4],
                      float inverseScale[3]);
void QuaternionToRotation3f(const double q[4], float R[3][3]);
// Line vertices (8 points) of a rectangle of half-size (w, h) round (cx, cy).
void DrawRectangleOutline(float cx, float cy, float w, float h, float vertices[8][2]);
// The image rectangle's corners at unit depth from the frustum size.
void SetFrustumCorners(const float frustumSize[4], float corners[4][3]);
// The frustum's camera centre and four far corners in the world (5 points),
// and with axes non-null the ends of its three axes.
void ComputeFrustum(const CameraPose& pose, const float frustumSize[4], float points[5][3],
                    float axes[3][3]);
// The rotation plane (n, d) turns onto z = 0 (a proper rotation, det +1).
void PlaneRotation(const float n[3], float R[3][3]);

// A trackball: points on a sphere (radius, centre) with a hyperbolic
// extension outside it; each drag composes the rotation between the start
// and the current sphere points onto the rotation at the start.
struct Arcball {
  float centre[3] = {0, 0, 0};
  float radius = 1.0f;
  float start[3] = {0, 0, 1};
  float startRotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  void Reset(const float centre[3], float radius);
  void Project(const float point[3], float onSphere[3]) const;
  void Begin(const float point[3], const float rotation[3][3]);
  void Drag(const float point[3], float rotation[3][3]) const;
};

// The 3-D view as the mouse and the centring left it, the view switches and
// the plane selection: what a saved state keeps so that it opens as it was
// seen.
struct DisplayViewState {
  float rotation[3][4] = {{0}};  // all zero: no view stored (older files)
  float pivot[4] = {0, 0, 0, 1};
  ViewPose pose;
  float frustumSize[4] = {0, 0, 0, 1};
  Arcball arcball;
  float pivotDepth = 1.0f;
  float translation[4] = {0, 0, 0, 1};
  float wheelStep = 0.0f;
  u8 imageView = 1, shownLevel = 5, poseView = 0, planeFilter = 0;
  u16 selectedPlane = kNone16;
  std::vector<u8> planeShown;
  std::vector<LA::AlignedMatrix4f> planeFrames;
  std::vector<LA::AlignedVector4f> planeExtents;
  // Written for a reader of the file; a restore keeps the display's own.
  double projection[16] = {}, modelView[16] = {};
  // True when the file held a view (a rotation is never all zero).
  bool Stored() const;
};

class TrackerDisplay {
 public:
  // Over the tracker's window and the context its measures read.
  TrackerDisplay(Tracker& tracker, const TrackerContext& context);
  ~TrackerDisplay();
  TrackerDisplay(const TrackerDisplay&) = delete;
  TrackerDisplay& operator=(const TrackerDisplay&) = delete;

  // Selections and the shown frame cleared, as after a reset.
  void Reset();
  // The pause loop of UpdateDisplay holds Run while paused.
  void SetPaused(bool paused) { paused_ = paused; }
  bool Paused() const { return paused_ != 0; }

  // --- Window input, forwarded by the tracker (DisplayInput.cpp).
  bool OnKeyDown(int key);
  void OnMouseDown(const CVD::ImageRef& position, int button);
  void OnMouseUp(const CVD::ImageRef& position, int button);
  bool OnMouseDrag(const CVD::ImageRef& pressPosition, const CVD::ImageRef& position, int button);
  bool OnMouseDoubleClick(const CVD::ImageRef& position, int button);
  void OnResize(const CVD::ImageRef& size);
  // Anchors an object on what the window shows; false when nothing was added.
  bool AddObjectFromView();
  // Where that object stands, seen by the camera through the mean normalised
  // position: where the ray meets the plane (n, d) in front of the camera,
  // lifted by the size towards the camera and turned by PlaneRotation; without
  // a plane, or when the ray runs along it or meets it behind, at the depth
  // on the ray and turned as the camera.
  static void PlaceObject(const CameraPose& camera, const float mean[2], float depth, float size,
                          const float* plane, float R[3][3], float X[3]);
  // The pose view: positions and images carried into the current frame.
  void SetPoseView(bool on) { poseView_ = on; }
  // 0-3 one pyramid level, 4 the key frame's features as the map holds them, 5 all.
  void SetShownLevel(u8 level) { shownLevel_ = level; }
  void SetScale(DisplayScale s, float value) { scales_[s] = value; }

  // --- Update, status and printouts (TrackerDisplay.cpp; the status lines and the
  // key-frame bar in DisplayStatus.cpp, the printouts in DisplaySelection.cpp).
  void UpdateDisplay(bool follow);
  // Draws without the paths and map points, reads the window back at its
  // size and saves it as the frame's numbered file of the prefix.
  void RecordFrame(const std::string& prefix, i32 frame);
  void InitializeDisplay();
  void SetCurrentFrame(u16 displayIndex);
  void PrintSelection(u32 track);
  void SelectPlane(u16 plane, bool print);
  // No display command is handled here.
  bool HandleDisplayCommand(int) { return false; }
  void DrawScene();
  // Both compose what they show first (DisplayStatus.cpp), also without a window.
  void DrawStatus();
  void DrawKeyFrameBar();
  static constexpr size_t kStatusLineLength = 256;
  // The status lines as the last DrawStatus composed them (0: top, 1: bottom).
  const char* StatusLine(int i) const { return statusLines_[i]; }
  // Per display index the key-frame bar's opacity, as the last DrawKeyFrameBar found it.
  const std::vector<u8>& BarOpacities() const { return barOpacity_; }

  // --- The image view's lists (DisplayImageView.cpp).
  void DrawImage();
  void DrawFeatureCrosses();
  void DrawCorners();
  void DrawFeatures();
  void DrawMatchLines();
  void DrawMatchOverlays();
  // One match's point at its level pixel, and the square round it when its
  // track is selected.
  void DrawMatch(float x, float y, const Intrinsic& level, u32 track, bool warped);
  void DrawMapMatches(const std::vector<MapMatch>& list, int level, bool warped);
  void DrawImageMatches(const std::vector<ImageMatch>& list, int level, bool warped);
  void DrawProjectedImageMatches(const std::vector<ImageMatch>& list, int level, bool warped);
  void DrawFeatureList(u16 keyFrame, int level, bool warped);
  void DrawMaskedFeatures(u16 keyFrame, const std::vector<u8>& mask, bool warped);

  // --- Overlay primitives in normalised coordinates (DisplayPrimitives.cpp).
  // Each begins and ends its own GL primitive in the caller's colour and
  // point size (where no colour is named); without a window they only
  // compute what they return.
  // Green cross of half-size (w, h); blue for a selected track.
  void DrawCross(float x, float y, float w, float h, u32 track);
  void DrawPoint(float x, float y, const Intrinsic& level);
  void DrawPointWarped(float x, float y, const Intrinsic& level);
  // Depth of the track's point under the pose (drawn only when not negative);
  // -1 for an unsolved track.
  float DrawTrackPoint(u32 track, const CameraPose& pose);
  float DrawTrackPointWarped(u32 track, const CameraPose& pose);
  // The drawn position of the track into out (the predicted one when unsolved).
  void DrawTrackLine(u32 track, const float predicted[2], const CameraPose& pose, float out[2]);
  void DrawTrackLineWarped(u32 track, const float predicted[2], const CameraPose& pose,
                           float out[2]);
  void DrawSquare(float x, float y, float focal);
  void DrawPatchOutline(const FeaturePatch& patch);
  void DrawPatchOutlineWarped(const FeaturePatch& patch);
  // Reverses the rows of the recorded window image in place.
  void FlipRecordingImageRows();
  CVD::Image<CVD::Rgba<u8>>& RecordingImage() { return recording_; }
  // Where the primitives put things, without GL. A solved track's point
  // under the pose: false when unsolved, the pose unset or the depth not
  // positive (depth: the point's depth, -1 when unsolved).
  bool ProjectTrack(u32 track, const float pose[3][4], float out[2], float& depth) const;
  // Through the shown item's image map (unchanged outside the pose view);
  // false when the map sends the position to infinity.
  bool WarpToCurrent(const float in[2], float out[2]) const;
  // The patch outline's closed strip: corners 0, 1, 3, 2, 0 scaled about
  // the centre by the square scale, normalised with the patch's level.
  void PatchOutlineVertices(const FeaturePatch& patch, float vertices[5][2]) const;

  // --- The 3-D map view (DisplayMapView.cpp; cameras in DisplayMapDrawing.cpp,
  // points, planes, objects in DisplayMapScene.cpp).
  void SetupProjection();
  void SetupView();
  float ComputeViewScale(float a, float b) const;
  void UpdateViewTransform();
  LA::AlignedVector4f UnprojectPoint(const CVD::ImageRef& position) const;
  LA::AlignedVector4f UnprojectAtDepth(const CVD::ImageRef& position, float depth) const;
  void CenterView();
  void UpdatePlaneGrids();
  bool FilterTrack(u32 track) const;
  void DrawCameras();
  void DrawMapPoints();
  void DrawPlanes();
  void DrawObjects();
  void DrawMarkerOutline();
  void DrawRay(const double point[6], double length);
  // White lines from the camera centre along -R v and -z, blue between them.
  void DrawPointStem(const CameraPose& pose, const double v[3]);
  static void DrawTextureQuad3D(const GLTexture& texture, const float corners[4][3]);
  // The far rectangle of ComputeFrustum's points as a line loop, with the
  // side lines from the centre when asked; axes as red, green, blue lines.
  static void DrawFrustum(const float points[5][3], bool sides);
  static void DrawAxes(const float centre[3], const float axes[3][3]);
  // A plane grid's frame (column-major, grid z = 0 into the world) and its
  // extent in the plane; null past the planes UpdatePlaneGrids saw.
  const LA::AlignedMatrix4f* PlaneFrame(u16 plane) const {
    return plane < planeFrames_.size() ? &planeFrames_[plane] : nullptr;
  }
  const LA::AlignedVector4f* PlaneExtent(u16 plane) const {
    return plane < planeExtents_.size() ? &planeExtents_[plane] : nullptr;
  }
  const float* FrustumSize() const { return frustumSize_; }
  float WheelStep() const { return wheelStep_; }

  // --- Picking (DisplayPicking.cpp). id and distance carry the best so
  // far: an entry within the tolerance replaces it when its squared distance
  // is not larger (a later equal one wins); true when one did.
  bool PickMapMatch(const float click[2], const float tolerance[2],
                    const std::vector<MapMatch>& list, int level, u32& id, float& distance);
  bool PickImageMatch(const float click[2], const float tolerance[2],
                      const std::vector<ImageMatch>& list, int level, u32& id, float& distance);
  bool PickProjectedImageMatch(const float click[2], const float tolerance[2],
                               const std::vector<ImageMatch>& list, int level, u32& id,
                               float& distance);
  bool PickMaskedFeature(const float click[2], const float tolerance[2], u16 keyFrame, int level,
                         u32& id, float& distance);
  bool PickFeature(const float click[2], const float tolerance[2], const std::vector<u8>& mask,
                   const CameraPose& pose, u32& id, float& distance);
  bool PickTrackPoint(const float click[2], const float tolerance[2], const ViewPose& pose, u32& id,
                      float& distance);
  // The first entry of the selected track's patch list from that key frame
  // (the list size when none).
  u32 FindSelectedPatchOfKeyFrame(u16 keyFrame) const;

  // --- State, for the state file, the console and the tests.
  void GetViewState(DisplayViewState& state) const;
  // Takes in a view saved at frame `frame` (one not Stored() changes
  // nothing); the updates keep it rather than centring on the shown camera,
  // until tracking starts at a later frame.
  void RestoreViewState(const DisplayViewState& state, i32 frame);
  u16 ShownFrame() const { return shownRingFrame_; }
  u16 DisplayIndex() const { return shownFrame_; }
  u16 ComparisonFrame() const { return comparisonFrame_; }
  bool ImageView() const { return imageView_ != 0; }
  u32 Setting(DisplaySetting s) const { return settings_[s]; }
  void SetSetting(DisplaySetting s, u32 value) { settings_[s] = value; }
  const u32* SelectedTracks() const { return selectedTracks_; }
  u16 SelectedPlane() const { return selectedPlane_; }
  const ViewPose& CurrentViewPose() const { return viewPose_; }
  // The shown key frame (kNone16: none) follows the map's key frames: a push
  // at k moves a shown index at or past k up, a pop of k shows k - 1, a trim
  // moves it down by the dropped count (none when it was dropped).
  u16 ShownKeyFrame() const { return shownKeyFrame_; }
  void ShowKeyFrame(u16 k) { shownKeyFrame_ = k; }
  void OnKeyFramePushed(u16 k) {
    if (shownKeyFrame_ != kNone16 && shownKeyFrame_ >= k) ++shownKeyFrame_;
  }
  void OnKeyFramePopped(u16 k) {
    if (k != kNone16 && shownKeyFrame_ == k)
      shownKeyFrame_ = k == 0 ? kNone16 : static_cast<u16>(k - 1);
  }
  void OnKeyFramesDropped(u32 dropped) {
    if (shownKeyFrame_ == kNone16) return;
    shownKeyFrame_ =
        shownKeyFrame_ < dropped ? kNone16 : static_cast<u16>(shownKeyFrame_ - dropped);
  }

 private:
  // True when the track is one of the two selected.
  bool IsSelected(u32 track) const {
    return track == selectedTracks_[0] || track == selectedTracks_[1];
  }
  // The 3x3 image map of the shown item into the current frame, in
  // normalised coordinates; null outside the pose view or without a map.
  const float* ShownImageMap() const;
  // --- Helpers of the update (TrackerDisplay.cpp).
  // A key frame is shown (not a ring frame) and still exists.
  bool ShowingKeyFrame() const;
  // The display index of a ring slot: key frames first, then oldest to current.
  u16 DisplayIndexOfSlot(u16 slot) const;
  // Escape, a closed window or the tracker's stop flag.
  bool QuitRequested() const;
  // Makes the context current, draws, swaps and pumps the window's events.
  void Redraw();
  // Selected tracks at or past the track count become none.
  void DropStaleSelections();
  // The display indices of the key frames and ring frames matching the selection.
  void CollectSelectedMatches();
  // The distance between two selected inlier tracks.
  void PrintSelectedLine() const;
  // The registered objects drawn over the image from the shown pose.
  void DrawObjectsOverImage();
  // The shown item's stored image map (current frame into the item) in the
  // pose view; null otherwise or without a map (DisplayImageView.cpp).
  const WarpRecord* ShownItemMap() const;

  Tracker& tracker_;
  std::unique_ptr<FrameMeasures> measures_;  // median depths, error lines

  // --- Flags and what is shown (TrackerDisplay.cpp).
  u8 paused_ = 0, singleStep_ = 0, imageView_ = 1, keyFrameShown_ = 1, poseView_ = 0;
  u8 furtherFlag_ = 0;
  u16 shownFrame_ = kNone16;       // display index: key frames, then ring oldest to current
  u16 shownRingFrame_ = kNone16;   // ring slot
  u16 shownKeyFrame_ = kNone16;    // key-frame index
  u16 comparisonFrame_ = kNone16;  // ring slot
  u32 selectedTracks_[2] = {kNone32, kNone32};  // newest pick first
  u16 selectedPlane_ = kNone16;                 // the plane count: all planes
  u8 shownLevel_ = 5;  // 0-3 one level, 4 the key frame's pass through the map, 5 all
  u32 settings_[kDisplaySettingCount];  // kInitialDisplaySettings at construction
  float scales_[kDisplayScaleCount] = {1, 1, 1, 1, 1, 1};
  u8 planeFilter_ = 0, showRays_ = 0, showStems_ = 0, showGreyPath_ = 0, showFootLines_ = 0;
  u8 trackLines_ = 0;
  i32 lastShownFrameNumber_ = kUnsetCounter;  // what the textures hold
  u16 uploadedKeyFrame_ = kNone16;
  u8 uploadedLevel_ = 0xFF, uploadedPoseView_ = 0xFF;
  bool centred_ = false;                  // the 3-D view was centred once
  u8 showingKeyFrame_ = 0;                // the display index names a key frame, not a ring frame
  i32 centredFrame_ = kUnsetCounter;      // the frame the 3-D view was last centred at
  std::unique_ptr<ImageMaps> imageMaps_;  // the pose view's error lines
  mutable WarpRecord shownImageMap_;      // what ShownImageMap returns
  // The stored map shownImageMap_ was made from (unset: none yet) and
  // whether it could be inverted.
  mutable WarpRecord shownImageMapSource_ = {{FLT_MAX}};
  mutable bool shownImageMapValid_ = false;
  std::vector<u16> measurementFeatures_;  // the selected track's features
  // The image view's scratch (DisplayImageView.cpp).
  std::vector<float> trackPositions_;  // per track the current frame's match, FLT_MAX: none
  CVD::Image<u8> displayGrey_;         // the pose view's warped grey image
  // The status lines and the bar (DisplayStatus.cpp).
  void ComposeStatus();
  void ComputeKeyFrameBar();
  char statusLines_[2][kStatusLineLength] = {};
  u8 statusColour_[3] = {0, 0, 255};
  std::vector<u8> barOpacity_;
  AlignedArray<LA::Vector2<float>> correspondA_, correspondB_;  // the pose view's error

  // --- Window and 3-D view.
  float imageToWindow_[2] = {1, 1}, windowToImage_[2] = {1, 1};
  i32 viewport_[4] = {0, 0, 0, 0};
  double projectionMatrix_[16] = {}, viewMatrix_[16] = {}, viewMatrixScaled_[16] = {};
  float shownPoseMatrix_[16] = {};  // the shown pose column-major with (0, 0, 0, 1)
  float viewRotation_[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
  float viewTranslation_[4] = {0, 0, 0, 1}, rotationPivot_[4] = {0, 0, 0, 1};
  ViewPose viewPose_;
  Arcball arcball_;
  float frustumSize_[4] = {0, 0, 0, 1};
  float wheelStep_ = 0.0f, pivotDepth_ = 1.0f;
  float dragStartTranslation_[4] = {0, 0, 0, 1};
  LA::AlignedVector4f dragStartPoint_;

  // --- Per-plane and per-track scratch, owned and only grown.
  std::vector<u8> planeShown_;
  std::vector<u32> planeCounts_;
  std::vector<LA::AlignedMatrix4f> planeFrames_;
  std::vector<LA::AlignedVector4f> planeExtents_;
  std::vector<u16> matchedIn_;  // display indices in which the selected track is matched
  std::vector<u8> trackMask_;
  std::vector<u32> selectedPatches_;  // the selected track's FeaturePatch indices
  std::vector<u16> measurementKeyFrames_;
  std::vector<float> depthScratch_;
  // The 3-D view's own helpers and scratch (DisplayMapView.cpp and its drawing files).
  const CameraPose* ShownPose() const;          // null when nothing is shown or its pose is unset
  void ViewportOrImage(i32 viewport[4]) const;  // the image's rectangle before a resize
  // One camera's frustum in a colour, with the shown item's image on it when asked.
  void DrawCameraFrustum(const CameraPose& pose, const u8 colour[3], bool image);
  const GLTexture* UploadFrustumImage();  // null when there is no image
  // Ray and stem of a key frame (frame null) or of a ring frame.
  void DrawCameraExtras(const CameraPose& pose, const IMUState& state, u16 keyFrame,
                        const TrackerFrame* frame);
  void DrawMapOverlay();  // foot lines and selection squares in window pixels
  std::vector<CVD::Rgb<u8>> trackColors_;
  u32 pickedMatch_ = kNone32;  // cleared at every update
  // Picking and 'o' objects (DisplayInput.cpp, DisplayPicking.cpp): the
  // map's features of a key-frame level, the support points of a new object.
  AlignedArray<LA::Vector2<float>> pickFeatures_;
  std::vector<u32> pickTracks_;
  std::vector<u32> objectFeatures_;
  // Median depth seen from a pose; the initial depth without measures.
  float MedianDepth(const float pose[3][4]);

  // --- Textures and the recorded window image.
  GLTexture textures_[2 + 2 * kPyramidLevels];
  CVD::Image<CVD::Rgb<u8>> displayImage_;  // the pose view's warped image
  CVD::Image<CVD::Rgba<u8>> recording_;    // the window read back
  std::string recordingName_;
};
