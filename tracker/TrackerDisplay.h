#pragma once
// The tracker's display: the image view with its overlays, the 3-D map view,
// window input with picking, and the printouts of a selection. It reads the
// tracker through its const interface and keeps its own state; the tracker
// forwards its window events here.
#include <cvd/image.h>
#include <cvd/image_ref.h>
#include <cvd/rgb.h>

#include <vector>

#include "tracker/TrackerRecords.h"
#include "viewer/GLTexture.h"

class Tracker;

// Prints one plane: index, ground flag and equation.
void PrintPlane(u16 plane, bool groundFlag, const float equation[4]);

class TrackerDisplay {
 public:
  explicit TrackerDisplay(const Tracker& tracker) : tracker_(tracker) {}

  // Shown frame 0 and no scratch image, as after a reset.
  void Reset();

  // --- Window input, forwarded by the tracker.
  bool OnKeyDown(int key);
  void OnMouseDown(const CVD::ImageRef& position, int button);
  void OnMouseUp(const CVD::ImageRef& position, int button);
  bool OnMouseDrag(const CVD::ImageRef& pressPosition, const CVD::ImageRef& position, int button);
  bool OnMouseDoubleClick(const CVD::ImageRef& position, int button);
  void OnResize(const CVD::ImageRef& size);

  // --- Views, overlays, picking and printouts.
  void UpdateDisplay(bool follow);
  bool AddObjectFromView();
  void InitializeDisplay();
  void SetCurrentFrame(u16 displayIndex);
  void PrintSelection(u32 track);
  void SelectPlane(u16 plane, bool print);
  // No display command is handled here.
  bool HandleDisplayCommand(int) { return false; }
  void DrawScene();
  void DrawStatus();
  void DrawKeyFrameBar();
  void DrawImage();
  void DrawFeatureCrosses();
  void DrawCross(float x, float y, float size);
  void DrawCorners();
  void DrawFeatures();
  void DrawMatchLines();
  void DrawMatchOverlays();
  void DrawMapMatches();
  void DrawProjectedImageMatches();
  void DrawMaskedFeatures();
  void DrawFeatureList();
  void DrawImageMatches();
  // Drawing primitives, 3-D view, picking and view helpers.
  void DrawPoint(float x, float y);
  void DrawSquare(float x, float y, float size);
  void DrawPatchOutline(const FeaturePatch& patch, float x, float y);
  void DrawPatchOutlineWarped(const FeaturePatch& patch, const WarpRecord& warp);
  void DrawPointWarped(float x, float y, const WarpRecord& warp);
  void DrawTrackPoint(u32 track, float x, float y);
  void DrawTrackPointWarped(u32 track, float x, float y, const WarpRecord& warp);
  void DrawTrackLine(u32 track, float x0, float y0, float x1, float y1);
  void DrawTrackLineWarped(u32 track, float x0, float y0, float x1, float y1,
                           const WarpRecord& warp);
  void DrawCameras();
  void DrawMapPoints();
  void DrawPlanes();
  void DrawObjects();
  void DrawMarkerOutline();
  void DrawRay(const double point[6], double length);
  void DrawPointStem(u32 track, const double v[3]);
  void SetupProjection();
  void SetupView();
  float ComputeViewScale(float a, float b);
  void UpdateViewTransform();
  LA::AlignedVector4f UnprojectPoint(const CVD::ImageRef& position);
  LA::AlignedVector4f UnprojectAtDepth(const CVD::ImageRef& position, float depth);
  void CenterView();
  void UpdatePlaneGrids();
  bool FilterTrack(u32 track);
  bool PickMapMatch(const float click[2], const float tolerance[2],
                    const std::vector<MapMatch>& list, u32& id, float& distance);
  bool PickImageMatch(const float click[2], const float tolerance[2],
                      const std::vector<ImageMatch>& list, u32& id, float& distance);
  bool PickProjectedImageMatch(const float click[2], const float tolerance[2],
                               const std::vector<ImageMatch>& list, int level, u32& id,
                               float& distance);
  bool PickMaskedFeature(const float click[2], const float tolerance[2], u16 keyFrame, int level,
                         u32& id, float& distance);
  bool PickFeature(const float click[2], const float tolerance[2], u16 keyFrame, u32& id,
                   float& distance);
  bool PickTrackPoint(const float click[2], const float tolerance[2], const CameraPose& pose,
                      u32& id, float& distance);

  u16 ShownFrame() const { return shownFrame_; }
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
  const Tracker& tracker_;
  u16 shownFrame_ = 0, shownKeyFrame_ = kNone16;
  u8 shownLevel_ = 0, imageView_ = 1;
  u32 displayMode_ = 0;
  GLTexture textures_[2 + 2 * kPyramidLevels];
  CVD::Image<CVD::Rgb<u8>> displayImage_;  // scratch of the image view
};
