// Problem snapshots for the background workers. Each builder selects
// cameras, points and planes (fixed ones first), then the shared steps fill
// the solver's state and problem, all under one shared lock with the token.
#include <boost/thread/locks.hpp>
#include <cfloat>

#include "features/FeatureRecords.h"
#include "la/RefillInPlace.h"
#include "mapping/GlobalMap.h"
#include "optimization/IMUDelta.h"
#include "optimization/IMUParameters.h"

namespace {

using SharedLock = boost::shared_lock<boost::shared_mutex>;

// The solver's camera record of a key frame's state and pose.
void FillCamera(const IMUState& s, const CameraPose& pose, CameraIMUState& c) {
  for (int i = 0; i < 3; ++i) {
    c.p[i] = static_cast<f32>(s.position[i]);
    c.v[i] = static_cast<f32>(s.velocity[i]);
    c.ba[i] = static_cast<f32>(s.accelerometerBias[i]);
    c.bg[i] = static_cast<f32>(s.gyroscopeBias[i]);
  }
  c.p[3] = c.v[3] = c.ba[3] = c.bg[3] = 0.0f;
  for (int i = 0; i < 4; ++i) c.q[i] = static_cast<f32>(s.quaternion[i]);
  c.pose = pose;
  LA::QuaternionToRotationMatrix(c.q, c.R);
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) c.RT.m[r][k] = c.R.m[k][r];
    c.R.m[r][3] = c.RT.m[r][3] = 0.0f;
  }
}

// A map's first two key frames with readings between them: the second one's
// place was measured, while the points stand at guessed depths; without
// readings that place is as much a guess as the depths.
bool FirstPairWithReadings(const std::vector<KeyFrame>& keyFrames) {
  if (keyFrames.size() != 2) return false;
  return IMUDelta::HasReadings(keyFrames[0].delta);
}

bool Intersects(const std::pair<u32, u32>& range, u32 lo, u32 hi) {
  return range.first <= hi && lo <= range.second;
}

// Problem-order lists: fixed items, then variable ones.
template <class T>
void Concatenate(std::vector<T>& out, const std::vector<T>& fixed, const std::vector<T>& variable) {
  out.assign(fixed.begin(), fixed.end());
  out.insert(out.end(), variable.begin(), variable.end());
}

}  // namespace

// Builds the track-to-point and plane-to-plane maps of the selection.
static void BuildIndexMaps(MapProblemIndex& index, u32 tracks, u32 planes) {
  index.trackPoints.assign(tracks, kNone32);
  for (u32 i = 0; i < index.tracks.size(); ++i) index.trackPoints[index.tracks[i]] = i;
  index.planePlanes.assign(planes, kNone16);
  for (u32 j = 0; j < index.planes.size(); ++j)
    index.planePlanes[index.planes[j]] = static_cast<u16>(j);
}

void GlobalMap::SelectPlanesOfPoints(MapProblemIndex& index, u32& fixedPlanes) const {
  // Flags of its own: the local problem still reads its track marks after this.
  std::vector<u8> used(PlaneCount(), 0);
  for (const u32 t : index.tracks) {
    if (trackPlanes[t] < PlaneCount()) used[trackPlanes[t]] = 1;
  }
  index.planes.clear();
  for (int pass = 0; pass < 2; ++pass) {
    for (u32 p = 0; p < PlaneCount(); ++p) {
      const bool ground = (planeFlags[p] & kPlaneGround) != 0;
      if (used[p] && ground == (pass == 0)) index.planes.push_back(static_cast<u16>(p));
    }
    if (pass == 0) fixedPlanes = static_cast<u32>(index.planes.size());
  }
}

