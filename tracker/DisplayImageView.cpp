// The image view: the shown item's image over the whole window, and its
// corners, features, crosses, match lines and overlays. Corners and features
// are drawn in level-0 pixels, everything else in normalised coordinates;
// the modelview of DrawScene carries both to window pixels.
#include <GL/glew.h>

#include <algorithm>
#include <cfloat>

#include "features/ImageMapMath.h"
#include "features/ImageWarp.h"
#include "tracker/FrameMeasures.h"
#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

// The levels an overlay covers: the shown one, or all from 4 up.
void ShownLevels(u8 shownLevel, int& first, int& last) {
  first = shownLevel < kPyramidLevels ? shownLevel : 0;
  last = shownLevel < kPyramidLevels ? shownLevel : kPyramidLevels - 1;
}

// Marks whether the texture holds a colour image, beside the level.
constexpr u8 kColourUpload = 0x10;

}  // namespace

const WarpRecord* TrackerDisplay::ShownItemMap() const {
  if (!poseView_) return nullptr;
  const FrameRing& ring = tracker_.Ring();
  const WarpRecord* map = nullptr;
  if (ShowingKeyFrame()) {
    const auto& maps = tracker_.MapView().KeyFrameMaps();
    if (shownKeyFrame_ < maps.Size()) map = &maps[shownKeyFrame_];
  } else if (ring.Contains(shownRingFrame_) && shownRingFrame_ != ring.Current()) {
    map = &ring.Map(shownRingFrame_);
  }
  return map != nullptr && map->IsSet() ? map : nullptr;
}

void TrackerDisplay::DrawImage() {
  if (!tracker_.HasWindow()) return;
  const FrameRing& ring = tracker_.Ring();
  const TrackerCamera& camera = tracker_.Camera();
  const bool key = ShowingKeyFrame();
  if (!key && !ring.Contains(shownRingFrame_)) return;
  const int level = shownLevel_ < kPyramidLevels ? shownLevel_ : 0;
  const TrackerFrame* frame = key ? nullptr : &ring[shownRingFrame_];
  const bool colour = frame != nullptr && level == 0 &&
                      frame->colour.size() == CVD::ImageRef(camera.width, camera.height);
  const i32 number = key ? tracker_.MapView().KeyFrameNumber(shownKeyFrame_) : frame->number;
  const u16 keyFrame = key ? shownKeyFrame_ : kNone16;
  const u8 kind = static_cast<u8>(colour ? kColourUpload : level);
  GLTexture& texture = colour ? textures_[0] : textures_[2 + 2 * level];

  // In the pose view the current frame's image map moves the image every
  // frame; otherwise only a change of the shown item needs an upload.
  const WarpRecord* map = ShownItemMap();
  if (map != nullptr || number != lastShownFrameNumber_ || keyFrame != uploadedKeyFrame_ ||
      kind != uploadedLevel_ || poseView_ != uploadedPoseView_) {
    WarpRecord normalised, pixels;
    if (map != nullptr) {
      measures_->MapToNormalised(*map, normalised);
      MakePixelWarp(camera.intrinsic[level], normalised, pixels);
    }
    texture.Bind();
    const auto uploadGrey = [&](const CVD::BasicImage<u8>& grey) {
      const CVD::BasicImage<u8>* source = &grey;
      if (map != nullptr) {
        WarpImageGray(grey, grey.size(), displayGrey_, pixels);
        source = &displayGrey_;
      }
      texture.Resize(static_cast<u16>(source->size().x), static_cast<u16>(source->size().y));
      texture.UploadLuminanceBytes(source->data());
    };
    if (colour) {
      const CVD::BasicImage<CVD::Rgb<u8>>* source = &frame->colour;
      if (map != nullptr) {
        WarpImageRgb(frame->colour, frame->colour.size(), displayImage_, pixels);
        source = &displayImage_;
      }
      texture.ResizeRgb(static_cast<u16>(source->size().x), static_cast<u16>(source->size().y));
      texture.UploadRgbBytes(reinterpret_cast<const u8*>(source->data()));
    } else if (frame != nullptr) {
      uploadGrey(frame->pyramid[level]);
    } else {
      tracker_.MapView().ReadKeyFrame(keyFrame,
                                      [&](const KeyFrame& k) { uploadGrey(k.pyramid[level]); });
    }
    lastShownFrameNumber_ = number;
    uploadedKeyFrame_ = keyFrame;
    uploadedLevel_ = kind;
    uploadedPoseView_ = poseView_;
  }
  if (texture.width == 0 || texture.height == 0) return;
  glEnable(GL_TEXTURE_RECTANGLE);
  tracker_.DrawTexture(texture);
  glDisable(GL_TEXTURE_RECTANGLE);
}

