#pragma once
// New map points: the tracks a frame sees that have no point yet are
// triangulated from every key frame and ring frame that observed them, and
// solved tracks still marked unreliable are re-checked against the same
// observations. A track that fails loses its matches in the ordinary ring
// frames; key frames keep theirs, so more views can solve it later.
#include <vector>

#include "estimation/Point3DEstimator.h"
#include "tracker/TrackerContext.h"
#include "tracker/TrackerStages.h"

// Rays closer than 1 degree (a larger cosine) do not fix a depth.
constexpr f32 kMinRayCosine = 0.9998477f;  // cos 1 degree

// The depth handed to Point3DEstimator::Triangulate: FLT_MAX (N-view
// triangulation) when the widest pair of rays spreads by more than 1 degree,
// else the default depth on the first observation's ray.
f32 TriangulationDepth(f32 minRayCosine, f32 defaultDepth);

// A point nearer to a camera that sees it than this fraction of the
// scene's depth is a bad triangulation, not an object by the lens.
constexpr f32 kNearDepthFactor = 0.05f;

// True when a camera of the observation set sees the point nearer than
// `nearest` (behind it included).
bool SeenTooNear(const Point3DEstimatorData& data, const Point3D& point, f32 nearest);

// Inliers from which a frame sees enough of a map with measured depths to
// go on without points at a guessed depth.
constexpr u32 kEnoughMeasuredInliers = 60;

// What one CreateNewPoints did: the numbers of its log line.
struct NewPointCounts {
  u32 triangulated = 0;  // unsolved candidates tried
  u32 solved = 0;        // of those, given a point
  u32 rechecked = 0;     // unreliable solved candidates re-checked
  u32 bad = 0;           // of those, returned to the unsolved state
};

class NewPoints {
 public:
  explicit NewPoints(const TrackerContext& context) : c_(context) {}

  // Points for the frame's unsolved tracks and re-checks of its unreliable
  // ones; failed tracks leave the ordinary frames' matches, whose counts are
  // then recomputed. Writes the track points and flags of the working copy.
  void CreateNewPoints(u16 frame, TrackingMode mode);

  // The counts of the last call.
  const NewPointCounts& Counts() const { return counts_; }

 private:
  // Tracks of the frame's matches that need a point or a re-check.
  void CollectCandidates(const TrackerFrame& f);
  // Each candidate's key-frame measurements, then its ring-frame matches.
  void CollectObservations();
  // The observation set of candidate i, from its collected sightings.
  void FillObservations(u32 i);
  // defaultDepth 0: tracks whose rays do not fix a depth stay unsolved. A
  // point any of its cameras sees nearer than `nearest` fails.
  void SolveCandidates(f32 defaultDepth, f32 nearest);
  void RemoveFailedMatches();
  bool IsFailedCandidate(u32 track) const;

  TrackerContext c_;
  Point3DEstimator pointEstimator_{0.0f};
  NewPointCounts counts_;
  // One observation of a candidate: the camera and the normalised point.
  struct Sighting {
    u32 candidate;
    const CameraPose* pose;
    f32 x, y;
  };
  // Scratch, grown only: the candidate tracks in the order the frame meets
  // them, each track's place in that list (kNone16: none), every sighting
  // as met and grouped by candidate (candidate i's from sightingStarts_[i]),
  // the observation set being solved, one outcome per candidate, and the
  // map's measurement lists.
  std::vector<u32> candidates_;
  std::vector<u16> candidateIndex_;
  std::vector<Sighting> sightings_, grouped_;
  std::vector<u32> sightingStarts_, sightingFill_;
  Point3DEstimatorData observations_;
  std::vector<u8> failed_;
  std::vector<u16> measurementKeyFrames_, measurementFeatures_;
};
