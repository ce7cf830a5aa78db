// Outlier rejection, weak-triangulation marks and the recovery of earlier
// outliers: the passes of the bundle adjustors that judge points one by one.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "features/FeatureRecords.h"
#include "mapping/BundleAdjustorGlobal.h"

using LA::Dot3;

namespace {

// Cosine of 3 degrees: rays closer than this fix a point poorly.
const f32 kNarrowCosine = std::cos(0.0523599f);

// Integer percentage, 0 of nothing.
inline int Percent(u32 part, u32 whole) {
  return whole == 0 ? 0 : static_cast<int>(part * 100 / whole);
}

// Centre -R^T t of a camera pose, as (x, y, z, 1).
LA::AlignedVector4f Centre(const CameraPose& P) {
  LA::AlignedVector4f c;
  CameraCentre(P, c.v);
  c.v[3] = 1.0f;
  return c;
}

}  // namespace

void BundleAdjustorGlobal::RejectOutliers(f32 ratio, f32 lower, f32 upper, bool planes) {
  const u32 N = state.points.Size();
  const u32 C = state.cameras.Size();
  const u32 F = std::min(problem.fixedPoints, N);
  IBAFeatures& f = problem.features;
  IndexObservations();

  // Mean squared error of every inlier point; not finite counts as largest.
  errors.assign(N, FLT_MAX);
  for (u32 p = 0; p < N; ++p) {
    if (!(problem.pointFlags[p] & kTrackInlier)) continue;
    const u32 n = pointObsStart[p + 1] - pointObsStart[p];
    if (n == 0) continue;
    f32 sum = 0.0f;
    for (u32 o = pointObsStart[p]; o < pointObsStart[p + 1]; ++o) {
      const CameraPose& P = state.cameras[pointObs[o].first].pose;
      const IBAMeasurement& m = f.measurements[pointObs[o].second];
      const f32* X = state.points[p].v;
      const f32 z = Dot3(P.m[2], X) + P.m[2][3];
      const f32 dx = m.x - (Dot3(P.m[0], X) + P.m[0][3]) / z;
      const f32 dy = m.y - (Dot3(P.m[1], X) + P.m[1][3]) / z;
      sum += dx * dx + dy * dy;
    }
    const f32 e = sum / static_cast<f32>(n);
    if (std::isfinite(e)) errors[p] = e;
  }

  keep.assign(N, 0);
  for (u32 p = 0; p < F; ++p) keep[p] = (problem.pointFlags[p] & kTrackInlier) != 0;
  cameraThresholds.assign(C, 0.0f);
  for (u32 c = 0; c < C; ++c) {
    sample.clear();
    for (u32 m = f.index[4 * c]; m < f.index[4 * c + 4]; ++m) {
      const u8 flags = problem.pointFlags[f.measurements[m].point];
      if ((flags & kTrackInlier) && !(flags & kTrackUnreliable))
        sample.push_back(errors[f.measurements[m].point]);
    }
    f32 t = 0.0f;
    if (!sample.empty()) {
      const size_t k = static_cast<size_t>(static_cast<f32>(sample.size() - 1) * ratio);
      std::nth_element(sample.begin(), sample.begin() + k, sample.end());
      t = sample[k];
    }
    if (t < lower) {
      t = lower;
    } else if (t > upper) {
      t = upper;
    }
    cameraThresholds[c] = t;
    for (u32 m = f.index[4 * c]; m < f.index[4 * c + 4]; ++m) {
      const u32 p = f.measurements[m].point;
      if ((problem.pointFlags[p] & kTrackInlier) && (p < F || errors[p] < t)) keep[p] = 1;
    }
  }

  // Removed points go to the outlier store with all their observations.
  u32 inliersBefore = 0, inliersKept = 0, kept = 0, fixedKept = 0;
  remap.assign(N, kNone32);
  for (u32 p = 0; p < N; ++p) {
    const bool inlier = (problem.pointFlags[p] & kTrackInlier) != 0;
    inliersBefore += inlier;
    if (keep[p]) {
      inliersKept += inlier;
      fixedKept += p < F;
      remap[p] = kept++;
      continue;
    }
    edits.retestedTracks.push_back(pointTracks[p]);
    outlierRecords.push_back({problem.pointPlanes[p], static_cast<u32>(outlierObservations.size()),
                              pointObsStart[p + 1] - pointObsStart[p]});
    for (u32 o = pointObsStart[p]; o < pointObsStart[p + 1]; ++o) {
      const IBAMeasurement& m = f.measurements[pointObs[o].second];
      outlierObservations.push_back({static_cast<u16>(pointObs[o].first), m.x, m.y});
    }
  }

  // Compaction: kept points move down, the measurement runs are rebuilt.
  for (u32 p = 0; p < N; ++p) {
    const u32 to = remap[p];
    if (to == kNone32 || to == p) continue;
    problem.pointPlanes[to] = problem.pointPlanes[p];
    problem.pointFlags[to] = problem.pointFlags[p];
    state.points[to] = state.points[p];
    pointTracks[to] = pointTracks[p];
  }
  problem.pointPlanes.resize(kept);
  problem.pointFlags.resize(kept);
  state.points.Resize(kept);
  pointTracks.resize(kept);
  problem.fixedPoints = fixedKept;
  if (kept < N) {
    u32 w = 0;
    for (u32 g = 0; g < 4 * C; ++g) {
      const u32 begin = f.index[g], end = f.index[g + 1];
      f.index[g] = w;
      for (u32 m = begin; m < end; ++m) {
        const u32 to = remap[f.measurements[m].point];
        if (to == kNone32) continue;
        f.measurements[w] = f.measurements[m];
        f.measurements[w++].point = to;
      }
    }
    f.index[4 * C] = w;
    f.measurements.Resize(w);
    for (std::vector<u32>& points : problem.planePoints) {
      u32 n = 0;
      for (const u32 p : points)
        if (p < N && remap[p] != kNone32) points[n++] = remap[p];
      points.resize(n);
    }
    problem.IndexPlanePoints();
    problem.SortFeatures();
  }
  const u32 removed = inliersBefore - inliersKept;
  Print("    Inlier --> Outlier: %d / %d = %d%% points", removed, inliersBefore,
        Percent(removed, inliersBefore));

  if (planes) {
    // Points off their plane are detached; planes left small are dissolved.
    const f32 theta = PlaneDistanceThreshold.load(std::memory_order_relaxed);
    const u32 Q = state.planes.Size();
    planeRemap.assign(Q, kNone16);
    u32 detached = 0, next = 0;
    for (u32 j = 0; j < Q; ++j) {
      const f32* n = state.planes[j].v;
      std::vector<u32>& points = problem.planePoints[j];
      u32 stay = 0;
      for (const u32 p : points) {
        const f32 d = std::fabs(Dot3(n, state.points[p].v) + n[3]);
        if (d >= theta) {
          problem.pointPlanes[p] = kNone16;
          edits.clearedPlaneTracks.push_back(pointTracks[p]);
          ++detached;
        } else {
          points[stay++] = p;
        }
      }
      points.resize(stay);
      if (stay < 15 && !(problem.planeFlags[j] & kPlaneGround)) {
        for (const u32 p : points) {
          problem.pointPlanes[p] = kNone16;
          edits.clearedPlaneTracks.push_back(pointTracks[p]);
          ++detached;
        }
        points.clear();
        continue;
      }
      planeRemap[j] = static_cast<u16>(next++);
    }
    RenumberPlanes(planeRemap);
    Print(", %d planar points, %d planes", detached, Q - next);
  }
  Print("\n");
}

