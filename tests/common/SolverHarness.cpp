#include "common/SolverHarness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/InertialScene.h"

void NudgeCamera(const f32* extrinsic, CameraIMUState& c, int n, float h) {
  if (n / 3 == 2) {
    float d[3] = {0.0f, 0.0f, 0.0f}, q[4];
    d[n % 3] = h;
    LA::UpdateQuaternion(d, c.q, q);
    std::memcpy(c.q, q, sizeof(q));
  } else {
    reinterpret_cast<float*>(&c)[4 * (n / 3) + n % 3] += h;  // the lanes p, v, q, ba, bg
  }
  RefreshCaches(extrinsic, c);
}

void ExpectMinusHalfCostSlope(const Eigen::VectorXd& b,
                              const std::function<double(int n, float h)>& cost,
                              const std::function<bool(int n)>& skip, const std::string& what,
                              double tolerance) {
  const double largest = b.lpNorm<Eigen::Infinity>();
  EXPECT_GT(largest, 0.0) << what;
  for (int n = 0; n < b.size(); ++n) {
    if (skip(n)) continue;
    const float h = 1e-3f;
    const double slope = (cost(n, h) - cost(n, -h)) / (2.0 * h);
    EXPECT_NEAR(b(n), -0.5 * slope, tolerance * largest + 1e-4) << what << ", variable " << n;
  }
}
