// Reprojection term of the normal equations. Per measurement the projection
// Jacobians are formed in four-float registers: H_X = A Rc for the point,
// H_p = -H_X for the camera position and H_r = A [Xe]x Re for the rotation
// step, A being the derivative of the perspective division.
#include <immintrin.h>

#include "optimization/IBASimd.h"
#include "optimization/IBASolver.h"

using namespace IBASimd;

namespace {

inline __m128 Bcast(__m128 v, int i) {
  switch (i) {
    case 0:
      return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 0, 0, 0));
    case 1:
      return _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1));
    default:
      return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 2, 2));
  }
}

// Rows of a^T b for two-row Jacobians a = (a0; a1), b = (b0; b1).
inline void OuterRows(__m128 a0, __m128 a1, __m128 b0, __m128 b1, __m128* out) {
  for (int i = 0; i < 3; ++i) {
    out[i] = _mm_add_ps(_mm_mul_ps(Bcast(a0, i), b0), _mm_mul_ps(Bcast(a1, i), b1));
  }
}

inline void AddRows(float (*dst)[4], const __m128* rows, __m128 w) {
  for (int i = 0; i < 3; ++i) {
    _mm_store_ps(dst[i], _mm_add_ps(_mm_load_ps(dst[i]), _mm_mul_ps(w, rows[i])));
  }
}

inline void AddLane(float* dst, __m128 v, __m128 w) {
  _mm_store_ps(dst, _mm_add_ps(_mm_load_ps(dst), _mm_mul_ps(w, v)));
}

}  // namespace

void IBASolver::ConstructFeatureNormalEquation(const IBAProblem& problem, const IBAState& state) {
  using CR = LA::CameraBlock15;
  LA::AlignedMatrix3f Re;
  LA::QuaternionToRotationMatrix(state.extrinsic, Re);
  Re[0][3] = Re[1][3] = Re[2][3] = 0.0f;
  const float* te = state.extrinsic + 4;
  const __m128 re0 = _mm_load_ps(Re[0]), re1 = _mm_load_ps(Re[1]), re2 = _mm_load_ps(Re[2]);

  for (u32 c = 0; c < cameras_; ++c) {
    const bool variableCamera = c >= fixedCameras_;
    const float(*C)[4] = state.cameras[c].pose.m;
    const __m128 rc0 = Load3(C[0]), rc1 = Load3(C[1]), rc2 = Load3(C[2]);
    const __m128 t = _mm_set_ps(0.0f, C[2][3], C[1][3], C[0][3]);
    float(*A)[4] = variableCamera ? cameraBlocks[c - fixedCameras_].m : nullptr;
    float* b = variableCamera ? cameraRHS[c - fixedCameras_].v : nullptr;

    for (u32 l = 0; l < 4; ++l) {
      const u32 begin = problem.features.index[4 * c + l],
                end = problem.features.index[4 * c + l + 1];
      if (begin == end) continue;
      const __m128 wl = _mm_load_ps(problem.features.levelWeights[l].v);
      __m128 App[3], Apr[3], Arr[3];
      for (int i = 0; i < 3; ++i) App[i] = Apr[i] = Arr[i] = _mm_setzero_ps();
      __m128 bp = _mm_setzero_ps(), br = _mm_setzero_ps();

      for (u32 m = begin; m < end; ++m) {
        const IBAMeasurement& z = problem.features.measurements[m];
        const u32 point = z.point;
        const bool variablePoint = point >= fixedPoints_;
        if (!variableCamera && !variablePoint) continue;
        const __m128 X = Load3(state.points[point].v);
        // Xc = Rc X + t, via the transposed form of the rows.
        alignas(16) float xc[4];
        _mm_store_ps(xc, _mm_add_ps(MulRows3(C, X), t));
        const float iz = 1.0f / xc[2];
        const float u = xc[0] * iz, v = xc[1] * iz;
        const __m128 e = _mm_set_ps(0.0f, 0.0f, z.y - v, z.x - u);
        const __m128 viz = _mm_set1_ps(iz), vu = _mm_set1_ps(u), vv = _mm_set1_ps(v);
        // H_X rows: iz (rc0 - u rc2), iz (rc1 - v rc2).
        const __m128 hx0 = _mm_mul_ps(viz, _mm_sub_ps(rc0, _mm_mul_ps(vu, rc2)));
        const __m128 hx1 = _mm_mul_ps(viz, _mm_sub_ps(rc1, _mm_mul_ps(vv, rc2)));
        const __m128 ex = Bcast(e, 0), ey = Bcast(e, 1);
        __m128 G[3];
        OuterRows(hx0, hx1, hx0, hx1, G);                                        // H_X^T H_X
        const __m128 gX = _mm_add_ps(_mm_mul_ps(ex, hx0), _mm_mul_ps(ey, hx1));  // H_X^T e

        __m128 hr0 = _mm_setzero_ps(), hr1 = _mm_setzero_ps();
        if (variableCamera) {
          // [Xe]x Re rows with Xe = Xc - t_e = Rc (X - p).
          const float x = xc[0] - te[0], y = xc[1] - te[1], w = xc[2] - te[2];
          const __m128 m0 =
              _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(y), re2), _mm_mul_ps(_mm_set1_ps(w), re1));
          const __m128 m1 =
              _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(w), re0), _mm_mul_ps(_mm_set1_ps(x), re2));
          const __m128 m2 =
              _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(x), re1), _mm_mul_ps(_mm_set1_ps(y), re0));
          hr0 = _mm_mul_ps(viz, _mm_sub_ps(m0, _mm_mul_ps(vu, m2)));
          hr1 = _mm_mul_ps(viz, _mm_sub_ps(m1, _mm_mul_ps(vv, m2)));
          __m128 T[3];
          OuterRows(hx0, hx1, hr0, hr1, T);  // H_X^T H_r = -H_p^T H_r
          for (int i = 0; i < 3; ++i) {
            App[i] = _mm_add_ps(App[i], G[i]);
            Apr[i] = _mm_sub_ps(Apr[i], T[i]);
          }
          OuterRows(hr0, hr1, hr0, hr1, T);
          for (int i = 0; i < 3; ++i) Arr[i] = _mm_add_ps(Arr[i], T[i]);
          bp = _mm_sub_ps(bp, gX);
          br = _mm_add_ps(br, _mm_add_ps(_mm_mul_ps(ex, hr0), _mm_mul_ps(ey, hr1)));
        }
        if (variablePoint) {
          const u32 p = point - fixedPoints_;
          AddRows(pointBlocks[p].m, G, wl);
          AddLane(pointRHS[p].v, gX, wl);
          const u32 block = measurementBlocks_[m];
          if (variableCamera && block != kNone32) {
            float(*W)[4] = cameraPointBlocks[block].m;
            // Rows 0-2: w H_p^T H_X = -w G; rows 3-5: w H_r^T H_X.
            __m128 T[3];
            OuterRows(hr0, hr1, hx0, hx1, T);
            AddRows(W, G, _mm_sub_ps(_mm_setzero_ps(), wl));
            AddRows(W + 3, T, wl);
          }
        }
      }
      if (variableCamera) {
        AddRows(A + CR::kPP, App, wl);
        AddRows(A + CR::kPR, Apr, wl);
        AddRows(A + CR::kRR, Arr, wl);
        AddLane(b, bp, wl);
        AddLane(b + 8, br, wl);
      }
    }
  }
}