void TrackerDisplay::DrawFeatureCrosses() {
  if (!tracker_.HasWindow()) return;
  const Intrinsic& k0 = tracker_.Camera().intrinsic[0];
  const float w = 5.0f * k0.ifx[0], h = 5.0f * k0.ify[0];  // arms of 5 image pixels
  glLineWidth(1.0f);
  int first, last;
  ShownLevels(shownLevel_, first, last);
  float p[2], q[2];
  if (!ShowingKeyFrame()) {
    if (!tracker_.Ring().Contains(shownRingFrame_)) return;
    const TrackerFrame& f = tracker_.Ring()[shownRingFrame_];
    for (int l = first; l <= last; ++l)
      for (const MapMatch& m : f.mapMatches[l]) {
        p[0] = m.nx, p[1] = m.ny;
        if (WarpToCurrent(p, q)) DrawCross(q[0], q[1], w, h, m.track);
      }
    return;
  }
  const TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& wc = view.Working();
  const u16 k = shownKeyFrame_;
  const u16* offsets = view.KeyFrameLevelOffsets(k);
  if (offsets == nullptr || k >= view.Records().size() || k >= wc.keyFrameMeasurementStart.size())
    return;
  const u32 featureStart = view.Records()[k].featureStart;
  const u32 trackStart = wc.keyFrameMeasurementStart[k];
  const auto& features = view.KeyFrameNormalized();
  for (int l = first; l <= last; ++l)
    for (u32 j = offsets[l]; j < offsets[l + 1]; ++j) {
      if (featureStart + j >= features.Size() || trackStart + j >= wc.measurementTracks.size())
        break;
      p[0] = features[featureStart + j].x, p[1] = features[featureStart + j].y;
      if (WarpToCurrent(p, q)) DrawCross(q[0], q[1], w, h, wc.measurementTracks[trackStart + j]);
    }
}

void TrackerDisplay::DrawCorners() {
  if (!tracker_.HasWindow() || ShowingKeyFrame() || !tracker_.Ring().Contains(shownRingFrame_))
    return;
  const TrackerFrame& f = tracker_.Ring()[shownRingFrame_];
  int first, last;
  ShownLevels(shownLevel_, first, last);
  glColor3ub(255, 0, 255);
  for (int l = first; l <= last; ++l) {
    const float s = static_cast<float>(1 << l);
    glPointSize(s);
    glPushMatrix();
    glScalef(s, s, 1.0f);
    glBegin(GL_POINTS);
    // Corner (x, y) of level l covers the level-0 square from s x to s (x + 1).
    for (const CornerXY& c : f.corners[l].corners) glVertex2f(c.x + 0.5f, c.y + 0.5f);
    glEnd();
    glPopMatrix();
  }
  glPointSize(1.0f);
}

void TrackerDisplay::DrawFeatures() {
  if (!tracker_.HasWindow()) return;
  int first, last;
  ShownLevels(shownLevel_, first, last);
  glColor3ub(0, 0, 255);
  glPointSize(2.0f);
  TrackerMapView& view = tracker_.MapView();
  for (int l = first; l <= last; ++l) {
    const float s = static_cast<float>(1 << l);
    glPushMatrix();
    glScalef(s, s, 1.0f);
    glBegin(GL_POINTS);
    if (!ShowingKeyFrame()) {
      if (tracker_.Ring().Contains(shownRingFrame_))
        for (const auto& p : tracker_.Ring()[shownRingFrame_].kltPixels[l])
          glVertex2f(p.x + 0.5f, p.y + 0.5f);
    } else if (const u16* offsets = view.KeyFrameLevelOffsets(shownKeyFrame_)) {
      if (shownKeyFrame_ < view.Records().size()) {
        const u32 start = view.Records()[shownKeyFrame_].featureStart;
        const auto& pixels = view.KeyFramePixels();
        for (u32 j = offsets[l]; j < offsets[l + 1] && start + j < pixels.Size(); ++j)
          glVertex2f(pixels[start + j].x + 0.5f, pixels[start + j].y + 0.5f);
      }
    }
    glEnd();
    glPopMatrix();
  }
  glPointSize(1.0f);
}

