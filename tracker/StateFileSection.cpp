// The tracker section of the state file in its order: scalars, the ring, the
// working arrays, the registered objects, the key-frame arrays, the scale
// and plane threshold, and the display.
#include <cstring>

#include "tracker/StateFileFormat.h"

using state_file::ReadEach;
using state_file::ReadRaw;
using state_file::WriteRaw;

namespace {

void WriteKeyFrameRecord(const KeyFrameRecord& r, BinaryWriter& out) {
  for (u32 v : r.firstPatch) out.Put(v);
  out.Put(r.featureStart);
  // The record keeps room for per-level feature starts; one start serves.
  for (int i = 0; i < 4; ++i) out.Put(u32{0});
}

bool ReadKeyFrameRecord(KeyFrameRecord& r, BinaryReader& in) {
  for (u32& v : r.firstPatch)
    if (!in.Get(v)) return false;
  return in.Get(r.featureStart) && in.Skip(4 * sizeof(u32));
}

// The view's floats in their order in the first view block.
template <class View, class Visit>
void ForEachViewBlock(View& v, Visit visit) {
  visit(&v.rotation[0][0], 12);
  visit(v.pivot, 4);
  visit(&v.pose.m[0][0], 12);
  visit(v.frustumSize, 4);
  visit(v.arcball.centre, 3);
  visit(&v.arcball.radius, 1);
  visit(v.arcball.start, 3);
  visit(&v.arcball.startRotation[0][0], 9);
  visit(&v.pivotDepth, 1);
}
constexpr u32 kViewBlockFloats = 12 + 4 + 12 + 4 + 3 + 1 + 3 + 9 + 1;
static_assert(4 * kViewBlockFloats <= kStoredViewSize &&
                  2 * 16 * sizeof(double) <= kStoredViewMatricesSize,
              "the view fits its blocks");

void WriteDisplay(const StagedDisplay& d, BinaryWriter& out) {
  static const u8 kZeros[kStoredViewMatricesSize] = {};
  out.Put(d.displayIndex);
  out.Put(d.shownFrame);
  out.Put(d.comparisonFrame);
  out.Put(d.shownKeyFrame);
  for (const u32 setting : d.settings) out.Put(setting);
  const DisplayViewState& v = d.view;
  ForEachViewBlock(v, [&](const float* p, u32 n) { out.PutBytes(p, n * sizeof(float)); });
  out.PutBytes(kZeros, kStoredViewSize - 4 * kViewBlockFloats);
  out.PutBytes(v.projection, sizeof(v.projection));
  out.PutBytes(v.modelView, sizeof(v.modelView));
  out.PutBytes(kZeros, kStoredViewMatricesSize - sizeof(v.projection) - sizeof(v.modelView));
  out.PutBytes(v.translation, sizeof(v.translation));
  for (const u8 flag : {v.imageView, v.shownLevel, v.poseView, v.planeFilter}) out.Put(flag);
  out.Put(v.selectedPlane);
  WriteRaw(v.planeShown, out);
  out.Put(v.wheelStep);
  out.Put(u32{0});  // the display keeps no poses of its own: it draws the ring's
  WriteRaw(v.planeFrames, out);
  WriteRaw(v.planeExtents, out);
}

bool SkipList(BinaryReader& in, u32 size) {
  u32 n;
  return in.Get(n) && in.Fits(n, size) && in.Skip(static_cast<unsigned long long>(n) * size);
}

bool ReadDisplay(StagedDisplay& d, BinaryReader& in) {
  if (!in.Get(d.displayIndex) || !in.Get(d.shownFrame) || !in.Get(d.comparisonFrame) ||
      !in.Get(d.shownKeyFrame) || !in.GetBytes(d.settings, sizeof(d.settings)))
    return false;
  DisplayViewState& v = d.view;
  bool ok = true;
  ForEachViewBlock(v, [&](float* p, u32 n) { ok = ok && in.GetBytes(p, n * sizeof(float)); });
  if (!ok || !in.Skip(kStoredViewSize - 4 * kViewBlockFloats) ||
      !in.GetBytes(v.projection, sizeof(v.projection)) ||
      !in.GetBytes(v.modelView, sizeof(v.modelView)) ||
      !in.Skip(kStoredViewMatricesSize - sizeof(v.projection) - sizeof(v.modelView)) ||
      !in.GetBytes(v.translation, sizeof(v.translation)) || !in.Get(v.imageView) ||
      !in.Get(v.shownLevel) || !in.Get(v.poseView) || !in.Get(v.planeFilter) ||
      !in.Get(v.selectedPlane) || !ReadRaw(v.planeShown, in) || !in.Get(v.wheelStep) ||
      !SkipList(in, 48) || !ReadRaw(v.planeFrames, in) || !ReadRaw(v.planeExtents, in)) {
    return false;
  }
  // An external pose list follows only when one was attached; none is here.
  if (in.Fits(1, 1) && !SkipList(in, 48)) return false;
  // Anything after it is not a state file's.
  return !in.Fits(1, 1);
}

}  // namespace

