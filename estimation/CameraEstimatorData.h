#pragma once
// The data set of the camera estimator and, at the same time, the camera
// problem of the Levenberg-Marquardt optimiser: matches between world points
// and normalised image points, their normalisation (centred, median depth
// brought to 1 / factor), the summed squared reprojection error of a pose,
// the 6x6 normal equations of the pose step (rotation vector applied on the
// left of R, translation increment added to t) and the step itself.
#include <vector>

#include "estimation/Camera.h"
#include "estimation/EstimatorDataTraits.h"
#include "estimation/MatchSet3DTo2D.h"
#include "estimation/OptimizerDataTemplate.h"
#include "la/AlignedArray.h"
#include "la/LinearAlgebra.h"

// Per-match storage of the bin samplers; carried, never read by the
// operations of the camera data.
class EstimatorArsacData {
 public:
  AlignedArray<u16> arsacData;
};

class CameraEstimatorData
    : public OptimizerDataTemplate<Camera, LA::AlignedVector6f, LA::AlignedCompactMatrix6f>,
      public MatchSet3DTo2DX,
      public EstimatorArsacData {
 public:
  CameraEstimatorData();

  // Centres the world points, scales them so that the median depth becomes
  // 1 / factor, and moves the model with them (factor 0: nothing changes).
  void NormalizeData(const f32& factor, Camera& model) override;
  // Maps the model back to the caller's frame; the points stay normalised.
  void DenormalizeModel(Camera& model) override;
  // Sum of squared reprojection errors over all matches (no depth test).
  f64 ComputeSSE(const Camera& model) override;
  // MSE factor / N.
  f64 GetFactorSSEToMSE() override;
  void ConstructNormalEquation(const Camera& model, const LA::AlignedVector6f& s,
                               LA::AlignedCompactMatrix6f& A, LA::AlignedVector6f& b) override;
  void ConstructNormalEquationAndScale(const Camera& model, LA::AlignedCompactMatrix6f& A,
                                       LA::AlignedVector6f& b, LA::AlignedVector6f& s) override;
  // R' = exp([s w]x) R, t' = t + s d.
  void UpdateModel(const LA::AlignedVector6f& s, const LA::AlignedVector6f& dx, const Camera& old,
                   Camera& updated) override;

  // Centroid removed by NormalizeData (fourth float 1 until the first
  // normalisation, then 0) and the scale it applied (1 when none).
  LA::AlignedVector4f mean;
  LA::AlignedVector4f scale;
  // Set by the filler; GetFactorSSEToMSE divides it by N.
  f32 mseFactor = 1.0f;
  // Work list of the median depth.
  std::vector<f32> depths;

 private:
  // A and b over all matches, and the column sums of squares when D is given.
  void Accumulate(const Camera& model, LA::AlignedCompactMatrix6f& A, LA::AlignedVector6f& b,
                  LA::AlignedVector6f* D);
};

// Residuals (u - x/z, v - y/z) of matches i and i + 1 under the camera, in
// one four-wide step: residuals (ex_a, ey_a, ex_b, ey_b), depths (z_a, z_b).
void ComputeMatchPairResiduals(const Camera& camera, const LA::AlignedVector4f* worldPoints,
                               const LA::Vector2<float>* imagePoints, float* residuals,
                               float* depths);
// The same for one match: returns its squared error and writes its depth.
float ComputeMatchSquaredError(const Camera& camera, const LA::AlignedVector4f& worldPoint,
                               const LA::Vector2<float>& imagePoint, float& depth);

// Releases the storage of a camera data object (depth list, then the ARSAC
// data, image points and world points, each only where owned).
void DestroyAlignedBufferGroup(CameraEstimatorData& data);

// Subsets gathered by the robust loops carry the MSE factor along.
template <>
struct EstimatorDataTraits<CameraEstimatorData> {
  static u32 Size(const CameraEstimatorData& data) { return data.Size(); }
  template <class Index>
  static void GetSubset(const CameraEstimatorData& source, const std::vector<Index>& list,
                        CameraEstimatorData& destination) {
    MatchSet3DTo2DX::GetSubset(source, list, destination);
    destination.mseFactor = source.mseFactor;
  }
};