void TrackerDisplay::DrawMatchLines() {
  const FrameRing& ring = tracker_.Ring();
  const u16 cur = ring.Current();
  if (!tracker_.HasWindow() || !ring.Contains(cur)) return;
  const MapWorkingCopy& w = tracker_.MapView().Working();
  const u32 tracks = static_cast<u32>(w.trackFlags.size());
  int first, last;
  ShownLevels(shownLevel_, first, last);
  // Where the current frame matched each track, normalised.
  trackPositions_.assign(2 * size_t{tracks}, FLT_MAX);
  for (int l = first; l <= last; ++l)
    for (const MapMatch& m : ring[cur].mapMatches[l])
      if (m.track < tracks) {
        trackPositions_[2 * m.track] = m.nx;
        trackPositions_[2 * m.track + 1] = m.ny;
      }
  const auto line = [&](u32 track, float x, float y) {
    if (track >= tracks || trackPositions_[2 * track] == FLT_MAX || FilterTrack(track)) return;
    const float p[2] = {x, y};
    float q[2];
    if (!WarpToCurrent(p, q)) return;
    glVertex2f(q[0], q[1]);
    glVertex2f(trackPositions_[2 * track], trackPositions_[2 * track + 1]);
  };
  glLineWidth(1.0f);
  glBegin(GL_LINES);
  if (!ShowingKeyFrame() && (shownRingFrame_ != cur || !keyFrameShown_) &&
      ring.Contains(comparisonFrame_) && comparisonFrame_ != cur) {
    glColor3ub(255, 255, 255);
    for (const auto& list : ring[comparisonFrame_].mapMatches)
      for (const MapMatch& m : list) line(m.track, m.nx, m.ny);
  }
  const TrackerMapView& view = tracker_.MapView();
  const u16 k = shownKeyFrame_;
  const u16* offsets = view.KeyFrameLevelOffsets(k);
  if (offsets != nullptr && k < view.Records().size() && k < w.keyFrameMeasurementStart.size()) {
    // Green when the key frame is what the current frame is compared with.
    if (keyFrameShown_)
      glColor3ub(0, 255, 0);
    else
      glColor3ub(255, 128, 0);
    const u32 featureStart = view.Records()[k].featureStart;
    const u32 trackStart = w.keyFrameMeasurementStart[k];
    const auto& features = view.KeyFrameNormalized();
    for (u32 j = 0; j < offsets[kPyramidLevels]; ++j) {
      if (featureStart + j >= features.Size() || trackStart + j >= w.measurementTracks.size())
        break;
      line(w.measurementTracks[trackStart + j], features[featureStart + j].x,
           features[featureStart + j].y);
    }
  }
  glEnd();
}

void TrackerDisplay::DrawMatchOverlays() {
  if (!tracker_.HasWindow()) return;
  const u32 mode = settings_[kOverlayMode];
  const bool warped = ShownImageMap() != nullptr;
  int first, last;
  ShownLevels(shownLevel_, first, last);
  glPointSize(2.0f);
  glLineWidth(1.0f);
  if (!ShowingKeyFrame()) {
    if (!tracker_.Ring().Contains(shownRingFrame_)) return;
    const TrackerFrame& f = tracker_.Ring()[shownRingFrame_];
    for (int l = first; l <= last; ++l) {
      if (mode == 1) {
        glColor3ub(255, 0, 0);  // searched and not found, or lost in refinement
        DrawImageMatches(f.lost[l], l, warped);
        DrawProjectedImageMatches(f.misses[l], l, warped);
        glColor3ub(0, 255, 255);
        DrawImageMatches(f.candidates[l], l, warped);
      }
      glColor3ub(255, 255, 0);
      DrawMapMatches(f.mapMatches[l], l, warped);
    }
  } else {
    const TrackerMapView& view = tracker_.MapView();
    if (mode == 1) {
      // The key frame's own tracks where its pose puts their points.
      view.MarkKeyFrameTracks(shownKeyFrame_, trackMask_);
      for (u8& m : trackMask_) m = !m;
      glColor3ub(0, 255, 255);
      DrawMaskedFeatures(shownKeyFrame_, trackMask_, warped);
    }
    glColor3ub(255, 255, 0);
    for (int l = first; l <= last; ++l) DrawFeatureList(shownKeyFrame_, l, warped);
  }
  glPointSize(1.0f);
}

void TrackerDisplay::DrawMatch(float x, float y, const Intrinsic& level, u32 track, bool warped) {
  if (warped)
    DrawPointWarped(x, y, level);
  else
    DrawPoint(x, y, level);
  if (!IsSelected(track)) return;
  const float p[2] = {(x - level.cx[0]) * level.ifx[0], (y - level.cy[0]) * level.ify[0]};
  float q[2];
  if (WarpToCurrent(p, q)) DrawSquare(q[0], q[1], tracker_.Camera().intrinsic[0].fx[0]);
}

