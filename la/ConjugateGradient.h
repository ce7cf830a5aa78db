#pragma once
// Preconditioned conjugate gradients on a camera system S x = b of the
// inertial solvers. S and the preconditioner M enter only through their
// products, multiply(x, y): y = S x and precondition(r, z): z = M r, so that
// each solver keeps its own block layout. The work vectors belong to the
// caller: once they have grown, a solve allocates nothing.
#include <cmath>
#include <cstring>

#include "la/Block15.h"

namespace LA {

struct PCGParameters {
  u32 minIterations = 10;
  u32 maxIterations = 500;
  float relativeTolerance = 0.001f;  // stop once |r.z| <= this x its start
  float divergenceFactor = 10.0f;    // stop once |r.z| > this x its start
};

struct PCGScratch {
  CameraVector15Array r, z, p, q;
};

// Solves S x = b into x (resized to b). Returns the iteration count: 1 with
// x = 0 when M b is orthogonal to b, 0 when the first step is not finite.
template <class Multiply, class Precondition>
u32 SolvePCG(const Multiply& multiply, const Precondition& precondition,
             const CameraVector15Array& b, const PCGParameters& P, PCGScratch& w,
             CameraVector15Array& x) {
  const u32 n = b.Size();
  w.r.Assign(b);
  w.z.Resize(n);
  w.q.Resize(n);
  precondition(w.r, w.z);
  const float rz0 = Dot15(w.r, w.z);
  x.Resize(n);
  if (rz0 == 0.0f) {
    if (n > 0) std::memset(static_cast<void*>(x.Data()), 0, sizeof(CameraVector15) * n);
    return 1;
  }
  w.p.Assign(w.z);
  multiply(w.p, w.q);
  float alpha = rz0 / Dot15(w.p, w.q);
  const float tolerance = std::fabs(rz0) * P.relativeTolerance;
  const float divergence = std::fabs(rz0) * P.divergenceFactor;
  if (!std::isfinite(alpha)) return 0;
  std::memset(static_cast<void*>(x.Data()), 0, sizeof(CameraVector15) * n);
  AddScaled15(x, alpha, w.p, x);
  AddScaled15(w.r, -alpha, w.q, w.r);
  u32 i = 1;
  float rz = rz0;
  while (i < P.maxIterations) {
    precondition(w.r, w.z);
    const float rzNew = Dot15(w.r, w.z);
    if (std::fabs(rzNew) <= tolerance && i >= P.minIterations) break;
    if (rzNew == 0.0f || std::fabs(rzNew) > divergence) break;
    AddScaled15(w.z, rzNew / rz, w.p, w.p);
    multiply(w.p, w.q);
    alpha = rzNew / Dot15(w.p, w.q);
    if (!std::isfinite(alpha)) break;
    AddScaled15(w.r, -alpha, w.q, w.r);
    AddScaled15(x, alpha, w.p, x);
    rz = rzNew;
    ++i;
  }
  return i;
}

}  // namespace LA
