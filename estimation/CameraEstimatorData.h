#pragma once
// The data set of the camera estimator and, at the same time, the camera
// problem of the Levenberg-Marquardt optimiser: matches between world points
// and normalised image points, their normalisation (centred, median depth
// brought to 1 / factor), the summed squared reprojection error of a pose,
// the 6x6 normal equations of the pose step (rotation vector applied on the
// left of R, translation increment added to t) and the step itself.
#include <immintrin.h>

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
// Squared errors and depths of four matches at a time under one camera,
// whose entries are broadcast once. Every value is bit-identical to the pair
// form's (same sums in the same order).
class MatchQuadProjector {
 public:
  explicit MatchQuadProjector(const Camera& camera) {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) m_[r][c] = _mm_set1_ps(camera.m[r][c]);
  }
  // Matches 0 .. 3 of the arrays.
  void Project(const LA::AlignedVector4f* worldPoints, const LA::Vector2<float>* imagePoints,
               __m128& squaredErrors, __m128& depths) const {
    __m128 X = _mm_load_ps(worldPoints[0].v), Y = _mm_load_ps(worldPoints[1].v);
    __m128 Z = _mm_load_ps(worldPoints[2].v), W = _mm_load_ps(worldPoints[3].v);
    _MM_TRANSPOSE4_PS(X, Y, Z, W);
    // (m0 X + m1 Y) + (m2 Z + m3 W), the grouping of the pair form's two hadds.
    const auto row = [&](const __m128* m) {
      return _mm_add_ps(_mm_add_ps(_mm_mul_ps(m[0], X), _mm_mul_ps(m[1], Y)),
                        _mm_add_ps(_mm_mul_ps(m[2], Z), _mm_mul_ps(m[3], W)));
    };
    const __m128 x = row(m_[0]), y = row(m_[1]), z = row(m_[2]);
    const __m128 uv01 = _mm_loadu_ps(&imagePoints[0].x), uv23 = _mm_loadu_ps(&imagePoints[2].x);
    const __m128 u = _mm_shuffle_ps(uv01, uv23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 v = _mm_shuffle_ps(uv01, uv23, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 ex = _mm_sub_ps(u, _mm_div_ps(x, z)), ey = _mm_sub_ps(v, _mm_div_ps(y, z));
    squaredErrors = _mm_add_ps(_mm_mul_ps(ex, ex), _mm_mul_ps(ey, ey));
    depths = z;
  }

 private:
  __m128 m_[3][4];
};

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
