// Products of the camera system's off-diagonal blocks with camera vectors,
// the skew product of the inertial normal equations and the preconditioner.
#include "optimization/IBABlocks.h"

#include <cstring>
#include <initializer_list>

#include "optimization/IBASimd.h"

using namespace IBASimd;

namespace {

inline void Add(float* y, __m128 v) {
  _mm_store_ps(y, _mm_add_ps(_mm_load_ps(y), v));
}
inline __m128 Lane(const LA::CameraVector15& x, int g) {
  return _mm_load_ps(x.v + 4 * g);
}

}  // namespace

void MultiplyCameraPairBlock(const IBACameraPairBlock& B, const LA::CameraVector15& xj,
                             LA::CameraVector15& yi) {
  const __m128 p = Lane(xj, 0), r = Lane(xj, 2);
  Add(yi.v, _mm_add_ps(MulRows3(B.m + B.kPP, p), MulRows3(B.m + B.kPR, r)));
  Add(yi.v + 8, _mm_add_ps(MulRows3(B.m + B.kRP, p), MulRows3(B.m + B.kRR, r)));
}

void MultiplyCameraPairBlockTransposed(const IBACameraPairBlock& B, const LA::CameraVector15& xi,
                                       LA::CameraVector15& yj) {
  const __m128 p = Lane(xi, 0), r = Lane(xi, 2);
  Add(yj.v, _mm_add_ps(MulRows3T(B.m + B.kPP, p), MulRows3T(B.m + B.kRP, r)));
  Add(yj.v + 8, _mm_add_ps(MulRows3T(B.m + B.kPR, p), MulRows3T(B.m + B.kRR, r)));
}

void MultiplyMotionPairBlock(const IBAConsecutiveBlock& B, const LA::CameraVector15& xj,
                             LA::CameraVector15& yi) {
  using K = IBAConsecutiveBlock;
  const __m128 p = Lane(xj, 0), v = Lane(xj, 1), r = Lane(xj, 2), ba = Lane(xj, 3),
               bg = Lane(xj, 4);
  Add(yi.v, _mm_add_ps(MulRows3(B.m + K::kPP, p), MulRows3(B.m + K::kPR, r)));
  Add(yi.v + 4,
      _mm_add_ps(_mm_mul_ps(_mm_load_ps(B.m[K::kVP]), p), _mm_mul_ps(_mm_load_ps(B.m[K::kVV]), v)));
  Add(yi.v + 8, _mm_add_ps(_mm_add_ps(MulRows3(B.m + K::kRP, p), MulRows3(B.m + K::kRR, r)),
                           MulRows3(B.m + K::kRV, v)));
  Add(yi.v + 12, _mm_add_ps(_mm_add_ps(MulRows3(B.m + K::kBaP, p), MulRows3(B.m + K::kBaV, v)),
                            _mm_mul_ps(_mm_load_ps(B.m[K::kBaBa]), ba)));
  Add(yi.v + 16, _mm_add_ps(_mm_add_ps(MulRows3(B.m + K::kBgP, p), MulRows3(B.m + K::kBgV, v)),
                            _mm_add_ps(MulRows3(B.m + K::kBgR, r),
                                       _mm_mul_ps(_mm_load_ps(B.m[K::kBgBg]), bg))));
}

void MultiplyMotionPairBlockTransposed(const IBAConsecutiveBlock& B, const LA::CameraVector15& xi,
                                       LA::CameraVector15& yj) {
  using K = IBAConsecutiveBlock;
  const __m128 p = Lane(xi, 0), v = Lane(xi, 1), r = Lane(xi, 2), ba = Lane(xi, 3),
               bg = Lane(xi, 4);
  // Column group of j: position gets PP^T p + VP v + RP^T r + BaP^T ba + BgP^T bg.
  Add(yj.v, _mm_add_ps(_mm_add_ps(_mm_add_ps(MulRows3T(B.m + K::kPP, p),
                                             _mm_mul_ps(_mm_load_ps(B.m[K::kVP]), v)),
                                  MulRows3T(B.m + K::kRP, r)),
                       _mm_add_ps(MulRows3T(B.m + K::kBaP, ba), MulRows3T(B.m + K::kBgP, bg))));
  Add(yj.v + 4,
      _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_load_ps(B.m[K::kVV]), v), MulRows3T(B.m + K::kRV, r)),
                 _mm_add_ps(MulRows3T(B.m + K::kBaV, ba), MulRows3T(B.m + K::kBgV, bg))));
  Add(yj.v + 8, _mm_add_ps(_mm_add_ps(MulRows3T(B.m + K::kPR, p), MulRows3T(B.m + K::kRR, r)),
                           MulRows3T(B.m + K::kBgR, bg)));
  Add(yj.v + 12, _mm_mul_ps(_mm_load_ps(B.m[K::kBaBa]), ba));
  Add(yj.v + 16, _mm_mul_ps(_mm_load_ps(B.m[K::kBgBg]), bg));
}
