// What a loaded tracker section must satisfy before it replaces the live
// state: every later stage indexes with these numbers unchecked.
#include <cstring>
#include <string>

#include "la/LinearAlgebra.h"
#include "mapping/GlobalMap.h"
#include "tracker/StateFileFormat.h"
#include "tracker/TrackerCamera.h"

namespace {

struct Limits {
  u32 keyFrames, tracks, planes, patches, ring;
};

bool Fail(std::string* fault, const std::string& what) {
  if (fault) *fault = what;
  return false;
}

bool SlotOk(u16 slot, u32 ring) {
  return slot == kNone16 || slot < ring;
}
bool KeyFrameOk(u16 k, u32 keyFrames) {
  return k == kNone16 || k < keyFrames;
}

// Level l of a frame is empty or the camera's size halved l times.
template <class Pixel>
bool SizeOk(const CVD::Image<Pixel>& image, int w, int h) {
  const CVD::ImageRef s = image.size();
  return (s.x == 0 && s.y == 0) || (s.x == w && s.y == h);
}

bool MatchesOk(const std::vector<MapMatch>& list, const Limits& n, u32 corners) {
  for (const MapMatch& m : list)
    if (m.track >= n.tracks || m.patch >= n.patches || (m.corner != kNone32 && m.corner >= corners))
      return false;
  return true;
}

// warpSpan: how many records from `warp` on must exist (2 for a forward and
// inverse pair, 1 for a hypothesis record).
bool ImageMatchesOk(const std::vector<ImageMatch>& list, const Limits& n, u32 warps, u32 warpSpan) {
  for (const ImageMatch& m : list) {
    if (m.track >= n.tracks || m.patch >= n.patches) return false;
    if (m.warp != kNone32 && (m.warp >= warps || warps - m.warp < warpSpan)) return false;
  }
  return true;
}

bool Monotone(const u32* v, u32 count, u32 end) {
  for (u32 i = 0; i < count; ++i)
    if (v[i] > end || (i > 0 && v[i] < v[i - 1])) return false;
  return true;
}

bool FrameOk(const TrackerFrame& f, const Limits& n, const TrackerCamera& camera,
             std::string* fault) {
  for (int l = 0; l < kPyramidLevels; ++l)
    if (!SizeOk(f.pyramid[l], camera.width >> l, camera.height >> l))
      return Fail(fault, "pyramid size");
  if (!SizeOk(f.colour, camera.width, camera.height)) return Fail(fault, "colour image size");
  const CVD::ImageRef a = f.alignmentImage.size(), g = f.gradientImage.size();
  if (a.x > camera.width || a.y > camera.height || !(a == g || (g.x == 0 && g.y == 0)))
    return Fail(fault, "alignment image size");
  const CVD::ImageRef s = f.small.image.size();
  if (s.x > camera.width || s.y > camera.height) return Fail(fault, "small image size");
  if (f.warps.Size() % 2 != 0 || f.hypotheses.Size() % 33 != 0)
    return Fail(fault, "warp record count");
  for (int l = 0; l < kPyramidLevels; ++l) {
    const FeatureGrid& grid = f.corners[l];
    if (!Monotone(grid.rowStarts.data(), static_cast<u32>(grid.rowStarts.size()),
                  grid.corners.Size()))
      return Fail(fault, "corner row starts");
    if (f.kltPixels[l].Size() != f.kltNormalized[l].Size()) return Fail(fault, "feature lists");
    if (!MatchesOk(f.mapMatches[l], n, grid.corners.Size())) return Fail(fault, "map match index");
    if (!ImageMatchesOk(f.candidates[l], n, f.warps.Size(), 2) ||
        !ImageMatchesOk(f.lost[l], n, f.warps.Size(), 2) ||
        !ImageMatchesOk(f.misses[l], n, f.hypotheses.Size(), 1))
      return Fail(fault, "image match index");
  }
  for (u16 k : {f.keyFrame, f.relocalisationKeyFrame, f.nearKeyFrame, f.parallaxKeyFrame,
                f.alignedKeyFrame, f.imuKeyFrame, f.provisionalKeyFrame})
    if (!KeyFrameOk(k, n.keyFrames)) return Fail(fault, "frame key-frame link");
  return true;
}

bool WorkingOk(const StagedTrackerState& s, const Limits& n, std::string* fault) {
  const MapWorkingCopy& w = s.working;
  if (w.keyFrameStates.Size() != n.keyFrames || w.keyFramePoses.Size() != n.keyFrames ||
      w.cameraCenters.Size() != n.keyFrames || w.keyFrameFlags.size() != n.keyFrames ||
      s.records.size() > n.keyFrames || s.keyFrameMaps.Size() > n.keyFrames)
    return Fail(fault, "key-frame array size");
  // A tracker that only views a map keeps no patches; one that tracks keeps
  // one per track.
  if (w.trackPlanes.size() != n.tracks || w.trackFlags.size() != n.tracks ||
      s.patches.Size() > n.tracks)
    return Fail(fault, "track array size");
  if (w.planeFlags.size() != n.planes) return Fail(fault, "plane array size");
  if (s.ringMaps.Size() != n.ring) return Fail(fault, "ring image maps");
  // One start per key frame and the end.
  const std::vector<u32>& starts = w.keyFrameMeasurementStart;
  if (starts.size() != n.keyFrames + 1u || starts[0] != 0 ||
      !Monotone(starts.data(), n.keyFrames + 1, static_cast<u32>(w.measurementTracks.size())) ||
      starts.back() != w.measurementTracks.size())
    return Fail(fault, "track-list starts");
  for (u32 t : w.measurementTracks)
    if (t >= n.tracks) return Fail(fault, "track-list index");
  for (u16 p : w.trackPlanes)
    if (p != kNone16 && p >= n.planes) return Fail(fault, "track plane index");
  for (const FeaturePatch& p : s.patches)
    if (!KeyFrameOk(p.keyFrame, n.keyFrames) || p.level >= kPyramidLevels)
      return Fail(fault, "patch key frame or level");
  if (s.keyFramePixels.Size() != s.keyFrameNormalized.Size())
    return Fail(fault, "key-frame feature arrays");
  for (u32 k = 0; k < s.records.size(); ++k) {
    const KeyFrameRecord& r = s.records[k];
    const u32 previousEnd = k > 0 ? s.records[k - 1].firstPatch[kPyramidLevels] : 0;
    const u32 previousStart = k > 0 ? s.records[k - 1].featureStart : 0;
    if (r.firstPatch[0] < previousEnd ||
        !Monotone(r.firstPatch, kPyramidLevels + 1, s.patches.Size()) ||
        r.featureStart < previousStart || r.featureStart > s.keyFramePixels.Size())
      return Fail(fault, "key-frame records");
  }
  for (const TrackerObject& o : s.objects) {
    if (!KeyFrameOk(o.anchorKeyFrame, n.keyFrames) || o.features.Size() != o.points.Size() ||
        o.transforms.Size() > 3)
      return Fail(fault, "object");
    if (o.anchorKeyFrame == kNone16) continue;
    const u32 features = starts[o.anchorKeyFrame + 1] - starts[o.anchorKeyFrame];
    for (u16 i : o.features)
      if (i >= features) return Fail(fault, "object feature index");
  }
  return true;
}

// A stored view drives the mouse's unprojections and the trackball: finite
// throughout, its switches in range, the plane selection as SelectPlane
// leaves it (one plane, all of them, or none).
bool DisplayOk(const DisplayViewState& v) {
  if (!v.Stored()) return true;
  const Arcball& a = v.arcball;
  if (!LA::AllFinite(&v.rotation[0][0], 12) || !LA::AllFinite(v.pivot, 4) ||
      !LA::AllFinite(&v.pose.m[0][0], 12) || !LA::AllFinite(v.frustumSize, 4) ||
      !LA::AllFinite(a.centre, 3) || !LA::AllFinite(&a.radius, 1) || !LA::AllFinite(a.start, 3) ||
      !LA::AllFinite(&a.startRotation[0][0], 9) || !LA::AllFinite(&v.pivotDepth, 1) ||
      !LA::AllFinite(v.translation, 4) || !LA::AllFinite(&v.wheelStep, 1))
    return false;
  if (v.imageView > 1 || v.poseView > 1 || v.planeFilter > 1 || v.shownLevel > 5) return false;
  if (v.selectedPlane != kNone16 && v.selectedPlane > v.planeShown.size()) return false;
  for (const u8 shown : v.planeShown)
    if (shown > 1) return false;
  return true;
}

// Counters as a run leaves them: it counts from -1 up to its last counter,
// starts and ends at such a frame (or never), has sent none of the frames
// still to come and has rejected at most one per frame.
bool CountersOk(const TrackerStatus& st, i32 lastSentFrame) {
  const auto frame = [](i32 v) { return v >= -1 && v <= kLastFrameCounter; };
  const auto frameOrNever = [&](i32 v) { return frame(v) || v == kUnsetCounter; };
  return frame(st.frameCounter) && frameOrNever(st.startFrame) && frameOrNever(st.endFrame) &&
         lastSentFrame >= -1 && lastSentFrame <= st.frameCounter && st.rejectedCount >= 0 &&
         st.rejectedCount <= st.frameCounter + 1;
}

// The map's copy of the camera mounting: the tracker's, bit for bit, or as
// earlier builds left it after an adjustment, rounded to float.
bool SameMounting(const f64 stored[7], const CameraOffset& camera) {
  for (int i = 0; i < 7; ++i) {
    const f64 v = i < 4 ? camera.quaternion[i] : camera.position[i - 4];
    if (std::memcmp(&stored[i], &v, sizeof(v)) != 0 &&
        stored[i] != static_cast<f64>(static_cast<f32>(v)))
      return false;
  }
  return true;
}

}  // namespace

