#pragma once
// A tracker over an empty 128 x 96 map on scripted stages, with a frame
// image to feed it, and the script's questions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <memory>

#include "tests/common/tracker/ScriptedStages.h"

class DriverFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Intrinsic k;
    k.Set(100.0f, 100.0f, 63.5f, 47.5f);
    const f64 extrinsic[7] = {0, 0, 0, 1, 0, 0, 0};
    map = std::make_unique<GlobalMap>(128, 96, k, extrinsic);
    Make();
  }
  // A fresh script, and a tracker with no worker channels.
  void Make(i32 startFrame = 0, i32 endFrame = kUnsetCounter, const WorkerChannels& channels = {},
            bool parallel = false) {
    script = Script();
    TrackerOptions options;
    options.startFrame = startFrame;
    options.endFrame = endFrame;
    options.parallel = parallel;
    tracker.reset();
    tracker = std::make_unique<ScriptedTracker>(map.get(), channels, options, script);
    tracker->SetMarkerTemplateFile("");
  }
  // `count` frames through Run; returns the last one's ring slot.
  u16 Step(int count = 1, char* text = nullptr, size_t capacity = 0) {
    const f64 prior[8] = {0, 0, 0, 1, 0, 0, 0, DBL_MAX};
    input.grey = image;
    for (int i = 0; i < count; ++i) {
      input.time = 0.1 * (tracker->Status().frameCounter + 1);
      tracker->Run(input, {}, prior, pose, planes, objects, nullptr, &progress, text, capacity);
    }
    return tracker->Ring().Current();
  }
  // The script of frame `number`, and how often a call was logged.
  FrameScript& At(int number) { return script.frames[number]; }
  size_t Count(const std::string& call) const {
    return static_cast<size_t>(std::count(script.calls.begin(), script.calls.end(), call));
  }
  const Names& Pushes() const { return script.pushes; }
  // Frame numbers of the ring slots in order.
  std::vector<int> Ring() const {
    std::vector<int> numbers;
    for (u16 i = 0; i < tracker->Ring().Size(); ++i) numbers.push_back(tracker->Ring()[i].number);
    return numbers;
  }
  TrackerFrame& Frame(u16 slot) { return tracker->Ring()[slot]; }
  const TrackerStatus& Status() const { return tracker->Status(); }

  std::unique_ptr<GlobalMap> map;
  Script script;
  std::unique_ptr<ScriptedTracker> tracker;
  CVD::Image<u8> image{CVD::ImageRef(128, 96), 128};
  TrackerInput input;
  CameraPose pose{};
  AlignedArray<LA::AlignedVector4f> planes;
  AlignedArray<LA::AlignedMatrix4f> objects;
  float progress = 0.0f;
};
