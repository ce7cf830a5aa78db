// The plane passes of the bundle adjustors: merging planes that share their
// points, and plane detection among the newest key frame's points.
#include <algorithm>
#include <cmath>

#include "features/FeatureRecords.h"
#include "mapping/BundleAdjustorGlobal.h"
#include "optimization/IMUParameters.h"

namespace {

inline f32 Distance(const LA::AlignedVector4f& plane, const LA::AlignedVector4f& X) {
  return std::fabs(((plane.v[0] * X.v[0] + plane.v[1] * X.v[1]) + plane.v[2] * X.v[2]) +
                   plane.v[3]);
}

// Ground planes first, then by map id; a plane without map id sorts with
// the ground planes.
void OrderPlanes(const std::vector<u8>& flags, const std::vector<u16>& ids,
                 const std::vector<u32>& planes, std::vector<u32>& order) {
  order = planes;
  const auto key = [&](u32 j) -> u16 {
    return (flags[j] & kPlaneGround) ? 0 : static_cast<u16>(ids[j] + 1);
  };
  std::sort(order.begin(), order.end(),
            [&](u32 a, u32 b) { return key(a) != key(b) ? key(a) < key(b) : a < b; });
}

}  // namespace

void BundleAdjustorGlobal::IndexPointSet(const std::vector<u32>& points,
                                         PlaneEstimatorData2D& data) {
  IndexObservations();
  const u32 n = static_cast<u32>(points.size());
  data.mode = 0;
  data.mseFactor = 1.0f;
  data.points.Resize(n);
  data.offsets.assign(1, 0u);
  data.cameras.clear();
  u32 total = 0;
  for (const u32 p : points) total += pointObsStart[p + 1] - pointObsStart[p];
  data.measurements.Resize(total);
  u32 o = 0;
  for (u32 i = 0; i < n; ++i) {
    const u32 p = points[i];
    data.points[i] = state.points[p];
    for (u32 k = pointObsStart[p]; k < pointObsStart[p + 1]; ++k) {
      const IBAMeasurement& m = problem.features.measurements[pointObs[k].second];
      data.cameras.push_back(&state.cameras[pointObs[k].first].pose);
      data.measurements[o++] = {m.x, m.y};
    }
    data.offsets.push_back(o);
  }
}

void BundleAdjustorGlobal::MergePlanes() {
  const u32 Q = state.planes.Size();
  if (Q == 0) return;
  const f32 theta = PlaneDistanceThreshold.load(std::memory_order_relaxed);
  list.resize(Q);
  for (u32 j = 0; j < Q; ++j) list[j] = j;
  OrderPlanes(problem.planeFlags, planeIds, list, order);
  keep.assign(Q, 0);  // 1: merged away
  for (u32 a = 0; a < Q; ++a) {
    const u32 i = order[a];
    if (keep[i]) continue;
    bool took = false;
    for (u32 b = a + 1; b < Q; ++b) {
      const u32 j = order[b];
      if (keep[j]) continue;
      std::vector<u32>& pj = problem.planePoints[j];
      u32 count = 0;
      for (const u32 p : pj) count += Distance(state.planes[i], state.points[p]) < theta;
      const u32 need =
          static_cast<u32>(static_cast<f32>(pj.size()) * planeDetector.keepRatio + 0.5f);
      if (count < need) continue;
      Print("    Plane %d <-- Plane %d: %d / %d points\n", planeIds[i], planeIds[j], count,
            static_cast<int>(pj.size()));
      std::vector<u32>& pi = problem.planePoints[i];
      const size_t before = pi.size();
      pi.insert(pi.end(), pj.begin(), pj.end());
      std::inplace_merge(pi.begin(), pi.begin() + before, pi.end());
      for (const u32 p : pj) problem.pointPlanes[p] = static_cast<u16>(i);
      pj.clear();
      keep[j] = 1;
      took = true;
    }
    if (took && !(problem.planeFlags[i] & kPlaneGround)) {
      IndexPointSet(problem.planePoints[i], planeData);
      Plane plane;
      plane.v[0] = state.planes[i].v[0], plane.v[1] = state.planes[i].v[1];
      plane.v[2] = state.planes[i].v[2], plane.v[3] = state.planes[i].v[3];
      planeDetector.OptimizeModel(planeData, plane, 0);
      state.planes[i] = plane;
    }
  }
  planeRemap.assign(Q, kNone16);
  u16 next = 0;
  for (u32 j = 0; j < Q; ++j)
    if (!keep[j]) planeRemap[j] = next++;
  if (next < Q) RenumberPlanes(planeRemap);
}

