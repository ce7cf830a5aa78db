#pragma once
// Matches between world points (X, Y, Z, 1) and normalised image points
// ((x - cx) / fx, (y - cy) / fy): the fixed-size minimal sample of the camera
// estimator and the growable match set its data class builds on.
#include <vector>

#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

template <int N>
struct alignas(16) MatchSet3DTo2DN {
  LA::AlignedVector4f worldPoints[N];
  LA::Vector2<float> imagePoints[N];
};

class MatchSet3DTo2DX {
 public:
  // Match count (the data of a u16 estimator holds at most 65535 matches).
  u16 Size() const { return static_cast<u16>(worldPoints.Size()); }
  // Sizes both arrays to n matches.
  void Resize(u32 n) {
    worldPoints.Resize(n);
    imagePoints.Resize(n);
  }
  // destination = the listed matches of source, in list order; capacity only grows.
  template <class Index>
  static void GetSubset(const MatchSet3DTo2DX& source, const std::vector<Index>& list,
                        MatchSet3DTo2DX& destination) {
    const u32 n = static_cast<u32>(list.size());
    destination.Resize(n);
    for (u32 i = 0; i < n; ++i) {
      destination.worldPoints[i] = source.worldPoints[list[i]];
      destination.imagePoints[i] = source.imagePoints[list[i]];
    }
  }

  AlignedArray<LA::AlignedVector4f> worldPoints;
  AlignedArray<LA::Vector2<float>> imagePoints;
  // Carried for the owners, read by no operation here.
  float weight = 1.0f;
};