bool CheckStagedState(const StagedTrackerState& s, const GlobalMap& map,
                      const TrackerCamera& camera, std::string* fault) {
  // The tracker's camera is fixed when it is built: a state of another
  // camera cannot be taken in.
  if (map.width != camera.width || map.height != camera.height ||
      std::memcmp(&map.intrinsic, &camera.intrinsic[0], sizeof(Intrinsic)) != 0 ||
      !SameMounting(map.extrinsic, camera.bodyToCamera) ||
      std::memcmp(&s.bodyToCamera, &camera.bodyToCamera, sizeof(CameraOffset)) != 0)
    return Fail(fault, "camera");
  const Limits n{static_cast<u32>(s.working.keyFrameFlags.size()),
                 static_cast<u32>(s.working.points.Size()),
                 static_cast<u32>(s.working.planes.Size()), s.patches.Size(),
                 static_cast<u32>(s.frames.size())};
  // Only the tracker adds and removes key frames and tracks, so its copy
  // counts them as the map does.
  if (n.keyFrames != map.KeyFrameCount() || n.tracks != map.TrackCount())
    return Fail(fault, "working copy and map differ");
  const TrackerStatus& st = s.status;
  if (!CountersOk(st, s.lastSentFrame)) return Fail(fault, "frame counters");
  if (!SlotOk(s.currentFrame, n.ring) || !SlotOk(s.referenceFrame, n.ring) ||
      !SlotOk(st.alignedFrame, n.ring) || !SlotOk(st.newKeyFrame, n.ring))
    return Fail(fault, "ring slot");
  if (n.ring > 0 && s.currentFrame == kNone16) return Fail(fault, "no current frame");
  for (const TrackerFrame& f : s.frames)
    if (!FrameOk(f, n, camera, fault)) return false;
  if (!DisplayOk(s.display.view)) return Fail(fault, "display view");
  return WorkingOk(s, n, fault);
}