void TrackerDisplay::DrawMapMatches(const std::vector<MapMatch>& list, int level, bool warped) {
  const Intrinsic& k = tracker_.Camera().intrinsic[level];
  const CameraPose* pose = ShownPose();
  const AlignedArray<FeaturePatch>& patches = tracker_.MapView().Patches();
  float out[2];
  for (const MapMatch& m : list) {
    if (FilterTrack(m.track)) continue;
    DrawMatch(m.x, m.y, k, m.track, warped);
    if (trackLines_ && pose != nullptr) {
      const float predicted[2] = {(m.px - k.cx[0]) * k.ifx[0], (m.py - k.cy[0]) * k.ify[0]};
      if (warped)
        DrawTrackLineWarped(m.track, predicted, *pose, out);
      else
        DrawTrackLine(m.track, predicted, *pose, out);
    }
    if (!IsSelected(m.track)) continue;
    if (m.patch < patches.Size()) {
      if (warped)
        DrawPatchOutlineWarped(patches[m.patch]);
      else
        DrawPatchOutline(patches[m.patch]);
    }
  }
}

void TrackerDisplay::DrawImageMatches(const std::vector<ImageMatch>& list, int level, bool warped) {
  const Intrinsic& k = tracker_.Camera().intrinsic[level];
  for (const ImageMatch& m : list)
    if (!FilterTrack(m.track)) DrawMatch(m.x, m.y, k, m.track, warped);
}

void TrackerDisplay::DrawProjectedImageMatches(const std::vector<ImageMatch>& list, int level,
                                               bool warped) {
  // Where the search looked (drawn and picked there), and with track lines
  // the way to where the shown pose puts the point.
  DrawImageMatches(list, level, warped);
  const CameraPose* pose = ShownPose();
  if (!trackLines_ || pose == nullptr) return;
  const Intrinsic& k = tracker_.Camera().intrinsic[level];
  float out[2];
  for (const ImageMatch& m : list) {
    if (FilterTrack(m.track)) continue;
    const float predicted[2] = {(m.x - k.cx[0]) * k.ifx[0], (m.y - k.cy[0]) * k.ify[0]};
    if (warped)
      DrawTrackLineWarped(m.track, predicted, *pose, out);
    else
      DrawTrackLine(m.track, predicted, *pose, out);
  }
}

void TrackerDisplay::DrawFeatureList(u16 keyFrame, int level, bool warped) {
  const TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& w = view.Working();
  const u16* offsets = view.KeyFrameLevelOffsets(keyFrame);
  if (offsets == nullptr || keyFrame >= view.Records().size() ||
      keyFrame >= w.keyFrameMeasurementStart.size())
    return;
  const float focal = tracker_.Camera().intrinsic[0].fx[0];
  const u32 featureStart = view.Records()[keyFrame].featureStart;
  const u32 trackStart = w.keyFrameMeasurementStart[keyFrame];
  const auto& features = view.KeyFrameNormalized();
  const AlignedArray<FeaturePatch>& patches = view.Patches();
  float q[2];
  for (u32 j = offsets[level]; j < offsets[level + 1]; ++j) {
    if (featureStart + j >= features.Size() || trackStart + j >= w.measurementTracks.size()) break;
    const u32 track = w.measurementTracks[trackStart + j];
    if (FilterTrack(track)) continue;
    const float p[2] = {features[featureStart + j].x, features[featureStart + j].y};
    if (!WarpToCurrent(p, q)) continue;
    if (tracker_.HasWindow()) {
      glBegin(GL_POINTS);
      glVertex2f(q[0], q[1]);
      glEnd();
    }
    if (!IsSelected(track)) continue;
    DrawSquare(q[0], q[1], focal);
    if (track < patches.Size()) {
      if (warped)
        DrawPatchOutlineWarped(patches[track]);
      else
        DrawPatchOutline(patches[track]);
    }
  }
}

void TrackerDisplay::DrawMaskedFeatures(u16 keyFrame, const std::vector<u8>& mask, bool warped) {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  if (keyFrame >= w.keyFramePoses.Size()) return;
  const CameraPose& pose = w.keyFramePoses[keyFrame];
  if (!IsPoseValid(pose)) return;
  const float focal = tracker_.Camera().intrinsic[0].fx[0];
  const u32 n = static_cast<u32>(std::min(mask.size(), w.trackFlags.size()));
  float p[2], q[2], depth;
  for (u32 t = 0; t < n; ++t) {
    if (mask[t] || FilterTrack(t)) continue;
    if (warped)
      DrawTrackPointWarped(t, pose);
    else
      DrawTrackPoint(t, pose);
    if (IsSelected(t) && ProjectTrack(t, pose.m, p, depth) && WarpToCurrent(p, q))
      DrawSquare(q[0], q[1], focal);
  }
}
