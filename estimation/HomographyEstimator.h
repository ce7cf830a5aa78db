#pragma once
// Robust plane-induced homography between two images from pixel matches:
// four-point samples, verification by the one-way transfer error (squared
// pixels against `threshold`, strictly), least-squares re-estimation on
// normalised matches and Levenberg-Marquardt refinement of h11..h32 with h33
// fixed. Plane detection extracts homographies with RunSequentialRansac.
#include <vector>

#include "estimation/Estimator.h"
#include "estimation/HomographyEstimatorData.h"
#include "estimation/HomographySolver.h"
#include "estimation/OptimizerTemplate.h"

using HomographyOptimizer = OptimizerTemplate<Homography, LA::AlignedVector8f, LA::AlignedMatrix8f>;

class HomographyEstimator
    : public Estimator<HomographyEstimatorData, FourMatches2D, HomographyEstimatorData, Homography,
                       HomographySolver, HomographyOptimizer, u16> {
 public:
  using Data = HomographyEstimatorData;

  explicit HomographyEstimator(const f32& threshold);

  u32 GetMinimalSampleSize() const override { return 4; }
  // (w w)(w w).
  f32 ComputeAllInlierProbability(const f32& w) const override;
  void GenerateMinimalSample(const Data& data, FourMatches2D& sample) override;
  // The slot sees a const sample: it fits a normalised copy.
  bool SolveNonMinimal(const Data& sample, AlignedArray<Homography>& models) override;
  // Normalises `sample` in place (it stays normalised), fits, and returns the
  // pixel homography: one model, or none on failure.
  bool SolveNonMinimal(Data& sample, AlignedArray<Homography>& models);
  bool SolveMinimal(const FourMatches2D& sample, AlignedArray<Homography>& models) override;
  void VerifyModelConstrained(const Data& data, const Homography& model, const BitMask& required,
                              std::vector<u16>& inliers, f64& error) override;
  void VerifyModel(const Data& data, const Homography& model, std::vector<u16>& inliers,
                   f64& error) override;
  void ComputeInlierSSE(const Data& data, const Homography& model, const BitMask& mask,
                        f64& sse) override;
  u32 OptimizeModel(Data& sample, Homography& model, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const Data& data, const std::vector<u16>& order, u16 n,
                                   bool includeLast, FourMatches2D& sample) override;

 private:
  void Verify(const Data& data, const Homography& model, const BitMask* required,
              std::vector<u16>& inliers, f64& error);
  void CopyToSample(const Data& data, const u16* items, FourMatches2D& sample) const;

  AlignedArray<LA::AlignedVector4f> scratch_;
  Data normalizedSample_;
  FourMatches2D minimalWork_{};
};
