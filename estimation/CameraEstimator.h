#pragma once
// Robust camera pose from 3-D/2-D matches: minimal samples of six matches are
// solved by EPnP, each candidate is verified by its squared reprojection error
// in normalised image units (inlier: in front of the camera and error strictly
// below the threshold), and the best pose is refined by Levenberg-Marquardt on
// the camera data. Carries the uniform, PROSAC, bin (ARSAC) and weighted-bin
// (PARSAC) samplers.
#include <vector>

#include "estimation/CameraEPnP.h"
#include "estimation/CameraEstimatorData.h"
#include "estimation/EstimatorParsac.h"
#include "estimation/OptimizerTemplate.h"

using CameraOptimizer = OptimizerTemplate<Camera, LA::AlignedVector6f, LA::AlignedCompactMatrix6f>;

class CameraEstimator
    : public EstimatorParsac<CameraEstimatorData, MatchSet3DTo2DN<6>, CameraEstimatorData, Camera,
                             CameraEPnP, CameraOptimizer, u16> {
 public:
  // Holders pass 0 and set `threshold` before each robust run.
  explicit CameraEstimator(const f32& threshold);
  ~CameraEstimator() override;

  u32 GetMinimalSampleSize() const override { return 6; }
  f32 ComputeAllInlierProbability(const f32& w) const override;
  // Six distinct matches drawn uniformly (nothing drawn when N < 6).
  void GenerateMinimalSample(const CameraEstimatorData& data, MatchSet3DTo2DN<6>& sample) override;
  bool SolveNonMinimal(const CameraEstimatorData& data, AlignedArray<Camera>& models) override;
  bool SolveMinimal(const MatchSet3DTo2DN<6>& sample, AlignedArray<Camera>& models) override;
  void VerifyModelConstrained(const CameraEstimatorData& data, const Camera& model,
                              const BitMask& required, std::vector<u16>& inliers,
                              f64& error) override;
  void VerifyModel(const CameraEstimatorData& data, const Camera& model, std::vector<u16>& inliers,
                   f64& error) override;
  void ComputeInlierSSE(const CameraEstimatorData& data, const Camera& model, const BitMask& mask,
                        f64& sse) override;
  u32 OptimizeModel(CameraEstimatorData& data, Camera& model, u8 verbosity) override;
  bool GenerateMinimalSampleProsac(const CameraEstimatorData& data, const std::vector<u16>& order,
                                   u16 n, bool includeLast, MatchSet3DTo2DN<6>& sample) override;
  bool GenerateMinimalSampleArsac(const CameraEstimatorData& data,
                                  const std::vector<std::vector<u16>>& bins,
                                  MatchSet3DTo2DN<6>& sample) override;
  bool GenerateMinimalSampleParsac(const CameraEstimatorData& data,
                                   const std::vector<f32>& cumulative,
                                   const std::vector<std::vector<u16>>& bins,
                                   MatchSet3DTo2DN<6>& sample) override;

  // Scratch array of the solver interface; only grows.
  AlignedArray<LA::AlignedVector4f> work;

 private:
  template <bool kConstrained>
  void Verify(const CameraEstimatorData& data, const Camera& model, const BitMask* required,
              std::vector<u16>& inliers, f64& error);
  static void Copy(const CameraEstimatorData& data, u32 index, u32 slot,
                   MatchSet3DTo2DN<6>& sample);
  // The bin slots: uniform without a table, weighted with one. False, sample
  // untouched, when no sample can be drawn or a member lies outside the data.
  static bool DrawBinSampleInto(const CameraEstimatorData& data,
                                const std::vector<std::vector<u16>>& bins,
                                const std::vector<f32>* cumulative, MatchSet3DTo2DN<6>& sample);
};