void WriteTrackerSection(const TrackerStateSource& s, BinaryWriter& out) {
  const TrackerStatus& st = s.status;
  out.Put(st.startFrame);
  out.Put(st.endFrame);
  out.Put(st.frameCounter);
  out.Put(st.firstKeyFrameNumber);
  out.Put(s.lastSentFrame);
  out.Put(s.currentFrame);
  out.Put(st.alignedFrame);
  out.Put(st.newKeyFrame);
  out.Put(s.referenceFrame);
  out.Put(st.tracking);
  out.Put(st.relocalising);
  out.Put(st.recovering);
  out.Put(st.serverFlag);
  out.Put(st.rejectedCount);
  out.Put(st.initProgress);
  out.Put(st.sceneScale);
  out.Put(st.depthScale);
  out.PutBytes(s.bodyToCamera.quaternion, sizeof(s.bodyToCamera.quaternion));
  out.PutBytes(s.bodyToCamera.position, sizeof(s.bodyToCamera.position));

  out.Put(static_cast<u16>(s.frames.size()));
  for (const TrackerFrame* f : s.frames) WriteTrackerFrame(*f, out);

  const MapWorkingCopy& w = s.working;
  WriteRaw(s.ringMaps, out);
  out.Put(s.patches.Size());
  for (const FeaturePatch& p : s.patches) WriteFeaturePatch(p, out);
  WriteRaw(w.keyFrameStates, out);
  WriteRaw(w.keyFramePoses, out);
  WriteRaw(w.cameraCenters, out);
  WriteRaw(w.points, out);
  WriteRaw(w.planes, out);
  WriteRaw(w.keyFrameMeasurementStart, out);
  WriteRaw(w.measurementTracks, out);
  WriteRaw(w.trackPlanes, out);
  WriteRaw(w.keyFrameFlags, out);
  WriteRaw(w.trackFlags, out);
  WriteRaw(w.planeFlags, out);

  out.Put(static_cast<u32>(s.objects.size()));
  for (const TrackerObject& o : s.objects) WriteTrackerObject(o, out);

  out.Put(static_cast<u32>(s.records.size()));
  for (const KeyFrameRecord& r : s.records) WriteKeyFrameRecord(r, out);
  WriteRaw(s.keyFramePixels, out);
  WriteRaw(s.keyFrameNormalized, out);
  WriteRaw(s.keyFrameMaps, out);
  out.Put(st.referencePose);
  out.Put(u32{0});  // the trailing list of u16 is kept empty

  out.Put(s.mapScale);
  out.Put(s.planeDistanceThreshold);
  WriteDisplay(s.display, out);
}

bool ReadTrackerSection(StagedTrackerState& s, BinaryReader& in) {
  TrackerStatus& st = s.status;
  if (!in.Get(st.startFrame) || !in.Get(st.endFrame) || !in.Get(st.frameCounter) ||
      !in.Get(st.firstKeyFrameNumber) || !in.Get(s.lastSentFrame) || !in.Get(s.currentFrame) ||
      !in.Get(st.alignedFrame) || !in.Get(st.newKeyFrame) || !in.Get(s.referenceFrame) ||
      !in.Get(st.tracking) || !in.Get(st.relocalising) || !in.Get(st.recovering) ||
      !in.Get(st.serverFlag) || !in.Get(st.rejectedCount) || !in.Get(st.initProgress) ||
      !in.Get(st.sceneScale) || !in.Get(st.depthScale) ||
      !in.GetBytes(s.bodyToCamera.quaternion, sizeof(s.bodyToCamera.quaternion)) ||
      !in.GetBytes(s.bodyToCamera.position, sizeof(s.bodyToCamera.position))) {
    return false;
  }

  u16 ringSize;
  // The smallest frame record is far beyond 512 bytes (three deltas alone).
  if (!in.Get(ringSize) || ringSize > kRingCapacity || !in.Fits(ringSize, 512)) return false;
  s.frames.resize(ringSize);
  for (TrackerFrame& f : s.frames)
    if (!ReadTrackerFrame(f, in)) return false;

  MapWorkingCopy& w = s.working;
  if (!ReadRaw(s.ringMaps, in)) return false;
  u32 patchCount;
  if (!in.Get(patchCount) || !in.Fits(patchCount, kStoredPatchSize)) return false;
  s.patches.Resize(patchCount);
  for (FeaturePatch& p : s.patches)
    if (!ReadFeaturePatch(p, in)) return false;
  if (!ReadRaw(w.keyFrameStates, in) || !ReadRaw(w.keyFramePoses, in) ||
      !ReadRaw(w.cameraCenters, in) || !ReadRaw(w.points, in) || !ReadRaw(w.planes, in) ||
      !ReadRaw(w.keyFrameMeasurementStart, in) || !ReadRaw(w.measurementTracks, in) ||
      !ReadRaw(w.trackPlanes, in) || !ReadRaw(w.keyFrameFlags, in) || !ReadRaw(w.trackFlags, in) ||
      !ReadRaw(w.planeFlags, in)) {
    return false;
  }

  // An object takes at least its key frame, value and three counts.
  if (!ReadEach(s.objects, 2 + 4 + 3 * 4, in, ReadTrackerObject)) return false;

  if (!ReadEach(s.records, kStoredKeyFrameRecordSize, in, ReadKeyFrameRecord) ||
      !ReadRaw(s.keyFramePixels, in) || !ReadRaw(s.keyFrameNormalized, in) ||
      !ReadRaw(s.keyFrameMaps, in) || !in.Get(st.referencePose) || !SkipList(in, 2)) {
    return false;
  }
  return in.Get(s.mapScale) && in.Get(s.planeDistanceThreshold) && ReadDisplay(s.display, in);
}
