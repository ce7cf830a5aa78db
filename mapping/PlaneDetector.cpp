#include "mapping/PlaneDetector.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "la/Random.h"
#include "optimization/IMUParameters.h"

namespace {

inline f32 SignedDistance(const Plane& p, const LA::AlignedVector4f& X) {
  return ((p.v[0] * X.v[0] + p.v[1] * X.v[1]) + p.v[2] * X.v[2]) + p.v[3];
}

}  // namespace

PlaneDetector::PlaneDetector(f32 inlierThreshold) : PlaneEstimator2D(inlierThreshold) {}

bool PlaneDetector::Fits(const PlaneEstimatorData2D& data, u32 k, const Plane& plane) const {
  const LA::AlignedVector4f& X = data.points[k];
  const f32 e = SignedDistance(plane, X);
  // The distance test is the cheap one and turns most off-plane points away
  // before their views are projected.
  if (!(std::fabs(e) <= PlaneDistanceThreshold.load(std::memory_order_relaxed))) return false;
  LA::AlignedVector4f P;
  for (int i = 0; i < 3; ++i) P.v[i] = X.v[i] - e * plane.v[i];
  P.v[3] = 1.0f;
  u32 first, count;
  data.ObservationRange(k, first, count);
  const f32 S = ComputeReprojectionSSE(P, data.cameras.data() + first,
                                       data.measurements.Data() + first, count);
  return S <= static_cast<f32>(count) * threshold;
}

void PlaneDetector::Detect(const PlaneEstimatorData2D& data, AlignedArray<Plane>& planes,
                           std::vector<u16>& pointPlanes) {
  const u32 N = data.points.Size();
  if (pointPlanes.size() != N) pointPlanes.assign(N, kNone16);
  InitDistanceThreshold(data);
  Triangulate(data);
  pointMarks_.assign(N, kFree);
  marked_.clear();
  loaded_ = 0;

  // Existing planes grow again from their own points. Marks are cleared per
  // plane: the previous plane's points must not enter this one's refit.
  const u32 existing = planes.Size();
  for (u32 p = 0; p < existing; ++p) {
    ClearPointMarks();
    for (u32 k = 0; k < N; ++k)
      if (pointPlanes[k] == p) MarkCandidate(k);
    Plane plane = planes[p];
    f32 area;
    if (!GrowPlane(data, plane, area)) continue;
    planes[p] = plane;
    for (const u32 k : accepted_)
      if (pointPlanes[k] == kNone16) pointPlanes[k] = static_cast<u16>(p);
    RetireTriangles();
  }

  // New planes from seed triangles.
  regions_.clear();
  PlaneEstimatorMinimalSample sample;
  for (u32 attempt = 0; attempt < maxIterations; ++attempt) {
    u32 v[3];
    if (!PickSeedTriangle(v[0], v[1], v[2])) break;
    for (int i = 0; i < 3; ++i) sample.points[i] = data.points[v[i]];
    Plane plane;
    if (!solver.RunMinimalSample(sample, plane, work_)) continue;
    ClearPointMarks();
    for (const u32 k : v) MarkCandidate(k);
    f32 area;
    if (!GrowPlane(data, plane, area)) continue;
    regions_.push_back({plane, accepted_, area});
    RetireTriangles();
  }
  AssignPoints(data, planes, pointPlanes);
}

void PlaneDetector::InitDistanceThreshold(const PlaneEstimatorData2D& data) {
  if (PlaneDistanceThreshold.load(std::memory_order_relaxed) != FLT_MAX) return;
  Plane plane;
  RunLoRansac(data, plane, inliers_);
  const size_t n = inliers_.size();
  if (n < minPoints) return;
  distances_.resize(n);
  for (size_t i = 0; i < n; ++i)
    distances_[i] = std::fabs(SignedDistance(plane, data.points[inliers_[i]]));
  std::nth_element(distances_.begin(), distances_.begin() + n / 2, distances_.end());
  const f32 bound =
      std::max(distances_[n / 2] * medianFactor, static_cast<f32>(IMU_VARIANCE_PLANE));
  PlaneDistanceThreshold.store(bound, std::memory_order_relaxed);
}

void PlaneDetector::Triangulate(const PlaneEstimatorData2D& data) {
  const u32 N = data.points.Size();
  pixels_.Resize(N);
  for (u32 k = 0; k < N; ++k) {
    u32 first, count;
    data.ObservationRange(k, first, count);
    if (count == 0) {
      pixels_[k].x = pixels_[k].y = -1.0f;  // outside: no triangle
      continue;
    }
    const LA::Vector2<f32>& m = data.measurements[first + count - 1];
    pixels_[k].x = m.x * intrinsic.fx[0] + intrinsic.cx[0];
    pixels_[k].y = m.y * intrinsic.fy[0] + intrinsic.cy[0];
  }
  triangulation_.Build(pixels_, width, height);
  IndexTriangles();
}