void GlobalMap::FillProblem(IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                            MapSnapshotToken& token, u32 fixedCameras, u32 fixedPoints,
                            u32 fixedPlanes, bool gauge, u32 groundFixedPointLimit) const {
  const u32 C = static_cast<u32>(index.keyFrames.size());
  const u32 N = static_cast<u32>(index.tracks.size());
  const u32 Q = static_cast<u32>(index.planes.size());
  // State.
  for (int i = 0; i < 7; ++i) state.extrinsic[i] = static_cast<f32>(extrinsic[i]);
  state.cameras.Resize(C);
  state.cameraIds.resize(C);
  for (u32 i = 0; i < C; ++i) {
    const u16 k = index.keyFrames[i];
    FillCamera(keyFrameStates[k], keyFramePoses[k], state.cameras[i]);
    state.cameraIds[i] = keyFrames[k].frameId;
  }
  state.points.Resize(N);
  for (u32 i = 0; i < N; ++i) state.points[i] = points[index.tracks[i]];
  state.planes.Resize(Q);
  for (u32 j = 0; j < Q; ++j) state.planes[j] = planes[index.planes[j]];
  // Gravity records of the variable cameras with a set attitude.
  u32 gravityCount = 0;
  for (u32 i = fixedCameras; i < C; ++i) {
    gravityCount += keyFrames[index.keyFrames[i]].attitude.time != DBL_MAX ? 1 : 0;
  }
  u32 featureCount = 0;
  for (u32 i = 0; i < C; ++i) {
    const u16 k = index.keyFrames[i];
    for (u32 m = keyFrameMeasurementStart[k]; m < keyFrameMeasurementStart[k + 1]; ++m) {
      featureCount += index.trackPoints[measurementTracks[m]] != kNone32 ? 1 : 0;
    }
  }
  problem.ResizeInput(fixedCameras, fixedPoints, fixedPlanes, C, N, Q, featureCount, gravityCount);
  const f32 fxfy = intrinsic.misc[0];
  const f64 featureWeight = 1.0;
  IBAProblem::SetFeatureWeights(problem.features, fxfy, featureWeight);
  IBAProblem::SetBiasWeights(problem.biasWeights, 1.0);
  // Measurements camera by camera, level by level.
  u32 count = 0;
  for (u32 i = 0; i < C; ++i) {
    const u16 k = index.keyFrames[i];
    const u32 base = keyFrameMeasurementStart[k];
    const u16* o = keyFrames[k].levelOffsets;
    for (int l = 0; l < kPyramidLevels; ++l) {
      problem.features.index[4 * i + l] = count;
      const u32 end = base + o[l + 1];
      for (u32 m = base + o[l]; m < end; ++m) {
        const u32 point = index.trackPoints[measurementTracks[m]];
        if (point == kNone32) continue;
        problem.features.measurements[count++] = {point, measurements[m].x, measurements[m].y};
      }
    }
  }
  problem.features.index[4 * C] = count;
  const f64 unitsPerMetre = inertialUnits_.PerMetre();
  for (u32 i = 0; i + 1 < C; ++i)
    IBADelta::Set(problem.deltas[i], keyFrames[index.keyFrames[i]].delta, 1.0, unitsPerMetre);
  u32 g = 0;
  for (u32 i = fixedCameras; i < C; ++i) {
    const u16 k = index.keyFrames[i];
    if (keyFrames[k].attitude.time == DBL_MAX) continue;
    SetGravityRecord(problem.gravity[g], keyFrames[k].attitude, 1.0, keyFrameStates[k].time);
    problem.gravityCameras[g++] = i;
  }
  // Points, planes and their weights.
  for (u32 i = 0; i < N; ++i) problem.pointFlags[i] = trackFlags[index.tracks[i]];
  // Off its plane by the plane's deviation, a point costs what a level-0
  // feature costs off by the feature deviation in pixels. The level-0 weight
  // itself holds the image scale over the feature variance (about 2.5e7):
  // over the plane's variance it let the planes outweigh every feature and
  // turn the local map about the vertical by degrees in one adjustment.
  for (u32 j = 0; j < Q; ++j) {
    const u8 flags = planeFlags[index.planes[j]];
    problem.planeFlags[j] = flags;
    const f64 sigma = (flags & kPlaneGround) ? IMU_VARIANCE_PLANE_GROUND : IMU_VARIANCE_PLANE;
    const f32 w = sigma == 0.0 ? 0.0f : static_cast<f32>(featureWeight / (sigma * sigma));
    for (f32& v : problem.planeWeights[j].v) v = w;
  }
  for (u32 i = 0; i < N; ++i) {
    const u16 p = trackPlanes[index.tracks[i]];
    if (p < PlaneCount() && index.planePlanes[p] != kNone16)
      problem.planePoints[index.planePlanes[p]].push_back(i);
  }
  problem.IndexPlanePoints();
  problem.SortFeatures();
  // Gauge and ground alignment.
  problem.gauge = gauge ? 1 : 0;
  problem.holdBaseline = 0;
  const bool ground =
      fixedCameras == 0 && fixedPlanes == 1 && fixedPoints < groundFixedPointLimit && C > 0;
  problem.ground = ground ? 1 : 0;
  problem.groundCamera = 0;
  problem.groundPlane = ground ? 0u : kNone32;
  problem.groundPosition[0] = ground ? state.cameras[0].p[0] : 0.0f;
  problem.groundPosition[1] = ground ? state.cameras[0].p[1] : 0.0f;
  index.scale = scale;
  token.counter = modificationCounter;
  token.time = CurrentTimeOfDay();
}

