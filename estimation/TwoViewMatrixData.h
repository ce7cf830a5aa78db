#pragma once
// What the fundamental-matrix and homography refinements share: a 3x3 model
// refined on its first eight entries with the ninth fixed, over the matches
// of a MatchSet2D that are normalised around a run. The derived class gives
// the model's coordinate transfer (Transform: TransformFundamentalMatrix or
// TransformHomography), ComputeSSE and BuildNormalEquation (unscaled upper
// triangle of A and b = -sum r J); this template does the rest without a
// virtual call of its own.
#include "estimation/MatchSet2D.h"
#include "estimation/NormalEquation8.h"
#include "estimation/OptimizerDataTemplate.h"
#include "estimation/TwoViewGeometry.h"

template <class Derived, class Model, TwoViewTransfer Transform>
class TwoViewMatrixData
    : public OptimizerDataTemplate<Model, LA::AlignedVector8f, LA::AlignedMatrix8f>,
      public MatchSet2D {
 public:
  // factor 0: no normalisation (scales 1). Otherwise the matches are
  // normalised in place and the model moved into the normalised frame.
  void NormalizeData(const f32& factor, Model& model) override {
    if (factor == 0.0f) {
      scale1 = scale2 = 1.0f;
      normalized = 0;
      return;
    }
    MatchSet2D::Normalize(*this, scratch_);
    alignas(16) f32 negated[4] = {-scale1 * means[0], -scale1 * means[1], -scale2 * means[2],
                                  -scale2 * means[3]};
    Transform(model, negated, 1.0f / scale1, 1.0f / scale2, scratch_);
    normalized = 1;
  }
  // Moves the model back to pixels when the data were normalised.
  void DenormalizeModel(Model& model) override {
    if (normalized) Transform(model, means, scale1, scale2, scratch_);
  }
  // 1 / (scale1 scale2 N): the mean error in squared pixels.
  f64 GetFactorSSEToMSE() override {
    return static_cast<f64>(1.0f / (scale1 * scale2 * static_cast<f32>(count)));
  }
  void ConstructNormalEquation(const Model& model, const LA::AlignedVector8f& scale,
                               LA::AlignedMatrix8f& A, LA::AlignedVector8f& b) override {
    static_cast<Derived*>(this)->BuildNormalEquation(model, A, b);
    normal8::FinishAndScale(scale, A, b);
  }
  void ConstructNormalEquationAndScale(const Model& model, LA::AlignedMatrix8f& A,
                                       LA::AlignedVector8f& b,
                                       LA::AlignedVector8f& scale) override {
    static_cast<Derived*>(this)->BuildNormalEquation(model, A, b);
    normal8::ComputeScale(A, scale);
    normal8::FinishAndScale(scale, A, b);
  }
  // updated = old + scale_i dx_i on the entries 11, 12, 13, 21, 22, 23, 31, 32.
  void UpdateModel(const LA::AlignedVector8f& scale, const LA::AlignedVector8f& dx,
                   const Model& old, Model& updated) override {
    for (int k = 0; k < 8; ++k)
      updated.m[k / 3][k % 3] = old.m[k / 3][k % 3] + scale.v[k] * dx.v[k];
    updated.m[2][2] = old.m[2][2];
  }

  // 1 while data and model are in normalised coordinates.
  u8 normalized = 0;

 protected:
  LA::AlignedVector4f scratch_[16];
};
