// Conversion of a solver camera back into the map's double record.
#include "optimization/CameraIMUState.h"

void ConvertCameraIMUState(const CameraIMUState& state, f64* out, CameraPose& pose) {
  for (int i = 0; i < 3; ++i) {
    out[i] = state.p[i];
    out[3 + i] = state.v[i];
    out[10 + i] = state.ba[i];
    out[13 + i] = state.bg[i];
  }
  for (int i = 0; i < 4; ++i) out[6 + i] = state.q[i];
  pose = state.pose;
}
