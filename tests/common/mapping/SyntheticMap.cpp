// Seeded synthetic map: scene, cameras, features and the tracker's steps.
#include "common/mapping/SyntheticMap.h"

#include <boost/thread/locks.hpp>
#include <cmath>
#include <cstring>

#include "common/Draws.h"
#include "common/PlaneScene.h"
#include "features/FeatureRecords.h"
#include "la/Random.h"
#include "mapping/MapFile.h"

namespace {

// A function, not a braced list: the scenes depend on the order its
// arguments are drawn in.
using scene::Point;

u32 LockedTrackCount(const GlobalMap& map) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  return map.TrackCount();
}

}  // namespace

TrackColor SyntheticColour(int x, int y) {
  return TrackColor(static_cast<u8>(x & 255), static_cast<u8>(y & 255),
                    static_cast<u8>((x + y) & 255));
}

SyntheticMap::SyntheticMap(const SyntheticMapOptions& o) : options_(o) {
  // The cameras look along +z at the ground z = 0 from kHeight away: world z
  // is the vertical of their gravity readings, a point's depth is z + kHeight.
  constexpr f32 kHeight = 5.0f;
  Random::Seed(o.seed);
  const f32 f = 0.8f * o.width;
  intrinsic_.Set(f, f, 0.5f * o.width, 0.5f * o.height);
  // Cameras along x with a small sway and yaw; x_cam = R (X - c).
  for (u32 k = 0; k < o.keyFrames; ++k) {
    const f32 a = 0.05f * std::sin(0.7f * k), c = std::cos(a), s = std::sin(a);
    const f32 r0[3] = {c, 0, -s}, r1[3] = {0, 1, 0}, r2[3] = {s, 0, c};
    const f32 centre[3] = {k * o.step, -0.2f + 0.05f * std::sin(0.9f * k), -kHeight};
    poses_.push_back(SceneRender::MakePose(r0, r1, r2, centre));
    IMUState st{};
    f32 q[4];
    RotationToQuaternion(poses_.back(), q);
    for (int i = 0; i < 4; ++i) st.quaternion[i] = q[i];
    for (int i = 0; i < 3; ++i) st.position[i] = centre[i];
    st.velocity[0] = o.step / 0.1;
    st.time = 0.1 * k;
    states_.push_back(st);
  }
  // Scene along the path.
  const f32 x0 = -3.0f, x1 = (o.keyFrames - 1) * o.step + 3.0f;
  const MapPlane planes[3] = {{{0, 0, 1, 0}}, {{0, 1, 0, -1.0f}}, {{0, 1, 0, 1.4f}}};
  for (u32 j = 0; j < std::min(o.planes, 3u); ++j) {
    truePlanes_.push_back(planes[j]);
    for (u32 i = 0; i < o.pointsPerPlane; ++i) {
      const f32 x = Uniform(x0, x1);
      if (j == 0) scenePoints_.push_back(Point(x, Uniform(-1.4f, 0.9f), 0.0f));
      if (j == 1) scenePoints_.push_back(Point(x, 1.0f, Uniform(3.2f, 5.0f) - kHeight));
      if (j == 2) scenePoints_.push_back(Point(x, -1.4f, Uniform(3.5f, 5.0f) - kHeight));
      scenePlane_.push_back(static_cast<u16>(j));
    }
  }
  for (u32 i = 0; i < o.clutterPoints; ++i) {
    scenePoints_.push_back(
        Point(Uniform(x0, x1), Uniform(-1.0f, 0.8f), Uniform(2.5f, 7.0f) - kHeight));
    scenePlane_.push_back(kNone16);
  }
  pointTrack_.assign(scenePoints_.size(), kNone32);
  if (o.images) {
    colour_.resize(CVD::ImageRef(o.width, o.height));
    for (int y = 0; y < o.height; ++y)
      for (int x = 0; x < o.width; ++x) colour_[y][x] = SyntheticColour(x, y);
    for (int l = 0; l < kPyramidLevels; ++l) {
      pyramid_[l].resize(CVD::ImageRef(o.width >> l, o.height >> l));
      for (int y = 0; y < pyramid_[l].size().y; ++y)
        for (int x = 0; x < pyramid_[l].size().x; ++x) pyramid_[l][y][x] = static_cast<u8>(x ^ y);
    }
    floatImage_.resize(CVD::ImageRef(o.width / 2, o.height / 2));
    floatImage_.fill(0.5f);
  }
}

