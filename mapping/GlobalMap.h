#pragma once
// The one map all threads share: key frames with their images, key-frame
// states and poses, one 3-D point per track, planes, the measurements that
// tie tracks to key frames, flags and track colours.
//
// Locking: readers hold a shared lock for their whole run; writers take the
// upgrade lock and convert it to a unique one. Workers copy a problem out
// under the shared lock with a token of the modification counter, optimise
// unlocked and write back only when the counter has not moved. The counter
// advances with every stamped write, every reset and load, and every write
// that renumbers tracks or changes the plane set; the structure version
// advances when track ids are freed or renumbered (pop, trim, reset, load),
// which is what the track matcher's pair ids depend on.
#include <atomic>
#include <boost/thread/shared_mutex.hpp>
#include <string>
#include <vector>

#include "la/Pose.h"
#include "mapping/InertialUnits.h"
#include "mapping/KeyFrame.h"
#include "mapping/MapExchange.h"
#include "optimization/IBAProblem.h"
#include "optimization/IBAState.h"

// UTC time of day in seconds, millisecond resolution.
f64 CurrentTimeOfDay();
// Per pose [R | t] the centre -R^T t as (x, y, z, 1); out is sized to match.
void ComputeCameraCenters(const AlignedArray<CameraPose>& poses,
                          AlignedArray<LA::AlignedVector4f>& centers);
// counts = n zeros, then +1 at every id below 65535 (at most n - 1).
void CountPerKeyFrame(u16 n, const std::vector<u16>& ids, std::vector<u32>& counts);

class GlobalMap {
 public:
  // An empty map for a loader to fill.
  GlobalMap();
  // Stores the camera and its mounting, then Reset.
  GlobalMap(u16 width, u16 height, const Intrinsic& intrinsic, const f64 extrinsic[7]);
  GlobalMap(const GlobalMap&) = delete;
  GlobalMap& operator=(const GlobalMap&) = delete;

  // Empties the map (exclusive lock); camera, extrinsic and modifier stay.
  void Reset();
  // The tracker's pull: copies everything into `out` only when a writer has
  // flagged a change since the last pull; always reads the time. True when
  // copied.
  bool Synchronize(MapWorkingCopy& out);

  // --- Tracker writes (exclusive lock) and display readers (shared lock).
  // Starts an empty map with its first key frame; every feature a track.
  // A key frame keeps at most 65535 features (the last levels are cut).
  void InitializeKeyFrame(const KeyFrameInput& input, const std::vector<u16>& markerTracks);
  // Appends a key frame (flag 0 or kKeyFrameWeak). Takes the tracker's
  // states, poses, points and flags from `tracker`; drops duplicate matches
  // and compacts each level of `input` so that the kept matches lead.
  void PushKeyFrame(u8 keyFrameFlag, const MapWorkingCopy& tracker, KeyFrameInput& input, u8 stamp,
                    const std::string& tag);
  // The tracker's evidence of the map's unit in metres (InertialUnits::Add);
  // a map the marker sheet anchored is in metres and takes none.
  void AddInertialUnitEvidence(f64 xy, f64 xx);
  // Map units per metre of the inertial readings: 1 for a metric map.
  f64 InertialUnitsPerMetre() const { return inertialUnits_.PerMetre(); }
  // Removes the newest key frame and the tracks it created.
  void PopKeyFrame(u8 stamp, const std::string& tag);
  // Drops key frames 0 .. first - 1; trackMap[old id] = new id or kNone32.
  void RemoveKeyFramesBefore(u16 first, std::vector<u32>& trackMap, const std::string& tag);
  // The tracker's anchoring: scale, first key frame's state and pose, and
  // the whole structure replaced.
  void SetAnchoredStructure(f32 scale, const IMUState& state, const CameraPose& pose,
                            const AlignedArray<MapPoint>& newPoints,
                            const AlignedArray<MapPlane>& newPlanes,
                            const std::vector<u8>& newTrackFlags,
                            const std::vector<u8>& newPlaneFlags,
                            const std::vector<u16>& newTrackPlanes);
  // One level's measurements of a key frame and their tracks.
  void GetKeyFrameFeatures(u16 keyFrame, u8 level, AlignedArray<MapMeasurement>& out,
                           std::vector<u32>& tracks) const;
  // Resolves `track` in place and lists its measurements.
  void GetTrackMeasurements(u32& track, std::vector<u16>& keyFrames,
                            std::vector<u16>& features) const;

  // --- Worker snapshots (shared lock).
  // The whole map.
  void GetGBAProblem(IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                     MapSnapshotToken& token) const;
  // The window of the newest key frames; false when there is nothing to adjust.
  bool GetLBAProblem(IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                     MapSnapshotToken& token) const;
  // The whole map with the proposed merges folded in. Resolves, filters and
  // compacts `pairs` in place (survivor first); pairs.size() is then the
  // kept count. False, nothing built, when oldKeyFrame is not in the map or
  // the structure version is no longer `structureVersion`.
  bool GetTrackMatcherProblem(u16 oldKeyFrame, u64 structureVersion, std::vector<TrackPair>& pairs,
                              IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                              MapSnapshotToken& token) const;
  // Per key frame, how many of the given tracks it observes; all poses,
  // planes and float images (without the newest key frame when it is weak).
  // Returns the structure version the ids belong to.
  u64 CountCommonTracks(const std::vector<u32> (&tracks)[kPyramidLevels], std::vector<u16>& counts,
                        AlignedArray<CameraPose>& poses, AlignedArray<MapPlane>& planeCopy,
                        std::vector<CVD::Image<float>>& images) const;
  // A copy of one key frame with its measurements, points, tracks and flags.
  // False when the index is not a key frame.
  bool GetKeyFrame(u16 keyFrame, MapKeyFrameCopy& out) const;

