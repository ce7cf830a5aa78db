// The status lines and the key-frame bar. Both compose what they show
// before they draw, so that without a window the text and the bar's
// opacities can still be read.
#include <GL/glew.h>
// clang-format off
#include <GL/freeglut.h>
// clang-format on

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tracker/FrameMeasures.h"
#include "tracker/ImageMaps.h"
#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

// Appends printf-style text to a line of kStatusLineLength bytes.
void Append(char* line, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(char* line, const char* format, ...) {
  const size_t used = std::strlen(line);
  if (used + 1 >= TrackerDisplay::kStatusLineLength) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + used, TrackerDisplay::kStatusLineLength - used, format, args);
  va_end(args);
}

// An RMS where FLT_MAX means none.
float ErrorOrNone(float rms) {
  return rms == FLT_MAX ? -1.0f : rms;
}

}  // namespace

void TrackerDisplay::ComposeStatus() {
  char* first = statusLines_[0];
  char* second = statusLines_[1];
  first[0] = second[0] = '\0';
  statusColour_[0] = 0, statusColour_[1] = 0, statusColour_[2] = 255;
  TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& w = view.Working();
  const FrameRing& ring = tracker_.Ring();
  const u16 cur = ring.Current();
  const bool key = ShowingKeyFrame();
  if (!key && !ring.Contains(shownRingFrame_)) return;

  u32 inliers = 0, solved = 0;
  for (const u8 f : w.trackFlags) {
    inliers += (f & kTrackInlier) ? 1 : 0;
    solved += (f & kTrackSolved) ? 1 : 0;
  }
  const u32 unsolved = static_cast<u32>(w.trackFlags.size()) - solved;
  const StageTimers& timers = tracker_.Timers();
  const double rate = timers.FrameRate();
  const auto appendTimes = [&] {
    Append(first, "FPS %.2f, FE %d, CT %d, IM %d, MU %d, OH %d, ISO %d",
           std::isfinite(rate) ? rate : 0.0, timers.MeanMilliseconds(kTimerFE),
           timers.MeanMilliseconds(kTimerCT), timers.MeanMilliseconds(kTimerIM),
           timers.MeanMilliseconds(kTimerMU), timers.MeanMilliseconds(kTimerOH),
           timers.MeanMilliseconds(kTimerISO));
  };
  const bool mapped = ShownItemMap() != nullptr && ring.Contains(cur);

  if (!key) {
    const TrackerFrame& f = ring[shownRingFrame_];
    if (f.candidate)
      statusColour_[0] = 0, statusColour_[1] = 255, statusColour_[2] = 0;
    else if (f.rejected)
      statusColour_[0] = 255, statusColour_[1] = 0, statusColour_[2] = 0;
    Append(first, "[%d] T %f, ", static_cast<int>(f.number), f.time);
    appendTimes();
    Append(second, "Frames %d, Points %d / %d + %d", static_cast<int>(w.keyFrameFlags.size()),
           static_cast<int>(inliers), static_cast<int>(solved), static_cast<int>(unsolved));
    if (shownLevel_ >= kPyramidLevels) {
      Append(second, ", Matches %d + %d", static_cast<int>(f.inlierCount),
             static_cast<int>(f.unsolvedCount));
    } else {
      u32 in = 0, out = 0;
      for (const MapMatch& m : f.mapMatches[shownLevel_]) {
        const u8 flags = m.track < w.trackFlags.size() ? w.trackFlags[m.track] : 0;
        in += (flags & kTrackInlier) ? 1 : 0;
        out += (flags & kTrackSolved) ? 0 : 1;
      }
      Append(second, ", Level %d, Matches %d + %d", static_cast<int>(shownLevel_),
             static_cast<int>(in), static_cast<int>(out));
    }
    const u32 slot = settings_[kPoseSlot] < 3 ? settings_[kPoseSlot] : u32{kVisual};
    const float error = mapped ? imageMaps_->CollectFrameCorrespondences(shownRingFrame_, cur,
                                                                         correspondA_, correspondB_)
                               : measures_->ComputeFrameRms(shownRingFrame_, f.pose.slot[slot]);
    Append(second, ", Error %.2f", ErrorOrNone(error));
    Append(second, ", Disp %.2f, Lost %d%%, Matched %d%%, New %d%%", f.parallax,
           static_cast<int>(f.mapCoverage * 100.0f), static_cast<int>(f.imageCoverage * 100.0f),
           static_cast<int>(f.combinedCoverage * 100.0f));
  } else {
    const u16 k = shownKeyFrame_;
    const bool provisional = k < w.keyFrameFlags.size() && (w.keyFrameFlags[k] & kKeyFrameWeak);
    statusColour_[0] = provisional ? 255 : 0, statusColour_[1] = provisional ? 0 : 255;
    statusColour_[2] = 0;
    const double time = k < w.keyFrameStates.Size() ? w.keyFrameStates[k].time : 0.0;
    Append(first, "[%d] T %f, ", static_cast<int>(view.KeyFrameNumber(k)), time);
    appendTimes();
    Append(second, "Frame %d, Points %d / %d + %d", static_cast<int>(k), static_cast<int>(inliers),
           static_cast<int>(solved), static_cast<int>(unsolved));
    const u16* offsets = view.KeyFrameLevelOffsets(k);
    if (shownLevel_ >= kPyramidLevels) {
      const u32 in = view.CountKeyFrameTracks(k, kTrackInlier);
      const u32 sol = view.CountKeyFrameTracks(k, kTrackSolved);
      const u32 all = offsets ? offsets[kPyramidLevels] : 0;
      Append(second, ", Inliers %d / %d + %d", static_cast<int>(in), static_cast<int>(sol),
             static_cast<int>(all - std::min(all, sol)));
    } else {
      const int l = shownLevel_;
      const u32 in = view.CountKeyFrameTracksWithFlags(k, l, kTrackInlier);
      const u32 sol = view.CountKeyFrameTracksWithFlags(k, l, kTrackSolved);
      const u32 all = offsets ? offsets[l + 1] - offsets[l] : 0;
      Append(second, ", Level %d, Inliers %d / %d + %d", l, static_cast<int>(in),
             static_cast<int>(sol), static_cast<int>(all - std::min(all, sol)));
    }
    const float error =
        mapped ? imageMaps_->CollectKeyFrameCorrespondences(k, cur, correspondA_, correspondB_)
               : measures_->ComputeKeyFrameRms(k);
    Append(second, ", Error %.2f", ErrorOrNone(error));
  }
  const u32 planes = w.planes.Size();
  if (selectedPlane_ < planes)
    Append(
        second, ", Plane %d (%d)", static_cast<int>(selectedPlane_),
        static_cast<int>(selectedPlane_ < planeCounts_.size() ? planeCounts_[selectedPlane_] : 0));
  else if (selectedPlane_ == planes)
    Append(second, ", Planes %d", static_cast<int>(planes));
}

