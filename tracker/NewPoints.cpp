#include "tracker/NewPoints.h"

#include "tracker/Pending.h"

void NewPoints::CreateNewPoints(u16, TrackingMode) {
  Pending(__func__);
}