void GlobalMap::GetGBAProblem(IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                              MapSnapshotToken& token) const {
  SharedLock lock(mutex);
  const u32 K = KeyFrameCount(), T = TrackCount();
  std::vector<u32> fixedTracks, variableTracks;
  for (u32 t = 0; t < T; ++t) {
    const u8 f = trackFlags[t];
    if (f & kTrackMergedAway) continue;
    if (f & kTrackMarker) {
      fixedTracks.push_back(t);
    } else if (trackMeasurements[t].size() >= 2 || (f & kTrackImu)) {
      variableTracks.push_back(t);
    }
  }
  Concatenate(index.tracks, fixedTracks, variableTracks);
  u32 fixedPlanes = 0;
  SelectPlanesOfPoints(index, fixedPlanes);
  const u32 fixedPoints = static_cast<u32>(fixedTracks.size());
  index.keyFrames.resize(K);
  for (u32 k = 0; k < K; ++k) index.keyFrames[k] = static_cast<u16>(k);
  const u32 fixedCameras = (fixedPoints == 0 && fixedPlanes == 0 && K > 0) ? 1 : 0;
  BuildIndexMaps(index, T, PlaneCount());
  FillProblem(problem, state, index, token, fixedCameras, fixedPoints, fixedPlanes, true, 1);
  problem.holdBaseline = FirstPairWithReadings(keyFrames) ? 1 : 0;
}

