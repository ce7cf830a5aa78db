#include "tracker/NewPoints.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "estimation/Point3DSolver.h"
#include "la/GroupStarts.h"

namespace {

// A solved track is re-checked while it is still marked unreliable.
bool IsCandidate(u8 flags) {
  if (flags & kTrackMarker) return false;  // fixed by the marker sheet
  if (!(flags & kTrackSolved)) return true;
  return (flags & kTrackInlier) && (flags & kTrackUnreliable);
}

constexpr u8 kNewPointFlags = kTrackSolved | kTrackInlier | kTrackUnreliable;

// Integer percentage; 0 when nothing was tried.
int Percent(u32 part, u32 whole) {
  return whole == 0 ? 0 : static_cast<int>(part * 100 / whole);
}

void AddObservation(Point3DEstimatorData& data, const CameraPose& pose, f32 x, f32 y) {
  data.cameras.push_back(&pose);
  data.measurements.PushBack({x, y}, 16);
}

}  // namespace

bool SeenTooNear(const Point3DEstimatorData& data, const Point3D& point, f32 nearest) {
  for (const LA::AlignedMatrix3f* C : data.cameras)
    if (!(PointDepth(*C, point) >= nearest)) return true;
  return false;
}

f32 TriangulationDepth(f32 minRayCosine, f32 defaultDepth) {
  return minRayCosine < kMinRayCosine ? FLT_MAX : defaultDepth;
}

void NewPoints::CreateNewPoints(u16 frame, TrackingMode mode) {
  counts_ = NewPointCounts{};
  if (!c_.ring.Contains(frame)) return;
  const TrackerFrame& f = c_.ring[frame];
  CollectCandidates(f);
  CollectObservations();

  // Squared reprojection errors in normalised units: 10 pixels while
  // recovering, 6 otherwise.
  const f32 fxfy = c_.camera.intrinsic[0].misc[0];
  pointEstimator_.threshold = (mode.recovering ? 100.0f : 36.0f) / fxfy;
  pointEstimator_.maxIterations = 10;  // the robust loop's; Triangulate does not sample
  // A depth that is not positive would put the point behind the camera.
  const f32 sceneDepth = f.sceneDepth;
  f32 defaultDepth =
      sceneDepth > 0.0f && std::isfinite(sceneDepth) ? sceneDepth : c_.options.initialDepth;
  // Rays from cameras whose poses hold still while the view moves meet only
  // at the cameras: a point solved there pins the next poses where they
  // are, and the points after it go nearer still.
  const f32 nearest = kNearDepthFactor * defaultDepth;
  // A track whose rays do not fix a depth gets the scene's as a guess. That
  // is what tracking goes on with while the map has no measured depth (one
  // key frame) or the frame sees little of it (a turn to a view not yet
  // mapped). A frame that sees enough of a measured map has no use for a
  // guess, which would only pull the next poses: the track waits for its
  // parallax instead.
  if (c_.mapView.KeyFrameCount() >= 2 && f.inlierCount >= kEnoughMeasuredInliers)
    defaultDepth = 0.0f;
  SolveCandidates(defaultDepth, nearest);
  RemoveFailedMatches();

  for (const u32 track : candidates_) candidateIndex_[track] = kNone16;
  const NewPointCounts& n = counts_;
  c_.log.Print("[%d] New Points = %d / %d = %d%%, Bad Points = %d / %d = %d%%\n", f.number,
               static_cast<int>(n.solved), static_cast<int>(n.triangulated),
               Percent(n.solved, n.triangulated), static_cast<int>(n.bad),
               static_cast<int>(n.rechecked), Percent(n.bad, n.rechecked));
}

void NewPoints::CollectCandidates(const TrackerFrame& f) {
  const MapWorkingCopy& w = c_.mapView.Working();
  const u32 tracks = static_cast<u32>(std::min<size_t>(w.trackFlags.size(), w.points.Size()));
  // Entries are kNone16 between calls; only new tracks need setting.
  if (candidateIndex_.size() < tracks) candidateIndex_.resize(tracks, kNone16);
  candidates_.clear();
  for (const auto& list : f.mapMatches) {
    for (const MapMatch& m : list) {
      if (m.track >= tracks || candidateIndex_[m.track] != kNone16) continue;
      if (!IsCandidate(w.trackFlags[m.track])) continue;
      if (candidates_.size() >= kNone16) return;  // the index is 16 bits wide
      candidateIndex_[m.track] = static_cast<u16>(candidates_.size());
      candidates_.push_back(m.track);
    }
  }
}