void ResetMap(GlobalMap& map, u16 width, u16 height, const Intrinsic& intrinsic) {
  const f64 e[7] = {0, 0, 0, 1, 0, 0, 0};
  map.width = width;
  map.height = height;
  map.intrinsic = intrinsic;
  std::memcpy(map.extrinsic, e, sizeof(e));
  map.Reset();
}

void SyntheticMap::MakeEmptyMap(GlobalMap& map) const {
  ResetMap(map, options_.width, options_.height, intrinsic_);
}

void SyntheticMap::MakeInput(u32 pose, KeyFrameInput& input) {
  const CameraPose& P = poses_[pose];
  input.frameId = 10 * pose + 1;
  input.state = states_[pose];
  input.pose = P;
  SetEmptyIMUDelta(input.sincePrevious);
  input.sincePrevious.dt = 0.1;
  std::memset(&input.attitude, 0, sizeof(input.attitude));
  for (int i = 0; i < 3; ++i) input.attitude.quaternion[i] = -states_[pose].quaternion[i];
  input.attitude.quaternion[3] = states_[pose].quaternion[3];
  for (int i = 0; i < 3; ++i) input.attitude.gravity[i] = P.m[i][2];
  input.attitude.time = states_[pose].time;
  input.colour = &colour_;
  for (int l = 0; l < kPyramidLevels; ++l) input.pyramid[l] = &pyramid_[l];
  input.floatImage = &floatImage_;
  inputPoints_.assign(kPyramidLevels, {});
  for (int l = 0; l < kPyramidLevels; ++l) {
    input.pixels[l].Clear();
    input.normalized[l].Clear();
    input.tracks[l].clear();
  }
  const f32 f = intrinsic_.fx[0], cx = intrinsic_.cx[0], cy = intrinsic_.cy[0];
  // Two passes: matched features of every level, then the new ones.
  for (int pass = 0; pass < 2; ++pass) {
    for (u32 p = 0; p < scenePoints_.size(); ++p) {
      const bool matched = pointTrack_[p] != kNone32;
      if (matched != (pass == 0)) continue;
      const MapPoint& X = scenePoints_[p];
      f32 x[3];
      SceneRender::ToCamera(P, X.v, x);
      if (x[2] < 0.5f) continue;
      f32 u = f * x[0] / x[2] + cx, v = f * x[1] / x[2] + cy;
      if (u < 8 || v < 8 || u >= options_.width - 8 || v >= options_.height - 8) continue;
      const int level = static_cast<int>((p * 2654435761u) >> 30);  // fixed per point
      if (options_.featureNoise > 0) {
        u += options_.featureNoise * Gaussian();
        v += options_.featureNoise * Gaussian();
      }
      if (options_.outlierFraction > 0 && Uniform(0, 1) < options_.outlierFraction) {
        const f32 r = Uniform(20, 50), a = Uniform(0, 6.2831853f);
        u += r * std::cos(a);
        v += r * std::sin(a);
      }
      const f32 s = 1.0f / static_cast<f32>(1 << level);
      input.pixels[level].PushBack8({u * s, v * s});
      input.normalized[level].PushBack8({(u - cx) / f, (v - cy) / f});
      if (matched) input.tracks[level].push_back(pointTrack_[p]);
      inputPoints_[level].push_back(p);
    }
  }
}

void SyntheticMap::Initialize(GlobalMap& map, u32 pose) {
  pointTrack_.assign(scenePoints_.size(), kNone32);
  KeyFrameInput input;
  MakeInput(pose, input);
  std::vector<u16> markers;
  for (u32 i = 0; i < options_.markerTracks; ++i) markers.push_back(static_cast<u16>(i));
  map.InitializeKeyFrame(input, markers);
  trackPoint_.clear();
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (const u32 p : inputPoints_[l]) {
      pointTrack_[p] = static_cast<u32>(trackPoint_.size());
      trackPoint_.push_back(p);
    }
  }
  keyFramePose_.assign(1, pose);
  AnchorAll(map);
}