bool GlobalMap::GetLBAProblem(IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                              MapSnapshotToken& token) const {
  SharedLock lock(mutex);
  const u32 K = KeyFrameCount(), T = TrackCount();
  if (K < 2) return false;
  std::vector<u8>& marks = index.marks;
  marks.assign(T, 0);
  // Tracks of the newest key frame and their id range.
  const u32 newest = K - 1;
  u32 lo = UINT32_MAX, hi = 0;
  for (u32 m = keyFrameMeasurementStart[newest]; m < keyFrameMeasurementStart[K]; ++m) {
    const u32 t = measurementTracks[m];
    marks[t] = 1;
    lo = std::min(lo, t);
    hi = std::max(hi, t);
  }
  // Walk back while key frames share tracks with the newest one.
  u32 windowStart = newest;
  for (u32 k = newest; k-- > 0;) {
    bool shares = Intersects(keyFrameTrackRange[k], lo, hi);
    if (shares) {
      shares = false;
      for (u32 m = keyFrameMeasurementStart[k]; m < keyFrameMeasurementStart[k + 1] && !shares;
           ++m) {
        shares = marks[measurementTracks[m]] != 0;
      }
    }
    if (!shares) break;
    windowStart = k;
  }
  // Points of the window.
  marks.assign(T, 0);
  std::vector<u32> fixedTracks, variableTracks;
  u32 selLo = UINT32_MAX, selHi = 0;
  for (u32 k = windowStart; k < K; ++k) {
    for (u32 m = keyFrameMeasurementStart[k]; m < keyFrameMeasurementStart[k + 1]; ++m) {
      const u32 t = measurementTracks[m];
      const u8 f = trackFlags[t];
      if (marks[t] || (f & kTrackMergedAway)) continue;
      if (trackMeasurements[t].size() < 2 && !(f & kTrackImu)) continue;
      marks[t] = 1;
      ((f & kTrackMarker) ? fixedTracks : variableTracks).push_back(t);
      selLo = std::min(selLo, t);
      selHi = std::max(selHi, t);
    }
  }
  Concatenate(index.tracks, fixedTracks, variableTracks);
  u32 fixedPlanes = 0;
  SelectPlanesOfPoints(index, fixedPlanes);
  // Further fixed points: inliers outside the selection on a problem plane.
  std::vector<u8> planeUsed(PlaneCount(), 0);
  for (const u16 p : index.planes) planeUsed[p] = 1;
  for (u32 t = 0; t < T; ++t) {
    const u8 f = trackFlags[t];
    if (marks[t] || (f & kTrackMergedAway) || !(f & kTrackInlier)) continue;
    if (trackPlanes[t] < PlaneCount() && planeUsed[trackPlanes[t]]) fixedTracks.push_back(t);
  }
  const u32 fixedPoints = static_cast<u32>(fixedTracks.size());
  Concatenate(index.tracks, fixedTracks, variableTracks);
  // Fixed cameras: earlier key frames that observe a selected track, then
  // every key frame from the latest of them up to the window.
  std::vector<u16> fixedCams;
  u32 latest = kNone32;
  if (selLo <= selHi) {
    for (u32 k = 0; k < windowStart; ++k) {
      if (!Intersects(keyFrameTrackRange[k], selLo, selHi)) continue;
      for (u32 m = keyFrameMeasurementStart[k]; m < keyFrameMeasurementStart[k + 1]; ++m) {
        if (marks[measurementTracks[m]]) {
          fixedCams.push_back(static_cast<u16>(k));
          latest = k;
          break;
        }
      }
    }
  }
  if (latest != kNone32) {
    for (u32 k = latest + 1; k < windowStart; ++k) fixedCams.push_back(static_cast<u16>(k));
  }
  u32 first = windowStart;
  if (fixedCams.empty() && fixedPoints < 3 && fixedPlanes == 0) {
    fixedCams.push_back(static_cast<u16>(windowStart));
    ++first;
  }
  index.keyFrames.assign(fixedCams.begin(), fixedCams.end());
  for (u32 k = first; k < K; ++k) index.keyFrames.push_back(static_cast<u16>(k));
  BuildIndexMaps(index, T, PlaneCount());
  FillProblem(problem, state, index, token, static_cast<u32>(fixedCams.size()), fixedPoints,
              fixedPlanes, index.keyFrames[0] == 0, 3);
  problem.holdBaseline = FirstPairWithReadings(keyFrames) ? 1 : 0;
  return true;
}

bool GlobalMap::GetTrackMatcherProblem(u16 oldKeyFrame, u64 version, std::vector<TrackPair>& pairs,
                                       IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                                       MapSnapshotToken& token) const {
  SharedLock lock(mutex);
  const u32 K = KeyFrameCount(), T = TrackCount();
  // Ids from before a pop or trim name other tracks now.
  if (oldKeyFrame >= K || version != structureVersion) return false;
  // Keep pairs of distinct, unpaired tracks that never share a key frame.
  std::vector<u8>& paired = index.marks;
  paired.assign(T, 0);
  std::vector<u32> absorbedBy(T, kNone32);
  std::vector<u8> scratch;
  size_t kept = 0;
  for (const TrackPair& pair : pairs) {
    const u32 a = ResolveTrack(pair.first), b = ResolveTrack(pair.second);
    if (a >= T || b >= T || a == b || paired[a] || paired[b] || trackMeasurements[a].empty() ||
        trackMeasurements[b].empty() || TracksOverlap(a, b, scratch)) {
      continue;
    }
    const bool bFirst = MeasurementKeyFrame(trackMeasurements[b].front()) <
                        MeasurementKeyFrame(trackMeasurements[a].front());
    const u32 s = bFirst ? b : a, r = bFirst ? a : b;
    paired[a] = paired[b] = 1;
    absorbedBy[r] = s;
    pairs[kept++] = {s, r};
  }
  pairs.resize(kept);
  // Points: inliers not absorbed; markers fixed, the rest with two
  // measurements once merged.
  std::vector<u32> fixedTracks, variableTracks;
  for (u32 t = 0; t < T; ++t) {
    const u8 f = trackFlags[t];
    if ((f & kTrackMergedAway) || !(f & kTrackInlier) || absorbedBy[t] != kNone32) continue;
    size_t n = trackMeasurements[t].size();
    if (paired[t]) {
      for (const TrackPair& pair : pairs) {
        if (pair.first == t) n += trackMeasurements[pair.second].size();
      }
    }
    if (f & kTrackMarker) {
      fixedTracks.push_back(t);
    } else if (n >= 2) {
      variableTracks.push_back(t);
    }
  }
  Concatenate(index.tracks, fixedTracks, variableTracks);
  u32 fixedPlanes = 0;
  SelectPlanesOfPoints(index, fixedPlanes);
  const u32 fixedPoints = static_cast<u32>(fixedTracks.size());
  index.keyFrames.resize(K);
  for (u32 k = 0; k < K; ++k) index.keyFrames[k] = static_cast<u16>(k);
  const u32 fixedCameras = (fixedPoints == 0 && fixedPlanes == 0) ? 1 : 0;
  BuildIndexMaps(index, T, PlaneCount());
  for (const TrackPair& pair : pairs)
    index.trackPoints[pair.second] = index.trackPoints[pair.first];
  FillProblem(problem, state, index, token, fixedCameras, fixedPoints, fixedPlanes, true, 1);
  return true;
}