void TrackerDisplay::DrawStatus() {
  ComposeStatus();
  if (!tracker_.HasWindow()) return;
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  glColor3ub(statusColour_[0], statusColour_[1], statusColour_[2]);
  Viewer::DrawTextTopLeft("%s", statusLines_[0]);
  glRasterPos2i(15, viewport[3] - 15);
  Viewer::DrawText("%s", statusLines_[1]);
  const TrackerStatus& status = tracker_.Status();
  const char* lost = status.recovering   ? "VISUAL LOST"
                     : status.serverFlag ? "SERVER LOST"
                                         : nullptr;
  if (lost != nullptr) {
    glColor3ub(255, 0, 0);
    glRasterPos2i(viewport[2] / 2 - 80, viewport[3] / 2 + 10);
    for (const char* c = lost; *c != '\0'; ++c) glutBitmapCharacter(GLUT_BITMAP_TIMES_ROMAN_24, *c);
  }
}

void TrackerDisplay::ComputeKeyFrameBar() {
  TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& w = view.Working();
  const FrameRing& ring = tracker_.Ring();
  const u32 K = view.KeyFrameCount(), N = ring.Size();
  barOpacity_.assign(K + N, 0);
  const bool key = ShowingKeyFrame();
  if (key)
    view.MarkKeyFrameTracks(shownKeyFrame_, trackMask_);
  else if (ring.Contains(shownRingFrame_))
    view.MarkFrameTracks(ring[shownRingFrame_], trackMask_);
  else
    return;
  u32 matches = 0;
  for (const u8 m : trackMask_) matches += m;
  // Nothing matched: every bar stays clear rather than dividing by zero.
  if (matches == 0) return;
  const float gain = 255.0f * scales_[kBarScale] / static_cast<float>(matches);
  const auto opacity = [&](u32 n) {
    return static_cast<u8>(std::min(255.0f, static_cast<float>(n) * gain));
  };
  for (u32 k = 0; k < K && k + 1 < w.keyFrameMeasurementStart.size(); ++k) {
    u32 n = 0;
    for (u32 i = w.keyFrameMeasurementStart[k]; i < w.keyFrameMeasurementStart[k + 1]; ++i) {
      const u32 t = w.measurementTracks[i];
      n += (t < trackMask_.size() && trackMask_[t]) ? 1 : 0;
    }
    barOpacity_[k] = opacity(n);
  }
  if (!ring.Contains(ring.Current())) return;
  for (u16 s = 0; s < N; ++s)
    barOpacity_[DisplayIndexOfSlot(s)] = opacity(view.CountMarkedMapMatches(ring[s], trackMask_));
}

void TrackerDisplay::DrawKeyFrameBar() {
  ComputeKeyFrameBar();
  if (!tracker_.HasWindow() || barOpacity_.empty()) return;
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  const float width = static_cast<float>(viewport[2] - 20) / static_cast<float>(barOpacity_.size());
  const float top = static_cast<float>(viewport[3] - 69 - 20), bottom = top + 40.0f;
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glBegin(GL_QUADS);
  for (size_t i = 0; i < barOpacity_.size(); ++i) {
    const float x0 = 10.0f + width * static_cast<float>(i), x1 = x0 + width;
    glColor4ub(255, 0, 255, barOpacity_[i]);
    glVertex2f(x0, top);
    glVertex2f(x0, bottom);
    glVertex2f(x1, bottom);
    glVertex2f(x1, top);
  }
  glEnd();
  glDisable(GL_BLEND);
}
