// The printouts of a selected track or plane on standard output, and the
// plane selection the views and the track filter read.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

const char kDashLine[] = "----------------------------------------------------------------\n";

// The pixel of a point under a pose with a level's intrinsics; false behind it.
bool ProjectPixel(const CameraPose& pose, const Intrinsic& k, const float X[3], float uv[2]) {
  float c[3];
  for (int r = 0; r < 3; ++r)
    c[r] = pose.m[r][0] * X[0] + pose.m[r][1] * X[1] + pose.m[r][2] * X[2] + pose.m[r][3];
  if (!(c[2] > 0.0f)) return false;
  uv[0] = k.fx[0] * c[0] / c[2] + k.cx[0];
  uv[1] = k.fy[0] * c[1] / c[2] + k.cy[0];
  return true;
}

// Prints plane p of the working copy with its ground flag.
void PrintMapPlane(const MapWorkingCopy& w, u32 p) {
  PrintPlane(static_cast<u16>(p), p < w.planeFlags.size() && (w.planeFlags[p] & kPlaneGround),
             w.planes[p].v);
}

}  // namespace

void PrintPlane(u16 plane, bool groundFlag, const float equation[4]) {
  std::printf("Plane %d", static_cast<int>(plane));
  if (groundFlag) std::printf(", GROUND");
  std::printf("\n");
  std::printf("  (%f, %f, %f, %f)\n", equation[0], equation[1], equation[2], equation[3]);
}

void TrackerDisplay::SelectPlane(u16 plane, bool print) {
  const MapWorkingCopy& w = tracker_.MapView().Working();
  const u32 count = w.planes.Size();
  planeShown_.assign(count, 0);
  // Past the count nothing is selected, also once planes are added later.
  selectedPlane_ = plane <= count ? plane : kNone16;
  if (plane < count) {
    planeShown_[plane] = 1;
    if (print) {
      std::printf("%s", kDashLine);
      PrintMapPlane(w, plane);
    }
  } else if (plane == count) {
    for (u8& shown : planeShown_) shown = 1;
    if (print) {
      std::printf("%s", kDashLine);
      for (u32 p = 0; p < count; ++p) PrintMapPlane(w, p);
    }
  }
}

void TrackerDisplay::PrintSelection(u32 track) {
  TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& w = view.Working();
  if (track >= w.trackFlags.size()) {
    selectedTracks_[0] = selectedTracks_[1] = kNone32;
    selectedPatches_.clear();
    return;
  }
  if (track != selectedTracks_[0]) {
    selectedTracks_[1] = selectedTracks_[0];
    selectedTracks_[0] = track;
  }
  selectedPatches_.clear();
  if (track < view.Patches().Size()) selectedPatches_.push_back(track);  // one patch per track
  u32 resolved = track;
  view.Map().GetTrackMeasurements(resolved, measurementKeyFrames_, measurementFeatures_);

  const u8 flags = w.trackFlags[track];
  const bool solved = (flags & kTrackSolved) && track < w.points.Size();
  std::printf("%s", kDashLine);
  std::printf("Track %d", static_cast<int>(track));
  if (flags & kTrackSolved)
    std::printf((flags & kTrackInlier) ? ", INLIER" : ", OUTLIER");
  else
    std::printf(", UNSOLVED");
  if (flags & kTrackMerged) std::printf(", MERGED");
  if (flags & kTrackSurf) std::printf(", SURF");
  if (flags & kTrackImu) std::printf(", IMU");
  if (flags & kTrackMarker) std::printf(", MARKER");
  if (flags & kTrackUnreliable) std::printf(", UNRELIABLE");
  std::printf("\n");
  const float* X = solved ? w.points[track].v : nullptr;
  if (solved) std::printf("  (%f, %f, %f)\n", X[0], X[1], X[2]);
  const u16 plane = track < w.trackPlanes.size() ? w.trackPlanes[track] : kNone16;
  if (plane < w.planes.Size()) PrintMapPlane(w, plane);

  for (const u32 p : selectedPatches_) {
    const FeaturePatch& patch = view.Patches()[p];
    std::printf("Patch %d, Frame %d", static_cast<int>(p), static_cast<int>(patch.keyFrame));
    if (patch.flags & kPatchReliable) std::printf(", RELIABLE");
    std::printf(", Tracked = %d, Lost = %d\n", static_cast<int>(patch.trackedCount),
                static_cast<int>(patch.lostCount));
  }

  const TrackerCamera& camera = tracker_.Camera();
  const size_t n = std::min(measurementKeyFrames_.size(), measurementFeatures_.size());
  for (size_t i = 0; i < n; ++i) {
    const u16 k = measurementKeyFrames_[i], feature = measurementFeatures_[i];
    const u16* offsets = view.KeyFrameLevelOffsets(k);
    int level = 0;
    while (offsets != nullptr && level + 1 < kPyramidLevels && feature >= offsets[level + 1])
      ++level;
    const u32 index =
        k < view.Records().size() ? view.Records()[k].featureStart + feature : kNone32;
    const bool known = index < view.KeyFramePixels().Size();
    const LA::Vector2<float> px = known ? view.KeyFramePixels()[index] : LA::Vector2<float>{0, 0};
    std::printf("%s", ShowingKeyFrame() && k == shownKeyFrame_ ? "  *" : "   ");
    std::printf("%d: Frame %d, Feature %d, Level %d", static_cast<int>(i + 1), static_cast<int>(k),
                static_cast<int>(feature - (offsets ? offsets[level] : 0)), level);
    float uv[2];
    if (solved && known && k < w.keyFramePoses.Size() &&
        ProjectPixel(w.keyFramePoses[k], camera.intrinsic[level], X, uv)) {
      std::printf(", (%.1f, %.1f), Error = %f\n", px.x, px.y,
                  std::hypot(uv[0] - px.x, uv[1] - px.y));
    } else {
      std::printf(", (%.1f, %.1f)\n", px.x, px.y);
    }
  }

  const FrameRing& ring = tracker_.Ring();
  if (ring.Contains(ring.Current())) {
    // Oldest to current, as the display indices run.
    for (u16 i = 0, s = ring.Next(ring.Current()); i < ring.Size(); ++i, s = ring.Next(s)) {
      const TrackerFrame& f = ring[s];
      for (int l = 0; l < kPyramidLevels; ++l) {
        for (size_t j = 0; j < f.mapMatches[l].size(); ++j) {
          const MapMatch& m = f.mapMatches[l][j];
          if (m.track != track) continue;
          std::printf("  [%d]: Match %d, Level %d", static_cast<int>(f.number), static_cast<int>(j),
                      l);
          float uv[2];
          const CameraPose& pose = f.pose.slot[kVisual];
          if (solved && IsPoseValid(pose) && ProjectPixel(pose, camera.intrinsic[l], X, uv))
            std::printf(", ||(%.1f, %.1f) - (%.1f, %.1f)|| = %.1f", uv[0], uv[1], m.x, m.y,
                        std::hypot(uv[0] - m.x, uv[1] - m.y));
          else
            std::printf(", (%.1f, %.1f)", m.x, m.y);
          std::printf("\n");
        }
      }
    }
  }
  PrintSelectedLine();
}
