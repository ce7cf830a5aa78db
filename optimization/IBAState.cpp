// Copy of the bundle adjustment's variables.
#include "optimization/IBAState.h"

#include <cstring>

void IBAState::Copy(IBAState& dst, const IBAState& src) {
  if (&dst == &src) return;
  std::memcpy(dst.extrinsic, src.extrinsic, sizeof(dst.extrinsic));
  std::memcpy(dst.extra, src.extra, sizeof(dst.extra));
  AssignAlignedArray224(dst.cameras, src.cameras);
  AssignAlignedArray16(dst.points, src.points);
  AssignAlignedArray16(dst.planes, src.planes);
  dst.cameraIds = src.cameraIds;
}