void SyntheticMap::Push(GlobalMap& map, u32 pose, u8 keyFrameFlag) {
  map.Synchronize(working_);
  KeyFrameInput input;
  MakeInput(pose, input);
  // The tracker's points and flags of the tracks it matched.
  u32 matched[kPyramidLevels];
  for (int l = 0; l < kPyramidLevels; ++l) {
    matched[l] = static_cast<u32>(input.tracks[l].size());
    for (u32 i = 0; i < matched[l]; ++i) {
      const u32 id = input.tracks[l][i];
      if (id >= working_.points.Size()) continue;
      working_.points[id] = scenePoints_[inputPoints_[l][i]];
      working_.trackFlags[id] |= kTrackSolved | kTrackInlier;
    }
  }
  u32 next = LockedTrackCount(map);
  map.PushKeyFrame(keyFrameFlag, working_, input, 1, "Tracker");
  trackPoint_.resize(next, kNone32);
  for (int l = 0; l < kPyramidLevels; ++l) {
    for (u32 i = matched[l]; i < inputPoints_[l].size(); ++i) {
      pointTrack_[inputPoints_[l][i]] = next++;
      trackPoint_.push_back(inputPoints_[l][i]);
    }
  }
  keyFramePose_.push_back(pose);
}

void SyntheticMap::Pop(GlobalMap& map) {
  map.PopKeyFrame(1, "Tracker");
  const u32 tracks = LockedTrackCount(map);
  for (u32 t = tracks; t < trackPoint_.size(); ++t)
    if (trackPoint_[t] != kNone32 && pointTrack_[trackPoint_[t]] == t)
      pointTrack_[trackPoint_[t]] = kNone32;
  trackPoint_.resize(std::min<size_t>(tracks, trackPoint_.size()));
  if (!keyFramePose_.empty()) keyFramePose_.pop_back();
}

void SyntheticMap::Trim(GlobalMap& map, u16 first) {
  {
    // Scene points follow their tracks through merges before ids change.
    boost::shared_lock<boost::shared_mutex> lock(map.mutex);
    for (u32& t : pointTrack_) t = t != kNone32 ? map.ResolveTrack(t) : kNone32;
  }
  std::vector<u32> trackMap;
  map.RemoveKeyFramesBefore(first, trackMap, "Tracker");
  u32 tracks = 0;
  for (const u32 id : trackMap) tracks = id == kNone32 ? tracks : std::max(tracks, id + 1);
  std::vector<u32> trackPoint(tracks, kNone32);
  for (u32 t = 0; t < trackMap.size() && t < trackPoint_.size(); ++t)
    if (trackMap[t] != kNone32) trackPoint[trackMap[t]] = trackPoint_[t];
  trackPoint_.swap(trackPoint);
  for (u32& t : pointTrack_) t = t != kNone32 && t < trackMap.size() ? trackMap[t] : kNone32;
  keyFramePose_.erase(keyFramePose_.begin(),
                      keyFramePose_.begin() + std::min<size_t>(first, keyFramePose_.size()));
}

void SyntheticMap::AnchorAll(GlobalMap& map) {
  map.Synchronize(working_);
  const u32 T = working_.points.Size();
  std::vector<u32> counts(T, 0);
  for (const u32 t : working_.measurementTracks) ++counts[t];
  std::vector<u16> trackPlanes(T, kNone16);
  for (u32 t = 0; t < T; ++t) {
    const u32 p = t < trackPoint_.size() ? trackPoint_[t] : kNone32;
    u8& flags = working_.trackFlags[t];
    if (p == kNone32 || (flags & kTrackMergedAway)) continue;
    working_.points[t] = scenePoints_[p];
    if (counts[t] >= 2 || (flags & (kTrackMarker | kTrackImu))) {
      flags |= kTrackSolved | kTrackInlier;
      trackPlanes[t] = scenePlane_[p] < truePlanes_.size() ? scenePlane_[p] : kNone16;
    }
  }
  AlignedArray<MapPlane> planeArray;
  for (const MapPlane& p : truePlanes_) planeArray.PushBack16(p);
  std::vector<u8> planeFlags(truePlanes_.size(), 0);
  if (options_.ground && !planeFlags.empty()) planeFlags[0] = kPlaneGround;
  const u32 k0 = keyFramePose_.empty() ? 0 : keyFramePose_[0];
  map.SetAnchoredStructure(1.0f, states_[k0], poses_[k0], working_.points, planeArray,
                           working_.trackFlags, planeFlags, trackPlanes);
}

