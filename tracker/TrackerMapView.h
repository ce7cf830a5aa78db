#pragma once
// The tracker's view of the shared map: the working copy it pulls at every
// frame (with its own copy of what it reads of each key frame), the
// per-track patches, the per-key-frame records, features and image maps, and
// the counting and bookkeeping helpers the stages share. The shared map is
// read in place only under its lock (ReadKeyFrame).
#include <boost/thread/locks.hpp>
#include <vector>

#include "estimation/MatchSet2D.h"
#include "mapping/GlobalMap.h"
#include "tracker/TrackerRecords.h"

class TrackerMapView {
 public:
  explicit TrackerMapView(GlobalMap& map) : map_(map) {}

  GlobalMap& Map() { return map_; }
  const GlobalMap& Map() const { return map_; }
  // Pulls the map; true when it changed since the last pull. The points the
  // tracker solved itself and the map does not hold are kept (see
  // NoteOwnPoint).
  bool Synchronize();
  // A point the tracker solved, or unsolved, in its working copy. A track
  // that only one key frame measures (the rest are ring frames) is solved
  // here and never in the map, and every pull would drop it: such points
  // are put back after each pull until the map solves the track itself.
  void NoteOwnPoint(u32 track);
  // Drops those points: after a pop, a trim or an anchoring the map's track
  // ids or points are not what they were noted against.
  void ForgetOwnPoints();
  // Empties the working copy and every per-key-frame array (the map itself
  // is the caller's to reset).
  void Clear();
  // The records of the map's key frames, for a tracker that views a loaded
  // map: per level the first patch of the tracks each key frame created, and
  // the start of its features.
  void BuildKeyFrameRecords();

  const MapWorkingCopy& Working() const { return working_; }
  MapWorkingCopy& Working() { return working_; }
  u32 KeyFrameCount() const { return static_cast<u32>(working_.keyFrameFlags.size()); }
  // The newest key frame when it was pushed provisionally, else kNone16.
  u16 ProvisionalKeyFrame() const;
  // Of key frame k as the last pull saw it: its frame number (-1 when there
  // is no such key frame), its small float image (empty then) and its
  // per-level measurement offsets (null then).
  i32 KeyFrameNumber(u16 k) const;
  const CVD::BasicImage<float>& KeyFrameImage(u16 k) const;
  const u16* KeyFrameLevelOffsets(u16 k) const;
  // Calls read(const KeyFrame&) on key frame k of the shared map under its
  // shared lock; false when there is no such key frame.
  template <class Read>
  bool ReadKeyFrame(u16 k, Read read) const;

  AlignedArray<FeaturePatch>& Patches() { return patches_; }
  const AlignedArray<FeaturePatch>& Patches() const { return patches_; }
  std::vector<KeyFrameRecord>& Records() { return records_; }
  const std::vector<KeyFrameRecord>& Records() const { return records_; }
  // Every key frame's features, pixel and normalised, parallel to its tracks.
  AlignedArray<LA::Vector2<float>>& KeyFramePixels() { return keyFramePixels_; }
  AlignedArray<LA::Vector2<float>>& KeyFrameNormalized() { return keyFrameNormalized_; }
  const AlignedArray<LA::Vector2<float>>& KeyFrameNormalized() const { return keyFrameNormalized_; }
  // Where one key frame's features lie: entries [first, first + count) of
  // the normalised features (and of the pixels, which grow with them) run
  // parallel to tracks [trackStart, trackStart + count) of the working copy,
  // split by level at levelOffsets.
  struct FeatureSpan {
    u32 first = 0, trackStart = 0, count = 0;
    const u16* levelOffsets = nullptr;
  };
  // False, with an empty span, for a key frame the view does not hold whole:
  // not pulled yet, trimmed away, or with lists shorter than its records say.
  bool KeyFrameFeatures(u16 keyFrame, FeatureSpan& span) const;
  // One image map per key frame: pixels of the current frame's alignment
  // image into the key frame's.
  AlignedArray<WarpRecord>& KeyFrameMaps() { return keyFrameMaps_; }
  const AlignedArray<WarpRecord>& KeyFrameMaps() const { return keyFrameMaps_; }

