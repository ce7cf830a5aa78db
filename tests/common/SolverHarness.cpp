#include "common/SolverHarness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/InertialScene.h"

void NudgeCamera(const f32* extrinsic, CameraIMUState& c, int n, float h) {
  float* groups[5] = {c.p, c.v, nullptr, c.ba, c.bg};
  const int g = n / 3, k = n % 3;
  if (g == 2) {
    float d[3] = {0.0f, 0.0f, 0.0f}, q[4];
    d[k] = h;
    LA::UpdateQuaternion(d, c.q, q);
    std::memcpy(c.q, q, sizeof(q));
  } else {
    groups[g][k] += h;
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