void NewPoints::CollectObservations() {
  const u32 n = static_cast<u32>(candidates_.size());
  failed_.assign(n, 0);
  sightings_.clear();
  const MapWorkingCopy& w = c_.mapView.Working();
  const std::vector<KeyFrameRecord>& records = c_.mapView.Records();
  const AlignedArray<LA::Vector2<float>>& features = c_.mapView.KeyFrameNormalized();
  for (u32 i = 0; i < n; ++i) {
    // The map follows merges to the surviving track; the point stays with
    // the track the tracker knows, which the next push resolves the same way.
    u32 track = candidates_[i];
    c_.mapView.Map().GetTrackMeasurements(track, measurementKeyFrames_, measurementFeatures_);
    for (size_t e = 0; e < measurementKeyFrames_.size(); ++e) {
      const u16 k = measurementKeyFrames_[e];
      if (k >= w.keyFramePoses.Size() || k >= records.size()) continue;  // not pulled yet
      const u32 feature = records[k].featureStart + measurementFeatures_[e];
      if (feature >= features.Size() || IsPoseInvalid(w.keyFramePoses[k])) continue;
      sightings_.push_back({i, &w.keyFramePoses[k], features[feature].x, features[feature].y});
    }
  }
  const u16 slots = c_.ring.Size();
  for (u16 s = 0; s < slots; ++s) {
    const TrackerFrame& f = c_.ring[s];
    const CameraPose& pose = f.pose.slot[kVisual];
    if (IsPoseInvalid(pose)) continue;
    for (const auto& list : f.mapMatches) {
      for (const MapMatch& m : list) {
        if (m.track >= candidateIndex_.size()) continue;
        const u16 i = candidateIndex_[m.track];
        if (i != kNone16) sightings_.push_back({i, &pose, m.nx, m.ny});
      }
    }
  }
  // Grouped by candidate, each group in the order met: key frames first,
  // then the ring frames.
  sightingStarts_.assign(static_cast<size_t>(n) + 1, 0);
  for (const Sighting& s : sightings_) ++sightingStarts_[s.candidate + 1];
  GroupStarts(sightingStarts_, sightingFill_);
  grouped_.resize(sightings_.size());
  for (const Sighting& s : sightings_) grouped_[sightingFill_[s.candidate]++] = s;
}

void NewPoints::FillObservations(u32 i) {
  Point3DEstimatorData& data = observations_;
  data.cameras.clear();
  data.measurements.Clear();
  data.weights.Clear();
  data.squaredWeights.Clear();
  data.centres.Clear();
  data.mseFactor = c_.camera.intrinsic[0].misc[0];
  for (u32 e = sightingStarts_[i]; e < sightingStarts_[i + 1]; ++e)
    AddObservation(data, *grouped_[e].pose, grouped_[e].x, grouped_[e].y);
}

void NewPoints::SolveCandidates(f32 defaultDepth, f32 nearest) {
  MapWorkingCopy& w = c_.mapView.Working();
  const u32 n = static_cast<u32>(candidates_.size());
  for (u32 i = 0; i < n; ++i) {
    const u32 track = candidates_[i];
    FillObservations(i);
    Point3DEstimatorData& data = observations_;
    u8& flags = w.trackFlags[track];
    MapPoint& stored = w.points[track];
    Point3D X;
    if (flags & kTrackSolved) {
      ++counts_.rechecked;
      for (int k = 0; k < 4; ++k) X.v[k] = stored.v[k];
      X.v[3] = 1.0f;
      if (pointEstimator_.RefinePoint(data, X) && !SeenTooNear(data, X, nearest)) {
        for (int k = 0; k < 4; ++k) stored.v[k] = X.v[k];
      } else {
        flags &= static_cast<u8>(~kNewPointFlags);
        failed_[i] = 1;
        ++counts_.bad;
      }
    } else if (const f32 depth = TriangulationDepth(data.ComputeMinRayCosine(), defaultDepth);
               depth != 0.0f) {
      ++counts_.triangulated;
      if (pointEstimator_.Triangulate(data, X, depth) && !SeenTooNear(data, X, nearest)) {
        for (int k = 0; k < 4; ++k) stored.v[k] = X.v[k];
        flags |= kNewPointFlags;
        ++counts_.solved;
      } else {
        failed_[i] = 1;
      }
    }
    c_.mapView.NoteOwnPoint(track);
  }
}

bool NewPoints::IsFailedCandidate(u32 track) const {
  if (track >= candidateIndex_.size()) return false;
  const u16 i = candidateIndex_[track];
  return i != kNone16 && failed_[i];
}

void NewPoints::RemoveFailedMatches() {
  const u16 slots = c_.ring.Size();
  for (u16 s = 0; s < slots; ++s) {
    TrackerFrame& f = c_.ring[s];
    if (f.keyFrame != kNone16) continue;  // a key frame keeps its views for later
    for (auto& list : f.mapMatches) {
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&](const MapMatch& m) { return IsFailedCandidate(m.track); }),
                 list.end());
    }
    f.inlierCount = static_cast<u16>(c_.mapView.CountInlierMapMatches(f));
    f.unsolvedCount = static_cast<u16>(c_.mapView.CountUnsolvedMapMatches(f));
  }
}
