#include "tracker/StageUnits.h"

StageUnits::StageUnits(const TrackerContext& c)
    : frontEnd_(c.camera, c.ring, c.log),
      inertial_(c, measures_),
      imageMaps_(c.camera, c.ring, c.mapView),
      pose_(c),
      patchSearch_(c),
      mapMatching_(c, patchSearch_, pose_),
      imageMatching_(c),
      newPoints_(c),
      earlyMap_(c),
      measures_(c),
      handOver_(c),
      initialisation_(c, pose_, newPoints_, measures_, [this](u16 frame) {
        // Anchoring runs before the map exists.
        return inertial_.RunIso(frame, TrackingMode{});
      }) {}
