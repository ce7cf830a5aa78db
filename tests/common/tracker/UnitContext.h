#pragma once
// The parts a tracker unit is built over, standing alone: a map of the given
// camera, the camera taken from it, a ring, the view of the map, no worker
// links, no objects and a silent log. Tests fill the ring and the view's
// working copy as a scene needs.
#include <memory>

#include "tracker/TrackerContext.h"

struct UnitContext {
  UnitContext(u16 width, u16 height, const Intrinsic& intrinsic)
      : map(std::make_unique<GlobalMap>(width, height, intrinsic, kNoMounting)),
        camera(*map),
        view(*map) {}

  TrackerContext Context() { return {options, camera, ring, view, links, objects, log}; }

  static constexpr f64 kNoMounting[7] = {0, 0, 0, 1, 0, 0, 0};
  std::unique_ptr<GlobalMap> map;
  TrackerOptions options;
  TrackerCamera camera;
  FrameRing ring;
  TrackerMapView view;
  WorkerLinks links{WorkerChannels{}};
  TrackerObjects objects;
  TrackerLog log{false, ""};
};