bool PlaneDetector::GrowPlane(const PlaneEstimatorData2D& data, Plane& plane, f32& area) {
  accepted_.clear();
  AcceptCandidatePoints(data, plane);
  if (newly_.size() < 3) return false;
  RefitPlane(data, plane);
  // A seeded refit can hand accepted points back to the candidates and the
  // next round accept them again: the rounds are bounded by the point count.
  const u32 maxRounds = data.points.Size();
  u32 round = 0;
  for (;;) {
    if (++round > maxRounds) {
      if (log) std::fprintf(log, "    Plane growth stopped after %u rounds\n", maxRounds);
      break;
    }
    for (const u32 k : newly_) {
      for (u32 j = triangulation_.NeighbourBegin(k); j < triangulation_.NeighbourEnd(k); ++j)
        MarkCandidate(triangulation_.neighbours[j]);
    }
    AcceptCandidatePoints(data, plane);
    if (newly_.empty()) break;
    RefitPlane(data, plane);
  }
  if (accepted_.size() < minPoints) return false;
  area = ComputeRegionArea();
  return area >= areaFactor * static_cast<f32>(width) * static_cast<f32>(height);
}

void PlaneDetector::AcceptCandidatePoints(const PlaneEstimatorData2D& data, Plane& plane) {
  newly_.clear();
  for (const u32 k : marked_) {
    if (pointMarks_[k] != kCandidate || !Fits(data, k, plane)) continue;
    pointMarks_[k] = kAccepted;
    accepted_.push_back(k);
    newly_.push_back(k);
  }
  if (!newly_.empty() || marked_.size() < 3) return;
  LoadMarkedSubset(data);
  Plane seeded = plane;
  RunLoRansacFromModel(subset_, required_, seeded, inliers_);
  if (inliers_.empty()) return;
  plane = seeded;
  for (u32 i = 0, j = 0; i < marked_.size(); ++i) {
    const bool inlier = j < inliers_.size() && inliers_[j] == i;
    if (inlier) ++j;
    u8& mark = pointMarks_[marked_[i]];
    if (inlier && mark == kCandidate) {
      mark = kAccepted;
      newly_.push_back(marked_[i]);
    } else if (!inlier && mark == kAccepted) {
      mark = kCandidate;
    }
  }
  accepted_.clear();
  for (const u32 k : marked_)
    if (pointMarks_[k] == kAccepted) accepted_.push_back(k);
}

void PlaneDetector::RefitPlane(const PlaneEstimatorData2D& data, Plane& plane) {
  LoadMarkedSubset(data);
  f64 error = 0.0;
  VerifyModelConstrained(subset_, plane, required_, inliers_, error);
  if (inliers_.empty()) {
    // The verification is strict where acceptance is not: start from the
    // accepted points themselves.
    MaskToIndexList(required_, inliers_);
    ComputeInlierSSE(subset_, plane, required_, error);
  }
  RefineModelConstrained(subset_, required_, plane, inliers_, error);
  for (const u32 i : inliers_) pointMarks_[marked_[i]] = kAccepted;
  accepted_.clear();
  for (const u32 k : marked_)
    if (pointMarks_[k] == kAccepted) accepted_.push_back(k);
}

void PlaneDetector::LoadMarkedSubset(const PlaneEstimatorData2D& data) {
  // Points are only ever added to marked_ between two clears: append the new
  // ones to what the last load left.
  const u32 n = static_cast<u32>(marked_.size());
  subset_.mseFactor = data.mseFactor;
  subset_.mode = data.mode;
  if (loaded_ == 0) {
    subset_.points.Resize(0);
    subset_.offsets.assign(1, 0u);
    subset_.cameras.clear();
    subset_.measurements.Resize(0);
  }
  // Grows keeping the content, doubling so that a region's loads stay linear.
  if (n > subset_.points.Capacity()) subset_.points.Reserve(2 * n);
  subset_.points.Resize(n);
  for (u32 i = loaded_; i < n; ++i) {
    const u32 k = marked_[i];
    subset_.points[i] = data.points[k];
    u32 first, count;
    data.ObservationRange(k, first, count);
    const u32 at = subset_.offsets.back();
    const u32 total = at + count;
    if (total > subset_.measurements.Capacity()) subset_.measurements.Reserve(2 * total);
    subset_.measurements.Resize(total);
    for (u32 o = 0; o < count; ++o) {
      subset_.cameras.push_back(data.cameras[first + o]);
      subset_.measurements[at + o] = data.measurements[first + o];
    }
    subset_.offsets.push_back(total);
  }
  loaded_ = n;
  required_.Resize(n);
  for (u32 i = 0; i < marked_.size(); ++i)
    if (pointMarks_[marked_[i]] == kAccepted) required_.Set(i);
}

void PlaneDetector::ClearPointMarks() {
  for (const u32 k : marked_) pointMarks_[k] = kFree;
  marked_.clear();
  accepted_.clear();
  loaded_ = 0;
}

void PlaneDetector::MarkCandidate(u32 k) {
  if (pointMarks_[k] != kFree) return;
  pointMarks_[k] = kCandidate;
  marked_.push_back(k);
}
