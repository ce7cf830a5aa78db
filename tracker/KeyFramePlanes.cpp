// The plane hypotheses of a key frame: one per map plane its tracks lie on,
// and one per plane that sequential homography RANSAC finds among the pairs
// no hypothesis explains yet.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "la/Homography.h"
#include "tracker/ImageMatching.h"
#include "tracker/WarpHypotheses.h"

void ImageMatching::AddPlaneHypotheses(u16 k, u16 cur, AlignedArray<WarpRecord>& hypotheses) {
  const MapWorkingCopy& w = c_.mapView.Working();
  planeFirstBlock_.assign(w.planes.Size(), kNone32);
  if (k >= w.keyFramePoses.Size() ||
      static_cast<size_t>(k) + 1 >= w.keyFrameMeasurementStart.size())
    return;
  const CameraPose& keyFramePose = w.keyFramePoses[k];
  const CameraPose& currentPose = c_.ring[cur].pose.slot[kVisual];
  if (!IsPoseValid(keyFramePose) || !IsPoseValid(currentPose)) return;
  // Computed by the first plane and reused by the others.
  CameraPose relative;
  relative.m[0][0] = FLT_MAX;
  float scratch[4];
  WarpRecord H;
  const u32 begin = w.keyFrameMeasurementStart[k];
  const u32 end = std::min<u32>(w.keyFrameMeasurementStart[k + 1],
                                static_cast<u32>(w.measurementTracks.size()));
  for (u32 i = begin; i < end; ++i) {
    const u32 t = w.measurementTracks[i];
    const u16 plane = t < w.trackPlanes.size() ? w.trackPlanes[t] : kNone16;
    if (plane >= planeFirstBlock_.size() || planeFirstBlock_[plane] != kNone32) continue;
    planeFirstBlock_[plane] = hypotheses.Size();
    // A plane through the key frame's centre brings no block.
    AddPlaneHomography(c_.camera, keyFramePose, currentPose, w.planes[plane].v, relative, scratch,
                       H, hypotheses);
  }
}

void ImageMatching::CollectPlanePairs(u16 k, u16 cur, bool tracking) {
  pairs_[0].clear(), pairs_[1].clear();
  TrackerMapView& view = c_.mapView;
  const MapWorkingCopy& w = view.Working();
  const u32 featureStart = view.Records()[k].featureStart;
  const AlignedArray<LA::Vector2<float>>& normalized = view.KeyFrameNormalized();
  const TrackerFrame& frame = c_.ring[cur];
  if (!tracking) {
    view.MapKeyFrameTrackIndices(k, keyFrameIndex_);
    for (const auto& list : frame.mapMatches)
      for (const MapMatch& m : list) {
        if (m.track >= keyFrameIndex_.size() || keyFrameIndex_[m.track] == kNone16) continue;
        const u32 j = featureStart + keyFrameIndex_[m.track];
        if (j >= normalized.Size()) continue;
        pairs_[0].push_back(normalized[j]);
        pairs_[1].push_back({m.nx, m.ny});
      }
    return;
  }
  const CameraPose& P = frame.pose.slot[kVisual];
  if (!IsPoseValid(P) || static_cast<size_t>(k) + 1 >= w.keyFrameMeasurementStart.size()) return;
  const float* bounds = c_.camera.bounds;
  const u32 begin = w.keyFrameMeasurementStart[k];
  const u32 end = std::min<u32>(w.keyFrameMeasurementStart[k + 1],
                                static_cast<u32>(w.measurementTracks.size()));
  for (u32 i = begin; i < end && i < normalized.Size(); ++i) {
    const u32 t = w.measurementTracks[i];
    if (t >= w.trackFlags.size() || t >= w.points.Size() || !(w.trackFlags[t] & kTrackInlier))
      continue;
    if (t < w.trackPlanes.size() && w.trackPlanes[t] != kNone16) continue;
    const float* X = w.points[t].v;
    float x[3];
    for (int r = 0; r < 3; ++r)
      x[r] = P.m[r][0] * X[0] + P.m[r][1] * X[1] + P.m[r][2] * X[2] + P.m[r][3];
    if (!(x[2] > 0.0f)) continue;  // behind the camera, or on its plane
    const float u = x[0] / x[2], v = x[1] / x[2];
    if (!(u > bounds[0] && u < bounds[2] && v > bounds[1] && v < bounds[3])) continue;
    pairs_[0].push_back(normalized[i]);
    pairs_[1].push_back({u, v});
  }
}

void ImageMatching::DetectPlanes(u16 k, u16 cur, bool tracking, u32 firstRecord,
                                 AlignedArray<WarpRecord>& hypotheses) {
  if (k >= c_.mapView.Records().size() || !c_.ring.Contains(cur)) return;
  const float T = 4.0f * c_.camera.pixelVariance;
  CollectPlanePairs(k, cur, tracking);
  // Only this key frame's blocks can explain its pairs.
  u32 n = 0;
  for (size_t i = 0; i < pairs_[0].size(); ++i) {
    const float a[2] = {pairs_[0][i].x, pairs_[0][i].y};
    bool explained = false;
    for (u32 r = firstRecord; r + kHypothesisBlockSize <= hypotheses.Size() && !explained;
         r += kHypothesisBlockSize) {
      float b[2];
      ApplyHomography(reinterpret_cast<const float(*)[4]>(hypotheses[r].m), a, b);
      const float dx = b[0] - pairs_[1][i].x, dy = b[1] - pairs_[1][i].y;
      explained = dx * dx + dy * dy < T;
    }
    if (!explained) pairs_[0][n] = pairs_[0][i], pairs_[1][n++] = pairs_[1][i];
  }
  // Four pairs fix a homography; fewer find no plane.
  if (n < 4) return;
  n = std::min<u32>(n, 65535);
  homographyData_.Resize(static_cast<u16>(n));
  for (u32 i = 0; i < n; ++i)
    homographyData_.SetMatch(i, pairs_[0][i].x, pairs_[0][i].y, pairs_[1][i].x, pairs_[1][i].y);
  homographyEstimator_.threshold = T;
  homographyEstimator_.maxIterations = 300;
  homographyEstimator_.minIterations = 20;
  homographyEstimator_.RunSequentialRansac(homographyData_, homographies_, homographyInliers_);
  for (u32 i = 0; i < homographies_.Size(); ++i) {
    WarpRecord H;
    std::memcpy(H.m, homographies_[i].m, sizeof(H.m));
    H.m[3] = H.m[7] = H.m[11] = 0.0f;
    AddHomographyHypothesis(c_.camera, H, hypotheses);
  }
}