void BundleAdjustorGlobal::MarkUnreliablePoints() {
  const u32 N = state.points.Size();
  const f32 L = index.scale;
  IndexObservations();
  AlignedArray<LA::AlignedVector4f>& centres = pointData.centres;
  u32 candidates = 0, unreliable = 0;
  for (u32 p = 0; p < N; ++p) {
    u8& flags = problem.pointFlags[p];
    if (flags & (kTrackImu | kTrackMarker)) continue;
    ++candidates;
    const u32 n = pointObsStart[p + 1] - pointObsStart[p];
    pointData.cameras.resize(n);
    pointData.measurements.Resize(n);
    centres.Resize(n);
    pointData.weights.Resize(0);
    pointData.squaredWeights.Resize(0);
    for (u32 i = 0; i < n; ++i) {
      const auto& o = pointObs[pointObsStart[p] + i];
      const IBAMeasurement& m = problem.features.measurements[o.second];
      const CameraPose& P = state.cameras[o.first].pose;
      pointData.cameras[i] = &P;
      pointData.measurements[i] = {m.x, m.y};
      centres[i] = Centre(P);
    }
    if (pointData.ComputeMaxBaseline() < 0.5f * L ||
        pointData.ComputeMinRayCosine() > kNarrowCosine) {
      flags |= kTrackUnreliable;
      ++unreliable;
    } else {
      flags &= static_cast<u8>(~kTrackUnreliable);
    }
  }
  Print("    Unreliable points: %d / %d = %d%% points\n", unreliable, candidates,
        Percent(unreliable, candidates));
}

