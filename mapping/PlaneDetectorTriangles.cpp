// The seed triangles of plane detection: which triangles can still seed a
// region, drawing one of them, and the triangles a region covers. Every step
// touches only the triangles of the points involved.
#include <algorithm>

#include "la/GroupStarts.h"
#include "la/Random.h"
#include "mapping/PlaneDetector.h"

void PlaneDetector::IndexTriangles() {
  const std::vector<ImageTriangle>& triangles = triangulation_.triangles;
  const u32 N = pixels_.Size();
  const u32 T = static_cast<u32>(triangles.size());
  triangleMarks_.assign(T, 0);
  pointTriangleStart_.assign(N + 1, 0);
  for (const ImageTriangle& t : triangles) {
    ++pointTriangleStart_[t.a + 1];
    ++pointTriangleStart_[t.b + 1];
    ++pointTriangleStart_[t.c + 1];
  }
  std::vector<u32>& fill = regionTriangles_;  // write cursors for now
  GroupStarts(pointTriangleStart_, fill);
  pointTriangles_.resize(pointTriangleStart_[N]);
  for (u32 t = 0; t < T; ++t) {
    pointTriangles_[fill[triangles[t].a]++] = t;
    pointTriangles_[fill[triangles[t].b]++] = t;
    pointTriangles_[fill[triangles[t].c]++] = t;
  }
  seeds_.Reset(T);
}

void PlaneDetector::SetTriangleMark(u32 t, u8 bit) {
  if (triangleMarks_[t] == 0) seeds_.Remove(t);
  triangleMarks_[t] |= bit;
}

bool PlaneDetector::PickSeedTriangle(u32& a, u32& b, u32& c) {
  if (seeds_.Count() == 0) return false;
  const u32 t = seeds_.Find(Random::Index(seeds_.Count()));
  SetTriangleMark(t, 1);
  const ImageTriangle& seed = triangulation_.triangles[t];
  a = seed.a;
  b = seed.b;
  c = seed.c;
  return true;
}

u32 PlaneDetector::AcceptedVertices(const ImageTriangle& t) const {
  return (pointMarks_[t.a] == kAccepted) + (pointMarks_[t.b] == kAccepted) +
         (pointMarks_[t.c] == kAccepted);
}

void PlaneDetector::CollectRegionTriangles() {
  regionTriangles_.clear();
  for (const u32 k : accepted_) {
    for (u32 j = pointTriangleStart_[k]; j < pointTriangleStart_[k + 1]; ++j) {
      const u32 t = pointTriangles_[j];
      const ImageTriangle& T = triangulation_.triangles[t];
      // Taken once: from its lowest accepted vertex.
      const u32 lowest = pointMarks_[T.a] == kAccepted   ? T.a
                         : pointMarks_[T.b] == kAccepted ? T.b
                                                         : T.c;
      if (lowest == k && AcceptedVertices(T) >= 2) regionTriangles_.push_back(t);
    }
  }
  std::sort(regionTriangles_.begin(), regionTriangles_.end());
}

void PlaneDetector::RetireTriangles() {
  for (const u32 t : regionTriangles_) SetTriangleMark(t, 2);
}

f32 PlaneDetector::ComputeRegionArea() {
  CollectRegionTriangles();
  // Summed in triangle order, as a walk over all triangles would.
  f32 area = 0.0f;
  for (const u32 t : regionTriangles_) area += triangulation_.triangles[t].area;
  return area;
}
