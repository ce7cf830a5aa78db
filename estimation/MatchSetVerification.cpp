// Verification and inlier error sums under the symmetric epipolar error.
#include "estimation/MatchSetVerification.h"

#include "estimation/TwoViewGeometry.h"

void VerifyEpipolarMatches(const MatchSet2D& data, const LA::AlignedMatrix3f& F, f32 threshold,
                           const BitMask* required, LA::AlignedVector4f* scratch,
                           std::vector<u16>& inliers, f64& error) {
  LA::AlignedVector4f* Fb = scratch;
  BroadcastMatrix3(F, Fb);
  LA::AlignedVector4f* work = Fb + 9;
  VerifyMatchSet(
      data, threshold, required,
      [Fb, work](const f32* p, f32* out) {
        ComputeSymmetricEpipolarError4(Fb, p, p + 4, p + 8, p + 12, out, work);
      },
      [&F, work](const LA::Vector2<f32>& p1, const LA::Vector2<f32>& p2) {
        return ComputeSymmetricEpipolarError(F, p1, p2, work[0].v);
      },
      inliers, error);
}

f64 SumEpipolarErrors(const MatchSet2D& data, const LA::AlignedMatrix3f& F, const BitMask& mask) {
  f32 work[6];
  return SumMatchErrors(data, mask,
                        [&F, &work](const LA::Vector2<f32>& p1, const LA::Vector2<f32>& p2) {
                          return ComputeSymmetricEpipolarError(F, p1, p2, work);
                        });
}
