// Window averages of the stage timer before and after it wraps.
#include "la/TimerStats.h"

#include <gtest/gtest.h>

TEST(TimerStats, MeanOverFilledSlotsThenOverTheWindow) {
  TimerStats t;
  t.Reset(20);
  const auto measured = [&t](double seconds) {
    t.window[t.index] += seconds;  // what Stop adds
    t.Advance();
  };
  for (double d : {0.01, 0.02, 0.03}) measured(d);
  EXPECT_NEAR(t.mean, 0.02, 1e-12);
  EXPECT_NEAR(t.Rate(), 50.0, 1e-9);
  for (int i = 3; i < 20; ++i) measured(0.05);
  EXPECT_TRUE(t.filling == 0 && t.index == 0);
  // After wrapping: the last 20 measurements, the slot being timed cleared.
  measured(0.07);
  EXPECT_NEAR(t.mean, (0.07 + 0.02 + 0.03 + 17 * 0.05) / 20.0, 1e-12);

  // Real measurements are positive and a window below 1 is taken as 1.
  t.Reset(0);
  ASSERT_EQ(t.window.size(), 1u);
  t.Start();
  t.Stop();
  EXPECT_GE(t.window[0], 0.0);
  t.Advance();
  t.Advance();
  EXPECT_EQ(t.index, 0);
  EXPECT_EQ(TimerStats().Rate(), 0.0);
}
