#include "tracker/MapInitialisation.h"

#include "tracker/Pending.h"

MapStart MapInitialisation::InitializeMap(u16) {
  Pending(__func__);
}
MapStart MapInitialisation::AnchorToMarker(u16, const float*) {
  Pending(__func__);
}