  // --- Bookkeeping of a frame's matches.
  // Counts RELIABLE sightings and misses of the frame's patches.
  void UpdatePatchStatistics(const TrackerFrame& frame);
  // Re-derives the frame's matches after the map changed, renumbering with
  // the last pull's table (merged tracks map to the survivor) or `table`.
  void ComputeFrameStatistics(TrackerFrame& frame);
  void ComputeFrameStatistics(TrackerFrame& frame, const std::vector<u32>& table);
  // After a trim: tracks renumbered by trackTable, patches shifted down.
  void UpdateFrameCounts(TrackerFrame& frame, const std::vector<u32>& trackTable,
                         u32 patchShift) const;
  static void NormalizeMatchPositions(const Intrinsic& intrinsic, std::vector<MapMatch>& list);
  // Squared distance, in normalised units, between the match and its point
  // seen through the pose; FLT_MAX for a point on or behind the camera plane,
  // however close its mirrored projection falls.
  static float SquaredMatchError(const CameraPose& pose, const MapPoint& point, const MapMatch& m);
  // Once a second key frame has measured the points' depths (before, they
  // all stand at one guessed depth and every match is about that far off),
  // a match farther than this from its point is a wrong corner the search
  // let through its 5-pixel gate: level-0 pixels, twice as far a level up.
  static constexpr float kFarMatchPixels = 2.5f;
  bool DepthsMeasured() const { return KeyFrameCount() >= 2; }
  // That distance at `level`, squared, in normalised units.
  static float FarMatchBound(const Intrinsic& level0, int level);

  // --- Counting and marking over the frame's map matches and the key frames.
  bool IsInlier(u32 track) const;
  u32 CountInlierMapMatches(const TrackerFrame& frame) const;
  u32 CountUnsolvedMapMatches(const TrackerFrame& frame) const;
  u32 CountMarkedMapMatches(const TrackerFrame& frame, const std::vector<u8>& marks) const;
  u32 CountKeyFrameTrackMatches(const TrackerFrame& frame, const std::vector<u16>& table) const;
  void MarkFrameTracks(const TrackerFrame& frame, std::vector<u8>& marks) const;
  u32 CountKeyFrameTracks(u16 keyFrame, u8 mask) const;
  u32 CountKeyFrameTracksWithFlags(u16 keyFrame, int level, u8 mask) const;
  void MarkKeyFrameTracks(u16 keyFrame, std::vector<u8>& marks) const;
  void MapKeyFrameTrackIndices(u16 keyFrame, std::vector<u16>& table) const;
  void CountPlaneTracks(std::vector<u32>& counts) const;
  // 2-D matches of the frame's map matches with a key frame's features, or
  // with another frame's matches of the same tracks; their tracks per level.
  void BuildKeyFrameMatchSet(u16 keyFrame, const TrackerFrame& frame, MatchSet2D& set,
                             std::vector<u32> (&trackLists)[kPyramidLevels]) const;
  void BuildFrameMatchSet(const TrackerFrame& frameA, const TrackerFrame& frameB, MatchSet2D& set,
                          std::vector<u32> (&lists)[kPyramidLevels]) const;

 private:
  GlobalMap& map_;
  MapWorkingCopy working_;
  AlignedArray<FeaturePatch> patches_;  // per track
  std::vector<KeyFrameRecord> records_;
  AlignedArray<LA::Vector2<float>> keyFramePixels_, keyFrameNormalized_;
  AlignedArray<WarpRecord> keyFrameMaps_;
  std::vector<u8> trackMarks_;      // ComputeFrameStatistics' scratch
  std::vector<MapMatch> setAside_;  // the same
  std::vector<u64> orderKeys_;      // the same
  std::vector<MapMatch> ordered_;   // the same
  const CVD::Image<float> noImage_;
  // The tracker's own points (NoteOwnPoint) and, per track, its entry or
  // kNone32.
  struct OwnPoint {
    MapPoint point;
    u32 track;
    u8 flags;
  };
  std::vector<OwnPoint> ownPoints_;
  std::vector<u32> ownIndex_;
};

template <class Read>
bool TrackerMapView::ReadKeyFrame(u16 k, Read read) const {
  boost::shared_lock<boost::shared_mutex> lock(map_.mutex);
  if (k >= map_.keyFrames.size()) return false;
  read(static_cast<const KeyFrame&>(map_.keyFrames[k]));
  return true;
}