u64 GlobalMap::CountCommonTracks(const std::vector<u32> (&tracks)[kPyramidLevels],
                                 std::vector<u16>& counts, AlignedArray<CameraPose>& poses,
                                 AlignedArray<MapPlane>& planeCopy,
                                 std::vector<CVD::Image<float>>& images) const {
  SharedLock lock(mutex);
  const u32 K = KeyFrameCount(), T = TrackCount();
  counts.assign(K, 0);
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const u32 id : tracks[l]) {
      const u32 t = ResolveTrack(id);
      if (t >= T || (trackFlags[t] & kTrackMergedAway)) continue;
      for (const u32 e : trackMeasurements[t]) ++counts[MeasurementKeyFrame(e)];
    }
  }
  // A weak newest key frame is provisional: not offered for matching.
  const u32 offered = (K > 0 && (keyFrameFlags[K - 1] & kKeyFrameWeak)) ? K - 1 : K;
  RefillArray(poses, keyFramePoses.Data(), offered);
  planeCopy.Assign(planes);
  images.resize(offered);
  for (u32 k = 0; k < offered; ++k) {
    if (keyFrames[k].floatImage.size().x > 0 && keyFrames[k].floatImage.size().y > 0) {
      images[k].copy_from(keyFrames[k].floatImage);
    } else {
      images[k].resize(CVD::ImageRef(0, 0));
    }
  }
  return structureVersion;
}

bool GlobalMap::GetKeyFrame(u16 keyFrame, MapKeyFrameCopy& out) const {
  SharedLock lock(mutex);
  if (keyFrame >= KeyFrameCount()) return false;
  const KeyFrame& kf = keyFrames[keyFrame];
  out.frameId = kf.frameId;
  out.pose = keyFramePoses[keyFrame];
  const u32 base = keyFrameMeasurementStart[keyFrame];
  for (int l = 0; l < kPyramidLevels; ++l) {
    if (kf.pyramid[l].size().x > 0 && kf.pyramid[l].size().y > 0) {
      out.pyramid[l].copy_from(kf.pyramid[l]);
    } else {
      out.pyramid[l].resize(CVD::ImageRef(0, 0));
    }
    const u32 begin = base + kf.levelOffsets[l];
    const u32 end = base + kf.levelOffsets[l + 1];
    RefillArray(out.measurements[l], measurements.Data() + begin, end - begin);
    out.points[l].Resize(end - begin);
    out.tracks[l].assign(measurementTracks.begin() + begin, measurementTracks.begin() + end);
    out.trackFlags[l].resize(end - begin);
    for (u32 m = begin; m < end; ++m) {
      out.points[l][m - begin] = points[measurementTracks[m]];
      out.trackFlags[l][m - begin] = trackFlags[measurementTracks[m]];
    }
  }
  return true;
}
