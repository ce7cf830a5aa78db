#pragma once
// What the tracker's units share, handed to each at construction: the
// settings and camera (read only), the frame ring, the view of the map, the
// worker links, the registered objects and the log.
#include "tracker/FrameRing.h"
#include "tracker/TrackerCamera.h"
#include "tracker/TrackerLog.h"
#include "tracker/TrackerMapView.h"
#include "tracker/TrackerObjects.h"
#include "tracker/TrackerOptions.h"
#include "tracker/WorkerLinks.h"

struct TrackerContext {
  const TrackerOptions& options;
  const TrackerCamera& camera;
  FrameRing& ring;
  TrackerMapView& mapView;
  WorkerLinks& links;
  TrackerObjects& objects;
  TrackerLog& log;
};
