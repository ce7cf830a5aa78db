#pragma once
// EPnP pose solver with one null-space vector: world points are written in
// barycentric coordinates of four control points (centroid plus the scaled
// principal axes), the camera-frame control points are the eigenvector of the
// smallest eigenvalue of M^T M scaled to match the control-point distances,
// and the pose is the absolute orientation between the world points and the
// camera points so found. A solve allocates only when the match count grows.
#include "estimation/Camera.h"
#include "estimation/MatchSet3DTo2D.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

class CameraEPnP {
 public:
  CameraEPnP();
  ~CameraEPnP();
  CameraEPnP(const CameraEPnP&) = delete;
  CameraEPnP& operator=(const CameraEPnP&) = delete;

  // Pose from exactly six matches. The camera is written only on success.
  // `work` is the estimator's scratch array of the solver interface; the
  // fixed-size eigen problems solved here need none of it.
  bool RunMinimalSample(const MatchSet3DTo2DN<6>& sample, Camera& camera,
                        AlignedArray<LA::AlignedVector4f>& work);
  // Pose from all matches of the data (at least 4; the estimator passes >= 6).
  bool RunNonMinimalData(const MatchSet3DTo2DX& data, Camera& camera,
                         AlignedArray<LA::AlignedVector4f>& work);

 private:
  // The tests reach the pose before its polish through this one hook.
  friend class CameraEPnPTestAccess;

  bool Run(const LA::AlignedVector4f* X, const LA::Vector2<float>* x, u32 n, Camera& camera);
  // Centroid and the three principal axes scaled by their spread.
  bool ComputeControlPoints(const LA::AlignedVector4f* X, u32 n);
  // Barycentric coordinates of every world point; false for a flat axis set.
  bool ComputeAlphas(const LA::AlignedVector4f* X, u32 n);
  // The 12x12 M^T M of the projection constraints.
  void ConstructMTM(const LA::Vector2<float>* x, u32 n);
  // Null vector of M^T M (overwritten) scaled by the control-point distances.
  bool ComputeCameraControlPoints();
  // Camera-frame points; all in front after a possible sign flip, else false.
  bool ComputeCameraPoints(u32 n);
  // [R | t] from the cross-covariance of camera and world points.
  bool ComputeRigidTransformation(const LA::AlignedVector4f* X, u32 n, Camera& camera);

  AlignedArray<LA::AlignedVector4f> cameraPoints_;
  AlignedArray<LA::AlignedVector4f> alphas_;
  LA::AlignedMatrix3f axes_;
  LA::AlignedVector4f worldControl_[4];
  LA::AlignedVector4f cameraControl_[4];
  LA::AlignedVector4f nullControl_[4];
  LA::AlignedMatrix3f covariance_;
  float eigenvalues_[4];
  float depthScale_ = 1.0f;
  float* mtm_;  // 12 x 12, row-major, 32-byte aligned
};
