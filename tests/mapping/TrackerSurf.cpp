// The key-frame worker of thread 1, a stand-in still: a null item (a worker
// run without input) and the reset item do nothing, a key frame flushes the
// log, which stays open; the worker is idle after every run.
#include "mapping/TrackerSurf.h"

#include <gtest/gtest.h>

#include "common/TempFolder.h"
#include "common/mapping/SyntheticMap.h"

TEST(TrackerSurf, NullResetAndKeyFrameItems) {
  GlobalMap map;
  BuildHandMap(map, {{0, 1}});
  TempFolder folder;
  TrackerSurf surf(&map, nullptr, nullptr, 0, 0, folder.File("surf.log"));
  const u16 reset = kNone16, keyFrame = 0;
  for (const u16* item : {static_cast<const u16*>(nullptr), &reset, &keyFrame}) {
    surf.Run(item);
    EXPECT_FALSE(surf.IsBusy());
    EXPECT_TRUE(surf.HasLog());
  }
}