  // --- Worker write-backs (exclusive lock). False, map untouched, when stale.
  // Bundle-adjustment result; oldPlanes: map plane of each of the result's
  // first planes (the rest are new planes).
  bool SetBAResult(const IBAProblem& problem, const IBAState& result,
                   const std::vector<u16>& keyFrames, const std::vector<u32>& tracks,
                   const std::vector<u16>& oldPlanes, const BAResultEdits& edits,
                   const MapSnapshotToken& token, u8 stamp, const std::string& tag);
  // Track-matcher result: cameras, points and planes only.
  bool SetTrackMatcherResult(const IBAState& result, const std::vector<u16>& keyFrames,
                             const std::vector<u32>& tracks, const std::vector<u16>& planeIndices,
                             const MapSnapshotToken& token, u8 stamp, const std::string& tag);
  // Merges each pair. False, nothing changed, when keyFrame is not in the
  // map or the structure version moved; true otherwise.
  bool MergeTracks(u16 keyFrame, const std::vector<TrackPair>& pairs, u64 structureVersion);

  // --- Helpers; the caller holds the lock (or owns the map alone).
  // Follows merge chains to the surviving track.
  u32 ResolveTrack(u32 track) const;
  // True when both tracks have a measurement in a common key frame.
  bool TracksOverlap(u32 a, u32 b, std::vector<u8>& scratch) const;
  // Every structural invariant; on failure false with the first fault in
  // *error. Loaders call it on what they read.
  bool CheckInvariants(std::string* error = nullptr) const;
  // After a loader has replaced the content under the exclusive lock:
  // changed set, counter and structure version advanced.
  void NoteLoaded();
  u64 ModificationCounter() const { return modificationCounter; }
  u64 StructureVersion() const { return structureVersion; }
  u32 KeyFrameCount() const { return static_cast<u32>(keyFrames.size()); }
  u32 TrackCount() const { return static_cast<u32>(trackMeasurements.size()); }
  u32 PlaneCount() const { return planes.Size(); }

  // Measurement list entry: key frame in the low half, feature in the high.
  static u32 PackMeasurement(u32 keyFrame, u32 feature) { return keyFrame | (feature << 16); }
  static u32 MeasurementKeyFrame(u32 m) { return m & 0xFFFF; }
  static u32 MeasurementFeature(u32 m) { return m >> 16; }

  // The map's content; read and written only under `mutex`.
  u16 width = 0;
  u16 height = 0;
  Intrinsic intrinsic{};
  f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
  f32 scale = 0.0f;
  std::vector<KeyFrame> keyFrames;
  AlignedArray<IMUState> keyFrameStates;
  AlignedArray<CameraPose> keyFramePoses;
  AlignedArray<MapPoint> points;
  AlignedArray<MapPlane> planes;
  AlignedArray<MapMeasurement> measurements;
  std::vector<std::vector<u32>> trackMeasurements;
  std::vector<u32> keyFrameMeasurementStart;
  std::vector<std::pair<u32, u32>> keyFrameTrackRange;  // (lowest, highest) track
  std::vector<u32> measurementTracks;
  std::vector<u16> trackPlanes;
  std::vector<u8> keyFrameFlags;
  std::vector<u8> trackFlags;
  std::vector<u8> planeFlags;
  std::vector<TrackColor> trackColors;
  // Set by every writer (exclusive lock), cleared by the tracker's pull under
  // the shared lock, read by other readers (the map file): atomic, so the
  // clear never races with them.
  std::atomic<u8> changed{1};
  mutable boost::shared_mutex mutex;
  f64 modificationTime = -1.0;  // informational
  std::string modifier;         // informational: tag of the last stamped write
  u64 modificationCounter = 0;
  u64 structureVersion = 0;

 private:
  // Counter always; time and tag when stamp is set.
  void Stamp(u8 stamp, const std::string& tag);
  // The key frames `out` does not hold yet (all after a structure change).
  void CopyKeyFrames(MapWorkingCopy& out) const;
  void ClearContent();
  bool IsFresh(const MapSnapshotToken& token) const { return token.counter == modificationCounter; }
  // Shared steps of the builders once cameras, points and planes are chosen.
  void FillProblem(IBAProblem& problem, IBAState& state, MapProblemIndex& index,
                   MapSnapshotToken& token, u32 fixedCameras, u32 fixedPoints, u32 fixedPlanes,
                   bool gauge, u32 groundFixedPointLimit) const;
  void SelectPlanesOfPoints(MapProblemIndex& index, u32& fixedPlanes) const;
  // Writes problem camera i back into key frame keyFrames[i].
  void WriteBackCameras(const IBAState& result, const std::vector<u16>& keyFrames);
  void AppendTrackColor(const CVD::BasicImage<TrackColor>* colour, const LA::Vector2<float>& pixel,
                        u32 level);
  void MergePair(u32 a, u32 b, std::vector<u8>& scratch);
  // Drops planes with fewer than three points, renumbering the rest; true
  // when any plane went.
  bool CleanUpPlanes();

  InertialUnits inertialUnits_;  // its own lock: the tracker adds every frame
  // Writer scratch (writers are exclusive).
  std::vector<u8> writeMarks_;
  std::vector<u32> writeCounts_;
  std::vector<u16> writePlaneMap_;
};
