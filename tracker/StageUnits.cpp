#include "tracker/StageUnits.h"

StageUnits::StageUnits(const TrackerContext& c)
    : frontEnd_(c.camera, c.ring, c.log),
      inertial_(c),
      imageMaps_(c.camera, c.ring, c.mapView),
      pose_(c),
      patchSearch_(c),
      mapMatching_(c, patchSearch_, pose_),
      imageMatching_(c),
      newPoints_(c),
      measures_(c),
      handOver_(c),
      initialisation_(c) {}
