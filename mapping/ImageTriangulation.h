#pragma once
// Delaunay triangulation of points as seen in the image, for the plane
// detector's region growing: every triangle of real points once, and every
// point's neighbours once. Points outside [0, width) x [0, height), points
// that are not finite and repeats of an earlier position are left out; they
// get no triangle and no neighbour.
#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"
#include "la/Types.h"

struct ImageTriangle {
  u32 a, b, c;  // point indices, ascending
  f32 area;     // pixels^2
};

class ImageTriangulation {
 public:
  // Triangulates the pixel positions (one per point).
  void Build(const AlignedArray<LA::Vector2<f32>>& positions, u16 width, u16 height);
  // Neighbours of point k: neighbours[neighbourStart[k] .. neighbourStart[k + 1]).
  u32 NeighbourBegin(u32 k) const { return neighbourStart[k]; }
  u32 NeighbourEnd(u32 k) const { return neighbourStart[k + 1]; }

  std::vector<ImageTriangle> triangles;
  std::vector<u32> neighbourStart;
  std::vector<u32> neighbours;

 private:
  std::vector<u32> vertexPoints_;  // subdivision vertex id -> point index
  std::vector<std::pair<u32, u32>> edges_;
};
