// Picking for the double click: each list offers the entries drawn within
// the tolerance of the click, at the positions the overlays draw them, and
// the nearest wins (a later equal one over an earlier one).
#include <algorithm>
#include <cmath>

#include "tracker/Tracker.h"
#include "tracker/TrackerDisplay.h"

namespace {

// Offers p for track; true when it became the best.
bool Offer(const float click[2], const float tolerance[2], const float p[2], u32 track, u32& id,
           float& distance) {
  const float dx = p[0] - click[0], dy = p[1] - click[1];
  if (!(std::fabs(dx) < tolerance[0] && std::fabs(dy) < tolerance[1])) return false;
  const float d = dx * dx + dy * dy;
  if (d > distance) return false;
  id = track;
  distance = d;
  return true;
}

// A level pixel in normalised coordinates.
void Normalise(const Intrinsic& k, float x, float y, float out[2]) {
  out[0] = (x - k.cx[0]) * k.ifx[0];
  out[1] = (y - k.cy[0]) * k.ify[0];
}

// Offers every entry of a match list at its level pixel, carried through the
// shown item's image map.
template <class Match>
bool PickMatchList(const TrackerDisplay& d, const Intrinsic& k, const float click[2],
                   const float tolerance[2], const std::vector<Match>& list, u32& id,
                   float& distance) {
  bool found = false;
  float p[2], q[2];
  for (const Match& m : list) {
    if (d.FilterTrack(m.track)) continue;
    Normalise(k, m.x, m.y, p);
    if (d.WarpToCurrent(p, q)) found |= Offer(click, tolerance, q, m.track, id, distance);
  }
  return found;
}

}  // namespace

bool TrackerDisplay::PickMapMatch(const float click[2], const float tolerance[2],
                                  const std::vector<MapMatch>& list, int level, u32& id,
                                  float& distance) {
  return PickMatchList(*this, tracker_.Camera().intrinsic[level], click, tolerance, list, id,
                       distance);
}

bool TrackerDisplay::PickImageMatch(const float click[2], const float tolerance[2],
                                    const std::vector<ImageMatch>& list, int level, u32& id,
                                    float& distance) {
  return PickMatchList(*this, tracker_.Camera().intrinsic[level], click, tolerance, list, id,
                       distance);
}

bool TrackerDisplay::PickProjectedImageMatch(const float click[2], const float tolerance[2],
                                             const std::vector<ImageMatch>& list, int level,
                                             u32& id, float& distance) {
  // The projected lists keep level pixels too: the same positions.
  return PickImageMatch(click, tolerance, list, level, id, distance);
}

bool TrackerDisplay::PickMaskedFeature(const float click[2], const float tolerance[2], u16 keyFrame,
                                       int level, u32& id, float& distance) {
  const TrackerMapView& view = tracker_.MapView();
  const MapWorkingCopy& w = view.Working();
  bool found = false;
  float q[2];
  auto offer = [&](const LA::Vector2<float>& x, u32 track) {
    if (FilterTrack(track)) return;
    const float p[2] = {x.x, x.y};
    if (WarpToCurrent(p, q)) found |= Offer(click, tolerance, q, track, id, distance);
  };
  if (level >= kPyramidLevels) {
    // The fifth pass: every level as the shared map holds it.
    for (u8 l = 0; l < kPyramidLevels; ++l) {
      view.Map().GetKeyFrameFeatures(keyFrame, l, pickFeatures_, pickTracks_);
      const u32 n = std::min(pickFeatures_.Size(), static_cast<u32>(pickTracks_.size()));
      for (u32 j = 0; j < n; ++j) offer(pickFeatures_[j], pickTracks_[j]);
    }
    return found;
  }
  TrackerMapView::FeatureSpan span;
  if (!view.KeyFrameFeatures(keyFrame, span)) return false;
  const auto& features = view.KeyFrameNormalized();
  const u32 end = std::min<u32>(span.levelOffsets[level + 1], span.count);
  for (u32 j = span.levelOffsets[level]; j < end; ++j)
    offer(features[span.first + j], w.measurementTracks[span.trackStart + j]);
  return found;
}

bool TrackerDisplay::PickFeature(const float click[2], const float tolerance[2],
                                 const std::vector<u8>& mask, const CameraPose& pose, u32& id,
                                 float& distance) {
  bool found = false;
  float p[2], q[2], depth;
  const u32 n = static_cast<u32>(mask.size());
  for (u32 t = 0; t < n; ++t) {
    if (!mask[t] || FilterTrack(t) || !ProjectTrack(t, pose.m, p, depth)) continue;
    if (WarpToCurrent(p, q)) found |= Offer(click, tolerance, q, t, id, distance);
  }
  return found;
}

bool TrackerDisplay::PickTrackPoint(const float click[2], const float tolerance[2],
                                    const ViewPose& pose, u32& id, float& distance) {
  const u32 n = static_cast<u32>(tracker_.MapView().Working().trackFlags.size());
  bool found = false;
  float p[2], depth;
  for (u32 t = 0; t < n; ++t)
    if (!FilterTrack(t) && ProjectTrack(t, pose.m, p, depth))
      found |= Offer(click, tolerance, p, t, id, distance);
  return found;
}

u32 TrackerDisplay::FindSelectedPatchOfKeyFrame(u16 keyFrame) const {
  const AlignedArray<FeaturePatch>& patches = tracker_.MapView().Patches();
  const u32 n = static_cast<u32>(selectedPatches_.size());
  for (u32 i = 0; i < n; ++i)
    if (selectedPatches_[i] < patches.Size() && patches[selectedPatches_[i]].keyFrame == keyFrame)
      return i;
  return n;
}
