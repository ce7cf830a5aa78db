// Key frames leave the map in two ways: the newest one is popped again (a
// provisional key frame that did not hold), or the oldest are trimmed away
// once the map is long. Either way every index the tracker keeps into the
// map's key frames, tracks and patches follows.
#include <algorithm>
#include <cstring>

#include "tracker/KeyFrameHandOver.h"

namespace {

constexpr u32 kCandidatePoints = 30;      // inliers and unsolved a candidate needs
constexpr f32 kCandidateLoss = 0.6f;      // largest lost fraction of a candidate
constexpr f32 kCandidateMatched = 0.02f;  // least matched fraction of a candidate

// Keeps the records whose patch and track the map still holds.
template <class Record>
void KeepBelow(std::vector<Record>& list, u32 patches, u32 tracks) {
  list.erase(
      std::remove_if(list.begin(), list.end(),
                     [&](const Record& m) { return m.patch >= patches || m.track >= tracks; }),
      list.end());
}

// A key-frame link after the first `dropped` key frames went.
u16 ShiftLink(u16 link, u32 dropped) {
  return link == kNone16 || link < dropped ? kNone16 : static_cast<u16>(link - dropped);
}

// Moves the elements [from, size) of an array to its front.
template <class T>
void DropFront(AlignedArray<T>& a, u32 from) {
  from = std::min(from, a.Size());
  const u32 kept = a.Size() - from;
  if (kept > 0 && from > 0)
    std::memmove(static_cast<void*>(a.Data()), a.Data() + from, sizeof(T) * kept);
  a.Resize(kept);
}

}  // namespace

u16 KeyFrameHandOver::PopKeyFrame() {
  TrackerMapView& view = c_.mapView;
  FrameRing& ring = c_.ring;
  const u32 count = view.KeyFrameCount();
  if (count == 0) return kNone16;
  const u16 k = static_cast<u16>(count - 1);
  view.Map().PopKeyFrame(1, "Tracker");
  view.ForgetOwnPoints();
  view.Synchronize();

  // Everything key frame k added to the tracker's arrays goes with it.
  std::vector<KeyFrameRecord>& records = view.Records();
  if (k < records.size()) {
    view.Patches().Resize(std::min(view.Patches().Size(), records[k].firstPatch[0]));
    const u32 features = records[k].featureStart;
    view.KeyFramePixels().Resize(std::min(view.KeyFramePixels().Size(), features));
    view.KeyFrameNormalized().Resize(std::min(view.KeyFrameNormalized().Size(), features));
    records.resize(k);
  }
  if (view.KeyFrameMaps().Size() > k) view.KeyFrameMaps().Resize(k);
  const u32 patches = view.Patches().Size();
  const u32 tracks = static_cast<u32>(view.Working().trackFlags.size());

  // Back from the current frame to the frame that was key frame k: no match
  // of a track or patch that went.
  const u16 cur = ring.Current();
  const auto strip = [&](u16 j) {
    TrackerFrame& g = ring[j];
    for (int l = 0; l < kPyramidLevels; ++l) {
      KeepBelow(g.mapMatches[l], patches, tracks);
      KeepBelow(g.candidates[l], patches, tracks);
      KeepBelow(g.lost[l], patches, tracks);
      KeepBelow(g.misses[l], patches, tracks);
    }
    g.inlierCount = static_cast<u16>(view.CountInlierMapMatches(g));
    g.unsolvedCount = static_cast<u16>(view.CountUnsolvedMapMatches(g));
    g.mapCoverage = measures_.ComputeMapCoverage(j);
    g.imageCoverage = measures_.ComputeImageCoverage(j);
    g.combinedCoverage = measures_.ComputeCombinedCoverage(j);
    g.candidate = g.inlierCount + g.unsolvedCount >= kCandidatePoints &&
                  g.mapCoverage <= kCandidateLoss && g.imageCoverage >= kCandidateMatched;
    if (g.keyFrame == k) {
      g.keyFrame = kNone16;
      for (int l = 0; l < kPyramidLevels; ++l) {
        g.kltPixels[l].Clear();
        g.kltNormalized[l].Clear();
      }
      return false;
    }
    return g.keyFrame == kNone16;
  };
  if (ring.Contains(cur) && strip(cur)) ring.WalkBack(cur, strip);

  // No link may name key frame k any more; the parallax link falls back to
  // the near key frame.
  const TrackingMode mode{true, false};
  for (u16 i = 0; i < ring.Size(); ++i) {
    TrackerFrame& g = ring[i];
    view.ComputeFrameStatistics(g);
    for (u16* link : {&g.keyFrame, &g.relocalisationKeyFrame, &g.nearKeyFrame, &g.alignedKeyFrame,
                      &g.imuKeyFrame, &g.provisionalKeyFrame})
      if (*link != kNone16 && *link >= k) *link = kNone16;
    if (g.parallaxKeyFrame == kNone16) continue;
    g.parallaxKeyFrame = kNone16;
    if (g.nearKeyFrame != kNone16) {
      MeasureAgainst(i, g.nearKeyFrame, mode);
    } else {
      g.parallax = g.baseline = 0.0f;
      g.baselineRatio = 1.0f;
    }
  }
  return k;
}

