#include "mapping/ImageTriangulation.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "la/GroupStarts.h"

namespace {

// Reads the subdivision's quad-edges, which OpenCV keeps protected.
class Subdivision : public cv::Subdiv2D {
 public:
  explicit Subdivision(const cv::Rect& rect) : cv::Subdiv2D(rect) {}
  int QuadEdgeCount() const { return static_cast<int>(qedges.size()); }
  bool IsFree(int i) const { return qedges[i].isfree(); }
};

// The first four subdivision vertices are a placeholder and the three
// corners of the enclosing triangle.
constexpr int kFirstRealVertex = 4;

}  // namespace

void ImageTriangulation::Build(const AlignedArray<LA::Vector2<f32>>& positions, u16 width,
                               u16 height) {
  const u32 n = positions.Size();
  triangles.clear();
  edges_.clear();
  neighbourStart.assign(n + 1, 0);
  neighbours.clear();
  if (n == 0 || width == 0 || height == 0) return;

  Subdivision subdivision(cv::Rect(0, 0, width, height));
  vertexPoints_.assign(kFirstRealVertex, kNone32);
  for (u32 k = 0; k < n; ++k) {
    const f32 x = positions[k].x, y = positions[k].y;
    // insert() throws for a point outside the rectangle.
    if (!(x >= 0.0f && x < static_cast<f32>(width) && y >= 0.0f && y < static_cast<f32>(height)))
      continue;
    const int id = subdivision.insert(cv::Point2f(x, y));
    if (id < kFirstRealVertex) continue;
    if (static_cast<size_t>(id) >= vertexPoints_.size()) vertexPoints_.resize(id + 1, kNone32);
    if (vertexPoints_[id] == kNone32) vertexPoints_[id] = k;  // a repeat keeps the first point
  }
  auto pointOf = [this](int vertex) {
    return vertex >= kFirstRealVertex && static_cast<size_t>(vertex) < vertexPoints_.size()
               ? vertexPoints_[vertex]
               : kNone32;
  };

  const int quadEdges = subdivision.QuadEdgeCount();
  for (int q = 1; q < quadEdges; ++q) {
    if (subdivision.IsFree(q)) continue;
    const int edge = q << 2;
    const u32 a = pointOf(subdivision.edgeOrg(edge)), b = pointOf(subdivision.edgeDst(edge));
    if (a == kNone32 || b == kNone32) continue;
    edges_.emplace_back(a, b);
    // The faces left of the edge and of its reverse; each triangle is taken
    // from the one of its three edges that starts at its lowest vertex id.
    for (const int e : {edge, subdivision.symEdge(edge)}) {
      const int e1 = subdivision.getEdge(e, cv::Subdiv2D::NEXT_AROUND_LEFT);
      const int e2 = subdivision.getEdge(e1, cv::Subdiv2D::NEXT_AROUND_LEFT);
      if (subdivision.getEdge(e2, cv::Subdiv2D::NEXT_AROUND_LEFT) != e) continue;
      const int v0 = subdivision.edgeOrg(e), v1 = subdivision.edgeDst(e),
                v2 = subdivision.edgeDst(e1);
      if (v0 > v1 || v0 > v2) continue;
      const u32 p0 = pointOf(v0), p1 = pointOf(v1), p2 = pointOf(v2);
      if (p0 == kNone32 || p1 == kNone32 || p2 == kNone32) continue;
      const LA::Vector2<f32>&A = positions[p0], &B = positions[p1], &C = positions[p2];
      const f32 cross = (B.x - A.x) * (C.y - A.y) - (B.y - A.y) * (C.x - A.x);
      u32 s[3] = {p0, p1, p2};
      if (s[0] > s[1]) std::swap(s[0], s[1]);
      if (s[1] > s[2]) std::swap(s[1], s[2]);
      if (s[0] > s[1]) std::swap(s[0], s[1]);
      triangles.push_back({s[0], s[1], s[2], 0.5f * std::fabs(cross)});
    }
  }

  for (const auto& e : edges_) {
    ++neighbourStart[e.first + 1];
    ++neighbourStart[e.second + 1];
  }
  std::vector<u32>& fill = vertexPoints_;  // reused as write cursors
  GroupStarts(neighbourStart, fill);
  neighbours.resize(neighbourStart[n]);
  for (const auto& e : edges_) {
    neighbours[fill[e.first]++] = e.second;
    neighbours[fill[e.second]++] = e.first;
  }
}
