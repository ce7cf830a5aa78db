#pragma once
// Finds planes among map points and settles which point lies on which plane.
// Existing planes are first grown again from their points; new planes are
// seeded from unused triangles of the Delaunay triangulation of the points as
// seen in the image and grown region by region over its neighbourhood, and a
// region counts only when it covers enough of the image. A point fits a plane
// when, moved onto it, it reprojects within the inlier threshold in every
// view on average, and lies within PlaneDistanceThreshold of it.
#include <cstdio>
#include <vector>

#include "estimation/PlaneEstimator.h"
#include "la/Pose.h"
#include "mapping/ImageTriangulation.h"
#include "mapping/PlaneDetectorSeeds.h"

class PlaneDetector : public PlaneEstimator2D {
 public:
  explicit PlaneDetector(f32 inlierThreshold);

  // Refits `planes` from the points carrying their index, appends up to
  // maxNewPlanes new planes and rewrites pointPlanes (kNone16 = none). `data`
  // holds the points with their observations (image mode).
  void Detect(const PlaneEstimatorData2D& data, AlignedArray<Plane>& planes,
              std::vector<u16>& pointPlanes);
  // True when point k of data fits the plane (the acceptance test).
  bool Fits(const PlaneEstimatorData2D& data, u32 k, const Plane& plane) const;

  f32 areaFactor = 0.03f;   // least share of the image a new plane covers
  f32 keepRatio = 0.8f;     // share of a plane's points that must fit another one to move
  f32 medianFactor = 2.0f;  // distance threshold = median point distance times this
  u32 minPoints = 20;       // fewest points of a plane
  u16 maxNewPlanes = 3;     // most planes one call adds
  u16 width = 0, height = 0;
  Intrinsic intrinsic{};
  FILE* log = nullptr;  // where an endless growth is reported; null: silent

 private:
  struct Region {
    Plane plane;
    std::vector<u32> points;
    f32 area;
  };
  enum PointMark : u8 { kFree = 0, kCandidate = 1, kAccepted = 2 };

  // Sets the process-wide distance threshold from a plane through all points,
  // while it is still unset.
  void InitDistanceThreshold(const PlaneEstimatorData2D& data);
  void Triangulate(const PlaneEstimatorData2D& data);
  // Grows the accepted set from the candidate marks; false when the region is
  // too small in points or in image area.
  bool GrowPlane(const PlaneEstimatorData2D& data, Plane& plane, f32& area);
  // Accepts the candidates that fit; with none, lets a seeded robust fit over
  // all marked points redraw the accepted set. Fills newly_.
  void AcceptCandidatePoints(const PlaneEstimatorData2D& data, Plane& plane);
  // Refines the plane over the marked points, the accepted ones required; its
  // inliers become the accepted set.
  void RefitPlane(const PlaneEstimatorData2D& data, Plane& plane);
  bool PickSeedTriangle(u32& a, u32& b, u32& c);
  // Retires the triangles of the region GrowPlane just accepted, as its
  // ComputeRegionArea collected them (accepted_ is unchanged since).
  void RetireTriangles();
  f32 ComputeRegionArea();
  void AssignPoints(const PlaneEstimatorData2D& data, AlignedArray<Plane>& planes,
                    std::vector<u16>& pointPlanes);
  void ClearPointMarks();
  void MarkCandidate(u32 k);
  // Loads the marked points into subset_ and the accepted ones into required_.
  void LoadMarkedSubset(const PlaneEstimatorData2D& data);
  u32 AcceptedVertices(const ImageTriangle& t) const;
  // Per point the triangles it is a vertex of, and the count of triangles
  // still free to seed, so that no step walks every triangle.
  void IndexTriangles();
  // The triangles with at least two accepted vertices, ascending: the
  // accepted points' own triangles are the only ones that can qualify.
  void CollectRegionTriangles();
  // Takes triangle t out of the seeds when it still was one.
  void SetTriangleMark(u32 t, u8 bit);

  ImageTriangulation triangulation_;
  AlignedArray<LA::Vector2<f32>> pixels_;
  std::vector<u8> triangleMarks_;  // bit 0 tried as a seed, bit 1 inside a region
  std::vector<u8> pointMarks_;
  std::vector<u32> marked_;    // points with a mark, in marking order
  std::vector<u32> accepted_;  // points marked accepted
  std::vector<u32> newly_;     // accepted by the last AcceptCandidatePoints
  std::vector<u32> pointTriangleStart_, pointTriangles_;
  SeedSet seeds_;  // triangles with neither mark bit
  std::vector<u32> regionTriangles_;
  u32 loaded_ = 0;  // leading entries of marked_ already in subset_
  std::vector<Region> regions_;
  std::vector<u32> inliers_, moved_;
  std::vector<f32> distances_;
  PlaneEstimatorData2D subset_;
  BitMask required_;
};