u32 KeyFrameHandOver::TrimKeyFrames() {
  TrackerMapView& view = c_.mapView;
  FrameRing& ring = c_.ring;
  const u32 count = view.KeyFrameCount();
  if (count <= kKeptKeyFrames) return FirstKeyFrameNumber();
  // Queued items carry key-frame and track indices that are about to move.
  c_.links.WaitForWorkers();
  const u32 first = count - kKeptKeyFrames;

  std::vector<KeyFrameRecord>& records = view.Records();
  const u32 patchShift = first < records.size() ? records[first].firstPatch[0] : 0;
  const u32 featureShift = first < records.size() ? records[first].featureStart : 0;
  records.erase(records.begin(), records.begin() + std::min<size_t>(first, records.size()));
  for (KeyFrameRecord& r : records) {
    for (u32& p : r.firstPatch) p -= patchShift;
    r.featureStart -= featureShift;
  }
  AlignedArray<FeaturePatch>& patches = view.Patches();
  DropFront(patches, patchShift);
  for (FeaturePatch& p : patches) p.keyFrame = ShiftLink(p.keyFrame, first);
  DropFront(view.KeyFramePixels(), featureShift);
  DropFront(view.KeyFrameNormalized(), featureShift);
  DropFront(view.KeyFrameMaps(), first);

  view.Map().RemoveKeyFramesBefore(static_cast<u16>(first), trackMap_, "Tracker");
  // Pulled first, so that the counts read the renumbered tracks' flags.
  view.ForgetOwnPoints();
  view.Synchronize();
  for (u16 i = 0; i < ring.Size(); ++i) view.UpdateFrameCounts(ring[i], trackMap_, patchShift);
  // An object anchored on a dropped key frame is frozen where it stands.
  for (TrackerObject& o : c_.objects.List()) o.anchorKeyFrame = ShiftLink(o.anchorKeyFrame, first);

  const TrackingMode mode{true, false};
  for (u16 i = 0; i < ring.Size(); ++i) {
    TrackerFrame& g = ring[i];
    for (u16* link : {&g.keyFrame, &g.relocalisationKeyFrame, &g.nearKeyFrame, &g.parallaxKeyFrame,
                      &g.alignedKeyFrame, &g.imuKeyFrame, &g.provisionalKeyFrame})
      *link = ShiftLink(*link, first);
    g.sceneDepth = measures_.ComputeMeanDepth(i);
    const u16 k = g.parallaxKeyFrame != kNone16 ? g.parallaxKeyFrame : g.nearKeyFrame;
    if (k != kNone16) MeasureAgainst(i, k, mode);
  }
  return FirstKeyFrameNumber();
}

u32 KeyFrameHandOver::FirstKeyFrameNumber() const {
  const MapWorkingCopy& w = c_.mapView.Working();
  return w.keyFrames.empty() ? 0u : w.keyFrames[0].frameId;
}
