#include "tracker/TrackerObjects.h"

#include "tracker/Pending.h"

bool TrackerObjects::RegisterObject(u16) {
  Pending(__func__);
}
void TrackerObjects::DeregisterObject(u32) {
  Pending(__func__);
}
void TrackerObjects::UpdateObjects(u16) {
  Pending(__func__);
}