void SyntheticMap::Build(GlobalMap& map, u32 count) {
  MakeEmptyMap(map);
  Initialize(map, 0);
  for (u32 k = 1; k < std::min(count, options_.keyFrames); ++k) Push(map, k);
  AnchorAll(map);
}

std::string SavedMap(const GlobalMap& map) {
  char* data = nullptr;
  std::size_t size = 0;
  FILE* f = open_memstream(&data, &size);
  const bool saved = SaveMap(map, f);
  std::fclose(f);
  std::string bytes(data, saved ? size : 0);
  std::free(data);
  return bytes;
}

bool SameMapContent(const GlobalMap& a, const GlobalMap& b) {
  const std::string x = SavedMap(a), y = SavedMap(b);
  return !x.empty() && x.size() == y.size() && x.compare(0, x.size() - 1, y, 0, x.size() - 1) == 0;
}

void BuildHandMap(GlobalMap& map, const std::vector<std::vector<u32>>& keyFrameTracks) {
  ResetMap(map, 100, 100, SceneRender::MakeIntrinsic(100.0f, 100.0f, 50.0f, 50.0f));
  MapWorkingCopy working;
  u32 tracks = 0;
  for (u32 kf = 0; kf < keyFrameTracks.size(); ++kf) {
    KeyFrameInput input;
    input.frameId = kf;
    input.state.quaternion[3] = 1.0;
    input.state.position[0] = kf;
    input.state.time = 0.1 * kf;
    input.pose.m[0][0] = input.pose.m[1][1] = input.pose.m[2][2] = 1.0f;
    input.pose.m[0][3] = -static_cast<f32>(kf);
    SetEmptyIMUDelta(input.sincePrevious);
    input.sincePrevious.dt = 0.1;
    input.attitude.quaternion[3] = 1.0;
    input.attitude.gravity[2] = 1.0;
    input.attitude.time = 0.1 * kf;
    u32 fresh = tracks;
    for (int pass = 0; pass < 2; ++pass) {
      for (const u32 t : keyFrameTracks[kf]) {
        const bool matched = t < tracks;
        if (matched != (pass == 0)) continue;
        const int l = matched ? t % 4 : 0;  // new tracks keep their listed order
        input.pixels[l].PushBack8({0.0f, 0.0f});
        input.normalized[l].PushBack8({0.01f * t, 0.02f * kf});
        if (matched) input.tracks[l].push_back(t);
        fresh += !matched;
      }
    }
    map.Synchronize(working);
    if (kf == 0) map.InitializeKeyFrame(input, {});
    if (kf > 0) map.PushKeyFrame(0, working, input, 1, "Tracker");
    tracks = fresh;
  }
  map.Synchronize(working);
  std::vector<u32> counts(tracks, 0);
  for (const u32 t : working.measurementTracks) ++counts[t];
  for (u32 t = 0; t < tracks; ++t) {
    working.points[t] = Point(static_cast<f32>(t), 0.0f, 5.0f);
    if (counts[t] >= 2) working.trackFlags[t] |= kTrackSolved | kTrackInlier;
  }
  const IMUState first = map.keyFrameStates.Size() ? map.keyFrameStates[0] : IMUState{};
  const CameraPose pose = map.keyFramePoses.Size() ? map.keyFramePoses[0] : CameraPose{};
  map.SetAnchoredStructure(1.0f, first, pose, working.points, AlignedArray<MapPlane>(),
                           working.trackFlags, {}, working.trackPlanes);
}

void AddHandPlane(GlobalMap& map, u8 flags, const std::vector<u32>& tracks) {
  map.planes.PushBack16({{0.0f, 0.0f, 1.0f, -5.0f}});
  map.planeFlags.push_back(flags);
  for (const u32 t : tracks) map.trackPlanes[t] = static_cast<u16>(map.planes.Size() - 1);
}

std::string InvariantError(const GlobalMap& map) {
  boost::shared_lock<boost::shared_mutex> lock(map.mutex);
  std::string error;
  return map.CheckInvariants(&error) ? std::string() : error.empty() ? "unsound" : error;
}
