#pragma once
// The Levenberg-Marquardt damping schedule of every solver: an accepted step
// with gain ratio rho (actual over predicted reduction) scales the damping by
// max(1/3, 1 - (2 rho - 1)^3) and resets the growth factor to 2; a rejected
// step multiplies the damping by the growth factor, which doubles with every
// rejection in a row. The factor is computed in Real (float or double); the
// damping itself is a float.
#include <cmath>

template <class Real = float>
struct LMDamping {
  float lambda = 0.0f;  // the current damping
  float nu = 2.0f;      // growth after the next rejection

  // Starts a run with the given damping.
  void Reset(float initial) {
    lambda = initial;
    nu = 2.0f;
  }
  // Shrinks the damping after an accepted step of gain ratio rho.
  void Accept(Real rho) {
    const Real t = Real(2) * rho - Real(1), f = Real(1) - t * t * t, third = Real(1) / Real(3);
    lambda = static_cast<float>(static_cast<Real>(lambda) * (f > third ? f : third));
    nu = 2.0f;
  }
  // Grows the damping after a rejected step; false once the growth factor
  // has overflowed (the schedule is exhausted).
  bool Reject() {
    lambda = nu * lambda;
    nu = 2.0f * nu;
    return std::isfinite(nu);
  }
};
