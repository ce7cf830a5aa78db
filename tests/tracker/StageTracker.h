#pragma once
// A real tracker (the tracker library's stages, not the script) over an
// empty 1280 x 960 map, whose alignment images are 80 x 60, with its log
// lines captured for the stage tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tracker/tracker.h"

class StageTracker : public ::testing::Test {
 protected:
  void SetUp() override {
    Intrinsic k;
    k.Set(1000.0f, 1000.0f, 639.5f, 479.5f);
    const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
    map = std::make_unique<GlobalMap>(1280, 960, k, extrinsic);
    tracker =
        std::make_unique<Tracker>(map.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  false, false, "", 0, kUnsetCounter, false, false, false);
    tracker->logFile = std::tmpfile();
  }
  // A ring of n reset frames, every map unset.
  void MakeRing(u16 n) {
    tracker->frames.resize(n);
    tracker->frameMaps.Resize(n);
    for (u16 i = 0; i < n; ++i) {
      tracker->frames[i].Reset();
      tracker->frames[i].number = i;
      tracker->frameMaps[i].m[0] = FLT_MAX;
    }
  }
  // Everything written to the log so far.
  std::string Log() {
    std::fflush(tracker->logFile);
    std::rewind(tracker->logFile);
    std::string text;
    for (int c; (c = std::fgetc(tracker->logFile)) != EOF;) text += static_cast<char>(c);
    return text;
  }

  std::unique_ptr<GlobalMap> map;
  std::unique_ptr<Tracker> tracker;
};