void BundleAdjustorGlobal::RecoverInliers() {
  const u32 C = state.cameras.Size();
  const u32 Q = state.planes.Size();
  const f32 L = index.scale;
  const IBAFeatures& f = problem.features;
  // Mean depth of each camera's measured points: the prior for a point seen
  // through a narrow cone of rays.
  sample.assign(C, 0.0f);
  for (u32 c = 0; c < C; ++c) {
    const CameraPose& P = state.cameras[c].pose;
    const u32 begin = f.index[4 * c], end = f.index[4 * c + 4];
    f32 sum = 0.0f;
    for (u32 m = begin; m < end; ++m)
      sum += Dot3(P.m[2], state.points[f.measurements[m].point].v) + P.m[2][3];
    sample[c] = end > begin ? sum / static_cast<f32>(end - begin) : 0.0f;
  }
  const u32 R = static_cast<u32>(outlierRecords.size());
  edits.retestedFlags.assign(R, 0);
  edits.retestedPlanes.assign(R, kNone16);
  edits.retestedPoints.Resize(R);
  for (u32 i = 0; i < R; ++i) edits.retestedPoints[i] = {{0.0f, 0.0f, 0.0f, 1.0f}};
  pointEstimator.threshold = 1.0f;
  pointData.mseFactor = intrinsic.misc[0];
  u32 admitted = 0, unreliable = 0, planar = 0;
  for (u32 i = 0; i < R; ++i) {
    const OutlierRecord& record = outlierRecords[i];
    const u32 n = record.count;
    if (n == 0) continue;
    pointData.cameras.resize(n);
    pointData.measurements.Resize(n);
    pointData.weights.Resize(n);
    pointData.squaredWeights.Resize(n);
    pointData.centres.Resize(n);
    for (u32 k = 0; k < n; ++k) {
      const OutlierObservation& o = outlierObservations[record.first + k];
      const CameraPose& P = state.cameras[o.camera].pose;
      const f32 t = o.camera < cameraThresholds.size() && cameraThresholds[o.camera] > 0.0f
                        ? cameraThresholds[o.camera]
                        : 1.0f;
      pointData.cameras[k] = &P;
      pointData.measurements[k] = {o.x, o.y};
      pointData.squaredWeights[k] = 1.0f / t;
      pointData.weights[k] = std::sqrt(1.0f / t);
      pointData.centres[k] = Centre(P);
    }
    const f32 m = pointData.ComputeMinRayCosine();
    f32 depth = FLT_MAX;
    if (m >= kNarrowCosine) {
      // No prior from a camera without measurements: a depth of 0 would put
      // the point at the camera centre.
      const f32 D = sample[outlierObservations[record.first].camera];
      if (D > 0.0f && std::isfinite(D)) depth = D;
    }
    Point3D X;
    if (!pointEstimator.Triangulate(pointData, X, depth)) continue;
    if (!(std::isfinite(X.v[0]) && std::isfinite(X.v[1]) && std::isfinite(X.v[2]))) continue;
    u8 flags = kTrackSolved | kTrackInlier;
    ++admitted;
    if (m > kNarrowCosine || pointData.ComputeMaxBaseline() < 0.5f * L) {
      flags |= kTrackUnreliable;
      ++unreliable;
    }
    LA::AlignedVector4f& restored = edits.retestedPoints[i];
    restored = {{X.v[0], X.v[1], X.v[2], 1.0f}};
    if (record.plane < Q) {
      edits.retestedPlanes[i] = planeIds[record.plane];
      const f32* nd = state.planes[record.plane].v;
      const f32 e = Dot3(nd, X.v) + nd[3];
      Point3D Y;
      for (int k = 0; k < 3; ++k) Y.v[k] = X.v[k] - e * nd[k];
      Y.v[3] = 1.0f;
      f64 error = 0.0;
      pointEstimator.VerifyModel(pointData, Y, pointEstimator.inliers, error);
      if (pointEstimator.inliers.size() == n) {
        restored = {{Y.v[0], Y.v[1], Y.v[2], 1.0f}};
        ++planar;
      }
    }
    edits.retestedFlags[i] = flags;
  }
  Print("    Inlier <-- Outlier: %d / %d = %d%% points, %d unreliable, %d planar\n", admitted, R,
        Percent(admitted, R), unreliable, planar);
}
