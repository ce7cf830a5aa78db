#pragma once
// A seeded synthetic map shared by the map tests and benchmarks: points on
// up to three planes plus clutter, key-frame cameras along a path looking
// straight at the ground plane z = 0 (world z is the vertical of their
// gravity readings), features over four pyramid levels (noise and outliers
// on request) and ground truth per track. The builder pushes key frames into a GlobalMap
// the way the tracker does (initialise, anchor, push; pop and trim) and keeps
// its scene-point-to-track bookkeeping in step.
#include <string>
#include <vector>

#include "common/SceneRenderer.h"
#include "mapping/GlobalMap.h"

struct SyntheticMapOptions {
  u32 seed = 1;
  u32 keyFrames = 8;           // poses on the path (Build pushes them all)
  f32 step = 0.25f;            // path spacing along x
  u32 planes = 2;              // 0-3: ground z = 0 (0), walls y = 1 (1) and y = -1.4 (2)
  bool ground = true;          // plane 0 carries the GROUND flag
  u32 pointsPerPlane = 80;     // per plane
  u32 clutterPoints = 40;      // off every plane, depths 2.5-7
  f32 featureNoise = 0.0f;     // deviation in level-0 pixels
  f32 outlierFraction = 0.0f;  // measurements moved 20-50 pixels
  u32 markerTracks = 0;        // the first tracks of key frame 0 become MARKER
  bool images = false;         // pyramid, float and colour images per key frame
  u16 width = 320, height = 240;
};

class SyntheticMap {
 public:
  explicit SyntheticMap(const SyntheticMapOptions& options);

  // A fresh map of the camera (Reset state).
  void MakeEmptyMap(GlobalMap& map) const;
  // Initialise with pose 0, push poses 1 .. count - 1 (at most keyFrames -
  // 1), anchor.
  void Build(GlobalMap& map, u32 count = ~0u);

  // The tracker's steps. Push uses the working copy's states and points
  // like the tracker; the builder syncs it first.
  void Initialize(GlobalMap& map, u32 pose);
  void Push(GlobalMap& map, u32 pose, u8 keyFrameFlag = 0);
  void Pop(GlobalMap& map);
  void Trim(GlobalMap& map, u16 first);
  // Whole structure at its truth: solved tracks with two measurements (or
  // marker), planes and plane membership.
  void AnchorAll(GlobalMap& map);
  // The key-frame input of a pose against the current map (matched features
  // first per level).
  void MakeInput(u32 pose, KeyFrameInput& input);

  // Ground truth.
  const Intrinsic& Camera() const { return intrinsic_; }
  const std::vector<MapPoint>& ScenePoints() const { return scenePoints_; }
  const CameraPose& TruePose(u32 pose) const { return poses_[pose]; }
  u32 PoseCount() const { return static_cast<u32>(poses_.size()); }
  // Scene point of each map track (kNone32: unknown), kept in step with
  // Push, Pop and Trim.
  const std::vector<u32>& TrackScenePoint() const { return trackPoint_; }
  // Poses of the map's key frames, in order.
  const std::vector<u32>& KeyFramePoses() const { return keyFramePose_; }
  MapWorkingCopy& Working() { return working_; }

 private:
  SyntheticMapOptions options_;
  Intrinsic intrinsic_{};
  std::vector<MapPoint> scenePoints_;
  std::vector<u16> scenePlane_;  // kNone16: clutter
  std::vector<MapPlane> truePlanes_;
  std::vector<CameraPose> poses_;
  std::vector<IMUState> states_;
  std::vector<u32> pointTrack_;  // scene point -> track
  std::vector<u32> trackPoint_;  // track -> scene point
  std::vector<u32> keyFramePose_;
  std::vector<std::vector<u32>> inputPoints_;  // per level, scene point of each input feature
  MapWorkingCopy working_;
  CVD::Image<TrackColor> colour_;
  CVD::Image<u8> pyramid_[kPyramidLevels];
  CVD::Image<float> floatImage_;
};

// Colour the synthetic colour image holds at a level-0 pixel.
TrackColor SyntheticColour(int x, int y);

// The bytes SaveMap writes for the map (empty when it fails).
std::string SavedMap(const GlobalMap& map);
// Same saved bytes but for the trailing `changed` flag: camera, arrays,
// lists, flags, colours and key-frame records with their images.
bool SameMapContent(const GlobalMap& a, const GlobalMap& b);

// Sets the map's camera (identity mounting) and empties it.
void ResetMap(GlobalMap& map, u16 width, u16 height, const Intrinsic& intrinsic);

// A small hand-made map: key frame k observes the tracks keyFrameTracks[k]
// (ids below the current count are matches, the next ids start new tracks in
// order). A match of track t lies on level t % 4, a new track's feature on
// level 0; every feature at normalised (0.01 t, 0.02 k); track t's point is
// (t, 0, 5, 1); tracks with two measurements are SOLVED and INLIER. Key frame
// k has state time 0.1 k, position (k, 0, 0) and a set attitude.
void BuildHandMap(GlobalMap& map, const std::vector<std::vector<u32>>& keyFrameTracks);

// Hand-map key frames along a chain; track counts 0:2 1:2 2:1 3:1 4:2 5:3 6:3 7:2 8:1.
inline const std::vector<std::vector<u32>> kHandChain = {
    {0, 1, 2, 3}, {0, 1, 4, 5}, {4, 5, 6}, {5, 6, 7}, {6, 7, 8}};

// Adds the plane z = 5 (where hand-map points lie) with `flags` under `tracks`.
void AddHandPlane(GlobalMap& map, u8 flags, const std::vector<u32>& tracks);

// A problem snapshot with the edits of its write-back.
struct MapSnapshot {
  IBAProblem problem;
  IBAState state;
  MapProblemIndex index;
  MapSnapshotToken token;
  BAResultEdits edits;

  void Global(const GlobalMap& map) { map.GetGBAProblem(problem, state, index, token); }
  bool Local(const GlobalMap& map) { return map.GetLBAProblem(problem, state, index, token); }
  // Moves every point and every camera by d in x.
  void Perturb(f32 d) {
    for (auto& p : state.points) p.v[0] += d;
    for (auto& c : state.cameras) c.p[0] += d;
  }
  bool Write(GlobalMap& map, u8 stamp, const char* tag) {
    return map.SetBAResult(problem, state, index.keyFrames, index.tracks, index.planes, edits,
                           token, stamp, tag);
  }
};

// The measurement a track-list entry of the map names.
inline const MapMeasurement& MeasurementOf(const GlobalMap& map, u32 entry) {
  return map.measurements[map.keyFrameMeasurementStart[GlobalMap::MeasurementKeyFrame(entry)] +
                          GlobalMap::MeasurementFeature(entry)];
}

// What CheckInvariants reports (under the shared lock), empty for a sound map.
std::string InvariantError(const GlobalMap& map);