void BundleAdjustorGlobal::UpdatePlanes() {
  const u32 C = state.cameras.Size();
  if (C == 0) return;
  const IBAFeatures& f = problem.features;
  const u32 begin = f.index[4 * (C - 1)], end = f.index[4 * C];
  if (end - begin <= 14) return;
  const u32 N = state.points.Size();
  const u32 Q = state.planes.Size();
  // The newest camera's reliable points in measurement order, and the planes
  // they meet in order of meeting.
  keep.assign(N, 0);
  list.clear();
  std::vector<u32>& met = remap;
  met.clear();
  planeRemap.assign(Q, kNone16);  // plane -> slot
  for (u32 m = begin; m < end; ++m) {
    const u32 p = f.measurements[m].point;
    if (keep[p] || (problem.pointFlags[p] & kTrackUnreliable)) continue;
    keep[p] = 1;
    list.push_back(p);
    const u16 j = problem.pointPlanes[p];
    if (j < Q && planeRemap[j] == kNone16) {
      planeRemap[j] = static_cast<u16>(met.size());
      met.push_back(j);
    }
  }
  if (list.empty()) return;
  OrderPlanes(problem.planeFlags, planeIds, met, order);
  const u32 listed = static_cast<u32>(order.size());
  detectorPlanes.Resize(listed);
  for (u32 s = 0; s < listed; ++s) {
    const LA::AlignedVector4f& P = state.planes[order[s]];
    for (int k = 0; k < 4; ++k) detectorPlanes[s].v[k] = P.v[k];
    planeRemap[order[s]] = static_cast<u16>(s);
  }
  detectorLabels.resize(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const u16 j = problem.pointPlanes[list[i]];
    detectorLabels[i] = j < Q ? planeRemap[j] : kNone16;
  }
  IndexPointSet(list, planeData);
  planeDetector.Detect(planeData, detectorPlanes, detectorLabels);

  // Planes back into the problem: the listed ones in place (fixed ones keep
  // their parameters), new ones appended.
  for (u32 s = 0; s < listed; ++s) {
    if (order[s] < problem.fixedPlanes) continue;
    LA::AlignedVector4f& P = state.planes[order[s]];
    for (int k = 0; k < 4; ++k) P.v[k] = detectorPlanes[s].v[k];
  }
  const u32 added = detectorPlanes.Size() - listed;
  oldPlaneCount = Q;
  for (u32 s = listed; s < listed + added; ++s) {
    LA::AlignedVector4f P;
    for (int k = 0; k < 4; ++k) P.v[k] = detectorPlanes[s].v[k];
    state.planes.PushBack16(P);
  }
  const f32 w0 = f.levelWeights.Size() > 0 ? f.levelWeights[0].v[0] : 0.0f;
  const f32 sigma = static_cast<f32>(IMU_VARIANCE_PLANE);
  const f32 w = sigma == 0.0f ? 0.0f : w0 / (sigma * sigma);
  for (u32 a = 0; a < added; ++a) {
    problem.planeFlags.push_back(0);
    problem.planeWeights.PushBack16({{w, w, w, w}});
    planeIds.push_back(kNone16);
  }
  problem.planePoints.resize(Q + added);

  // Labels are detector positions: back to problem planes.
  const auto toPlane = [&](u16 label) -> u16 {
    if (label == kNone16) return kNone16;
    return label < listed ? static_cast<u16>(order[label]) : static_cast<u16>(Q + label - listed);
  };
  counts.assign(Q + added, 0);
  for (u32 j = 0; j < Q; ++j) counts[j] = static_cast<u32>(problem.planePoints[j].size());
  std::vector<i32> delta(Q + added, 0);
  for (size_t i = 0; i < list.size(); ++i) {
    const u16 to = toPlane(detectorLabels[i]);
    const u16 from = problem.pointPlanes[list[i]];
    if (to == kNone16 || to == from) continue;
    if (from < Q) --delta[from];
    ++delta[to];
    problem.pointPlanes[list[i]] = to;
  }
  for (u32 j = 0; j < Q + added; ++j) {
    if (delta[j] == 0) continue;
    if (j < Q) {
      Print("    Plane %d: %d --> %d points\n", planeIds[j], counts[j],
            static_cast<int>(counts[j]) + delta[j]);
    } else {
      Print("    New plane %d: %d points\n", j - Q, delta[j]);
    }
  }
  for (std::vector<u32>& points : problem.planePoints) points.clear();
  for (u32 p = 0; p < N; ++p) {
    const u16 j = problem.pointPlanes[p];
    if (j < Q + added) problem.planePoints[j].push_back(p);
  }
}
