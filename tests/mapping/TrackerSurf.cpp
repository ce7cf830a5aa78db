// The SURF worker's run: a key frame flushes its log (what was written stays
// and later lines append), a reset item touches nothing, and a verbose worker
// opens no file.
#include "mapping/TrackerSurf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

TEST(TrackerSurf, RunFlushesTheLogAndResetsTouchNothing) {
  GlobalMap map;
  const std::string name = testing::TempDir() + "surf.log";
  std::remove(name.c_str());
  {
    TrackerSurf verbose(&map, nullptr, nullptr, 0, 1, name);
    EXPECT_FALSE(verbose.HasLog());
    const u16 k = 3;
    verbose.Run(&k);
    EXPECT_FALSE(verbose.IsBusy());
  }
  EXPECT_FALSE(std::ifstream(name).good());
  TrackerSurf surf(&map, nullptr, nullptr, 0, 0, name);
  ASSERT_TRUE(surf.HasLog());
  const u16 reset = 0xFFFF, keyFrame = 7;
  surf.Run(&reset);
  EXPECT_FALSE(surf.IsBusy());
  surf.Run(&keyFrame);
  EXPECT_TRUE(surf.HasLog());
  EXPECT_FALSE(surf.IsBusy());
  EXPECT_TRUE(std::ifstream(name).good());
}

}  // namespace
