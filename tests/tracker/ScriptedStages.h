#pragma once
// The script the driver tests play: per frame number the values the stages
// report, and the log of every scripted call. scripted_stages.cpp defines the
// stages over it; the fixture builds a small tracker over an empty map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tracker/tracker.h"

using Names = std::vector<std::string>;

struct FrameScript {
  u16 n = 100, relocN = 0;      // inliers after map matching, and after a relocalisation attempt
  f32 M = 0.1f, relocM = 1.0f;  // map coverage, the same
  u16 u = 0;                    // unsolved after map matching
  f32 I = 0.5f, S = 0.0f;       // image and combined coverage
  f32 parallax = 0.0f;
  bool initialiseOk = true;
  u32 keyFrameMapMatches = 100;  // map matches of a chosen key frame after its matching
  f64 speed = 0.0;               // of the body, along x
};

struct Script {
  std::map<int, FrameScript> frames;  // by frame number; missing: defaults
  // Key-frame alignment error by key-frame index; missing: alignment fails.
  std::map<u16, float> keyFrameAlignment;
  std::map<u16, float> keyFrameParallax;  // missing: 1.0
  bool record = true;                     // false: per-frame calls are not logged (benchmarks)
  int relocalisedFrame = -1;              // frame number of the last relocalisation attempt
  Names calls;
  Names pushes;  // "slot,mode,sync" or "...,async" per key-frame push

  FrameScript For(int number) { return frames.count(number) ? frames[number] : FrameScript(); }
  void Clear() { *this = Script(); }
};

// The one script of the test process (the stages are members, not objects).
Script& TheScript();

// A tracker over an empty 128 x 96 map, with a frame image to feed it.
class ScriptedTracker : public ::testing::Test {
 protected:
  void SetUp() override {
    Intrinsic k;
    k.Set(100.0f, 100.0f, 63.5f, 47.5f);
    const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
    map = std::make_unique<GlobalMap>(128, 96, k, extrinsic);
    Make();
  }
  // A fresh script, and a tracker with no worker channels.
  void Make(i32 startFrame = 0, i32 endFrame = kUnsetCounter) {
    TheScript().Clear();
    tracker =
        std::make_unique<Tracker>(map.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  false, false, "", startFrame, endFrame, false, false, false);
    tracker->SetMarkerTemplateFile("");
  }
  // `count` frames through Run; returns the last one's ring slot.
  u16 Step(int count = 1, char* text = nullptr, size_t capacity = 0) {
    const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
    input.grey = image;
    for (int i = 0; i < count; ++i) {
      input.time = 0.1 * (tracker->frameCounter + 1);
      tracker->Run(input, {}, prior, pose, planes, objects, nullptr, &progress, text, capacity);
    }
    return tracker->currentFrame;
  }
  // The script of frame `number`, and how often a call was logged.
  static FrameScript& At(int number) { return TheScript().frames[number]; }
  static size_t Count(const std::string& call) {
    return static_cast<size_t>(
        std::count(TheScript().calls.begin(), TheScript().calls.end(), call));
  }
  static Names& Pushes() { return TheScript().pushes; }
  // Frame numbers of the ring slots in order.
  std::vector<int> Ring() const {
    std::vector<int> numbers;
    for (u16 i = 0; i < tracker->RingSize(); ++i) numbers.push_back(tracker->Frame(i).number);
    return numbers;
  }

  std::unique_ptr<GlobalMap> map;
  std::unique_ptr<Tracker> tracker;
  CVD::Image<u8> image{CVD::ImageRef(128, 96), 128};
  TrackerInput input;
  CameraPose pose{};
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  float progress = 0.0f;
};
